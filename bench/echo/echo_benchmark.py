#!/usr/bin/python3
"""Echo benchmark: the library against the sound server's own canceller, in every virtual room.

A private sound server (PulseAudio, or PipeWire with --server pipewire; never the user's) holds
the devices; each session applies one room of tools/room/rooms.conf with `mivo-room echo`, afresh,
so that a room's change times count from that session's first far-end sound. Systems:

    library          the library through its C interface (mivo-echo-host)
    webrtc           module-echo-cancel aec_method=webrtc aec_args="analog_gain_control=0
                     digital_gain_control=0" rate=16000 channels=1 source_master=room.monitor
                     sink_master=speaker
    webrtc-extended  the same with extended_filter=1 in aec_args: the daemon's webrtc canceller
                     otherwise reaches only about 50 ms of echo path (it tells the canceller a
                     stream delay of 0 and does not turn on delay-agnostic alignment)
    speex            module-echo-cancel aec_method=speex, otherwise as webrtc
On PipeWire (pipewire-pulse) module-echo-cancel is PipeWire's own, webrtc only; `webrtc` there is
aec_args="webrtc.gain_control=false webrtc.extended_filter=true webrtc.delay_agnostic=true" (its
defaults, said out loud), rate=16000 channels=1, the same masters.

A session (seconds of the far-end track, F = the room's far_s, 10 unless it says otherwise):

    0 - F          far end only: 3 s to converge, then ERLE; the room's change or the host's pause
                   (underrun) falls in here
    F+0.4          the near end alone
    F+3.0 - F+5.8  the far end again, with the same near-end utterance from F+3.3: double talk

While it runs, `mivo-room record` records speaker.monitor and room.monitor lined up, which gives
the raw microphone and what the room really did (tools/room/room_truth.py: delay, level, drift).
Per session: ERLE over 3 s .. F; ERLE of every 1 s window (every 0.25 s); the lowest such second
after 3 s, leaving out 2 s after a change or underrun; seconds after the change or underrun until
a whole second at or above 30 dB begins; near-end loss (-20 log10 of the least-squares gain of the
near-end-alone output inside the double-talk output). CPU: the library's own threads (the event
loop "mivo-audio" and the control queue "mivo.*") from /proc/<pid>/task/*/stat, per second of the
session; module-echo-cancel: the server's processes above their rate with the same streams and
no canceller (far end straight into the speaker), measured for 4 s just before every session. What
the same I/O costs without the library, for scale: just before every library session, two plain
`pa_simple` clients record room.monitor at 16 kHz and play 48 kHz silence into the speaker for 3 s
(every thread of both processes).
Capture latency: once per system, a click player into `room` logs when each click reaches it
(write time + reported latency); the system and a plain client on room.monitor stamp when they
read it.

Needs numpy and matplotlib (Debian's python3-numpy, python3-matplotlib, through /usr/bin/python3),
espeak-ng, pulseaudio-utils, and the server's packages.
"""
import argparse
import json
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

import echo_analysis as analysis
import echo_report as report
from echo_analysis import RATE_CAP, BenchmarkError

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "room"))
import room_truth  # noqa: E402

SYSTEMS = ("library", "webrtc", "webrtc-extended", "speex")
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


class Children:
    """Every process the benchmark starts, so that each can be ended by its own id."""

    def __init__(self):
        self.running = []

    def start(self, command, env, what, **kwargs):
        try:
            process = subprocess.Popen(command, env=env, **kwargs)
        except OSError as error:
            raise BenchmarkError(f"cannot start {what} ({command[0]}): {error}") from error
        process.what = what
        self.running.append(process)
        return process

    def wait(self, process, timeout):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.end(process)
            raise BenchmarkError(f"{process.what} did not finish within {timeout:.0f} s; ended it") from None

    def end(self, process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)
        if process in self.running:
            self.running.remove(process)

    def end_all(self):
        for process in reversed(list(self.running)):
            try:
                self.end(process)
            except Exception:  # noqa: BLE001 - cleanup must go on
                pass


def read_line(process, deadline_seconds, what):
    """The next line the process prints, read unbuffered so that select sees what is there."""
    line, deadline = b"", time.monotonic() + deadline_seconds
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
            raise BenchmarkError(f"{what} said nothing within {deadline_seconds:.0f} s")
        byte = os.read(process.stdout.fileno(), 1)
        if not byte:
            raise BenchmarkError(f"{what} ended: " + process.stderr.read().decode(errors="replace").strip()[-2000:])
        line += byte
    return line.decode().strip()


def thread_ticks(pid, thread_filter=None):
    """utime + stime in clock ticks of a process's threads (those `thread_filter` accepts), by name."""
    ticks = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return ticks
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as file:
                text = file.read()
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that has just ended
        name = text[text.index("(") + 1:text.rindex(")")]
        if thread_filter and not thread_filter(name):
            continue
        fields = text.rsplit(")", 1)[1].split()
        ticks[name] = ticks.get(name, 0) + int(fields[11]) + int(fields[12])
    return ticks


def cpu_ticks(pid, thread_filter=None):
    return sum(thread_ticks(pid, thread_filter).values())


def library_thread(name):
    return name == "mivo-audio" or name.startswith("mivo.")


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


class Bench:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.children = Children()
        # A build of the whole repository has it under tools/, bench/echo/run's build under mivo/tools/.
        self.tool = next((path for path in (os.path.join(args.build_dir, "tools", "room", "mivo-room"),
                                            os.path.join(args.build_dir, "mivo", "tools", "room", "mivo-room"))
                          if os.access(path, os.X_OK)), None)
        if self.tool is None:
            raise BenchmarkError(f"mivo-room is not built in {args.build_dir}")
        self.host = os.path.join(args.build_dir, "mivo-echo-host")
        self.probe = os.path.join(args.build_dir, "mivo-echo-probe")
        self.counter = 0
        self.server = None
        self.rooms_file = ["--rooms", os.path.abspath(args.rooms_file)] if args.rooms_file else []

    def path(self, name):
        self.counter += 1
        return os.path.join(self.work, f"{self.counter:04d}-{name}")

    def room_settings(self, room):
        text = subprocess.run([self.tool, "show", room, *self.rooms_file], capture_output=True, text=True, check=True).stdout
        settings = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return {k: (v if k in ("name", "kind", "ir_wav") else float(v)) for k, v in settings.items()}

    def start_room(self, room):
        process = self.children.start([self.tool, "echo", "--room", room, *self.rooms_file], self.server.env, f"room {room}",
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        state = read_line(process, 20, f"room {room}")
        return process, dict(item.split("=", 1) for item in state.split()[1:])

    def start_truth(self, seconds):
        out = self.path("truth.f32")
        process = self.children.start([self.tool, "record", "--seconds", f"{seconds:.2f}", "--out", out],
                                      self.server.env, "room recorder", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.files = (out,)
        return process

    def finish_truth(self, process):
        if self.children.wait(process, 30) != 0:
            raise BenchmarkError("the room recorder failed: " + process.stderr.read().decode(errors="replace"))
        speaker, microphone = room_truth.read_pair(process.files[0])
        truth = room_truth.summarise(room_truth.measure(speaker, microphone, 3.0))
        return analysis.resample(microphone, 48000, RATE_CAP), truth

    def recorder(self, device, seconds, name):
        out, stamps = self.path(name + ".raw"), self.path(name + ".stamps")
        process = self.children.start(
            [self.probe, "record", "--device", device, "--rate", str(RATE_CAP), "--seconds", f"{seconds:.2f}",
             "--out", out, "--stamps", stamps], self.server.env, f"recorder of {device}", stderr=subprocess.PIPE)
        process.files = (out, stamps)
        return process

    def finish_recorder(self, process, linger=0.4):
        if process.poll() is None:
            time.sleep(linger)
            process.send_signal(signal.SIGINT)
        if self.children.wait(process, 15) != 0:
            raise BenchmarkError(f"{process.what} failed: {process.stderr.read().decode(errors='replace').strip()}")
        return process.files

    def paplay(self, device, path, what):
        return self.children.start(["paplay", f"--device={device}", path], self.server.env, what,
                                   stderr=subprocess.PIPE)

    def finish_player(self, process, timeout):
        if self.children.wait(process, timeout) != 0:
            raise BenchmarkError(f"{process.what} failed: {process.stderr.read().decode(errors='replace').strip()}")

    # ------------------------------------------------------------------ the library
    def start_host(self, seconds, play=None, pause=None):
        out, stamps = self.path("library.raw"), self.path("library.stamps")
        command = [self.host, "--out", out, "--stamps", stamps, "--seconds", f"{seconds:.2f}"]
        if play:
            command += ["--play", play]
        if pause:
            command += ["--pause-at", f"{pause[0]:.3f}", "--pause-ms", f"{pause[1]:.0f}"]
        process = self.children.start(command, self.server.env, "library host (mivo-echo-host)",
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.files = (out, stamps)
        if read_line(process, 20, "the library host") != "ready":
            raise BenchmarkError("the library host did not start")
        return process

    def finish_host(self, process, timeout):
        """Waits for "finished"; the library's threads' CPU ticks then (by thread), and lets the host end."""
        if read_line(process, timeout, "the library host") != "finished":
            raise BenchmarkError("the library host did not finish")
        ticks = thread_ticks(process.pid, library_thread)
        process.stdin.write(b"exit\n")
        process.stdin.flush()
        if self.children.wait(process, 15) != 0:
            raise BenchmarkError("the library host failed: " + process.stderr.read().decode(errors="replace").strip())
        return ticks

    def plain_client_rate(self, seconds=3.0):
        """CPU (ms per s) of two plain `pa_simple` clients doing the host's I/O without the library:
        room.monitor recorded at 16 kHz and 48 kHz mono played into the speaker, every thread of
        both processes. Whatever this room's server costs any client per wake-up is in it too. What
        they play is silence: the room's changes count from the first far-end sound it hears."""
        silence = self.path("silence.raw")
        np.zeros(int((seconds + 2.0) * 48000), dtype=np.int16).tofile(silence)
        out = self.recorder("room.monitor", seconds + 2.0, "plain-client")
        far = self.player("speaker", silence, name="silent player")
        try:
            time.sleep(0.5)
            before, wall = cpu_ticks(out.pid) + cpu_ticks(far.pid), time.monotonic()
            time.sleep(seconds)
            after = cpu_ticks(out.pid) + cpu_ticks(far.pid)
            return 1000 * (after - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - wall)
        finally:
            for process in (far, out):
                self.children.end(process)

    def library_session(self, tracks, pause):
        timeline = tracks["timeline"]
        plain_client = self.plain_client_rate()
        truth = self.start_truth(timeline.session + 2.0)
        time.sleep(0.3)
        host = self.start_host(timeline.session + 0.5, tracks["paths"]["far_raw"], pause)
        start_ticks, wall = thread_ticks(host.pid, library_thread), time.monotonic()
        near = self.paplay("room", tracks["paths"]["near_wav"], "near-end paplay")
        host.stdin.write(b"go\n")
        host.stdin.flush()
        ticks = self.finish_host(host, timeline.session + 30)
        seconds = time.monotonic() - wall
        self.finish_player(near, timeline.session + 15)
        mic, room_state = self.finish_truth(truth)
        per_thread = {name: 1000 * (count - start_ticks.get(name, 0)) / os.sysconf("SC_CLK_TCK") / seconds
                      for name, count in ticks.items()}
        result = {"cpu_ms_per_s": sum(per_thread.values()), "threads_ms_per_s": per_thread,
                  "plain_client_ms_per_s": plain_client}
        return mic, analysis.read_raw(host.files[0]), room_state, result

    # ------------------------------------------------------------------ module-echo-cancel
    def load_canceller(self, system):
        method, aec_args = CANCELLERS[self.server.kind][system]
        arguments = ["load-module", "module-echo-cancel", f"aec_method={method}", "rate=16000", "channels=1",
                     "source_master=room.monitor", "sink_master=speaker", "source_name=ec_source", "sink_name=ec_sink"]
        if aec_args:
            arguments.append(f'aec_args="{aec_args}"')
        index = self.server.pactl(*arguments)
        self.server.reset_volumes("ec_source")
        return index

    def canceller_session(self, system, tracks, pause):
        timeline = tracks["timeline"]
        plain_rate = self.plain_streams_rate(tracks)
        index = self.load_canceller(system)
        try:
            truth = self.start_truth(timeline.session + 2.0)
            out = self.recorder("ec_source", timeline.session + 3.0, "ec-" + system)
            time.sleep(0.3)
            before, wall = self.server.ticks(), time.monotonic()
            far = self.player("ec_sink", tracks["paths"]["far_raw"], pause)
            near = self.paplay("room", tracks["paths"]["near_wav"], "near-end paplay")
            self.finish_player(far, timeline.session + 15)
            self.finish_player(near, timeline.session + 15)
            rate = (self.server.ticks() - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - wall)
            out_files = self.finish_recorder(out)
            mic, room_state = self.finish_truth(truth)
        finally:
            self.server.pactl("unload-module", index)
            self.server.reset_volumes()
        extra = {"cpu_ms_per_s": 1000 * (rate - plain_rate), "server_ms_per_s": 1000 * rate,
                 "plain_ms_per_s": 1000 * plain_rate}
        return mic, analysis.read_raw(out_files[0]), room_state, extra

    def player(self, device, raw_file, pause=None, name="far-end player"):
        command = [self.probe, "play", "--device", device, "--file", raw_file]
        if pause:
            command += ["--pause-at", f"{pause[0]:.3f}", "--pause-ms", f"{pause[1]:.0f}"]
        return self.children.start(command, self.server.env, name, stderr=subprocess.PIPE)

    def plain_streams_rate(self, tracks, seconds=4.0):
        """The server's CPU (s per s) with the session's own streams and no canceller: the far end
        played straight into the speaker, the near end into the room, room.monitor and the room
        recorded. Measured just before each session, so that what the machine's other work does
        to the server's rate is the same on both sides of the difference."""
        truth = self.start_truth(seconds + 1.5)
        out = self.recorder("room.monitor", seconds + 2.0, "plain")
        streams = [self.player("speaker", tracks["paths"]["far_raw"]),
                   self.paplay("room", tracks["paths"]["near_wav"], "near-end paplay")]
        try:
            time.sleep(0.5)
            before, wall = self.server.ticks(), time.monotonic()
            time.sleep(seconds)
            return (self.server.ticks() - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - wall)
        finally:
            for process in streams + [out, truth]:
                self.children.end(process)

    # ------------------------------------------------------------------ capture latency
    def clicks(self):
        log = self.path("clicks.log")
        process = self.children.start(
            [self.probe, "clicks", "--device", "room", "--count", str(self.args.clicks), "--interval-ms", "300",
             "--lead-ms", "600", "--log", log], self.server.env, "click player", stderr=subprocess.PIPE)
        if self.children.wait(process, 30) != 0:
            raise BenchmarkError(f"the click player failed: {process.stderr.read().decode(errors='replace').strip()}")
        return [int(x) for x in np.loadtxt(log, dtype=np.int64, ndmin=2)[:, 0]]

    def latency_from(self, hits, files):
        stamps, totals = analysis.read_stamps(files[1])
        return analysis.match_latencies(hits, analysis.click_arrivals(analysis.read_raw(files[0]), stamps, totals))

    def latency(self, system):
        seconds = 0.6 + 0.3 * self.args.clicks + 1.0
        index = self.load_canceller(system) if system != "library" else None
        try:
            mic = self.recorder("room.monitor", seconds + 2.0, "click-mic")
            if index is None:
                host = self.start_host(seconds + 1.0)
                host.stdin.write(b"go\n")
                host.stdin.flush()
            else:
                out = self.recorder("ec_source", seconds + 2.0, "click-ec")
            time.sleep(0.5)
            hits = self.clicks()
            if index is None:
                self.finish_host(host, seconds + 30)
                files = host.files
            else:
                files = self.finish_recorder(out)
            mic_files = self.finish_recorder(mic)
        finally:
            if index is not None:
                self.server.pactl("unload-module", index)
                self.server.reset_volumes()
        return report.summarise_latency(self.latency_from(hits, files), self.latency_from(hits, mic_files))


def events_of(settings):
    events = []
    if settings.get("change_at_s", 0) > 0:
        events.append(settings["change_at_s"])
    if settings.get("pause_at_s", 0) > 0:
        events.append(settings["pause_at_s"])
    return events


def cpu_detail(result):
    if "threads_ms_per_s" in result:
        threads = ", ".join(f"{name} {value:.1f}" for name, value in sorted(result["threads_ms_per_s"].items()))
        return threads + f"; plain clients doing the same I/O {result['plain_client_ms_per_s']:.1f}"
    return f"server {result['server_ms_per_s']:.1f}, same streams without it {result['plain_ms_per_s']:.1f}"


def run_room(bench, talkers, room, systems, runs, results, failures):
    settings = bench.room_settings(room)
    timeline = analysis.Timeline(settings["far_s"])
    tracks = talkers.tracks(timeline, bench.work, room)
    pause = (settings["pause_at_s"], settings["pause_ms"]) if settings["pause_at_s"] > 0 else None
    events = events_of(settings)
    for system in systems:
        for run in range(runs):
            process = None
            try:
                process, state = bench.start_room(room)
                bench.server.reset_volumes()
                if system == "library":
                    mic, out, truth, extra = bench.library_session(tracks, pause)
                else:
                    mic, out, truth, extra = bench.canceller_session(system, tracks, pause)
                result = analysis.analyse_session(tracks, mic, out, events)
                result.update(extra, truth=truth, placed=state)
            except BenchmarkError as error:
                failures.append((room, system, f"run {run + 1}: {error}"))
                print(f"[{room} {system}] run {run + 1}: {error}", file=sys.stderr)
                if bench.server.process.poll() is not None:
                    raise ServerGone(f"the private server ended (exit {bench.server.process.returncode}) during "
                                     f"{room}, {system}, run {run + 1}") from error
                continue
            finally:
                if process is not None:
                    bench.children.end(process)
                    # The room says when it had to place its echo again: the session's echo moved.
                    for line in process.stderr.read().decode(errors="replace").splitlines():
                        print(f"[{room} {system}] run {run + 1}: {line}", file=sys.stderr)
            results.setdefault((room, system), []).append(result)
            truth_text = (f"delay {truth['delay_ms']:.2f} ms level {truth['level_db']:.1f} dB" if truth else "no truth")
            print(f"[{room} {system}] run {run + 1}/{runs}: ERLE {result['erle']:.1f} dB, lowest second "
                  f"{report.fmt(result['lowest'])}, recovery {[report.fmt(r) for r in result['recovery']]}, near-end "
                  f"loss {report.fmt(result['loss'])} dB, CPU {result['cpu_ms_per_s']:.1f} ms/s ({cpu_detail(result)}); "
                  f"room: {truth_text}",
                  file=sys.stderr)
    return settings


def save(path, server, settings, latencies, failures, results):
    with open(path + ".partial", "w") as file:
        json.dump({"server": server, "settings": settings, "latencies": latencies, "failures": failures,
                   "results": {f"{room}|{system}": runs for (room, system), runs in results.items()}},
                  file, default=float)
    os.replace(path + ".partial", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="build with mivo-echo-host, mivo-echo-probe, tools/room/mivo-room")
    parser.add_argument("--rooms", default="all", help="comma-separated room names (default: every room but loopback-60)")
    parser.add_argument("--rooms-file", help="rooms described in this file instead of tools/room/rooms.conf")
    parser.add_argument("--systems", default="all", help="comma-separated subset of " + ", ".join(SYSTEMS) +
                        " (default: the library and every canceller the server has)")
    parser.add_argument("--runs", type=int, default=5, help="sessions per system and room (default 5)")
    parser.add_argument("--server", default=os.environ.get("MIVO_TEST_SERVER", "pulseaudio"),
                        choices=("pulseaudio", "pipewire"))
    parser.add_argument("--clicks", type=int, default=20, help="clicks per latency session")
    parser.add_argument("--no-latency", action="store_true", help="skip the click sessions")
    parser.add_argument("--png", help="write per-second ERLE of every system in every room here")
    parser.add_argument("--readme", help="replace the benchmark table in this README")
    parser.add_argument("--save", help="keep every session's figures here as JSON")
    parser.add_argument("--keep", help="keep every recording in this folder instead of deleting them")
    args = parser.parse_args()
    offered = ["library", *CANCELLERS[args.server]]
    systems = offered if args.systems == "all" else [s.strip() for s in args.systems.split(",") if s.strip()]
    if any(s not in offered for s in systems) or not systems or args.runs < 1:
        parser.error(f"bad --systems or --runs: {systems}")
    for tool in ("pactl", "paplay", "espeak-ng"):
        if shutil.which(tool) is None:
            raise BenchmarkError(f"{tool} is not installed (Debian packages: pulseaudio-utils, espeak-ng)")
    work = args.keep or tempfile.mkdtemp(prefix="mivo-echo-bench-")
    os.makedirs(work, exist_ok=True)
    bench = Bench(args, work)
    names = subprocess.run([bench.tool, "list", *bench.rooms_file], capture_output=True, text=True, check=True).stdout.split()
    rooms = [r for r in names if r != "loopback-60"] if args.rooms == "all" else args.rooms.split(",")
    if any(r not in names for r in rooms):
        parser.error(f"unknown room in --rooms; rooms are: {', '.join(names)}")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    results, failures, latencies, settings = {}, [], {}, {}
    started = time.monotonic()
    try:
        talkers = analysis.Talkers(work)
        bench.server = Server(bench.children, bench.tool, args.server, work)
        time.sleep(0.5)
        for system in systems if not args.no_latency else []:
            try:
                latencies[system] = bench.latency(system)
            except BenchmarkError as error:
                failures.append(("clicks", system, f"latency not measured: {error}"))
        for room in rooms:
            settings[room] = run_room(bench, talkers, room, systems, args.runs, results, failures)
            if args.save:  # every room as it is done: an hour's run stopped early keeps what it measured
                save(args.save, args.server, settings, latencies, failures, results)
    except ServerGone as error:
        failures.append(("server", "all", str(error)))
        print(f"echo benchmark: {error}; the server's log:", file=sys.stderr)
        for name in os.listdir(work):
            if name.endswith(".log"):
                with open(os.path.join(work, name)) as file:
                    print(f"--- {name}\n{file.read()[-4000:]}", file=sys.stderr)
    finally:
        bench.children.end_all()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    sections = [(args.server, systems, results, latencies)]
    table = report.table(sections, rooms, settings, args.runs)
    print(table)
    print(f"({(time.monotonic() - started) / 60:.0f} minutes)")
    for room, system, message in failures:
        print(f"**{room}, {system}: {message}**")
    if args.save:
        save(args.save, args.server, settings, latencies, failures, results)
    if args.png:
        report.draw(args.png, rooms, sections, settings)
    if args.readme:
        report.write_readme(args.readme, table)
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchmarkError as error:
        print(f"echo benchmark: {error}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        print("echo benchmark: interrupted", file=sys.stderr)
        sys.exit(130)
