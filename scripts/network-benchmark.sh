#!/usr/bin/env bash
# Network upload speed against the simulated device on loopback: a 256 KiB
# image with a per-record answer delay of 0 and 2 ms; prints records per
# second and the share of the bound that three records in flight allow.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec "${BUILD_DIR:-$top/build}/tools/network-benchmark/network-benchmark"
