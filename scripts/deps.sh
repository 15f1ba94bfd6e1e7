#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, run and test.
# Safe to run again: it asks apt-get only for what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
  # Qt 6 beside it, for ORDANE_QT=6 builds.
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev
  # The update history: SQLite by default, PostgreSQL when the settings name
  # a server (and a throw-away server for its tests).
  libqt5sql5-sqlite libqt5sql5-psql libqt6sql6-sqlite libqt6sql6-psql postgresql libsqlite3-dev
  libusb-1.0-0-dev libudev-dev
  # Emulated USB devices for the tests (umockdev-wrapper and its library).
  umockdev libumockdev-dev
  # An independent DFU host that checks the emulated DFU device.
  dfu-util
  # An independent Modbus RTU slave on a pseudo-terminal pair for the pad tests.
  python3-pymodbus python3-serial python3-serial-asyncio socat
  # Building and checking the Debian package (dpkg-shlibdeps, desktop-file-validate,
  # lintian, appstreamcli; man for the manual pages).
  dpkg-dev desktop-file-utils lintian appstream man-db
  # Private networks for the network check tests (ip, unshare).
  iproute2 util-linux
  # libFuzzer with its sanitizers (scripts/fuzz.sh).
  clang libclang-rt-14-dev
  # Fonts for the offscreen platform the tests and snapshots use.
  fonts-dejavu-core fontconfig
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
