#!/usr/bin/env bash
# Makes (or completes) the directory of one till from an installation: the
# example configuration (only when the directory has none yet), the spool
# directory WOut, and the till's own program file trv_71_<POS on 3 digits>,
# a hard link to the installed trv_71 (a copy when the link cannot be made).
# Each till thus runs a program file of its own name: a starting program ends
# any running program of the same file name. The application then opens the
# till with the directory as client path and the same POS number: the library
# starts that file.
# Installed as bin/znp_new_till. Usage: znp_new_till DIRECTORY POS_NUMBER
set -euo pipefail

text="usage: znp_new_till DIRECTORY POS_NUMBER (1 to 999)
Makes the directory of one till: the example configuration, WOut and the
till's own program file trv_71_<POS on 3 digits> (docs/operations.md)."
usage() { echo "$text" >&2; exit 2; }
[ "${1:-}" = --help ] && { echo "$text"; exit 0; }
[ $# -eq 2 ] || usage
dir=$1
pos=$2
case $pos in '' | *[!0-9]*) usage ;; esac
pos=$((10#$pos))
[ "$pos" -ge 1 ] && [ "$pos" -le 999 ] || usage

bindir=$(cd "$(dirname "$0")" && pwd)
program=$bindir/trv_71
example=$bindir/../share/znp/example
[ -x "$program" ] || { echo "$(basename "$0"): no program $program" >&2; exit 1; }

mkdir -p "$dir"
if [ ! -e "$dir/WPAF" ]; then
  [ -d "$example/WPAF" ] || { echo "$(basename "$0"): no example configuration in $example" >&2; exit 1; }
  for sub in WCERT WCFG WPAF WTXT; do cp -R "$example/$sub" "$dir/"; done
  echo "configuration copied from $example"
fi
mkdir -p "$dir/WOut"
own=$(printf 'trv_71_%03d' "$pos")
tmp=$dir/.$own.new
rm -f "$tmp"
ln "$program" "$tmp" 2>/dev/null || cp "$program" "$tmp"
mv -f "$tmp" "$dir/$own"
echo "till $pos: $dir/$own (open it with the client path $dir and POS number $pos)"
