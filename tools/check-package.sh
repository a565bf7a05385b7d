#!/usr/bin/env bash
# Checks the installed package of libqolog: builds the library (shared and
# static) in a fresh build directory, installs it into a temporary prefix,
# checks the installed files, then builds and runs the consumers of
# tests/packaging against that prefix only: a C program through pkg-config
# (linked shared and static), a C++ program through find_package(qolog)
# (qolog::qolog and qolog::qolog_static), and a project that adds the source
# tree with add_subdirectory(). Each consumer must write its line to the log
# file named by tests/packaging/qotrace.cfg.
#
# Usage: bash tools/check-package.sh     (QOLOG_PKG_KEEP=1 keeps the work dir)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
pkg=$here/tests/packaging
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d "${TMPDIR:-/tmp}/qolog-package.XXXXXX")
if [ "${QOLOG_PKG_KEEP:-0}" = 1 ]; then
  echo "Work directory (kept): $work"
else
  trap 'rm -rf "$work"' EXIT
fi

fail() {
  echo "check-package: FAIL: $*" >&2
  exit 1
}
step() { echo "== $*"; }

version=$(sed -nE 's/^project\(qolog VERSION ([0-9.]+).*/\1/p' "$here/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
major=${version%%.*}

step "build libqolog $version (shared and static)"
build=$work/build
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DQOLOG_BUILD_TESTS=OFF -DQOLOG_BUILD_EXAMPLES=OFF -DQOLOG_BUILD_BENCH=OFF \
  -DQOLOG_BUILD_STATIC=ON >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$build" -j"$jobs" >"$work/build.log" || { cat "$work/build.log"; fail "build"; }

# Installed with --prefix, not the configured prefix: the package must follow.
step "install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
libdir_rel=$(sed -nE 's/^CMAKE_INSTALL_LIBDIR:PATH=(.*)/\1/p' "$build/CMakeCache.txt")
incdir_rel=$(sed -nE 's/^CMAKE_INSTALL_INCLUDEDIR:PATH=(.*)/\1/p' "$build/CMakeCache.txt")
libdir=$prefix/${libdir_rel:-lib}
incdir=$prefix/${incdir_rel:-include}

step "check the installed files"
real=$libdir/libqolog.so.$version
[ -f "$real" ] && [ ! -L "$real" ] || fail "$real is missing or not a regular file"
[ -L "$libdir/libqolog.so.$major" ] || fail "soname link libqolog.so.$major is missing"
[ -L "$libdir/libqolog.so" ] || fail "development link libqolog.so is missing"
for link in "$libdir/libqolog.so.$major" "$libdir/libqolog.so"; do
  [ "$(readlink -f "$link")" = "$(readlink -f "$real")" ] || fail "$link does not lead to $real"
done
soname=$(objdump -p "$real" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libqolog.so.$major" ] || fail "SONAME is '$soname', not libqolog.so.$major"
[ -f "$libdir/libqolog.a" ] || fail "libqolog.a is missing"
bindir_rel=$(sed -nE 's/^CMAKE_INSTALL_BINDIR:PATH=(.*)/\1/p' "$build/CMakeCache.txt")
"$prefix/${bindir_rel:-bin}/qolog-check" "$pkg/qotrace.cfg" >/dev/null ||
  fail "the installed qolog-check does not load tests/packaging/qotrace.cfg"
nm --defined-only "$libdir/libqolog.a" 2>/dev/null | grep -w 'T qologTrace' >/dev/null ||
  fail "libqolog.a does not define qologTrace"
cmp -s "$incdir/qolog.h" "$here/include/qolog.h" || fail "$incdir/qolog.h is missing or differs"
for f in qologConfig.cmake qologConfigVersion.cmake qologTargets.cmake; do
  [ -f "$libdir/cmake/qolog/$f" ] || fail "$libdir/cmake/qolog/$f is missing"
done
datadir_rel=$(sed -nE 's/^CMAKE_INSTALL_DATADIR:PATH=(.*)/\1/p' "$build/CMakeCache.txt")
cmp -s "$prefix/${datadir_rel:-share}/qolog/lnav/qolog.json" "$here/share/lnav/qolog.json" ||
  fail "the lnav format is missing or differs"
pc=$libdir/pkgconfig/qolog.pc
[ -f "$pc" ] || fail "$pc is missing"

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion qolog)" = "$version" ] || fail "qolog.pc does not give version $version"
[ "$(pkg-config --variable=prefix qolog)" = "$prefix" ] || fail "qolog.pc names another prefix"
pkg-config --static --libs qolog | grep -- '-pthread' >/dev/null || fail "qolog.pc lacks -pthread for static links"

# A staged install (DESTDIR) must name the final prefix, not the staging dir.
DESTDIR=$work/stage cmake --install "$build" --prefix /opt/qolog >/dev/null
grep -qx 'prefix=/opt/qolog' "$work/stage/opt/qolog/${libdir_rel:-lib}/pkgconfig/qolog.pc" ||
  fail "a DESTDIR install writes the staging directory into qolog.pc"

step "consumer_c: C program through pkg-config"
mkdir -p "$work/c"
cc -Wall -Werror "$pkg/consumer_c/main.c" $(pkg-config --cflags --libs qolog) -o "$work/c/consumer_c"
LD_LIBRARY_PATH=$libdir ldd "$work/c/consumer_c" | grep "$libdir/libqolog.so.$major" >/dev/null ||
  fail "consumer_c does not load libqolog from the prefix"
LD_LIBRARY_PATH=$libdir bash "$pkg/run_consumer.sh" "$work/c/consumer_c" "hello from the C consumer, 42"

step "consumer_c: linked statically through pkg-config --static"
cc -Wall -Werror "$pkg/consumer_c/main.c" $(pkg-config --cflags qolog) \
  -Wl,-Bstatic $(pkg-config --static --libs-only-L --libs-only-l qolog) -Wl,-Bdynamic \
  $(pkg-config --static --libs-only-other qolog) -o "$work/c/consumer_c_static"
if objdump -p "$work/c/consumer_c_static" | grep 'NEEDED.*libqolog' >/dev/null; then
  fail "consumer_c_static still needs libqolog.so"
fi
bash "$pkg/run_consumer.sh" "$work/c/consumer_c_static" "hello from the C consumer, 42"

if command -v clang >/dev/null; then
  # libqolog.a is built by g++ with link-time optimisation: it must still
  # link with another compiler.
  step "consumer_c: linked statically by clang"
  clang -Wall -Werror "$pkg/consumer_c/main.c" $(pkg-config --cflags qolog) \
    -Wl,-Bstatic $(pkg-config --static --libs-only-L --libs-only-l qolog) -Wl,-Bdynamic \
    $(pkg-config --static --libs-only-other qolog) -o "$work/c/consumer_c_clang"
  bash "$pkg/run_consumer.sh" "$work/c/consumer_c_clang" "hello from the C consumer, 42"
fi

for variant in shared static; do
  step "consumer_cpp: C++ program through find_package(qolog), $variant"
  static=OFF
  [ "$variant" = static ] && static=ON
  cpp=$work/cpp-$variant
  cmake -S "$pkg/consumer_cpp" -B "$cpp" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCONSUMER_STATIC=$static >"$cpp.log" || { cat "$cpp.log"; fail "consumer_cpp configure"; }
  found=$(sed -nE 's/^qolog_DIR:PATH=(.*)/\1/p' "$cpp/CMakeCache.txt")
  [ "$found" = "$libdir/cmake/qolog" ] || fail "find_package(qolog) found '$found'"
  cmake --build "$cpp" -j"$jobs" >>"$cpp.log" || { cat "$cpp.log"; fail "consumer_cpp build"; }
  if objdump -p "$cpp/app" | grep 'NEEDED.*libqolog' >/dev/null; then needs=yes; else needs=no; fi
  [ "$needs" = "$([ "$variant" = shared ] && echo yes || echo no)" ] ||
    fail "consumer_cpp ($variant) linked the wrong libqolog"
  LD_LIBRARY_PATH=$libdir bash "$pkg/run_consumer.sh" "$cpp/app" "hello from the C++ consumer, 42"
done

step "consumer_subdir: libqolog added with add_subdirectory()"
sub=$work/subdir
cmake -S "$pkg/consumer_subdir" -B "$sub" -DQOLOG_SOURCE_DIR="$here" \
  >"$sub.log" || { cat "$sub.log"; fail "consumer_subdir configure"; }
cmake --build "$sub" -j"$jobs" >>"$sub.log" || { cat "$sub.log"; fail "consumer_subdir build"; }
bash "$pkg/run_consumer.sh" "$sub/app" "hello from the C consumer, 42"
# Nothing of libqolog is installed on behalf of the parent project.
cmake --install "$sub" --prefix "$work/subdir-prefix" >/dev/null
if [ -d "$work/subdir-prefix" ] && [ -n "$(find "$work/subdir-prefix" -type f)" ]; then
  find "$work/subdir-prefix" -type f >&2
  fail "add_subdirectory() made the parent project install libqolog files"
fi

echo "check-package: OK (libqolog $version: install layout, pkg-config, CMake package, add_subdirectory)"
