#!/usr/bin/env bash
# Runs the README's test command (bash scripts/test.sh) on Debian 13 (trixie),
# in a minimal chroot made with debootstrap, from a copy of this source tree
# with its own build directory. Needs root and the Debian archive.
#   scripts/trixie.sh [COMMAND...]
# A command given runs instead, in the tree's copy (e.g. to rerun a few tests:
# scripts/trixie.sh sh -c 'scripts/setup.sh && cd build && ctest -R Nis').
# The chroot is kept in $KDL2NIS_TRIXIE_ROOT (default
# /var/cache/kdl2nis/trixie) and reused by later runs; without one it is made.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
root=${KDL2NIS_TRIXIE_ROOT:-/var/cache/kdl2nis/trixie}
mirror=${KDL2NIS_TRIXIE_MIRROR:-http://deb.debian.org/debian}
case "$root" in
  /*/?*) ;;
  *) echo "trixie: $root: not a directory of its own for the chroot" >&2; exit 1 ;;
esac

# Every mount below is made in a private mount namespace: none can outlive
# the run or be seen by the machine, even when the run is killed.
if [ -z "${KDL2NIS_TRIXIE_PRIVATE:-}" ]; then
  exec env KDL2NIS_TRIXIE_PRIVATE=1 unshare --mount --propagation private "$0" "$@"
fi

if [ ! -e "$root/.kdl2nis-complete" ]; then
  if ! command -v debootstrap >/dev/null; then
    echo "trixie: installing debootstrap"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  fi
  echo "trixie: making the chroot in $root"
  # A half-made chroot from an interrupted run is started afresh.
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase trixie "$root.new" "$mirror" >"$root.new.log" 2>&1 ||
    { tail -20 "$root.new.log" >&2; exit 1; }
  rm -rf "$root"
  mv "$root.new" "$root"
  mv "$root.new.log" "$root/var/log/kdl2nis-debootstrap.log"
  touch "$root/.kdl2nis-complete"
fi

mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mounted() { mount "$@" && mounts+=("${!#}"); }
# The chroot's root must be a mount point, so that the host tests can make
# their mounts private inside it.
mounted --bind "$root" "$root"
mounted -t proc proc "$root/proc"
mounted -t sysfs sysfs "$root/sys"
mounted --rbind /dev "$root/dev"
mounted -t tmpfs tmpfs "$root/run"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# A fresh copy of the tree each run; the chroot's own build directory stays.
dest=$root/root/kdl2nis
mkdir -p "$dest"
find "$dest" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
tar -C "$src" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$dest" -xf -

[ "$#" -gt 0 ] || set -- bash scripts/test.sh
echo "trixie: running $* in the chroot"
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb /bin/bash -c 'cd /root/kdl2nis && exec "$@"' trixie "$@"
