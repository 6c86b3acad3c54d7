#!/bin/sh
# Installs, from Debian's packages, what building and testing need, and
# only what is missing. Safe to run again.
set -eu

# The Python module (python/) is built and tested with Debian's own python3.
packages="cmake make g++ pkg-config libgsl-dev libarmadillo-dev libopenblas-dev libblas-dev liblapack-dev libgtest-dev libbenchmark-dev python3-dev pybind11-dev python3-numpy python3-pytest"

# Extra lists, installed only when named on the command line, so that a plain
# `make test` stays lean. The sanitized build uses g++'s own runtimes.
#   valgrind  the memory checks (make test-valgrind)
#   fuzz      clang with libFuzzer and its sanitizer runtimes (make fuzz)
#   package   dpkg-shlibdeps, file and help2man for the Debian packages
#             (make package)
#   lintian   Debian's package checker (scripts/check-install.sh)
#   format    clang-format (make format, make format-check)
for extra in "$@"; do
  case "$extra" in
    valgrind) packages="$packages valgrind" ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    package) packages="$packages dpkg-dev file gzip help2man" ;;
    lintian) packages="$packages lintian" ;;
    format) packages="$packages clang-format" ;;
    *) echo "install-deps: unknown package list '$extra'" >&2; exit 2 ;;
  esac
done

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "install-deps: missing packages:$missing (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing$missing"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
