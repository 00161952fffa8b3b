#!/bin/sh
# Size and memory footprint of the programs, for the router (32-bit big-endian
# PowerPC) and natively for comparison. Prints figures; checks none of them.
#
#   scripts/footprint.sh
#   MQTTD_PPC_BUILD=DIR      cross build to use (default build/ppc)
#   MQTTD_NATIVE_BUILD=DIR   native build to use (default build/native)
#   FOOTPRINT_SETTLE_SECONDS how long the daemon runs after "mqtt: started"
#                            before its memory is read (default 2)
#   FOOTPRINT_MEASURES=0     leave out what each size measure saves (that
#                            part builds the three programs six more times,
#                            in build/footprint/)
#   MQTTD_JOBS=N             parallel build jobs (default: the core count)
#
# A build directory that does not exist yet is configured (RelWithDebInfo,
# like scripts/test.sh, with the size profile's default: all measures for
# the target, none natively); mqttd, mqttctl and platformd are (re)built.
# How to read the report: docs/target.md.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
ppc_build=${MQTTD_PPC_BUILD:-build/ppc}
native_build=${MQTTD_NATIVE_BUILD:-build/native}
settle=${FOOTPRINT_SETTLE_SECONDS:-2}
measures=${FOOTPRINT_MEASURES:-1}
jobs=${MQTTD_JOBS:-$(nproc)}
sysroot=/usr/powerpc-linux-gnu
qemu="qemu-ppc -L $sysroot"
start_timeout=60   # seconds to wait for "mqtt: started" (qemu is slow to load)
stop_timeout=30    # seconds to wait for the exit after SIGTERM
programs="mqttd tools/mqttctl platformd/platformd"
toolchain="-DCMAKE_TOOLCHAIN_FILE=$top/cmake/powerpc-linux-gnu.cmake -DMQTTD_WITH_TLS=OFF"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
runs=0

# ---- Builds ------------------------------------------------------------------------
build_programs() {  # DIR [cmake options...]
  dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$top" -B "$dir" -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$jobs" --target mqttd mqttctl platformd >/dev/null
}
# shellcheck disable=SC2086  # the toolchain options are split on purpose
build_programs "$ppc_build" $toolchain
build_programs "$native_build"

cache_value() {  # DIR NAME DEFAULT
  v=$(sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt")
  echo "${v:-$3}"
}

# A minimal C++ program built like the daemon (same compiler, -O2, libstdc++
# shared): it prints the daemon's start-up line and waits for a signal. Its
# resident memory is what any such program costs (loader, libc, libstdc++ and,
# under emulation, qemu itself), to subtract from the daemon's.
cat >"$tmp/minimal.cc" <<'EOF'
#include <unistd.h>

#include <iostream>

int main() {
  std::cout << "mqtt: started" << std::endl;
  pause();
}
EOF
powerpc-linux-gnu-g++ -O2 -std=c++17 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -o "$tmp/minimal-ppc" "$tmp/minimal.cc"
g++ -O2 -std=c++17 -o "$tmp/minimal-native" "$tmp/minimal.cc"

# ---- Size ----------------------------------------------------------------------------
stripped_size() {  # STRIP BINARY
  "$1" --strip-all -o "$tmp/stripped" "$2"
  stat -c %s "$tmp/stripped"
}
sizes() {  # STRIP DIR: the stripped size of each program, in bytes
  for p in $programs; do printf ' %s' "$(stripped_size "$1" "$2/$p")"; done
}
needed() {  # READELF BINARY
  "$1" -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' '
}
kib() { echo "$(( ($1 + 1023) / 1024 )) KiB"; }
size_row() {  # LABEL SIZE...
  label=$1; shift
  printf '  %-22s' "$label"
  for n in "$@"; do printf ' %8s %-8s' "$n" "($(kib "$n"))"; done
  echo
}
columns() { printf '  %-22s %-17s %-17s %-17s\n' "" mqttd mqttctl platformd; }

echo "== stripped sizes in bytes (strip --strip-all)"
columns
# shellcheck disable=SC2046  # one word per size
size_row "powerpc (target)" $(sizes powerpc-linux-gnu-strip "$ppc_build")
# shellcheck disable=SC2046
size_row "x86-64 (native)" $(sizes strip "$native_build")
echo "  goals on powerpc: mqttd <= 384 KiB, mqttctl <= 400 KiB"
echo "  powerpc: $(cache_value "$ppc_build" CMAKE_BUILD_TYPE RelWithDebInfo) build," \
  "size profile '$(cache_value "$ppc_build" MQTTD_SIZE_PROFILE all)';" \
  "x86-64: $(cache_value "$native_build" CMAKE_BUILD_TYPE RelWithDebInfo) build," \
  "size profile '$(cache_value "$native_build" MQTTD_SIZE_PROFILE none)'"
echo "  mqttd's sections (text data bss, unstripped):"
printf '    %-24s %s\n' "powerpc" \
  "$(powerpc-linux-gnu-size "$ppc_build/mqttd" | awk 'NR == 2 {print $1, $2, $3}')"
printf '    %-24s %s\n' "x86-64" "$(size "$native_build/mqttd" | awk 'NR == 2 {print $1, $2, $3}')"
echo "  shared libraries mqttd needs on the target: $(needed powerpc-linux-gnu-readelf "$ppc_build/mqttd")"
libstdcxx=$(stat -L -c %s "$sysroot/lib/libstdc++.so.6")
echo "  (the target's libstdc++.so.6 itself is $(kib "$libstdcxx"), shared with other programs)"

# Each measure of the size profile alone, then all of them, against none.
# Stripped sizes move in steps: the linker pads the file so that the data
# segment's read-only part ends on a 64 KiB boundary (the target's largest
# page). Text + data (the bytes loaded from the file) show every saving.
loaded() {  # SIZE-TOOL DIR: text + data of each program, in bytes
  for p in $programs; do printf ' %s' "$("$1" "$2/$p" | awk 'NR == 2 {print $1 + $2}')"; done
}
if [ "$measures" != 0 ]; then
  echo
  echo "== what each size measure saves on powerpc (bytes, against the build with none)"
  printf '  %-14s %-19s %-19s %-19s\n' "" mqttd mqttctl platformd
  printf '  %-14s' ""
  for p in $programs; do printf ' %9s %9s' stripped text+data; done
  echo
  for m in none os lto gc hidden all; do
    dir=build/footprint/ppc-$m
    # shellcheck disable=SC2086
    build_programs "$dir" $toolchain -DMQTTD_TESTS=OFF -DMQTTD_SIZE_PROFILE=$m
    # shellcheck disable=SC2046  # one word per size
    set -- $(sizes powerpc-linux-gnu-strip "$dir") $(loaded powerpc-linux-gnu-size "$dir")
    if [ "$m" = none ]; then
      base="$*"
      label=none
    else
      label="$m alone"
      [ "$m" = all ] && label="all together"
    fi
    printf '  %-14s' "$label"
    # shellcheck disable=SC2086
    for i in 1 4 2 5 3 6; do
      now=$(echo "$@" | cut -d' ' -f$i)
      was=$(echo $base | cut -d' ' -f$i)
      if [ "$m" = none ]; then printf ' %9d' "$now"; else printf ' %9d' $((now - was)); fi
    done
    echo
  done
fi

# ---- Resident memory -----------------------------------------------------------------
state() { awk '/^State:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }
alive() { s=$(state "$1"); [ -n "$s" ] && [ "$s" != Z ]; }
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

# measure NAME COMMAND...: starts the command under a fresh, empty root,
# waits for "mqtt: started", lets it settle, reads VmRSS, stops it with
# SIGTERM. Sets rss and outcome (a phrase for the report).
measure() {
  runs=$((runs + 1))
  root="$tmp/root-$runs-$1"
  out="$tmp/out-$runs-$1"
  shift
  mkdir "$root"
  : >"$out"  # exists before the wait below reads it
  KV_ROOT="$root" "$@" >"$out" 2>&1 </dev/null &
  pid=$!
  rss=-  # kB, or - when there is no figure
  waited=0
  until grep -q '^mqtt: started' "$out"; do
    if ! alive "$pid" || [ "$waited" -ge $((start_timeout * 10)) ]; then
      kill -KILL "$pid" 2>/dev/null || true
      code=0; wait "$pid" || code=$?
      outcome="did not start (exit status $code); its output:
$(sed 's/^/        /' "$out")"
      failed=1
      return
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  sleep "$settle"
  if ! alive "$pid"; then
    code=0; wait "$pid" || code=$?
    outcome="exited on its own after start-up (exit status $code)"
    failed=1
    return
  fi
  rss=$(status_kb "$pid" VmRSS)
  kill -TERM "$pid"
  waited=0
  while alive "$pid" && [ "$waited" -lt $((stop_timeout * 10)) ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if alive "$pid"; then
    kill -KILL "$pid"
    wait "$pid" || true
    outcome="did not stop within ${stop_timeout} s of SIGTERM (killed)"
    failed=1
    return
  fi
  code=0; wait "$pid" || code=$?
  case $code in
    0) outcome="stopped cleanly on SIGTERM" ;;
    143) outcome="was killed by SIGTERM (no handler: no clean stop)" ;;
    *) outcome="exit status $code after SIGTERM"; failed=1 ;;
  esac
}

kb() { if [ "$1" = - ]; then echo -; else echo "$1 kB"; fi; }
row() {  # LABEL DAEMON-RSS DAEMON-OUTCOME MINIMAL-RSS
  if [ "$2" != - ] && [ "$4" != - ]; then extra=$(($2 - $4)); else extra=-; fi
  printf '  %-40s %11s %11s %11s\n' "$1" "$(kb "$2")" "$(kb "$4")" "$(kb "$extra")"
  echo "      mqttd $3"
}

echo
echo "== resident memory after start-up with empty tables (VmRSS, ${settle} s after \"mqtt: started\")"
printf '  %-40s %11s %11s %11s\n' "" "mqttd" "minimal C++" "mqttd's own"
# shellcheck disable=SC2086  # $qemu is split into words on purpose
{
  measure daemon $qemu "$ppc_build/mqttd"
  daemon_rss=$rss daemon_outcome=$outcome
  measure minimal $qemu "$tmp/minimal-ppc"
  row "powerpc under emulation (includes qemu)" "$daemon_rss" "$daemon_outcome" "$rss"
}
measure daemon "$native_build/mqttd"
daemon_rss=$rss daemon_outcome=$outcome
measure minimal "$tmp/minimal-native"
row "x86-64 native" "$daemon_rss" "$daemon_outcome" "$rss"

cat <<EOF

  Under emulation the figures are those of the qemu-ppc process: the emulator,
  its translated code and the guest's memory together. The right-hand column
  (mqttd less a minimal C++ program under the same conditions) takes out the
  emulator's fixed cost and the shared libraries' start-up pages; what is left
  still includes the translated code of the daemon's own start-up, so it is
  roughly an upper bound of the daemon's own memory on the device. The
  native figure is the closer guide: the target's 32-bit pointers make the
  same tables smaller, not larger.
EOF

exit "$failed"
