#!/usr/bin/env bash
# Runs every test: unit tests and host tests (the real binary and the host's
# real tools inside private mount namespaces). Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
ctest --output-on-failure -j"$(nproc)"
