#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine (as
# root), then configures and builds into build/.
#   scripts/setup.sh [--no-build] [EXTRA_PACKAGE...]
# --no-build only installs; extra packages are installed along (the fuzzing
# script adds clang and its sanitizer runtimes this way).
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
if [ "${1:-}" = "--no-build" ]; then
  build=0
  shift
fi

packages=(build-essential cmake pkg-config libssl-dev libgdbm-dev libcrypt-dev
          googletest libgtest-dev ypserv passwd mawk util-linux coreutils make
          openssl xxd mount "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "$build" -eq 1 ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)"
fi
