"""The soak's run: the host, the talkers and the plain recorder, with the server's switches and
restarts on a schedule."""
import os
import threading
import time

from soak_clients import NEAR_TEXT, Host, PlainRecorder, far_end_raw, now_ns, sample_process, speech, talk
from soak_server import Server, SoakError, host_environment

SAMPLE_OFFSET_S = 25.0
QUIET_END_S = 15.0


class Schedule:
    """The driver's doings, at their times: switches, server restarts, samples of the host."""

    def __init__(self, options, server, host, seconds):
        self.options, self.server, self.host = options, server, host
        self.began = now_ns()
        self.next_switch = self.began + int(options.switch_seconds / 2 * 1e9)
        self.next_restart = self.began + int(options.restart_minutes * 60e9)
        # Between switches, so that every sample sees the host running.
        self.next_sample = self.began + int(SAMPLE_OFFSET_S * 1e9)
        # Nothing in the host's last seconds, when it no longer answers a change.
        self.quiet_from = self.began + int((seconds - QUIET_END_S) * 1e9)
        self.second_pair = False
        self.actions = []  # (ns, "switch"|"restart", ns the new server was ready or None)
        self.samples = []  # (minute, sample_process)
        self.downtimes = []  # seconds from ending a server until the next one was ready

    def step(self, moment):
        if moment < self.quiet_from and moment >= self.next_restart:
            self.restart()
        elif moment < self.quiet_from and moment >= self.next_switch:
            self.switch()
        if moment >= self.next_sample:
            try:
                self.samples.append(((moment - self.began) / 60e9, sample_process(self.host.pid)))
            except (OSError, KeyError, ValueError):
                pass  # the host is just ending
            self.next_sample += int(60e9)

    def restart(self):
        down = now_ns()
        self.server.stop()
        self.server.start()
        ready = now_ns()
        self.actions.append((down, "restart", ready))
        self.downtimes.append((ready - down) / 1e9)
        self.second_pair = False
        self.next_restart += int(self.options.restart_minutes * 60e9)
        self.next_switch = ready + int(self.options.switch_seconds / 2 * 1e9)

    def switch(self):
        self.second_pair = not self.second_pair
        self.actions.append((now_ns(), "switch", None))
        self.server.pactl("set-default-sink", "speaker2" if self.second_pair else "speaker")
        self.server.pactl("set-default-source", "room2.monitor" if self.second_pair else "room.monitor")
        self.next_switch += int(self.options.switch_seconds * 1e9)


def run(options, work):
    seconds = options.minutes * 60
    env = host_environment(work)
    far = far_end_raw(work)
    near = speech(work, NEAR_TEXT, "en-gb", "near")
    server = Server(work, options.room_tool, options.room, options.server)
    stopping = threading.Event()
    talkers = [threading.Thread(target=talk, args=(device, near, env, stopping), daemon=True)
               for device in ("room", "room2")]
    plain = PlainRecorder(env, stopping)
    load_before = os.getloadavg()
    server.start()
    host = None
    try:
        for talker in talkers + [plain.thread]:
            talker.start()
        host = Host(options.host, far, seconds, env, os.path.join(work, "host-stderr.txt"))
        schedule = Schedule(options, server, host, seconds)
        while host.process.poll() is None:
            schedule.step(now_ns())
            time.sleep(0.05)
        host.reader.join(timeout=5)
        if host.process.returncode != 0:
            with open(os.path.join(work, "host-stderr.txt")) as stderr:
                raise SoakError(f"the host failed ({host.process.returncode}): {stderr.read()}")
    finally:
        if host and host.process.poll() is None:
            host.process.kill()
            host.process.wait()
        stopping.set()
        for talker in talkers + [plain.thread]:
            talker.join(timeout=10)
        server.stop()
    host.lines += ["plain " + line for line in plain.segments]
    return host, schedule, (load_before, os.getloadavg())
