#!/usr/bin/env bash
# Runs a consumer program in a scratch directory holding qotrace.cfg and checks
# the banner and the line it wrote to consumer.log.
# Usage: run_consumer.sh <program> <expected message text>
set -euo pipefail
program=$(realpath "$1") run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
cp "$(dirname "$0")/qotrace.cfg" "$run/" && cd "$run" && "$program"
# Banner, then the message: "Nov  4 18:22:48:048|CONSUMER|PID=...|TID=...|INFO|text"
stamp='[A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]:[0-9]{3}'
grep -qE "^QOLOG [0-9.]+: Log file 'CONSUMER.LOG' start $stamp\$" consumer.log &&
  sed -nE "s/^$stamp\|CONSUMER\|PID= *[0-9]+\|TID= *-?[0-9]+\|INFO\|//p" consumer.log | grep -qxF -- "$2" ||
  { echo "FAIL: $1 did not write the expected lines; consumer.log holds:" >&2; cat consumer.log >&2; exit 1; }
echo "ok: $1 wrote: $(grep -F -- "|$2" consumer.log)"
