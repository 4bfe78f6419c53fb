#!/usr/bin/env bash
# mivo-duplex with no sound server to reach: it must fail at once with the library's own text and
# a non-zero status, and must not start a server of its own.
#   check_duplex_without_server.sh <mivo-duplex>
set -uo pipefail
duplex=${1:?mivo-duplex}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_RUNTIME_DIR="$scratch/runtime" HOME="$scratch/home"
mkdir -p "$XDG_RUNTIME_DIR" "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
export PULSE_SERVER="unix:$scratch/no-such-socket"
unset PULSE_SINK PULSE_SOURCE
start=$(date +%s%N)
timeout 20 "$duplex" --record "$scratch/out.wav" --seconds 2 >"$scratch/stdout" 2>"$scratch/stderr"
status=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
cat "$scratch/stderr"
expected="Unable to start VoiceProcessingIO: No default input or output audio device is available"
[ "$status" -ne 0 ] || { echo "FAIL: exit status 0 without a server" >&2; exit 1; }
[ "$status" -ne 124 ] || { echo "FAIL: still running after 20 s" >&2; exit 1; }
grep -qF "$expected" "$scratch/stderr" || { echo "FAIL: the library's text is not on stderr" >&2; exit 1; }
# Bounded: the library gives up on a server within its 2 s query bound.
[ "$elapsed_ms" -lt 10000 ] || { echo "FAIL: took $elapsed_ms ms" >&2; exit 1; }
# A server spawned on the client's behalf would have made its socket here.
[ ! -e "$XDG_RUNTIME_DIR/pulse/native" ] || { echo "FAIL: a server was spawned" >&2; exit 1; }
echo "failed as expected with status $status in $elapsed_ms ms"
