#!/usr/bin/env bash
# Shows the shim at work as the engine runs it, inside a throw-away sandbox:
# a private mount namespace in which /etc, /home, /run, /var/yp and the state
# directory are copies. The machine's own account files are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
exec unshare -m --propagation private bash scripts/demo-inside.sh "$PWD/build/kdl2nis"
