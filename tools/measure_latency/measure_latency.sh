#!/usr/bin/env bash
# Runs measure_latency in a private virtual room (never the user's sound server).
#   tools/measure_latency/measure_latency.sh <build dir> [measure_latency options]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: $0 <build dir> [options]}
shift
# shellcheck source=../../scripts/private-pulse.sh
source "$root/scripts/private-pulse.sh"
private_pulse_start "$build/tools/room/mivo-room"
trap private_pulse_stop EXIT
"$build/tools/measure-latency" "$@"
