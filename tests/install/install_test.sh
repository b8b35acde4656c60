#!/bin/sh
# Installs a build under a temporary prefix, checks what lands there, and
# builds and runs a consumer against it through the CMake package and
# through pkg-config.
# Usage: install_test.sh <build dir> <consumer source> <cc> <c++> <extra flags>
set -eu
build=$1 consumer=$2 cc=$3 cxx=$4 flags=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"

libdir=$(dirname "$(find "$prefix" -name 'libtarvonel.so' | head -n 1)")
for f in include/tarvonel/TarvonelSDK.h include/tarvonel/ExperimentalTarvonelSDK.h \
         include/tarvonel/trv_types.h include/tarvonel/tarvonel.h; do
  [ -f "$prefix/$f" ] || { echo "missing $f" >&2; exit 1; }
done
[ -f "$libdir/libtarvonel.so.1.6.5" ] || { echo "missing the versioned library" >&2; exit 1; }
[ -L "$libdir/libtarvonel.so.1" ] && [ -L "$libdir/libtarvonel.so" ] || {
  echo "missing the library's links" >&2; exit 1; }
[ -f "$libdir/cmake/Tarvonel/TarvonelConfig.cmake" ] || { echo "missing the CMake package" >&2; exit 1; }
[ -f "$libdir/pkgconfig/tarvonel.pc" ] || { echo "missing the pkg-config file" >&2; exit 1; }
# Nothing of the build tree leaks into the installed package.
if grep -rq "$(cd "$build" && pwd)" "$libdir/cmake" "$libdir/pkgconfig"; then
  echo "the installed package names the build tree" >&2; exit 1
fi

run() { # run in an empty directory: no log file lands anywhere else
  mkdir -p "$work/run" && (cd "$work/run" && "$@")
}

echo "== CMake package"
cmake -S "$consumer" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$work/configure.log"
cmake --build "$work/with-cmake" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
run "$work/with-cmake/c_api_test"
run "$work/with-cmake/cxx_consumer"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion tarvonel)" = "1.6.5" ]
mkdir -p "$work/with-pc"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $flags $(pkg-config --cflags tarvonel) \
      "$consumer/c_api_test.c" -o "$work/with-pc/c_api_test" \
      $(pkg-config --libs tarvonel) -lpthread -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 -Wall -Wextra -Werror $flags $(pkg-config --cflags tarvonel) \
      "$consumer/cxx_consumer.cpp" -o "$work/with-pc/cxx_consumer" \
      $(pkg-config --libs tarvonel) -Wl,-rpath,"$libdir"
run "$work/with-pc/c_api_test"
run "$work/with-pc/cxx_consumer"
