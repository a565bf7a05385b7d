#!/usr/bin/env bash
# Runs a consumer program in a scratch directory holding qotrace.cfg and checks
# the line it wrote to consumer.log.
# Usage: run_consumer.sh <program> <expected message text>
set -euo pipefail
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
text=$2
here=$(cd "$(dirname "$0")" && pwd)
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
cp "$here/qotrace.cfg" "$run/"
(cd "$run" && "$program")
log=$run/consumer.log
if [ ! -f "$log" ]; then
  echo "FAIL: $1 wrote no consumer.log" >&2
  exit 1
fi
# Banner, then the message: "Nov  4 18:22:48:048|CONSUMER|PID=...|TID=...|INFO|text"
stamp='[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]:[0-9]{3}'
prefix="^${stamp}\|CONSUMER\|PID= *[0-9]+\|TID= *-?[0-9]+\|INFO\|"
if ! grep -qE "^QOLOG [0-9.]+: Log file 'CONSUMER.LOG' start ${stamp}\$" "$log" ||
   ! sed -nE "s/${prefix}//p" "$log" | grep -xF -- "$text" >/dev/null; then
  echo "FAIL: $1 did not write the expected line; consumer.log holds:" >&2
  cat "$log" >&2
  exit 1
fi
echo "ok: $1 wrote: $(grep -F -- "|$text" "$log")"
