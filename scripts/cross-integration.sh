#!/bin/sh
# The router's daemon in the integration tests: the PowerPC mqttd of the
# cross build, run under qemu-ppc, driven across the local bus by this
# machine's console client and platform process, against mosquitto on
# loopback. The two sides differ in byte order and word size, so every bus
# frame and message between them proves the encoding; no unit test can.
#
#   scripts/cross-integration.sh   run by scripts/test.sh after the native
#                                  and cross builds; also works alone
#   MQTTD_NATIVE_BUILD=DIR         default build/native (integration_tests,
#                                  mqttctl, platformd)
#   MQTTD_PPC_BUILD=DIR            default build/ppc (mqttd)
#   MQTTD_JOBS=N                   tests run at once (default: core count)
#
# The harness starts the daemon as $MQTTD_TEST_LAUNCHER $MQTTD_TEST_DAEMON
# (tests/integration/harness.h); everything else runs natively.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
native=${MQTTD_NATIVE_BUILD:-build/native}
ppc=${MQTTD_PPC_BUILD:-build/ppc}
jobs=${MQTTD_JOBS:-$(nproc)}

scripts/need-packages.sh qemu-user mosquitto mosquitto-clients

# Every integration case but the memory bound, which would read the
# emulator's memory rather than the daemon's: connecting, publishing at
# QoS 0, 1 and 2, subscribing, arriving messages recorded and their scripts
# run by the native platform process, the console's verbs, the tables kept
# across a restart and a SIGKILL, start-up, the system log, the stop, and
# TLS through the native platform process's TLS service.
left_out='^DaemonMemory\.'

for f in "$native/tests/integration_tests" "$native/tools/mqttctl" "$native/platformd/platformd" \
         "$ppc/mqttd"; do
  if [ ! -x "$f" ]; then
    echo "cross-integration: $f is missing; run the native and cross builds first" >&2
    exit 1
  fi
done

MQTTD_TEST_DAEMON=$top/$ppc/mqttd
MQTTD_TEST_LAUNCHER="qemu-ppc -L /usr/powerpc-linux-gnu"
export MQTTD_TEST_DAEMON MQTTD_TEST_LAUNCHER
ctest --test-dir "$native" -L integration -E "$left_out" -j "$jobs" --output-on-failure \
  --timeout 600 --no-tests=error
