#!/usr/bin/env bash
# Benchmark of the shim against the host's own tools, run by hand:
#   bench/bench.sh [--runs R] [ACCOUNTS...]    default: 10000 100000, R = 3
#   bench/bench.sh --smoke                     300 accounts, one run, checks only
#   bench/bench.sh --exec 'COMMAND' ACCOUNTS   sets up the data, then runs
#                                              COMMAND in the sandbox (profiling)
#   --shim PATH                                measures another binary than
#                                              build/kdl2nis (e.g. an older build)
#   --only GROUP[,GROUP...]                    runs only these groups of
#                                              operations: files_polls,
#                                              nis_polls, queries, files_events,
#                                              nis_events (writes no results)
# Needs root and a build (scripts/setup.sh).
#
# For each size N it makes N users and N/5 groups of 5 members, for the files
# backend (added to a copy of /etc) and for NIS (source files in
# /var/yp/ypfiles, maps built by the host's own Makefile and makedbm in
# /var/yp/bench.nis). Everything happens in a private mount namespace, over
# private copies of /etc, /var/yp, /home, /run, /var/log, /var/mail, the state
# directory and a work directory: the machine's own accounts are never
# touched.
#
# Each operation runs R times beside a reference doing the same work with
# the host's tools, on the same data, interleaved; the table gives medians.
# Every shim run is checked (result code, number of output lines, the store
# afterwards), so a broken shim cannot look fast; a failed check makes the
# run exit non-zero.
#
# Peak memory is VmHWM of the shim process itself, read while it is held at
# its exit (bench/measure.c), not the largest of its children, which is what
# GNU time's %M and wait4's ru_maxrss report.
#
# A full run replaces the "latest run" section of bench/results.md; the smoke
# mode writes nothing there.
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  cd "$(dirname "$0")/.."
  repo=$PWD
  mode=full runs=3 exec_cmd= only= shim=$repo/build/kdl2nis
  sizes=()
  while [ "$#" -gt 0 ]; do
    case $1 in
      --smoke) mode=smoke ;;
      --runs) runs=$2; shift ;;
      --exec) mode=exec exec_cmd=$2; shift ;;
      --shim) shim=$(realpath "$2"); shift ;;
      --only) only=$2; shift ;;
      -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
      [0-9]*) sizes+=("$1") ;;
      *) echo "bench: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
  done
  if [ "$mode" = smoke ]; then
    runs=1
    [ "${#sizes[@]}" -gt 0 ] || sizes=(300)
  fi
  [ "${#sizes[@]}" -gt 0 ] || sizes=(10000 100000)
  [ "$(id -u)" = 0 ] || { echo "bench: needs root" >&2; exit 1; }
  [ -x "$shim" ] || { echo "bench: build first (scripts/setup.sh)" >&2; exit 1; }
  [ -f /var/yp/Makefile ] || { echo "bench: needs the host's NIS server files (/var/yp/Makefile)" >&2; exit 1; }
  commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
  git diff --quiet HEAD -- src 2>/dev/null || commit="$commit+changes"
  [ "$shim" = "$repo/build/kdl2nis" ] || commit="$shim"
  export BENCH_ONLY=$only
  export BENCH_REPO=$repo BENCH_SHIM=$shim BENCH_MODE=$mode BENCH_RUNS=$runs BENCH_EXEC=$exec_cmd BENCH_COMMIT=$commit
  exec unshare -m --propagation private bash "$0" --inside "${sizes[@]}"
fi
shift

if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink /proc/$PPID/ns/mnt)" ]; then
  echo "bench: not in a private mount namespace; refusing" >&2
  exit 1
fi

repo=$BENCH_REPO
mode=$BENCH_MODE
runs=$BENCH_RUNS
shim=$BENCH_SHIM
state=/usr/lib/corvex/rules/kdl2nis
makedbm=/usr/lib/yp/makedbm
maps=/var/yp/bench.nis
src=/var/yp/ypfiles
make_line="make -f /var/yp/Makefile passwd group >/dev/null 2>&1"
account_tools=(useradd usermod userdel chage groupadd groupmod groupdel)
failures=0
root=

# ---------------------------------------------------------------- sandbox

. "$repo/scripts/sandbox.sh"
cleanup() {
  cd /
  sandbox_release
  root=
}
trap cleanup EXIT

make_sandbox() {
  sandbox_make kdl2nis-bench
  root=$sandbox_root
  mkdir -p "$root"/{work,real,wrap}
  sandbox_accounts || exit 1
  cc -O2 -o "$root/measure" "$repo/bench/measure.c"
}

# ---------------------------------------------------------------- data

# Appends users first..last and their groups (one group of 5 members for
# every 5 users) to the passwd, shadow and group files of directory $1.
generate() {  # dir first last
  awk -v dir="$1" -v first="$2" -v last="$3" 'BEGIN {
    hash = "AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCd"
    for (i = first; i <= last; i++) {
      name = sprintf("bench%07d", i)
      printf "%s:x:%d:%d:Bench user %d:/home/%s:/bin/sh\n", name, 100000 + i, 200000 + int((i - 1) / 5), i, name >> (dir "/passwd")
      printf "%s:$6$%016d$%s:19000:0:99999:7:::\n", name, i, hash >> (dir "/shadow")
      if (i % 5 == 0) {
        g = i / 5 - 1
        printf "team%06d:x:%d:", g, 200000 + g >> (dir "/group")
        for (m = i - 4; m <= i; m++) printf "%sbench%07d", (m > i - 4 ? "," : ""), m >> (dir "/group")
        printf "\n" >> (dir "/group")
      }
    }
  }'
}

step=0
age() {  # files...: a modification time in the past, as a settled change
  step=$((step + 1))
  touch -d "@$(($(date +%s) - 10000 + step))" "$@"
}

setup_data() {  # n
  local n=$1
  generate /etc 1 "$n"
  mkdir -p "$src" "$maps"
  : >"$src/passwd"
  : >"$src/group"
  install -m 600 /dev/null "$src/shadow"
  generate "$src" 1 "$n"
  # The host's Makefile, set up as the README's NIS host set-up says. No
  # ypserv runs here, so makedbm is not asked to clear its cache ("-c"),
  # which waits a minute per map when nothing answers.
  sed -i -e "s#^YPSRCDIR = /etc\$#YPSRCDIR = $src#" -e "s#^YPPWDDIR = /etc\$#YPPWDDIR = $src#" \
    -e 's#^\(DBLOAD = .*/makedbm\) -c #\1 #' \
    -e 's#^passwd:    \tpasswd.byname passwd.byuid$#& $(if $(wildcard $(SHADOW)),shadow.byname)#' \
    /var/yp/Makefile
  grep -q 'wildcard $(SHADOW)' /var/yp/Makefile || { echo "bench: cannot set up /var/yp/Makefile" >&2; exit 1; }
  touch -d "@$(($(date +%s) - 30000))" /var/yp/Makefile "$src"/*
  (cd "$maps" && eval "$make_line") || { echo "bench: the NIS maps were not built" >&2; exit 1; }
  age /etc/passwd /etc/shadow /etc/group "$maps"/*
}

name_of() { printf 'bench%07d' "$1"; }

# An event of the user layout: command, name, then index=value pairs for
# fields 1 to 14.
user_event() {
  local command=$1 name=$2 i
  shift 2
  local -a f=("$name" "" "" "" "" "" "" "" "" "" "" "" "" "" "")
  for pair in "$@"; do f[${pair%%=*}]=${pair#*=}; done
  local text=$command
  for ((i = 0; i < 15; i++)); do text+=":${f[i]}"; done
  printf '%s' "$text"
}

# ---------------------------------------------------------------- measuring

clean_env=(env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C)

# Runs a command measured; its standard output goes to $root/out, its errors
# to $root/err. Sets m_secs, m_rc, m_own (KiB, the process itself).
measured() {  # dir env-assignments... -- command...
  local dir=$1
  shift
  local -a envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  (cd "$dir" && "${clean_env[@]}" "${envs[@]}" "$root/measure" "$root/m.rep" "$@" \
    </dev/null >"$root/out" 2>"$root/err")
  read -r m_secs m_rc m_own _ <"$root/m.rep"
}

shim_run() {  # dir env-assignments... -- shim arguments...
  local dir=$1
  shift
  local -a envs=()
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  measured "$dir" "${envs[@]}" -- "$shim" "$@"
}

ref_run() {  # dir shell-command
  measured "$1" -- /bin/sh -c "$2"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

check_failed=
# A failed check of a shim run: told at once and marked in the table.
check() {  # description condition...
  local what=$1
  shift
  if ! "$@"; then
    echo "  CHECK FAILED: $what (rc $m_rc; $(tail -n 1 "$root/err" | head -c 200))" >&2
    check_failed=1
  fi
}
rc_is() { [ "$m_rc" = "$1" ]; }
lines_are() { [ "$(wc -l <"$root/out")" = "$1" ]; }
count_is() { [ "$(grep -c -- "$1" "$root/out" || true)" = "$2" ]; }

rows=()
declare -A first_secs
# One row of the table. ratio_ref: reference seconds, or "first:KEY" for a
# fraction of the first poll of that backend.
record() {  # operation target-ratio shim-seconds-list ref-seconds peaks-list
  local op=$1 target=$2 shim_s=$3 ref_s=$4 peak=$5 ratio met mib
  ratio=$(awk -v a="$shim_s" -v b="$ref_s" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }')
  mib=$(awk -v k="$peak" 'BEGIN { printf "%.1f", k / 1024 }')
  met=$(awk -v r="$ratio" -v t="$target" -v m="$mib" 'BEGIN {
    if (t == "-") print (m + 0 <= 16) ? "-" : "no (memory)"
    else if (r == "-" || r + 0 > t + 0) print "no"
    else print (m + 0 <= 16) ? "yes" : "no (memory)"
  }')
  [ -z "$check_failed" ] || met="CHECK FAILED"
  [ -z "$check_failed" ] || failures=$((failures + 1))
  rows+=("$op|$n|$(printf '%.3f|%.3f' "$shim_s" "$ref_s")|$ratio|$target_text|$mib|$met")
  printf '  %-46s %9.3f s %9.3f s  %7s x (target %s)  %6s MiB  %s\n' "$op" "$shim_s" "$ref_s" "$ratio" "$target_text" "$mib" "$met"
  check_failed=
}

# Runs an operation R times, shim then reference each time. The caller's
# functions: op_prepare r (untimed), op_shim r (measures, then checks),
# op_ref r (measures; empty when the reference is a figure of the shim).
declare -a s_times r_times s_peaks
bench_op() {  # label target-ratio target-text [reference-seconds]
  local label=$1 target=$2 r
  target_text=$3
  local fixed_ref=${4:-}
  s_times=() r_times=() s_peaks=()
  for ((r = 1; r <= runs; r++)); do
    op_prepare "$r"
    op_shim "$r"
    s_times+=("$m_secs")
    s_peaks+=("$m_own")
    if [ -z "$fixed_ref" ]; then
      op_ref "$r"
      r_times+=("$m_secs")
    fi
  done
  local s_med r_med peak
  s_med=$(median "${s_times[@]}")
  if [ -n "$fixed_ref" ]; then r_med=$fixed_ref; else r_med=$(median "${r_times[@]}"); fi
  peak=$(printf '%s\n' "${s_peaks[@]}" | sort -g | tail -n 1)
  record "$label" "$target" "$s_med" "$r_med" "$peak"
  last_median=$s_med
}
op_prepare() { :; }

# Runs the shim once with wrappers over the account tools and leaves the
# tool lines it ran, one per line, quoted for the shell, in $root/tools.log.
record_tool_lines() {  # env-assignments... -- shim arguments...
  local t path
  local -a wrapped=()
  : >"$root/tools.log"
  for t in "${account_tools[@]}"; do
    path=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "$t") || continue
    cp -p "$path" "$root/real/$t"
    cat >"$root/wrap/$t" <<EOF
#!/bin/bash
{ printf '%q' "\$0"; printf ' %q' "\$@"; echo; } >>'$root/tools.log'
exec '$root/real/$t' "\$@"
EOF
    chmod 755 "$root/wrap/$t"
    mount --bind "$root/wrap/$t" "$path"
    wrapped+=("$path")
  done
  shim_run "$root/work/sub" "$@"
  for path in "${wrapped[@]}"; do umount "$path"; done
  [ "$m_rc" = 0 ] && [ -s "$root/tools.log" ] || {
    echo "bench: recording the tool lines failed (rc $m_rc): $(tail -n 1 "$root/err")" >&2
    exit 1
  }
}

# The recorded tool lines for another account: every probe name and id
# replaced.
replay_lines() {  # from to [from to...]
  local text
  text=$(cat "$root/tools.log")
  while [ "$#" -gt 0 ]; do text=${text//"$1"/"$2"}; shift 2; done
  printf '%s\n' "$text"
}

# ---------------------------------------------------------------- operations

files_polls() {
  local w=$root/work/files
  mkdir -p "$w" "$root/work/ref"
  local users groups
  users=$(wc -l </etc/passwd)
  groups=$(wc -l </etc/group)

  op_prepare() { rm -rf "$w"; mkdir -p "$w"; rm -f "$state"/.nis_files_pass*; }
  op_shim() {
    shim_run "$w" -- -n files -p ""
    check "first poll result" rc_is 0
    check "first poll: $users users and $groups groups published" \
      eval 'count_is "^addUser:" "$users" && count_is "^addGroup:" "$groups" && lines_are $((users + 2 * groups))'
  }
  op_ref() {
    rm -f "$root/work/ref"/*
    ref_run "$root/work/ref" "for t in passwd group shadow; do awk 'BEGIN { FS=\":\" }{print \$1,\$0}' /etc/\$t | $makedbm - \$t.byname || exit 1; done"
  }
  bench_op "files poll: first" 1.2 "<= 1.2 x awk+makedbm of the 3 tables"
  local first=$last_median

  op_prepare() { :; }
  op_shim() {
    shim_run "$w" -- -n files -p ""
    check "unchanged poll result" rc_is 0
    check "unchanged poll publishes nothing" lines_are 0
  }
  bench_op "files poll: unchanged" 0.01 "<= 0.01 x first" "$first"

  op_prepare() {  # ten users get another shell
    local from=$(($1 * 10)) to=$(($1 * 10 + 9))
    awk -F: -v OFS=: -v a="$(name_of "$from")" -v b="$(name_of "$to")" \
      '$1 >= a && $1 <= b && $1 ~ /^bench/ { $7 = ($7 == "/bin/sh") ? "/bin/bash" : "/bin/sh" } 1' \
      /etc/passwd >"$root/passwd.new"
    cat "$root/passwd.new" >/etc/passwd
    age /etc/passwd /etc/shadow /etc/group
  }
  op_shim() {
    shim_run "$w" -- -n files -p ""
    check "poll after 10 changes result" rc_is 0
    check "poll after 10 changes publishes 10 modifyUser lines" eval 'count_is "^modifyUser:" 10 && lines_are 10'
  }
  bench_op "files poll: after 10 changes" 1.0 "<= 1.0 x first" "$first"

  # Without targets: the files touched but unchanged (a full comparison that
  # finds nothing), and 1% of the users and 10% of the groups changed.
  op_prepare() { age /etc/passwd /etc/shadow /etc/group; }
  op_shim() {
    shim_run "$w" -- -n files -p ""
    check "poll of touched files result" rc_is 0
    check "poll of touched files publishes nothing" lines_are 0
  }
  bench_op "files poll: touched, nothing changed" - "none (informative)" "$first"

  local newcomer
  newcomer=$(name_of "$n")
  op_prepare() {
    awk -F: -v OFS=: '$1 ~ /^bench/ && substr($1, 6) % 100 == 0 { $7 = ($7 == "/bin/sh") ? "/bin/bash" : "/bin/sh" } 1' \
      /etc/passwd >"$root/passwd.new"
    cat "$root/passwd.new" >/etc/passwd
    awk -F: -v OFS=: -v m=",$newcomer" '$1 ~ /^team/ && substr($1, 5) % 10 == 0 {
        if (substr($4, length($4) - length(m) + 1) == m) $4 = substr($4, 1, length($4) - length(m)); else $4 = $4 m
      } 1' /etc/group >"$root/group.new"
    cat "$root/group.new" >/etc/group
    age /etc/passwd /etc/shadow /etc/group
  }
  op_shim() {
    shim_run "$w" -- -n files -p ""
    check "poll after 1% and 10% changes result" rc_is 0
    check "poll after 1% and 10% changes publishes $((n / 100)) users and $((n / 50)) groups" \
      eval 'count_is "^modifyUser:" $((n / 100)) && count_is "^modifyGroup:" $((2 * (n / 50))) && lines_are $((n / 100 + 2 * (n / 50)))'
  }
  bench_op "files poll: 1% of users, 10% of groups changed" - "none (informative)" "$first"
}

nis_polls() {
  local w=$root/work/nis
  local nisargs=(-n nis -d "$maps" -y "$src")
  op_prepare() { rm -rf "$w"; mkdir -p "$w"; rm -f "$state"/.nis_yp_pass*; }
  op_shim() {
    shim_run "$w" -- "${nisargs[@]}" -p ""
    check "first NIS poll result" rc_is 0
    check "first NIS poll: $n users and $((n / 5)) groups published" \
      eval 'count_is "^addUser:" "$n" && count_is "^addGroup:" $((n / 5)) && lines_are $((n + 2 * (n / 5)))'
  }
  op_ref() {
    rm -f "$root/work/ref"/*
    ref_run "$root/work/ref" "for m in passwd.byname passwd.byuid group.byname group.bygid shadow.byname; do cp $maps/\$m . || exit 1; done; for m in passwd group shadow; do $makedbm -u \$m.byname >\$m.dump || exit 1; done"
  }
  bench_op "NIS poll: first" 1.5 "<= 1.5 x cp of 5 maps + makedbm -u of 3"
  local first=$last_median

  op_prepare() { :; }
  op_shim() {
    shim_run "$w" -- "${nisargs[@]}" -p ""
    check "unchanged NIS poll result" rc_is 0
    check "unchanged NIS poll publishes nothing" lines_are 0
  }
  bench_op "NIS poll: unchanged" 0.02 "<= 0.02 x first" "$first"

  op_prepare() {
    local from=$(($1 * 10)) to=$(($1 * 10 + 9))
    awk -F: -v OFS=: -v a="$(name_of "$from")" -v b="$(name_of "$to")" \
      '$1 >= a && $1 <= b { $7 = ($7 == "/bin/sh") ? "/bin/bash" : "/bin/sh" } 1' \
      "$src/passwd" >"$root/passwd.new"
    cat "$root/passwd.new" >"$src/passwd"
    (cd "$maps" && eval "$make_line")
    touch -d "@$(($(date +%s) - 20000 + step))" "$src"/*
    age "$maps"/*
  }
  op_shim() {
    shim_run "$w" -- "${nisargs[@]}" -p ""
    check "NIS poll after 10 changes result" rc_is 0
    check "NIS poll after 10 changes publishes 10 modifyUser lines" eval 'count_is "^modifyUser:" 10 && lines_are 10'
  }
  bench_op "NIS poll: after 10 changes" 1.0 "<= 1.0 x first" "$first"
}

queries() {
  local w=$root/work/query
  mkdir -p "$w"
  local mid=$((n / 2)) name uid gid group pattern expect
  name=$(name_of "$mid")
  uid=$((100000 + mid))
  group=$(printf 'team%06d' $((mid / 5)))
  gid=$((200000 + mid / 5))
  pattern="Bench user $((n / 30)).*"
  expect=$(awk -F: -v p="^$pattern\$" '$5 ~ p' /etc/passwd | wc -l)
  local nisargs=(-n nis -d "$maps" -y "$src")

  # One query: shim arguments, expected lines, reference command.
  query_op() {  # label event expected-lines reference backend-args...
    q_label=$1 q_event=$2 q_expect=$3 q_ref=$4
    shift 4
    q_args=("$@")
    op_shim() {
      shim_run "$w" -- "${q_args[@]}" -p "$q_event"
      check "$q_event result" rc_is 0
      check "$q_event answers $q_expect lines" eval 'lines_are "$q_expect" && count_is "^instance" "$q_expect"'
    }
    op_ref() { ref_run "$w" "$q_ref"; }
    bench_op "$q_label" 1.5 "<= 1.5 x one-pass reference"
  }
  query_op "files queryUser by name" "queryUser:$name" 1 "awk -F: '\$1 == \"$name\"' /etc/passwd" -n files
  query_op "files queryUser by uid" "queryUser:::$uid" 1 "awk -F: '\$3 == $uid' /etc/passwd" -n files
  query_op "files queryUser by comment pattern" "queryUser:::::$pattern" "$expect" "awk -F: '\$5 ~ /^$pattern\$/' /etc/passwd" -n files
  query_op "files queryGroup by name" "queryGroup:$group" 1 "awk -F: '\$1 == \"$group\"' /etc/group" -n files
  query_op "files queryGroup by gid" "queryGroup:::$gid" 1 "awk -F: '\$3 == $gid' /etc/group" -n files
  query_op "NIS queryUser by name" "queryUser:$name" 1 "$makedbm -u $maps/passwd.byname | awk '\$1 == \"$name\"'" "${nisargs[@]}"
  query_op "NIS queryUser by uid" "queryUser:::$uid" 1 "$makedbm -u $maps/passwd.byuid | awk '\$1 == \"$uid\"'" "${nisargs[@]}"
  query_op "NIS queryUser by comment pattern" "queryUser:::::$pattern" "$expect" "$makedbm -u $maps/passwd.byname | awk -F: '\$5 ~ /^$pattern\$/'" "${nisargs[@]}"
  query_op "NIS queryGroup by name" "queryGroup:$group" 1 "$makedbm -u $maps/group.byname | awk '\$1 == \"$group\"'" "${nisargs[@]}"
  query_op "NIS queryGroup by gid" "queryGroup:::$gid" 1 "$makedbm -u $maps/group.bygid | awk '\$1 == \"$gid\"'" "${nisargs[@]}"
}

files_events() {
  local w=$root/work/sub
  mkdir -p "$w"
  local hash='$6$benchsalt$AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCd'

  # addUser with a password: the tool lines the shim runs, then chpasswd -e.
  record_tool_lines "encrypted=$hash" -- -n files -p \
    "$(user_event addUser benchprobe 2=977001 3=200000 4="Bench probe" 5=/home/benchprobe 6=/bin/sh)"
  op_shim() {
    local name=benchadds$1 uid=$((978000 + $1))
    shim_run "$w" "encrypted=$hash" -- -n files -p \
      "$(user_event addUser "$name" 2=$uid 3=200000 4="Bench probe" 5=/home/benchprobe 6=/bin/sh)"
    check "files addUser result" rc_is 0
    check "files addUser stores the user and the hash" \
      eval 'grep -qxF "$name:x:$uid:200000:Bench probe:/home/benchprobe:/bin/sh" /etc/passwd && grep -qF "$name:$hash:" /etc/shadow'
  }
  op_ref() {
    local name=benchaddr$1
    ref_run "$w" "$(replay_lines benchprobe "$name" 977001 $((979000 + $1)))
echo '$name:$hash' | /usr/sbin/chpasswd -e"
  }
  bench_op "files addUser with a password" 1.2 "<= 1.2 x tool lines + chpasswd -e"

  # modifyUser of shell and comment.
  record_tool_lines -- -n files -p "$(user_event modifyUser "$(name_of 1)" 4="Changed probe" 6=/bin/bash)"
  op_shim() {
    local name
    name=$(name_of $((10 + $1)))
    shim_run "$w" -- -n files -p "$(user_event modifyUser "$name" 4="Changed probe" 6=/bin/bash)"
    check "files modifyUser result" rc_is 0
    check "files modifyUser changes shell and comment" grep -q "^$name:.*:Changed probe:/home/$name:/bin/bash\$" /etc/passwd
  }
  op_ref() { ref_run "$w" "$(replay_lines "$(name_of 1)" "$(name_of $((20 + $1)))")"; }
  bench_op "files modifyUser (shell and comment)" 1.2 "<= 1.2 x the same tool lines"

  record_tool_lines -- -n files -p "deleteUser:$(name_of 2)"
  op_shim() {
    local name
    name=$(name_of $((30 + $1)))
    shim_run "$w" -- -n files -p "deleteUser:$name"
    check "files deleteUser result" rc_is 0
    check "files deleteUser removes the user" eval '! grep -q "^$name:" /etc/passwd /etc/shadow'
  }
  op_ref() { ref_run "$w" "$(replay_lines "$(name_of 2)" "$(name_of $((40 + $1)))")"; }
  bench_op "files deleteUser" 1.2 "<= 1.2 x the same tool lines"
}

nis_events() {
  local w=$root/work/sub
  local nisargs=(-n nis -d "$maps" -y "$src")
  local hash='$6$benchsalt$AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCdEfGhIjKlMnOpQrStUvWxYz0123456789./AbCd'
  local edit="awk -F: -v OFS=: -v u=\"\$u\" '\$1 == u { \$5 = \"Changed probe\"; \$7 = \"/bin/bash\" } 1' $src/passwd >$src/passwd.tmp && mv $src/passwd.tmp $src/passwd"

  op_shim() {
    local name
    name=$(name_of $((50 + $1)))
    shim_run "$w" -- "${nisargs[@]}" -p "$(user_event modifyUser "$name" 4="Changed probe" 6=/bin/bash)"
    check "NIS modifyUser result" rc_is 0
    check "NIS modifyUser reaches the map" \
      eval '$makedbm -u $maps/passwd.byname | grep "^$name[[:space:]].*:Changed probe:/home/$name:/bin/bash\$" >/dev/null'
  }
  op_ref() { ref_run "$w" "u=$(name_of $((60 + $1))); $edit && cd $maps && $make_line"; }
  bench_op "NIS modifyUser (shell and comment)" 1.2 "<= 1.2 x awk edit of passwd + make"

  op_shim() {
    local name=benchnisadds$1 uid=$((981000 + $1))
    shim_run "$w" "encrypted=$hash" -- "${nisargs[@]}" -p \
      "$(user_event addUser "$name" 2=$uid 3=200000 4="Bench probe" 5=/home/$name 6=/bin/sh)"
    check "NIS addUser result" rc_is 0
    check "NIS addUser reaches the maps" \
      eval '$makedbm -u $maps/passwd.byuid | grep "^$uid[[:space:]]$name:" >/dev/null && $makedbm -u $maps/shadow.byname | grep -F "$name:$hash:" >/dev/null'
  }
  op_ref() {
    local name=benchnisaddr$1 uid=$((982000 + $1))
    ref_run "$w" "awk -v l='$name:x:$uid:200000:Bench probe:/home/$name:/bin/sh' '1; END { print l }' $src/passwd >$src/passwd.tmp && mv $src/passwd.tmp $src/passwd &&
awk -v l='$name:$hash:19000:0:99999:7:::' '1; END { print l }' $src/shadow >$src/shadow.tmp && mv $src/shadow.tmp $src/shadow &&
cd $maps && $make_line"
  }
  bench_op "NIS addUser with a password" 1.2 "<= 1.2 x awk edit of passwd and shadow + make"
}

# ---------------------------------------------------------------- report

write_results() {
  local file=$repo/bench/results.md tmp section
  section=$(
    echo "<!-- bench:begin (written by bench/bench.sh; edit outside these markers) -->"
    echo "## Latest run"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), commit $BENCH_COMMIT, $(nproc) cores, $(uname -r), median of $runs runs."
    echo
    echo "| operation | N | shim s | reference s | ratio | target | shim peak MiB | met |"
    echo "|---|---|---|---|---|---|---|---|"
    local row
    for row in "${rows[@]}"; do echo "| ${row//|/ | } |"; done
    echo "<!-- bench:end -->"
  )
  if [ -f "$file" ] && grep -q '^<!-- bench:begin' "$file"; then
    tmp=$(mktemp "$file.XXXXXX")
    awk -v section="$section" '
      /^<!-- bench:begin/ { print section; skip = 1; next }
      /^<!-- bench:end/ { skip = 0; next }
      !skip' "$file" >"$tmp"
    mv "$tmp" "$file"
  else
    { [ -f "$file" ] && cat "$file" && echo; echo "$section"; } >"$file.new"
    mv "$file.new" "$file"
  fi
  echo "bench: table written to bench/results.md"
}

for n in "$@"; do
  make_sandbox
  echo "== N = $n users, $((n / 5)) groups (files: $(($(wc -l </etc/passwd) + n)) passwd lines)"
  setup_data "$n"
  if [ "$mode" = exec ]; then
    (cd "$root/work" && BENCH_ROOT=$root BENCH_N=$n MAPS=$maps SRC=$src SHIM=$shim MEASURE=$root/measure bash -c "$BENCH_EXEC")
    cleanup
    continue
  fi
  for group in files_polls nis_polls queries files_events nis_events; do
    case ",${BENCH_ONLY:-$group}," in *",$group,"*) "$group" ;; esac
  done
  cleanup
done

if [ "$mode" = full ] && [ -z "${BENCH_ONLY:-}" ]; then write_results; fi
if [ "$failures" -gt 0 ]; then
  echo "bench: $failures operation(s) failed their checks" >&2
  exit 1
fi
