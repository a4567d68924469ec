# The publisher poll of the files backend: what the engine reads after
# changes made with the host's own tools.
echo
echo "-- publisher poll (files), in its own working directory"
mkdir -p poll && pushd poll >/dev/null
first=$("$shim" -n files -p "" </dev/null)
echo "first poll: $(printf '%s\n' "$first" | wc -l) event lines, for example:"
printf '%s\n' "$first" | grep -E '^(addGroup:root|addUser:root|modifyGroup:root)' | sed 's/^/  /'
echo "  stamp: $(cat qvnisfiles.stamp); committed: $(ls *.log | tr '\n' ' ')"
echo "an unchanged store publishes nothing:"
run -n files -p ""
useradd -s /bin/sh -c "Demo User" demo1 && groupadd demoteam && gpasswd -a demo1 demoteam >/dev/null
echo "after useradd demo1, groupadd demoteam, gpasswd -a demo1 demoteam:"
run -n files -p ""
usermod -s /bin/bash demo1 && chage -M 30 demo1
echo "after usermod -s /bin/bash demo1, chage -M 30 demo1:"
run -n files -p ""
userdel demo1 && groupdel demoteam
echo "after userdel demo1, groupdel demoteam; the engine is slow and the poll is stopped (SIGTERM):"
mkfifo answer
"$shim" -n files -p "" <answer >events & pid=$!
exec 9>answer
for _ in $(seq 50); do [ "$(wc -l <events)" -ge 3 ] && break; sleep 0.1; done
kill -TERM "$pid"; wait "$pid"; status=$?
echo "  -> exit status $status after printing $(wc -l <events) lines; nothing committed:" \
  "the committed snapshot still holds $(/usr/lib/yp/makedbm -u passwd.log | cut -f1 | grep -x demo1)"
exec 9>&-
echo "the next poll publishes the same events again:"
run -n files -p ""
popd >/dev/null
