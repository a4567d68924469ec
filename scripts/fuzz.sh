#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, then runs each for SECONDS
# (default 10) from its seed corpus. Fails on any crash, leak, sanitizer
# report, hang or broken property.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

scripts/setup.sh --no-build clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKDL2NIS_FUZZ=ON -DKDL2NIS_TESTS=OFF >/dev/null
# One target per tests/fuzz/<name>_fuzz.cc, as tests/fuzz/CMakeLists.txt makes them.
targets=()
for source in tests/fuzz/*_fuzz.cc; do
  name=${source##*/}
  targets+=("${name%_fuzz.cc}")
done
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for t in "${targets[@]}"; do
  # The seeds in git stay as they are; what a run finds goes to its own
  # corpus, and a failing input to artifacts/.
  run="$PWD/build-fuzz/run/$t"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  if "build-fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$run/artifacts/" "$run/corpus" "$PWD/tests/fuzz/corpus/$t" >"$run/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log")
    echo "fuzz_$t: ${runs:-?} inputs, no finding"
  else
    failed+=("$t")
    echo "fuzz_$t: FAILED (log $run/log, input in $run/artifacts/)"
    grep -v '^#' "$run/log" | tail -40
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzzing: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no finding"
