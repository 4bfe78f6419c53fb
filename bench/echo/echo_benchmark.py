#!/usr/bin/python3
"""Echo benchmark: the library against PulseAudio's module-echo-cancel, in one virtual room.

A private PulseAudio daemon (never the user's server) holds the room: null sinks `speaker` (the
default sink) and `room`, the echo path speaker.monitor -> room through module-loopback 60 ms late,
and room.monitor as the microphone. Far-end and near-end speech are made with espeak-ng (two
voices, fixed text). Each echo session follows one timeline (seconds of the far-end track):

    0.0 - 8.0   far end only: 3 s to converge, then the ERLE window 3.0 - 7.9
    8.4 - ~10.7 near end alone (far end silent): the near-end-alone output
    11.0 - 13.8 far end again, with the same near-end utterance from 11.3 on: double talk

The near end is played into `room` by paplay, started together with the far end. Per session:
  ERLE            10*log10(E[raw mic] / E[output]) over the ERLE window; the raw mic is
                  room.monitor recorded at the same time by a plain client
  near-end loss   -20*log10(g), g the least-squares gain of the near-end-alone output found by
                  cross-correlation inside the double-talk output (0 dB: no loss)
  CPU             library: the host's user+sys time (wait4) per second of captured audio;
                  module-echo-cancel: the daemon's CPU per second minus its idle rate
Recordings are aligned by cross-correlation with the far-end and near-end tracks. Every session
starts a fresh canceller: a new library host, or module-echo-cancel loaded for that session only
(source_master=room.monitor sink_master=speaker; the far end is played into its sink and its
source is recorded; its webrtc analog gain control is off unless --ec-analog-agc, because it
would move room.monitor's volume, which every system shares).
A click session per system measures capture latency: a third client plays clicks into `room`
and logs when each first sample reaches it (write time + reported latency); the system under
test and a plain pa_simple client on room.monitor timestamp when they read it.

Needs only numpy (Debian's python3-numpy), espeak-ng, pulseaudio and pulseaudio-utils.
"""
import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

RATE_PLAY = 48000
RATE_CAP = 16000

FAR_TEXT = ("Good morning. This is the far end of the call, speaking through your loudspeaker. "
            "Everything I say comes back into your microphone a moment later, and it has to be "
            "taken out again before anybody hears it. I will keep talking for a while longer, "
            "about the weather, the trains and the price of coffee, so that there is enough to measure.")
FAR_TEXT_2 = ("Now we are both talking at the same time, which is the hard part for any echo "
              "canceller, because it must not remove your voice.")
NEAR_TEXT = "Hello, this is the person in the room."

# The timeline, in seconds of the far-end track.
FAR_ONLY_END = 8.0
CONVERGENCE = 3.0
ERLE_END = 7.9
NEAR_ALONE_AT = 8.4
FAR_DOUBLE_AT = 11.0
FAR_DOUBLE_END = 13.8
NEAR_DOUBLE_AT = 11.3
SESSION_SECONDS = 14.5
NEAR_MAX_SECONDS = 2.4

SUBPROCESS_TIMEOUT = 20.0


class BenchmarkError(Exception):
    """A failure with a message meant for the person running the benchmark."""


# ----------------------------------------------------------------------------- signals

def resample(signal_in, rate_in, rate_out):
    """Band-limited resampling of a whole signal through the FFT (no SciPy needed)."""
    if rate_in == rate_out:
        return signal_in.astype(np.float64)
    pad = 2048
    padded = np.concatenate([np.zeros(pad), signal_in, np.zeros(pad)])
    n_out = int(round(len(padded) * rate_out / rate_in))
    spectrum = np.fft.rfft(padded)
    bins = n_out // 2 + 1
    if bins <= len(spectrum):
        spectrum = spectrum[:bins]
    else:
        spectrum = np.concatenate([spectrum, np.zeros(bins - len(spectrum), dtype=complex)])
    out = np.fft.irfft(spectrum, n_out) * (n_out / len(padded))
    skip = int(round(pad * rate_out / rate_in))
    return out[skip:skip + int(round(len(signal_in) * rate_out / rate_in))]


def read_wav(path):
    with wave.open(path, "rb") as file:
        rate, channels = file.getframerate(), file.getnchannels()
        data = np.frombuffer(file.readframes(file.getnframes()), dtype="<i2").astype(np.float64) / 32768.0
    if channels > 1:
        data = data.reshape(-1, channels).mean(axis=1)
    return data, rate


def write_wav(path, signal_in, rate):
    with wave.open(path, "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(to_int16(signal_in).tobytes())


def to_int16(signal_in):
    return np.clip(np.round(signal_in * 32768.0), -32768, 32767).astype("<i2")


def speak(text, voice, path):
    run(["espeak-ng", "-v", voice, "-s", "175", "-w", path, text], "espeak-ng")
    data, rate = read_wav(path)
    # Leading and trailing silence would only blur where an utterance starts.
    loud = np.nonzero(np.abs(data) > 0.01)[0]
    if len(loud) == 0:
        raise BenchmarkError(f"espeak-ng produced silence for voice {voice}")
    data = data[loud[0]:loud[-1] + 1]
    data = resample(data, rate, RATE_PLAY)
    rms = np.sqrt(np.mean(data ** 2))
    return data * (0.1 / rms)  # -20 dBFS RMS for both talkers


def place(track, signal_in, at_seconds, until_seconds=None):
    start = int(round(at_seconds * RATE_PLAY))
    piece = signal_in
    if until_seconds is not None:
        piece = piece[:int(round((until_seconds - at_seconds) * RATE_PLAY))].copy()
        fade = min(len(piece), int(0.02 * RATE_PLAY))
        piece[len(piece) - fade:] *= np.linspace(1.0, 0.0, fade)
    track[start:start + len(piece)] += piece[:len(track) - start]


def make_tracks(work):
    far1 = speak(FAR_TEXT, "en-us+m3", os.path.join(work, "far1.wav"))
    far2 = speak(FAR_TEXT_2, "en-us+m3", os.path.join(work, "far2.wav"))
    near = speak(NEAR_TEXT, "en+f3", os.path.join(work, "near_utterance.wav"))
    if len(far1) < FAR_ONLY_END * RATE_PLAY or len(far2) < (FAR_DOUBLE_END - FAR_DOUBLE_AT) * RATE_PLAY:
        raise BenchmarkError("espeak-ng's far-end speech is shorter than the timeline needs")
    if len(near) > NEAR_MAX_SECONDS * RATE_PLAY:
        raise BenchmarkError(f"espeak-ng's near-end utterance lasts {len(near) / RATE_PLAY:.2f} s, "
                             f"more than the {NEAR_MAX_SECONDS} s the timeline has room for")
    length = int(SESSION_SECONDS * RATE_PLAY)
    far = np.zeros(length)
    place(far, far1, 0.0, FAR_ONLY_END)
    place(far, far2, FAR_DOUBLE_AT, FAR_DOUBLE_END)
    near_track = np.zeros(length)
    place(near_track, near, NEAR_ALONE_AT)
    place(near_track, near, NEAR_DOUBLE_AT)
    paths = {
        "far_raw": os.path.join(work, "far.raw"),
        "far_wav": os.path.join(work, "far.wav"),
        "near_wav": os.path.join(work, "near.wav"),
    }
    to_int16(far).tofile(paths["far_raw"])
    write_wav(paths["far_wav"], far, RATE_PLAY)
    write_wav(paths["near_wav"], near_track, RATE_PLAY)
    return {
        "paths": paths,
        "far16": resample(far, RATE_PLAY, RATE_CAP),
        "near16": resample(near_track, RATE_PLAY, RATE_CAP),
        "near_seconds": len(near) / RATE_PLAY,
    }


# ----------------------------------------------------------------------------- processes

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
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=3)

    def end_all(self):
        for process in reversed(self.running):
            try:
                self.end(process)
            except Exception:  # noqa: BLE001 - cleanup must go on
                pass
        self.running.clear()


def run(command, what, env=None, timeout=SUBPROCESS_TIMEOUT):
    try:
        result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    except FileNotFoundError:
        raise BenchmarkError(f"{what}: {command[0]} is not installed") from None
    except subprocess.TimeoutExpired:
        raise BenchmarkError(f"{what} did not finish within {timeout:.0f} s: {' '.join(command)}") from None
    if result.returncode != 0:
        raise BenchmarkError(f"{what} failed ({result.returncode}): {' '.join(command)}\n"
                             f"{result.stderr.strip()}")
    return result.stdout


def process_cpu_seconds(pid):
    """CPU time of a running process: its threads' run time in ns from schedstat, which the
    clock-tick counts of /proc/<pid>/stat (10 ms steps) would blur over a few seconds."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/schedstat") as file:
                    total += int(file.read().split()[0])
            except (FileNotFoundError, ProcessLookupError):
                pass  # a thread that has just ended
        return total / 1e9
    except FileNotFoundError:
        pass
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class PrivateDaemon:
    """A PulseAudio daemon of our own with the virtual room; never the user's server."""

    def __init__(self, children, work, probe):
        self.children = children
        self.probe = probe
        self.dir = os.path.join(work, "pulse")
        runtime = os.path.join(self.dir, "runtime")
        home = os.path.join(self.dir, "home")
        os.makedirs(os.path.join(runtime, "pulse"))
        os.makedirs(home)
        os.chmod(runtime, 0o700)
        self.env = {k: v for k, v in os.environ.items() if k not in ("PULSE_SINK", "PULSE_SOURCE", "DISPLAY")}
        # No client may reach or start any other server, even if ours dies.
        client_conf = os.path.join(self.dir, "client.conf")
        with open(client_conf, "w") as file:
            file.write("autospawn = no\n")
        self.env.update(XDG_RUNTIME_DIR=runtime, HOME=home, PULSE_RUNTIME_PATH=os.path.join(runtime, "pulse"),
                        PULSE_SERVER=f"unix:{runtime}/pulse/native", PULSE_CLIENTCONFIG=client_conf)
        self.socket = os.path.join(runtime, "pulse", "native")
        self.process = None

    def start(self):
        script = os.path.join(self.dir, "room.pa")
        with open(script, "w") as file:
            file.write(f"load-module module-native-protocol-unix socket={self.socket} auth-anonymous=1\n"
                       "load-module module-null-sink sink_name=speaker rate=48000 channels=1\n"
                       "load-module module-null-sink sink_name=room rate=48000 channels=1\n"
                       "load-module module-loopback source=speaker.monitor sink=room latency_msec=60\n"
                       "set-default-sink speaker\n"
                       "set-default-source room.monitor\n")
        self.log_path = os.path.join(self.dir, "daemon.log")
        log = open(self.log_path, "w")
        self.process = self.children.start(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
             "-F", script], self.env, "private PulseAudio daemon", stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            if subprocess.run(["pactl", "info"], env=self.env, capture_output=True, timeout=5).returncode == 0:
                self.reset_volumes()
                self.warm_up()
                return
            time.sleep(0.05)
        with open(self.log_path) as file:
            raise BenchmarkError("the private PulseAudio daemon did not start:\n" + file.read()[-3000:])

    def warm_up(self):
        # Right after start the null sinks render in blocks of up to 2 s until a low-latency
        # client is served; a short recording waits that out so no session starts inside it.
        out = os.path.join(self.dir, "warm-up")
        run([self.probe, "record", "--device", "room.monitor", "--rate", str(RATE_CAP), "--seconds", "0.2",
             "--out", out + ".raw", "--stamps", out + ".stamps"], "warming up the room", env=self.env, timeout=10)

    def pactl(self, *args):
        if self.process.poll() is not None:
            raise BenchmarkError("the private PulseAudio daemon has exited; see " + self.log_path)
        return run(["pactl", *args], "pactl " + args[0], env=self.env).strip()

    def reset_volumes(self, *extra_sources):
        # Loading modules (and a canceller's gain control) may leave source volumes below 100 %.
        for source in ("room.monitor", "speaker.monitor", *extra_sources):
            self.pactl("set-source-volume", source, "100%")

    def cpu_seconds(self):
        return process_cpu_seconds(self.process.pid)

    def stop(self):
        if self.process is not None:
            self.children.end(self.process)


# ----------------------------------------------------------------------------- analysis

def xcorr_lag(signal_in, reference, max_lag):
    """The lag (0 .. max_lag samples) at which `reference` best matches inside `signal_in`."""
    n = 1
    while n < len(signal_in) + len(reference):
        n *= 2
    corr = np.fft.irfft(np.fft.rfft(signal_in, n) * np.conj(np.fft.rfft(reference, n)), n)
    window = corr[:max_lag + 1]
    return int(np.argmax(window))


def energy(signal_in, begin, end):
    begin, end = max(0, int(begin)), min(len(signal_in), int(end))
    if end - begin < RATE_CAP // 2:
        raise BenchmarkError("a recording is too short for its measurement window")
    return float(np.mean(signal_in[begin:end] ** 2))


def read_raw(path):
    return np.fromfile(path, dtype="<i2").astype(np.float64) / 32768.0


def analyse_echo(tracks, mic, out):
    """ERLE and near-end loss of one session; `mic` is room.monitor, `out` the system's output."""
    max_lag = 3 * RATE_CAP
    far_in_mic = xcorr_lag(mic, tracks["far16"], max_lag)
    near_in_mic = xcorr_lag(mic, tracks["near16"], max_lag)
    near_in_out = xcorr_lag(out, tracks["near16"], max_lag)
    shift = near_in_out - near_in_mic
    begin, end = far_in_mic + CONVERGENCE * RATE_CAP, far_in_mic + ERLE_END * RATE_CAP
    mic_energy = energy(mic, begin, end)
    out_energy = energy(out, begin + shift, end + shift)
    if mic_energy < 1e-8:
        raise BenchmarkError("the raw microphone heard no echo: is the room's loopback running?")
    erle = 10 * np.log10(mic_energy / max(out_energy, 1e-15))
    loss, correlation = near_end_loss(out, near_in_out, tracks["near_seconds"])
    mic_loss, _ = near_end_loss(mic, near_in_mic, tracks["near_seconds"])
    alone = (NEAR_ALONE_AT * RATE_CAP, (NEAR_ALONE_AT + tracks["near_seconds"]) * RATE_CAP)
    near_level = 10 * np.log10(max(energy(out, near_in_out + alone[0], near_in_out + alone[1]), 1e-15) /
                               max(energy(mic, near_in_mic + alone[0], near_in_mic + alone[1]), 1e-15))
    return {"erle": erle, "loss": loss, "correlation": correlation, "mic_loss": mic_loss,
            "near_level": near_level, "echo_dbfs": 10 * np.log10(mic_energy)}


def near_end_loss(out, near_lag, near_seconds):
    """Least-squares gain of the near-end-alone output inside the double-talk output, in dB of loss."""
    begin = near_lag + int((NEAR_ALONE_AT - 0.05) * RATE_CAP)
    end = near_lag + int((NEAR_ALONE_AT + near_seconds + 0.15) * RATE_CAP)
    alone = out[begin:end]
    expected = begin + int((NEAR_DOUBLE_AT - NEAR_ALONE_AT) * RATE_CAP)
    search = int(0.3 * RATE_CAP)
    if len(alone) < end - begin or expected + search + len(alone) > len(out):
        raise BenchmarkError("a recording ended before the double-talk part")
    alone_energy = float(np.dot(alone, alone))
    if alone_energy < 1e-9:
        return float("inf"), 0.0
    best_lag, best_dot = 0, -np.inf
    for lag in range(-search, search + 1):
        piece = out[expected + lag:expected + lag + len(alone)]
        dot = float(np.dot(piece, alone))
        if dot > best_dot:
            best_lag, best_dot = lag, dot
    piece = out[expected + best_lag:expected + best_lag + len(alone)]
    gain = best_dot / alone_energy
    correlation = best_dot / np.sqrt(alone_energy * max(float(np.dot(piece, piece)), 1e-15))
    loss = -20 * np.log10(gain) if gain > 1e-6 else float("inf")
    return loss, correlation


def read_stamps(path):
    data = np.loadtxt(path, dtype=np.int64, ndmin=2)
    if data.size == 0:
        raise BenchmarkError(f"no capture timestamps in {path}")
    return data[:, 0], data[:, 1]


def click_arrivals(samples, stamps_ns, totals):
    """Monotonic ns at which the reader got each click's first sample."""
    envelope = np.abs(samples)
    peak = float(envelope.max()) if len(envelope) else 0.0
    if peak < 0.01:
        return []
    threshold = 0.2 * peak
    above = np.nonzero(envelope > threshold)[0]
    onsets, last = [], -10 ** 9
    for index in above:
        if index - last > int(0.15 * RATE_CAP):
            onsets.append(int(index))
        last = index
    arrivals = []
    for onset in onsets:
        read = int(np.searchsorted(totals, onset, side="right"))
        if read < len(stamps_ns):
            arrivals.append(int(stamps_ns[read]))
    return arrivals


def match_latencies(hits_ns, arrivals_ns):
    """Per click, ms from reaching the room to being read; None where the reader missed it. An
    arrival belongs to a click only if it comes before the next click, so that a click the
    reader missed is not credited with the next one."""
    result = []
    for index, hit in enumerate(hits_ns):
        limit = hit + 250e6
        if index + 1 < len(hits_ns):
            limit = min(limit, hits_ns[index + 1] - 5e6)
        candidates = [a for a in arrivals_ns if hit - 5e6 <= a < limit]
        result.append((min(candidates) - hit) / 1e6 if candidates else None)
    return result


# ----------------------------------------------------------------------------- sessions

class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.children = Children()
        self.host = os.path.join(args.build_dir, "mivo-echo-host")
        self.probe = os.path.join(args.build_dir, "mivo-echo-probe")
        self.daemon = PrivateDaemon(self.children, work, self.probe)
        self.counter = 0

    def path(self, name):
        self.counter += 1
        return os.path.join(self.work, f"{self.counter:03d}-{name}")

    def recorder(self, device, seconds, name):
        out, stamps = self.path(name + ".raw"), self.path(name + ".stamps")
        process = self.children.start(
            [self.probe, "record", "--device", device, "--rate", str(RATE_CAP), "--seconds", f"{seconds:.2f}",
             "--out", out, "--stamps", stamps], self.daemon.env, f"recorder of {device}", stderr=subprocess.PIPE)
        process.files = (out, stamps)
        return process

    def finish_recorder(self, process, linger=0.4):
        """Lets the recorder take in the last echoes, then stops it (it keeps what it has)."""
        if process.poll() is None:
            time.sleep(linger)
            process.send_signal(signal.SIGINT)
        code = self.children.wait(process, 10)
        error = process.stderr.read().decode(errors="replace").strip()
        if code != 0:
            raise BenchmarkError(f"{process.what} failed: {error}")
        return process.files

    def start_library_host(self, seconds, play):
        out, stamps = self.path("library.raw"), self.path("library.stamps")
        command = [self.host, "--out", out, "--stamps", stamps, "--seconds", f"{seconds:.2f}"]
        if play:
            command += ["--play", play]
        process = self.children.start(command, self.daemon.env, "library host (mivo-echo-host)",
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.files = (out, stamps)
        ready, deadline = b"", time.monotonic() + 15
        while not ready.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
                self.children.end(process)
                raise BenchmarkError("the library host did not become ready within 15 s")
            byte = os.read(process.stdout.fileno(), 1)  # unbuffered, or select would miss what a buffer holds
            if not byte:
                self.children.wait(process, 5)
                raise BenchmarkError("the library did not start: " + process.stderr.read().decode(errors="replace").strip())
            ready += byte
        return process

    def finish_library_host(self, process, timeout):
        """Waits for the host and returns its user+sys CPU seconds (rusage of the child)."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid == process.pid:
                process.returncode = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > deadline:
                self.children.end(process)
                raise BenchmarkError(f"the library host did not finish within {timeout:.0f} s; ended it")
            time.sleep(0.02)
        stderr = process.stderr.read().decode(errors="replace").strip()
        if process.returncode != 0:
            raise BenchmarkError(f"the library host failed ({process.returncode}): {stderr}")
        return usage.ru_utime + usage.ru_stime

    def paplay(self, device, path, what):
        return self.children.start(["paplay", f"--device={device}", path], self.daemon.env, what,
                                   stderr=subprocess.PIPE)

    def finish_player(self, process):
        code = self.children.wait(process, SESSION_SECONDS + 15)
        if code != 0:
            raise BenchmarkError(f"{process.what} failed: {process.stderr.read().decode(errors='replace').strip()}")

    # An echo session of the library: far end through the host, near end through paplay.
    def library_echo(self, tracks, idle_rate):
        self.daemon.reset_volumes()
        mic = self.recorder("room.monitor", SESSION_SECONDS + 3.0, "mic")
        time.sleep(0.3)
        host = self.start_library_host(SESSION_SECONDS + 0.5, tracks["paths"]["far_raw"])
        daemon_before, wall_before = self.daemon.cpu_seconds(), time.monotonic()
        near = self.paplay("room", tracks["paths"]["near_wav"], "near-end paplay")
        host.stdin.write(b"go\n")
        host.stdin.flush()
        cpu = self.finish_library_host(host, SESSION_SECONDS + 30)
        daemon_rate = (self.daemon.cpu_seconds() - daemon_before) / (time.monotonic() - wall_before)
        self.finish_player(near)
        mic_files = self.finish_recorder(mic)
        out = read_raw(host.files[0])
        result = analyse_echo(tracks, read_raw(mic_files[0]), out)
        result["cpu_ms_per_s"] = 1000 * cpu / (len(out) / RATE_CAP)
        result["daemon_ms_per_s"] = 1000 * (daemon_rate - idle_rate)
        self.keep("library", mic_files[0], host.files[0])
        return result

    def load_canceller(self, method):
        arguments = ["load-module", "module-echo-cancel", f"aec_method={method}", "source_master=room.monitor",
                     "sink_master=speaker", "source_name=ec_source", "sink_name=ec_sink"]
        aec_args = canceller_arguments(method, self.args)
        if aec_args:
            arguments.append(f'aec_args="{aec_args}"')
        index = self.daemon.pactl(*arguments)
        self.daemon.reset_volumes("ec_source")
        return index

    def canceller_echo(self, method, tracks, idle_rate):
        index = self.load_canceller(method)
        try:
            mic = self.recorder("room.monitor", SESSION_SECONDS + 3.0, "mic")
            out = self.recorder("ec_source", SESSION_SECONDS + 3.0, "ec-" + method)
            time.sleep(0.3)
            cpu_before, wall_before = self.daemon.cpu_seconds(), time.monotonic()
            far = self.paplay("ec_sink", tracks["paths"]["far_wav"], "far-end paplay")
            near = self.paplay("room", tracks["paths"]["near_wav"], "near-end paplay")
            self.finish_player(far)
            self.finish_player(near)
            cpu = self.daemon.cpu_seconds() - cpu_before
            wall = time.monotonic() - wall_before
            mic_files, out_files = self.finish_recorder(mic), self.finish_recorder(out)
        finally:
            self.daemon.pactl("unload-module", index)
            self.daemon.reset_volumes()
        result = analyse_echo(tracks, read_raw(mic_files[0]), read_raw(out_files[0]))
        result["cpu_ms_per_s"] = result["daemon_ms_per_s"] = 1000 * (cpu / wall - idle_rate)
        self.keep("ec-" + method, mic_files[0], out_files[0])
        return result

    def clicks(self, seconds):
        log = self.path("clicks.log")
        process = self.children.start(
            [self.probe, "clicks", "--device", "room", "--count", str(self.args.clicks), "--interval-ms", "300",
             "--lead-ms", "600", "--log", log], self.daemon.env, "click player", stderr=subprocess.PIPE)
        process.files = (log,)
        return process

    def finish_clicks(self, process):
        code = self.children.wait(process, 30)
        if code != 0:
            raise BenchmarkError(f"the click player failed: {process.stderr.read().decode(errors='replace').strip()}")
        data = np.loadtxt(process.files[0], dtype=np.int64, ndmin=2)
        return [int(x) for x in data[:, 0]]

    def click_seconds(self):
        return 0.6 + 0.3 * self.args.clicks + 1.0

    def latency_from(self, hits, files):
        samples = read_raw(files[0])
        stamps, totals = read_stamps(files[1])
        return match_latencies(hits, click_arrivals(samples, stamps, totals))

    def library_latency(self):
        self.daemon.reset_volumes()
        seconds = self.click_seconds()
        mic = self.recorder("room.monitor", seconds + 2.0, "click-mic")
        host = self.start_library_host(seconds + 1.0, None)
        time.sleep(0.3)
        player = self.clicks(seconds)
        host.stdin.write(b"go\n")
        host.stdin.flush()
        hits = self.finish_clicks(player)
        self.finish_library_host(host, seconds + 30)
        mic_files = self.finish_recorder(mic)
        return self.latency_from(hits, host.files), self.latency_from(hits, mic_files)

    def canceller_latency(self, method):
        index = self.load_canceller(method)
        try:
            seconds = self.click_seconds()
            mic = self.recorder("room.monitor", seconds + 2.0, "click-mic")
            out = self.recorder("ec_source", seconds + 2.0, "click-ec")
            time.sleep(0.5)
            hits = self.finish_clicks(self.clicks(seconds))
            mic_files, out_files = self.finish_recorder(mic), self.finish_recorder(out)
        finally:
            self.daemon.pactl("unload-module", index)
            self.daemon.reset_volumes()
        return self.latency_from(hits, out_files), self.latency_from(hits, mic_files)

    def idle_rate(self, seconds):
        before, wall = self.daemon.cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        return (self.daemon.cpu_seconds() - before) / (time.monotonic() - wall)

    def keep(self, name, mic_path, out_path):
        if not self.args.keep:
            return
        os.makedirs(self.args.keep, exist_ok=True)
        for label, path in (("mic", mic_path), ("out", out_path)):
            stem = os.path.splitext(os.path.basename(out_path))[0]
            target = os.path.join(self.args.keep, f"{stem}-{label}.wav")
            write_wav(target, read_raw(path), RATE_CAP)


def canceller_arguments(method, args):
    """aec_args for module-echo-cancel. Its webrtc analog gain control is off unless asked for:
    it moves the shared microphone's (room.monitor's) volume, from a start level that races with
    our reset to 100 %, so the echo level would differ between runs and from the library's room."""
    if method == "webrtc" and not args.ec_analog_agc:
        return "analog_gain_control=0"
    return ""


# ----------------------------------------------------------------------------- report

def fmt(value, digits=1):
    if value is None:
        return "n/a"
    if value == float("inf"):
        return "inf"
    return f"{value:.{digits}f}"


def summarise_latency(pairs):
    """Median absolute latency of the system and the plain client, and the median difference."""
    system, plain = pairs
    both = [(s, p) for s, p in zip(system, plain) if s is not None and p is not None]
    if not both:
        return None
    # Means: each click sits at another phase of the readers' 10 ms grid, so the mean resolves
    # below 10 ms where a median would snap to the grid.
    added = [s - p for s, p in both]
    return {
        "system": statistics.mean(s for s, _ in both),
        "plain": statistics.mean(p for _, p in both),
        "added": statistics.mean(added),
        "spread": (min(added), max(added)),
        "clicks": f"{len(both)}/{len(system)}",
    }


def print_report(systems, results, latencies, failures, runs, idle_rate, args):
    names = {"library": "libMivoVoiceIO", "webrtc": "module-echo-cancel webrtc",
             "speex": "module-echo-cancel speex"}
    print()
    print(f"## Echo benchmark: {runs} run(s) per system, virtual room with a 60 ms loopback echo path")
    print()
    print("| System | ERLE median (dB) | ERLE worst (dB) | Near-end loss median (dB) | Near-end loss worst (dB) "
          "| Capture latency (ms) | Added over plain client (ms) | CPU (ms per s of audio) "
          "| Daemon CPU above idle (ms per s) | Near-end alone vs raw mic (dB) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    plain_latencies = []
    for system in systems:
        runs_done = results.get(system, [])
        latency = latencies.get(system)
        if latency:
            plain_latencies.append(latency["plain"])
        if not runs_done:
            cells = ["n/a"] * 4
            cpu = daemon = level = "n/a"
        else:
            erles = [r["erle"] for r in runs_done]
            losses = [r["loss"] for r in runs_done]
            cells = [fmt(statistics.median(erles)), fmt(min(erles)), fmt(statistics.median(losses)), fmt(max(losses))]
            cpu = fmt(statistics.median(r["cpu_ms_per_s"] for r in runs_done))
            daemon = fmt(statistics.median(r["daemon_ms_per_s"] for r in runs_done))
            level = fmt(statistics.median(r["near_level"] for r in runs_done))
        lat = [fmt(latency["system"]), fmt(latency["added"])] if latency else ["n/a", "n/a"]
        print(f"| {names[system]} | " + " | ".join(cells + lat + [cpu, daemon, level]) + " |")
    plain = fmt(statistics.mean(plain_latencies)) if plain_latencies else "n/a"
    print(f"| plain pa_simple client on room.monitor (no canceller) | 0 | 0 | n/a | n/a | {plain} | 0 | n/a | n/a | 0 |")
    print()
    print("ERLE: 10*log10(E[raw mic]/E[output]), far end only, 3.0-7.9 s. Near-end loss: -20*log10 of the "
          "least-squares gain of the near-end-alone output inside the double-talk output (0 = none, "
          "negative = louder). Worst ERLE = lowest, worst loss = largest. Latency: mean over "
          f"{args.clicks} clicks at varied phases, from the click reaching the room (player's write time + reported "
          "latency) to the reader getting it, 10 ms reads on both sides; \"added\" is the mean per-click difference "
          "from a plain client reading room.monitor in the same session. CPU: the library host's user+sys time, "
          "or the daemon's CPU minus its idle rate "
          f"({1000 * idle_rate:.1f} ms per s with the room running), per second of audio. Daemon CPU above idle: "
          "the server's share of the same sessions (for the library, what its two streams cost the server, "
          "together with the raw-mic recorder and the near-end player, which every session has). Near-end "
          "alone vs raw mic: the system's near-end-alone output against the same utterance at the raw microphone.")
    if "webrtc" in systems:
        print(f"module-echo-cancel webrtc ran with aec_args=\"{canceller_arguments('webrtc', args)}\" "
              "(--ec-analog-agc for the module's default analog gain control).")
    mic_losses = [r["mic_loss"] for rs in results.values() for r in rs]
    if mic_losses:
        print(f"Check of the method: the raw microphone's own near-end loss is {fmt(statistics.median(mic_losses), 2)} dB "
              "(should be about 0).")
    for system in systems:
        latency = latencies.get(system)
        if latency:
            print(f"Latency, {names[system]}: {fmt(latency['system'])} ms against {fmt(latency['plain'])} ms for "
                  f"the plain client in the same session ({latency['clicks']} clicks seen by both; added per "
                  f"click {fmt(latency['spread'][0])} to {fmt(latency['spread'][1])} ms).")
    for system, message in failures:
        print(f"**{names.get(system, system)}: {message}**")

    lib, webrtc = results.get("library"), results.get("webrtc")
    if lib and webrtc:
        print()
        print("Goals (reported, not enforced):")
        lib_erle = [r["erle"] for r in lib]
        ec_erle = [r["erle"] for r in webrtc]
        print(f"- more echo removed than module-echo-cancel webrtc, median: "
              f"{'met' if statistics.median(lib_erle) > statistics.median(ec_erle) else 'NOT met'}; worst run: "
              f"{'met' if min(lib_erle) > min(ec_erle) else 'NOT met'}")
        lib_loss = statistics.median(r["loss"] for r in lib)
        ec_loss = statistics.median(r["loss"] for r in webrtc)
        print(f"- near-end loss no more than module-echo-cancel webrtc (median): "
              f"{'met' if lib_loss <= ec_loss else 'NOT met'}")
        if latencies.get("library"):
            print(f"- capture latency added over the plain client <= 5 ms: "
                  f"{'met' if latencies['library']['added'] <= 5.0 else 'NOT met'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="folder with mivo-echo-host and mivo-echo-probe")
    parser.add_argument("--runs", type=int, default=5, help="echo sessions per system (default 5)")
    parser.add_argument("--quick", action="store_true", help="2 echo sessions per system")
    parser.add_argument("--systems", default="library,webrtc,speex",
                        help="comma-separated subset of library, webrtc, speex")
    parser.add_argument("--clicks", type=int, default=20, help="clicks per latency session")
    parser.add_argument("--keep", metavar="DIR", help="keep every session's recordings as WAV files here")
    parser.add_argument("--ec-analog-agc", action="store_true",
                        help="leave module-echo-cancel webrtc's analog gain control on (its default); it "
                             "changes room.monitor's volume during the run")
    args = parser.parse_args()
    runs = 2 if args.quick else args.runs
    systems = [s.strip() for s in args.systems.split(",") if s.strip()]
    unknown = [s for s in systems if s not in ("library", "webrtc", "speex")]
    if unknown or not systems or runs < 1:
        parser.error(f"bad --systems or --runs: {unknown or systems}")
    for tool in ("pulseaudio", "pactl", "paplay", "espeak-ng"):
        if shutil.which(tool) is None:
            raise BenchmarkError(f"{tool} is not installed (Debian packages: pulseaudio, pulseaudio-utils, espeak-ng)")
    for tool in ("mivo-echo-host", "mivo-echo-probe"):
        if not os.access(os.path.join(args.build_dir, tool), os.X_OK):
            raise BenchmarkError(f"{tool} is not built in {args.build_dir}")

    work = tempfile.mkdtemp(prefix="mivo-echo-bench-")
    bench = Bench(args, work)
    # A Ctrl-C or a kill must still end the daemon and every helper.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    results, latencies, failures = {}, {}, []
    try:
        tracks = make_tracks(work)
        bench.daemon.start()
        time.sleep(0.5)
        idle = bench.idle_rate(3.0 if runs > 2 else 2.0)
        for system in systems:
            try:
                if system == "library":
                    latencies[system] = summarise_latency(bench.library_latency())
                else:
                    latencies[system] = summarise_latency(bench.canceller_latency(system))
            except BenchmarkError as error:
                failures.append((system, f"latency not measured: {error}"))
                print(f"[{system}] latency: {error}", file=sys.stderr)
                if system == "library":
                    continue  # a library that cannot start will not run echo sessions either
            for index in range(runs):
                try:
                    if system == "library":
                        result = bench.library_echo(tracks, idle)
                    else:
                        result = bench.canceller_echo(system, tracks, idle)
                except BenchmarkError as error:
                    failures.append((system, f"run {index + 1}: {error}"))
                    print(f"[{system}] run {index + 1}: {error}", file=sys.stderr)
                    break
                results.setdefault(system, []).append(result)
                print(f"[{system}] run {index + 1}/{runs}: ERLE {result['erle']:.1f} dB (echo at the mic "
                      f"{result['echo_dbfs']:.1f} dBFS), near-end loss {fmt(result['loss'])} dB (correlation "
                      f"{result['correlation']:.2f}), near end alone {result['near_level']:+.1f} dB against "
                      f"the raw mic, CPU {result['cpu_ms_per_s']:.1f} ms/s (daemon above idle "
                      f"{result['daemon_ms_per_s']:.1f} ms/s)", file=sys.stderr)
    finally:
        bench.children.end_all()
        if args.keep:
            print(f"recordings kept in {args.keep}", file=sys.stderr)
        shutil.rmtree(work, ignore_errors=True)
    print_report(systems, results, latencies, failures, runs, idle, args)
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
