#!/usr/bin/env bash
# Sets up and builds if needed, then runs every test under a private session bus.
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
# The tests run on a private session bus that ends with them, never on the user's own, and
# with a scratch data folder, so that the service files and the registry file a test writes
# stay in the build folder.
export XDG_DATA_HOME="$PWD/$dir/test-data"
rm -rf "$XDG_DATA_HOME"
mkdir -p "$XDG_DATA_HOME"
export VX_PRIVATE_BUS=1
dbus-run-session -- ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
