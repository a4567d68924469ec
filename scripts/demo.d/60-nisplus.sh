# The NIS+ backend. This platform has no NIS+, so the stand-in table tools
# that the tests use are put over /usr/local/bin here, with their tables in
# the sandbox.
echo
echo "-- nisplus: table commands, a query, then two polls of the transaction log"
mkdir -p "$root/localbin" "$root/nisplus"
cp -a /usr/local/bin/. "$root/localbin/"
for tool in nistbladm nismatch niscat nislog; do cp "$(dirname "$shim")/tools/$tool" "$root/localbin/"; done
mount --bind "$root/localbin" /usr/local/bin
export NISPLUS_STANDIN_DIR="$root/nisplus"
encrypted='$1$demo$Zx8ub1oQnl3kqn2cTDDrS/' run -n nisplus -p 'addUser:ada::3001:100:Ada L:/home/ada:/bin/sh::19000:0:99999:7:::'
run -n nisplus -p addUser:ada::3002:100
run -n nisplus -p addGroup:analysts:x:3100:ada
run -n nisplus -p 'modifyUser:ada::::Ada Lovelace'
run -n nisplus -p queryUser:ada
run -n nisplus -p ''
run -n nisplus -p renameUser:ada,lovelace
run -n nisplus -p deleteGroup:analysts
run -n nisplus -p ''
umount -l /usr/local/bin
