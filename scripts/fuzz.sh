#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#
#   scripts/fuzz.sh [build-dir] [seconds]     defaults: build-fuzz 20
#
# Needs clang and libFuzzer (Debian: clang, libclang-rt-14-dev). The build
# dir is taken relative to the current directory. Inputs the fuzzer finds
# go to <build-dir>/fuzz-corpus/<target>, crash reproducers to
# <build-dir>/fuzz-artifacts/; the committed seeds are only read.
# Exits non-zero when the build fails or a target finds a fault.
set -eu

build_dir=${1:-build-fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMQTTD_FUZZ=ON -DMQTTD_TESTS=OFF
cmake --build "$build_dir" --target packet_framer_fuzz bus_frame_fuzz client_stream_fuzz -j2

run_target() {
  target=$1
  seeds=$2
  corpus="$build_dir/fuzz-corpus/$target"
  artifacts="$build_dir/fuzz-artifacts/"
  mkdir -p "$corpus" "$artifacts"
  "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
    -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" "$seeds"
}

run_target packet_framer_fuzz "$root/tests/fuzz/corpus"
run_target bus_frame_fuzz "$root/tests/fuzz/bus-corpus"
run_target client_stream_fuzz "$root/tests/fuzz/corpus"
