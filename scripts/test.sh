#!/usr/bin/env bash
# Runs every test: unit tests and host tests (the real binary and the host's
# real tools inside private mount namespaces). Needs root.
#   scripts/test.sh             plain build in build/
#   scripts/test.sh --sanitize  the same suite built with AddressSanitizer and
#                               UndefinedBehaviorSanitizer in build-sanitize/;
#                               the host tests then run the sanitized shim
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--sanitize" ]; then
  scripts/setup.sh
  cd build
  ctest --output-on-failure -j"$(nproc)"
  exit
fi

scripts/setup.sh --no-build
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKDL2NIS_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)"
# Every report ends its process with a failure status; leaks count too. The
# host harness hands these options on to the shim it starts, and the shim to
# the tools it runs. Reports go to files instead of standard error: the one
# trace line stays as the tests expect it, and a report of a child whose
# standard error is thrown away is still seen.
reports="$PWD/build-sanitize/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:verify_asan_link_order=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
status=0
(cd build-sanitize && ctest --output-on-failure -j"$(nproc)") || status=$?
# A leak that the suppressions cover still leaves an empty report file.
found=$(find "$reports" -type f -size +0c)
if [ -n "$found" ]; then
  echo "sanitizer reports:"
  for f in $found; do
    echo "== $f"
    head -60 "$f"
  done
  status=1
fi
exit "$status"
