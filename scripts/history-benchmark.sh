#!/usr/bin/env bash
# What the update history costs one update (its connection and three
# writes), and one network and one USB update by vornic-cli with and
# without it; and how fast
# `vornic-cli history` answers over 100 000 rows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec umockdev-wrapper "$BUILD_DIR/tools/history-benchmark/history-benchmark"
