#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing, then
# configures and builds one build folder.
#   scripts/setup.sh [build-dir] [extra cmake args...] [--target TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake make g++ libgtest-dev libgmock-dev libmbedtls-dev libbenchmark-dev binutils valgrind
  clang libclang-rt-14-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

BUILD_DIR=${1:-build}
shift || true
configure=()
targets=()
while (($#)); do
  if [ "$1" = "--target" ]; then
    shift
    targets=("$@")
    break
  fi
  configure+=("$1")
  shift
done
cmake -S . -B "$BUILD_DIR" "${configure[@]}" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
