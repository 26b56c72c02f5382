#!/usr/bin/env bash
# Builds and runs the whole test suite: optimised, then under AddressSanitizer and
# UndefinedBehaviorSanitizer, then short coverage-guided fuzz runs of the gateway and
# of each reader family.
# The Python package's tests (/usr/bin/python3 -m pytest tests/python) run under CTest
# in the optimised build; the sanitizer build leaves the package out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh $(cat scripts/build-packages.txt) clang libclang-rt-14-dev
for preset in dev asan-ubsan; do
  echo "== $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# Each fuzz target runs briefly from its committed corpus: the gateway's longer, each
# reader family's for a while. Any crash or sanitizer report fails the run.
echo "== fuzz (from the committed corpora)" >&2
cmake --preset fuzz >/dev/null
fuzzers=()
for source in tests/fuzz/*_fuzzer.cpp; do
  fuzzers+=("$(basename "$source" .cpp)")
done
cmake --build --preset fuzz --target "${fuzzers[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Runs one target; its log and exit status land in $work.
fuzz_one() {
  local fuzzer=$1 family=${1%_fuzzer} corpus seconds=6 status=0
  corpus=tests/fuzz/corpus_$family
  if [ "$fuzzer" = gateway_fuzzer ]; then
    corpus=tests/fuzz/corpus
    seconds=12
  fi
  mkdir -p "$work/$family"
  build/fuzz/bin/$fuzzer -max_total_time=$seconds -print_final_stats=1 "$work/$family" "$corpus" \
    >"$work/$family.log" 2>&1 || status=$?
  echo "$status" >"$work/$family.status"
}
# Two at a time, one per core; each keeps its own time.
for ((k = 0; k < ${#fuzzers[@]}; k += 2)); do
  fuzz_one "${fuzzers[k]}" &
  if [ $((k + 1)) -lt ${#fuzzers[@]} ]; then fuzz_one "${fuzzers[k + 1]}" & fi
  wait
done
for fuzzer in "${fuzzers[@]}"; do
  family=${fuzzer%_fuzzer}
  status=$(cat "$work/$family.status")
  echo "$fuzzer: $(grep -E "number_of_executed_units" "$work/$family.log" | tr -s ' ')" >&2
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$family.log"
    exit "$status"
  fi
done
echo "fuzz: no crash in ${#fuzzers[@]} targets"
