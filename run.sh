#!/usr/bin/env bash
# Sets up and builds if needed, then starts the program. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
exec build/app/VornOPCServer "$@"
