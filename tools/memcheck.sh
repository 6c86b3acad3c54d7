#!/bin/sh
# Runs every test program of a build under valgrind's memcheck, one process
# per program (the programs they start included), as many at a time as there
# are cores, and fails on any invalid access, use of an uninitialised value,
# or definitely or indirectly lost block. Logs go to BUILD_DIR/memcheck/.
#   tools/memcheck.sh BUILD_DIR
set -eu

build=${1:?usage: memcheck.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
logs="$build/memcheck"

# One program: its verdict goes to $logs/NAME.result as
# "NAME RESULT ERRORS LOST SECONDS".
if [ "${2:-}" = "--one" ]; then
  program=$3
  name=$(basename "$program")
  t0=$(date +%s)
  # %p: a log per process, so that the programs a test starts and the
  # children of death tests keep their own.
  if valgrind --tool=memcheck --error-exitcode=99 \
      --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect \
      --track-origins=yes --num-callers=40 \
      --suppressions="$root/tests/valgrind.supp" \
      --trace-children=yes \
      --log-file="$logs/$name.%p.log" \
      "$program" >"$logs/$name.out" 2>&1; then
    result=passed
  else
    result=FAILED
  fi
  errors=$(cat "$logs/$name".*.log | awk '/ERROR SUMMARY:/ { s += $4 } END { print s + 0 }')
  lost=$(cat "$logs/$name".*.log | tr -d , |
    awk '/(definitely|indirectly) lost:/ { s += $4 } END { print s + 0 }')
  # A program that a test starts reports in its own log, whatever the test
  # makes of its exit status.
  if [ "$errors" -ne 0 ] || [ "$lost" -ne 0 ]; then
    result=FAILED
  fi
  echo "$name $result $errors $lost $(($(date +%s) - t0))" >"$logs/$name.result"
  exit 0
fi

rm -rf "$logs"
mkdir -p "$logs"
started=$(date +%s)
for program in "$build"/tests/*_test; do
  [ -x "$program" ] && echo "$program"
done | xargs -P "$(nproc)" -n 1 sh "$0" "$build" --one

status=0
total_errors=0
total_lost=0
for program in "$build"/tests/*_test; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  if [ -f "$logs/$name.result" ]; then
    read -r _ result errors lost seconds <"$logs/$name.result"
  else
    result=FAILED errors=0 lost=0 seconds=0
  fi
  [ "$result" = passed ] || status=1
  total_errors=$((total_errors + errors))
  total_lost=$((total_lost + lost))
  echo "memcheck: $name $result: $errors errors, $lost bytes lost ($seconds s)"
  if [ "$result" = FAILED ]; then
    grep -l -E "ERROR SUMMARY: [1-9]|(definitely|indirectly) lost: [1-9]" \
      "$logs/$name".*.log | sed 's/^/  see /' || tail -n 20 "$logs/$name.out"
  fi
done
echo "memcheck: $total_errors errors, $total_lost bytes definitely or indirectly lost in all ($(($(date +%s) - started)) s)"
exit $status
