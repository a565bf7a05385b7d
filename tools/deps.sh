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
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v strace >/dev/null || need+=(strace)  # bench/syscalls.sh
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ "${QOLOG_WITH_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
fi
install "${need[@]+"${need[@]}"}"

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
