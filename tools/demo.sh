#!/usr/bin/env bash
# Builds libqolog and its demo, runs the demo in a scratch directory with the
# sample configuration, and shows the log files it wrote and what
# qolog-check --strict makes of the configuration there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/deps.sh"
build=${QOLOG_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOLOG_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qolog_demo qolog-check >/dev/null
run=$here/out/demo
rm -rf "$run" && mkdir -p "$run/logs"
cp "$here/examples/qotrace.cfg" "$run/"
(cd "$run" && "$build/qolog_demo")
echo "The demo ran in $run with examples/qotrace.cfg; it wrote:"
for f in "$run"/logs/*; do
  echo
  echo "==> ${f#$here/} <=="
  cat "$f"
done
echo
echo "==> qolog-check --strict in ${run#$here/}, where the demo ran: what it makes of the configuration <=="
status=0
(cd "$run" && "$build/tools/qolog-check" --strict) || status=$?
echo "exit status $status (0: no warnings, every log file can be opened)"
