#!/usr/bin/env bash
# Fuzzes what the service does with raw pipe bytes before any check: framing over arbitrary
# chunking, parsing, the response writer and the log escaping (libFuzzer with ASan/UBSan, native).
# Usage: tools/fuzz-requests.sh [seconds]    default 1800; ./run-tests.sh runs it for FUZZ_SECONDS.
# Prints the executions and the coverage reached; the corpus grows in build/native/fuzz-corpus/request.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}

cmake --preset native >/dev/null
cmake --build --preset native --target request_fuzzer >/dev/null
corpus=build/native/fuzz-corpus/request
mkdir -p "$corpus"
log=$(mktemp)
status=0
build/native/tests/native/request_fuzzer -max_total_time="$seconds" -max_len=4200 \
  -print_final_stats=1 "$corpus" tests/native/fuzz-seeds/request >"$log" 2>&1 || status=$?
grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^Done|stat::number_of_executed_units|INFO: seed" "$log" || true
[ "$status" -eq 0 ] || tail -40 "$log"
rm -f "$log"
exit "$status"
