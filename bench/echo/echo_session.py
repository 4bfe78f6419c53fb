"""The echo benchmark's sessions: the library, module-echo-cancel and capture latency, in one room."""
import os
import signal
import subprocess
import sys
import time

import numpy as np

import echo_analysis as analysis
import echo_report as report
from echo_analysis import RATE_CAP, BenchmarkError
from echo_processes import Children, cpu_ticks, library_thread, read_line, thread_ticks
from echo_server import CANCELLERS, ServerGone

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "room"))
import room_truth  # noqa: E402


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
