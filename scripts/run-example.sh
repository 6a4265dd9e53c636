#!/usr/bin/env bash
# The main job: installs what is missing, builds what the job needs (trv_71,
# libznp_dll.so, the two cash-register clients and the acquirer simulator),
# prepares a till directory from example/, starts the acquirer simulator as
# the till's payment server, then runs two clients through the library: the
# test client tools/cash_register (an abort while idle, a request that needs
# no terminal and a maintenance request that the program exchanges with the
# payment server) and the example host example/host.c (an abort and a
# request, written in C as an application would). Prints what happened in
# words and exits non-zero when a step failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "=== build: trv_71, libznp_dll.so, cash_register, example_host, acquirer_sim, sign_param_file"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target trv_71 znp_dll cash_register example_host acquirer_sim \
  sign_param_file

# The till's directory: the program, its configuration tree and its spool
# directory.
run=build/example-run
rm -rf "$run"
mkdir -p "$run"
cp -r example/. "$run"/
rm -f "$run/host.c"
mkdir -p "$run/WOut"   # spool directory of the consoles (the trace zone)
cp build/bin/trv_71 "$run"/trv_71
dir=$PWD/$run
pos=1

# The payment server: the acquirer simulator on a free loopback port, which
# answers each request with an answer tag message of result 01. The till's
# network resource 0 (WCFG/net_00.wt) is pointed at it and signed again.
printf 'default answer reply\n' >"$run/acquirer.scn"
build/bin/acquirer_sim --scenario "$run/acquirer.scn" >"$run/acquirer.out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^acquirer_sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$run/acquirer.out")
  [ -n "$port" ] && break
  kill -0 "$sim" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || { echo "the acquirer simulator did not start:"; cat "$run/acquirer.out"; exit 1; }
sed -i "s/^\[SV1_000:[0-9]*\]/[SV1_000:$port]/" "$run/WCFG/net_00.wt"
build/bin/sign_param_file --crlf "$run/WCFG/net_00.wt" >/dev/null
echo "=== payment server: acquirer simulator on 127.0.0.1:$port"

# Each client's whole output goes to a file of the run directory; it is
# shown when the client failed.
echo "=== main job on POS $pos: tools/cash_register, then example/host.c"
register=0
build/bin/cash_register --lib build/lib/libznp_dll.so --client "$dir" --pos "$pos" --log "$dir/znp_dll.log" \
  "SV=s3,CD=c0" "SV=s12,CD=c25" "SV=s2,CD=c19" >"$run/cash_register.out" 2>&1 || register=$?
host=0
build/bin/example_host "$dir" "$pos" "$dir/znp_dll.log" >"$run/host.out" 2>&1 || host=$?

echo "cash_register (loads the library with dlopen):"
sed -n '/^summary:$/,$p' "$run/cash_register.out" | tail -n +2
[ "$register" -eq 0 ] || { echo "  FAILED (exit $register); its output:"; sed 's/^/    /' "$run/cash_register.out"; }
echo "example host (linked with -lznp_dll):"
grep -E '^(open|abort|request|  result|close)' "$run/host.out" | sed 's/^ */  /'
[ "$host" -eq 0 ] || { echo "  FAILED (exit $host); its output:"; sed 's/^/    /' "$run/host.out"; }

echo "payment server (acquirer simulator):"
grep -E '^(greeting|request|answer|closing)' "$run/acquirer.out" | sed 's/^/  /'
grep -q '^request .*A=1500' "$run/acquirer.out" || { echo "  FAILED: the maintenance request did not reach the server"; register=1; }

echo "files of the till in $run (docs/operations.md tells their formats):"
(
  cd "$run"
  for f in ZNP_DLL_*.LOG *.POS *.SRV WOut/*.SPO; do
    [ -e "$f" ] || continue
    case $f in
      ZNP_DLL_x_*) what="library log lines of no opened till" ;;
      ZNP_DLL_*) what="library log of the till" ;;
      *.POS) what="exchange log: messages to and from the cash register" ;;
      *.SRV) what="exchange log: messages to and from the payment servers" ;;
      WOut/CA*) what="the program's trace" ;;
      WOut/SP*) what="enciphered card numbers" ;;
      WOut/E5*) what="spool of the terminal's screen window (WCFG/dsp_00.wt)" ;;
      WOut/F5*) what="tickets printed to a file (WCFG/prn_00.wt)" ;;
      *) what="" ;;
    esac
    printf '  %-20s %s\n' "$f" "$what"
  done
)
if [ "$register" -ne 0 ] || [ "$host" -ne 0 ]; then
  echo "main job FAILED"
  exit 1
fi
echo "main job: all steps passed"
