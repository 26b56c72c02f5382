#!/usr/bin/env bash
# Builds the module and runs it, through the host's loader, on the shipped example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh $(cat scripts/build-packages.txt)
cmake --preset dev >/dev/null
cmake --build --preset dev --target tsnelossvek loss_demo >/dev/null
build/dev/bin/loss_demo build/dev/lib/tsnelossvek.so
