#!/usr/bin/env python3
"""Ratios of medians from an interleaved, repeated Google Benchmark run.

    sm3_zuc_peers --benchmark_enable_random_interleaving=true \
        --benchmark_repetitions=15 --benchmark_format=json > run.json
    bench/peer_ratios.py run.json

For each pair (ours, peer) and size: the speed-up peer time / our time from
the medians of the CPU times of the repetitions, with the spread given by the
quartiles (lowest: our 3rd quartile against the peer's 1st; highest: the
other way round).
"""
import json
import statistics
import sys
from collections import defaultdict

PAIRS = [
    ("BM_Sm3", "BM_LibrarySm3"),
    ("BM_Sm3", "BM_GcryptSm3"),
    ("BM_ProvSm3", "BM_LibrarySm3"),
    ("BM_ProvSm3", "BM_GcryptSm3"),
    ("BM_Sm3", "BM_Sm3Portable"),
    ("BM_Sm3Avx512Bmi2", "BM_LibrarySm3"),
    ("BM_Sm3Avx2Bmi2", "BM_LibrarySm3"),
    ("BM_Sm3Portable", "BM_LibrarySm3"),
    ("BM_Zuc", "BM_LibrarySm4Ctr"),
    ("BM_Zuc", "BM_GcryptSm4Ctr"),
    ("BM_ZucGfniAvx512", "BM_LibrarySm4Ctr"),
    ("BM_ZucPortable", "BM_LibrarySm4Ctr"),
]


def quartiles(values):
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def main(path):
    with open(path) as f:
        run = json.load(f)
    times = defaultdict(list)
    for b in run["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name, _, size = b["run_name"].partition("/")
        times[(name, int(size))].append(b["cpu_time"])
    sizes = sorted({size for _, size in times})
    print(f"{'ours':<18} {'peer':<18} {'size':>8}  speed-up (median)  [spread]")
    for ours, peer in PAIRS:
        for size in sizes:
            a, b = times.get((ours, size)), times.get((peer, size))
            if not a or not b or len(a) < 2 or len(b) < 2:
                continue
            a1, am, a3 = quartiles(a)
            b1, bm, b3 = quartiles(b)
            print(f"{ours:<18} {peer:<18} {size:>8}  {bm / am:6.2f}  [{b1 / a3:.2f} .. {b3 / a1:.2f}]")


if __name__ == "__main__":
    main(sys.argv[1])
