#!/usr/bin/env python3
"""Prints one line "exchanges NAME N" per benchmark of a Google Benchmark
JSON file that carries an "exchanges" counter: the token exchanges one call
cost, averaged over the iterations.  NAME is the benchmark's name without
its "exchanges/" prefix and the run's own suffixes ("/iterations:7", ...).  Files without such counters print nothing."""
import json
import sys

PREFIX = "exchanges/"


def main(path):
    with open(path) as f:
        data = json.load(f)
    status = 0
    for b in data.get("benchmarks", []):
        if "exchanges" not in b or b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        if name.startswith(PREFIX):
            name = name[len(PREFIX):]
        name = name.split("/")[0]
        if b.get("error_occurred"):
            print("exchanges %s failed" % name)
            status = 1
            continue
        print("exchanges %s %g" % (name, b["exchanges"]))
    return status


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: exchanges.py BENCHMARK.json")
    sys.exit(main(sys.argv[1]))
