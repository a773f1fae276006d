#!/usr/bin/env python3
"""Ratios of two sides of a benchmark run with repetitions.

Reads Google Benchmark JSON (--benchmark_format=json, with
--benchmark_repetitions) and pairs each benchmark whose name holds "peer:0"
(ours) with the same name holding "peer:1" (the peer). Prints, per pair, the
median time of each side with its interquartile range, the ratio of the
medians (ours / peer) and the spread of that ratio over the repetitions
(ratios of the repetitions' times after sorting each side: lowest quartile
to highest quartile).
"""
import json
import statistics
import sys


def quartiles(values):
    values = sorted(values)
    if len(values) < 4:
        return values[0], statistics.median(values), values[-1]
    q = statistics.quantiles(values, n=4)
    return q[0], q[1], q[2]


def main(path):
    with open(path) as f:
        data = json.load(f)
    runs = {}
    unit = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        runs.setdefault(b["run_name"], []).append(b["real_time"])
        unit[b["run_name"]] = b.get("time_unit", "ns")
    for name in sorted(runs):
        if "peer:0" not in name:
            continue
        peer = name.replace("peer:0", "peer:1")
        if peer not in runs:
            continue
        ours, theirs = runs[name], runs[peer]
        o1, om, o3 = quartiles(ours)
        t1, tm, t3 = quartiles(theirs)
        ratios = [a / b for a, b in zip(sorted(ours), sorted(theirs))]
        r1, rm, r3 = quartiles(ratios)
        u = unit[name]
        print(f"{name.replace('/peer:0', '')}: ours {om:.3f} {u} [{o1:.3f}..{o3:.3f}], "
              f"peer {tm:.3f} {u} [{t1:.3f}..{t3:.3f}], ratio of medians {om / tm:.3f} "
              f"(quartiles of paired ratios {r1:.3f}..{r3:.3f}, n={len(ours)})")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: bench-ratios.py RESULT.json")
    main(sys.argv[1])
