# Sourced, in a private mount namespace, by the scripts that run the shim or
# the host's account tools (demo, package check, benchmarks): the one way
# they put private copies over the machine's directories, so that nothing
# they do reaches the real ones. (The host tests have their own, richer
# sandbox in C++, tests/host/support/sandbox.cc.)
#   sandbox_make PREFIX          a fresh root, /tmp/PREFIX-XXXXXX, in $sandbox_root
#   sandbox_private DIR [empty]  a copy of DIR (or an empty directory) bound over DIR
#   sandbox_accounts             the account directories, as the shim meets them
#   sandbox_release              unmounts, newest first, and removes the root
sandbox_root=
sandbox_mounts=()
sandbox_state=/usr/lib/corvex/rules/kdl2nis

sandbox_make() {
  sandbox_root=$(mktemp -d "/tmp/$1-XXXXXX")
  chmod 755 "$sandbox_root"
}

sandbox_private() {
  local copy=$sandbox_root/copy$1
  mkdir -p "$copy" "$1"
  if [ "${2:-}" != empty ]; then cp -a "$1/." "$copy/" || return 1; fi
  mount --bind "$copy" "$1" || return 1
  sandbox_mounts+=("$1")
  # Checked, because a run over the real directory would change the machine.
  if [ "$(stat -c %d:%i "$copy")" != "$(stat -c %d:%i "$1")" ]; then
    echo "sandbox: $1 is not the copy after mounting" >&2
    return 1
  fi
}

# /etc, the maps, the logs and the mail copied; /home, /run and the state
# directory (mode 0700, as the package makes it) empty.
sandbox_accounts() {
  local d
  for d in /etc /var/yp /var/log /var/mail; do sandbox_private "$d" || return 1; done
  for d in /home /run "$sandbox_state"; do sandbox_private "$d" empty || return 1; done
  chmod 700 "$sandbox_state"
  mkdir -p /run/lock && : >/run/utmp
}

sandbox_release() {
  local i
  for ((i = ${#sandbox_mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${sandbox_mounts[i]}" 2>/dev/null || true
  done
  sandbox_mounts=()
  case $sandbox_root in
    /tmp/?*-??????) rm -rf "$sandbox_root" ;;
  esac
  sandbox_root=
}
