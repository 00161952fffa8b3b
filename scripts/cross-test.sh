#!/bin/sh
# Builds the daemon, the console client, the platform process (without its
# TLS service) and every unit-test binary for the router (32-bit big-endian
# PowerPC, cmake/powerpc-linux-gnu.cmake) in build/ppc, and runs the unit
# tests under qemu-ppc through ctest.
#
#   scripts/cross-test.sh      run by scripts/test.sh; also works alone
#   MQTTD_JOBS=N               parallel build and test jobs (default: core count)
#
# Left out of the cross build:
#   - the parts that need OpenSSL (MQTTD_WITH_TLS=OFF): Debian ships no
#     OpenSSL for this target;
#   - integration tests, benchmarks and fuzz targets: they need a broker,
#     the network, real timing or clang, and run natively.
# See docs/target.md.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${MQTTD_JOBS:-$(nproc)}
build=build/ppc
cd "$top"

# ---- Packages ------------------------------------------------------------------
scripts/need-packages.sh cmake ninja-build googletest g++-powerpc-linux-gnu qemu-user \
  nlohmann-json3-dev

# ---- Tests that cannot pass under user-mode emulation --------------------------
# A gtest negative filter (Suite.Name patterns joined by ':'), applied to every
# test binary. Only for emulation limits, never for faults of our own: a test
# that fails here because of byte order, word size or alignment is a bug to
# fix. None are needed at present.
emulation_skips=""

# ---- Configure and build -------------------------------------------------------
started=$(date +%s)
cmake -S "$top" -B "$build" -G Ninja --no-warn-unused-cli \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMQTTD_TESTS=ON -DMQTTD_WITH_TLS=OFF \
  >/dev/null

# Every unit-test binary the build defines (one per layer with tests).
test_targets=$(cmake --build "$build" --target help |
  sed -nE 's/^(\.\.\. )?([A-Za-z0-9_]+_tests)(: .*)?$/\2/p' |
  grep -v -e '^cmake_' -e '^integration_tests$' | sort -u | tr '\n' ' ')
if [ -z "$test_targets" ]; then
  echo "cross-test: the build defines no unit-test binary" >&2
  exit 1
fi
echo "building for powerpc: mqttd mqttctl platformd $test_targets"
# shellcheck disable=SC2086  # the target list is split on purpose
cmake --build "$build" -j "$jobs" --target mqttd mqttctl platformd $test_targets
built=$(date +%s)

# ---- Run under qemu-ppc ----------------------------------------------------------
if [ -n "$emulation_skips" ]; then
  GTEST_FILTER="-$emulation_skips"
  export GTEST_FILTER
fi
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300
finished=$(date +%s)

echo "powerpc: build $((built - started)) s, tests under qemu $((finished - built)) s"
