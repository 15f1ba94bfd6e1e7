#!/usr/bin/env bash
# Several devices at once: vornic-cli writing 8 emulated DFU devices and 8
# simulated network devices in one command, against writing one; prints
# both times and their ratio.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec umockdev-wrapper "$BUILD_DIR/tools/fleet-benchmark/fleet-benchmark"
