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
for fuzzer in "${fuzzers[@]}"; do
  family=${fuzzer%_fuzzer}
  corpus=tests/fuzz/corpus_$family
  seconds=6
  if [ "$fuzzer" = gateway_fuzzer ]; then
    corpus=tests/fuzz/corpus
    seconds=12
  fi
  mkdir -p "$work/$family"
  status=0
  build/fuzz/bin/$fuzzer -max_total_time=$seconds -print_final_stats=1 "$work/$family" "$corpus" \
    >"$work/$family.log" 2>&1 || status=$?
  echo "$fuzzer: $(grep -E "number_of_executed_units" "$work/$family.log" | tr -s ' ')" >&2
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/$family.log"
    exit "$status"
  fi
done
echo "fuzz: no crash in ${#fuzzers[@]} targets"
