#!/usr/bin/python3
"""Echo benchmark: the library against the sound server's own canceller, in every virtual room.

A private sound server (PulseAudio, or PipeWire with --server pipewire; never the user's) holds
the devices; each session applies one room of tools/room/rooms.conf with `mivo-room echo`, afresh,
so that a room's change times count from that session's first far-end sound. Systems:

    library          the library through its C interface (mivo-echo-host)
    webrtc           module-echo-cancel aec_method=webrtc aec_args="analog_gain_control=0
                     digital_gain_control=0" rate=16000 channels=1 source_master=room.monitor
                     sink_master=speaker
    webrtc-extended  the same with extended_filter=1 in aec_args: the daemon's webrtc canceller
                     otherwise reaches only about 50 ms of echo path (it tells the canceller a
                     stream delay of 0 and does not turn on delay-agnostic alignment)
    speex            module-echo-cancel aec_method=speex, otherwise as webrtc
On PipeWire (pipewire-pulse) module-echo-cancel is PipeWire's own, webrtc only; `webrtc` there is
aec_args="webrtc.gain_control=false webrtc.extended_filter=true webrtc.delay_agnostic=true" (its
defaults, said out loud), rate=16000 channels=1, the same masters.

A session (seconds of the far-end track, F = the room's far_s, 10 unless it says otherwise):

    0 - F          far end only: 3 s to converge, then ERLE; the room's change or the host's pause
                   (underrun) falls in here
    F+0.4          the near end alone
    F+3.0 - F+5.8  the far end again, with the same near-end utterance from F+3.3: double talk

While it runs, `mivo-room record` records speaker.monitor and room.monitor lined up, which gives
the raw microphone and what the room really did (tools/room/room_truth.py: delay, level, drift).
Per session: ERLE over 3 s .. F; ERLE of every 1 s window (every 0.25 s); the lowest such second
after 3 s, leaving out 2 s after a change or underrun; seconds after the change or underrun until
a whole second at or above 30 dB begins; near-end loss (-20 log10 of the least-squares gain of the
near-end-alone output inside the double-talk output). CPU: the library's own threads (the event
loop "mivo-audio" and the control queue "mivo.*") from /proc/<pid>/task/*/stat, per second of the
session; module-echo-cancel: the server's processes above their rate with the same streams and
no canceller (far end straight into the speaker), measured for 4 s just before every session. What
the same I/O costs without the library, for scale: just before every library session, two plain
`pa_simple` clients record room.monitor at 16 kHz and play 48 kHz silence into the speaker for 3 s
(every thread of both processes).
Capture latency: once per system, a click player into `room` logs when each click reaches it
(write time + reported latency); the system and a plain client on room.monitor stamp when they
read it.

Needs numpy and matplotlib (Debian's python3-numpy, python3-matplotlib, through /usr/bin/python3),
espeak-ng, pulseaudio-utils, and the server's packages.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import echo_analysis as analysis
import echo_report as report
from echo_analysis import BenchmarkError
from echo_server import CANCELLERS, Server, ServerGone
from echo_session import Bench, run_room

SYSTEMS = ("library", "webrtc", "webrtc-extended", "speex")


def save(path, server, settings, latencies, failures, results):
    with open(path + ".partial", "w") as file:
        json.dump({"server": server, "settings": settings, "latencies": latencies, "failures": failures,
                   "results": {f"{room}|{system}": runs for (room, system), runs in results.items()}},
                  file, default=float)
    os.replace(path + ".partial", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", required=True, help="build with mivo-echo-host, mivo-echo-probe, tools/room/mivo-room")
    parser.add_argument("--rooms", default="all", help="comma-separated room names (default: every room but loopback-60)")
    parser.add_argument("--rooms-file", help="rooms described in this file instead of tools/room/rooms.conf")
    parser.add_argument("--systems", default="all", help="comma-separated subset of " + ", ".join(SYSTEMS) +
                        " (default: the library and every canceller the server has)")
    parser.add_argument("--runs", type=int, default=5, help="sessions per system and room (default 5)")
    parser.add_argument("--server", default=os.environ.get("MIVO_TEST_SERVER", "pulseaudio"),
                        choices=("pulseaudio", "pipewire"))
    parser.add_argument("--clicks", type=int, default=20, help="clicks per latency session")
    parser.add_argument("--no-latency", action="store_true", help="skip the click sessions")
    parser.add_argument("--png", help="write per-second ERLE of every system in every room here")
    parser.add_argument("--readme", help="replace the benchmark table in this README")
    parser.add_argument("--save", help="keep every session's figures here as JSON")
    parser.add_argument("--keep", help="keep every recording in this folder instead of deleting them")
    args = parser.parse_args()
    offered = ["library", *CANCELLERS[args.server]]
    systems = offered if args.systems == "all" else [s.strip() for s in args.systems.split(",") if s.strip()]
    if any(s not in offered for s in systems) or not systems or args.runs < 1:
        parser.error(f"bad --systems or --runs: {systems}")
    for tool in ("pactl", "paplay", "espeak-ng"):
        if shutil.which(tool) is None:
            raise BenchmarkError(f"{tool} is not installed (Debian packages: pulseaudio-utils, espeak-ng)")
    work = args.keep or tempfile.mkdtemp(prefix="mivo-echo-bench-")
    os.makedirs(work, exist_ok=True)
    bench = Bench(args, work)
    names = subprocess.run([bench.tool, "list", *bench.rooms_file], capture_output=True, text=True, check=True).stdout.split()
    rooms = [r for r in names if r != "loopback-60"] if args.rooms == "all" else args.rooms.split(",")
    if any(r not in names for r in rooms):
        parser.error(f"unknown room in --rooms; rooms are: {', '.join(names)}")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    results, failures, latencies, settings = {}, [], {}, {}
    started = time.monotonic()
    try:
        talkers = analysis.Talkers(work)
        bench.server = Server(bench.children, bench.tool, args.server, work)
        time.sleep(0.5)
        for system in systems if not args.no_latency else []:
            try:
                latencies[system] = bench.latency(system)
            except BenchmarkError as error:
                failures.append(("clicks", system, f"latency not measured: {error}"))
        for room in rooms:
            settings[room] = run_room(bench, talkers, room, systems, args.runs, results, failures)
            if args.save:  # every room as it is done: an hour's run stopped early keeps what it measured
                save(args.save, args.server, settings, latencies, failures, results)
    except ServerGone as error:
        failures.append(("server", "all", str(error)))
        print(f"echo benchmark: {error}; the server's log:", file=sys.stderr)
        for name in os.listdir(work):
            if name.endswith(".log"):
                with open(os.path.join(work, name)) as file:
                    print(f"--- {name}\n{file.read()[-4000:]}", file=sys.stderr)
    finally:
        bench.children.end_all()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    sections = [(args.server, systems, results, latencies)]
    table = report.table(sections, rooms, settings, args.runs)
    print(table)
    print(f"({(time.monotonic() - started) / 60:.0f} minutes)")
    for room, system, message in failures:
        print(f"**{room}, {system}: {message}**")
    if args.save:
        save(args.save, args.server, settings, latencies, failures, results)
    if args.png:
        report.draw(args.png, rooms, sections, settings)
    if args.readme:
        report.write_readme(args.readme, table)
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
