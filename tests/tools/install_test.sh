#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the tree elsewhere and runs the
# installed tsneloss there: it must find its module and libraries by itself, then
# through TSNELOSS_MODULE, and --module must win over both.
#   install_test.sh CMAKE BUILD_DIR EXAMPLES_DIR
set -euo pipefail
cmake=$1 build=$2 examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/first" >/dev/null
cp -a "$work/first" "$work/copied"
rm -rf "$work/first"
tool="$work/copied/bin/tsneloss"
args=("$examples/iris_embedding.txt" "$examples/iris_p.mtx")

fail() { echo "install test: $*" >&2; exit 1; }

found=$(env -u TSNELOSS_MODULE "$tool" "${args[@]}" 2>/dev/null) || fail "the copied tree does not run"
[ -n "$found" ] || fail "no loss printed"
[ -z "$(find "$work/copied" -name 'test_module_*')" ] || fail "test modules were installed"

# Without the module beside it, the tool names where to point it.
mv "$work/copied/lib/tsnelossvek.so" "$work/module.so"
if env -u TSNELOSS_MODULE "$tool" "${args[@]}" 2>"$work/err"; then fail "ran without its module"; fi
grep -q "set TSNELOSS_MODULE" "$work/err" || fail "no hint: $(cat "$work/err")"
by_variable=$(TSNELOSS_MODULE="$work/module.so" "$tool" "${args[@]}" 2>/dev/null) || fail "TSNELOSS_MODULE not used"
[ "$by_variable" = "$found" ] || fail "TSNELOSS_MODULE gave $by_variable, not $found"
by_option=$(TSNELOSS_MODULE="$work/none.so" "$tool" --module "$work/module.so" "${args[@]}" 2>/dev/null) ||
  fail "--module did not win over TSNELOSS_MODULE"
[ "$by_option" = "$found" ] || fail "--module gave $by_option, not $found"
echo "installed tree: $found"
