#!/usr/bin/env bash
# lnav, headless, on files the library wrote, read with share/lnav/qolog.json:
# three writer processes (date formats 1, 2 and both), rolls, per-process
# files, dumps. Every message line must be one lnav message with its level,
# module, pid and exact time, carrying as its body the dump rows that follow
# it in its file and nothing else (so rows add no messages, and banners are
# messages of their own); the merged view of all files must hold every
# message once, in the writers' time order.
#
# Usage: lnav_test.sh WRITER SOURCE_DIR      (exit 77: lnav is not installed)
set -euo pipefail
writer=$1 format=$2/share/lnav/qolog.json
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
"$writer" $nproc $count $base >pids
ls logs | grep -q '^[0-9]*-network\.log' || fail "no per-process file was written"
ls logs | grep -q '\.log\.[0-9]' || fail "no file rolled"

lnav -i "$format" >/dev/null 2>&1 || fail "lnav -i does not take $format"
lnav -W -n -q -c ";SELECT log_level, module, pid,
      strftime('%s', log_time) * 1000 + substr(log_time, 21, 3),
      replace(log_body, char(10), '~') FROM qolog_log ORDER BY log_line" \
  -c ':write-csv-to -' logs/* >view.csv 2>warnings && [ ! -s warnings ] ||
  { cat warnings; fail "lnav fails or warns on the format"; }

# From the files: the pid of each writer, the dump rows after each message,
# the banners (each must be a message of its own, without pid).
awk -F, -v np=$nproc -v count=$count -v base=$base '
  function bad(why) { print "lnav_test: FAIL: " why ": " $0; failed = 1; exit 1 }
  BEGIN { split("error info debug trace trace", level, " "); last = -1 }
  FILENAME == "pids" { split($0, p, " "); pid[p[1]] = p[2]; next }
  FILENAME != "view.csv" {
    if (FNR == 1) id = ""
    if (/^QOLOG /) banners++
    if (match($0, /\|w[0-9]+ n[0-9]+ /)) id = substr($0, RSTART + 1, RLENGTH - 2)
    else if (/^[0-9][0-9][0-9][0-9]+ /) rows[id]++
    next
  }
  FNR == 1 { next }
  $3 == "<NULL>" { nbanner += $1 == "info" && $5 ~ /^QOLOG /; next }
  {
    n = split($5, part, "~"); split(part[1], f, " ")
    w = substr(f[1], 2) + 0; k = substr(f[2], 2) + 0; g = k * np + w
    if ($1 != level[k % 5 + 1] || $2 != "NETWORK" || $3 != pid[w]) bad("level, module or pid")
    if ($4 != base * 1000 + g * 8) bad("time")
    if (n - 1 != rows[f[1] " " f[2]]) bad("not the dump rows of its file")
    if (g <= last) bad("shown twice or out of time order")
    last = g; nmsg++
  }
  END { if (!failed && (nmsg != np * count || nbanner != banners))
          { print "lnav_test: FAIL: " nmsg " messages of " np * count ", " nbanner " banners of " banners; exit 1 } }
' pids logs/* view.csv
echo "lnav_test: OK ($((nproc * count)) messages in $(ls logs | wc -l) files)"
