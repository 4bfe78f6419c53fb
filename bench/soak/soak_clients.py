"""What runs against the soak's server: the host, the far-end and near-end speech, the near-end
talkers and a plain recorder to compare the host's capture with."""
import os
import subprocess
import threading
import time

import numpy as np

from soak_server import SoakError

RATE_PLAY = 48000
RATE_CAPTURE = 16000
FAR_TEXT = ("The quarterly numbers are in, and they look better than we expected. Shipping went out on time, "
            "and the new warehouse is already handling a third of the orders.")
NEAR_TEXT = "Sorry to interrupt, could you say that last part again?"


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
