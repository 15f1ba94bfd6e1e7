#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vornic (arguments are passed on,
# e.g. the path of a firmware image).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
# Only what it starts: the tests are built by the test command.
bash "$top/scripts/build.sh" vornic
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting Vornic on the offscreen platform (nothing will be visible)." >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$BUILD_DIR/vornic/vornic" "$@"
