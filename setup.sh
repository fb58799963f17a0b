#!/usr/bin/env bash
# Installs the Debian packages the program needs and builds it. Idempotent.
#   ./setup.sh              normal build in build/
#   ./setup.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
#   ./setup.sh --fuzz       the fuzz targets, built with clang and libFuzzer in build-fuzz/
set -euo pipefail
cd "$(dirname "$0")"

# dbus-daemon brings dbus-run-session and the session bus's configuration: test.sh runs the tests
# on a private session bus of their own.
packages=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev dbus-daemon dbus-session-bus-common)
# The clang package leaves out the sanitizer and libFuzzer runtimes; libclang-rt-14-dev holds them.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

dir=build
opts=()
target=()
case "${1:-}" in
  --sanitize)
    dir=build-sanitize
    opts+=(-DVX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    ;;
  --fuzz)
    dir=build-fuzz
    # clang warns where GCC does not: its warnings do not stop the fuzz build.
    opts+=(-DVX_FUZZ=ON -DVX_WERROR=OFF -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    target=(--target fuzz)
    ;;
  *)
    opts+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    ;;
esac
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${opts[@]}"
fi
cmake --build "$dir" -j "$(nproc)" "${target[@]}"
