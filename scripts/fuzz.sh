#!/bin/sh
# Fuzzes every target of the fuzz build (preset fuzz, built first) for a
# bounded time, two at a time, and prints per target the executions and the
# coverage libFuzzer reached. The committed seed corpora are only read: new
# inputs go to a scratch corpus under build/fuzz/runs, crashes to
# build/fuzz/artifacts. Any crash or broken invariant fails the script.
#
#   ORV_FUZZ_SECONDS   seconds per target (default 60)
set -eu
cd "$(dirname "$0")/.."

seconds="${ORV_FUZZ_SECONDS:-60}"
targets="keystore pbe_restore"
build=build/fuzz
runs="$build/runs"
artifacts="$build/artifacts"
rm -rf "$runs"
mkdir -p "$runs" "$artifacts"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

fuzz() {
  target=$1
  mkdir -p "$runs/$target"
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -dict=fuzz/keystore.dict -artifact_prefix="$artifacts/$target-" \
    "$runs/$target" "fuzz/corpus/$target" >"$runs/$target.log" 2>&1
}

status=0
set -- $targets
while [ $# -gt 0 ]; do
  first=$1
  shift
  fuzz "$first" &
  firstPid=$!
  secondPid=""
  if [ $# -gt 0 ]; then
    second=$1
    shift
    fuzz "$second" &
    secondPid=$!
  fi
  wait "$firstPid" || { echo "fuzz_$first FAILED"; tail -40 "$runs/$first.log"; status=1; }
  if [ -n "$secondPid" ]; then
    wait "$secondPid" || { echo "fuzz_$second FAILED"; tail -40 "$runs/$second.log"; status=1; }
  fi
done

for target in $targets; do
  log="$runs/$target.log"
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -E '(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -1 |
             sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, ft \2/p')
  echo "fuzz_$target: ${executions:-?} executions in ${seconds} s, ${coverage:-no coverage line}"
done
[ "$status" -eq 0 ] || echo "crash inputs, if any, are in $artifacts"
exit "$status"
