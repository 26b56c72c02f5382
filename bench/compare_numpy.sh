#!/usr/bin/env bash
# Times the kernel and the NumPy peer on the same generated case, side by side.
#   bench/compare_numpy.sh [N] [D] [spread|near]     (default 1000000 2 spread)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-1000000}
d=${2:-2}
pattern=${3:-spread}
scripts/install-deps.sh python3-numpy
tool=build/dev/bin/case_tool
[ -x "$tool" ] || { echo "build first: cmake --preset dev && cmake --build --preset dev" >&2; exit 1; }
file=$(mktemp)
trap 'rm -f "$file"' EXIT
"$tool" write "$file" "$n" "$d" "$pattern"
mapfile -t ours < <("$tool" time "$file")
mapfile -t peer < <(/usr/bin/python3 bench/numpy_peer.py "$file")
printf 'case: N=%s D=%s neighbours %s, double\n' "$n" "$d" "$pattern"
printf '%-14s %22s %14s\n' "" "loss" "ns per entry"
printf '%-14s %22s %14s\n' "kernel" "${ours[0]}" "${ours[1]}"
printf '%-14s %22s %14s\n' "log floor" "" "${ours[2]}"
printf '%-14s %22s %14s\n' "numpy peer" "${peer[0]}" "${peer[1]}"
awk -v k="${ours[1]}" -v p="${peer[1]}" 'BEGIN { printf "numpy peer / kernel: %.1fx\n", p / k }'
