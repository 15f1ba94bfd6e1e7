#!/usr/bin/env bash
# Installs what is missing, builds, and starts Tamsel, the pad updater.
# TAMSEL_ADAPTER=simulated starts it with the simulated adapter and pad.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" tamsel
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting Tamsel on the offscreen platform (nothing will be visible)." >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$BUILD_DIR/tamsel/tamsel" "$@"
