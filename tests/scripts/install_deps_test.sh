#!/usr/bin/env bash
# scripts/install-deps.sh against fake dpkg-query, id, sudo and apt-get: it
# runs nothing as root when every package is there (ccache never counts),
# installs exactly the missing packages, and apt-get sees
# DEBIAN_FRONTEND=noninteractive with or without sudo.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/znp-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir -p "$bin"
for tool in grep env cat; do ln -s "$(command -v $tool)" "$bin/$tool"; done
cat >"$bin/dpkg-query" <<'FAKE'
#!/bin/bash
pkg=${!#}
for m in $FAKE_MISSING; do [ "$m" = "$pkg" ] && { echo -n "unknown ok not-installed"; exit 1; }; done
echo -n "install ok installed"
FAKE
cat >"$bin/id" <<'FAKE'
#!/bin/bash
echo "$FAKE_UID"
FAKE
cat >"$bin/apt-get" <<'FAKE'
#!/bin/bash
echo "apt-get DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-} $*" >>"$FAKE_LOG"
FAKE
# Like sudo's default env_reset: the command gets a fresh environment.
cat >"$work/sudo" <<'FAKE'
#!/bin/bash
echo "sudo" >>"$FAKE_LOG"
exec env -i PATH="$PATH" FAKE_LOG="$FAKE_LOG" "$@"
FAKE
chmod +x "$bin"/* "$work/sudo"

failures=0
# check NAME UID MISSING WITH_SUDO EXPECTED_EXIT EXPECTED_LOG [ARGS...]
check() {
  local name=$1 uid=$2 missing=$3 with_sudo=$4 want_rc=$5 want_log=$6
  shift 6
  rm -f "$work/log" "$bin/sudo"
  touch "$work/log"
  [ "$with_sudo" = yes ] && ln -s "$work/sudo" "$bin/sudo"
  PATH=$bin FAKE_UID=$uid FAKE_MISSING=$missing FAKE_LOG=$work/log /bin/bash "$script" "$@" >"$work/out" 2>&1
  local rc=$?
  local log
  log=$(/bin/cat "$work/log")
  if [ "$rc" -ne "$want_rc" ] || [ "$log" != "$want_log" ]; then
    echo "FAILED: $name: exit $rc (want $want_rc)"
    echo "  calls:    ${log//$'\n'/ | }"
    echo "  expected: ${want_log//$'\n'/ | }"
    /bin/sed 's/^/  out: /' "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}
nl=$'\n'
update="apt-get DEBIAN_FRONTEND=noninteractive update"
check "all present, not root: nothing run" 1000 "" yes 0 ""
check "only ccache missing: nothing run" 1000 "ccache" yes 0 ""
check "fuzzing tools not asked for: nothing run" 1000 "clang libclang-rt-14-dev" yes 0 ""
check "missing package, not root: sudo apt-get of it alone" 1000 "libssl-dev" yes 0 \
  "sudo$nl$update${nl}sudo${nl}apt-get DEBIAN_FRONTEND=noninteractive install -y --no-install-recommends libssl-dev"
check "missing packages as root: apt-get without sudo" 0 "cmake pkg-config" no 0 \
  "$update${nl}apt-get DEBIAN_FRONTEND=noninteractive install -y --no-install-recommends cmake pkg-config"
check "fuzzing tools asked for" 0 "clang" no 0 \
  "$update${nl}apt-get DEBIAN_FRONTEND=noninteractive install -y --no-install-recommends clang" --fuzz
check "missing package, not root, no sudo: clear failure" 1000 "cmake" no 1 ""
exit $((failures > 0))
