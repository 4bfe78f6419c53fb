"""The echo benchmark's child processes, each ended by its own id, and the CPU time of a process's
threads from /proc."""
import os
import select
import subprocess
import time

from echo_analysis import BenchmarkError


class Children:
    """Every process the benchmark starts, so that each can be ended by its own id."""

    def __init__(self):
        self.running = []

    def start(self, command, env, what, **kwargs):
        try:
            process = subprocess.Popen(command, env=env, **kwargs)
        except OSError as error:
            raise BenchmarkError(f"cannot start {what} ({command[0]}): {error}") from error
        process.what = what
        self.running.append(process)
        return process

    def wait(self, process, timeout):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.end(process)
            raise BenchmarkError(f"{process.what} did not finish within {timeout:.0f} s; ended it") from None

    def end(self, process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)
        if process in self.running:
            self.running.remove(process)

    def end_all(self):
        for process in reversed(list(self.running)):
            try:
                self.end(process)
            except Exception:  # noqa: BLE001 - cleanup must go on
                pass


def read_line(process, deadline_seconds, what):
    """The next line the process prints, read unbuffered so that select sees what is there."""
    line, deadline = b"", time.monotonic() + deadline_seconds
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
            raise BenchmarkError(f"{what} said nothing within {deadline_seconds:.0f} s")
        byte = os.read(process.stdout.fileno(), 1)
        if not byte:
            raise BenchmarkError(f"{what} ended: " + process.stderr.read().decode(errors="replace").strip()[-2000:])
        line += byte
    return line.decode().strip()


def thread_ticks(pid, thread_filter=None):
    """utime + stime in clock ticks of a process's threads (those `thread_filter` accepts), by name."""
    ticks = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return ticks
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as file:
                text = file.read()
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that has just ended
        name = text[text.index("(") + 1:text.rindex(")")]
        if thread_filter and not thread_filter(name):
            continue
        fields = text.rsplit(")", 1)[1].split()
        ticks[name] = ticks.get(name, 0) + int(fields[11]) + int(fields[12])
    return ticks


def cpu_ticks(pid, thread_filter=None):
    return sum(thread_ticks(pid, thread_filter).values())


def library_thread(name):
    return name == "mivo-audio" or name.startswith("mivo.")
