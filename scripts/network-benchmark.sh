#!/usr/bin/env bash
# Network upload speed against the simulated device: on loopback with the
# device answering each record after 0, 2 and 10 ms, and through a relay that
# holds every byte 0.5 or 10 ms each way (the device answering after 1 ms);
# prints records per second, the bound that three records in flight allow
# and the share of it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
exec "$BUILD_DIR/tools/network-benchmark/network-benchmark"
