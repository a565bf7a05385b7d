#!/usr/bin/env bash
# rsyslog with the two configurations of docs/shipping.md, as written there
# but for paths and port: a shipping and a central rsyslogd started here
# (foreground, own configuration, work directory, pid file and port on
# 127.0.0.1; nothing of the system's rsyslog is touched). Four writer
# processes roll their files at least 10 times. At the central side every
# dump row follows its message line or the rows before it, and there is one
# file per source file (the configured one, each per-process one) holding
# exactly what was written to that file and its backups, oldest first: every
# line once, nothing else, in order.
#
# Usage: rsyslog_test.sh WRITER SOURCE_DIR   (exit 77: rsyslogd is not installed)
set -euo pipefail
writer=$1 doc=$2/docs/shipping.md
PATH=$PATH:/usr/sbin:/sbin
command -v rsyslogd >/dev/null || { echo "rsyslogd is not installed: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qolog-rsyslog.XXXXXX")
daemons=()
stop() { for p in "${daemons[@]+"${daemons[@]}"}"; do { kill "$p"; wait "$p"; } 2>/dev/null || true; done; daemons=(); }
trap 'stop; rm -rf "$work"' EXIT
cd "$work" && mkdir -p logs central ship.d central.d
fail() { echo "rsyslog_test: FAIL: $*" >&2; tail -n 5 ship.err central.err >&2 || true; exit 1; }
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() { local end=$((SECONDS + $1)); shift; until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done; }
# The fenced block of docs/shipping.md that starts by naming the file $1, and
# the rsyslogd of side $1 on $1.conf, with its own work directory.
block() { awk -v RS='```' -v f="$1" 'index($0, "rsyslog\n# /etc/rsyslog.d/" f) == 1 { sub(/^rsyslog/, "#"); print }' "$doc"; }
start() {
  grep -q "$2" $1.conf || fail "no $2 in the $1 configuration of $doc"
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

printf '[NETWORK]\nLOGFILENAME = logs/network.log\nDebugLevel = ALL\nMAXFILESIZE = 4KB\nMAXFILEBACKUPS = 99\n' >qotrace.cfg
# A first message through the whole chain shows that both ends are up.
arrived() { [ "$(cat central/*/* 2>/dev/null | wc -l)" -ge "$1" ]; }
"$writer" 1 1 "$(date +%s)" >/dev/null
wait_for 30 arrived 1 || fail "the first message did not arrive"
"$writer" 4 150 "$(date +%s)" >/dev/null
rolls=$(ls logs | grep -c '\.log\.[0-9]' || true)
[ "$rolls" -ge 10 ] || fail "only $rolls rolls"
head -qn 1 logs/* | grep -q '^[0-9]\{4\} ' || fail "no roll put a dump's rows into the next file"
# Then 2 s more for anything that would arrive twice; the checks say what is missing.
wait_for 30 arrived "$(cat logs/* | wc -l)" || echo "rsyslog_test: lines still missing after 30 s" >&2
sleep 2
stop

awk '/^[0-9][0-9][0-9][0-9]+ / { if (!rows-- || $1 != off) { print "detached row: " $0; exit 1 } off += 20; next }
     rows > 0 { print "rows missing after: " line; exit 1 }
     / dump [0-9]+$/ { line = $0; rows = int(($NF + 19) / 20); off = 0 }' central/*/* >rows ||
  { cat rows; fail "dump rows out of place"; }
[ "$(cd logs && ls *.log)" = "$(cd central/* && ls)" ] || fail "central files: $(find central -type f)"
for f in logs/*.log; do
  cat $(ls -rv "$f".[0-9]* 2>/dev/null) "$f" | diff - central/*/"${f#logs/}" >diff ||
    { head diff; fail "${f#logs/}: not what was written (<), or more (>)"; }
done
echo "rsyslog_test: OK ($(cat logs/* | wc -l) lines, $rolls rolls, $(ls central/*/* | wc -l) central files)"
