#!/usr/bin/env bash
# Every road tried without the maker's hardware.
#   bash scripts/demo.sh         Vornic with an emulated USB device, an emulated
#                                serial-port device and a simulated network device,
#                                and Tamsel on the simulated adapter and pad
#   bash scripts/demo.sh --cli   the same devices driven by vornic-cli and tamsel-cli
# Everything it sets up lives in a temporary folder (settings included) and goes
# when the windows close or the script ends; nothing of the user's is touched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
build=$BUILD_DIR

# Inside vornic-demo (see below): the command-line scenario against its devices.
if [ "${1:-}" = "--cli-inside" ]; then
  export PATH="$build/vornic:$PATH"
  step() { printf '\n$ %s\n' "$*"; "$@"; }
  step vornic-cli list --ip "$DEMO_NETWORK"
  step vornic-cli update "$DEMO_USB" "$DEMO_IMAGE"
  step vornic-cli update "$DEMO_SERIAL_PORT" "$DEMO_IMAGE"
  step vornic-cli update "$DEMO_NETWORK" "$DEMO_IMAGE" --reboot
  printf '\nA failure says why in one sentence and exits with its class (here 5, image problem):\n'
  cp "$DEMO_IMAGE" "$DEMO_WORK/PR_OTHER.INC"
  step vornic-cli update "$DEMO_USB_SERIAL" "$DEMO_WORK/PR_OTHER.INC" || echo "exit code $?"
  exit 0
fi

mode=${1:-}
if [ "$mode" != "--cli" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: showing the command-line demo instead (the windows need a display)."
  mode=--cli
fi

bash "$top/scripts/deps.sh"
# Only what the demo runs.
if [ "$mode" = "--cli" ]; then
  bash "$top/scripts/build.sh" vornic-demo vornic-cli tamsel-cli
else
  bash "$top/scripts/build.sh" vornic-demo tamsel
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Private settings for both programs, and the simulated pad's options.
export XDG_CONFIG_HOME="$work/config"
export DEMO_WORK="$work"
mkdir -p "$XDG_CONFIG_HOME/Ordane"
head -c 30720 /dev/urandom > "$work/PAD_DEMO.INC"
cat > "$XDG_CONFIG_HOME/Ordane/Tamsel.ini" <<INI
[settings]
filename=$work/PAD_DEMO.INC
connection_type=1
address=80

[adapter]
backend=simulated
image=$work/pad-received.bin
delay_ms=2
INI

pad_report() {
  if [ ! -s "$work/pad-received.bin" ]; then
    echo "  pad (SUB-20, simulated):     nothing written"
  elif cmp -s "$work/PAD_DEMO.INC" "$work/pad-received.bin"; then
    echo "  pad (SUB-20, simulated):     $(stat -c %s "$work/pad-received.bin") bytes, identical to the image"
  else
    echo "  pad (SUB-20, simulated):     $(stat -c %s "$work/pad-received.bin") bytes, DIFFERENT from the image"
  fi
}

if [ "$mode" = "--cli" ]; then
  export QT_QPA_PLATFORM=offscreen
  umockdev-wrapper "$build/tools/vornic-demo/vornic-demo" --exec bash "$0" --cli-inside
  printf '\n$ tamsel-cli update --road modbus --address 50 %s\n' "$work/PAD_DEMO.INC"
  "$build/tamsel/tamsel-cli" update --road modbus --address 50 "$work/PAD_DEMO.INC"
  pad_report
  exit 0
fi

cat <<TEXT
Vornic shows three devices, all of the Dongara model, with an image for them already chosen:
  - "Dongara Net S/N: 04E2A1B2 ..."           USB: told to restart into its bootloader, then written by DFU
  - "Dongara S/N: 04E2C3D4 via ttyACM0"        serial port: told "boot", comes back on USB, written by DFU
  - "Dongara S/N: 04E2E5F6 at 127.0.0.1"       network: checked, written record by record, checked again
Select a row and press "Update Firmware"; Ctrl+Shift+T shows Vornic's trace.
Tamsel talks to a simulated pad at Modbus address 0x50 with an image already chosen: press "Start Update"
(Connection > InfraRed tries the other road).
Close both windows to end the demo; it then says what each device received.
TEXT
# The programs' trace lines go to a log, so that the terminal keeps the summary.
"$build/tamsel/tamsel" 2>>"$work/tamsel.log" &
pids+=($!)
umockdev-wrapper "$build/tools/vornic-demo/vornic-demo" 2>>"$work/vornic.log"
wait "${pids[@]}" 2>/dev/null || true
pids=()
pad_report
