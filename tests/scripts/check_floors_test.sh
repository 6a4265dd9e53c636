#!/usr/bin/env bash
# scripts/check-floors.sh on small trees planted in a temporary directory:
# it passes on includes that look down or stay on their floor, fails on each
# kind of climb (naming the file, the line and the include), lets an
# allowed exception through, and fails on an exception that no longer
# matches an include of its file.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-floors.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/znp-floors.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
# check NAME EXPECTED_EXIT EXPECTED_OUTPUT FILE:INCLUDE...
# Each FILE (under src/) is written with one #include line per INCLUDE
# given for it ("-" for a file without includes). EXPECTED_OUTPUT is a
# fixed text the output must hold ("" for any).
check() {
  local name=$1 want_rc=$2 want_out=$3
  shift 3
  local tree=$work/tree
  rm -rf "$tree"
  mkdir -p "$tree/src"
  local spec file inc
  for spec in "$@"; do
    file=${spec%%:*}
    inc=${spec#*:}
    mkdir -p "$(dirname "$tree/src/$file")"
    touch "$tree/src/$file"
    [ "$inc" = "-" ] || printf '#include "%s"\n' "$inc" >>"$tree/src/$file"
  done
  "$script" "$tree" >"$work/out" 2>&1
  local rc=$?
  if [ "$rc" -ne "$want_rc" ] || { [ -n "$want_out" ] && ! grep -qF -- "$want_out" "$work/out"; }; then
    echo "FAILED: $name: exit $rc (want $want_rc), output should hold: $want_out"
    sed 's/^/  out: /' "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

check "looks down and stays in its folder" 0 "no include climbs" \
  "station/eft_context.cpp:station/eft_context.h" "station/eft_context.cpp:periph/terminal_box.h" \
  "station/eft_context.cpp:core/trace.h" "app/startup.cpp:transactions/pos_answer.h" \
  "protocols/doran/doran_module.cpp:protocols/module_contract.h" "protocols/doran/doran_module.cpp:protocols/doran/doran_module.h" \
  "core/trace.cpp:core/builtin_key_tables.inc"
check "transactions and offline share a floor" 0 "" \
  "transactions/card_steps.cpp:offline/offline_services.h" "offline/offline_services.cpp:transactions/pos_answer.h"
check "the station includes the program" 1 "src/station/pos_link.cpp:2: app/main_loop.h (station -> app): CLIMB" \
  "station/pos_link.cpp:station/pos_link.h" "station/pos_link.cpp:app/main_loop.h"
check "the payment logic includes the program" 1 "src/transactions/server_dialogue.cpp:1: app/startup.h" \
  "transactions/server_dialogue.cpp:app/startup.h"
check "the station includes the payment logic" 1 "src/station/server_exchange.cpp:1: transactions/pos_answer.h" \
  "station/server_exchange.cpp:transactions/pos_answer.h"
check "a protocol module includes the script engine" 1 "(protocols/ruda -> periph): CLIMB" \
  "protocols/ruda/ruda_module.cpp:periph/terminal_box.h"
check "the contract includes a module" 1 "(protocols -> protocols/doran): CLIMB" \
  "protocols/module_contract.cpp:protocols/doran/doran_module.h"
check "one module includes another" 1 "one protocol module includes another" \
  "protocols/doran/doran_module.cpp:protocols/ruda/ruda_link.h"
check "the client library includes the core" 1 "(client -> core): CLIMB" \
  "client/exports.cpp:core/trace.h"
check "the client library includes the platform and its public header" 0 "" \
  "client/exports.cpp:znp_dll.h" "client/exports.cpp:platform/process.h" "client/exports.cpp:client/instance.h"
check "a floor includes the client library" 1 "nothing includes the client library" \
  "core/trace.cpp:client/dll_log.h"
check "an include from outside the floors" 1 "a folder outside the floors" \
  "station/options.cpp:netsim/acquirer.h"
check "every climb is listed, not only the first" 1 "2 include(s) climb" \
  "core/trace.cpp:comm/port_api.h" "comm/port_api.cpp:station/options.h"
check "an allowed exception passes with its reason" 0 "allowed: the RUDA block link runs on the XPRO link context" \
  "protocols/ruda/ruda_link.cpp:protocols/xpro/xpro_context.h"
check "an exception its file no longer needs fails" 1 "exception no longer used (remove it): src/protocols/pot.cpp protocols/ruda/ruda_level2.h" \
  "protocols/pot.cpp:protocols/doran/doran_emv.h"

# Spacing inside the directive does not hide a climb.
mkdir -p "$work/spaced/src/core"
printf '  #  include   "app/startup.h"\n' >"$work/spaced/src/core/dates.cpp"
if "$script" "$work/spaced" >"$work/out" 2>&1 || ! grep -qF "src/core/dates.cpp:1: app/startup.h" "$work/out"; then
  echo "FAILED: a spaced directive is read"
  sed 's/^/  out: /' "$work/out"
  failures=$((failures + 1))
else
  echo "ok: a spaced directive is read"
fi

exit $((failures > 0))
