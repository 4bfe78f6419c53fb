#!/usr/bin/python3
"""Soak: the library in a host for a long time, while the devices change and the server restarts.

A private sound server (`mivo-room serve`, PulseAudio or PipeWire, never the user's) holds the
virtual room (speaker -> room, tools/room/rooms.conf) and a second pair, speaker2 -> room2 (a
module-loopback), to switch to. mivo-soak-host (bench/soak/soak_host.c, the public C interface
only) plays far-end speech and reads the capture for the whole run; two paplay loops talk into
room and room2 as the near end. Every --switch-seconds the default sink and source move to the
other pair; every --restart-minutes the server is ended and a new one started. The host reaches
the server through a symlink that follows the current one, so its environment stays the same, as
a real host's does across a restart of the user's server.

The host starts again whenever a read returns -2, and retries the start until a server answers.
Reported: restarts by cause (the switch or server restart that came before, within 10 s), the
time until the host was running again, resident memory, open descriptors and threads of the host
each minute, the longest call per entry point, captured samples against the wall clock over every
run of 10 s or more, and every failure text, marked when it is not one the host is told to expect.
"""
import argparse
import json
import os
import shutil
import signal
import sys
import tempfile

from soak_report import print_report
from soak_schedule import run
from soak_server import SoakError

RECORDED_OPTIONS = ("minutes", "server", "room", "switch_seconds", "restart_minutes")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/soak")
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--room", default="pure-60")
    parser.add_argument("--switch-seconds", type=float, default=30)
    parser.add_argument("--restart-minutes", type=float, default=5)
    parser.add_argument("--keep", action="store_true", help="keep the working folder (logs, the host's events)")
    parser.add_argument("--report", metavar="SOAK_JSON", help="print the table of a kept run again")
    options = parser.parse_args()
    if options.report:
        with open(options.report) as file:
            print_report(json.load(file))
        return 0
    options.host = os.path.join(options.build_dir, "mivo-soak-host")
    options.room_tool = os.path.join(options.build_dir, "mivo", "tools", "room", "mivo-room")
    work = tempfile.mkdtemp(prefix="mivo-soak-")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        host, schedule, loads = run(options, work)
        record = {"options": {name: getattr(options, name) for name in RECORDED_OPTIONS}, "lines": host.lines,
                  "actions": schedule.actions, "samples": schedule.samples, "downtimes": schedule.downtimes,
                  "loads": loads, "server_failures": schedule.server.failures}
        with open(os.path.join(work, "soak.json"), "w") as file:
            json.dump(record, file)
        print_report(record)
    except SoakError as error:
        print(f"soak: {error}", file=sys.stderr)
        return 1
    finally:
        if options.keep:
            print(f"working folder: {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
