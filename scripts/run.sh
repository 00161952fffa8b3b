#!/bin/sh
# Builds what is needed and runs the daemon in the foreground, with the
# platform process (platformd: name resolution, TLS, scripts, the device
# identity) beside it. Everything they write stays under ./run in the
# checkout (the root directory, KV_ROOT). The web page (mqttweb) is served
# beside them on 127.0.0.1:8080 (MQTTWEB_LISTEN changes it); its address is
# printed. Ctrl-C stops all three. Drive them from another terminal with
#   KV_ROOT=$PWD/run build/native/tools/mqttctl ...
# and set the page's password with
#   KV_ROOT=$PWD/run build/native/web/mqttweb password admin
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/need-packages.sh cmake ninja-build g++ googletest libssl-dev libmicrohttpd-dev \
  nlohmann-json3-dev pkg-config
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target mqttd mqttctl platformd mqttweb
export KV_ROOT="$top/run"
mkdir -p "$KV_ROOT"
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
