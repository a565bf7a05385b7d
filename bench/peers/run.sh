#!/usr/bin/env bash
# Compares libqolog with other C++ logging libraries on the same scenarios
# (harness.h: S1 one thread, S2 a dropped level with 16 loggers, S3 two
# threads on one file, S4 rolling about every 1000 lines), every contender
# set up to flush each line to its file with a comparable prefix.
#
#   bench/peers/run.sh
#
# As root, installs the development packages of spdlog, glog, log4cplus and
# log4cxx when they are missing (apt-get); a package that does not install,
# or a program that does not build, is skipped with a message. Builds the
# programs (and libqolog, from this tree) in $QOLOG_PEERS_BUILD (default
# build-peers at the top of the tree), then runs one process per contender
# and scenario, the contenders interleaved, for $QOLOG_PEERS_ROUNDS rounds
# (default 5) of $QOLOG_PEERS_MESSAGES messages (default 100000; S2 runs 20
# times as many), and prints the medians and their ratios to the floor: a
# write(2) of a prepared line of qolog's length, from one thread.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QOLOG_PEERS_BUILD:-$root/build-peers}
rounds=${QOLOG_PEERS_ROUNDS:-5}
messages=${QOLOG_PEERS_MESSAGES:-100000}
dropped=$((messages * 20))
scenarios="S1 S2 S3 S4"
packages="libspdlog-dev libgoogle-glog-dev liblog4cplus-dev liblog4cxx-dev"

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
cmake --build "$build" -j"$(nproc)" -- -k >"$logs/build.log" 2>&1 ||
  echo "peers: some programs did not build, see $logs/build.log"

contenders=""
for c in floor qolog spdlog glog log4cplus log4cxx; do
  if [ -x "$build/peer_$c" ]; then
    contenders="$contenders $c"
  elif grep -q "peers: $c included" "$logs/configure.log"; then
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
floor=$(median floor S1)
echo
echo "Median ns per message over $rounds rounds ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(uname -r));"
echo "ratio to the floor, write(2) of a prepared line from one thread: ${floor:-?} ns. S2 is absolute."
printf '%-10s %18s %14s %18s %18s\n' contender "S1 one thread" "S2 dropped" "S3 two threads" "S4 rolling"
for c in $contenders; do
  row=$(printf '%-10s' "$c")
  for s in $scenarios; do
    m=$(median "$c" "$s")
    if [ -z "$m" ]; then
      cell="-"
    elif [ "$s" = S2 ]; then
      cell="$m"
    else
      cell=$(awk -v m="$m" -v f="${floor:-0}" 'BEGIN {if (f > 0) printf "%.0f (%.2fx)", m, m / f; else printf "%.0f", m}')
    fi
    width=18
    [ "$s" = S2 ] && width=14
    row="$row $(printf "%${width}s" "$cell")"
  done
  echo "$row"
done
echo "Notes: glog prints its own prefix (no logger name or process id) and has no S4"
echo "(sizes in whole megabytes, new files named by the second); log4cplus rolls no"
echo "smaller than 200 KiB; spdlog, log4cplus and log4cxx hold their logger object,"
echo "qolog finds its module by name at every call. Raw results: $results"
