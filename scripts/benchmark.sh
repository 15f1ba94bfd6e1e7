#!/usr/bin/env bash
# Download speed of Vornic's DFU engine and of vornic-cli against dfu-util, all
# writing a 1 MiB image into the same emulated device: prints the times and the
# ratios to dfu-util; then a 1 MiB read against dfu-util -U, and an update with
# and without --backup (--read: those rows alone).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec umockdev-wrapper "$BUILD_DIR/tools/dfu-benchmark/dfu-benchmark" "$@"
