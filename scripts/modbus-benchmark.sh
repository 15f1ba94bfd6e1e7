#!/usr/bin/env bash
# Modbus speed against the same independent slave (pymodbus), once through
# our master and RS-485 backend, once through pymodbus' own client; prints
# the time per record of both and their ratio, for two lines:
#  - a bare pseudo-terminal pair (socat), which ignores the baud rate: the
#    figures measure the software alone (2048 records of 32 bytes);
#  - the USB-to-RS-485 converter model at 115200 baud, with its latency
#    timer at 16 ms (Linux's default) and at 1 ms (tuned): what a user of
#    such a converter meets (300 records each).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/scripts/builddir.sh"
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
build=$BUILD_DIR
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT

wait_for() {  # FILE: until it says "ready"
  for _ in $(seq 100); do grep -q ready "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "not ready: $1" >&2
  return 1
}

# LABEL RECORDS: both masters through $work/ours to the peer on $work/peer.
measure() {
  /usr/bin/python3 "$top/tests/support/modbus_peer.py" "$work/peer" 80 "$work/received.bin" > "$work/peer.out" &
  local peer=$!
  wait_for "$work/peer.out"
  local ours theirs
  ours=$("$build/tools/modbus-benchmark/modbus-benchmark" "$work/ours" "$2")
  theirs=$(/usr/bin/python3 "$top/scripts/modbus_client_benchmark.py" "$work/ours" "$2")
  kill $peer; wait $peer 2>/dev/null || true
  printf '%-28s per record: ours %7.3f ms, pymodbus client %7.3f ms, ratio ours/pymodbus %s\n' "$1" "$ours" \
    "$theirs" "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')"
}

socat pty,raw,echo=0,link="$work/peer" pty,raw,echo=0,link="$work/ours" &
line=$!
for _ in $(seq 50); do [ -e "$work/peer" ] && [ -e "$work/ours" ] && break; sleep 0.1; done
measure "pseudo-terminal" 2048
kill $line; wait $line 2>/dev/null || true

for latency in 16 1; do
  "$build/tools/rs485-converter-model/rs485-converter-model" --host "$work/ours" --line "$work/peer" \
    --latency-ms "$latency" > "$work/model.out" &
  line=$!
  wait_for "$work/model.out"
  measure "converter, ${latency} ms latency" 300
  kill $line; wait $line 2>/dev/null || true
done
