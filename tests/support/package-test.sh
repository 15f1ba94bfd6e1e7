#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it: lintian finds
# no error and no warning; dependencies found from the linked libraries;
# the files in place; the udev rules reloaded after installing and after
# removing; valid desktop entries and AppStream metadata after unpacking
# into a scratch root; the packaged programs keep and read the update
# history.
set -euo pipefail
build=$1
qt=${2:-5}                      # the Qt major version the tree is built with
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/ordane-firmware-tools_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt${qt}widgets$qt libqt${qt}serialport$qt libqt${qt}network$qt libqt${qt}sql$qt \
               libqt${qt}sql$qt-sqlite libusb-1.0-0 libudev1; do
  case "$depends" in *"$library"*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done
recommends=$(dpkg-deb -f "$deb" Recommends)
case "$recommends" in *libqt${qt}sql$qt-psql*) ;; *) fail "Recommends lacks libqt${qt}sql$qt-psql: $recommends" ;; esac
# Nothing of the other Qt.
other=$((11 - qt))
case "$depends" in *libqt$other*) fail "Depends names Qt $other: $depends" ;; esac
# (grep reads to the end: with -q it would stop at the match, and tar,
# still writing, would die of SIGPIPE and fail the pipeline.)
dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -c '^\./postinst$' >/dev/null || fail "no postinst"
for script in postinst postrm; do
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" | grep -c 'udevadm control --reload-rules' >/dev/null \
    || fail "$script does not reload the udev rules"
done
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges is not recommended' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

dpkg -x "$deb" "$scratch/root"
for file in usr/bin/vornic usr/bin/tamsel usr/bin/vornic-cli usr/bin/tamsel-cli \
            usr/share/applications/vornic.desktop usr/share/applications/tamsel.desktop \
            usr/share/icons/hicolor/64x64/apps/vornic.png usr/share/icons/hicolor/32x32/apps/tamsel.png \
            usr/lib/udev/rules.d/70-ordane-firmware-tools.rules \
            usr/share/doc/ordane-firmware-tools/copyright usr/share/doc/ordane-firmware-tools/changelog.gz \
            usr/share/man/man1/vornic.1.gz usr/share/man/man1/vornic-cli.1.gz \
            usr/share/man/man1/tamsel.1.gz usr/share/man/man1/tamsel-cli.1.gz \
            usr/share/metainfo/com.ordane.Vornic.metainfo.xml usr/share/metainfo/com.ordane.Tamsel.metainfo.xml; do
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
for entry in Vornic Tamsel; do
  appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/com.ordane.$entry.metainfo.xml" >/dev/null \
    || fail "com.ordane.$entry.metainfo.xml is not valid"
done
# The programs as packaged keep the update history: one network update into
# the simulated device, then its row read back (a private data folder).
export XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config"
head -c 6400 /dev/urandom >"$scratch/DG_PACKAGE.IN2"
# (A port of its own choosing, which it says once it listens: a port picked
# here may be taken.)
"$build/tools/network-device-sim/network-device-sim" --port 0 --serial 04E2E5F6 >"$scratch/simulator.out" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null; rm -rf "$scratch"' EXIT
port=
for _ in $(seq 200); do
  port=$(sed -n 's/^listening on .*:\([0-9][0-9]*\)$/\1/p' "$scratch/simulator.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "the simulated device did not start: $(cat "$scratch/simulator.out")"
"$scratch/root/usr/bin/vornic-cli" update "127.0.0.1:$port" "$scratch/DG_PACKAGE.IN2" >/dev/null \
  || fail "the packaged vornic-cli could not update the simulated device"
hash=$(sha256sum "$scratch/DG_PACKAGE.IN2" | cut -d' ' -f1)
"$scratch/root/usr/bin/vornic-cli" history --json | grep -q "\"sha256\": \"$hash\"" \
  || fail "the packaged vornic-cli kept no history row with the image's SHA-256"
"$scratch/root/usr/bin/tamsel-cli" history --csv | grep -q "$hash" \
  || fail "the packaged tamsel-cli does not read the shared history"
echo "package ok: $(basename "$deb")"
