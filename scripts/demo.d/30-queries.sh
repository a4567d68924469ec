# Queries of the files backend, and a password change recorded as pending.
echo
echo "-- queries: by name, by pattern (anchored), without shadow, groups by gid"
printf 'qdemo:x:2901:100:Query Demo:/home/qdemo:/bin/sh\nqdemo2:x:2902:100::/home/qdemo2:/bin/sh\n' >> /etc/passwd
printf 'qdemo:%s:19000:0:99999:7:::\n' "$(openssl passwd -1 -salt demosalt 'Demo pass1')" >> /etc/shadow
run -n files -p queryUser:qdemo
run -n files -p 'queryUser:qdemo.+'
run -n files -s -p queryUser:qdemo
run -n files -p queryUser:nobody-here
run -n files -p queryGroup:::100

# A token as the engine makes it: the password encrypted with DES-CBC under
# a key and IV derived (MD5, 20 rounds) from the fixed pass phrase and salt.
token() {
  local d i
  d=$(printf '%s' 'Rt3mQ8vzLp2WkX7nGd4hYs9Bcmintcorb' | openssl md5 -binary | xxd -p)
  for i in $(seq 19); do d=$(printf '%s' "$d" | xxd -r -p | openssl md5 -binary | xxd -p); done
  printf '%s' "$1" | openssl enc -des-cbc -provider legacy -provider default \
    -K "${d:0:16}" -iv "${d:16:16}" -base64 -A
}
echo
echo "-- modifyPassword: recorded only when the new password is the stored one"
old=$(token 'Old pass0')
run -n files -p "modifyPassword:qdemo:$old,$(token 'Wrong one')"
run -n files -p "modifyPassword:qdemo:$old,$(token 'Demo pass1')"
# The store is a dbm file: key "qdemo" and value "OLD:NEW:1" lie side by side.
printf '  pending: %s\n' "$(tr -c '[:print:]' '\n' < /usr/lib/corvex/rules/kdl2nis/.nis_files_pass |
  sed -n 's/^qdemo\(.*:1\)$/qdemo => \1/p')"
