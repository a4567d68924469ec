#!/usr/bin/env bash
# The demonstration proper; scripts/demo.sh runs it in a private mount
# namespace. Argument: the shim binary.
set -uo pipefail
shim=$1
scripts=$(cd "$(dirname "$0")" && pwd)

# Refuse to run where the machine itself would see the changes.
if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/$PPID/ns/mnt)" ]; then
  echo "demo: not in a private mount namespace; refusing" >&2
  exit 1
fi

root=$(mktemp -d /tmp/kdl2nis-demo-XXXXXX)
trap 'umount -l /etc /home /run /usr/lib/corvex/rules/kdl2nis 2>/dev/null; rm -rf "$root"' EXIT
cp -a /etc "$root/etc"
mkdir -p "$root/home" "$root/run/lock" "$root/state" "$root/work" /usr/lib/corvex/rules/kdl2nis
: > "$root/run/utmp"
mount --bind "$root/etc" /etc
mount --bind "$root/home" /home
mount --bind "$root/run" /run
mount --bind "$root/state" /usr/lib/corvex/rules/kdl2nis
cd "$root/work"

# Runs the shim as the engine would and shows what it answered.
run() {
  printf '\n$ kdl2nis'; printf ' %q' "$@"; printf '\n'
  "$shim" "$@" </dev/null
  printf '  -> exit status %d\n' "$?"
}
show() { printf '  %s: %s\n' "$1" "$(grep "^$2:" "$1" || echo '(none)')"; }

echo "== kdl2nis demonstration (sandbox $root) =="
echo "-- argument errors are refused before anything runs"
run -n NIS -p addUser:demo
run -p AddUser:demo
run -n files -p "$(printf 'addUser:demo\nroot::0:0::/:/bin/sh')"
# One part per backend or feature, in name order.
for part in "$scripts"/demo.d/*.sh; do
  [ -e "$part" ] && . "$part"
done
echo
echo "== done; the sandbox is removed =="
