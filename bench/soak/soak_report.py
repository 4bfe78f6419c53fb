"""The soak's tables, from a run's record (also one kept as soak.json)."""
import argparse

from soak_clients import RATE_CAPTURE

CAUSE_WINDOW_NS = 10 * 10**9
SHORTEST_MEASURED_RUN_S = 10.0
DOCUMENTED_TEXTS = ("The macOS audio device configuration changed", "VoiceProcessingIO is not running",
                    "VoiceProcessingIO stopped during playback", "Timed out waiting for playback queue capacity",
                    "Unable to create a playback buffer", "Timed out waiting for audio playback")
DOCUMENTED_PREFIXES = ("Unable to start VoiceProcessingIO: ", "Microphone resampling failed: ")
# How long each entry point may block by the header's contract (None: briefly).
BOUNDS_MS = {"read_capture": 200, "write_playback": 5000, "wait_playback": 5000}


def events(record, kind):
    """The host's lines of one kind, without the kind."""
    return [line.split(" ", 1)[1] for line in record["lines"] if line.split(" ", 1)[0] == kind]


def documented(text):
    return text in DOCUMENTED_TEXTS or text.startswith(DOCUMENTED_PREFIXES)


def restart_table(record):
    actions = record["actions"]
    """Each end of a run, by the action that came before it, and how long until running again."""
    ends = [int(event.split()[0]) for event in events(record, "ended")]
    starts = sorted(int(event.split()[0]) for event in events(record, "started"))
    causes = {"switch": [], "restart": [], "unexplained": []}
    for end in ends:
        before = [action for action in actions if action[0] <= end and end - action[0] <= CAUSE_WINDOW_NS]
        kind = before[-1][1] if before else "unexplained"
        back = next((start for start in starts if start > end), None)
        origin = before[-1] if before else None
        since = origin[2] if origin and origin[2] else (origin[0] if origin else end)
        causes[kind].append((back - since) / 1e9 if back else None)
    unanswered = sum(1 for action in actions
                     if not any(action[0] <= end <= action[0] + CAUSE_WINDOW_NS for end in ends))
    return causes, unanswered


def capture_rate(record, kind="segment"):
    """Samples captured against the wall clock over every run of SHORTEST_MEASURED_RUN_S or more:
    runs, seconds measured, deviation in % first to last sample and without each run's first and
    last second, seconds of samples missing in all and in the worst run."""
    totals = {"whole": [0, 0.0], "inner": [0, 0.0]}
    missing = []
    for event in events(record, kind):
        first, last, samples, inner_first, inner_last, inner_samples = (int(field) for field in event.split())
        if (last - first) / 1e9 < SHORTEST_MEASURED_RUN_S:
            continue
        for name, count, span in (("whole", samples, last - first), ("inner", inner_samples, inner_last - inner_first)):
            totals[name][0] += count
            totals[name][1] += span / 1e9
        missing.append(max((last - first) / 1e9 - samples / RATE_CAPTURE, 0.0))
    if not missing:
        return None
    deviation = {name: (count / (span * RATE_CAPTURE) - 1.0) * 100 for name, (count, span) in totals.items()}
    return len(missing), totals["whole"][1], deviation["whole"], deviation["inner"], sum(missing), max(missing)


def rate_line(figures, who):
    if not figures:
        return f"{who}: no run lasted long enough to measure"
    runs, seconds, whole, inner, missing, worst = figures
    return (f"{who}: {runs} runs of {SHORTEST_MEASURED_RUN_S:g} s or more, {seconds:.0f} s; {whole:+.3f} % first to "
            f"last sample ({missing:.2f} s of samples short in all, {worst:.2f} s in the worst run); "
            f"{inner:+.3f} % without each run's first and last second")


def print_report(record):
    options = argparse.Namespace(**record["options"])
    actions, samples, downtimes = record["actions"], record["samples"], record["downtimes"]

    out = []
    out.append(f"Soak: {options.minutes:g} min on {options.server}, room {options.room}; default sink and source "
               f"switched every {options.switch_seconds:g} s, server restarted every {options.restart_minutes:g} min")
    out.append("load average (1/5/15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f" % (*record["loads"][0],
                                                                                          *record["loads"][1]))
    out.append("")
    causes, unanswered = restart_table(record)
    failed_starts = len(events(record, "start_failed"))
    out.append("| restarts | count | longest until running again |")
    out.append("|---|---:|---:|")
    labels = {"switch": "default switched", "restart": "server restarted (from server back)",
              "unexplained": "no switch or restart before it"}
    for kind, label in labels.items():
        times = [t for t in causes[kind] if t is not None]
        longest = f"{max(times):.2f} s" if times else "-"
        never = sum(1 for t in causes[kind] if t is None)
        out.append(f"| {label} | {len(causes[kind])} | {longest}{f' ({never} never)' if never else ''} |")
    switches = sum(1 for action in actions if action[1] == "switch")
    restarts = len(actions) - switches
    out.append(f"| switches / server restarts done | {switches} / {restarts} | {unanswered} without an end of the run |")
    out.append(f"| start attempts that failed | {failed_starts} | |")
    if downtimes:
        out.append(f"| server gone, ended until the next ready | {len(downtimes)} | {max(downtimes):.2f} s |")
    if record.get("server_failures"):
        out.append(f"| private servers that failed to start (tried again) | {len(record['server_failures'])} | |")
    out.append("")
    out.append("| minute | resident MiB | open fds | threads |")
    out.append("|---:|---:|---:|---:|")
    for minute, sample in samples:
        out.append(f"| {minute:.1f} | {sample['rss_kib'] / 1024:.1f} | {sample['fds']} | {sample['threads']} |")
    out.append("")
    out.append("| entry point | calls | longest call | bound |")
    out.append("|---|---:|---:|---:|")
    for event in events(record, "blocked"):
        name, calls, longest = event.split()
        bound = BOUNDS_MS.get(name)
        out.append(f"| {name} | {calls} | {int(longest) / 1e6:.1f} ms | {f'{bound} ms' if bound else 'brief'} |")
    out.append("")
    out.append(rate_line(capture_rate(record), "capture against the wall clock"))
    out.append(rate_line(capture_rate(record, "plain"), "a plain client (parec) on room.monitor meanwhile"))
    played = events(record, "played")
    after = events(record, "after_destroy")
    if played:
        frames, decreases = played[0].split()
        out.append(f"played frames at the end: {frames}, went back {decreases} times")
    if after:
        threads, fds = after[0].split()
        out.append(f"after destroy: {threads} threads, {fds} open fds in the host")
    results = ", ".join(" ".join(event.split()) for event in events(record, "result"))
    out.append(f"results (entry point, value, count): {results}")
    out.append("failure texts seen:")
    for event in events(record, "error"):
        count, _, text = event.partition(" ")
        out.append(f"  {count:>6}  {text}{'' if documented(text) else '   <- not a documented text'}")
    print("\n".join(out))
