#!/usr/bin/env bash
# Installs what is missing, builds, and runs trv_71 on the bundled example
# configuration with a one-shot request.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
exec build/bin/trv_71 -i1 -p"$PWD/example" -R'{SS}R{PS}001{SV}s3{CD}c0{F}'
