#!/usr/bin/env bash
# Fails every sampled system call of the shim's own process in turn, for
# every scenario (tests/host/fault_injection_test.cc, SyscallFaults), and
# prints each scenario's injections and violations per invariant. The suite
# (ctest -L faults) runs every 10th of the sampled calls; this runs them all.
#   scripts/fault-injection.sh [STRIDE]
# The scenarios run side by side, KDL2NIS_INJECT_JOBS at a time (4 when not
# set), the long polls first: a run mostly waits on its children and the
# sandbox's copies, not on the processor.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --no-build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kdl2nis host_tests
export KDL2NIS_INJECT_STRIDE="${1:-1}"
rm -rf build/fault-injection && mkdir build/fault-injection
./build/host_tests --gtest_list_tests --gtest_filter='Each/SyscallFaults.*' |
  awk '/^ / { name = "Each/SyscallFaults." $1; if (name ~ /poll/) print name; else rest = rest name "\n" }
       END { printf "%s", rest }' |
  xargs -P "${KDL2NIS_INJECT_JOBS:-4}" -I{} sh -c \
    './build/host_tests --gtest_filter="$1" > "build/fault-injection/${1##*/}.log" 2>&1' sh {} || true
cat build/fault-injection/*.log > build/fault-injection.log
status=0
for log in build/fault-injection/*.log; do
  grep -q '^\[  PASSED  \] 1 test' "$log" || { echo "failed: $log"; status=1; }
done
grep '^syscall faults:.*injections;' build/fault-injection.log
awk '/^syscall faults:.*injections;/ { n += $(NF-9); for (i = 1; i <= 6; i++) v[i] += $(NF-6+i) }
     END { printf "total: %d injections; violations 1-6: %d %d %d %d %d %d\n", n, v[1], v[2], v[3], v[4], v[5], v[6] }' \
  build/fault-injection.log
exit "$status"
