#!/usr/bin/python3
"""Echo report of a demo run: ERLE of the library's capture against the raw microphone, and a
picture of far end, raw microphone and the library's output one above the other.

usage: demo_report.py FAR.wav MIC.wav OUT.wav PICTURE.png --near-start S [--settle S]
"""
import argparse
import wave

import numpy as np


def read_wav(path):
    with wave.open(path, "rb") as file:
        rate = file.getframerate()
        channels = file.getnchannels()
        data = np.frombuffer(file.readframes(file.getnframes()), dtype="<i2").astype(np.float64)
    if channels > 1:
        data = data.reshape(-1, channels).mean(axis=1)
    return data / 32768.0, rate


def energy(signal, rate, begin, end):
    part = signal[int(begin * rate):int(end * rate)]
    return float(np.mean(part ** 2)) if len(part) else 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("far")
    parser.add_argument("mic")
    parser.add_argument("out")
    parser.add_argument("picture")
    parser.add_argument("--near-start", type=float, required=True,
                        help="second at which the near-end talker starts")
    parser.add_argument("--settle", type=float, default=3.0,
                        help="seconds the canceller is given before it is judged")
    args = parser.parse_args()

    far, far_rate = read_wav(args.far)
    mic, mic_rate = read_wav(args.mic)
    out, out_rate = read_wav(args.out)

    begin, end = args.settle, args.near_start
    mic_energy = energy(mic, mic_rate, begin, end)
    out_energy = energy(out, out_rate, begin, end)
    if mic_energy <= 0:
        raise SystemExit("the raw microphone heard nothing: no echo to measure")
    erle = 10 * np.log10(mic_energy / max(out_energy, 1e-12))
    print(f"ERLE: {erle:.1f} dB (far end only, {begin:.1f} s to {end:.1f} s)")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The far end started with the library's recording; show what was played of it.
    far = far[:int(len(out) / out_rate * far_rate)]
    rows = [("far end (played by the library)", far, far_rate),
            ("raw microphone (room.monitor): echo + near-end talker", mic, mic_rate),
            (f"library capture: echo removed, ERLE {erle:.1f} dB", out, out_rate)]
    figure, axes = plt.subplots(len(rows), 1, figsize=(12, 7), sharex=True)
    for axis, (title, signal, rate) in zip(axes, rows):
        with np.errstate(divide="ignore"):  # digital silence has no level
            axis.specgram(signal + 1e-9, Fs=rate, NFFT=512, noverlap=384, cmap="magma", vmin=-130, vmax=-20)
        axis.set_title(title, fontsize=10, loc="left")
        axis.set_ylabel("Hz")
        axis.set_ylim(0, 8000)
        axis.axvline(args.near_start, color="cyan", linestyle="--", linewidth=1)
    axes[-1].set_xlim(0, len(out) / out_rate)
    axes[-1].set_xlabel("seconds (dashed line: near-end talker starts)")
    figure.tight_layout()
    figure.savefig(args.picture, dpi=90)
    print(f"picture: {args.picture}")


if __name__ == "__main__":
    main()
