#!/usr/bin/env bash
# Long runs of both windows, printing resident memory (RSS) at checkpoints:
#   1. Vornic: emulated USB devices plugged and unplugged (default 100000
#      cycles, about 17 minutes);
#   2. Vornic: network devices added through the window's check against a
#      simulated device (default 10000 checks);
#   3. Tamsel: Modbus updates into the simulated pad with the trace capture
#      on (default 1000 updates).
# Each phase passes when its last checkpoint is within 2 MB of the one at
# the end of its warm-up (the first tenth, which fills the trace window up
# to its bound). Usage: scripts/soak.sh [PLUG-CYCLES [CHECKS [UPDATES]]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" vornic-soak tamsel-soak network-device-sim
build=$BUILD_DIR
export QT_QPA_PLATFORM=offscreen
plugs=${1:-100000}
checks=${2:-10000}
updates=${3:-1000}
status=0
umockdev-wrapper "$build/tools/soak/vornic-soak" plug "$plugs" || status=1
"$build/tools/soak/vornic-soak" checks "$checks" "$build/tools/network-device-sim/network-device-sim" || status=1
"$build/tools/soak/tamsel-soak" "$updates" || status=1
if [ "$status" = 0 ]; then echo "soak: memory bounded in every phase"; else echo "soak: FAILED"; fi
exit "$status"
