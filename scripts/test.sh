#!/usr/bin/env bash
# Builds and runs the whole test suite: optimised, then under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short coverage-guided fuzz run of the gateway.
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

echo "== fuzz (45 s from the committed corpus)" >&2
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target gateway_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work" "$work.log"' EXIT
status=0
build/fuzz/bin/gateway_fuzzer -max_total_time=45 -print_final_stats=1 "$work" tests/fuzz/corpus \
  >"$work.log" 2>&1 || status=$?
grep -E "INITED|DONE|number_of_executed_units" "$work.log" || true
if [ "$status" -ne 0 ]; then
  tail -n 60 "$work.log"
  exit "$status"
fi
echo "fuzz: no crash"
