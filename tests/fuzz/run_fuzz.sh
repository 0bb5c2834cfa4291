#!/bin/sh
# Runs the fuzz target (the command line given) and ends with one line of figures; on a broken
# invariant or a sanitizer report, shows the fuzzer's own report and fails.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|NEW_FUNC' "$log" | tail -n 80
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
found=$(sed -n 's/^stat::new_units_added: *//p' "$log")
cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
echo "fuzzing: ${runs:-?} lists tried (${rate:-?} a second), ${found:-?} new inputs kept, ${cov:-cov: ?} edges; exit status $status"
exit "$status"
