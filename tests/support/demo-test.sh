#!/usr/bin/env bash
# The command-line demo end to end, in the build tree given: every road
# updates its simulated device, and the summary compares what each device
# holds now with the image.
set -euo pipefail
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
output=$(BUILD_DIR="$build" bash "$top/scripts/demo.sh" --cli 2>&1) || { echo "$output"; echo "FAIL: demo.sh --cli"; exit 1; }
identical=$(grep -c 'identical to the image' <<< "$output" || true)
different=$(grep -c 'DIFFERENT\|nothing written' <<< "$output" || true)
grep -E 'identical to the image|DIFFERENT|nothing written' <<< "$output"
[ "$identical" -eq 4 ] && [ "$different" -eq 0 ] || { echo "FAIL: $identical of 4 devices hold the image"; exit 1; }
echo "demo ok"
