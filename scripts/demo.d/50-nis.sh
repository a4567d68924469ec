# NIS: source files in /var/yp/ypfiles, maps in /var/yp/demo.nis built by the
# host's own Makefile and makedbm (a private copy of /var/yp).
echo
echo "-- NIS backend"
mkdir -p "$root/var_yp"
cp -a /var/yp/. "$root/var_yp/"
mount --bind "$root/var_yp" /var/yp
mkdir -p /var/yp/ypfiles /var/yp/demo.nis
sed -i -e 's|^YPSRCDIR = /etc$|YPSRCDIR = /var/yp/ypfiles|' \
       -e 's|^YPPWDDIR = /etc$|YPPWDDIR = /var/yp/ypfiles|' \
       -e 's|^passwd:\(.*\)passwd.byuid$|passwd:\1passwd.byuid $(if $(wildcard $(SHADOW)),shadow.byname)|' \
       /var/yp/Makefile
printf 'alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash\n' > /var/yp/ypfiles/passwd
printf 'alice:$6$salt$alicehash:19001:0:99999:7:::\n' > /var/yp/ypfiles/shadow
printf 'staff:x:1001:alice\n' > /var/yp/ypfiles/group
(cd /var/yp/demo.nis && make -f /var/yp/Makefile passwd group >/dev/null 2>&1)
nis() { run -n nis -d /var/yp/demo.nis -y /var/yp/ypfiles "$@"; }
poll() { echo '  (publisher poll)'; run -n nis -d /var/yp/demo.nis -p ''; }
mapline() { printf '  %s: %s\n' "$1" "$(/usr/lib/yp/makedbm -u "/var/yp/demo.nis/$1" | grep "^$2	" | cut -f2-)"; }

nis -m -p 'addUser:carol::1005:1005:Carol "C" \ $HOME:/home/carol:/bin/sh::19100:0:99999:7:::'
show /var/yp/ypfiles/passwd carol
show /var/yp/ypfiles/shadow carol
mapline passwd.byuid 1005
printf "  home: %s\n" "$(stat -c "%n %u:%g %A" /home/carol 2>&1)"
nis -p 'addUser:carol::1006:1006::/home/c:/bin/sh::::::::'
nis -p 'modifyUser:carol::::*::/bin/zsh::::::::'
nis -p 'queryUser:carol::::::::::::::'
nis -p 'queryUser:::1001::::::::::::'
nis -p 'queryUser:.*::::::::::::::'
nis -p 'renameUser:carol,caroline'
mapline shadow.byname caroline
nis -p 'addGroup:ops:x:1050:caroline'
nis -p 'modifyGroup:staff:::*'
nis -p 'queryGroup:.*:::'
nis -r -p 'deleteUser:caroline'
nis -p 'deleteGroup:ops'
poll
nis -p 'addUser:dora::1007:1007:Dora:/home/dora:/bin/sh::::::::'
touch -d "@$(( $(date +%s) + 2 ))" /var/yp/demo.nis/*
poll
poll
umount -l /var/yp
