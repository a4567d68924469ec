#!/usr/bin/env bash
# The demonstration proper; scripts/demo.sh runs it in private mount and
# network namespaces. Argument: the build directory.
set -uo pipefail
build=$1
shim=$build/kdl2nis
scripts=$(cd "$(dirname "$0")" && pwd)

# Refuse to run where the machine itself would see the changes.
for ns in mnt net; do
  if [ "$(readlink /proc/self/ns/$ns)" = "$(readlink /proc/$PPID/ns/$ns)" ]; then
    echo "demo: not in a private $ns namespace; refusing" >&2
    exit 1
  fi
done

. "$scripts/sandbox.sh"
sandbox_make kdl2nis-demo
root=$sandbox_root
trap sandbox_release EXIT
sandbox_accounts || exit 1
sandbox_private /usr/local/bin || exit 1
ip link set lo up
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
state=/usr/lib/corvex/rules/kdl2nis

# --- How the conversation is shown -------------------------------------

title() { printf '\n\n==== %s ====\n' "$*"; }
step() { printf '\n--- %s\n' "$*"; }
note() { printf '    %s\n' "$@"; }
# Arguments as a reader would type them.
quote() {
  if [[ $1 =~ ^[A-Za-z0-9_./:,=@%+-]+$ ]]; then printf '%s' "$1"; else printf "'%s'" "${1//\'/\'\\\'\'}"; fi
}
words() {
  local a out=()
  for a; do
    if [[ $a =~ ^([a-z]+)=(.*)$ ]]; then out+=("${BASH_REMATCH[1]}=$(quote "${BASH_REMATCH[2]}")"); else out+=("$(quote "$a")"); fi
  done
  printf '%s' "${out[*]}"
}
# Shows a command with its output ("|") and standard error ("!").
show() {
  printf '\n# %s\n' "$(words "$@")"
  "$@" 2>&1 | sed 's/^/  | /'
}
# Runs the shim as the engine does: VAR=value words first, then the
# arguments. Shows standard output ("|", an empty line as "(empty line)"),
# standard error ("!") and the exit status.
engine() {
  local env=()
  while [[ $# -gt 0 && $1 == [a-z]*=* ]]; do env+=("$1"); shift; done
  printf '\nengine> %s\n' "$(words ${env[@]+"${env[@]}"} kdl2nis "$@")"
  env ${env[@]+"${env[@]}"} "$shim" "$@" </dev/null >"$root/out" 2>"$root/err"
  local status=$?
  sed -e 's/^$/(empty line)/' -e 's/^/  | /' "$root/out"
  sed 's/^/  ! /' "$root/err"
  printf '  exit status %d\n' "$status"
}
# A publisher poll with the hand-over made visible: the events up to the end
# of standard output (only those matching $only, when it is set), then the
# engine's one-byte answer, then the commit.
only=
poll() {
  printf '\nengine> %s\n' "$(words kdl2nis "$@" -p) ''"
  rm -f "$root/answer" "$root/events"
  mkfifo "$root/answer" "$root/events"
  exec 9<>"$root/answer"
  "$shim" "$@" -p '' <"$root/answer" >"$root/events" 2>"$root/err" 9>&- &
  local pid=$! n=0 line
  while IFS= read -r line; do
    n=$((n + 1))
    if [ -z "$only" ] || [[ $line =~ $only ]]; then printf '  | %s\n' "$line"; fi
  done <"$root/events"
  if [ -n "$only" ]; then printf '  | ... (%d lines in all)\n' "$n"; fi
  local waiting=
  kill -0 "$pid" 2>/dev/null && waiting="; the poll waits for the engine's answer"
  if [ "$n" -eq 0 ]; then note "(end of output: no events$waiting)"; else note "(end of output$waiting)"; fi
  printf 'y' >&9
  exec 9>&-
  wait "$pid"
  local status=$?
  sed 's/^/  ! /' "$root/err"
  if [ "$n" -eq 0 ]; then
    note "engine answers \"y\"; the poll exits with status $status"
  else
    note "engine answers \"y\": only now does the poll commit what it published; exit status $status"
  fi
}

# A password token as the engine makes it: the password encrypted with
# DES-CBC under the key and IV that PKCS #5 v1.5 derives (MD5, 20 rounds)
# from the fixed pass phrase and salt, in base64.
token() {
  local d i
  d=$(printf '%s' 'Rt3mQ8vzLp2WkX7nGd4hYs9Bcmintcorb' | openssl md5 -binary | xxd -p)
  for i in $(seq 19); do d=$(printf '%s' "$d" | xxd -r -p | openssl md5 -binary | xxd -p); done
  printf '%s' "$1" | openssl enc -des-cbc -provider legacy -provider default \
    -K "${d:0:16}" -iv "${d:16:16}" -base64 -A
}
# A password typed into PAM's login service for a user.
pam_login() {
  printf '\n# echo %s | pamtester login %s authenticate\n' "$(quote "$2")" "$1"
  printf '%s\n' "$2" | pamtester login "$1" authenticate 2>&1 | sed 's/^/  | /'
}
# Whether crypt(3) of a password gives the hash.
crypt_check() {
  perl -e 'print crypt($ARGV[0], $ARGV[1]) eq $ARGV[1] ? "crypt(3) of \"$ARGV[0]\" matches\n" : "crypt(3) of \"$ARGV[0]\" does NOT match\n"' "$1" "$2"
}
# The pending-password store of a backend, as "user => old:new:state".
pending() {
  printf '  pending in %s: ' "$state/$1"
  /usr/lib/yp/makedbm -u "$state/$1" 2>/dev/null | awk '{ printf "%s%s => %s", sep, $1, $2; sep = ", " } END { print "" }'
}

echo "kdl2nis demonstration, in sandbox $root"
echo "(lines after 'engine>' are what the engine runs; '|' is the shim's standard output, '!' its standard error)"
for part in "$scripts"/demo.d/*.sh; do
  [ -e "$part" ] && . "$part"
done
printf '\n==== done; the sandbox is removed ====\n'
