#!/usr/bin/env bash
# Installs the Debian packages the program needs and builds it. Idempotent.
#   ./setup.sh              normal build in build/
#   ./setup.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev libgtest-dev libgmock-dev)
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
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  opts+=(-DVX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
  opts+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${opts[@]}"
fi
cmake --build "$dir" -j "$(nproc)"
