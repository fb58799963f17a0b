#!/usr/bin/env bash
# Sets up and builds if needed, then starts the program. Arguments go to the program; without
# a --settings of their own it runs on the demo configuration (build/app/Demo.ini).
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh
for arg in "$@"; do
  case "$arg" in
    --settings | --settings=*) exec build/app/VornOPCServer "$@" ;;
  esac
done
exec build/app/VornOPCServer --settings build/app/Demo.ini "$@"
