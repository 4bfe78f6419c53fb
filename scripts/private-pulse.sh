# Sourced by scripts: a private PulseAudio daemon with a virtual room, never the user's server.
#   speaker  null sink, 48 kHz mono, the default sink (what the library plays into)
#   room     null sink, 48 kHz mono; room.monitor is the default source (the "microphone")
#   speaker.monitor -> room through module-loopback: the echo path, 60 ms late
# A client that plays into "room" is the near-end talker.

private_pulse_start() {
  PRIVATE_PULSE_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR="$PRIVATE_PULSE_DIR/runtime" HOME="$PRIVATE_PULSE_DIR/home"
  mkdir -p "$XDG_RUNTIME_DIR/pulse" "$HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  unset PULSE_SINK PULSE_SOURCE
  cat >"$PRIVATE_PULSE_DIR/room.pa" <<PA
load-module module-native-protocol-unix socket=$XDG_RUNTIME_DIR/pulse/native auth-anonymous=1
load-module module-null-sink sink_name=speaker rate=48000 channels=1
load-module module-null-sink sink_name=room rate=48000 channels=1
load-module module-loopback source=speaker.monitor sink=room latency_msec=60
set-default-sink speaker
set-default-source room.monitor
PA
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --disable-shm=no -F "$PRIVATE_PULSE_DIR/room.pa" >"$PRIVATE_PULSE_DIR/daemon.log" 2>&1 &
  PRIVATE_PULSE_PID=$!
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "private PulseAudio daemon did not start:" >&2
    cat "$PRIVATE_PULSE_DIR/daemon.log" >&2
    return 1
  fi
  # Loading modules may leave source volumes below 100 %.
  pactl set-source-volume room.monitor 100%
  pactl set-source-volume speaker.monitor 100%
  # Null sinks render as far ahead as their latency allows; a suspend and resume restarts them at
  # the loopback's short latency, so that the first client does not wait seconds for data.
  for sink in speaker room; do
    pactl suspend-sink "$sink" 1
    pactl suspend-sink "$sink" 0
  done
}

private_pulse_stop() {
  if [ -n "${PRIVATE_PULSE_PID:-}" ]; then
    kill "$PRIVATE_PULSE_PID" 2>/dev/null || true
    wait "$PRIVATE_PULSE_PID" 2>/dev/null || true
  fi
  [ -n "${PRIVATE_PULSE_DIR:-}" ] && rm -rf "$PRIVATE_PULSE_DIR"
  PRIVATE_PULSE_PID=""
}
