#!/usr/bin/python3
"""The offline echo harness: every room, several runs, each system, one table.

    bench/echo/offline/run.py --build-dir build/release [--rooms pure60,office] [--runs 3]
                              [--systems library,module,voice] [--per-second FILE.csv]

Systems: "baseline" is the voice processor as it was before (48 kHz, the engine's delay report),
"voice" the library's voice processor now; "module" is module-echo-cancel's
webrtc set-up (16 kHz, its filter, moderate suppression, strong noise suppression, no gain control)
lined up ideally; any other name is looked up in SYSTEMS below or given as name=VARIANT:OPTIONS.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

import measure
import rooms
import sessions

SYSTEMS = {
    "baseline": ("baseline", ""),
    "voice": ("voice", ""),
    "bypass": ("bypass", ""),
    "module": ("apm", "rate=16000 ext=0 da=0 supp=moderate ns=high agc=0 hpf=1 vad=1 place=5"),
}


def run_system(binary, prefix, variant, options, work):
    out = os.path.join(work, "out.f32")
    report = os.path.join(work, "report.txt")
    result = subprocess.run([binary, prefix, variant, options, out, report], capture_output=True, text=True,
                            timeout=600)
    if result.returncode != 0:
        raise RuntimeError(f"{variant} {options}: {result.stderr.strip()}")
    cpu = float(result.stdout.split("cpu_ms_per_s")[1].split()[0])
    with open(report) as file:
        notes = file.read()
    return np.fromfile(out, dtype=np.float32).astype(np.float64), cpu, notes


def fmt(value):
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return "n/a"
    if value == float("inf"):
        return "never"
    return f"{value:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--rooms", default=",".join(rooms.ROOMS),
                        help="rooms, or a family of them: " + ", ".join(rooms.FAMILIES))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--systems", default="baseline,voice,module")
    parser.add_argument("--per-second", help="write every per-second ERLE here (CSV)")
    parser.add_argument("--notes", help="write each system's own per-second report here")
    args = parser.parse_args()
    binary = os.path.join(args.build_dir, "bench", "echo", "offline", "mivo-echo-offline")
    systems = []
    for item in args.systems.split(","):
        if "=" in item:
            label, spec = item.split("=", 1)
            variant, options = spec.split(":", 1)
            systems.append((label, variant, options))
        else:
            systems.append((item, *SYSTEMS[item]))
    work = tempfile.mkdtemp(prefix="mivo-echo-offline-")
    speech = sessions.make_speech(work)
    print("| Room | System | ERLE 3-7.9 s median / worst (dB) | per-second median after 3 s (dB) | lowest 1 s after 3 s (dB) "
          "| back above 30 dB after event (s) | near-end loss median / worst (dB) | added latency (ms) | CPU (ms per s) |")
    print("|---|---|---|---|---|---|---|---|---|")
    rows = []
    notes = []
    for name in rooms.expand(args.rooms.split(",")):
        results = {label: [] for label, _, _ in systems}
        for run in range(args.runs):
            prefix = os.path.join(work, f"{name}-{run}")
            session = sessions.build(name, speech, 100 + run, prefix)
            for label, variant, options in systems:
                out, cpu, report = run_system(binary, prefix, variant, options, work)
                result = measure.measure(session, out)
                result["cpu"] = cpu
                results[label].append(result)
                notes.append(f"## {name} run {run} {label}\n{report}")
                for t, v in sorted(result["per_second"].items()):
                    rows.append(f"{name},{run},{label},{t:.1f},{v:.2f}")
        for label, _, _ in systems:
            rs = results[label]
            erles = [r["erle"] for r in rs]
            losses = [r["loss"] for r in rs]
            recoveries = [max(r["recovery"]) for r in rs if r["recovery"]]
            print(f"| {name} | {label} | {fmt(statistics.median(erles))} / {fmt(min(erles))} "
                  f"| {fmt(statistics.median(r['median_after_3s'] for r in rs))} "
                  f"| {fmt(min(r['lowest'] for r in rs))} "
                  f"| {fmt(max(recoveries)) if recoveries else '-'} "
                  f"| {fmt(statistics.median(losses))} / {fmt(max(losses))} "
                  f"| {fmt(statistics.median(r['latency_ms'] for r in rs))} "
                  f"| {fmt(statistics.median(r['cpu'] for r in rs))} |", flush=True)
    if args.per_second:
        with open(args.per_second, "w") as file:
            file.write("room,run,system,second,erle_db\n" + "\n".join(rows) + "\n")
    if args.notes:
        with open(args.notes, "w") as file:
            file.write("\n".join(notes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
