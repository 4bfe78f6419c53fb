"""Signals and measurements of the echo benchmark: the talkers, one session's timeline, and what
is measured in a session (ERLE overall and per second, recovery after an event, near-end loss,
click arrivals)."""
import os
import subprocess

import numpy as np

RATE_PLAY = 48000
RATE_CAP = 16000

FAR_TEXT = ("Good morning. This is the far end of the call, speaking through your loudspeaker. "
            "Everything I say comes back into your microphone a moment later, and it has to be "
            "taken out again before anybody hears it. I will keep talking for a while longer, "
            "about the weather, the trains and the price of coffee, so that there is enough to measure. "
            "The morning train was late again, and the coffee on the platform was cold, but the view "
            "over the river made up for most of it.")
FAR_TEXT_2 = ("Now we are both talking at the same time, which is the hard part for any echo "
              "canceller, because it must not remove your voice.")
NEAR_TEXT = "Hello, this is the person in the room."

CONVERGENCE = 3.0      # seconds the canceller is given before it is judged
NEAR_MAX_SECONDS = 2.4
RECOVERED_DB = 30.0    # "back above" this after a change or an underrun
EVENT_GRACE = 2.0      # seconds after an event that the lowest-second figure leaves out
NEAR_MARGIN = 0.2      # seconds kept clear in front of the near end's first word


class BenchmarkError(Exception):
    """A failure with a message meant for the person running the benchmark."""


class Timeline:
    """Seconds of the far-end track: far end only for `far` s, then the near end alone, then
    double talk (the far end again with the same near-end utterance)."""

    def __init__(self, far_seconds):
        self.far_end = far_seconds
        self.erle_end = far_seconds - 0.1
        self.near_alone_at = far_seconds + 0.4
        self.far_double_at = far_seconds + 3.0
        self.far_double_end = far_seconds + 5.8
        self.near_double_at = far_seconds + 3.3
        self.session = far_seconds + 6.5


def resample(signal_in, rate_in, rate_out):
    """Band-limited resampling of a whole signal through the FFT."""
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
    import wave
    with wave.open(path, "rb") as file:
        rate, channels = file.getframerate(), file.getnchannels()
        data = np.frombuffer(file.readframes(file.getnframes()), dtype="<i2").astype(np.float64) / 32768.0
    if channels > 1:
        data = data.reshape(-1, channels).mean(axis=1)
    return data, rate


def write_wav(path, signal_in, rate):
    import wave
    with wave.open(path, "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(to_int16(signal_in).tobytes())


def to_int16(signal_in):
    return np.clip(np.round(signal_in * 32768.0), -32768, 32767).astype("<i2")


def speak(text, voice, path):
    result = subprocess.run(["espeak-ng", "-v", voice, "-s", "175", "-w", path, text], capture_output=True, text=True)
    if result.returncode != 0:
        raise BenchmarkError(f"espeak-ng failed: {result.stderr.strip()}")
    data, rate = read_wav(path)
    loud = np.nonzero(np.abs(data) > 0.01)[0]  # leading and trailing silence only blur onsets
    if len(loud) == 0:
        raise BenchmarkError(f"espeak-ng produced silence for voice {voice}")
    data = resample(data[loud[0]:loud[-1] + 1], rate, RATE_PLAY)
    return data * (0.1 / np.sqrt(np.mean(data ** 2)))  # -20 dBFS RMS for both talkers


def place(track, signal_in, at_seconds, until_seconds=None):
    start = int(round(at_seconds * RATE_PLAY))
    piece = signal_in
    if until_seconds is not None:
        piece = piece[:int(round((until_seconds - at_seconds) * RATE_PLAY))].copy()
        fade = min(len(piece), int(0.02 * RATE_PLAY))
        piece[len(piece) - fade:] *= np.linspace(1.0, 0.0, fade)
    track[start:start + len(piece)] += piece[:len(track) - start]


class Talkers:
    """The speech every session uses, made once."""

    def __init__(self, work):
        self.far = speak(FAR_TEXT, "en-us+m3", os.path.join(work, "far1.wav"))
        self.far_again = speak(FAR_TEXT_2, "en-us+m3", os.path.join(work, "far2.wav"))
        self.near = speak(NEAR_TEXT, "en+f3", os.path.join(work, "near.wav"))
        if len(self.near) > NEAR_MAX_SECONDS * RATE_PLAY:
            raise BenchmarkError(f"espeak-ng's near-end utterance lasts {len(self.near) / RATE_PLAY:.2f} s, "
                                 f"more than the {NEAR_MAX_SECONDS} s the timeline has room for")
        self.near_seconds = len(self.near) / RATE_PLAY

    def tracks(self, timeline, work, stem):
        """Far and near tracks of one timeline, as files and as 16 kHz references."""
        length = int(timeline.session * RATE_PLAY)
        far = np.zeros(length)
        repeats = int(np.ceil(timeline.far_end * RATE_PLAY / len(self.far)))
        place(far, np.tile(self.far, repeats), 0.0, timeline.far_end)
        place(far, self.far_again, timeline.far_double_at, timeline.far_double_end)
        near = np.zeros(length)
        place(near, self.near, timeline.near_alone_at)
        place(near, self.near, timeline.near_double_at)
        paths = {"far_raw": os.path.join(work, f"{stem}-far.raw"), "near_wav": os.path.join(work, f"{stem}-near.wav")}
        to_int16(far).tofile(paths["far_raw"])
        write_wav(paths["near_wav"], near, RATE_PLAY)
        return {"paths": paths, "far16": resample(far, RATE_PLAY, RATE_CAP), "near16": resample(near, RATE_PLAY, RATE_CAP),
                "near_seconds": self.near_seconds, "timeline": timeline}


def xcorr_lag(signal_in, reference, max_lag):
    """The lag (0 .. max_lag samples) at which `reference` best matches inside `signal_in`."""
    n = 1
    while n < len(signal_in) + len(reference):
        n *= 2
    corr = np.fft.irfft(np.fft.rfft(signal_in, n) * np.conj(np.fft.rfft(reference, n)), n)
    return int(np.argmax(corr[:max_lag + 1]))


def mean_square(signal_in, begin, end):
    begin, end = max(0, int(begin)), min(len(signal_in), int(end))
    if end - begin < RATE_CAP // 4:
        raise BenchmarkError("a recording is too short for its measurement window")
    return float(np.mean(signal_in[begin:end] ** 2))


def per_second_erle(mic, out, far_at, shift, erle_end):
    """(seconds, ERLE dB) of 1 s windows every 0.25 s over the far-end-only part (up to `erle_end`
    s of the far end's track); windows where the microphone heard next to nothing (the far end
    paused) are left out."""
    rows = []
    start = 0.0
    while start + 1.0 <= erle_end + 1e-9:
        begin = far_at + start * RATE_CAP
        heard = mean_square(mic, begin, begin + RATE_CAP)
        if heard > 1e-7:  # -70 dBFS
            kept = mean_square(out, begin + shift, begin + shift + RATE_CAP)
            rows.append((start, 10 * np.log10(heard / max(kept, 1e-15))))
        start += 0.25
    return rows


def lowest_second(rows, events):
    """The lowest 1 s ERLE after convergence, outside EVENT_GRACE s after an event."""
    values = [erle for start, erle in rows
              if start >= CONVERGENCE and not any(event - 1.0 < start < event + EVENT_GRACE for event in events)]
    return min(values) if values else None


def recovery(rows, event):
    """Seconds after `event` until a whole second at or above RECOVERED_DB begins; inf if none."""
    for start, erle in rows:
        if start >= event - 1e-9 and erle >= RECOVERED_DB:
            return start - event
    return float("inf")


def near_end_loss(out, near_lag, near_seconds, timeline):
    """Least-squares gain of the near-end-alone output inside the double-talk output, in dB of loss."""
    begin = near_lag + int((timeline.near_alone_at - 0.05) * RATE_CAP)
    end = near_lag + int((timeline.near_alone_at + near_seconds + 0.15) * RATE_CAP)
    alone = out[begin:end]
    expected = begin + int((timeline.near_double_at - timeline.near_alone_at) * RATE_CAP)
    search = int(0.3 * RATE_CAP)
    if len(alone) < end - begin or expected + search + len(alone) > len(out):
        raise BenchmarkError("a recording ended before the double-talk part")
    alone_energy = float(np.dot(alone, alone))
    if alone_energy < 1e-9:
        return float("inf"), 0.0
    dots = [float(np.dot(out[expected + lag:expected + lag + len(alone)], alone)) for lag in range(-search, search + 1)]
    best = int(np.argmax(dots))
    piece = out[expected + best - search:expected + best - search + len(alone)]
    gain = dots[best] / alone_energy
    correlation = dots[best] / np.sqrt(alone_energy * max(float(np.dot(piece, piece)), 1e-15))
    return (-20 * np.log10(gain) if gain > 1e-6 else float("inf")), correlation


def far_lag(mic, far16, near_in_mic, timeline, max_lag):
    """Where the far end's track begins in the microphone. Only the far-end-only part is matched,
    against a microphone with the near end blanked: a quiet echo under a loud talker otherwise
    loses its correlation peak to chance correlations with the talker."""
    far_only = far16[:int(timeline.far_end * RATE_CAP)]
    near_begins = near_in_mic + int((timeline.near_alone_at - NEAR_MARGIN) * RATE_CAP)
    echo_only = mic.copy()
    echo_only[max(0, near_begins):] = 0.0
    return xcorr_lag(echo_only, far_only, max_lag)


def analyse_session(tracks, mic, out, events):
    """Every figure of one session; `mic` is room.monitor at 16 kHz, `out` the system's output."""
    timeline = tracks["timeline"]
    max_lag = 3 * RATE_CAP
    near_in_mic = xcorr_lag(mic, tracks["near16"], max_lag)
    far_in_mic = far_lag(mic, tracks["far16"], near_in_mic, timeline, max_lag)
    near_in_out = xcorr_lag(out, tracks["near16"], max_lag)
    shift = near_in_out - near_in_mic
    # The talkers start on their own, not on the far end's clock: end where the near end begins
    # if it comes early, so that no window holds near-end speech.
    near_begins = near_in_mic + (timeline.near_alone_at - NEAR_MARGIN) * RATE_CAP
    erle_end = min(timeline.erle_end, (near_begins - far_in_mic) / RATE_CAP)
    begin, end = far_in_mic + CONVERGENCE * RATE_CAP, far_in_mic + erle_end * RATE_CAP
    heard = mean_square(mic, begin, end)
    if heard < 1e-8:
        raise BenchmarkError("the raw microphone heard no echo: is the room running?")
    rows = per_second_erle(mic, out, far_in_mic, shift, erle_end)
    loss, correlation = near_end_loss(out, near_in_out, tracks["near_seconds"], timeline)
    return {"erle": 10 * np.log10(heard / max(mean_square(out, begin + shift, end + shift), 1e-15)),
            "per_second": rows, "lowest": lowest_second(rows, events),
            "recovery": [recovery(rows, event) for event in events],
            "loss": loss, "correlation": correlation, "echo_dbfs": 10 * np.log10(heard)}


def read_raw(path):
    return np.fromfile(path, dtype="<i2").astype(np.float64) / 32768.0


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
    onsets, last = [], -10 ** 9
    for index in np.nonzero(envelope > 0.2 * peak)[0]:
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
    arrival belongs to a click only if it comes before the next click."""
    result = []
    for index, hit in enumerate(hits_ns):
        limit = hit + 250e6
        if index + 1 < len(hits_ns):
            limit = min(limit, hits_ns[index + 1] - 5e6)
        candidates = [a for a in arrivals_ns if hit - 5e6 <= a < limit]
        result.append((min(candidates) - hit) / 1e6 if candidates else None)
    return result
