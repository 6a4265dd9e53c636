#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on the bundled
# example configuration: a cash-register test client loads libznp_dll.so,
# which starts trv_71 in a copy of example/ (its client directory), sends a
# few requests, prints the acknowledgements and answers, and closes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
run=build/example-run
rm -rf "$run"
mkdir -p "$run"
cp -r example/. "$run"/
mkdir -p "$run/WOut"   # spool directory of the consoles (the trace zone)
cp build/bin/trv_71 "$run"/trv_71
build/bin/cash_register --lib build/lib/libznp_dll.so --client "$PWD/$run" --pos 1 \
  --log "$PWD/$run/znp_dll.log" \
  "SV=s3,CD=c0" "SV=s12,CD=c25"
echo "logs and traces: $run"
