#!/usr/bin/env bash
# Compares libqolog with other logging libraries on the same scenarios
# (harness.h: S1 one thread, S2 a dropped level with 16 loggers, S3 two
# threads on one file, S4 rolling about every 1000 lines, S6 the p50 and p99
# latency of a call with four threads, S7 and S8 four and eight threads on
# one file), every contender set up to flush each line to its file with a
# comparable prefix.
#
#   bench/peers/run.sh
#
# As root, installs the development packages of spdlog, glog, log4cplus,
# log4cxx and log4c when they are missing (apt-get); a package that does not install,
# or a program that does not build, is skipped with a message. Builds the
# programs (and libqolog, from this tree) in $QOLOG_PEERS_BUILD (default
# build-peers at the top of the tree), then runs one process per contender
# and scenario, the contenders interleaved, for $QOLOG_PEERS_ROUNDS rounds
# (default 5) of $QOLOG_PEERS_MESSAGES messages (default 100000; S2 runs 20
# times as many), and prints the medians and their ratios to the floor: a
# write(2) of a prepared line of qolog's length, from as many threads as the
# scenario has (S4 against S1's floor).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QOLOG_PEERS_BUILD:-$root/build-peers}
rounds=${QOLOG_PEERS_ROUNDS:-5}
messages=${QOLOG_PEERS_MESSAGES:-100000}
dropped=$((messages * 20))
scenarios="S1 S2 S3 S4 S6 S7 S8"
figures="S1 S2 S3 S4 S6-p50 S6-p99 S7 S8"  # S6 gives two
packages="libspdlog-dev libgoogle-glog-dev liblog4cplus-dev liblog4cxx-dev liblog4c-dev"

# 1. Packages.
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  missing=""
  for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "peers: installing$missing"
    apt-get update -qq >/dev/null 2>&1 || true
    for p in $missing; do
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null 2>&1 ||
        echo "peers: $p did not install; its contender is skipped"
    done
  fi
else
  echo "peers: not root; using the packages already installed"
fi

# 2. Build (make -k: one contender failing to build does not stop the rest).
mkdir -p "$build"
logs="$build/run-logs"
mkdir -p "$logs"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$logs/configure.log" 2>&1 || {
  echo "peers: configuration failed, see $logs/configure.log" >&2
  exit 1
}
grep -h "qolog peers:" "$logs/configure.log" | sed 's/^-- /  /' || true
rm -f "$build"/peer_*  # a program that no longer builds is not run
cmake --build "$build" -j"$(nproc)" -- -k >"$logs/build.log" 2>&1 ||
  echo "peers: some programs did not build, see $logs/build.log"

contenders=""
for c in floor qolog stdio spdlog log4cxx log4c log4cplus glog; do
  # The contenders configured now; of those, the ones that built.
  grep -q "peers: $c included" "$logs/configure.log" || continue
  if [ -x "$build/peer_$c" ]; then
    contenders="$contenders $c"
  else
    echo "peers: peer_$c did not build; skipped"
  fi
done
if [ ! -x "$build/peer_floor" ] || [ ! -x "$build/peer_qolog" ]; then
  echo "peers: the floor and qolog programs are needed" >&2
  exit 1
fi

# 3. Runs: per round and scenario, every contender once, starting each round
# with a different one.
results="$logs/results.txt"
: >"$results"
read -r -a all <<<"$contenders"
count=${#all[@]}
for round in $(seq 1 "$rounds"); do
  for s in $scenarios; do
    n=$messages
    [ "$s" = S2 ] && n=$dropped
    for i in $(seq 0 $((count - 1))); do
      c=${all[$(( (i + round - 1) % count ))]}
      if ! "$build/peer_$c" "$s" "$n" >>"$results" 2>>"$logs/stderr.log"; then
        echo "peers: peer_$c $s failed (see $logs/stderr.log)"
      fi
    done
  done
  echo "peers: round $round of $rounds done"
done

# 4. Table of medians.
median() {  # contender scenario -> median or empty
  awk -v c="$1" -v s="$2" '$1 == c && $2 == s && $3 != "n/a" {print $3}' "$results" |
    sort -g | awk '{v[NR] = $1} END {if (NR == 0) exit; m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.1f", m}'
}
# The floor a figure is held against: the floor's own, else S1's.
floorOf() {
  local m
  m=$(median floor "$1")
  [ -n "$m" ] || m=$(median floor S1)
  echo "$m"
}
echo
echo "Median ns per message over $rounds rounds ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(uname -r)),"
echo "in brackets the ratio to the floor: write(2) of a prepared line from as many threads"
echo "(S4 against S1's). S2 is absolute. S1 one thread, S2 dropped, S3 two threads,"
echo "S4 rolling, S6 latency of one call with four threads (p50, p99), S7 and S8 four and"
echo "eight threads (aggregate)."
row=$(printf '%-10s' contender)
for f in $figures; do row="$row $(printf '%15s' "$f")"; done
echo "$row"
for c in $contenders; do
  row=$(printf '%-10s' "$c")
  for f in $figures; do
    m=$(median "$c" "$f")
    base=$(floorOf "$f")
    if [ -z "$m" ]; then
      cell="-"
    elif [ "$f" = S2 ]; then
      cell="$m"
    else
      cell=$(awk -v m="$m" -v f="${base:-0}" 'BEGIN {if (f > 0) printf "%.0f (%.2fx)", m, m / f; else printf "%.0f", m}')
    fi
    row="$row $(printf '%15s' "$cell")"
  done
  echo "$row"
done
echo "Notes: glog prints its own prefix (no logger name or process id) and has no S4"
echo "(sizes in whole megabytes, new files named by the second); log4cplus rolls no"
echo "smaller than 200 KiB; stdio, spdlog, log4cplus, log4cxx and log4c hold their"
echo "logger object, qolog finds its module by name at every call. Raw results: $results"
