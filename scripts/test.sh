#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD_DIR"
rm -rf fault-matrix
status=0
ctest --output-on-failure -j "$(nproc)" "$@" || status=$?
# The fault matrices the tests filled in, road by road.
for table in fault-matrix/*.txt; do
  [ -e "$table" ] && { echo; cat "$table"; }
done
exit "$status"
