#!/usr/bin/env bash
# Builds the project twice more, with AddressSanitizer+UBSan and with
# ThreadSanitizer, and runs the test suite in each (the package, demo and
# manual-page checks, which only repeat the normal build's, are left out). CI runs this after
# scripts/test.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
export QT_QPA_PLATFORM=offscreen
for sanitizers in address,undefined thread; do
  build="$top/build-${sanitizers%%,*}$qt_suffix"
  echo "== tests under -fsanitize=$sanitizers ($build)"
  BUILD_DIR="$build" CMAKE_EXTRA_ARGS="-DSANITIZE=$sanitizers" bash "$top/scripts/build.sh"
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" -E '^(package|demo_cli|man_pages)$' "$@")
done
