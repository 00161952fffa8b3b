#!/bin/sh
# Fails when a source file includes a header from a folder above its own.
#
# The daemon's floors, lowest first. A file may include from its own floor
# and from every floor below it, never from one above:
floors="platform contracts mqtt base tables client commands service"
# Every other top-level folder with sources is a program of its own (tools/,
# platformd/, ...): it may include from its own folder and from these only.
shared="platform contracts mqtt"
# Tests and benchmarks reach into every layer on purpose.
exempt="tests bench build"
#
#   scripts/check-layers.sh    prints one line per wrong include, and a count
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

find . -path ./.git -prune -o -type f \( -name '*.cc' -o -name '*.h' \) -print |
  sed 's|^\./||' | grep / | sort |
  xargs grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]*/' /dev/null |
  awk -v floors="$floors" -v shared="$shared" -v exempt="$exempt" '
    BEGIN {
      n = split(floors, f, " ")
      for (i = 1; i <= n; i++) floor[f[i]] = i
      split(shared, s, " "); for (i in s) isShared[s[i]] = 1
      split(exempt, e, " "); for (i in e) isExempt[e[i]] = 1
    }
    {
      file = $0; sub(/:.*/, "", file)
      line = $0; sub(/^[^:]*:/, "", line); number = line; sub(/:.*/, "", number)
      header = line; sub(/^[^"]*"/, "", header); sub(/".*/, "", header)
      from = file; sub(/\/.*/, "", from)
      to = header; sub(/\/.*/, "", to)
      if (from in isExempt || to == from) next
      ok = (from in floor) ? (to in floor) && floor[to] <= floor[from] : (to in isShared)
      if (!ok) {
        printf "%s:%s includes %s, above or beside %s/\n", file, number, header, from
        wrong++
      }
    }
    END {
      if (!wrong) { print "check-layers: every include points down"; exit 0 }
      printf "check-layers: %d include(s) point up or across. The floors, lowest first:\n", wrong
      printf "  %s\nand a program (any other folder) includes from itself and %s only.\n",
             floors, shared
      exit 1
    }'
