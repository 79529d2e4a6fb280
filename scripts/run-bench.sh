#!/usr/bin/env bash
# Runs every benchmark binary of a build folder and prints the ratio lines
# (our throughput divided by OpenSSL's in the same run) and the exchange
# lines (token exchanges per SKF call) that each one reports.
set -euo pipefail
build="${1:-build-bench}"
shopt -s nullglob
status=0
for bin in "$build"/bench/bench_*; do
  [ -x "$bin" ] || continue
  echo "== $(basename "$bin")"
  "$bin" --benchmark_format=console --benchmark_out="$bin.json" --benchmark_out_format=json || status=1
done
# Each benchmark JSON is turned into "ratio NAME VALUE" and
# "exchanges NAME N" lines.
for json in "$build"/bench/bench_*.json; do
  python3 bench/ratios.py "$json" || status=1
  python3 bench/exchanges.py "$json" || status=1
done
exit $status
