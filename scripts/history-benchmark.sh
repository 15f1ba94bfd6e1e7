#!/usr/bin/env bash
# What the update history costs one update (its connection and three
# writes), beside a whole network update by vornic-cli; and how fast
# `vornic-cli history` answers over 100 000 rows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec "${BUILD_DIR:-$top/build}/tools/history-benchmark/history-benchmark"
