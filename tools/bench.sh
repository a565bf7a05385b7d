#!/usr/bin/env bash
# Builds libqolog in Release mode with its benchmark and runs it; the summary
# at the end gives each scenario's cost per message and its ratio to the
# floor, one write(2) of the same line. Arguments go to the benchmark.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/deps.sh"
build=${QOLOG_BUILD_DIR:-$here/build-bench}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQOLOG_BUILD_BENCH=ON \
  -DQOLOG_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target qolog_bench >/dev/null
"$build/bench/qolog_bench" "$@"
