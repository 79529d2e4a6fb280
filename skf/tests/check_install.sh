#!/bin/sh
# Installs the build into a temporary prefix and builds an application
# against it with nothing but the installed skf.h and pkg-config's flags,
# as C and as C++, then runs it.
# Usage: check_install.sh BUILD_DIR APP_SOURCE CC CXX
set -eu
build=$1
app=$2
cc=$3
cxx=$4
tmp=$(mktemp -d /tmp/brio-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log"
pc=$(find "$tmp/prefix" -name brioskf-enterprise.pc)
test -n "$pc" || { echo "no brioskf-enterprise.pc installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")

# Both libraries with their sonames, the header, and nothing of the
# virtual token.
for lib in brioskf-enterprise brioui-enterprise; do
  test -f "$libdir/lib$lib.so.1" || { echo "lib$lib.so.1 not installed"; exit 1; }
  readelf -d "$libdir/lib$lib.so.1" | grep -q "SONAME.*\[lib$lib.so.1\]" || { echo "lib$lib: wrong soname"; exit 1; }
done
test "$(find "$tmp/prefix" -name skf.h | wc -l)" = 1 || { echo "skf.h not installed once"; exit 1; }
if find "$tmp/prefix" | grep -i vtoken; then echo "the virtual token was installed"; exit 1; fi
# The test program, once it is built, finds the libraries beside it.
if [ -x "$build/skftest/skftest" ]; then
  test -x "$tmp/prefix/bin/skftest" || { echo "skftest not installed"; exit 1; }
  readelf -d "$tmp/prefix/bin/skftest" | grep -q 'RUNPATH.*\$ORIGIN/\.\./' || { echo "skftest: no runpath"; exit 1; }
fi

PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
flags=$(pkg-config --cflags --libs brioskf-enterprise)
# Sanitizer builds: the application is not instrumented itself.
ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
export ASAN_OPTIONS
"$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror "$app" $flags -o "$tmp/app-c"
"$cxx" -x c++ -std=c++98 -pedantic-errors -Wall -Wextra -Werror "$app" $flags -o "$tmp/app-cxx"
LD_LIBRARY_PATH=$libdir "$tmp/app-c"
LD_LIBRARY_PATH=$libdir "$tmp/app-cxx"
