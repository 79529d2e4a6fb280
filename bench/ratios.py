#!/usr/bin/env python3
"""Prints one line "ratio NAME VALUE" per benchmark pair of a Google
Benchmark JSON file: our throughput divided by OpenSSL's in the same run.

A pair is the benchmarks "ours/NAME" and "openssl/NAME" (both run the same
inputs per iteration), so the ratio is OpenSSL's time per iteration divided
by ours.  Aggregate rows (mean, median, ...) are used when the run was
repeated; otherwise the single iteration rows."""
import json
import sys


def times(benchmarks):
    plain, means = {}, {}
    for b in benchmarks:
        if b.get("error_occurred"):
            continue
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "mean":
                means[name] = b["real_time"]
        else:
            plain.setdefault(name, b["real_time"])
    plain.update(means)
    return plain


def main(path):
    with open(path) as f:
        data = json.load(f)
    t = times(data.get("benchmarks", []))
    status = 0
    for name in sorted(n[len("ours/"):] for n in t if n.startswith("ours/")):
        ours, theirs = t.get("ours/" + name), t.get("openssl/" + name)
        if theirs is None or not ours:
            print("ratio %s missing" % name)
            status = 1
            continue
        print("ratio %s %.2f" % (name, theirs / ours))
    return status


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: ratios.py BENCHMARK.json")
    sys.exit(main(sys.argv[1]))
