# The files backend: /etc/passwd, /etc/shadow, /etc/group through the host's
# own tools, read back by PAM and NSS.
title "files backend: the host's /etc/passwd, /etc/shadow and /etc/group"
mkdir -p "$root/engine/files" && cd "$root/engine/files"
note "The engine runs the shim in a working directory of its own ($PWD)," \
     "where the publisher keeps its snapshots. The host already has a local user, alice."
useradd -m -u 1500 -g users -c Alice -s /bin/sh alice
echo 'alice:Alice pw0' | chpasswd -c MD5

step "0. The engine's first poll: every account the host has"
only=alice poll -n files
note "(every group and user of the host as added; alice's line shown)"

step "1. Add a user and a group"
engine cleartext='Demo pass1' -n files -m -p 'addUser:fdemo::2801:100:File Demo:/home/fdemo:/bin/sh::::90:7:::'
engine -n files -p addGroup:fteam:x:2810:fdemo,alice
note "The same name again is refused: the exit status is the result code's low byte" \
     "(252 = -4, name in use) and the error trace names the failing routines:"
engine -n files -p 'addUser:fdemo::2802:100::/home/fdemo2:/bin/sh::::::::'

step "2. Query them"
engine -n files -p queryUser:fdemo
engine -n files -p queryGroup:fteam
engine -n files -p 'queryUser:.*demo:::100'

step "3. PAM and NSS accept the result"
pam_login fdemo 'Demo pass1'
pam_login fdemo 'wrong guess'
show getent passwd fdemo
show getent group fteam
show id -nG alice

step "4. A password change through modifyPassword"
note "alice changes her password on the host; the engine learns the old and the new one" \
     "and hands them to the shim as tokens. The shim records the change only if the" \
     "new password is the one the store now holds, for the next poll to publish."
echo 'alice:Alice pw1' | chpasswd -c MD5
engine -n files -p "modifyPassword:alice:$(token 'Alice pw0'),$(token 'Alice pw1')"
note "modifyPassword's only output is an empty line; its answer is the exit status."
pending .nis_files_pass
note "A new password that is not the stored one is not recorded (the exit status is still 0):"
engine -n files -p "modifyPassword:fdemo:$(token 'Demo pass1'),$(token 'not it')"
pending .nis_files_pass

step "5. A local administrator changes something"
show usermod -c 'Alice Liddell' -s /bin/bash alice
show groupadd -g 2811 fguests

step "6. The engine polls: the changes since its last poll"
poll -n files
note "Deletions would come first, then groups without members, then users (alice's" \
     "modifyUser carries the new password as a token, followed by its modifyPassword)," \
     "then the member lists. The engine's own changes come back too; it knows them."

step "7. Answered, so the next poll has nothing to publish"
poll -n files
cd "$root"
