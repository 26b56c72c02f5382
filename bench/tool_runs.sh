#!/usr/bin/env bash
# Whole tsneloss runs on a generated t-SNE-like case (90 entries per column), from
# Matrix Market text, from .npz and from .mtx.gz, with --z given and the files in the
# page cache, next to `wc -l` on the text file and to the module call alone. The same P
# row after row (p_rows.mtx, and p_csr.npz against p_csc.npz, both stored) shows what
# the entries' order costs. Each time is the fastest of three; peak resident memory
# comes from /usr/bin/time and is set against the bytes of the arrays handed to the
# module.
#   bench/tool_runs.sh [N] [DIR]        (N defaults to 300000; DIR to a fresh temp dir)
# A DIR that already holds a case of N points is timed again without rewriting it.
# BASELINE=path/to/bin times that build's tsneloss too, in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-300000}
dir=${2:-$(mktemp -d)}
bin=build/dev/bin
mkdir -p "$dir"
if [ "$(cat "$dir/n.txt" 2>/dev/null)" != "$n" ] || [ ! -e "$dir/p_csr.npz" ]; then
  echo "writing the case (N = $n) to $dir" >&2
  "$bin/tool_inputs" "$dir" "$n" >"$dir/case.txt"
  echo "$n" >"$dir/n.txt"
fi
z=$(awk '$1 == "z" {print $2}' "$dir/case.txt")
module_s=$(awk '$1 == "module_call_s" {print $2}' "$dir/case.txt")
entries=$(sed -n 2p "$dir/p.mtx" | awk '{print $3}')
# Y (N by 2), row indices and values (one double each per entry), column counts.
array_bytes=$(( n * 2 * 8 + entries * 16 + n * 8 ))

calc() { awk "BEGIN {print $1}"; }

# Fastest of three runs of a command: "seconds peak_kib".
best_of_three() {
  local best="" line
  for _ in 1 2 3; do
    /usr/bin/time -o "$dir/time.txt" -f "%e %M" "$@" >/dev/null 2>&1
    line=$(tail -1 "$dir/time.txt")
    if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN {exit !(a < b)}'; then best=$line; fi
  done
  echo "$best"
}

cat "$dir"/p.* >/dev/null
wc_line=$(best_of_three wc -l "$dir/p.mtx")
wc_s=${wc_line%% *}
wc_rows_line=$(best_of_three wc -l "$dir/p_rows.mtx")
wc_rows_s=${wc_rows_line%% *}
printf "N = %d, %d entries, %d MB of text, arrays handed to the module %.0f MB\n" "$n" "$entries" \
  $(( $(stat -c %s "$dir/p.mtx") / 1000000 )) "$(calc "$array_bytes / 1000000")"
printf "%-26s %9s %10s %12s %14s\n" "run" "seconds" "x wc -l" "peak MB" "peak / arrays"
printf "%-26s %9.3f %10s %12s %14s\n" "wc -l p.mtx" "$wc_s" "1.0" "-" "-"
printf "%-26s %9.3f %10.1f %12s %14s\n" "module call alone" "$module_s" "$(calc "$module_s / $wc_s")" "-" "-"
printf "%-26s %9.3f %10s %12s %14s\n" "wc -l p_rows.mtx" "$wc_rows_s" "1.0" "-" "-"

# Seconds of the last run() (its line goes to stdout as well).
declare -A took
run() {
  local label=$1 tool=$2 file=$3 wc=$4 line seconds kib
  line=$(best_of_three "$tool" --z "$z" "$dir/y.npy" "$dir/$file")
  seconds=${line%% *}
  kib=${line##* }
  took[$label]=$seconds
  printf "%-26s %9.3f %10.1f %12.0f %14.2f\n" "$label" "$seconds" "$(calc "$seconds / $wc")" \
    "$(calc "$kib * 1024 / 1000000")" "$(calc "$kib * 1024 / $array_bytes")"
}

builds=("$bin")
[ -n "${BASELINE:-}" ] && builds=("$BASELINE" "$bin")
for build in "${builds[@]}"; do
  tag=""
  [ "$build" != "$bin" ] && tag="base "
  echo "${tag:-this build}: $build/tsneloss (x wc -l against the file's own wc -l)"
  for file in p.mtx p.npz p.mtx.gz p_csc.npz; do run "$tag$file" "$build/tsneloss" "$file" "$wc_s"; done
  for file in p_rows.mtx p_csr.npz; do run "$tag$file" "$build/tsneloss" "$file" "$wc_rows_s"; done
  printf "%sratios: p_rows.mtx / wc -l %.1f (at most 10), p_csr.npz / p_csc.npz %.2f (at most 1.3)\n" "$tag" \
    "$(calc "${took[${tag}p_rows.mtx]} / $wc_rows_s")" "$(calc "${took[${tag}p_csr.npz]} / ${took[${tag}p_csc.npz]}")"
done
