#!/usr/bin/env bash
# lnav, headless, on files the library wrote, read with share/lnav/qolog.json:
# three writer processes (date formats 1, 2 and both), rolls, per-process
# files, dumps. Every message line must be one lnav message with its level,
# module, pid and exact time, carrying its own dump rows; the merged view of
# all files must be in the writers' time order. Rows lnav shows without a
# message line: banners and what a file holds before its banner (a separator,
# and after some rolls the dump rows of the previous file's last line).
#
# Usage: lnav_test.sh WRITER SOURCE_DIR      (exit 77: lnav is not installed)
set -euo pipefail
writer=$1
format=$2/share/lnav/qolog.json
command -v lnav >/dev/null || { echo "lnav is not installed: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qolog-lnav.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
# lnav keeps its formats and settings under HOME: a private one, not the user's.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config TZ=UTC
mkdir -p "$HOME" logs
printf '[NETWORK]\nLOGFILENAME = logs/network.log\nDebugLevel = ALL\nMAXFILESIZE = 2KB\nMAXFILEBACKUPS = 99\n' >qotrace.cfg
fail() { echo "lnav_test: FAIL: $*" >&2; exit 1; }

nproc=3 count=150 base=$(($(date +%s) - 60))
pids=()
for w in 0 1 2; do
  "$writer" $w $nproc $count $((w + 1)) $base >writer.$w &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
ls logs | grep -q '^[0-9]*-network\.log' || fail "no per-process file was written"
ls logs | grep -q '\.log\.[0-9]' || fail "no file rolled"

lnav -i "$format" >/dev/null 2>&1
lnav -W -n -q -c ";SELECT log_level, module, pid,
      strftime('%s', log_time) * 1000 + substr(log_time, 21, 3),
      replace(log_body, char(10), '~') FROM qolog_log ORDER BY log_line" \
  -c ':write-csv-to -' logs/* >view.csv 2>warnings
[ ! -s warnings ] || { cat warnings; fail "lnav warns about the format"; }

# What the files hold: banners, lines ahead of each file's first banner, dump
# rows, and the messages whose dump went to the next file (a file's last line).
banners=$(cat logs/* | grep -c '^QOLOG ')
ahead=$(awk 'FNR == 1 { seen = 0 } /^QOLOG / { seen = 1 } !seen { n++ } END { print n + 0 }' logs/*)
rows=$(cat logs/* | grep -c '^[0-9][0-9][0-9][0-9][0-9]* ' || true)
for f in logs/*; do tail -n 1 "$f"; done | sed -n 's/.*|\(w[0-9]* n[0-9]*\) dump .*/\1/p' >ends
cat writer.* >pids

awk -F, -v np=$nproc -v count=$count -v base=$base -v banners="$banners" \
    -v ahead="$ahead" -v rows="$rows" '
  function bad(why) { print "lnav_test: FAIL: " why ": " $0; failed = 1; exit 1 }
  FILENAME == "pids" { split($0, p, " "); pid[p[1]] = p[2]; next }
  FILENAME == "ends" { ends[$0] = 1; next }
  FNR == 1 { split("error info debug trace trace", level, " "); last = -1; next }
  $3 == "<NULL>" {
    if ($5 ~ /^QOLOG /) nbanner++; else nahead++
    if ($5 ~ /^[0-9][0-9][0-9][0-9]+ /) nrows++
    next
  }
  {
    n = split($5, part, "~"); split(part[1], id, " ")
    w = substr(id[1], 2) + 0; k = substr(id[2], 2) + 0
    if ((w, k) in seen) bad("message shown twice"); seen[w, k] = 1
    dump = 0
    for (i = 2; i <= n; i++) if (part[i] ~ /^[0-9][0-9][0-9][0-9]+ /) dump++
    nrows += dump
    want = (k % 3 == 0 && !((id[1] " " id[2]) in ends)) ? int((k % 61 + 20) / 20) : 0
    g = k * np + w
    if ($1 != level[k % 5 + 1]) bad("level")
    if ($2 != "NETWORK" || $3 != pid[w]) bad("module or pid")
    if ($4 != base * 1000 + g * 8) bad("time")
    if (dump != want) bad("dump rows")
    if (g <= last) bad("out of time order")
    last = g; nmsg++
  }
  END {
    if (failed) exit 1
    if (nmsg != np * count) { print "lnav_test: FAIL: " nmsg " messages of " np * count; exit 1 }
    if (nbanner != banners || nahead != ahead || nrows != rows) {
      print "lnav_test: FAIL: banners/rows ahead/dump rows " nbanner "/" nahead "/" nrows \
            ", the files hold " banners "/" ahead "/" rows; exit 1
    }
  }' pids ends view.csv
echo "lnav_test: OK ($((nproc * count)) messages in $(ls logs | wc -l) files, $rows dump rows)"
