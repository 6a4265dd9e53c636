#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only
# those that are missing: nothing is run with sudo (or at all) when every one
# is there. Safe to run again.
# Usage: scripts/install-deps.sh [--fuzz]
#   --fuzz  also clang and its fuzzing runtime (the fuzz targets)
# ccache, when present, speeds rebuilds up; it is never installed from here.
set -euo pipefail
need=(cmake ninja-build g++ pkg-config libssl-dev openssl libgtest-dev libgmock-dev libbenchmark-dev)
for arg in "$@"; do
  case $arg in
    --fuzz) need+=(clang libclang-rt-14-dev) ;;
    *) echo "usage: $0 [--fuzz]" >&2; exit 2 ;;
  esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: no dpkg here; make sure these (or their equivalents) are installed: ${need[*]}" >&2
  exit 0
fi
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "install-deps: installing ${missing[*]}"
# env sets the variable for apt-get itself, also under sudo (which would
# otherwise drop it from the environment).
as_root=(env DEBIAN_FRONTEND=noninteractive)
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: root (or sudo) is needed to install: ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo env DEBIAN_FRONTEND=noninteractive)
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
