#!/usr/bin/python3
"""What a room really did: the echo's delay, level and drift, from a recording of speaker.monitor
and room.monitor lined up on the server's clock (`mivo-room record`).

The echo path's impulse response is estimated by deconvolution (averaged cross-spectrum over the
loudspeaker's spectrum) in windows of a few seconds. Per window: the delay of the first arrival
(the earliest tap within 12 dB of the strongest), its level, and the strongest tap's delay. Drift
is the slope of the first arrival's delay over the windows, in ppm.

usage: room_truth.py RECORDING.f32 [--window S] [--json]
"""
import argparse
import json
import sys

import numpy as np

RATE = 48000
LONGEST_PATH = 0.6  # seconds of impulse response looked at
NEAR = RATE // 1000  # an arrival's level counts what lies within 1 ms of it


def read_pair(path):
    data = np.fromfile(path, dtype="<f4").astype(np.float64)
    data = data[:len(data) // 2 * 2].reshape(-1, 2)
    return data[:, 0], data[:, 1]


def played_band(power):
    """The bins the loudspeaker played, by their power: speech leaves the top of the band empty."""
    return power > 1e-5 * power.max()


def impulse_response(speaker, microphone, length):
    """Least-squares estimate of the path from speaker to microphone, `length` taps long, over the
    band the loudspeaker played (speech leaves the top of the band empty). Scaled so that a pure
    delay of gain g peaks at g whatever that band."""
    size = 1
    while size < 2 * length:
        size *= 2
    cross = np.zeros(size // 2 + 1, dtype=complex)
    power = np.zeros(size // 2 + 1)
    window = np.hanning(size)
    for start in range(0, len(speaker) - size + 1, size // 4):
        x = np.fft.rfft(speaker[start:start + size] * window)
        y = np.fft.rfft(microphone[start:start + size] * window)
        cross += np.conj(x) * y
        power += np.abs(x) ** 2
    if power.max() <= 0:
        return None
    band = played_band(power)
    response = np.fft.irfft(np.where(band, cross / np.maximum(power, 1e-30), 0), size)
    kernel = np.fft.irfft(band.astype(float), size)
    # What a pure delay of gain 1 looks like through this band, from 1 ms before to 1 ms after.
    spread = np.concatenate([kernel[-NEAR:], kernel[:NEAR + 1]]) / kernel[0]
    return response[:length] / kernel[0], spread


def bulk_delay(speaker, microphone):
    """Samples by which the microphone follows the speaker at the strongest correlation."""
    size = 1
    while size < 2 * len(speaker):
        size *= 2
    played = np.fft.rfft(speaker, size)
    spectrum = np.conj(played) * np.fft.rfft(microphone, size)
    # Phase only, for a sharp peak; but only where the loudspeaker played, since whitening the empty
    # bins lifts whatever both channels share there (window edges, faint crosstalk) to a peak at 0.
    weighted = np.where(played_band(np.abs(played) ** 2), spectrum / np.maximum(np.abs(spectrum), 1e-30), 0)
    correlation = np.fft.irfft(weighted, size)[:int(LONGEST_PATH * RATE)]
    return int(np.argmax(correlation))


def first_arrival(response, spread):
    """Index (interpolated) and level of the earliest arrival within 12 dB of the strongest. The
    level is the energy within 1 ms of it against a pure delay's there, so that an arrival smeared
    over a few taps (a drifting path) still counts whole."""
    magnitude = np.abs(response)
    strongest = int(np.argmax(magnitude))
    candidates = np.nonzero(magnitude >= magnitude[strongest] * 10 ** (-12 / 20))[0]
    index = int(candidates[0])
    # Walk up to the local peak of that arrival.
    while index + 1 < len(magnitude) and magnitude[index + 1] > magnitude[index]:
        index += 1
    offset = 0.0
    if 0 < index < len(magnitude) - 1:
        a, b, c = magnitude[index - 1], magnitude[index], magnitude[index + 1]
        denominator = a - 2 * b + c
        if denominator != 0:
            offset = 0.5 * (a - c) / denominator
    near = response[max(0, index - NEAR):index + NEAR + 1]
    return index + offset, float(np.sqrt(np.sum(near ** 2) / np.sum(spread ** 2))), strongest


def measure(speaker, microphone, window_seconds):
    length = int(LONGEST_PATH * RATE)
    window = int(window_seconds * RATE)
    rows = []
    for start in range(0, len(speaker) - window + 1, window):
        s, m = speaker[start:start + window], microphone[start:start + window]
        if np.sqrt(np.mean(s ** 2)) < 0.01:
            continue  # the loudspeaker was (nearly) silent: nothing to measure the room by
        # Estimate from a little before the strongest arrival, so that long delays do not fall
        # out of the estimate's windows.
        skip = max(0, bulk_delay(s, m) - int(0.06 * RATE))
        estimate = impulse_response(s[:len(s) - skip], m[skip:], length)
        if estimate is None:
            continue
        index, amplitude, strongest = first_arrival(*estimate)
        rows.append({"at_s": (start + window / 2) / RATE, "delay_ms": 1000 * (index + skip) / RATE,
                     "level_db": 20 * np.log10(max(abs(amplitude), 1e-12)),
                     "strongest_ms": 1000 * (strongest + skip) / RATE})
    return rows


def summarise(rows):
    """Medians over the windows, and the drift as the slope of the delay over time; windows far
    from the median delay (too little sound in them to measure by) are left out."""
    if not rows:
        return None
    middle = sorted(r["delay_ms"] for r in rows)[len(rows) // 2]  # a window's own delay: one always stays
    rows = [r for r in rows if abs(r["delay_ms"] - middle) < 10.0]
    delays = np.array([r["delay_ms"] for r in rows])
    levels = np.array([r["level_db"] for r in rows])
    times = np.array([r["at_s"] for r in rows])
    drift = 0.0
    if len(rows) >= 3 and times[-1] - times[0] > 5:
        drift = np.polyfit(times, delays, 1)[0] * 1000.0  # ms per s to us per s: ppm
    return {"delay_ms": float(np.median(delays)), "delay_first_ms": float(delays[0]),
            "delay_last_ms": float(delays[-1]), "level_db": float(np.median(levels)),
            "strongest_ms": float(np.median([r["strongest_ms"] for r in rows])), "drift_ppm": float(drift),
            "windows": len(rows), "rows": rows}


def measure_room(speaker, microphone, window_seconds):
    """summarise(measure(...)); where the path drifts, the level comes from the microphone
    stretched back by the drift, since a delay that moves within a window blurs its estimate."""
    summary = summarise(measure(speaker, microphone, window_seconds))
    if summary is None or abs(summary["drift_ppm"]) < 20:
        return summary
    stretch = 1.0 + summary["drift_ppm"] * 1e-6
    positions = np.arange(len(microphone)) * stretch
    steady = np.interp(positions, np.arange(len(microphone)), microphone, right=0.0)
    levels = summarise(measure(speaker, steady, window_seconds))
    if levels is not None:
        summary["level_db"] = levels["level_db"]
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("recording")
    parser.add_argument("--window", type=float, default=4.0, help="seconds per measurement window")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    parser.add_argument("--rows", action="store_true", help="print every window too")
    args = parser.parse_args()
    speaker, microphone = read_pair(args.recording)
    summary = measure_room(speaker, microphone, args.window)
    if summary is None:
        print("room_truth: the loudspeaker played nothing to measure", file=sys.stderr)
        return 1
    if args.rows:
        for row in summary["rows"]:
            print(f"  {row['at_s']:6.1f} s  delay {row['delay_ms']:7.2f} ms  level {row['level_db']:6.1f} dB  "
                  f"strongest at {row['strongest_ms']:7.2f} ms", file=sys.stderr)
    if args.json:
        print(json.dumps(summary))
    else:
        print(f"delay {summary['delay_ms']:.2f} ms (first {summary['delay_first_ms']:.2f}, last "
              f"{summary['delay_last_ms']:.2f}), level {summary['level_db']:.2f} dB, strongest arrival at "
              f"{summary['strongest_ms']:.2f} ms, drift {summary['drift_ppm']:.0f} ppm over {summary['windows']} windows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
