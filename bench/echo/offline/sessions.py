"""Sessions for the offline harness: the benchmark's speech timeline, a room, and the engine's framing.

The timeline is the echo benchmark's (bench/echo/echo_analysis.py) with 8 s of far end: far end only 0-8 s, near end
alone from 8.4 s, double talk from 11 s to 13.8 s; longer sessions go on with far-end speech only
from 14.5 s, so that drift, echo-path changes and gaps can be followed.
"""
import os
import sys

import numpy as np
from scipy.signal import resample_poly

import rooms

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import echo_analysis as analysis  # noqa: E402  (the benchmark's talkers and timeline)

RATE = rooms.RATE
FRAME = rooms.FRAME
TIMELINE = analysis.Timeline(8.0)
BASE_SECONDS = TIMELINE.session
MORE_FAR_AT = TIMELINE.session  # far-end speech goes on after the double talk


def make_speech(work):
    """Far-end and near-end tracks at 48 kHz, as long as the longest room needs (60 s)."""
    talkers = analysis.Talkers(work)
    tracks = talkers.tracks(TIMELINE, work, "offline")
    far = analysis.read_raw(tracks["paths"]["far_raw"])
    near, _ = analysis.read_wav(tracks["paths"]["near_wav"])
    # More far end for long sessions: the first sentence again and again, 0.5 s apart.
    talk = analysis.speak(analysis.FAR_TEXT, "en-us+m3", os.path.join(work, "far_more.wav"))
    more = np.concatenate([np.concatenate([talk, np.zeros(RATE // 2)]) for _ in range(4)])
    far = np.concatenate([far[:int(MORE_FAR_AT * RATE)], more])
    near = np.concatenate([near, np.zeros(len(far) - len(near))])
    return {"far": far, "near": near, "near_seconds": tracks["near_seconds"]}


def framing(frames, seed):
    """The order in which the engine hands render (R) and capture (C) frames over: render starts
    a few frames ahead, then one of each per 10 ms, now and then two of a kind together, as the
    live engine does on a PulseAudio daemon."""
    rng = np.random.default_rng(seed)
    order = ["R"] * int(rng.integers(2, 5))
    pending_capture = 0
    for _ in range(frames):
        order.append("R")
        pending_capture += 1
        if pending_capture >= 2 or rng.random() > 0.15:
            order += ["C"] * pending_capture
            pending_capture = 0
    return order


def build(name, speech, seed, prefix):
    """Writes the session files for one room and returns what measuring it needs."""
    room = rooms.lookup(name)
    seconds = room.get("seconds", BASE_SECONDS)
    length = int(seconds * RATE)
    render = speech["far"][:length].copy()
    if "host_gap_at" in room:
        render = rooms.insert_gap(render, room["host_gap_at"], room["host_gap_ms"])[:length]
    near = speech["near"][:length]
    played = render
    if "stream_gap_at" in room:
        played = rooms.insert_gap(render, room["stream_gap_at"], room["stream_gap_ms"])
    echo = rooms.through_room(played, room)
    offset = int(rooms.STREAM_OFFSET_MS * RATE / 1000)
    echo_at_mic = np.concatenate([np.zeros(offset), echo])
    if "capture_loss_at" in room:
        at = int(room["capture_loss_at"] * RATE)
        echo_at_mic = np.concatenate([echo_at_mic[:at], echo_at_mic[at + int(room["capture_loss_ms"] * RATE / 1000):]])
    echo_at_mic = echo_at_mic[:length]
    rng = np.random.default_rng(seed + 1000)
    noise = rng.standard_normal(length) * rooms.db(room.get("noise_dbfs", -200))
    mic = echo_at_mic + near + noise
    mic16 = resample_poly(mic, 1, 3)
    render.astype(np.float32).tofile(prefix + ".render.f32")
    mic.astype(np.float32).tofile(prefix + ".capture48.f32")
    mic16.astype(np.float32).tofile(prefix + ".capture16.f32")
    write_events(prefix + ".events", room, length // FRAME, seed)
    return {"mic16": mic16, "echo16": resample_poly(echo_at_mic, 1, 3), "seconds": seconds, "room": room,
            "near_seconds": speech["near_seconds"]}


def write_events(path, room, frames, seed):
    rng = np.random.default_rng(seed)
    rendered = captured = 0
    in_a_row = 0
    with open(path, "w") as file:
        for kind in framing(frames, seed):
            if kind == "R":
                file.write("R\n")
                rendered += 1
                in_a_row = 0
                continue
            t = captured / 100.0
            offset_ms = rooms.STREAM_OFFSET_MS
            if "stream_gap_at" in room and t >= room["stream_gap_at"]:
                if t - 0.01 < room["stream_gap_at"]:
                    file.write("U\n")
                offset_ms += room["stream_gap_ms"]
            if "capture_loss_at" in room and t >= room["capture_loss_at"]:
                if t - 0.01 < room["capture_loss_at"]:
                    file.write("L\n")  # the engine sees the record stream's read index jump
                offset_ms -= room["capture_loss_ms"]
            ahead_ms = (rendered - captured) * 10.0
            # The engine's report (playback + record latency) and the timing it could give instead:
            # how long before the newest rendered frame is heard this frame was captured.
            lead_ms = offset_ms + ahead_ms + rng.uniform(-0.5, 0.5)
            # Today's report is read once per fragment: later frames of one read get the first's.
            delay_ms = lead_ms + 10.0 * in_a_row + rng.uniform(-1.0, 1.0)
            in_a_row += 1
            true_lag = (offset_ms + rooms.first_arrival_ms(room, t)) * RATE / 1000
            file.write(f"C {int(delay_ms * 1000)} {int(lead_ms * 1000)} 1 {true_lag:.1f}\n")
            captured += 1
