#!/bin/sh
# The web page in a real browser: Debian's chromium, headless, driven by
# Playwright (npm playwright-core, pinned in tests/web/package-lock.json)
# against the real daemon, platformd, mqttweb and mosquitto on loopback.
# Screenshots of each step go to build/logs/web.
#
#   scripts/web-test.sh [BUILD_DIR]     default build/native (built already)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/native}
cd "$top"

scripts/need-packages.sh chromium mosquitto mosquitto-clients openssl
command -v npm >/dev/null 2>&1 || scripts/need-packages.sh nodejs npm

(cd tests/web && npm ci --no-audit --no-fund --loglevel=error)

export MQTTD_BIN="$top/$build/mqttd" PLATFORMD_BIN="$top/$build/platformd/platformd"
export MQTTWEB_BIN="$top/$build/web/mqttweb" CHROMIUM_BIN=/usr/bin/chromium
export MOSQUITTO_BIN=/usr/sbin/mosquitto MOSQUITTO_PUB_BIN="$(command -v mosquitto_pub)"
export MOSQUITTO_SUB_BIN="$(command -v mosquitto_sub)" SCREENSHOT_DIR="$top/build/logs/web"
rm -rf "$SCREENSHOT_DIR"
cd tests/web && node --test browser.test.mjs
