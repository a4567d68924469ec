# The NIS backend: source files in /var/yp/ypfiles, maps of the domain
# demo.nis in /var/yp/demo.nis built by the host's Makefile and makedbm, and
# served by a real rpcbind and ypserv in this private network namespace.
title "nis backend: source files in /var/yp/ypfiles, maps in /var/yp/demo.nis"
mkdir -p "$root/engine/nis" && cd "$root/engine/nis"
mkdir -p /var/yp/ypfiles /var/yp/demo.nis
sed -i -e 's|^YPSRCDIR = /etc$|YPSRCDIR = /var/yp/ypfiles|' \
       -e 's|^YPPWDDIR = /etc$|YPPWDDIR = /var/yp/ypfiles|' \
       -e 's|^passwd:\(.*\)passwd.byuid$|passwd:\1passwd.byuid $(if $(wildcard $(SHADOW)),shadow.byname)|' \
       /var/yp/Makefile
printf 'alice:x:1001:1001:Alice:/home/alice:/bin/sh\n' > /var/yp/ypfiles/passwd
printf 'alice:%s:19000:0:99999:7:::\n' "$(openssl passwd -1 'Alice pw0')" > /var/yp/ypfiles/shadow
printf 'staff:x:1001:alice\n' > /var/yp/ypfiles/group
chmod 600 /var/yp/ypfiles/shadow
rebuild() { (cd /var/yp/demo.nis && make -f /var/yp/Makefile passwd group >/dev/null 2>&1); }
# ypserv gives up when rpcbind does not answer yet: each waits for the one before.
registered() {
  local _
  for _ in $(seq 100); do rpcinfo -p localhost 2>/dev/null | grep -q "$1" && return 0; sleep 0.1; done
  echo "demo: $1 did not register with rpcbind" >&2
  return 1
}
rpcbind -w -f >"$root/rpcbind.log" 2>&1 & rpcbind_pid=$!
registered portmapper || { kill "$rpcbind_pid"; exit 1; }
/usr/sbin/ypserv -f >"$root/ypserv.log" 2>&1 & ypserv_pid=$!
registered ypserv || { kill "$ypserv_pid" "$rpcbind_pid"; exit 1; }
# Maps are built as on a master whose ypserv runs: the Makefile's "makedbm -c"
# clears ypserv's cache, and waits a minute per map when nothing answers.
rebuild
note "The NIS master's Makefile reads /var/yp/ypfiles (YPSRCDIR, YPPWDDIR) and builds" \
     "shadow.byname with passwd. rpcbind (pid $rpcbind_pid) and ypserv (pid $ypserv_pid) run in" \
     "the foreground in the demonstration's own network namespace. The domain has alice and staff."
nis() {
  local env=()
  while [[ $1 == [a-z]*=* ]]; do env+=("$1"); shift; done
  engine ${env[@]+"${env[@]}"} -n nis -d /var/yp/demo.nis -y /var/yp/ypfiles "$@"
}
served() { show ypcat -h localhost -d demo.nis "$1"; }

step "0. The engine's first poll"
poll -n nis -d /var/yp/demo.nis

step "1. Add a user and a group"
nis cleartext='Carol pw1' -m -p 'addUser:carol::1005:1005:Carol C:/home/carol:/bin/sh::19100:0:99999:7:::'
nis -p addGroup:ops:x:1050:carol,alice

step "2. Query them"
nis -p queryUser:carol
nis -p queryGroup:ops

step "3. ypcat gets them from the running ypserv"
served passwd.byname
served group.byname
served shadow.byname
hash=$(ypcat -h localhost -d demo.nis shadow.byname | awk -F: '$1 == "carol" { print $2 }')
printf '  %s\n' "$(crypt_check 'Carol pw1' "$hash")"

step "4. A password change through modifyPassword"
note "alice's password is changed on the master (a new MD5 hash in the shadow source);" \
     "the engine hands the old and the new password over as tokens."
sed -i "s|^alice:[^:]*:|alice:$(openssl passwd -1 'Alice pw1'):|" /var/yp/ypfiles/shadow && rebuild
engine -n nis -d /var/yp/demo.nis -p "modifyPassword:alice:$(token 'Alice pw0'),$(token 'Alice pw1')"
note "(the empty line is modifyPassword's whole output; the change is now pending)"
pending .nis_yp_pass

step "5. A local administrator changes something"
note "# (in /var/yp/ypfiles/passwd) alice's shell becomes /bin/bash; make"
sed -i 's|^\(alice:.*\):/bin/sh$|\1:/bin/bash|' /var/yp/ypfiles/passwd && rebuild
served passwd.byname

step "6. The engine polls: the changes since its last poll"
poll -n nis -d /var/yp/demo.nis

step "7. Answered, so the next poll has nothing to publish"
poll -n nis -d /var/yp/demo.nis

kill "$ypserv_pid" "$rpcbind_pid"
wait "$ypserv_pid" "$rpcbind_pid" 2>/dev/null
printf '\n(ypserv and rpcbind stopped)\n'
cd "$root"
