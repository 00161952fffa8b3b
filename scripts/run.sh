#!/bin/sh
# Builds what is needed and runs the daemon in the foreground. Everything it
# writes stays under ./run in the checkout (the root directory, KV_ROOT).
# Stop it with Ctrl-C. Drive it from another terminal with
#   KV_ROOT=$PWD/run build/native/tools/mqttctl ...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/need-packages.sh cmake ninja-build g++ googletest
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target mqttd mqttctl
export KV_ROOT="$top/run"
mkdir -p "$KV_ROOT"
echo "root directory: $KV_ROOT"
exec build/native/mqttd
