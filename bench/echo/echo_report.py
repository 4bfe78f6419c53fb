"""The echo benchmark's table, its picture of per-second ERLE, and its section of README.md."""
import math
import re
import statistics

NAMES = {"library": "libMivoVoiceIO", "webrtc": "module-echo-cancel webrtc",
         "webrtc-extended": "module-echo-cancel webrtc extended_filter=1", "speex": "module-echo-cancel speex"}
# PipeWire's module-echo-cancel is its own canceller (WebRTC AudioProcessing, extended filter and
# delay-agnostic alignment), not the PulseAudio daemon's.
PIPEWIRE_NAMES = {"webrtc": "PipeWire echo-cancel webrtc"}


def name(server, system):
    return PIPEWIRE_NAMES.get(system, NAMES[system]) if server == "pipewire" else NAMES[system]


MARKERS = ("<!-- echo-benchmark -->", "<!-- /echo-benchmark -->")


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    if value == float("inf"):
        return "never"
    return f"{value:.{digits}f}"


def summarise_latency(system, plain):
    """Mean absolute latency of the system and the plain client, and the mean difference per click
    (clicks sit at every phase of the readers' 10 ms grid, so a mean resolves below 10 ms)."""
    both = [(s, p) for s, p in zip(system, plain) if s is not None and p is not None]
    if not both:
        return None
    return {"system": statistics.mean(s for s, _ in both), "plain": statistics.mean(p for _, p in both),
            "added": statistics.mean(s - p for s, p in both), "clicks": f"{len(both)}/{len(system)}"}


def describe(settings):
    """A room's parameters in a few words."""
    s = settings
    if s["kind"] == "loopback":
        return f"module-loopback {s['delay_ms']:g} ms"
    parts = [f"{s['delay_ms']:g} ms, {s['gain_db']:g} dB"]
    if s["rt60_s"] > 0:
        parts.append(f"RT60 {s['rt60_s']:g} s, tail {s['reverb_db']:g} dB")
    if s["reflection_ms"] > 0:
        parts.append(f"reflection +{s['reflection_ms']:g} ms at +{s['reflection_db']:g} dB")
    if s["drift_ppm"]:
        parts.append(f"drift {s['drift_ppm']:+g} ppm")
    if s["clip_dbfs"] < 0:
        parts.append(f"soft clip {s['clip_dbfs']:g} dBFS")
    if s["noise_dbfs"] < 0:
        parts.append(f"noise {s['noise_dbfs']:g} dBFS")
    if s["change_at_s"] > 0:
        parts.append(f"at {s['change_at_s']:g} s: {s['change_delay_ms']:+g} ms, {s['change_gain_db']:+g} dB")
    if s["pause_at_s"] > 0:
        parts.append(f"host pauses {s['pause_ms']:g} ms at {s['pause_at_s']:g} s")
    parts.append(f"{s['far_s']:g} s far end")
    return "; ".join(parts)


def truth_of(runs):
    """Median of what the room really did over every session in it."""
    truths = [r["truth"] for r in runs if r.get("truth")]
    if not truths:
        return None
    return {key: statistics.median(t[key] for t in truths)
            for key in ("delay_ms", "delay_first_ms", "delay_last_ms", "level_db", "drift_ppm", "strongest_ms")}


def recovery_cell(runs):
    values = [r["recovery"][0] for r in runs if r["recovery"]]
    if not values:
        return "–"
    return f"{fmt(statistics.median(values))} / {fmt(max(values))}"


def system_row(server, room, system, runs):
    if not runs:
        return f"| {server} | {room} | {name(server, system)} | n/a | n/a | n/a | – | n/a | n/a | n/a | – |"
    erles = [r["erle"] for r in runs]
    lows = [r["lowest"] for r in runs if r["lowest"] is not None]
    losses = [r["loss"] for r in runs]
    cells = [fmt(statistics.median(erles)), fmt(min(erles)), fmt(min(lows)) if lows else "n/a", recovery_cell(runs),
             fmt(statistics.median(losses)), fmt(max(losses)), fmt(statistics.median(r["cpu_ms_per_s"] for r in runs))]
    plain = [r["plain_client_ms_per_s"] for r in runs if "plain_client_ms_per_s" in r]
    cells.append(fmt(statistics.median(plain)) if plain else "–")
    return f"| {server} | {room} | {name(server, system)} | " + " | ".join(cells) + " |"


def table(sections, rooms, settings, runs):
    """`sections`: (server, systems, results, latencies) per server, results by (room, system)."""
    lines = [f"{runs} session(s) per system and room.", "",
             "| Server | Room | System | ERLE median (dB) | ERLE worst (dB) | Lowest 1 s after 3 s (dB) "
             "| Back above 30 dB, median / worst (s) | Near-end loss median (dB) | Near-end loss worst (dB) "
             "| CPU (ms per s) | Plain clients, same I/O, CPU (ms per s) |", "|---|---|---|---|---|---|---|---|---|---|---|"]
    for server, systems, results, _ in sections:
        for room in rooms:
            for system in systems:
                if (room, system) in results or len(sections) == 1:
                    lines.append(system_row(server, room, system, results.get((room, system), [])))
    lines += ["", "| Server | Room | As described | Measured delay (ms), first / last window | Level (dB) | Drift (ppm) "
              "| Strongest arrival (ms) |", "|---|---|---|---|---|---|---|"]
    for server, systems, results, _ in sections:
        for room in rooms:
            truth = truth_of([r for s in systems for r in results.get((room, s), [])])
            if room not in settings:
                continue
            if truth is None:
                lines.append(f"| {server} | {room} | {describe(settings[room])} | n/a | n/a | n/a | n/a |")
                continue
            lines.append(f"| {server} | {room} | {describe(settings[room])} | {fmt(truth['delay_ms'], 2)} "
                         f"({fmt(truth['delay_first_ms'], 2)} / {fmt(truth['delay_last_ms'], 2)}) | "
                         f"{fmt(truth['level_db'])} | {fmt(truth['drift_ppm'], 0)} | {fmt(truth['strongest_ms'], 2)} |")
    if any(latencies for _, _, _, latencies in sections):
        lines += ["", "| Server | System | Capture latency (ms) | Added over a plain client on the same clicks (ms) |",
                  "|---|---|---|---|"]
    for server, _, _, latencies in sections:
        plain = [lat["plain"] for lat in latencies.values() if lat]
        for system, lat in latencies.items():
            lines.append(f"| {server} | {name(server, system)} | {fmt(lat['system']) if lat else 'n/a'} | "
                         f"{fmt(lat['added']) if lat else 'n/a'} |")
        if plain:
            lines.append(f"| {server} | plain `pa_simple` client on room.monitor | {fmt(statistics.mean(plain))} | 0 |")
    return "\n".join(lines)


def draw(path, rooms, sections, settings):
    """Per-second ERLE of every session; colour: system, line: server (solid PulseAudio, dashed PipeWire)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = 2
    rows = math.ceil(len(rooms) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(13, 2.6 * rows), squeeze=False)
    colours = {"library": "tab:blue", "webrtc": "tab:orange", "webrtc-extended": "tab:red", "speex": "tab:green"}
    styles = {"pulseaudio": "-", "pipewire": "--"}
    for index, room in enumerate(rooms):
        axis = axes[index // columns][index % columns]
        for server, systems, results, _ in sections:
            for system in systems:
                for number, run in enumerate(results.get((room, system), [])):
                    times = [t + 0.5 for t, _ in run["per_second"]]
                    values = [e for _, e in run["per_second"]]
                    axis.plot(times, values, color=colours[system], linestyle=styles.get(server, "-"), linewidth=0.8,
                              alpha=0.7, label=f"{name(server, system)} ({server})" if number == 0 else None)
        axis.axhline(30, color="grey", linestyle=":", linewidth=0.8)
        events = [settings[room][k] for k in ("change_at_s", "pause_at_s") if room in settings and settings[room][k] > 0]
        for event in events:
            axis.axvline(event, color="red", linestyle="--", linewidth=0.8)
        axis.set_title(room, fontsize=9, loc="left")
        axis.set_ylim(-5, 75)
        axis.set_ylabel("ERLE (dB)", fontsize=8)
        axis.tick_params(labelsize=7)
        if index == 0:
            axis.legend(fontsize=7, loc="lower right")
    for index in range(len(rooms), rows * columns):
        axes[index // columns][index % columns].axis("off")
    figure.supxlabel("seconds of far end (1 s windows; red: path change or underrun; dotted: 30 dB)", fontsize=9)
    figure.tight_layout()
    figure.savefig(path, dpi=80)


def write_readme(path, table_text):
    with open(path) as file:
        text = file.read()
    begin, end = MARKERS
    pattern = re.compile(re.escape(begin) + ".*?" + re.escape(end), re.S)
    if not pattern.search(text):
        raise SystemExit(f"{path} has no {begin} ... {end} section to replace")
    text = pattern.sub(lambda _: f"{begin}\n{table_text}\n{end}", text)
    with open(path, "w") as file:
        file.write(text)


def main():
    """Table, README section and picture again from sessions kept with --save; a later file's
    rooms and systems replace an earlier one's (a room run again after a fix)."""
    import argparse
    import json

    parser = argparse.ArgumentParser(description=main.__doc__)
    parser.add_argument("saved", nargs="+", help="JSON files written by echo_benchmark.py --save")
    parser.add_argument("--server", default="pulseaudio", help="for files that do not say which server ran them")
    parser.add_argument("--png")
    parser.add_argument("--readme")
    args = parser.parse_args()
    sections, settings, runs = {}, {}, 0
    for path in args.saved:
        with open(path) as file:
            saved = json.load(file)
        server = saved.get("server", args.server)
        results, latencies = sections.setdefault(server, ({}, {}))
        settings.update(saved["settings"])
        latencies.update({k: v for k, v in saved["latencies"].items() if v})
        for key, sessions in saved["results"].items():
            room, system = key.split("|")
            results[(room, system)] = sessions
            runs = max(runs, len(sessions))
    rooms = sorted(settings)
    ordered = [(server, [s for s in NAMES if any(system == s for _, system in results)], results, latencies)
               for server, (results, latencies) in sorted(sections.items(), key=lambda item: item[0] != "pulseaudio")]
    text = table(ordered, rooms, settings, runs)
    print(text)
    if args.png:
        draw(args.png, rooms, ordered, settings)
    if args.readme:
        write_readme(args.readme, text)


if __name__ == "__main__":
    main()
