#!/usr/bin/env python3
"""Tables (Markdown) of the means over rounds of the "result" lines that
bench_peer_client printed: python3 tabulate.py results.txt"""
import collections, math, re, sys
rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    if not line.startswith("result "):
        continue
    fields = dict(re.findall(r"(\S+?)=(\S+)", line))
    rows[(fields["label"], fields["phase"])].append(fields)
labels = sorted({label for label, _ in rows}, key=lambda l: (l.split("/")[1:], l))
phases = sorted({phase for _, phase in rows if phase.startswith("paint")})

def mean(label, phase, key):
    values = [float(r[key]) for r in rows.get((label, phase), []) if key in r]
    return sum(values) / len(values) if values else float("nan")

def agent_ms_per_screen(label, phase):
    """CPU of the agent process alone per whole screen delivered."""
    values = []
    for r in rows.get((label, phase), []):
        screens = float(r["screens_per_s"]) * float(r["seconds"])
        if "cpu_s[kwoagent-x11]" in r and screens > 0:
            values.append(1000.0 * float(r["cpu_s[kwoagent-x11]"]) / screens)
    return sum(values) / len(values) if values else float("nan")

def table(title, columns):
    """Skipped when no label has any of its figures."""
    if all(math.isnan(fn(label)) for label in labels for _, fn, _ in columns):
        return
    print("\n" + title)
    print("| server/profile | " + " | ".join(name for name, _, _ in columns) + " |")
    print("|---|" + "---|" * len(columns))
    for label in labels:
        cells = [fn(label) for _, fn, _ in columns]
        print("| " + label + " | " + " | ".join(
            "-" if math.isnan(v) else fmt % v for v, (_, _, fmt) in zip(cells, columns)) + " |")

for phase in phases:
    fps = phase[len("paint"):]
    table("Whole screen repainted %s" % ("as fast as Xvfb draws" if fps == "0" else fps + " times a second"), [
        ("painted/s", lambda l: mean(l, phase, "painted_per_s"), "%.1f"),
        ("updates/s", lambda l: mean(l, phase, "updates_per_s"), "%.1f"),
        ("screens/s", lambda l: mean(l, phase, "screens_per_s"), "%.1f"),
        ("MB/s received", lambda l: mean(l, phase, "MB_per_s"), "%.0f"),
        ("server CPU ms/screen", lambda l: mean(l, phase, "server_ms_per_screen"), "%.2f"),
        ("of which agent", lambda l: agent_ms_per_screen(l, phase), "%.2f"),
        ("server CPU %", lambda l: mean(l, phase, "server_cpu_pct"), "%.0f"),
        ("Xvfb CPU s", lambda l: mean(l, phase, "xserver_cpu_s"), "%.2f"),
    ])
table("Latency of a 16x16 change (ms)", [
    ("median", lambda l: mean(l, "latency", "median_ms"), "%.2f"),
    ("p90", lambda l: mean(l, "latency", "p90_ms"), "%.2f"),
    ("mean", lambda l: mean(l, "latency", "mean_ms"), "%.2f"),
    ("missed", lambda l: mean(l, "latency", "missed"), "%.1f"),
])
table("Version greeting after connecting (ms)", [
    ("median", lambda l: mean(l, "greeting", "median_ms"), "%.2f"),
    ("p90", lambda l: mean(l, "greeting", "p90_ms"), "%.2f"),
    ("max", lambda l: mean(l, "greeting", "max_ms"), "%.2f"),
    ("missed", lambda l: mean(l, "greeting", "missed"), "%.1f"),
])
table("Idle screen, client waiting", [
    ("server CPU %", lambda l: mean(l, "idle", "server_cpu_pct"), "%.2f"),
    ("Xvfb CPU s", lambda l: mean(l, "idle", "xserver_cpu_s"), "%.2f"),
    ("updates", lambda l: mean(l, "idle", "updates"), "%.1f"),
    ("seconds", lambda l: mean(l, "idle", "seconds"), "%.0f"),
])
table("Memory of the server side", [
    ("RSS KiB (sum)", lambda l: mean(l, "memory", "server_rss_KiB"), "%.0f"),
    ("PSS KiB (sum)", lambda l: mean(l, "memory", "server_pss_KiB"), "%.0f"),
    ("PSS bytes/pixel", lambda l: mean(l, "memory", "pss_bytes_per_pixel"), "%.2f"),
])

def cpu_pct(label, phase, command):
    """CPU of one command of the server side, in % of a core."""
    values = [100.0 * float(r["cpu_s[%s]" % command]) / float(r["seconds"])
              for r in rows.get((label, phase), []) if "cpu_s[%s]" % command in r]
    return sum(values) / len(values) if values else float("nan")

workload_titles = {"idle": "Idle screen", "patch": "A 256x256 patch changing 30 times a second",
                   "yes": "`yes` in an xterm (scrolling, same text)",
                   "find": "`find /` in an xterm (scrolling, changing text)",
                   "noise60": "Whole screen repainted 60 times a second"}
for phase in sorted({p for _, p in rows if p.startswith("w-")},
                    key=lambda p: list(workload_titles).index(p[2:]) if p[2:] in workload_titles else 99):
    table("Workload: " + workload_titles.get(phase[2:], phase[2:]), [
        ("frames/s", lambda l: mean(l, phase, "updates_per_s"), "%.2f"),
        ("screens/s", lambda l: mean(l, phase, "screens_per_s"), "%.3f"),
        ("MB/s on the wire", lambda l: mean(l, phase, "MB_per_s"), "%.3f"),
        ("server CPU %", lambda l: mean(l, phase, "server_cpu_pct"), "%.1f"),
        ("of which agent %", lambda l: cpu_pct(l, phase, "kwoagent-x11"), "%.1f"),
    ])
