#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#
#   scripts/fuzz.sh [build-dir] [seconds]     defaults: build-fuzz 20
#
# Needs clang and libFuzzer (Debian: clang, libclang-rt-14-dev). The build
# dir is taken relative to the current directory. Inputs the fuzzer finds
# go to <build-dir>/fuzz-corpus/<target>, crash reproducers to
# <build-dir>/fuzz-artifacts/; the committed seeds are only read.
# The build and the fuzzers' progress go to logs in <build-dir>; one line per
# target is printed. Exits non-zero when the build fails or a target finds a
# fault, printing the end of its log. Memory
# counts as a fault too: an input that makes the process hold more than
# 768 MiB, or ask for 32 MiB at once, stops the run (inputs are at most
# 4 KiB, so either means something grew without bound); the bus target
# also checks the decoder's own documented bound on every input.
set -eu

build_dir=${1:-build-fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build_dir"
log="$build_dir/fuzz-build.log"
if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMQTTD_FUZZ=ON -DMQTTD_TESTS=OFF &&
       cmake --build "$build_dir" --target packet_framer_fuzz bus_frame_fuzz client_stream_fuzz \
         -j2; } >"$log" 2>&1; then
  tail -n 30 "$log"
  echo "fuzz: build failed (whole log: $log)" >&2
  exit 1
fi

run_target() {
  target=$1
  seeds=$2
  corpus="$build_dir/fuzz-corpus/$target"
  artifacts="$build_dir/fuzz-artifacts/"
  mkdir -p "$corpus" "$artifacts"
  out="$build_dir/fuzz-$target.log"
  # The fuzzer's progress goes to a log; a fault prints its report's end.
  if "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
      -rss_limit_mb=768 -malloc_limit_mb=32 -artifact_prefix="$artifacts" \
      -print_final_stats=1 "$corpus" "$seeds" >"$out" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out")
    echo "fuzz $target: ${runs:-?} inputs in ${seconds} s, no fault"
  else
    tail -n 40 "$out"
    echo "fuzz $target: FAULT (whole log: $out; reproducer in $artifacts)" >&2
    exit 1
  fi
}

run_target packet_framer_fuzz "$root/tests/fuzz/corpus"
run_target bus_frame_fuzz "$root/tests/fuzz/bus-corpus"
run_target client_stream_fuzz "$root/tests/fuzz/corpus"
