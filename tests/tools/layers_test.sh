#!/usr/bin/env bash
# The tools stand in floors, each including only the floors below it:
#   support < numerics (normaliser, affinities) < core < formats < apps.
# Libraries of one floor do not include each other; the Python boundary includes only
# core and support; the module's rooms include no tool. Fails naming every include
# that breaks a line.
set -euo pipefail
root="$1"
status=0

# Every "dir/..." include of the files under `folder` must name one of the allowed dirs.
allow_only() {
  local folder=$1
  shift
  local allowed
  allowed=$(IFS='|'; echo "$*")
  local found
  found=$(grep -rnE '#include "[a-z_]+/' "$root/$folder" | grep -vE "#include \"($allowed)/" || true)
  if [ -n "$found" ]; then
    echo "$found"
    echo "$folder may include only: $*" >&2
    status=1
  fi
}

host='vq|drfl|loader|kernel'
allow_only tools/support support
allow_only tools/normaliser normaliser support
allow_only tools/affinities affinities support
allow_only tools/core core normaliser affinities support "$host"
allow_only tools/formats formats core normaliser affinities support
allow_only tools/apps apps formats core support "$host"
allow_only python core support
for room in gateway kernel errors; do
  allow_only "$room" gateway kernel errors "$host"
done
exit $status
