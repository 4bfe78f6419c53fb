#!/usr/bin/env bash
# A room stopped by a signal takes its echo path with it: a module-loopback room left loaded
# would add its echo to every room applied after it on the same server.
#   check_room_leaves_nothing.sh <mivo-room>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tool=${1:?mivo-room}
work=$(mktemp -d)
trap 'private_pulse_stop 2>/dev/null || true; rm -rf "$work"' EXIT
# shellcheck source=../../scripts/private-pulse.sh
source "$root/scripts/private-pulse.sh"
private_pulse_start "$tool" none

loopbacks() { pactl list short modules | grep -c module-loopback || true; }

failed=0
for round in 1 2; do
  "$tool" echo --room loopback-60 >"$work/out" 2>"$work/err" &
  room=$!
  for _ in $(seq 100); do
    grep -q '^ready' "$work/out" && break
    sleep 0.05
  done
  during=$(loopbacks)
  kill -TERM "$room"
  status=0
  wait "$room" || status=$?
  after=$(loopbacks)
  echo "round $round: loopbacks while running $during, after $after, exit $status"
  if [ "$during" -ne 1 ] || [ "$after" -ne 0 ] || [ "$status" -ne 0 ]; then
    cat "$work/err"
    failed=1
  fi
done
exit $failed
