#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again.
set -euo pipefail
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev libssl-dev openssl
      libgtest-dev libgmock-dev googletest libbenchmark-dev ccache coreutils)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
