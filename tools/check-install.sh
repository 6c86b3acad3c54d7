#!/bin/sh
# Proves the packaging the way a host server uses it: the framework
# stand-in is built and installed alone into a temporary prefix, as a real
# framework would be; the library is built against that installation and
# installed beside it; then a small consumer program is built against the
# installed library, once with CMake's find_package and once with
# pkg-config, and run. A second pass finds the framework without its CMake
# package, from its header and library alone.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/zub-install.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
prefix=$work/prefix

step() { echo "check-install: $*"; }
fail() { echo "check-install: FAILED: $*" >&2; exit 1; }
quiet() {
  # Output only when a step fails.
  if ! "$@" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "$*"
  fi
}

library_options="-DCMAKE_BUILD_TYPE=Release -DZUB_FEEDBACK_USE_INSTALLED_KARST=ON
  -DZUB_FEEDBACK_BUILD_TESTS=OFF -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF
  -DZUB_FEEDBACK_BUILD_EXAMPLES=OFF"

step "framework stand-in alone into $prefix"
quiet cmake -S karst -B "$work/karst" -DCMAKE_BUILD_TYPE=Release
quiet cmake --build "$work/karst" -j "$jobs"
quiet cmake --install "$work/karst" --prefix "$prefix"
[ -f "$prefix/lib/cmake/karst/karstConfig.cmake" ] || fail "no karst package"

step "library and rmtool against the installed framework"
# shellcheck disable=SC2086
quiet cmake -S . -B "$work/lib" $library_options -DCMAKE_PREFIX_PATH="$prefix"
grep -q "^karst_DIR:PATH=$prefix/lib/cmake/karst\$" "$work/lib/CMakeCache.txt" ||
  fail "the build did not use the installed framework"
[ ! -e "$work/lib/karst" ] || fail "the bundled stand-in was built as well"
quiet cmake --build "$work/lib" -j "$jobs"
quiet cmake --install "$work/lib" --prefix "$prefix"

step "installed files"
lib=$prefix/lib/libzub_feedback.so
for f in "$lib" "$prefix/include/zub_feedback/zub_feedback.h" \
  "$prefix/include/zub_feedback/chicane_physics.h" \
  "$prefix/lib/cmake/zub_feedback/zub_feedbackConfig.cmake" \
  "$prefix/lib/cmake/zub_feedback/zub_feedbackConfigVersion.cmake" \
  "$prefix/lib/pkgconfig/zub_feedback.pc" "$prefix/bin/rmtool"; do
  [ -e "$f" ] || fail "missing $f"
done
# The SONAME carries the project's major version; the file the full one.
version=$(sed -n 's/^project(zub_feedback VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzub_feedback.so.$major" ] || fail "SONAME is '$soname'"
[ -f "$prefix/lib/libzub_feedback.so.$version" ] || fail "no .so.$version"
echo "check-install: version $version, SONAME $soname"
# Installed tools find the libraries beside them.
quiet "$prefix/bin/rmtool" svd "$root/examples/data/beamline_24x12.txt"

step "consumer with find_package(zub_feedback)"
quiet cmake -S tests/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$work/consumer"
"$work/consumer/consumer" || fail "consumer (CMake)"

step "consumer with pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=$(pkg-config --cflags --libs zub_feedback) || fail "pkg-config"
# shellcheck disable=SC2086
quiet c++ -std=c++17 tests/consumer/consumer.cc -o "$work/consumer-pc" \
  $flags -Wl,-rpath,"$prefix/lib"
"$work/consumer-pc" || fail "consumer (pkg-config)"

step "library against a framework without a CMake package"
other=$work/prefix-plain
# shellcheck disable=SC2086
quiet cmake -S . -B "$work/lib-plain" $library_options \
  -DZUB_FEEDBACK_BUILD_TOOLS=OFF \
  -DKARST_INCLUDE_DIR="$prefix/include/karst" \
  -DKARST_LIBRARY="$prefix/lib/libkarst.so"
quiet cmake --build "$work/lib-plain" -j "$jobs"
quiet cmake --install "$work/lib-plain" --prefix "$other"
quiet cmake -S tests/consumer -B "$work/consumer-plain" \
  -DCMAKE_PREFIX_PATH="$other"
quiet cmake --build "$work/consumer-plain"
"$work/consumer-plain/consumer" || fail "consumer (framework without package)"

echo "check-install: passed"
