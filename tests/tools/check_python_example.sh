#!/usr/bin/env bash
# The ctypes example in a private room: it must play its 3 s tone, record 3 s at 16 kHz and exit 0.
#   check_python_example.sh <libMivoVoiceIO.so> <mivo-room>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
library=${1:?library}
room_tool=${2:?mivo-room}
out=$(mktemp -d)
# shellcheck source=../../scripts/private-pulse.sh
source "$root/scripts/private-pulse.sh"
private_pulse_start "$room_tool"
trap 'private_pulse_stop; rm -rf "$out"' EXIT
# A sanitized build of the library can only be loaded into Python with its runtime preloaded.
asan=$(ldd "$library" | awk '/libasan/ { print $3 }')
if [ -n "$asan" ]; then
  export LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0
fi
timeout 60 /usr/bin/python3 "$root/examples/python/record_while_playing.py" "$library" "$out/recorded.wav"
unset LD_PRELOAD
/usr/bin/python3 - "$out/recorded.wav" <<'PY'
import sys, wave
with wave.open(sys.argv[1]) as f:
    rate, channels, frames = f.getframerate(), f.getnchannels(), f.getnframes()
print(f"recorded {frames} frames at {rate} Hz, {channels} channel(s)")
sys.exit(0 if (rate, channels, frames) == (16000, 1, 48000) else 1)
PY
