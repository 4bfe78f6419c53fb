"""The echo benchmark's private sound server and the server's own cancellers it is measured against."""
import os
import shlex
import subprocess
import time

from echo_analysis import BenchmarkError
from echo_processes import cpu_ticks

# aec_method and aec_args of each server's module-echo-cancel systems. The PulseAudio daemon's
# webrtc covers about 48 ms of echo path unless extended_filter is on; PipeWire's has the
# extended filter and delay-agnostic alignment on by default, and only webrtc.
CANCELLERS = {
    "pulseaudio": {"webrtc": ("webrtc", "analog_gain_control=0 digital_gain_control=0"),
                   "webrtc-extended": ("webrtc", "analog_gain_control=0 digital_gain_control=0 extended_filter=1"),
                   "speex": ("speex", "")},
    "pipewire": {"webrtc": ("webrtc", "webrtc.gain_control=false webrtc.extended_filter=true "
                                      "webrtc.delay_agnostic=true")},
}


class ServerGone(BenchmarkError):
    """The private server ended: no later session can run."""


class Server:
    """The private server, run by `mivo-room serve` with no room of its own."""

    def __init__(self, children, tool, kind, work):
        self.children = children
        env_file = os.path.join(work, "server.env")
        self.process = children.start([tool, "serve", "--room", "none", "--server", kind, "--env-file", env_file],
                                      dict(os.environ), f"private {kind} server", stdout=subprocess.DEVNULL,
                                      stderr=open(os.path.join(work, "server.log"), "w"))
        deadline = time.monotonic() + 30
        while not os.path.exists(env_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                with open(os.path.join(work, "server.log")) as file:
                    raise BenchmarkError(f"the private {kind} server did not start:\n{file.read()[-3000:]}")
            time.sleep(0.05)
        self.env = {k: v for k, v in os.environ.items() if k not in ("PULSE_SINK", "PULSE_SOURCE")}
        with open(env_file) as file:
            for line in file:
                name, _, value = line.strip().partition("=")
                self.env[name] = shlex.split(value)[0] if value else ""
        self.pids = [int(p) for p in self.env["MIVO_SERVER_PIDS"].split()]
        self.kind = kind

    def ticks(self):
        return sum(cpu_ticks(pid) for pid in self.pids)

    def pactl(self, *args):
        result = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, timeout=20)
        if result.returncode != 0:
            raise BenchmarkError(f"pactl {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout.strip()

    def reset_volumes(self, *extra):
        for source in ("room.monitor", "speaker.monitor", *extra):
            self.pactl("set-source-volume", source, "100%")
