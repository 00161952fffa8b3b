#!/bin/sh
# Builds what is needed and runs the daemon in the foreground, with the
# platform process (platformd: name resolution, TLS, scripts, the device
# identity) beside it. Everything they write stays under the root
# directory (KV_ROOT): ROOT when given, else ./run in the checkout. Ctrl-C
# stops both. Drive them from another terminal with
#   KV_ROOT=ROOT build/native/tools/mqttctl ...
#
#   scripts/run.sh [ROOT]
set -eu
case "${1:-}" in
  -h|--help) echo "usage: scripts/run.sh [ROOT]   (the root directory; default ./run)"; exit 0 ;;
esac
[ $# -le 1 ] || { echo "usage: scripts/run.sh [ROOT]" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$top/run}
mkdir -p "$root"
root=$(cd "$root" && pwd)   # absolute, so that it holds wherever the programs run
cd "$top"
scripts/need-packages.sh cmake ninja-build g++ googletest libssl-dev
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target mqttd mqttctl platformd
export KV_ROOT="$root"
echo "root directory: $KV_ROOT"

# platformd waits for the daemon's bus and reconnects when it comes back;
# it stops when this script ends, however it ends.
build/native/platformd/platformd &
platformd_pid=$!
stop_platformd() {
  kill "$platformd_pid" 2>/dev/null || true
  wait "$platformd_pid" 2>/dev/null || true
}
trap stop_platformd EXIT
trap 'stop_platformd; exit 130' INT TERM
status=0
build/native/mqttd || status=$?
exit "$status"
