#!/usr/bin/env bash
# The production station: 8 emulated devices plugged at once against one,
# the time from a plug to the first block, and a soak of ARRIVALS devices
# (1000 unless given) with memory, descriptors, threads and history rows.
# The devices are reached through umockdev, then through their fast
# channels (each answering on a thread of its own, as real devices do).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" station-benchmark fastusbshim
arrivals=${1:-1000}
umockdev-wrapper "$BUILD_DIR/tools/station-benchmark/station-benchmark" 0
shim=$(find "$BUILD_DIR" -name libfastusbshim.so | head -1)
# The shim goes before umockdev's own library, which the wrapper preloads.
STATION_BENCHMARK_FAST=1 umockdev-wrapper sh -c 'LD_PRELOAD="$0:$LD_PRELOAD" exec "$@"' "$shim" \
  "$BUILD_DIR/tools/station-benchmark/station-benchmark" "$arrivals"
