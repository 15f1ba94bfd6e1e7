#!/usr/bin/env bash
# Configures and builds the project into build/ (build-qt6/ with ORDANE_QT=6,
# or $BUILD_DIR): everything, or only the targets named as arguments
# (scripts/vornic.sh builds just vornic).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
build=$BUILD_DIR
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DORDANE_QT="$ORDANE_QT" ${CMAKE_EXTRA_ARGS:-} >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
