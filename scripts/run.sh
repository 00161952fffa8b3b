#!/bin/sh
# Builds what is needed and runs the daemon in the foreground. Everything it
# writes stays under ./run in the checkout (the root directory, KV_ROOT).
# Stop it with Ctrl-C. Drive it from another terminal with
#   KV_ROOT=$PWD/run build/native/tools/mqttctl ...
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || [ ! -d /usr/src/googletest ]; then
  echo "installing build tools (cmake, ninja, g++, googletest)"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=""; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq cmake ninja-build g++ googletest libssl-dev
fi
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc)" --target mqttd mqttctl
export KV_ROOT="$top/run"
mkdir -p "$KV_ROOT"
echo "root directory: $KV_ROOT"
exec build/native/mqttd
