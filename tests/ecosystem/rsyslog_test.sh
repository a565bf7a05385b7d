#!/usr/bin/env bash
# rsyslog with the two configurations of docs/shipping.md, as written there
# but for paths and port: a shipping and a central rsyslogd started here
# (foreground, own configuration, work directory, pid file and port on
# 127.0.0.1; nothing of the system's rsyslog is touched). Four writer
# processes roll their files at least 10 times. At the central side every
# line written arrives once, nothing else arrives, and each dump row follows
# its message line or the rows before it. The one loss allowed is the one
# docs/shipping.md names: the last event of a rolled file.
#
# Usage: rsyslog_test.sh WRITER SOURCE_DIR   (exit 77: rsyslogd is not installed)
set -euo pipefail
writer=$1
doc=$2/docs/shipping.md
PATH=$PATH:/usr/sbin:/sbin
command -v rsyslogd >/dev/null || { echo "rsyslogd is not installed: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qolog-rsyslog.XXXXXX")
daemons=()
cleanup() {
  for p in "${daemons[@]+"${daemons[@]}"}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir -p logs central ship.d central.d
fail() { echo "rsyslog_test: FAIL: $*" >&2; tail -n 5 ship.err central.err >&2 || true; exit 1; }
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}
listening() { awk '$4 == "0A" { print $2 }' /proc/net/tcp | grep -qi ":$(printf %04X "$port")\$"; }

for try in 1 2 3 4 5 6 7 8 9 10; do
  port=$((20000 + RANDOM % 40000))
  listening || break
done
# The fenced block of docs/shipping.md whose first line names the file $1.
block() {
  awk -v name="$1" '/^```/ { if (keep) exit; inside = !inside; first = 1; next }
    inside && first { first = 0; keep = index($0, name) > 0 } keep' "$doc"
}
block qolog-ship.conf | sed -e "s#/var/log/myapp/#$work/logs/#" \
  -e "s#central.example.net#127.0.0.1#" -e "s#10514#$port#" >ship.conf
# At the central side each event is followed by a line "@@event@@".
block qolog-central.conf | sed -e "s#/var/log/qolog/#$work/central/#" -e "s#10514#$port#" \
  -e 's#string="%msg%\\n"#string="%msg%\\n@@event@@\\n"#' >central.conf
grep -q @@event@@ central.conf || fail "no text template in the central configuration"
grep -q imfile ship.conf && grep -q imtcp central.conf || fail "no configuration found in $doc"
for side in central ship; do
  printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$work/$side.d" "$work/$side.conf" >$side.main
  rsyslogd -n -f "$work/$side.main" -i "$work/$side.pid" >$side.err 2>&1 &
  daemons+=($!)
  [ $side = ship ] || wait_for 10 listening || fail "the central rsyslogd does not listen"
done

printf '[NETWORK]\nLOGFILENAME = logs/network.log\nDebugLevel = ALL\nMAXFILESIZE = 4KB\nMAXFILEBACKUPS = 99\n' >qotrace.cfg
count=150 base=$(date +%s)
arrived() { cat central/*/network.log 2>/dev/null | grep -c "$1" || true; }
first_arrived() { [ "$(arrived '|w9 n0 ')" = 1 ]; }
# A first message through the whole chain shows that both ends are up.
"$writer" 9 1 1 1 "$base" >/dev/null
wait_for 30 first_arrived || fail "the first message did not arrive"
pids=()
for w in 0 1 2 3; do
  "$writer" $w 4 $count $((w % 3 + 1)) "$base" >/dev/null &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
rolls=$(ls logs | grep -c '\.log\.[0-9]' || true)
[ "$rolls" -ge 10 ] || fail "only $rolls rolls"
# Wait until the central file stops growing (readTimeout sends the last events).
settled() {
  local n; n=$(arrived '|NETWORK|')
  [ "$n" = "${last:-}" ] || { last=$n; since=$SECONDS; }
  [ $((SECONDS - since)) -ge 3 ] && [ "$n" -gt $((4 * count - rolls)) ]
}
wait_for 60 settled || fail "messages still missing after 60 s"
for p in "${daemons[@]}"; do kill "$p"; wait "$p" || true; done
daemons=()

[ "$(find central -type f)" = "$(echo central/*/network.log)" ] ||
  fail "central files: $(find central -type f)"
cat logs/* | sort >written
grep -v '^@@event@@$' central/*/network.log | sort >received
comm -13 written received >extra
[ ! -s extra ] || { head extra; fail "arrived but not written (or twice)"; }
# Lines that may be missing: the last event of each backup (from its last
# message line or separator on).
awk 'FNR == 1 { printf "%s", ev; ev = "" } /^(-+$|[^|]*\|NETWORK\|)/ { ev = "" } { ev = ev $0 "\n" }
     END { printf "%s", ev }' logs/*.log.[0-9]* | sort >may_miss
comm -23 written received | comm -23 - may_miss >missing
[ ! -s missing ] || { head missing; fail "written but not arrived"; }

# Each event is a banner's first separator with its QOLOG line, its closing
# separator, a message line with all its dump rows or none, or (when the line
# ended a file) the dump rows alone, all of them.
awk '
  function bad(why) { print "rsyslog_test: FAIL: " why ":"; for (i = 1; i <= n; i++) print line[i]; exit 1 }
  function text(s) { return substr(s, index(s, " [") + 2, 20) }
  # Row OFF of the dump of SIZE bytes repeating ID, padded to 20 columns.
  function row(id, size, off,   rep) {
    rep = ""; while (length(rep) < off + 20) rep = rep id
    return sprintf("%-20s", substr(rep, off + 1, off + 20 <= size ? 20 : size - off))
  }
  $0 != "@@event@@" { line[++n] = $0; next }
  line[1] ~ /^-+$/ { if (n > 2 || (n == 2 && line[2] !~ /^QOLOG /)) bad("banner"); n = 0; next }
  {
    first = 1; id = ""; size = 19
    if (line[1] ~ /\|NETWORK\|/) {
      split(line[1], f, "|"); split(f[6], m, " "); id = m[1] "." m[2] ";"; size = m[4]; first = 2
      if (n == 1) { n = 0; next }
    } else if (index(text(line[1]), ";")) {
      id = substr(text(line[1]), 1, index(text(line[1]), ";")); size = 1 + substr(id, index(id, "n") + 1) % 61
    }
    if (n - first + 1 != int((size + 19) / 20)) bad("not one message with its dump")
    for (i = first; i <= n; i++)
      if (line[i] + 0 != (i - first) * 20 || (id != "" && text(line[i]) != row(id, size, (i - first) * 20)))
        bad("dump rows out of place")
    n = 0
  }' central/*/network.log
lost=$(comm -23 written received | grep -c '|NETWORK|' || true)
echo "rsyslog_test: OK ($(wc -l <received) lines, $rolls rolls, $lost events lost at rolls)"
