#!/usr/bin/env bash
# Runs measure_latency in a private virtual room (never the user's sound server).
#   tools/measure_latency/measure_latency.sh <build dir> [measure_latency options]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: $0 <build dir> [options]}
shift
# shellcheck source=../../scripts/private-pulse.sh
source "$root/scripts/private-pulse.sh"
private_pulse_start
trap private_pulse_stop EXIT
# Null sinks render as far ahead as their latency allows; a suspend and resume restarts them at
# the loopback's short latency, so that the first measurement does not wait seconds for data.
for sink in speaker room; do
  pactl suspend-sink "$sink" 1
  pactl suspend-sink "$sink" 0
done
"$build/tools/measure-latency" "$@"
