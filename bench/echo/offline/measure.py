"""What the offline harness reports for one processed session, measured as the echo benchmark does."""
import numpy as np

import sessions

analysis = sessions.analysis
RATE = 16000


def processing_delay(mic, out):
    """Samples by which the output lags the microphone, from the near end talking alone."""
    begin, end = int(8.3 * RATE), int(10.6 * RATE)
    a = mic[begin:end]
    best, best_dot = 0, -np.inf
    for lag in range(0, int(0.06 * RATE)):
        b = out[begin + lag:end + lag]
        if len(b) < len(a):
            break
        dot = float(np.dot(a, b))
        if dot > best_dot:
            best, best_dot = lag, dot
    return best


def far_only_windows(session, step=1.0):
    """Start times of 1 s windows with the far end's echo and no near end."""
    mic_near = session["mic16"] - session["echo16"]
    echo = session["echo16"]
    floor = 1e-7 * max(float(np.mean(echo ** 2)), 1e-12) + 1e-12
    starts = []
    t = 0.0
    while (t + 1.0) * RATE <= len(echo):
        a, b = int(t * RATE), int((t + 1.0) * RATE)
        near_energy = float(np.mean(mic_near[a:b] ** 2))
        echo_energy = float(np.mean(echo[a:b] ** 2))
        # Noise is part of the microphone in some rooms; a talker is far louder than -50 dBFS.
        if near_energy < 1e-5 and echo_energy > floor and echo_energy > 1e-9:
            starts.append(t)
        t += step
    return starts


def events_of(room):
    return [room[k] for k in ("change_at", "host_gap_at", "stream_gap_at", "capture_loss_at", "shift_at") if k in room]


# The rounding noise of 16-bit output: no host can hear less than this, so no ERLE goes beyond it.
QUANTISATION_ENERGY = (1.0 / 32768.0) ** 2 / 12.0


def erle(mic, out, begin, end):
    em = float(np.mean(mic[int(begin * RATE):int(end * RATE)] ** 2))
    eo = float(np.mean(out[int(begin * RATE):int(end * RATE)] ** 2))
    return 10 * np.log10(max(em, QUANTISATION_ENERGY) / max(eo, QUANTISATION_ENERGY))


def as_int16(signal_in):
    """What a host gets: 16-bit samples (the ERLE of a digital silence would be unbounded)."""
    return np.clip(np.round(signal_in * 32768.0), -32768, 32767) / 32768.0


def measure(session, out):
    mic = as_int16(session["mic16"])
    out = as_int16(out)
    lag = processing_delay(mic, out)
    aligned = np.concatenate([out[lag:], np.zeros(lag)])[:len(mic)]
    if len(aligned) < len(mic):
        aligned = np.concatenate([aligned, np.zeros(len(mic) - len(aligned))])
    per_second = {t: erle(mic, aligned, t, t + 1.0) for t in far_only_windows(session)}
    events = events_of(session["room"])
    steady = [v for t, v in per_second.items() if t >= 3.0 and not any(e - 1.0 < t < e + 2.0 for e in events)]
    recovery = []
    for event in events:
        fine = [t for t in far_only_windows(session, 0.25) if t >= event and erle(mic, aligned, t, t + 1.0) >= 30.0]
        # When the first 1 s window that measures above 30 dB begins, after the event.
        recovery.append(fine[0] - event if fine else float("inf"))
    loss, _ = analysis.near_end_loss(np.asarray(out, dtype=np.float64), lag, session["near_seconds"],
                                     sessions.TIMELINE)
    return {
        "erle": erle(mic, aligned, analysis.CONVERGENCE, sessions.TIMELINE.erle_end),
        "per_second": per_second,
        "lowest": min(steady) if steady else float("nan"),
        "median_after_3s": float(np.median(steady)) if steady else float("nan"),
        "recovery": recovery,
        "loss": loss,
        "latency_ms": lag * 1000.0 / RATE,
    }
