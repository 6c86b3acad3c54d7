#!/bin/sh
# Proves the packaging the way hosts use it, in a temporary directory and
# without touching the machine's own installation:
#
# 1. `make package` as a new user runs it, with the bundled framework
#    stand-in: the Debian packages zub-feedback and
#    zub-feedback-karst-standin, their control fields and contents, lintian
#    on both; unpacked into a temporary root, rmtool runs from there and a
#    small consumer program (tests/consumer/) builds against the root with
#    CMake's find_package and with pkg-config, and runs. The Python module's
#    package python3-zub-feedback too: its fields, files and lintian, and
#    Debian's python3 imports the module from the unpacked root.
# 2. A server's way: a framework installed on its own (the stand-in under a
#    library name that no package owns, with a CMake package karst and a
#    pkg-config module karst of the kind a real framework provides), the
#    library built and packaged against it: one package, holding nothing
#    of the framework; the consumer again, both ways, against the unpacked
#    package and the framework.
# 3. A framework without a CMake package or pkg-config module, given by its
#    header and library alone; the library installed with cmake --install
#    and the consumer built against it both ways.
#
# Whatever of the project is installed on the machine, no step builds or
# runs against that copy (no_installed_copy).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/zub-install.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

step() { echo "check-install: $*"; }
fail() { echo "check-install: FAILED: $*" >&2; exit 1; }
quiet() {
  # Output only when a step fails.
  if ! "$@" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "$*"
  fi
}

./scripts/install-deps.sh package lintian
version=$(sed -n 's/^project(zub_feedback VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
debversion=$version-1
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$arch

# Every file of the zub-feedback package (directories left out), sorted.
expected_files() {
  cat <<EOF
./usr/bin/rmtool
./usr/include/zub_feedback/arithmetic.h
./usr/include/zub_feedback/augmented_response.h
./usr/include/zub_feedback/chicane_physics.h
./usr/include/zub_feedback/core.h
./usr/include/zub_feedback/corrector_limits.h
./usr/include/zub_feedback/feedback_loop.h
./usr/include/zub_feedback/inversion.h
./usr/include/zub_feedback/matrix.h
./usr/include/zub_feedback/matrix_io.h
./usr/include/zub_feedback/regularized_inverse.h
./usr/include/zub_feedback/response_measurement.h
./usr/include/zub_feedback/result.h
./usr/include/zub_feedback/weighted_inverse.h
./usr/include/zub_feedback/zub_feedback.h
./usr/include/zub_feedback/zub_feedback_export.h
./usr/include/zub_feedback/zub_feedback_version.h
./$libdir/cmake/zub_feedback/Findkarst.cmake
./$libdir/cmake/zub_feedback/ZubDependencies.cmake
./$libdir/cmake/zub_feedback/zub_feedbackConfig.cmake
./$libdir/cmake/zub_feedback/zub_feedbackConfigVersion.cmake
./$libdir/cmake/zub_feedback/zub_feedbackTargets-relwithdebinfo.cmake
./$libdir/cmake/zub_feedback/zub_feedbackTargets.cmake
./$libdir/libzub_feedback.so
./$libdir/libzub_feedback.so.$major
./$libdir/libzub_feedback.so.$version
./$libdir/pkgconfig/zub_feedback.pc
./usr/share/doc/zub-feedback/README.md
./usr/share/doc/zub-feedback/changelog.Debian.gz
./usr/share/doc/zub-feedback/changelog.gz
./usr/share/doc/zub-feedback/copyright
./usr/share/lintian/overrides/zub-feedback
./usr/share/man/man1/rmtool.1.gz
EOF
  # The pages of docs/ that README links to, as the sources have them.
  (cd docs && find . -path ./samples -prune -o -type f \( -name '*.md' \
    -o -name '*.png' -o -name '*.svg' \) -print) |
    sed 's|^\./|./usr/share/doc/zub-feedback/docs/|'
}

# check_package DEB DEPENDS-PATTERN...: the control fields and the files of
# the zub-feedback package; each pattern must match its Depends line.
check_package() {
  pkg=$1
  shift
  [ -f "$pkg" ] || fail "no package $pkg"
  dpkg-deb -I "$pkg" >"$work/info"
  sed -n 's/^ //p' "$work/info" | grep -q "^Package: zub-feedback$" ||
    fail "$pkg: package name"
  sed -n 's/^ //p' "$work/info" | grep -q "^Version: $debversion$" ||
    fail "$pkg: version is not $debversion"
  depends=$(sed -n 's/^ Depends: //p' "$work/info")
  echo "check-install:   Depends: $depends"
  for pattern in "$@"; do
    echo "$depends" | grep -Eq "$pattern" || fail "$pkg: Depends lacks $pattern"
  done
  dpkg-deb -c "$pkg" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
  expected_files | sort | diff -u - "$work/files" >&2 ||
    fail "$pkg: files differ from the expected ones (above)"
  dpkg-deb --fsys-tarfile "$pkg" | tar -xOf - "./$libdir/libzub_feedback.so.$version" \
    >"$work/lib.so"
  soname=$(readelf -d "$work/lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "libzub_feedback.so.$major" ] || fail "$pkg: SONAME is '$soname'"
}

# check_python_package DEB: the control fields and the files of
# python3-zub-feedback.
check_python_package() {
  pkg=$1
  [ -f "$pkg" ] || fail "no package $pkg"
  depends=$(dpkg-deb -f "$pkg" Depends)
  echo "check-install:   Depends: $depends"
  for pattern in "^zub-feedback-karst-standin \(= $debversion\)" \
    "(^|, )zub-feedback \(= $debversion\)" "python3-numpy" \
    "python3 \(>= 3\.[0-9]+\), python3 \(<< 3\.[0-9]+\)"; do
    echo "$depends" | grep -Eq "$pattern" || fail "$pkg: Depends lacks $pattern"
  done
  suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  dpkg-deb -c "$pkg" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
  sort >"$work/expected" <<EOF
./usr/lib/python3/dist-packages/zub_feedback$suffix
./usr/lib/python3/dist-packages/zub_feedback.pyi
./usr/share/doc/python3-zub-feedback/changelog.Debian.gz
./usr/share/doc/python3-zub-feedback/changelog.gz
./usr/share/doc/python3-zub-feedback/copyright
./usr/share/doc/python3-zub-feedback/examples/check_matrix.py
./usr/share/doc/python3-zub-feedback/examples/regularization_sweep.py
./usr/share/lintian/overrides/python3-zub-feedback
EOF
  diff -u "$work/expected" "$work/files" >&2 ||
    fail "$pkg: files differ from the expected ones (above)"
}

# run_lintian DEB...: every tag of severity error or warning fails.
run_lintian() {
  for pkg in "$@"; do
    lintian --fail-on error,warning "$pkg" >"$work/lintian" 2>&1 || {
      cat "$work/lintian" >&2
      fail "lintian on $pkg"
    }
  done
  echo "check-install:   lintian: no error or warning"
}

# no_build_paths LIBDIR: the installed CMake package and pkg-config file
# name no file of the build machine: no path under the temporary directory,
# no library or header by its absolute path; the pkg-config file's paths all
# start from its own place.
no_build_paths() {
  if grep -rEn "$work|(^|[\" ;])/[^\" ;]*\.(so|a)([.\" ;]|\$)|\"/usr/include|\"/opt/" \
    "$1/cmake/zub_feedback" ||
    grep -En "$work|(^|[ =])-?[LI]?/" "$1/pkgconfig/zub_feedback.pc"; then
    fail "the installed package files name paths of the build machine (above)"
  fi
}

# no_installed_copy PATH...: no file under PATH (a build tree, compiler
# flags, dependency lists, ldd's output, a process's mappings) names what this
# project's packages install in /usr: with them on the machine, each step
# still builds and runs against its own copy.
no_installed_copy() {
  if grep -rEn "(^|[^[:alnum:]._-]|-[IL])/(usr|lib)/[^ ;:\"']*(include/(zub_feedback|karst_standin)|lib(zub_feedback|karst_standin)\.so|(cmake|pkgconfig)/(zub_feedback|karst_standin)|dist-packages/zub_feedback)" \
    "$@" >&2; then
    fail "an installed copy of the project was used (above)"
  fi
}

# consumers NAME CMAKE-PREFIX-PATH PKG-CONFIG-PATH LIBRARY-PATH [CMAKE-ARGS]:
# builds and runs the consumer with find_package and with pkg-config.
# PKG_EXTRA holds what the host adds to pkg-config's flags.
consumers() {
  name=$1 prefixes=$2 pcpath=$3 libpath=$4
  shift 4
  quiet cmake -S tests/consumer -B "$work/consumer-$name" \
    -DCMAKE_PREFIX_PATH="$prefixes" "$@"
  quiet cmake --build "$work/consumer-$name"
  "$work/consumer-$name/consumer" >"$work/out" || fail "consumer ($name, CMake)"
  grep -qx "consumer: ok, zub_feedback $version" "$work/out" ||
    fail "consumer ($name, CMake) printed '$(cat "$work/out")'"
  ldd "$work/consumer-$name/consumer" >"$work/consumer-$name/consumer.ldd"
  # shellcheck disable=SC2086
  flags=$(PKG_CONFIG_PATH=$pcpath pkg-config --cflags --libs zub_feedback) ||
    fail "pkg-config ($name)"
  echo "$flags" >"$work/consumer-$name/pc.flags"
  # shellcheck disable=SC2086
  quiet c++ -std=c++17 tests/consumer/consumer.cc -o "$work/consumer-$name-pc" \
    -MD -MF "$work/consumer-$name/pc.d" $flags ${PKG_EXTRA:-}
  LD_LIBRARY_PATH=$libpath "$work/consumer-$name-pc" >"$work/out" ||
    fail "consumer ($name, pkg-config)"
  grep -qx "consumer: ok, zub_feedback $version" "$work/out" ||
    fail "consumer ($name, pkg-config) printed '$(cat "$work/out")'"
  LD_LIBRARY_PATH=$libpath ldd "$work/consumer-$name-pc" >"$work/consumer-$name/pc.ldd"
  no_installed_copy "$work/consumer-$name"
}

step "1. make package, with the bundled stand-in"
quiet make package PACKAGE_BUILD_DIR="$work/pkg" JOBS="$jobs"
deb=$work/pkg/zub-feedback_${debversion}_$(dpkg --print-architecture).deb
standin=$work/pkg/zub-feedback-karst-standin_${debversion}_$(dpkg --print-architecture).deb
python_deb=$work/pkg/python3-zub-feedback_${debversion}_$(dpkg --print-architecture).deb
check_package "$deb" "^zub-feedback-karst-standin \(= $debversion\)" \
  "libgsl[0-9]" "libopenblas0|libblas3" "libstdc\+\+6"
check_python_package "$python_deb"
dpkg-deb -c "$standin" | grep "libkarst_standin.so.0$" >/dev/null ||
  fail "the stand-in package lacks libkarst_standin.so.0"
if dpkg-deb -c "$standin" | awk '{ print $6 }' | grep -E "/karst/|libkarst\.so|/karst\.pc|karstConfig"; then
  fail "the stand-in package holds a name of the real framework (above)"
fi
run_lintian "$deb" "$standin" "$python_deb"
echo "check-install:   version $version, package $debversion, SONAME libzub_feedback.so.$major"
unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked"
dpkg-deb -x "$standin" "$unpacked"
dpkg-deb -x "$python_deb" "$unpacked"
quiet env LD_LIBRARY_PATH="$unpacked/$libdir" "$unpacked/usr/bin/rmtool" svd \
  "$root/examples/data/beamline_24x12.txt"
LD_LIBRARY_PATH="$unpacked/$libdir" ldd "$unpacked/usr/bin/rmtool" >"$work/rmtool.ldd"
no_installed_copy "$work/rmtool.ldd"
# The module from the unpacked root, not from a build tree, with its
# libraries from there too.
quiet env PYTHONPATH="$unpacked/usr/lib/python3/dist-packages" \
  LD_LIBRARY_PATH="$unpacked/$libdir" /usr/bin/python3 -s -c "
import zub_feedback as zf
assert zf.__file__.startswith('$unpacked/'), zf.__file__
assert zf.__version__ == '$version', zf.__version__
inv = zf.invert(zf.load('$root/examples/data/beamline_24x12.txt', 24, 12))
assert inv.inverse.shape == (12, 24) and inv.inverse.dtype == 'float32'
open('$work/python.maps', 'w').write(open('/proc/self/maps').read())
"
no_installed_copy "$work/python.maps"
echo "check-install:   python3 imports zub_feedback $version from the unpacked root"
no_build_paths "$unpacked/$libdir"
consumers package "$unpacked/usr" "$unpacked/$libdir/pkgconfig" "$unpacked/$libdir"

step "2. against an installed framework with a CMake package, packaged"
framework=$work/framework
# Its library under a name that no package owns: as libkarst_standin.so.0,
# dpkg-shlibdeps would find the stand-in's package on a machine that has it
# installed, and name it in Depends.
fwlib=zub_check_karst
quiet cmake -S karst -B "$work/karst" -DCMAKE_BUILD_TYPE=Release \
  -DKARST_STANDIN_LIBRARY=$fwlib
quiet cmake --build "$work/karst" -j "$jobs"
quiet cmake --install "$work/karst" --prefix "$framework"
# The framework's own package and module, as a real framework provides them.
mkdir -p "$framework/lib/cmake/karst"
cat >"$framework/lib/cmake/karst/karstConfig.cmake" <<EOF
get_filename_component(_karst_prefix "\${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET karst::karst)
  add_library(karst::karst SHARED IMPORTED)
  set_target_properties(karst::karst PROPERTIES
    IMPORTED_LOCATION "\${_karst_prefix}/lib/lib$fwlib.so.0"
    IMPORTED_SONAME lib$fwlib.so.0
    INTERFACE_INCLUDE_DIRECTORIES "\${_karst_prefix}/include/karst_standin"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
EOF
sed 's/^Name: .*/Name: karst/' "$framework/lib/pkgconfig/karst_standin.pc" \
  >"$framework/lib/pkgconfig/karst.pc"
export PKG_CONFIG_PATH="$framework/lib/pkgconfig"
# The library alone: the Python module's package was checked in step 1.
library_options="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
  -DZUB_FEEDBACK_USE_INSTALLED_KARST=ON -DZUB_FEEDBACK_BUILD_TESTS=OFF
  -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF -DZUB_FEEDBACK_BUILD_EXAMPLES=OFF
  -DZUB_FEEDBACK_BUILD_PYTHON=OFF"
# shellcheck disable=SC2086
quiet cmake -S . -B "$work/lib" $library_options -DCMAKE_PREFIX_PATH="$framework"
grep -q "^karst_DIR:PATH=$framework/lib/cmake/karst\$" "$work/lib/CMakeCache.txt" ||
  fail "the build did not use the installed framework"
[ ! -e "$work/lib/karst" ] || fail "the bundled stand-in was built as well"
quiet cmake --build "$work/lib" -j "$jobs"
(cd "$work/lib" && quiet cpack -G DEB)
hostdeb=$(ls "$work"/lib/*.deb)
[ "$hostdeb" = "$work/lib/zub-feedback_${debversion}_$(dpkg --print-architecture).deb" ] ||
  fail "packages made against an installed framework: $hostdeb"
check_package "$hostdeb" "libgsl[0-9]" "libopenblas0|libblas3"
if echo "$depends" | grep -q standin; then fail "Depends names the stand-in"; fi
unpacked=$work/root-host
dpkg-deb -x "$hostdeb" "$unpacked"
grep -q "^Requires: gsl karst$" "$unpacked/$libdir/pkgconfig/zub_feedback.pc" ||
  fail "zub_feedback.pc does not require the framework's module"
no_build_paths "$unpacked/$libdir"
consumers host "$unpacked/usr;$framework" \
  "$unpacked/$libdir/pkgconfig:$framework/lib/pkgconfig" \
  "$unpacked/$libdir:$framework/lib"
unset PKG_CONFIG_PATH

step "3. against a framework given by its header and library alone"
rm "$framework/lib/cmake/karst/karstConfig.cmake" "$framework/lib/pkgconfig/karst.pc"
karst_files="-DKARST_INCLUDE_DIR=$framework/include/karst_standin
  -DKARST_LIBRARY=$framework/lib/lib$fwlib.so"
# shellcheck disable=SC2086
quiet cmake -S . -B "$work/lib" $karst_files
quiet cmake --build "$work/lib" -j "$jobs"
prefix=$work/prefix
plibdir=$prefix/lib/$arch
quiet cmake --install "$work/lib" --prefix "$prefix"
grep -q "^Libs: .* -l$fwlib " "$plibdir/pkgconfig/zub_feedback.pc" ||
  fail "zub_feedback.pc does not name the framework's library"
no_build_paths "$plibdir"
# The host gives the framework's directories, to CMake and to pkg-config.
PKG_EXTRA="-I$framework/include/karst_standin -L$framework/lib"
# shellcheck disable=SC2086
consumers plain "$prefix" "$plibdir/pkgconfig" "$plibdir:$framework/lib" \
  $karst_files
PKG_EXTRA=""

echo "check-install: passed"
