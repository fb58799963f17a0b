#!/usr/bin/env bash
# Sets up and builds if needed, then runs every test.
#   ./test.sh              normal build
#   ./test.sh --sanitize   the same tests under AddressSanitizer + UBSan
set -euo pipefail
cd "$(dirname "$0")"
./setup.sh "$@"
dir=build
[ "${1:-}" = "--sanitize" ] && dir=build-sanitize
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
