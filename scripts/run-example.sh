#!/usr/bin/env bash
# The main job: installs what is missing, builds what the job needs (trv_71,
# libznp_dll.so, the two cash-register clients, the acquirer simulator and
# the RUDA terminal simulator), prepares a till directory from example/,
# starts the terminal simulator on a pseudo-terminal as the till's payment
# terminal (example/terminal.scn: a chip card inserted, then removed) and the
# acquirer simulator as its payment server, then runs two clients through the
# library: the test client tools/cash_register (an abort while idle, a
# request that needs no terminal, a maintenance request that the program
# exchanges with the payment server, and a card payment of 5.00 EUR that
# must be approved with RS "00") and the example host example/host.c (an
# abort and a request, written in C as an application would). Prints what
# happened in words and exits non-zero when a step failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "=== build: trv_71, libznp_dll.so, cash_register, example_host, acquirer_sim, ruda_sim, sign_param_file"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target trv_71 znp_dll cash_register example_host acquirer_sim \
  ruda_sim sign_param_file

# The till's directory: its own program file (trv_71_001 for POS 1, which
# the library starts when the client path is the directory; each till of a
# machine has its own, see docs/operations.md), its configuration tree and
# its spool directory.
run=build/example-run
pos=1
rm -rf "$run"
mkdir -p "$run"
cp -r example/. "$run"/
rm -f "$run/host.c" "$run/terminal.scn"   # the example client and the terminal's scenario stay in example/
mkdir -p "$run/WOut"   # spool directory of the consoles (the trace zone)
cp build/bin/trv_71 "$run/$(printf 'trv_71_%03d' "$pos")"
dir=$PWD/$run

# The simulators end with the script, however it ends.
sims=()
stop_sims() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${sims[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap stop_sims EXIT

# Waits until FILE holds a line matching the sed expression EXPR (which
# prints what it captures) while process PID lives; prints the capture.
await_line() {
  local file=$1 expr=$2 pid=$3 got=
  for _ in $(seq 1 200); do
    got=$(sed -n "$expr" "$file")
    [ -n "$got" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  printf '%s' "$got"
}

# The payment terminal: the RUDA terminal simulator on a pseudo-terminal. It
# writes its slave into the run copy's WCFG/pinpad.cfg (the "Driver" of the
# terminal's serial link) and signs the file again.
build/bin/ruda_sim --scenario example/terminal.scn --driver-config "$run/WCFG/pinpad.cfg" >"$run/ruda_sim.out" 2>&1 &
sims+=($!)
slave=$(await_line "$run/ruda_sim.out" 's/^ruda_sim slave \(.*\)$/\1/p' "${sims[-1]}")
[ -n "$slave" ] || { echo "the terminal simulator did not start:"; cat "$run/ruda_sim.out"; exit 1; }
echo "=== payment terminal: RUDA terminal simulator on $slave (example/terminal.scn)"

# The payment server: the acquirer simulator on a free loopback port, over
# TCP (example/WCERT holds the certificate authority of the servers but not
# its key: no server certificate can be made under it here). It answers the
# first request (the maintenance) with an answer tag message of result 01,
# every later one (the payment) with result 00. The till's network
# resource 0 (WCFG/net_00.wt) is pointed at it and signed again.
printf 'answer reply\ndefault answer reply rs=00\n' >"$run/acquirer.scn"
build/bin/acquirer_sim --scenario "$run/acquirer.scn" >"$run/acquirer.out" 2>&1 &
sims+=($!)
port=$(await_line "$run/acquirer.out" 's/^acquirer_sim listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "${sims[-1]}")
[ -n "$port" ] || { echo "the acquirer simulator did not start:"; cat "$run/acquirer.out"; exit 1; }
sed -i "s/^\[SV1_000:[0-9]*\]/[SV1_000:$port]/" "$run/WCFG/net_00.wt"
build/bin/sign_param_file --crlf "$run/WCFG/net_00.wt" >/dev/null
echo "=== payment server: acquirer simulator on 127.0.0.1:$port (TCP)"

# Each client's whole output goes to a file of the run directory; it is
# shown when the client failed.
echo "=== main job on POS $pos: tools/cash_register, then example/host.c"
register=0
build/bin/cash_register --lib build/lib/libznp_dll.so --client "$dir" --pos "$pos" --log "$dir/znp_dll.log" \
  "SV=s3,CD=c0" "SV=s12,CD=c25" "SV=s2,CD=c19" "SV=s0,CD=c1,D10=500,D0=978" >"$run/cash_register.out" 2>&1 ||
  register=$?
host=0
build/bin/example_host "$dir" "$pos" "$dir/znp_dll.log" >"$run/host.out" 2>&1 || host=$?

echo "cash_register (loads the library with dlopen):"
sed -n '/^summary:$/,$p' "$run/cash_register.out" | tail -n +2
[ "$register" -eq 0 ] || { echo "  FAILED (exit $register); its output:"; sed 's/^/    /' "$run/cash_register.out"; }
echo "example host (linked with -lznp_dll):"
grep -E '^(open|abort|request|  result|close)' "$run/host.out" | sed 's/^ */  /'
[ "$host" -eq 0 ] || { echo "  FAILED (exit $host); its output:"; sed 's/^/    /' "$run/host.out"; }

# The card payment: approved only with RS "00".
grep -q '^  request s0/c1: .*; answer RS 00:' "$run/cash_register.out" ||
  { echo "  FAILED: the card payment (s0/c1) was not answered with RS 00"; register=1; }
echo "the till's answer to the card payment:"
sed -n '/^send {SV}s0{CD}c1/,/^  answer:/p' "$run/cash_register.out" | sed -n 's/^  answer: /  /p'

# The terminal's requests as the simulator printed them (NAD, PCB, number of
# blocks, the command -> the terminal's answer), each said in words.
echo "payment terminal (RUDA terminal simulator), each request of the program:"
while read -r nad n pcb p blocks b cmd arrow ans; do
  [ "$nad" = NAD ] || continue
  case $n:$cmd in
    11:*) what="to the chip card" ;;
    *:D0600000 | *:D0610000) what="card readers off" ;;
    *:D060* | *:D061*) what="card status: waits for the card" ;;
    *:D0FF*) what="abort of the terminal's running command" ;;
    *:D000* | *:D00A*) what="terminal reset (answered with its serial number)" ;;
    *) what="" ;;
  esac
  printf '  %-10s -> %-60s %s\n' "$cmd" "$ans" "$what"
done <"$run/ruda_sim.out"
grep -q '^NAD .* D0FF0000 ->' "$run/ruda_sim.out" && grep -q '^NAD .* D000002F ->' "$run/ruda_sim.out" ||
  { echo "  FAILED: the terminal was not reset at the end of the payment (D0FF0000, D000002F)"; register=1; }

echo "payment server (acquirer simulator):"
grep -E '^(greeting|request|answer|closing)' "$run/acquirer.out" | sed 's/^/  /'
grep -q '^request .*A=1500' "$run/acquirer.out" || { echo "  FAILED: the maintenance request did not reach the server"; register=1; }
grep -q '^request .*{SV}s0{CD}c1' "$run/acquirer.out" || { echo "  FAILED: the card payment did not reach the server"; register=1; }

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
echo "whole outputs in $run: ruda_sim.out (every request of the terminal as the simulator printed it), acquirer.out,"
echo "  cash_register.out, host.out"
if [ "$register" -ne 0 ] || [ "$host" -ne 0 ]; then
  echo "main job FAILED"
  exit 1
fi
echo "main job: all steps passed"
