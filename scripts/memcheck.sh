#!/bin/sh
# Runs every test program of a build under valgrind's memcheck (the programs
# they start included), each split into as many GoogleTest shards as there
# are cores and the shards run side by side, and fails on any invalid access,
# use of an uninitialised value, or definitely or indirectly lost block. Logs
# go to BUILD_DIR/memcheck/.
#   scripts/memcheck.sh BUILD_DIR
set -eu

build=${1:?usage: memcheck.sh BUILD_DIR}
# Absolute: a test may start a program in a directory of its own, and
# valgrind opens that program's log file from there.
build=$(cd "$build" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
logs="$build/memcheck"

shards=$(nproc)

# One shard of one program: its verdict goes to $logs/NAME.SHARD.result as
# "RESULT ERRORS LOST SECONDS".
if [ "${2:-}" = "--one" ]; then
  program=$3
  shard=$4
  name=$(basename "$program").$shard
  t0=$(date +%s)
  # %p: a log per process, so that the programs a test starts and the
  # children of death tests keep their own.
  if GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$shard" \
      valgrind --tool=memcheck --error-exitcode=99 \
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
  echo "$result $errors $lost $(($(date +%s) - t0))" >"$logs/$name.result"
  exit 0
fi

rm -rf "$logs"
mkdir -p "$logs"
started=$(date +%s)
for program in "$build"/tests/*_test; do
  [ -x "$program" ] || continue
  shard=0
  while [ "$shard" -lt "$shards" ]; do
    echo "$program $shard"
    shard=$((shard + 1))
  done
done | xargs -P "$shards" -n 2 sh "$0" "$build" --one

status=0
total_errors=0
total_lost=0
for program in "$build"/tests/*_test; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  result=passed errors=0 lost=0 seconds=0
  shard=0
  while [ "$shard" -lt "$shards" ]; do
    if [ -f "$logs/$name.$shard.result" ]; then
      read -r r e l t <"$logs/$name.$shard.result"
    else
      r=FAILED e=0 l=0 t=0
    fi
    [ "$r" = passed ] || result=FAILED
    errors=$((errors + e))
    lost=$((lost + l))
    seconds=$((seconds + t))
    shard=$((shard + 1))
  done
  [ "$result" = passed ] || status=1
  total_errors=$((total_errors + errors))
  total_lost=$((total_lost + lost))
  echo "memcheck: $name $result: $errors errors, $lost bytes lost ($seconds s in $shards shards)"
  if [ "$result" = FAILED ]; then
    grep -l -E "ERROR SUMMARY: [1-9]|(definitely|indirectly) lost: [1-9]" \
      "$logs/$name".*.log | sed 's/^/  see /' || tail -n 20 "$logs/$name".*.out
  fi
done
echo "memcheck: $total_errors errors, $total_lost bytes definitely or indirectly lost in all ($(($(date +%s) - started)) s)"
exit $status
