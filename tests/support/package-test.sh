#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it: dependencies
# found from the linked libraries, the files in place, the post-install
# step that reloads the udev rules, and valid desktop entries after
# unpacking into a scratch root.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/ordane-firmware-tools_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt5widgets5 libqt5serialport5 libqt5network5 libusb-1.0-0 libudev1; do
  case "$depends" in *"$library"*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -q '^\./postinst$' || fail "no postinst"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q 'udevadm control --reload-rules' \
  || fail "postinst does not reload the udev rules"

dpkg -x "$deb" "$scratch/root"
for file in usr/bin/vornic usr/bin/tamsel usr/bin/vornic-cli usr/bin/tamsel-cli \
            usr/share/applications/vornic.desktop usr/share/applications/tamsel.desktop \
            usr/share/icons/hicolor/64x64/apps/vornic.png usr/share/icons/hicolor/32x32/apps/tamsel.png \
            usr/lib/udev/rules.d/70-ordane-firmware-tools.rules; do
  [ -e "$scratch/root/$file" ] || fail "missing /$file"
done
for program in vornic tamsel vornic-cli tamsel-cli; do
  [ -x "$scratch/root/usr/bin/$program" ] || fail "/usr/bin/$program not executable"
done
grep -q 'ATTR{idVendor}=="3b5d", TAG+="uaccess"' "$scratch/root/usr/lib/udev/rules.d/70-ordane-firmware-tools.rules" \
  || fail "no access rule for the maker's devices"
for entry in vornic tamsel; do
  desktop-file-validate "$scratch/root/usr/share/applications/$entry.desktop" || fail "$entry.desktop is not valid"
  grep -q "^Exec=$entry" "$scratch/root/usr/share/applications/$entry.desktop" || fail "$entry.desktop runs something else"
done
echo "package ok: $(basename "$deb")"
