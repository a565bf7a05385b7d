#!/usr/bin/env bash
# System calls per message: runs a scenario of the benchmark binary's driver
# mode twice, with 0 and with N messages, counts the system calls of each
# run and prints the difference per message, so that setup (configuration,
# opening files, banners) cancels out. The message path aims at exactly one
# write(2) per written message and nothing else.
#
#   bench/syscalls.sh [BENCH_BINARY] [N] [SCENARIO...]
#
# BENCH_BINARY defaults to build-bench/bench/qolog_bench; N to 100000;
# scenarios to "floor S1 S2 S3 S4 S5" (see qolog_bench.cc for the others).
# Counts with `perf stat` on the syscall tracepoints when perf can (the
# program runs at full speed, so lock contention in S3 is as in real use),
# else with `strace -f -c` (which slows every call down and so inflates the
# futex calls of S3).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$here/build-bench/bench/qolog_bench}
n=${2:-100000}
shift $(( $# > 2 ? 2 : $# )) || true
scenarios=${*:-floor S1 S2 S3 S4 S5}
[ -x "$bin" ] || { echo "syscalls.sh: no benchmark binary at $bin" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tool=""
if command -v perf >/dev/null 2>&1 &&
   perf stat -x, -e 'syscalls:sys_enter_write' -o "$work/probe" true >/dev/null 2>&1; then
  tool=perf
elif command -v strace >/dev/null 2>&1; then
  tool=strace
else
  echo "syscalls.sh: neither perf (with syscall tracepoints) nor strace is available" >&2
  exit 1
fi

# The calls a message could plausibly make, counted by name with perf; the
# total over all system calls is counted too ("all"), so that anything else
# still shows up.
names="write writev pwrite64 read pread64 lseek getpid gettid futex openat open
close fcntl newfstat newfstatat statx rename renameat renameat2 unlink unlinkat
getdents64 mmap munmap brk madvise clock_gettime gettimeofday time sched_yield
fsync fdatasync ioctl rt_sigprocmask"
events="raw_syscalls:sys_enter"
tracefs=/sys/kernel/tracing
[ -d "$tracefs/events/syscalls" ] || tracefs=/sys/kernel/debug/tracing
for c in $names; do
  if [ ! -d "$tracefs/events/syscalls" ] || [ -d "$tracefs/events/syscalls/sys_enter_$c" ]; then
    events="$events,syscalls:sys_enter_$c"
  fi
done

# Runs the scenario with `count` messages; leaves "name calls" lines in `out`.
measure() {
  local scenario=$1 count=$2 out=$3
  if [ "$tool" = perf ]; then
    if ! perf stat -x, -e "$events" -o "$out.raw" \
      "$bin" --qolog_run="$scenario" --qolog_messages="$count" >/dev/null 2>&1; then
      echo "syscalls.sh: perf stat failed for $scenario" >&2
      : >"$out"
      return
    fi
    awk -F, '$1 ~ /^[0-9]+$/ && $1 > 0 {
        name = $3; sub(/^syscalls:sys_enter_/, "", name)
        if (name == "raw_syscalls:sys_enter") name = "all"
        print name, $1 }' "$out.raw" | sort >"$out"
  else
    strace -f -c -o "$out.raw" "$bin" --qolog_run="$scenario" \
      --qolog_messages="$count" >/dev/null 2>&1
    awk '/^-/ {next} /% time|total/ {next} NF >= 5 {print $NF, $4}' "$out.raw" | sort >"$out"
  fi
}

echo "counted with $tool; system calls per message, setup excluded"
printf '%-8s %10s  %s\n' scenario messages "calls per message"
for s in $scenarios; do
  measure "$s" 0 "$work/zero"
  measure "$s" "$n" "$work/many"
  line=$(join -a 2 -e 0 -o 0,1.2,2.2 "$work/zero" "$work/many" |
    awk -v n="$n" '{d = ($3 - $2) / n; if (d >= 0.0005 || d <= -0.0005) printf "%s %.4f  ", $1, d}')
  printf '%-8s %10s  %s\n' "$s" "$n" "${line:-none}"
done
