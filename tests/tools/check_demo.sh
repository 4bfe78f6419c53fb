#!/usr/bin/env bash
# The demo in its short mode, in its own private room: it must finish, write its picture, and
# report at least `floor` dB of echo removed.
#   check_demo.sh <build dir> <floor dB>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?build dir}
floor=${2:?floor in dB}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$root/scripts/demo" --short --build-dir "$build" --out "$out" | tee "$out/report.txt"
erle=$(sed -n 's/^ERLE: \(-\?[0-9.]*\) dB.*/\1/p' "$out/report.txt")
[ -n "$erle" ] || { echo "FAIL: the demo printed no ERLE line" >&2; exit 1; }
[ -s "$out/echo.png" ] || { echo "FAIL: the demo wrote no picture" >&2; exit 1; }
awk -v erle="$erle" -v floor="$floor" 'BEGIN { exit !(erle >= floor) }' || {
  echo "FAIL: ERLE $erle dB is below the floor of $floor dB" >&2; exit 1; }
echo "demo ERLE $erle dB (floor $floor dB)"
