#!/usr/bin/env bash
# lnav or rsyslog, the real program, on files written by eco_writer through
# the library, the module NETWORK rolled often.
#
# lnav, headless, with share/lnav/qolog.json: three writer processes (date
# formats 1, 2 and both), rolls, per-process files, dumps. Every message line
# must be one lnav message with its level, module, pid and exact time,
# carrying as its body the dump rows that follow it in its file and nothing
# else (so rows add no messages, and banners are messages of their own); the
# merged view of all files must hold every message once, in time order.
#
# rsyslog with the two configurations of docs/shipping.md, as written there
# but for paths and port: a shipping and a central rsyslogd started here
# (foreground, own configuration, work directory, pid file and port on
# 127.0.0.1; nothing of the system's rsyslog is touched). Four writer
# processes roll their files at least 10 times. At the central side every
# dump row follows its message line or the rows before it, and there is one
# file per source file (the configured one, each per-process one) holding
# exactly what was written to that file and its backups, oldest first.
#
# Usage: eco_test.sh lnav|rsyslog WRITER   (exit 77: the program is not installed)
set -euo pipefail
test=$1 writer=$2 src=$(cd "$(dirname "$0")/../.." && pwd) daemons=()
PATH=$PATH:/usr/sbin:/sbin
command -v "${test/rsyslog/rsyslogd}" >/dev/null || { echo "$test is not installed: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qolog-$test.XXXXXX")
stop() { for p in "${daemons[@]+"${daemons[@]}"}"; do { kill "$p"; wait "$p"; } 2>/dev/null || true; done; daemons=(); }
trap 'stop; rm -rf "$work"' EXIT
cd "$work" && mkdir -p logs home central ship.d central.d
fail() { echo "$test: FAIL: $*" >&2; tail -n 5 ship.err central.err >&2 2>/dev/null || true; exit 1; }
# Every level of NETWORK to logs/network.log, rolled at $1 KB.
printf '[NETWORK]\nLOGFILENAME = logs/network.log\nDebugLevel = ALL\nMAXFILESIZE = %sKB\nMAXFILEBACKUPS = 99\n' \
  "$([ "$test" = lnav ] && echo 2 || echo 4)" >qotrace.cfg

lnav_test() {
  # lnav keeps its formats and settings under HOME: a private one, not the user's.
  export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config TZ=UTC
  local format=$src/share/lnav/qolog.json nproc=3 count=150 base=$(($(date +%s) - 60))
  "$writer" $nproc $count $base >pids
  ls logs | grep -q '^[0-9]*-network\.log' && ls logs | grep -q '\.log\.[0-9]' ||
    fail "no per-process file was written, or no file rolled"
  lnav -i "$format" >/dev/null 2>&1 || fail "lnav -i does not take $format"
  lnav -W -n -q -c ";SELECT log_level, module, pid,
        strftime('%s', log_time) * 1000 + substr(log_time, 21, 3),
        replace(log_body, char(10), '~') FROM qolog_log ORDER BY log_line" \
    -c ':write-csv-to -' logs/* >view.csv 2>warnings && [ ! -s warnings ] ||
    { cat warnings; fail "lnav fails or warns on the format"; }
  # From the files: the pid of each writer, the dump rows after each message,
  # the banners (each must be a message of its own, without pid).
  awk -F, -v np=$nproc -v count=$count -v base=$base '
    function bad(why) { print "lnav: FAIL: " why ": " $0; failed = 1; exit 1 }
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
            { print "lnav: FAIL: " nmsg " messages of " np * count ", " nbanner " banners of " banners; exit 1 } }
  ' pids logs/* view.csv
  echo "lnav: OK ($((nproc * count)) messages in $(ls logs | wc -l) files)"
}

rsyslog_test() {
  # Waits up to $1 seconds for the command that follows to succeed.
  wait_for() { local end=$((SECONDS + $1)); shift; until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done; }
  # The fenced block of docs/shipping.md that starts by naming the file $1, and
  # the rsyslogd of side $1 on $1.conf, with its own work directory.
  block() { awk -v RS='```' -v f="$1" 'index($0, "rsyslog\n# /etc/rsyslog.d/" f) == 1 { sub(/^rsyslog/, "#"); print }' "$src/docs/shipping.md"; }
  start() {
    grep -q "$2" $1.conf || fail "no $2 in the $1 configuration of docs/shipping.md"
    printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$work/$1.d" "$work/$1.conf" >$1.main
    rsyslogd -n -f "$work/$1.main" -i "$work/$1.pid" >$1.err 2>&1 &
    daemons+=($!)
  }
  # The central rsyslogd listens on a free port of 127.0.0.1 and tells which.
  block qolog-central.conf | sed -e "s#/var/log/qolog/#$work/central/#" \
    -e "s#port=\"10514\"#address=\"127.0.0.1\" port=\"0\" listenPortFileName=\"$work/port\"#" >central.conf
  start central imtcp
  wait_for 10 test -s port || fail "the central rsyslogd does not listen"
  block qolog-ship.conf | sed -e "s#/var/log/myapp/#$work/logs/#" \
    -e "s#central.example.net#127.0.0.1#" -e "s#10514#$(cat port)#" >ship.conf
  start ship imfile
  # A first message through the whole chain shows that both ends are up.
  arrived() { [ "$(cat central/*/* 2>/dev/null | wc -l)" -ge "$1" ]; }
  "$writer" 1 1 "$(date +%s)" >/dev/null
  wait_for 30 arrived 1 || fail "the first message did not arrive"
  "$writer" 4 150 "$(date +%s)" >/dev/null
  [ "$(ls logs | grep -c '\.log\.[0-9]')" -ge 10 ] || fail "fewer than 10 rolls: $(ls logs)"
  head -qn 1 logs/* | grep -q '^[0-9]\{4\} ' || fail "no roll put a dump's rows into the next file"
  # Then 2 s more for anything that would arrive twice; the checks say what is missing.
  wait_for 30 arrived "$(cat logs/* | wc -l)" || echo "rsyslog: lines still missing after 30 s" >&2
  sleep 2 && stop
  awk '/^[0-9][0-9][0-9][0-9]+ / { if (!rows-- || $1 != off) { print "detached row: " $0; exit 1 } off += 20; next }
       rows > 0 { print "rows missing after: " line; exit 1 }
       / dump [0-9]+$/ { line = $0; rows = int(($NF + 19) / 20); off = 0 }' central/*/* >rows ||
    { cat rows; fail "dump rows out of place"; }
  [ "$(cd logs && ls *.log)" = "$(cd central/* && ls)" ] || fail "central files: $(find central -type f)"
  for f in logs/*.log; do
    cat $(ls -rv "$f".[0-9]* 2>/dev/null) "$f" | diff - central/*/"${f#logs/}" >diff ||
      { head diff; fail "${f#logs/}: not what was written (<), or more (>)"; }
  done
  echo "rsyslog: OK ($(cat logs/* | wc -l) lines in $(ls logs | wc -l) files, $(ls central/*/* | wc -l) central files)"
}

"${test}_test"
