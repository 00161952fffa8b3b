#!/bin/sh
# Builds what is needed and runs the daemon in the foreground, with the
# platform process (platformd: name resolution, TLS, scripts, the device
# identity) beside it, and the web page (mqttweb) on 127.0.0.1:8080
# (MQTTWEB_LISTEN changes it; its address is printed). Everything they
# write stays under the root directory (KV_ROOT): ROOT when given, else
# ./run in the checkout. Ctrl-C stops all three. Drive them from another
# terminal with
#   KV_ROOT=ROOT build/native/tools/mqttctl ...
# and set the page's password with
#   KV_ROOT=ROOT build/native/web/mqttweb password admin
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
scripts/need-packages.sh cmake ninja-build g++ googletest libssl-dev libmicrohttpd-dev \
  nlohmann-json3-dev pkg-config
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target mqttd mqttctl platformd mqttweb
export KV_ROOT="$root"
echo "root directory: $KV_ROOT"

# platformd and mqttweb wait for the daemon's bus and reconnect when it
# comes back; they stop when this script ends, however it ends.
build/native/platformd/platformd &
platformd_pid=$!
build/native/web/mqttweb --listen "${MQTTWEB_LISTEN:-127.0.0.1:8080}" &
web_pid=$!
stop_helpers() {
  kill "$platformd_pid" "$web_pid" 2>/dev/null || true
  wait "$platformd_pid" "$web_pid" 2>/dev/null || true
}
trap stop_helpers EXIT
trap 'stop_helpers; exit 130' INT TERM
status=0
build/native/mqttd || status=$?
exit "$status"
