#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet
# (apt-get, as root or through sudo). Does nothing when all are present.
#
#   scripts/need-packages.sh cmake ninja-build ...
set -eu
missing=""
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "== installing:$missing"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=""; fi
$sudo apt-get update -qq
# shellcheck disable=SC2086  # one word per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
