#!/usr/bin/env bash
# CI step: builds the Debian package on this release (its library Depends are
# computed here), has lintian find no error and no warning in it, installs it
# with dpkg -i, runs the installed /usr/sbin/kdl2nis inside a private mount
# namespace (copies of /etc, /run and the state directory, so nothing real is
# touched), checks the installed manual page with groff, removes the package
# again, and checks that dpkg --purge takes the state directory with it.
#
# The machine is left as it was found. When the package, or another
# /usr/sbin/kdl2nis, is already there, the whole round trip runs in a private
# mount namespace over copy-on-write layers of the dpkg database and /usr, so
# that the existing installation is not disturbed. Needs root and a
# configured tree (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d /tmp/kdl2nis-pkgcheck-XXXXXX)
trap 'rm -rf "$work"' EXIT
export work

installed() { dpkg-query -W -f='${Status}' kdl2nis 2>/dev/null | grep -q 'ok installed'; }

# What the package touches, as a text to compare before and after.
fingerprint() {
  if installed; then echo "kdl2nis $(dpkg-query -W -f='${Version}' kdl2nis) installed"; else echo "kdl2nis not installed"; fi
  local p
  for p in /usr/sbin/kdl2nis /usr/share/man/man8/kdl2nis.8.gz /usr/share/doc/kdl2nis/copyright; do
    stat -c '%n %a %u:%g %s %Y' "$p" 2>/dev/null || echo "$p absent"
  done
  for p in /usr/lib/corvex /usr/lib/corvex/rules /usr/lib/corvex/rules/kdl2nis; do
    stat -c '%n %a %u:%g' "$p" 2>/dev/null || echo "$p absent"
  done
  ls -A /usr/lib/corvex/rules/kdl2nis 2>/dev/null || true
}

# dpkg -i, -r or --purge; a warning counts as a failure, except, on a purge,
# dpkg's note that it left the non-empty state directory to the postrm.
dpkg_clean() {
  local out
  if ! out=$(dpkg "$@" 2>&1); then printf '%s\n' "$out" >&2; return 1; fi
  if [ "$1" = --purge ]; then
    out=$(grep -v "directory '/usr/lib/corvex[a-z/]*' not empty so not removed" <<<"$out" || true)
  fi
  if grep -qi 'warning' <<<"$out"; then printf 'package check: dpkg %s warned:\n%s\n' "$1" "$out" >&2; return 1; fi
}

# In a private mount namespace: the installed shim, run on copies.
run_installed() {
  local status=0 out warnings
  sandbox_make kdl2nis-installed
  trap sandbox_release EXIT
  sandbox_accounts
  mkdir "$sandbox_root/work"
  cd "$sandbox_root/work"
  out=$(/usr/sbin/kdl2nis -n NIS -p queryUser:root 2>&1) || status=$?
  if [ "$status" -ne 253 ] || [ "$out" != "Error_main: -3" ]; then
    echo "package check: an unknown backend gave status $status and '$out'" >&2
    return 1
  fi
  if ! out=$(/usr/sbin/kdl2nis -n files -p queryUser:root); then
    echo "package check: queryUser:root failed" >&2
    return 1
  fi
  case $out in
    instanceUser:root:x:0:0:*) ;;
    *) echo "package check: queryUser:root answered '$out'" >&2; return 1 ;;
  esac
  warnings=$(zcat /usr/share/man/man8/kdl2nis.8.gz | groff -man -Tutf8 -ww -z 2>&1)
  if [ -n "$warnings" ]; then
    printf 'package check: the installed manual page: %s\n' "$warnings" >&2
    return 1
  fi
  echo "package check: the installed kdl2nis exits 253 on an argument error, answers a query, and its manual page renders"
}

# Copy-on-write layers over what dpkg -i and -r write (the dpkg database and
# /usr, where dpkg must be free to remove the package's directories), and an
# empty /var/log for dpkg's log.
shield_installation() {
  local d layer
  mkdir -p "$work/shield"
  mount -t tmpfs tmpfs "$work/shield"
  for d in /usr /var/lib/dpkg; do
    layer=$work/shield/${d//\//_}
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$d,upperdir=$layer/upper,workdir=$layer/work" "$d"
  done
  mount -t tmpfs tmpfs /var/log
}

round_trip() {
  dpkg_clean -i "$deb" || return 1
  if [ ! -x /usr/sbin/kdl2nis ] || [ "$(stat -c %a /usr/lib/corvex/rules/kdl2nis)" != 700 ]; then
    echo "package check: binary or state directory (mode 0700) missing after dpkg -i" >&2
    return 1
  fi
  unshare -m --propagation private bash -c "set -euo pipefail; . scripts/sandbox.sh; $(declare -f run_installed); run_installed" || return 1
  dpkg_clean -r kdl2nis || return 1
  if installed || [ -e /usr/sbin/kdl2nis ] || [ -e /usr/share/man/man8/kdl2nis.8.gz ]; then
    echo "package check: package or files left after dpkg -r" >&2
    return 1
  fi
  # A purge takes the state directory, pending-password stores and all.
  dpkg_clean -i "$deb" || return 1
  : > /usr/lib/corvex/rules/kdl2nis/.nis_files_pass
  dpkg_clean --purge kdl2nis || return 1
  if dpkg-query -W kdl2nis >/dev/null 2>&1 || [ -e /usr/lib/corvex/rules/kdl2nis ]; then
    echo "package check: package or state directory left after dpkg --purge" >&2
    return 1
  fi
}

cmake --build build -j"$(nproc)" >/dev/null
rm -f build/kdl2nis_*.deb
(cd build && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$PWD"/build/kdl2nis_*.deb)
export deb
echo "package check: built $(basename "$deb") on $(. /etc/os-release && echo "$PRETTY_NAME")"
dpkg-deb -f "$deb" Depends Suggests | sed 's/^/  /'

# lintian: no error and no warning; the overrides carry their reasons.
if ! command -v lintian >/dev/null; then
  echo "package check: installing lintian"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends lintian >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends lintian >/dev/null; }
fi
lintian_out=$(lintian -EvI --pedantic "$deb" 2>&1 || true)
printf '%s\n' "$lintian_out" | sed 's/^/  lintian: /'
if grep -qE '^[EW]: ' <<<"$lintian_out"; then
  echo "package check: lintian found errors or warnings" >&2
  exit 1
fi
echo "package check: lintian shows no error and no warning"

before=$(fingerprint)

# --prefix and DESTDIR keep every installed file under their roots (the
# fingerprint compared at the end shows that nothing went to /usr).
relocated() {
  local top=$1 listed
  listed=$(cd "$top" && find . ! -type d | sort | tr '\n' ' ')
  if [ "$listed" != "./$2sbin/kdl2nis ./$2share/doc/kdl2nis/changelog.gz ./$2share/doc/kdl2nis/copyright ./$2share/lintian/overrides/kdl2nis ./$2share/man/man8/kdl2nis.8.gz " ] ||
     [ "$(stat -c %a "$top/$2lib/corvex/rules/kdl2nis")" != 700 ]; then
    echo "package check: install under $top gave: $listed" >&2
    exit 1
  fi
}
cmake --install build --prefix "$work/prefix" >/dev/null
relocated "$work/prefix" ""
DESTDIR=$work/dest cmake --install build >/dev/null
relocated "$work/dest" usr/
echo "package check: --prefix and DESTDIR installs stay under their roots"
# A state directory that holds anything is a real one: the purge must not
# reach it either. KDL2NIS_PACKAGE_SHIELD=1 asks for the private copies
# anyway, e.g. where host tests running beside the check use the state
# directory as their mount point.
if installed || [ -e /usr/sbin/kdl2nis ] || [ -n "$(ls -A /usr/lib/corvex/rules/kdl2nis 2>/dev/null)" ] ||
   [ "${KDL2NIS_PACKAGE_SHIELD:-0}" = 1 ]; then
  echo "package check: kdl2nis is installed here already, or the check was asked to stay private;" \
       "the round trip runs over private copies"
  export -f installed dpkg_clean run_installed shield_installation round_trip
  unshare -m --propagation private bash -c 'set -euo pipefail; shield_installation; round_trip'
else
  # Empty directories that dpkg -r takes away but that were here before (the
  # host tests make the state directory as their mount point).
  dirs=()
  for d in /usr/lib/corvex /usr/lib/corvex/rules /usr/lib/corvex/rules/kdl2nis; do
    if [ -d "$d" ]; then dirs+=("$(stat -c '%a %u %g' "$d") $d"); fi
  done
  status=0
  round_trip || status=$?
  if [ "$status" -ne 0 ] && installed; then dpkg -r kdl2nis >/dev/null 2>&1 || true; fi
  for entry in "${dirs[@]}"; do
    read -r mode uid gid d <<<"$entry"
    if [ ! -d "$d" ]; then mkdir "$d" && chown "$uid:$gid" "$d" && chmod "$mode" "$d"; fi
  done
  [ "$status" -eq 0 ] || exit "$status"
fi

after=$(fingerprint)
if [ "$before" != "$after" ]; then
  echo "package check: the machine differs after the round trip:" >&2
  diff <(printf '%s\n' "$before") <(printf '%s\n' "$after") >&2 || true
  exit 1
fi
echo "package check: dpkg -i, -r and --purge ran cleanly; the machine is as it was"
