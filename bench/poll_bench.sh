#!/usr/bin/env bash
# Times the files poll on large account files, run by hand (never by ctest):
#   bench/poll_bench.sh [ACCOUNTS...]      default: 10000 100000
# Needs root and a build (scripts/setup.sh). Everything happens in a private
# mount namespace on copies of /etc and the state directory; the machine's
# own account files are never touched.
#
# For each size it prints the wall time and the peak resident memory (the
# largest process of the poll: the shim or a tool it ran) of
#   first        the first poll (every account published)
#   unchanged    a poll with all three modification times unchanged
#   touched      the files touched but not changed (full comparison, no event)
#   incremental  one user in a hundred and one group in ten changed
# beside the time the host's makedbm takes to build maps of the same files.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  cd "$(dirname "$0")/.."
  [ -x build/kdl2nis ] || { echo "poll_bench: build first (scripts/setup.sh)" >&2; exit 1; }
  [ "$#" -gt 0 ] || set -- 10000 100000
  exec unshare -m --propagation private bash "$0" --inside "$PWD/build/kdl2nis" "$@"
fi
shift
shim=$1
shift
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/$PPID/ns/mnt)" ]; then
  echo "poll_bench: not in a private mount namespace; refusing" >&2
  exit 1
fi
makedbm=/usr/lib/yp/makedbm
state=/usr/lib/corvex/rules/kdl2nis
mkdir -p "$state"

# Adds n users (each with a private group and a shadow line), n/50 groups of
# 50 members and n/10000+1 groups of 2000 members (these overflow).
generate() {
  local n=$1
  awk -v n="$n" 'BEGIN {
    for (i = 1; i <= n; i++) {
      name = sprintf("bench%07d", i)
      printf "%s:x:%d:%d:Bench user %d,,,:/home/%s:/bin/sh\n", name, 100000 + i, 100000 + i, i, name >> "/etc/passwd"
      printf "%s:$6$salt$%040d:19000:0:99999:7:::\n", name, i >> "/etc/shadow"
      printf "%s:x:%d:\n", name, 100000 + i >> "/etc/group"
    }
    for (g = 0; g < n / 50; g++) {
      line = sprintf("team%06d:x:%d:", g, 300000 + g)
      for (m = 1; m <= 50; m++) line = line (m > 1 ? "," : "") sprintf("bench%07d", g * 50 + m)
      print line >> "/etc/group"
    }
    for (g = 0; g <= n / 10000; g++) {
      line = sprintf("huge%03d:x:%d:", g, 400000 + g)
      for (m = 1; m <= 2000 && m <= n; m++) line = line (m > 1 ? "," : "") sprintf("bench%07d", m)
      print line >> "/etc/group"
    }
  }'
}

step=0
age() {  # a new modification time in the past, as a settled change
  step=$((step + 1))
  touch -d "@$(( $(date +%s) - 10000 + step ))" /etc/passwd /etc/shadow /etc/group
}

measure() {  # label
  /usr/bin/time -f "%e %M" -o time.out "$shim" -n files -p "" </dev/null >events.out 2>errors.out || true
  read -r secs kib <time.out
  printf '  %-12s %8.2f s  %8d KiB peak  %7d event lines  %s\n' "$1" "$secs" "$kib" "$(wc -l <events.out)" \
    "$(head -c 60 errors.out)"
}

for n in "$@"; do
  root=$(mktemp -d /tmp/kdl2nis-bench-XXXXXX)
  cp -a /etc "$root/etc"
  mkdir -p "$root/state" "$root/work" "$root/maps"
  mount --bind "$root/etc" /etc
  mount --bind "$root/state" "$state"
  generate "$n"
  age
  cd "$root/work"
  echo "== $n accounts ($(wc -l </etc/passwd) passwd, $(wc -l </etc/group) group lines)"
  measure first
  measure unchanged
  age
  measure touched
  sed -i '0~100 s#:/bin/sh$#:/bin/bash#' /etc/passwd
  sed -i '0~10 s#^\(team[0-9]*:x:[0-9]*:\)#\1newcomer,#' /etc/group
  age
  measure incremental
  cd "$root/maps"
  start=$(date +%s.%N)
  note="makedbm building passwd, group and shadow maps"
  for t in passwd group shadow; do
    # makedbm gives up on very long lines: the few huge groups are left out.
    # It also aborts inside gdbm on some large inputs; the time is still told.
    if ! awk 'BEGIN { FS=":" } length($0) < 1000 {print $1,$0}' /etc/$t | $makedbm - $t.byname 2>/dev/null; then
      note="$note; it aborted on $t"
    fi
  done 2>/dev/null
  printf '  %-12s %8.2f s  (%s)\n' makedbm "$(echo "$(date +%s.%N) - $start" | bc)" "$note"
  cd /
  umount /etc "$state"
  rm -rf "$root"
done
