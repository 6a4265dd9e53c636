#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${1:-build}; shift || true
scripts/build.sh "$dir" "$@"
ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" --timeout 300
