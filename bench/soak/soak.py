#!/usr/bin/python3
"""Soak: the library in a host for a long time, while the devices change and the server restarts.

A private sound server (`mivo-room serve`, PulseAudio or PipeWire, never the user's) holds the
virtual room (speaker -> room, tools/room/rooms.conf) and a second pair, speaker2 -> room2 (a
module-loopback), to switch to. mivo-soak-host (bench/soak/soak_host.c, the public C interface
only) plays far-end speech and reads the capture for the whole run; two paplay loops talk into
room and room2 as the near end. Every --switch-seconds the default sink and source move to the
other pair; every --restart-minutes the server is ended and a new one started. The host reaches
the server through a symlink that follows the current one, so its environment stays the same, as
a real host's does across a restart of the user's server.

The host starts again whenever a read returns -2, and retries the start until a server answers.
Reported: restarts by cause (the switch or server restart that came before, within 10 s), the
time until the host was running again, resident memory, open descriptors and threads of the host
each minute, the longest call per entry point, captured samples against the wall clock over every
run of 10 s or more, and every failure text, marked when it is not one the host is told to expect.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

RATE_PLAY = 48000
RATE_CAPTURE = 16000
CAUSE_WINDOW_NS = 10 * 10**9
SHORTEST_MEASURED_RUN_S = 10.0
DOCUMENTED_TEXTS = ("The macOS audio device configuration changed", "VoiceProcessingIO is not running",
                    "VoiceProcessingIO stopped during playback", "Timed out waiting for playback queue capacity",
                    "Unable to create a playback buffer", "Timed out waiting for audio playback")
DOCUMENTED_PREFIXES = ("Unable to start VoiceProcessingIO: ", "Microphone resampling failed: ")
# How long each entry point may block by the header's contract (None: briefly).
BOUNDS_MS = {"read_capture": 200, "write_playback": 5000, "wait_playback": 5000}
FAR_TEXT = ("The quarterly numbers are in, and they look better than we expected. Shipping went out on time, "
            "and the new warehouse is already handling a third of the orders.")
NEAR_TEXT = "Sorry to interrupt, could you say that last part again?"


class SoakError(Exception):
    pass


def now_ns():
    return time.monotonic_ns()  # CLOCK_MONOTONIC, the host's clock too


def speech(work, text, voice, name):
    path = os.path.join(work, name + ".wav")
    result = subprocess.run(["espeak-ng", "-v", voice, "-s", "165", "-w", path, text], capture_output=True, text=True)
    if result.returncode != 0:
        raise SoakError(f"espeak-ng failed: {result.stderr.strip()}")
    return path


def far_end_raw(work):
    """The far end's utterance as 48 kHz mono s16 at -20 dBFS RMS."""
    import wave
    with wave.open(speech(work, FAR_TEXT, "en-us", "far"), "rb") as file:
        rate = file.getframerate()
        data = np.frombuffer(file.readframes(file.getnframes()), dtype="<i2").astype(np.float64)
    times = np.arange(int(len(data) * RATE_PLAY / rate)) / RATE_PLAY
    data = np.interp(times, np.arange(len(data)) / rate, data)
    data *= 0.1 * 32768.0 / max(np.sqrt(np.mean(data ** 2)), 1.0)
    path = os.path.join(work, "far.raw")
    np.clip(np.round(data), -32768, 32767).astype("<i2").tofile(path)
    return path


class Server:
    """A private server with the room and the second pair, restarted on demand behind one symlink."""

    def __init__(self, work, room_tool, room, kind):
        self.work, self.room_tool, self.room, self.kind = work, room_tool, room, kind
        self.link = os.path.join(work, "native")
        self.process = None
        self.env = None
        self.count = 0

    def start(self):
        self.count += 1
        env_file = os.path.join(self.work, f"server{self.count}.env")
        log = open(os.path.join(self.work, f"server{self.count}.log"), "w")
        self.process = subprocess.Popen([self.room_tool, "serve", "--room", self.room, "--server", self.kind,
                                         "--env-file", env_file], stdout=log, stderr=subprocess.STDOUT)
        log.close()
        deadline = time.monotonic() + 30
        while not os.path.exists(env_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SoakError(f"the private server did not start:\n{self.log()}")
            time.sleep(0.05)
        self.env = dict(os.environ)
        with open(env_file) as lines:
            for line in lines:
                name, _, value = line.rstrip("\n").partition("=")
                self.env[name] = value.strip("'")
        self.add_second_pair()
        socket = self.env["PULSE_SERVER"][len("unix:"):]
        os.symlink(socket, self.link + ".new")
        os.replace(self.link + ".new", self.link)

    def add_second_pair(self):
        norewinds = " norewinds=1" if self.kind == "pulseaudio" else ""
        for command in (f"load-module module-null-sink sink_name=speaker2 rate=48000 channels=1 format=float32le{norewinds}",
                        f"load-module module-null-sink sink_name=room2 rate=48000 channels=1 format=float32le{norewinds}",
                        "load-module module-loopback source=speaker2.monitor sink=room2 latency_msec=60",
                        "set-sink-volume speaker2 100%", "set-sink-volume room2 100%",
                        "set-source-volume room2.monitor 100%",
                        # A null sink renders seconds ahead until a client asks for less; a
                        # suspend and resume restarts it at the latency asked for now.
                        "suspend-sink speaker2 1", "suspend-sink room2 1", "suspend-sink speaker2 0",
                        "suspend-sink room2 0"):
            self.pactl(*command.split())

    def pactl(self, *arguments):
        result = subprocess.run(["pactl", *arguments], env=self.env, capture_output=True, text=True, timeout=20)
        if result.returncode != 0:
            raise SoakError(f"pactl {' '.join(arguments)}: {result.stdout}{result.stderr}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def log(self):
        with open(os.path.join(self.work, f"server{self.count}.log")) as file:
            return file.read()


def host_environment(work):
    """What the host sees for the whole run: the symlink, never a particular server's socket."""
    runtime, home = os.path.join(work, "runtime"), os.path.join(work, "home")
    os.makedirs(os.path.join(runtime, "pulse"), mode=0o700)
    os.makedirs(home)
    with open(os.path.join(work, "client.conf"), "w") as conf:
        conf.write("autospawn = no\nenable-memfd = no\n")
    env = {name: value for name, value in os.environ.items()
           if name not in ("PULSE_SINK", "PULSE_SOURCE", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE",
                           "PIPEWIRE_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_RUNTIME_DIR=runtime, HOME=home, PULSE_RUNTIME_PATH=os.path.join(runtime, "pulse"),
               PULSE_SERVER="unix:" + os.path.join(work, "native"),
               PULSE_CLIENTCONFIG=os.path.join(work, "client.conf"))
    return env


def talk(device, wav, env, stopping):
    """The near end: an utterance into `device`, a pause, again; through restarts."""
    while not stopping.is_set():
        player = subprocess.Popen(["paplay", "--device", device, wav], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while player.poll() is None and not stopping.is_set():
            time.sleep(0.1)
        if player.poll() is None:
            player.terminate()
            player.wait()
        stopping.wait(2.0)


def sample_process(pid):
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


class Host:
    def __init__(self, program, far, seconds, env):
        self.process = subprocess.Popen([program, "--play", far, "--seconds", str(seconds)], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.pid = self.process.pid

    def read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def events(self, kind):
        return [line.split(" ", 1)[1] for line in self.lines if line.split(" ", 1)[0] == kind]


def run(options, work):
    seconds = options.minutes * 60
    env = host_environment(work)
    far = far_end_raw(work)
    near = speech(work, NEAR_TEXT, "en-gb", "near")
    server = Server(work, options.room_tool, options.room, options.server)
    actions = []  # (ns, "switch"|"restart", ns the server was back or None)
    samples = []
    stopping = threading.Event()
    talkers = [threading.Thread(target=talk, args=(device, near, env, stopping), daemon=True)
               for device in ("room", "room2")]
    load_before = os.getloadavg()
    server.start()
    host = None
    try:
        for talker in talkers:
            talker.start()
        host = Host(options.host, far, seconds, env)
        began = now_ns()
        next_switch = began + int(options.switch_seconds / 2 * 1e9)
        next_restart = began + int(options.restart_minutes * 60e9)
        next_sample = began + int(5e9)
        second_pair = False
        while host.process.poll() is None:
            moment = now_ns()
            if moment >= next_restart:
                down = now_ns()
                server.stop()
                server.start()
                actions.append((down, "restart", now_ns()))
                second_pair = False
                next_restart += int(options.restart_minutes * 60e9)
                next_switch = now_ns() + int(options.switch_seconds / 2 * 1e9)
            elif moment >= next_switch:
                second_pair = not second_pair
                actions.append((now_ns(), "switch", None))
                server.pactl("set-default-sink", "speaker2" if second_pair else "speaker")
                server.pactl("set-default-source", "room2.monitor" if second_pair else "room.monitor")
                next_switch += int(options.switch_seconds * 1e9)
            if moment >= next_sample:
                try:
                    samples.append(((moment - began) / 60e9, sample_process(host.pid)))
                except (OSError, KeyError):
                    pass
                next_sample = began + int(len(samples) * 60e9)
            time.sleep(0.05)
        host.reader.join(timeout=5)
        stderr = host.process.stderr.read()
        if host.process.returncode != 0:
            raise SoakError(f"the host failed ({host.process.returncode}): {stderr}")
    finally:
        if host and host.process.poll() is None:
            host.process.kill()
            host.process.wait()
        stopping.set()
        for talker in talkers:
            talker.join(timeout=10)
        server.stop()
    return host, actions, samples, (load_before, os.getloadavg())


def documented(text):
    return text in DOCUMENTED_TEXTS or text.startswith(DOCUMENTED_PREFIXES)


def restart_table(host, actions):
    """Each end of a run, by the action that came before it, and how long until running again."""
    ends = [int(event.split()[0]) for event in host.events("ended")]
    starts = sorted(int(event.split()[0]) for event in host.events("started"))
    causes = {"switch": [], "restart": [], "unexplained": []}
    for end in ends:
        before = [action for action in actions if action[0] <= end and end - action[0] <= CAUSE_WINDOW_NS]
        kind = before[-1][1] if before else "unexplained"
        back = next((start for start in starts if start > end), None)
        origin = before[-1] if before else None
        since = origin[2] if origin and origin[2] else (origin[0] if origin else end)
        causes[kind].append((back - since) / 1e9 if back else None)
    unanswered = sum(1 for action in actions
                     if not any(action[0] <= end <= action[0] + CAUSE_WINDOW_NS for end in ends))
    return causes, unanswered


def capture_rate(host):
    """Samples captured against the wall clock over every run of SHORTEST_MEASURED_RUN_S or more."""
    samples = elapsed = 0.0
    worst = 0.0
    runs = 0
    for event in host.events("segment"):
        first, last, count, slope = event.split()
        span = (int(last) - int(first)) / 1e9
        if span < SHORTEST_MEASURED_RUN_S:
            continue
        runs += 1
        samples += int(count)
        elapsed += span
        worst = max(worst, abs(float(slope) / RATE_CAPTURE - 1.0))
    return runs, samples, elapsed, worst


def print_report(options, host, actions, samples, loads):
    out = []
    out.append(f"Soak: {options.minutes} min on {options.server}, room {options.room}; default sink and source "
               f"switched every {options.switch_seconds:g} s, server restarted every {options.restart_minutes:g} min")
    out.append("load average (1/5/15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f" % (*loads[0], *loads[1]))
    out.append("")
    causes, unanswered = restart_table(host, actions)
    failed_starts = len(host.events("start_failed"))
    out.append("| restarts | count | longest until running again |")
    out.append("|---|---:|---:|")
    labels = {"switch": "default switched", "restart": "server restarted (from server back)",
              "unexplained": "no switch or restart before it"}
    for kind, label in labels.items():
        times = [t for t in causes[kind] if t is not None]
        longest = f"{max(times):.2f} s" if times else "-"
        never = sum(1 for t in causes[kind] if t is None)
        out.append(f"| {label} | {len(causes[kind])} | {longest}{f' ({never} never)' if never else ''} |")
    switches = sum(1 for action in actions if action[1] == "switch")
    restarts = len(actions) - switches
    out.append(f"| switches / server restarts done | {switches} / {restarts} | {unanswered} without an end of the run |")
    out.append(f"| start attempts that failed | {failed_starts} | |")
    out.append("")
    out.append("| minute | resident MiB | open fds | threads |")
    out.append("|---:|---:|---:|---:|")
    for minute, sample in samples:
        out.append(f"| {minute:.0f} | {sample['rss_kib'] / 1024:.1f} | {sample['fds']} | {sample['threads']} |")
    out.append("")
    out.append("| entry point | calls | longest call | bound |")
    out.append("|---|---:|---:|---:|")
    for event in host.events("blocked"):
        name, calls, longest = event.split()
        bound = BOUNDS_MS.get(name)
        out.append(f"| {name} | {calls} | {int(longest) / 1e6:.1f} ms | {f'{bound} ms' if bound else 'brief'} |")
    out.append("")
    runs, captured, elapsed, worst = capture_rate(host)
    if runs:
        deviation = (captured / (elapsed * RATE_CAPTURE) - 1.0) * 100
        out.append(f"capture against the wall clock: {runs} runs of {SHORTEST_MEASURED_RUN_S:g} s or more, "
                   f"{captured:.0f} samples in {elapsed:.1f} s = {deviation:+.4f} % of 16 kHz; "
                   f"worst run's fitted rate {worst * 100:.4f} % off")
    else:
        out.append("capture against the wall clock: no run lasted long enough to measure")
    played = host.events("played")
    after = host.events("after_destroy")
    if played:
        frames, decreases = played[0].split()
        out.append(f"played frames at the end: {frames}, went back {decreases} times")
    if after:
        threads, fds = after[0].split()
        out.append(f"after destroy: {threads} threads, {fds} open fds in the host")
    results = ", ".join(" ".join(event.split()) for event in host.events("result"))
    out.append(f"results (entry point, value, count): {results}")
    out.append("failure texts seen:")
    for event in host.events("error"):
        count, _, text = event.partition(" ")
        out.append(f"  {count:>6}  {text}{'' if documented(text) else '   <- not a documented text'}")
    print("\n".join(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--room", default="pure-60")
    parser.add_argument("--switch-seconds", type=float, default=30)
    parser.add_argument("--restart-minutes", type=float, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the working folder (logs, the host's events)")
    options = parser.parse_args()
    options.host = os.path.join(options.build_dir, "mivo-soak-host")
    options.room_tool = os.path.join(options.build_dir, "mivo", "tools", "room", "mivo-room")
    work = tempfile.mkdtemp(prefix="mivo-soak-")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        host, actions, samples, loads = run(options, work)
        with open(os.path.join(work, "host-events.txt"), "w") as file:
            file.write("\n".join(host.lines) + "\n")
        print_report(options, host, actions, samples, loads)
    except SoakError as error:
        print(f"soak: {error}", file=sys.stderr)
        return 1
    finally:
        if options.keep:
            print(f"working folder: {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
