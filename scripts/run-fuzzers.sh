#!/bin/sh
# A bounded run of every fuzz target: SECONDS each (default 60), starting
# from the seed corpus in fuzz/corpus/<target>/. New inputs go to
# BUILD_DIR/fuzz/corpus/<target>/ (the seeds stay as they are), logs and
# crashing inputs to BUILD_DIR/fuzz/. Fails if any target finds a crash.
#   scripts/run-fuzzers.sh BUILD_DIR [SECONDS]
set -eu

build=${1:?usage: run-fuzzers.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
src=$(cd "$(dirname "$0")/../fuzz" && pwd)
out="$build/fuzz"

status=0
for target in load_file matrix_text ringbuf_get matrix_ops; do
  work="$out/corpus/$target"
  mkdir -p "$work" "$out/artifacts"
  dict=""
  [ -f "$src/$target.dict" ] && dict="-dict=$src/$target.dict"
  log="$out/$target.log"
  # shellcheck disable=SC2086
  if "$out/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$target-" $dict \
      "$work" "$src/corpus/$target" >"$log" 2>&1; then
    result=passed
  else
    result=FAILED
    status=1
  fi
  runs=$(awk '/stat::number_of_executed_units:/ { print $2 }' "$log")
  cov=$(grep -E '^#[0-9]+' "$log" | tail -n 1 |
    sed -n 's/.*\(cov: [0-9]* ft: [0-9]* corp: [0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p')
  echo "fuzz: $target $result: ${runs:-?} runs in $seconds s, $cov"
  if [ "$result" = FAILED ]; then
    grep -E "check failed|ERROR: |SUMMARY:|Test unit written" "$log" | head -n 10
  fi
done
exit $status
