# User and group commands of the files backend, with the host's own tools.
# useradd and userdel also touch lastlog, faillog and mail spools: give them
# private copies too.
for d in /var/log /var/mail; do
  mkdir -p "$root/copy$d" && cp -a "$d/." "$root/copy$d/" && mount --bind "$root/copy$d" "$d"
done
line() { printf '  %-11s %s\n' "$1:" "$(grep "^$2:" "$1" || echo '(none)')"; }
echo
echo "-- files: add a user (password from the engine's variable), change, rename, remove"
cleartext='Demo pass1' run -n files -m -p 'addUser:fdemo::2801::File Demo:/home/fdemo:/bin/sh:::0:90:7:::'
line /etc/passwd fdemo; line /etc/shadow fdemo
run -n files -p 'modifyUser:fdemo::::*:::::::30:::'
line /etc/passwd fdemo; line /etc/shadow fdemo
run -n files -p 'addUser:fdemo2::2801:::::::::::'
run -n files -p 'renameUser:fdemo,fdemo2'
line /etc/passwd fdemo2
echo
echo "-- files: a group with members, then other members, then gone"
cleartext= run -n files -p 'addUser:fdemo3::2803::::/bin/sh::::::::'
run -n files -p 'addGroup:fgroup:x:2810:fdemo2,fdemo3'
line /etc/group fgroup
run -n files -p 'modifyGroup:fgroup:::fdemo3'
line /etc/group fgroup
run -n files -p 'modifyGroup:fgroup:::nobody-here'
run -n files -p 'deleteGroup:fgroup'
line /etc/group fgroup
run -n files -r -p deleteUser:fdemo2
run -n files -p deleteUser:fdemo3
line /etc/passwd fdemo2
echo
echo "-- files: a hostile value is passed as text, never run"
run -n files -p 'modifyUser:root::::$(touch /tmp/owned):::::::::::'
line /etc/passwd root
[ -e /tmp/owned ] && echo '  ran!' || echo '  nothing ran'
umount -l /var/log /var/mail
