#!/bin/sh
# Runs every test: installs what is missing (Debian packages), checks that
# every include points down the layers, builds the native, sanitizer and
# cross builds, and runs unit and integration tests, the big-endian unit
# tests and daemon under emulation and a short fuzz run.
#
#   scripts/test.sh            everything
#   MQTTD_JOBS=N               parallel build jobs (default: the core count)
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${MQTTD_JOBS:-$(nproc)}
cd "$top"

# ---- Packages ----------------------------------------------------------------
scripts/need-packages.sh cmake ninja-build g++ googletest libssl-dev openssl mosquitto \
  mosquitto-clients iproute2 qemu-user g++-powerpc-linux-gnu clang libclang-rt-14-dev \
  libmicrohttpd-dev nlohmann-json3-dev pkg-config

# Each step's output goes to build/logs/<step>.log; one line is printed per
# step, or the failure's lines when a step fails.
. scripts/quiet.sh
step() { echo; echo "== $*"; }

build() {  # build DIR [cmake options...]
  dir=$1; shift
  cmake -S "$top" -B "$dir" -G Ninja "$@" && cmake --build "$dir" -j "$jobs"
}

# ---- Layers ------------------------------------------------------------------
step "layers: every include points down"
quiet layers scripts/check-layers.sh

# ---- Native ------------------------------------------------------------------
step "native: build, then unit and integration tests"
quiet native-build build build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet native-tests ctest --test-dir build/native -j "$jobs" --output-on-failure --timeout 300

step "web page: chromium against mqttweb, the daemon and mosquitto"
quiet web-page scripts/web-test.sh build/native

# ---- Network faults ----------------------------------------------------------------
step "fault soak: 60 s of random network faults against the daemon"
quiet fault-soak scripts/soak.sh 60

# ---- Address and undefined-behaviour sanitizers --------------------------------
step "sanitizers (address, undefined behaviour): build, then the same tests"
quiet asan-build build build/asan -DCMAKE_BUILD_TYPE=Debug -DMQTTD_SANITIZE=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
quiet asan-tests ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 600

# ---- Big-endian target under emulation ------------------------------------------
if [ -x scripts/cross-test.sh ]; then
  step "powerpc: cross build, unit tests under qemu-ppc"
  quiet powerpc scripts/cross-test.sh
  step "powerpc daemon under qemu-ppc: integration tests with the native console and platformd"
  quiet powerpc-daemon scripts/cross-integration.sh
fi

# ---- Fuzzing -------------------------------------------------------------------
if [ -x scripts/fuzz.sh ]; then
  step "short fuzz run (20 s a target)"
  scripts/fuzz.sh build/fuzz 20
fi

step "all tests passed (logs in build/logs)"
