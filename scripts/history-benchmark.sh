#!/usr/bin/env bash
# What the update history costs one update (its connection and three
# writes), and one network and one USB update by vornic-cli with and
# without it; and how fast
# `vornic-cli history` answers over 100 000 rows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec umockdev-wrapper "${BUILD_DIR:-$top/build}/tools/history-benchmark/history-benchmark"
