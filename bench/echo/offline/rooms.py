"""Rooms simulated on the far-end and near-end speech, and the sessions the offline harness replays.

A session is what the engine would hand the voice processor in one run: the rendered stream (48 kHz,
frames in the order they are written), the microphone (48 kHz, and 16 kHz as the server would
deliver it), and the order in which render and capture frames arrive with the timing the engine
reports for each capture frame. The microphone hears the room's echo of what the loudspeaker
played plus the near-end talker.

Stream model: the capture sample with count c (48 kHz units) was captured while the loudspeaker
played render sample c - stream_offset (both counted from the start of their streams); the room
adds its own delay on top. The engine renders `ahead` frames before it captures, in small bursts.
"""
import math

import numpy as np
from scipy.signal import resample_poly

RATE = 48000
VOICE_RATE = 16000
FRAME = RATE // 100

# What the live engine showed on a private daemon: render 2-5 frames ahead of capture, the server's
# playback + record latency about 30 ms.
STREAM_OFFSET_MS = 10.0


def impulse_response(direct_ms, direct_gain, rt60, length_s, seed, early=()):
    """A room: a direct path, optional early reflections (ms, gain), and an exponentially decaying
    diffuse tail that starts right after the direct path. Gains are amplitudes."""
    rng = np.random.default_rng(seed)
    n = int(length_s * RATE)
    h = np.zeros(n)
    d = int(direct_ms * RATE / 1000)
    h[d] += direct_gain
    for at_ms, gain in early:
        h[int(at_ms * RATE / 1000)] += gain
    t = np.arange(n - d - 48) / RATE
    # Amplitude falls 60 dB over rt60; the tail's energy is about that of the direct path.
    envelope = 10 ** (-3.0 * t / rt60)
    tail = rng.standard_normal(len(t)) * envelope
    tail *= direct_gain * 0.7 / math.sqrt(np.sum(tail ** 2))
    h[d + 48:] += tail
    return h


def room_client_response(delay_ms, gain_db, rt60, reflection_ms=0.0, reflection_db=0.0, reverb_db=0.0, seed=1):
    """The response the live room client generates (tools/room): the direct path, one discrete
    reflection, and a diffuse tail from 2 ms on whose energy is reverb_db against the direct path."""
    rng = np.random.default_rng(seed)
    n = int(max(rt60, reflection_ms / 1000 + 0.01) * RATE)
    h = np.zeros(n)
    h[0] = 1.0
    if reflection_ms:
        h[int(round(reflection_ms * RATE / 1000))] += db(reflection_db)
    t = np.arange(n) / RATE
    tail = rng.standard_normal(n) * np.exp(-6.9078 * t / rt60)
    tail[:int(0.002 * RATE)] = 0.0
    h += tail * db(reverb_db) / math.sqrt(np.sum(tail ** 2))
    d = int(delay_ms * RATE / 1000)
    return np.concatenate([np.zeros(d), h * db(gain_db)])


def db(gain_db):
    return 10 ** (gain_db / 20)


# Each room: how the loudspeaker's sound reaches the microphone. Times in ms, gains in dB.
ROOMS = {
    "pure60": {"delay": 60, "gain": 0},
    "quiet60": {"delay": 60, "gain": -30},
    "laptop10": {"delay": 10, "gain": -6},
    # A microphone whose gain is too high for the loudspeaker beside it: its echo passes full scale.
    "loudmic": {"delay": 30, "gain": 12},
    "wireless250": {"delay": 250, "gain": -15},
    "office": {"ir": dict(direct_ms=30, direct_gain=db(-6), rt60=0.3, length_s=0.6, seed=5)},
    "reflection": {"ir": dict(direct_ms=20, direct_gain=db(-16), rt60=0.5, length_s=1.0, seed=6,
                              early=((45, db(-6)), (61, db(-14)), (83, db(-17))))},
    # The live benchmark's reflection room (tools/room/rooms.conf), as its room client makes it.
    "reflection-live": {"response": dict(delay_ms=20, gain_db=-14, rt60=0.5, reflection_ms=25, reflection_db=6,
                                          reverb_db=0, seed=7), "direct_ms": 20},
    "reflection-shift": {"response": dict(delay_ms=20, gain_db=-14, rt60=0.5, reflection_ms=25, reflection_db=6,
                                           reverb_db=0, seed=7), "direct_ms": 20, "shift_at": 4.0, "shift_ms": 5.0},
    "office-live": {"response": dict(delay_ms=30, gain_db=-6, rt60=0.3, reverb_db=-3, seed=8), "direct_ms": 30},
    "drift150": {"delay": 60, "gain": -6, "drift_ppm": 150, "seconds": 60},
    "softclip": {"delay": 60, "gain": 0, "clip_dbfs": -6, "noise_dbfs": -55},
    "change10": {"delay": 60, "gain": -6, "change_at": 10.0, "change_delay": 85, "change_gain": 0},
    # Not in the matrix: the same change during far-end speech, to time the recovery.
    "change20": {"delay": 60, "gain": -6, "change_at": 20.0, "change_delay": 85, "change_gain": 0, "seconds": 30},
    # Not in the matrix: PipeWire's own loopback, which now and then moves its echo 5.33 ms earlier
    # (one 256-sample block at 48 kHz) by itself.
    "pwloop-step": {"delay": 68.83, "gain": 3, "change_at": 6.0, "change_delay": 63.5, "change_gain": 3},
    "underrun300": {"delay": 60, "gain": -6, "host_gap_at": 5.3, "host_gap_ms": 300},
    # Not in the matrix: the stream itself underruns (the sink plays 30 ms the reference never had)
    # and the record stream overruns (20 ms of microphone lost).
    "streamgap": {"delay": 60, "gain": -6, "stream_gap_at": 5.3, "stream_gap_ms": 30,
                  "capture_loss_at": 16.0, "capture_loss_ms": 20, "seconds": 25},
}


# Families run by name only (`--rooms shifts` or `--rooms drifts`), to judge a change on many rooms
# at once: offices whose echo moves later by itself by MS at S seconds (the live room's client ran
# dry), officeSEED-shiftMS-S; and the drift room at other rates, driftPPM.
FAMILIES = {
    "shifts": {f"office{seed}-shift{ms}-{at}": {"response": dict(ROOMS["office-live"]["response"], seed=seed),
                                                "direct_ms": 30, "shift_at": float(at), "shift_ms": float(ms)}
               for seed in (8, 9, 10) for ms in (1, 2, 3, 5, 8, 10, 20) for at in (2, 3, 4, 5, 6)},
    "drifts": {f"drift{ppm}": dict(ROOMS["drift150"], drift_ppm=ppm, seconds=30)
               for ppm in (-300, -150, -50, 50, 100, 300)},
}


def expand(names):
    """Room names, a family's name standing for all of its rooms."""
    return [room for name in names for room in (FAMILIES[name] if name in FAMILIES else [name])]


def lookup(name):
    for family in FAMILIES.values():
        if name in family:
            return family[name]
    return ROOMS[name]


def insert_gap(signal_in, at_s, gap_ms):
    at = int(at_s * RATE)
    return np.concatenate([signal_in[:at], np.zeros(int(gap_ms * RATE / 1000)), signal_in[at:]])


def through_room(played, room):
    """The echo at the microphone for what the loudspeaker played."""
    x = played.copy()
    if "clip_dbfs" in room:
        limit = db(room["clip_dbfs"])
        x = limit * np.tanh(x / limit)
    if "ir" in room or "response" in room:
        h = impulse_response(**room["ir"]) if "ir" in room else room_client_response(**room["response"])
        from scipy.signal import fftconvolve
        echo = fftconvolve(x, h)[:len(x)]
        if "shift_at" in room:
            # The whole response moves later at once (a room client that ran dry).
            at, d = int(room["shift_at"] * RATE), int(room["shift_ms"] * RATE / 1000)
            echo[at:] = np.concatenate([np.zeros(d), echo])[at:len(x)]
        return echo
    echo = np.zeros_like(x)
    d = int(room["delay"] * RATE / 1000)
    echo[d:] = db(room["gain"]) * x[:len(x) - d]
    if "change_at" in room:
        at = int(room["change_at"] * RATE)
        d2 = int(room["change_delay"] * RATE / 1000)
        later = np.zeros_like(x)
        later[d2:] = db(room["change_gain"]) * x[:len(x) - d2]
        echo[at:] = later[at:]
    if "drift_ppm" in room:
        # The echo path runs slow by drift_ppm: the echo arrives later and later.
        up = 1_000_000 + room["drift_ppm"]
        g = math.gcd(up, 1_000_000)
        echo = resample_poly(echo, up // g, 1_000_000 // g)[:len(x)]
    return echo


def first_arrival_ms(room, at_s):
    """The room's own delay to its first arrival at a given time, for the ideal alignment."""
    if "ir" in room:
        return room["ir"]["direct_ms"]
    if "response" in room:
        return room["direct_ms"] + (room["shift_ms"] if "shift_at" in room and at_s >= room["shift_at"] else 0.0)
    delay = room["delay"]
    if "change_at" in room and at_s >= room["change_at"]:
        delay = room["change_delay"]
    if "drift_ppm" in room:
        delay += at_s * room["drift_ppm"] * 1e-3
    return delay
