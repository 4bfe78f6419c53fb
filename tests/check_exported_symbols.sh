#!/usr/bin/env bash
# The shared library must export the ten entry points and nothing else.
set -euo pipefail
library=$1
expected="mivo_voice_io_copy_last_error
mivo_voice_io_create
mivo_voice_io_destroy
mivo_voice_io_interrupt_playback
mivo_voice_io_played_frames
mivo_voice_io_read_capture
mivo_voice_io_start
mivo_voice_io_stop
mivo_voice_io_wait_playback
mivo_voice_io_write_playback"
# Every defined dynamic symbol, of any kind, except the version node the linker adds.
actual=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the ten entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
case "$soname" in
  libMivoVoiceIO.so.[0-9]*) echo "ok: 10 symbols, SONAME $soname" ;;
  *) echo "unexpected SONAME '$soname'"; exit 1 ;;
esac
