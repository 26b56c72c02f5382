#!/usr/bin/env bash
# Builds and runs the whole test suite: optimised, then under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh $(cat scripts/build-packages.txt)
for preset in dev asan-ubsan; do
  echo "== $preset" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
