#!/usr/bin/env bash
# Builds the Debian package of both programs and installs it with apt, so
# that it can be removed again with `apt remove ordane-firmware-tools`. The
# package brings the desktop entries and the udev rules that let the user at
# the seat open the devices without root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
release=${BUILD_DIR:-}
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
build=${release:-$top/build-release$qt_suffix}
# Only the two programs: the package holds nothing else.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORDANE_QT="$ORDANE_QT" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vornic tamsel vornic-cli tamsel-cli
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >/dev/null)
deb=$(ls "$build"/package/ordane-firmware-tools_*.deb)
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q "$deb"
echo "Installed $(basename "$deb"): start Vornic or Tamsel from the desktop menu, or run vornic / tamsel."
