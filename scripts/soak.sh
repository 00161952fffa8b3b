#!/bin/sh
# The soak under network faults: one daemon with three broker rows against
# two mosquitto brokers, random faults every few seconds (link down, route
# gone, broker frozen, killed and restarted, a listener that never answers,
# a slow link) while a bus peer publishes and mosquitto_pub feeds the
# subscriptions. Prints what it counted; fails on an unanswered command, a
# daemon crash, or descriptor or memory drift beyond the allowances
# (docs/faults.md). Needs root for the network namespaces; without them it
# prints one "skipped" line and succeeds.
#
#   scripts/soak.sh SECONDS [SEED]
#   MQTTD_JOBS=N               parallel build jobs (default: the core count)
set -eu

if [ $# -lt 1 ]; then
  echo "usage: scripts/soak.sh SECONDS [SEED]" >&2
  exit 2
fi
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/need-packages.sh cmake ninja-build g++ mosquitto mosquitto-clients iproute2

dir=build/native
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "${MQTTD_JOBS:-$(nproc)}" --target mqttd fault_soak >/dev/null
exec "$dir/tests/fault_soak" "$@"
