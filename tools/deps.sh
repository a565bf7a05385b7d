#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test libqolog
# (apt-get, through sudo when not root). QOLOG_WITH_CLANG=1 adds clang and
# its fuzzer runtime.
set -euo pipefail
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

install() {
  [ $# -eq 0 ] && return 0
  echo "Installing: $*"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v strace >/dev/null || need+=(strace)  # bench/syscalls.sh
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
command -v lnav >/dev/null || need+=(lnav)  # tests/ecosystem
if [ "${QOLOG_WITH_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
fi
install "${need[@]+"${need[@]}"}"

# rsyslogd for tests/ecosystem, which starts its own. The package would start
# (and enable) the system's rsyslog service: a policy-rc.d that answers 101
# ("action forbidden") keeps invoke-rc.d and deb-systemd-invoke from starting
# it, and the service is disabled again afterwards. Only when this script
# installs the package: an rsyslog the machine already has is left alone.
if ! command -v rsyslogd >/dev/null && [ ! -x /usr/sbin/rsyslogd ]; then
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    own_policy=1
  fi
  install rsyslog || status=$?
  [ "$own_policy" = 0 ] || $sudo rm -f "$policy"
  [ "${status:-0}" = 0 ] || exit "$status"
  if command -v systemctl >/dev/null; then
    $sudo systemctl disable rsyslog.service >/dev/null 2>&1 || true
  fi
fi

# The sanitizer runtimes of g++ (QOLOG_SANITIZE=address or thread) normally
# come with it; install them where a trimmed machine lacks them.
if command -v g++ >/dev/null; then
  for lib in asan ubsan tsan; do
    if [ ! -e "$(g++ -print-file-name="lib$lib.so")" ]; then
      install "libgcc-$(g++ -dumpversion | cut -d. -f1)-dev"
      break
    fi
  done
fi

if [ "${QOLOG_WITH_CLANG:-0}" = 1 ]; then
  # The fuzzer runtime of the clang that is installed, whatever its version.
  runtime=$(clang -print-file-name="libclang_rt.fuzzer-$(uname -m).a")
  if [ ! -f "$runtime" ]; then
    major=$(clang -dumpversion | cut -d. -f1)
    install "libclang-rt-$major-dev"
  fi
fi
