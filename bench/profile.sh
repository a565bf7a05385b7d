#!/usr/bin/env bash
# Instructions per message, by function: runs a scenario of the benchmark
# binary's driver mode under callgrind, counting only inside the message loop
# (qbRunMessages), and prints the functions that cost most, per message.
#
#   bench/profile.sh [BENCH_BINARY] [N] [SCENARIO...]
#
# Defaults: build-bench/bench/qolog_bench, N = 20000, scenarios "S1 S2 S3".
# Needs valgrind. Build with -DCMAKE_BUILD_TYPE=RelWithDebInfo for names of
# inlined code and source lines.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build-bench/bench/qolog_bench}
n=${2:-20000}
shift $(( $# > 2 ? 2 : $# )) || true
scenarios=${*:-S1 S2 S3}
command -v valgrind >/dev/null || { echo "profile.sh: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for s in $scenarios; do
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.$s" \
    --toggle-collect=qbRunMessages "$bin" --qolog_run="$s" --qolog_messages="$n" \
    >/dev/null 2>&1
  total=$(callgrind_annotate "$work/cg.$s" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  echo "== $s: $((total / n)) instructions per message (self cost per function)"
  callgrind_annotate --inclusive=no "$work/cg.$s" 2>/dev/null |
    awk -v n="$n" '/^ *[0-9,]+ \(/ && !/PROGRAM TOTALS/ {
      c = $1; gsub(",", "", c); if (c / n < 3) next
      fn = $0; sub(/^ *[0-9,]+ +\([ 0-9.%]+\) +/, "", fn); sub(/ \[.*$/, "", fn)
      sub(/^[^:]*:/, "", fn)
      printf "  %7.1f  %s\n", c / n, fn }' | head -25
done
