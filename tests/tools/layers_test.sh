#!/usr/bin/env bash
# The tools' layers include only those below them: threads < numerics (normaliser,
# affinities) < core < formats < apps. Fails naming every include that reaches up.
set -euo pipefail
tools="$1/tools"
status=0
check() {  # layer, then the layers it must not include
  local layer=$1
  shift
  for above in "$@"; do
    if grep -rn "#include \"$above/" "$tools/$layer"; then
      echo "tools/$layer includes tools/$above, a layer above it" >&2
      status=1
    fi
  done
}
check threads normaliser affinities core formats apps
check normaliser core formats apps
check affinities core formats apps
check core formats apps
check formats apps
# The module's rooms know no tool.
for room in gateway kernel errors; do
  if grep -rnE '#include "(core|formats|apps|normaliser|affinities|threads)/' "$1/$room"; then
    echo "$room includes the tools" >&2
    status=1
  fi
done
exit $status
