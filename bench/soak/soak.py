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
import json
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
SAMPLE_OFFSET_S = 25.0
QUIET_END_S = 15.0
RECORDED_OPTIONS = ("minutes", "server", "room", "switch_seconds", "restart_minutes")
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
        self.failures = []  # servers that did not start, and why

    def start(self):
        """A new server; a private PipeWire now and then refuses its first commands, so up to three tries."""
        for attempt in range(3):
            try:
                return self.start_once()
            except SoakError as error:
                self.stop()
                self.failures.append(str(error))
                if attempt == 2:
                    raise

    def start_once(self):
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


class PlainRecorder:
    """A plain client on room.monitor through the whole soak: what the server itself delivers
    against the wall clock, to hold the library's figure against. One run per server."""

    def __init__(self, env, stopping):
        self.env, self.stopping = env, stopping
        self.segments = []  # like the host's "segment" lines
        self.thread = threading.Thread(target=self.record, daemon=True)

    def record(self):
        while not self.stopping.is_set():
            recorder = subprocess.Popen(["parec", "--device", "room.monitor", "--rate", str(RATE_CAPTURE),
                                         "--channels", "1", "--format", "s16le", "--latency-msec", "20", "--raw"],
                                        env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            reads = []
            total = 0
            while not self.stopping.is_set():
                chunk = recorder.stdout.read1(640)
                if not chunk:
                    break
                total += len(chunk) // 2
                reads.append((now_ns(), total))
            if recorder.poll() is None:
                recorder.terminate()
            recorder.wait()
            if len(reads) >= 2:
                self.segments.append(segment_line(reads))
            self.stopping.wait(0.5)


def segment_line(reads):
    """The host's "segment" figures for a run's (ns, samples so far) reads."""
    first, last = reads[0], reads[-1]
    inner = next(i for i, read in enumerate(reads) if read[0] >= first[0] + 1e9 or i == len(reads) - 1)
    outer = next(i for i in range(len(reads) - 1, -1, -1) if reads[i][0] <= last[0] - 1e9 or i <= inner)
    return " ".join(str(value) for value in (first[0], last[0], last[1] - first[1], reads[inner][0], reads[outer][0],
                                             reads[outer][1] - reads[inner][1]))


def sample_process(pid):
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "threads": int(fields["Threads"]),
            "fds": len(os.listdir(f"/proc/{pid}/fd"))}


class Host:
    def __init__(self, program, far, seconds, env, stderr_path):
        with open(stderr_path, "w") as stderr:
            self.process = subprocess.Popen([program, "--play", far, "--seconds", str(seconds)], env=env,
                                            stdout=subprocess.PIPE, stderr=stderr, text=True, bufsize=1)
        self.lines = []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.pid = self.process.pid

    def read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))



class Schedule:
    """The driver's doings, at their times: switches, server restarts, samples of the host."""

    def __init__(self, options, server, host, seconds):
        self.options, self.server, self.host = options, server, host
        self.began = now_ns()
        self.next_switch = self.began + int(options.switch_seconds / 2 * 1e9)
        self.next_restart = self.began + int(options.restart_minutes * 60e9)
        # Between switches, so that every sample sees the host running.
        self.next_sample = self.began + int(SAMPLE_OFFSET_S * 1e9)
        # Nothing in the host's last seconds, when it no longer answers a change.
        self.quiet_from = self.began + int((seconds - QUIET_END_S) * 1e9)
        self.second_pair = False
        self.actions = []  # (ns, "switch"|"restart", ns the new server was ready or None)
        self.samples = []  # (minute, sample_process)
        self.downtimes = []  # seconds from ending a server until the next one was ready

    def step(self, moment):
        if moment < self.quiet_from and moment >= self.next_restart:
            self.restart()
        elif moment < self.quiet_from and moment >= self.next_switch:
            self.switch()
        if moment >= self.next_sample:
            try:
                self.samples.append(((moment - self.began) / 60e9, sample_process(self.host.pid)))
            except (OSError, KeyError, ValueError):
                pass  # the host is just ending
            self.next_sample += int(60e9)

    def restart(self):
        down = now_ns()
        self.server.stop()
        self.server.start()
        ready = now_ns()
        self.actions.append((down, "restart", ready))
        self.downtimes.append((ready - down) / 1e9)
        self.second_pair = False
        self.next_restart += int(self.options.restart_minutes * 60e9)
        self.next_switch = ready + int(self.options.switch_seconds / 2 * 1e9)

    def switch(self):
        self.second_pair = not self.second_pair
        self.actions.append((now_ns(), "switch", None))
        self.server.pactl("set-default-sink", "speaker2" if self.second_pair else "speaker")
        self.server.pactl("set-default-source", "room2.monitor" if self.second_pair else "room.monitor")
        self.next_switch += int(self.options.switch_seconds * 1e9)


def run(options, work):
    seconds = options.minutes * 60
    env = host_environment(work)
    far = far_end_raw(work)
    near = speech(work, NEAR_TEXT, "en-gb", "near")
    server = Server(work, options.room_tool, options.room, options.server)
    stopping = threading.Event()
    talkers = [threading.Thread(target=talk, args=(device, near, env, stopping), daemon=True)
               for device in ("room", "room2")]
    plain = PlainRecorder(env, stopping)
    load_before = os.getloadavg()
    server.start()
    host = None
    try:
        for talker in talkers + [plain.thread]:
            talker.start()
        host = Host(options.host, far, seconds, env, os.path.join(work, "host-stderr.txt"))
        schedule = Schedule(options, server, host, seconds)
        while host.process.poll() is None:
            schedule.step(now_ns())
            time.sleep(0.05)
        host.reader.join(timeout=5)
        if host.process.returncode != 0:
            with open(os.path.join(work, "host-stderr.txt")) as stderr:
                raise SoakError(f"the host failed ({host.process.returncode}): {stderr.read()}")
    finally:
        if host and host.process.poll() is None:
            host.process.kill()
            host.process.wait()
        stopping.set()
        for talker in talkers + [plain.thread]:
            talker.join(timeout=10)
        server.stop()
    host.lines += ["plain " + line for line in plain.segments]
    return host, schedule, (load_before, os.getloadavg())


def events(record, kind):
    """The host's lines of one kind, without the kind."""
    return [line.split(" ", 1)[1] for line in record["lines"] if line.split(" ", 1)[0] == kind]


def documented(text):
    return text in DOCUMENTED_TEXTS or text.startswith(DOCUMENTED_PREFIXES)


def restart_table(record):
    actions = record["actions"]
    """Each end of a run, by the action that came before it, and how long until running again."""
    ends = [int(event.split()[0]) for event in events(record, "ended")]
    starts = sorted(int(event.split()[0]) for event in events(record, "started"))
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


def capture_rate(record, kind="segment"):
    """Samples captured against the wall clock over every run of SHORTEST_MEASURED_RUN_S or more:
    runs, seconds measured, deviation in % first to last sample and without each run's first and
    last second, seconds of samples missing in all and in the worst run."""
    totals = {"whole": [0, 0.0], "inner": [0, 0.0]}
    missing = []
    for event in events(record, kind):
        first, last, samples, inner_first, inner_last, inner_samples = (int(field) for field in event.split())
        if (last - first) / 1e9 < SHORTEST_MEASURED_RUN_S:
            continue
        for name, count, span in (("whole", samples, last - first), ("inner", inner_samples, inner_last - inner_first)):
            totals[name][0] += count
            totals[name][1] += span / 1e9
        missing.append(max((last - first) / 1e9 - samples / RATE_CAPTURE, 0.0))
    if not missing:
        return None
    deviation = {name: (count / (span * RATE_CAPTURE) - 1.0) * 100 for name, (count, span) in totals.items()}
    return len(missing), totals["whole"][1], deviation["whole"], deviation["inner"], sum(missing), max(missing)


def rate_line(figures, who):
    if not figures:
        return f"{who}: no run lasted long enough to measure"
    runs, seconds, whole, inner, missing, worst = figures
    return (f"{who}: {runs} runs of {SHORTEST_MEASURED_RUN_S:g} s or more, {seconds:.0f} s; {whole:+.3f} % first to "
            f"last sample ({missing:.2f} s of samples short in all, {worst:.2f} s in the worst run); "
            f"{inner:+.3f} % without each run's first and last second")


def print_report(record):
    options = argparse.Namespace(**record["options"])
    actions, samples, downtimes = record["actions"], record["samples"], record["downtimes"]

    out = []
    out.append(f"Soak: {options.minutes:g} min on {options.server}, room {options.room}; default sink and source "
               f"switched every {options.switch_seconds:g} s, server restarted every {options.restart_minutes:g} min")
    out.append("load average (1/5/15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f" % (*record["loads"][0],
                                                                                          *record["loads"][1]))
    out.append("")
    causes, unanswered = restart_table(record)
    failed_starts = len(events(record, "start_failed"))
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
    if downtimes:
        out.append(f"| server gone, ended until the next ready | {len(downtimes)} | {max(downtimes):.2f} s |")
    if record.get("server_failures"):
        out.append(f"| private servers that failed to start (tried again) | {len(record['server_failures'])} | |")
    out.append("")
    out.append("| minute | resident MiB | open fds | threads |")
    out.append("|---:|---:|---:|---:|")
    for minute, sample in samples:
        out.append(f"| {minute:.1f} | {sample['rss_kib'] / 1024:.1f} | {sample['fds']} | {sample['threads']} |")
    out.append("")
    out.append("| entry point | calls | longest call | bound |")
    out.append("|---|---:|---:|---:|")
    for event in events(record, "blocked"):
        name, calls, longest = event.split()
        bound = BOUNDS_MS.get(name)
        out.append(f"| {name} | {calls} | {int(longest) / 1e6:.1f} ms | {f'{bound} ms' if bound else 'brief'} |")
    out.append("")
    out.append(rate_line(capture_rate(record), "capture against the wall clock"))
    out.append(rate_line(capture_rate(record, "plain"), "a plain client (parec) on room.monitor meanwhile"))
    played = events(record, "played")
    after = events(record, "after_destroy")
    if played:
        frames, decreases = played[0].split()
        out.append(f"played frames at the end: {frames}, went back {decreases} times")
    if after:
        threads, fds = after[0].split()
        out.append(f"after destroy: {threads} threads, {fds} open fds in the host")
    results = ", ".join(" ".join(event.split()) for event in events(record, "result"))
    out.append(f"results (entry point, value, count): {results}")
    out.append("failure texts seen:")
    for event in events(record, "error"):
        count, _, text = event.partition(" ")
        out.append(f"  {count:>6}  {text}{'' if documented(text) else '   <- not a documented text'}")
    print("\n".join(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/soak")
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--room", default="pure-60")
    parser.add_argument("--switch-seconds", type=float, default=30)
    parser.add_argument("--restart-minutes", type=float, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the working folder (logs, the host's events)")
    parser.add_argument("--report", metavar="SOAK_JSON", help="print the table of a kept run again")
    options = parser.parse_args()
    if options.report:
        with open(options.report) as file:
            print_report(json.load(file))
        return 0
    options.host = os.path.join(options.build_dir, "mivo-soak-host")
    options.room_tool = os.path.join(options.build_dir, "mivo", "tools", "room", "mivo-room")
    work = tempfile.mkdtemp(prefix="mivo-soak-")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        host, schedule, loads = run(options, work)
        record = {"options": {name: getattr(options, name) for name in RECORDED_OPTIONS}, "lines": host.lines,
                  "actions": schedule.actions, "samples": schedule.samples, "downtimes": schedule.downtimes,
                  "loads": loads, "server_failures": schedule.server.failures}
        with open(os.path.join(work, "soak.json"), "w") as file:
            json.dump(record, file)
        print_report(record)
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
