# Sourced by scripts: a private sound server with a virtual room, never the user's server.
#   private_pulse_start <mivo-room program> [room]    (rooms: tools/room/rooms.conf)
#   private_pulse_stop
# MIVO_TEST_SERVER=pipewire runs PipeWire instead of PulseAudio. The devices:
#   speaker  null sink, 48 kHz mono, the default sink (what the library plays into)
#   room     null sink, 48 kHz mono; room.monitor is the default source (the "microphone")
#   speaker.monitor -> room: the echo path the room describes (default: module-loopback, 60 ms)
# A client that plays into "room" is the near-end talker. After the start, MIVO_ROOM_STATE holds
# the room's "ready delay_ms=... floor_ms=..." line.

private_pulse_start() {
  local tool=${1:?usage: private_pulse_start <mivo-room program> [room]}
  local room=${2:-loopback-60}
  PRIVATE_PULSE_DIR=$(mktemp -d)
  "$tool" serve --room "$room" --env-file "$PRIVATE_PULSE_DIR/env" >"$PRIVATE_PULSE_DIR/serve.log" 2>&1 &
  PRIVATE_PULSE_PID=$!
  for _ in $(seq 300); do
    [ -f "$PRIVATE_PULSE_DIR/env" ] && break
    kill -0 "$PRIVATE_PULSE_PID" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -f "$PRIVATE_PULSE_DIR/env" ]; then
    echo "private sound server did not start:" >&2
    cat "$PRIVATE_PULSE_DIR/serve.log" >&2
    return 1
  fi
  unset PULSE_SINK PULSE_SOURCE
  set -a
  # shellcheck disable=SC1091
  . "$PRIVATE_PULSE_DIR/env"
  set +a
}

private_pulse_stop() {
  if [ -n "${PRIVATE_PULSE_PID:-}" ]; then
    # The server ends everything it started before it exits.
    kill "$PRIVATE_PULSE_PID" 2>/dev/null || true
    wait "$PRIVATE_PULSE_PID" 2>/dev/null || true
  fi
  [ -n "${PRIVATE_PULSE_DIR:-}" ] && rm -rf "$PRIVATE_PULSE_DIR"
  PRIVATE_PULSE_PID=""
}
