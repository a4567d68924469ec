# The NIS+ backend. This platform has no NIS+: the stand-in table tools that
# the tests use (nistbladm, nismatch, niscat, nislog over files in the
# sandbox) are put into /usr/local/bin here; there is no NIS+ client to read
# the result back, so niscat shows the tables.
title "nisplus backend: the tables passwd.org_dir and group.org_dir (stand-in tools)"
mkdir -p "$root/engine/nisplus" "$root/nisplus" && cd "$root/engine/nisplus"
for tool in nistbladm nismatch niscat nislog; do cp "$build/tools/$tool" /usr/local/bin/; done
export NISPLUS_STANDIN_DIR=$root/nisplus
nistbladm -a name=ada passwd="$(openssl passwd -1 'Ada pw0')" uid=3001 gid=100 gcos=Ada \
  home=/home/ada shell=/bin/sh shadow=19000:0:99999:7::: passwd.org_dir
note "The domain's tables already hold the user ada."

step "0. The engine's first poll: the transaction log from its start"
poll -n nisplus

step "1. Add a user and a group"
engine cleartext='Grace pw1' -n nisplus -p 'addUser:grace::3002:100:Grace H:/home/grace:/bin/sh::19100:0:99999:7:::'
engine -n nisplus -p addGroup:analysts:x:3100:grace,ada

step "2. Query them"
engine -n nisplus -p queryUser:grace
engine -n nisplus -p queryGroup:analysts

step "3. The tables as the NIS+ tools show them"
show niscat passwd.org_dir
show niscat group.org_dir
hash=$(nismatch name=grace passwd.org_dir | cut -d: -f2)
printf '  %s\n' "$(crypt_check 'Grace pw1' "$hash")"

step "4. A password change through modifyPassword"
note "ada's password is changed in the table; the engine hands the old and the new one over as tokens."
show nistbladm -E passwd="$(openssl passwd -1 'Ada pw1')" '[name=ada],passwd.org_dir'
engine -n nisplus -p "modifyPassword:ada:$(token 'Ada pw0'),$(token 'Ada pw1')"
note "(the empty line is modifyPassword's whole output; the change is now pending)"
pending .nisplus__pass

step "5. A local administrator changes something"
show nistbladm -E shell=/bin/bash '[name=grace],passwd.org_dir'

step "6. The engine polls: the transactions since its last poll"
poll -n nisplus

step "7. Answered, so the next poll has nothing to publish"
poll -n nisplus
unset NISPLUS_STANDIN_DIR
cd "$root"
