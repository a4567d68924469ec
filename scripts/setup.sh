#!/usr/bin/env bash
# Installs what building, testing, packaging and the demonstration need on a
# fresh Debian 12 or 13 machine (as root), then configures and builds into
# build/.
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

# pamtester, rpcbind, ypserv and yp-tools are the consumers that the tests and
# the demonstration read the shim's results back through; groff checks the
# manual page; dpkg-dev and file let CPack compute the package's Depends.
# procps is missing from a minimal system; gawk is the other awk the host
# tests run under (KDL2NIS_AWK=gawk).
packages=(build-essential cmake pkg-config libssl-dev libgdbm-dev libcrypt-dev
          googletest libgtest-dev ypserv passwd mawk gawk util-linux coreutils
          make openssl xxd mount pamtester rpcbind yp-tools groff-base dpkg-dev
          file iproute2 procps strace "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

daemons=(rpcbind ypserv ypbind yppasswdd ypxfrd)
# Read from /proc, not pgrep: a minimal system has no procps until the
# install below. Daemons in another network namespace are tests' own.
running() {
  local f d comm net
  net=$(readlink /proc/self/ns/net)
  for f in /proc/[0-9]*/comm; do
    { read -r comm <"$f"; } 2>/dev/null || continue
    for d in "${daemons[@]}"; do
      [ "$comm" = "$d" ] || continue
      [ "$(readlink "${f%/comm}/ns/net" 2>/dev/null)" = "$net" ] || continue
      f=${f#/proc/}
      echo "${f%/comm}"
    done
  done
}
if [ "${#missing[@]}" -gt 0 ]; then
  # The NIS and RPC packages come with services. None may start on this
  # machine: the tests run their own daemons in a private network namespace.
  # A policy-rc.d that answers 101 stops the maintainer scripts from starting
  # anything; one that was already there is put back afterwards.
  policy=/usr/sbin/policy-rc.d
  saved=
  if [ -e "$policy" ]; then
    saved=$(mktemp /usr/sbin/.policy-rc.d.kdl2nis-XXXXXX)
    cp -p "$policy" "$saved"
  fi
  restore_policy() {
    if [ -n "$saved" ]; then mv -f "$saved" "$policy"; else rm -f "$policy"; fi
  }
  trap restore_policy EXIT
  printf '#!/bin/sh\n# Temporary: no service starts while kdl2nis set-up installs packages.\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  before=$(running | tr '\n' ' ')

  # gawk outranks mawk in the alternatives: installing it must not change
  # the machine's awk, which the shim and the tests run by default.
  awk_before=$(readlink -f /usr/bin/awk || true)

  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [ -n "$awk_before" ] && [ "$(readlink -f /usr/bin/awk)" != "$awk_before" ]; then
    update-alternatives --quiet --set awk "$awk_before"
  fi

  restore_policy
  trap - EXIT
  for pid in $(running); do
    case " $before " in *" $pid "*) continue ;; esac
    echo "setup: warning: $(cat /proc/"$pid"/comm 2>/dev/null) (pid $pid) started during the install;" \
         "nothing here needs it on the host" >&2
  done
fi

if [ "$build" -eq 1 ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)"
fi
