#!/usr/bin/env python3
"""Markdown tables from the JSON files of bench.py runs, one column per interpreter.

    python benchmarks/table.py run1/*.json run2/*.json ... > table.md

Ratios are method / floor (each run's median of its per-round ratios); where
several runs come from the same interpreter, a cell gives the median of their
ratios, which keeps one loaded moment of a shared machine out of the table.
The last interpreter also gives its ns per call.
"""

import json
import statistics
import sys

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


def main():
    groups = {}
    for path in sys.argv[1:]:
        with open(path) as f:
            run = json.load(f)
        groups.setdefault(version(run), []).append(run)
    groups = sorted(groups.items(), key=lambda item: [int(x) for x in item[0].split(".")])
    m = groups[-1][1][0]["machine"]
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
