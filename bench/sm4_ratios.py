#!/usr/bin/env python3
"""Ratios of medians from an interleaved sm4_peers run (JSON on stdin).

For each size, each of our variants against each peer: peer time / our time
(above 1: ours is faster), with the spread given by the quartiles of the
repetitions (lower: peer Q1 / our Q3, upper: peer Q3 / our Q1).
"""
import collections
import json
import statistics
import sys


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def main():
    data = json.load(sys.stdin)
    times = collections.defaultdict(list)
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name, size = b["run_name"].rsplit("/", 1)
        times[(name, int(size))].append(b["real_time"])
    peers = ("OpenSsl", "Gcrypt")
    for op in ("Encrypt", "Decrypt"):
        prefix = "BM_Sm4Cbc%s_" % op
        sizes = sorted({s for (n, s) in times if n.startswith(prefix)})
        for size in sizes:
            ours = sorted(n[len(prefix):] for (n, s) in times if n.startswith(prefix) and s == size
                          and n[len(prefix):] not in peers)
            for variant in ours:
                o1, om, o3 = quartiles(times[(prefix + variant, size)])
                for peer in peers:
                    key = (prefix + peer, size)
                    if key not in times:
                        continue
                    p1, pm, p3 = quartiles(times[key])
                    print("%s %8d B  %-9s vs %-7s  %6.2f x  [%.2f .. %.2f]  (n=%d/%d)" % (
                        op, size, variant, peer, pm / om, p1 / o3, p3 / o1,
                        len(times[(prefix + variant, size)]), len(times[key])))


if __name__ == "__main__":
    main()
