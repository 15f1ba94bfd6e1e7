#!/usr/bin/env bash
# Download speed of Vornic's DFU engine against dfu-util, both writing a 1 MiB
# image into the same emulated device: prints both times and their ratio.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec umockdev-wrapper "${BUILD_DIR:-$top/build}/tools/dfu-benchmark/dfu-benchmark"
