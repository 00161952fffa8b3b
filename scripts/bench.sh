#!/bin/sh
# Builds the benchmarks in release mode and runs them. The figures are
# printed, never checked: they depend on the machine.
#
#   BENCH_MESSAGES, BENCH_RUNS, BENCH_CALLGRIND_MESSAGES   see bench/broker/broker_bench.cc
#   BENCH_WAVE_ROWS (500), BENCH_WAVE_SECONDS (60)          see bench/wave/reconnect_wave.cc
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# The broker benchmark runs mosquitto and its clients, and callgrind.
scripts/need-packages.sh cmake ninja-build g++ nlohmann-json3-dev mosquitto mosquitto-clients valgrind
. scripts/quiet.sh
echo "== release build"
quiet bench-build sh -c 'cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMQTTD_TESTS=OFF && cmake --build build/release -j "$(nproc)" \
  --target mqttd bus_bench store_bench broker_bench wave_bench'
echo
echo "== bus round trips"
build/release/bench/bus_bench
echo
echo "== table store"
build/release/bench/store_bench
echo
echo "== broker client"
build/release/bench/broker_bench
echo
echo "== reconnect waves"
build/release/bench/wave_bench --rows "${BENCH_WAVE_ROWS:-500}" \
  --wave-seconds "${BENCH_WAVE_SECONDS:-60}"
