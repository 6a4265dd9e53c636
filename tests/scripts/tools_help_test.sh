#!/usr/bin/env bash
# Every program of tools/ (one per tools/*.cpp) and the installed helpers
# answer --help: the usage on standard output, naming the program, nothing on
# standard error, exit code 0. A new tool without --help fails here.
# Usage: tests/scripts/tools_help_test.sh SOURCE_DIR BIN_DIR
set -uo pipefail
src=$1
bin=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/znp-help.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
check() {
  local name=$1 program=$2
  if [ ! -x "$program" ]; then
    echo "$name: not built ($program)"
    failed=1
    return
  fi
  (cd "$work" && timeout 10 "$program" --help </dev/null >"$work/out" 2>"$work/err")
  local rc=$?
  if [ "$rc" -ne 0 ]; then echo "$name --help: exit code $rc"; failed=1; fi
  if [ -s "$work/err" ]; then echo "$name --help wrote on standard error: $(head -c 200 "$work/err")"; failed=1; fi
  if ! grep -q "$name" "$work/out" || ! grep -qi 'usage\|SYNTAXE' "$work/out"; then
    echo "$name --help: no usage naming it: $(head -c 200 "$work/out")"
    failed=1
  fi
}
count=0
for source in "$src"/tools/*.cpp; do
  name=$(basename "$source" .cpp)
  check "$name" "$bin/$name"
  count=$((count + 1))
done
[ "$count" -gt 0 ] || { echo "no tool found under $src/tools"; failed=1; }
check trv_71 "$bin/trv_71"
check znp_new_till "$src/scripts/new-till.sh"
[ "$failed" -eq 0 ] && echo "every tool answers --help"
exit "$failed"
