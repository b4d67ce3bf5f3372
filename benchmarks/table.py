#!/usr/bin/env python3
"""Markdown tables from the JSON files of bench.py runs, one column per interpreter.

    python benchmarks/table.py run1/*.json run2/*.json ... > table.md
    python benchmarks/table.py --charts benchmarks/results --python 3.11 benchmarks/results/*.json

The second form also draws the charts (time per call beside the floor, and time
against input size) of one interpreter, the newest unless --python names one,
as PNG files; it needs matplotlib (pip install '.[bench]').

Ratios are method / floor (each run's median of its per-round ratios); where
several runs come from the same interpreter, a cell gives the median of their
ratios, which keeps one loaded moment of a shared machine out of the table.
The last interpreter also gives its ns per call.
"""

import argparse
import json
import os
import statistics

MiB = 1024 * 1024


def version(run):
    return run["machine"]["python"].rsplit(".", 1)[0]


def merged(runs, section, key):
    """{key(row): row with the median ratio, ns and peaks of the runs}"""
    rows = {}
    for run in runs:
        for row in run.get(section, []):
            rows.setdefault(key(row), []).append(row)
    out = {}
    for k, found in rows.items():
        row = dict(found[0])
        for field in ("ratio", "method_ns", "floor_ns", "method_peak", "floor_peak"):
            if field in row:
                row[field] = statistics.median(r[field] for r in found)
        row["runs"] = len(found)
        out[k] = row
    return out


def cell(row, missed):
    return "–" if row is None else ("**%.3f**" if missed else "%.3f") % row["ratio"]


def ratio_table(groups, section, first_header):
    names = [row["name"] for row in groups[-1][1][0].get(section, [])]
    by_version = [merged(runs, section, lambda r: r["name"]) for _, runs in groups]
    last = groups[-1][0]
    print("| %s | target | %s | %s ns | floor ns |" % (first_header, " | ".join(v for v, _ in groups), last))
    print("|---|---:|%s---:|---:|" % ("---:|" * len(groups)))
    for name in names:
        cells = [cell(rows.get(name), name in rows and "target" in rows[name]
                      and rows[name]["ratio"] > rows[name]["target"]) for rows in by_version]
        row = by_version[-1][name]
        target = "%.2f" % row["target"] if "target" in row else "–"
        print("| `%s` | %s | %s | %.0f | %.0f |" % (name, target, " | ".join(cells), row["method_ns"],
                                                   row["floor_ns"]))
    print()


def scaling_ok(row):
    if row.get("specialised"):
        time_ok = row["size"] < MiB or row["ratio"] <= 1.00
        return time_ok and row["method_peak"] <= row["floor_peak"]
    time_ok = row["size"] < 16 * MiB or row["ratio"] <= 1.02
    return time_ok and row["method_peak"] <= row["floor_peak"] + row["input_bytes"]


def charts(directory, groups, python=None):
    """Two PNG charts of one interpreter's runs (the newest unless `python`
    names one): time per call beside the floor, and time against input size.
    Needs matplotlib."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    version, runs = next((g for g in groups if g[0] == python), groups[-1]) if python else groups[-1]
    m = runs[0]["machine"]
    dates = sorted(run["machine"].get("date", "?") for run in runs)
    source = "CPython %s, median of %d run(s), %s; %s, %s CPUs shared with other work; %s; bench.py" % (
        m["python"], len(runs), dates[0] if len(dates) == 1 else dates[0] + " to " + dates[-1][-9:], m.get("cpu", "?"),
        m["cpus"], m.get("libraries", "?"))
    colours = {"crypt_main": "#1f6fb4", "the same calls in Python": "#b0b0b0"}

    rows = list(merged(runs, "methods", lambda r: r["name"]).values())
    fig, ax = plt.subplots(figsize=(8, 0.28 * len(rows) + 1.6))
    y = range(len(rows))
    ax.barh([i + 0.2 for i in y], [r["floor_ns"] for r in rows], height=0.4, color=colours["the same calls in Python"],
            label="the same calls in Python")
    ax.barh([i - 0.2 for i in y], [r["method_ns"] for r in rows], height=0.4, color=colours["crypt_main"],
            label="crypt_main")
    ax.set_yticks(list(y))
    ax.set_yticklabels([r["name"] for r in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("time per call, ns (log scale; shorter is faster)")
    ax.grid(axis="x", which="both", alpha=0.3)
    ax.legend(loc="upper right", fontsize=8)
    ax.set_title("Time per call, short inputs", fontsize=11)
    fig.text(0.01, 0.005, source, fontsize=6, color="#555555")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(os.path.join(directory, "time-per-call.png"), dpi=100)
    plt.close(fig)

    rows = merged(runs, "scaling", lambda r: (r["name"], r["size"]))
    names = list(dict.fromkeys(name for name, _ in rows))
    cols = 4
    fig, axes = plt.subplots((len(names) + cols - 1) // cols, cols, figsize=(10, 2.2 * ((len(names) + cols - 1) // cols)
                                                                           + 0.6), squeeze=False)
    for ax, name in zip(axes.flat, names):
        found = sorted((size, row) for (n, size), row in rows.items() if n == name)
        sizes = [size / 1024 for size, _ in found]
        ax.plot(sizes, [row["floor_ns"] / 1e6 for _, row in found], "o--", color=colours["the same calls in Python"],
                label="the same calls in Python")
        ax.plot(sizes, [row["method_ns"] / 1e6 for _, row in found], "o-", color=colours["crypt_main"],
                label="crypt_main")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlim(0.5, 32768)
        ax.set_title(name, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(which="major", alpha=0.3)
    for ax in list(axes.flat)[len(names):]:
        ax.axis("off")
    for ax in list(axes.flat)[:len(names)]:
        ax.set_xticks([1, 1024, 16384])
        ax.set_xticklabels(["1 KiB", "1 MiB", "16 MiB"])
        ax.minorticks_off()
    fig.supylabel("ms per call (log scale)", fontsize=9)
    axes.flat[0].legend(fontsize=7)
    fig.suptitle("Time per call against input size (log-log; lower is faster)", fontsize=11)
    fig.text(0.01, 0.005, source, fontsize=6, color="#555555")
    fig.tight_layout(rect=(0, 0.02, 1, 0.97))
    fig.savefig(os.path.join(directory, "scaling.png"), dpi=100)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--charts", metavar="DIR", help="also draw the charts of the newest interpreter into DIR")
    parser.add_argument("--python", metavar="X.Y", help="draw the charts of this interpreter's runs instead")
    parser.add_argument("runs", nargs="+", metavar="JSON")
    args = parser.parse_args()
    groups = {}
    for path in args.runs:
        with open(path) as f:
            run = json.load(f)
        groups.setdefault(version(run), []).append(run)
    groups = sorted(groups.items(), key=lambda item: [int(x) for x in item[0].split(".")])
    m = groups[-1][1][0]["machine"]
    if args.charts:
        charts(args.charts, groups, args.python)
    print("Machine: %s, %s CPUs, %s. Libraries: %s." % (m.get("cpu", "?"), m["cpus"], m["platform"],
                                                       m.get("libraries", "?")))
    print("Interpreters: CPython %s; %s run(s) each, medians across runs.\n" % (
        ", ".join(runs[0]["machine"]["python"] for _, runs in groups),
        "/".join(str(len(runs)) for _, runs in groups)))
    print("Ratios in **bold** miss their target.\n")
    ratio_table(groups, "methods", "method (short input)")
    if all(run.get("generic") for _, runs in groups for run in runs):
        ratio_table(groups, "generic", "generic path (libraries rebound)")
    ratio_table(groups, "errors", "failure, beside a Python function's")
    if all(run.get("glue") for _, runs in groups for run in runs):
        ratio_table(groups, "glue", "glue alone, library nulled")

    last = groups[-1][0]
    key = lambda r: (r["name"], r["size"])  # noqa: E731
    by_version = [merged(runs, "scaling", key) for _, runs in groups]
    print("| large input | size | %s | peak MiB (%s) | floor peak MiB |" % (
        " | ".join("time ratio " + v for v, _ in groups), last))
    print("|---|---:|%s---:|---:|" % ("---:|" * len(groups)))
    for row in groups[-1][1][0]["scaling"]:
        k = key(row)
        cells = [cell(rows.get(k), k in rows and not scaling_ok(rows[k])) for rows in by_version]
        size = "%d MiB" % (row["size"] // MiB) if row["size"] >= MiB else "%d KiB" % (row["size"] // 1024)
        mine = by_version[-1][k]
        print("| `%s` | %s | %s | %.2f | %.2f |" % (row["name"], size, " | ".join(cells), mine["method_peak"] / MiB,
                                                  mine["floor_peak"] / MiB))
    print()

    print("| import | %s |" % " | ".join(v for v, _ in groups))
    print("|---|%s" % ("---:|" * len(groups)))
    for label, field in (("`import crypt_main`, ms", "module_ms"), ("its dependencies alone, ms", "deps_ms"),
                         ("difference, ms (target ≤ 5)", "difference_ms")):
        values = []
        for _, runs in groups:
            found = [run["import"][field] for run in runs if "import" in run]
            values.append("%.1f" % statistics.median(found) if found else "–")
        print("| %s | %s |" % (label, " | ".join(values)))


if __name__ == "__main__":
    main()
