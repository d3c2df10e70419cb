"""Runs every benchmark script and writes the report.

    python benchmarks/run_all.py [--quick] [--only NAME ...]

Generates the report files (1, 5 and 20 million messages; --quick: 0.1, 0.3
and 1 million) into bench-data/, runs each benchmarks/bench_*.py as
`python bench_X.py [--quick] --json PATH`, and writes benchmarks/RESULTS.md:
every row with its median, spread and peak memory, and every rate in
messages per second as a ratio to the reference rows of bench_references.py
measured on the same file in the same run; plus benchmarks/results.png, the
throughput of every path against file size. The default run takes under ten
minutes on a two-core machine, --quick about one.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from datetime import UTC, datetime
from pathlib import Path

from common import ROOT, realistic_feeds

HERE = Path(__file__).resolve().parent
REFERENCE_SCRIPT = "bench_references.py"
# The references that every rate is compared with, in the report's order.
REFERENCES = [
    ("reference: plain byte copy", "byte copy"),
    ("reference: numpy structured-dtype decode", "numpy decode"),
    ("reference: plain-Python decoder + dict-book replay", "Python decoder + dict book"),
    ("reference: copy of a ready 16-key dict", "16-key dict copy"),
]


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{os.cpu_count()} cores ({cpu}), {mem:.0f} GiB, Python {platform.python_version()}"


def load() -> str:
    try:
        return " ".join(open("/proc/loadavg").read().split()[:3])
    except OSError:
        return "?"


def run_script(script: Path, quick: bool, timeout: float) -> tuple[dict | None, str, float]:
    """Runs one script; returns its rows (None on failure), a note, seconds."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        out = tmp.name
    cmd = [sys.executable, script.name, "--json", out] + (["--quick"] if quick else [])
    start = time.perf_counter()
    try:
        proc = subprocess.run(
            cmd, cwd=HERE, capture_output=True, text=True, timeout=timeout, check=False
        )
        seconds = time.perf_counter() - start
        sys.stdout.write(proc.stdout)
        if proc.returncode != 0:
            sys.stdout.write(proc.stderr)
            last = (proc.stderr.strip().splitlines() or ["no output"])[-1]
            return None, f"failed with exit status {proc.returncode}: {last}", seconds
        with open(out) as f:
            return json.load(f), "", seconds
    except subprocess.TimeoutExpired:
        return None, f"stopped after {timeout:.0f} s", time.perf_counter() - start
    except (OSError, ValueError) as e:
        return None, f"no rows: {e}", time.perf_counter() - start
    finally:
        if os.path.exists(out):
            os.unlink(out)


def fmt_value(value: float | None, unit: str = "") -> str:
    if value is None:
        return ""
    if unit.endswith(("/s", "/CPU-s")) and abs(value) >= 1e4:
        return f"{value / 1e6:,.2f} M"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:,.3g}"


def fmt_bytes(n: int | None) -> str:
    if n is None:
        return ""
    if n >= 2**20:
        return f"{n / 2**20:,.0f} MiB"
    if n >= 2**10:
        return f"{n / 2**10:,.0f} KiB"
    return f"{n} B"


def is_rate(row: dict) -> bool:
    return row.get("unit") == "msg/s" and row.get("messages")


def write_report(results, notes, seconds, args, started, load_before, gen_seconds) -> str:
    refs = {}  # (messages, reference path) -> median
    for res in results.values():
        for row in res["rows"] if res else []:
            if row.get("reference") and is_rate(row):
                refs.setdefault((row["messages"], row["path"]), row["median"])
    lines = [
        "# Benchmark results",
        "",
        f"Measured {started:%Y-%m-%d %H:%M} UTC on this machine: {machine()}.",
        f"Command: `python benchmarks/run_all.py{' --quick' if args.quick else ''}` "
        f"({sum(seconds.values()) + gen_seconds:,.0f} s in all, of which "
        f"{gen_seconds:,.0f} s generating feed files).",
        "",
        "Other work shared the machine's cores during the run (load average "
        f"{load_before} before, {load()} after), so absolute figures are noisy; the "
        "ratios compare rows measured in the same run. Medians over the repeats; "
        "spread is max minus min; peak memory is the growth of the resident size "
        "during one call, at its peak (memory that the process had already freed "
        "and reuses does not count). Ratios are the path's rate divided by the "
        "reference's rate on the same file (`x 2.0` = twice as fast).",
        "",
        "Report files (generated by `scripts/feedgen.py`): "
        + ", ".join(f"{m:,} messages over {t:,} tokens" for _, m, t in realistic_feeds(args.quick))
        + ".",
        "",
    ]
    head = "| Path | Messages | Median | Spread | Unit | Peak memory |"
    head += "".join(f" x {short} |" for _, short in REFERENCES)
    rule = "|" + "---|" * (6 + len(REFERENCES))
    for script, res in results.items():
        lines += [f"## {script}", ""]
        if res is None:
            lines += [f"No rows: {notes[script]}.", ""]
            continue
        lines += [f"{seconds[script]:,.0f} s.", "", head, rule]
        for row in res["rows"]:
            unit = row.get("unit", "")
            cells = [
                row["path"],
                f"{row['messages']:,}" if row.get("messages") else "",
                fmt_value(row.get("median"), unit),
                fmt_value(row.get("spread"), unit),
                unit,
                fmt_bytes(row.get("peak_memory")),
            ]
            for ref_path, _ in REFERENCES:
                ref = refs.get((row.get("messages"), ref_path))
                ok = is_rate(row) and ref and not row.get("reference")
                cells.append(f"{row['median'] / ref:,.2f}" if ok else "")
            lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
        lines.append("")
    lines += [
        "## Chart",
        "",
        "![throughput against file size](results.png)",
        "",
        "Every path measured in messages per second on the three report files; the "
        "references are dashed.",
        "",
    ]
    return "\n".join(lines)


def write_chart(results, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series: dict[str, list[tuple[int, float]]] = {}
    reference: dict[str, bool] = {}
    for script, res in results.items():
        for row in res["rows"] if res else []:
            if not is_rate(row):
                continue
            # Only the common references are drawn as such; the reference rows
            # of single scripts are drawn as their paths.
            common = bool(row.get("reference")) and script == REFERENCE_SCRIPT
            name = row["path"] if common else f"{row['path']} ({script})"
            series.setdefault(name, []).append((row["messages"], row["median"]))
            reference[name] = common
    fig, ax = plt.subplots(figsize=(11, 7.5))
    ref_colors = iter(["black", "dimgray", "darkgray", "rosybrown", "tan", "silver"] * 4)
    paths = [n for n in sorted(series) if not reference[n]]
    colors = plt.cm.tab20.colors
    for i, name in enumerate(paths + [n for n in sorted(series) if reference[n]]):
        points = sorted(series[name])
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        if reference[name]:
            style = dict(linestyle="--", linewidth=2.2, color=next(ref_colors))
        else:
            style = dict(color=colors[i % len(colors)], marker="os^Dv<>"[i // len(colors) % 7])
        ax.plot(xs, ys, label=name, markersize=4, **style)
    ax.set_xscale("log")
    ax.set_yscale("log")
    sizes = sorted({x for pts in series.values() for x, _ in pts})
    ax.set_xticks(sizes)
    ax.set_xticklabels([f"{s / 1e6:g} M" for s in sizes])
    ax.set_xlabel("file size (messages)")
    ax.set_ylabel("messages per second (log)")
    ax.set_title("Throughput per path against file size (references dashed)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="center left", bbox_to_anchor=(1.01, 0.5))
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small files, about a minute")
    parser.add_argument("--only", nargs="*", help="run only these scripts (file names)")
    parser.add_argument("--out", default=str(HERE / "RESULTS.md"), help="report path")
    parser.add_argument("--timeout", type=float, default=None, help="seconds per script")
    args = parser.parse_args()
    started = datetime.now(UTC)
    load_before = load()

    start = time.perf_counter()
    for path, messages, tokens in realistic_feeds(args.quick):
        print(f"feed file: {path} ({messages:,} messages, {tokens:,} tokens)", flush=True)
    gen_seconds = time.perf_counter() - start

    scripts = sorted(HERE.glob("bench_*.py"))
    # The references first, so that a slow script cannot crowd them out.
    scripts.sort(key=lambda p: p.name != REFERENCE_SCRIPT)
    if args.only:
        scripts = [p for p in scripts if p.name in args.only or p.name == REFERENCE_SCRIPT]
    timeout = args.timeout or (120 if args.quick else 300)
    results, notes, seconds = {}, {}, {}
    for script in scripts:
        print(f"== {script.name}", flush=True)
        res, note, secs = run_script(script, args.quick, timeout)
        results[script.name], notes[script.name], seconds[script.name] = res, note, secs
        if note:
            print(f"   {note}", flush=True)

    out = Path(args.out)
    chart = out.with_name("results.png")
    report = write_report(results, notes, seconds, args, started, load_before, gen_seconds)
    out.write_text(report)
    write_chart(results, chart)
    print(f"wrote {out} and {chart} ({time.perf_counter() - start:,.0f} s)")


if __name__ == "__main__":
    sys.path.insert(0, str(ROOT / "benchmarks"))
    main()
