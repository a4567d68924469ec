#!/usr/bin/env bash
# Shows the shim at work: one conversation with the engine per backend, read
# back through PAM, NSS and a running NIS server. It all happens inside a
# throw-away sandbox: a private mount namespace in which /etc, /home, /run,
# /var/yp, /var/log, /var/mail and the state directory are copies, and a
# private network namespace in which rpcbind and ypserv serve only the
# demonstration. The machine's own files and network are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
# On a fresh machine the first three phases take minutes: say which one runs.
echo "demo: installing packages"
scripts/setup.sh --no-build >/dev/null
echo "demo: configuring"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "demo: building"
cmake --build build -j"$(nproc)" >/dev/null
echo "demo: running"
exec unshare -m -n --propagation private bash scripts/demo-inside.sh "$PWD/build"
