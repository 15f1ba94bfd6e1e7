#!/usr/bin/env bash
# Modbus speed against the same independent slave (pymodbus on a socat
# pseudo-terminal pair): a 64 KiB image as 2048 records of 32 bytes, once
# through our master and RS-485 backend, once through pymodbus' own client;
# prints the time per record of both and their ratio. A pseudo-terminal
# ignores the baud rate: the figures measure the software, not a line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
socat pty,raw,echo=0,link="$work/peer" pty,raw,echo=0,link="$work/ours" &
for _ in $(seq 50); do [ -e "$work/peer" ] && [ -e "$work/ours" ] && break; sleep 0.1; done
/usr/bin/python3 "$top/tests/support/modbus_peer.py" "$work/peer" 80 "$work/received.bin" > "$work/peer.out" &
for _ in $(seq 100); do grep -q ready "$work/peer.out" 2>/dev/null && break; sleep 0.1; done
records=2048
ours=$("${BUILD_DIR:-$top/build}/tools/modbus-benchmark/modbus-benchmark" "$work/ours" $records)
theirs=$(/usr/bin/python3 "$top/scripts/modbus_client_benchmark.py" "$work/ours" $records)
printf 'per record: ours %s ms, pymodbus client %s ms, ratio ours/pymodbus %s\n' "$ours" "$theirs" \
  "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')"
