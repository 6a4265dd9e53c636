#!/usr/bin/env bash
# The main job: installs what is missing, builds what the job needs (trv_71,
# libznp_dll.so, the two cash-register clients, the acquirer simulator and
# the RUDA terminal simulator), prepares a till directory from example/,
# starts the terminal simulator on a pseudo-terminal as the till's payment
# terminal (example/terminal.scn: a chip card for each of two payments) and
# the acquirer simulator as its payment server, then runs two clients
# through the library: the test client tools/cash_register (an abort while
# idle, a request that needs no terminal, a maintenance request that the
# program exchanges with the payment server, and a card payment of 12.34
# EUR) and the example host example/host.c (an abort and a request, a card
# payment of 12.34 EUR with every tag of its answer, and a payment it aborts
# while the till waits for the card). For each payment the payment server
# reads the chip card itself through the program's terminal relay (SELECT,
# GET PROCESSING OPTIONS, READ RECORD, GENERATE AC) before it approves, and
# its answer carries the card data a cash register prints (the card number
# masked). Prints what happened in words and exits non-zero when a step
# failed.
#
# Usage: scripts/run-example.sh [--pos N]   (or ZNP_EXAMPLE_POS=N; 61 by
# default, below the POS numbers the tests take, 100 and above)
set -euo pipefail
cd "$(dirname "$0")/.."

pos=${ZNP_EXAMPLE_POS:-61}
while [ $# -gt 0 ]; do
  case $1 in
    --pos) [ $# -ge 2 ] || { echo "usage: $0 [--pos N]" >&2; exit 2; }; pos=$2; shift 2 ;;
    --help) echo "usage: $0 [--pos N]   (or ZNP_EXAMPLE_POS=N; 61 by default)"; exit 0 ;;
    *) echo "usage: $0 [--pos N]" >&2; exit 2 ;;
  esac
done
case $pos in '' | *[!0-9]*) echo "the POS number must be 1 to 999: $pos" >&2; exit 2 ;; esac
pos=$((10#$pos))
[ "$pos" -ge 1 ] && [ "$pos" -le 999 ] || { echo "the POS number must be 1 to 999: $pos" >&2; exit 2; }
amount=1234   # 12.34 EUR, in cents

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
# terminal's serial link) and signs the file again; it puts the file back as
# it was when it ends.
build/bin/ruda_sim --scenario example/terminal.scn --driver-config "$run/WCFG/pinpad.cfg" >"$run/ruda_sim.out" 2>&1 &
sims+=($!)
slave=$(await_line "$run/ruda_sim.out" 's/^ruda_sim slave \(.*\)$/\1/p' "${sims[-1]}")
[ -n "$slave" ] || { echo "the terminal simulator did not start:"; cat "$run/ruda_sim.out"; exit 1; }
echo "=== payment terminal: RUDA terminal simulator on $slave (example/terminal.scn)"

# The payment server: the acquirer simulator on a free loopback port, over
# TCP (example/WCERT holds the certificate authority of the servers but not
# its key: no server certificate can be made under it here). It answers the
# first request (the maintenance) with an answer tag message of result 01.
# On each payment it first reads the chip card through the program's
# terminal relay (chip: SELECT, GET PROCESSING OPTIONS, a READ RECORD per
# record, GENERATE AC, each relayed to the terminal of port 0 and fetched
# back), then approves with result 00 and the card data (card: the card
# number masked, the expiry, the chip as how it was read) and a ticket. The
# till's network resource 0 (WCFG/net_00.wt) is pointed at it and signed
# again.
cat >"$run/acquirer.scn" <<'SCENARIO'
answer reply
default answer 1400 chip reply rs=00 card d3l="CARTE BANCAIRE - PAIEMENT ACCEPTE"
SCENARIO
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
  "SV=s3,CD=c0" "SV=s12,CD=c25" "SV=s2,CD=c19" "SV=s0,CD=c1,D10=$amount,D0=978" >"$run/cash_register.out" 2>&1 ||
  register=$?
host=0
build/bin/example_host "$dir" "$pos" "$dir/znp_dll.log" "$amount" >"$run/host.out" 2>&1 || host=$?

echo "cash_register (loads the library with dlopen):"
sed -n '/^summary:$/,$p' "$run/cash_register.out" | tail -n +2
[ "$register" -eq 0 ] || { echo "  FAILED (exit $register); its output:"; sed 's/^/    /' "$run/cash_register.out"; }
echo "example host (linked with -lznp_dll):"
grep -E '^(open|abort|request|card payment|  result|  tag|  abort|  the payment|close)' "$run/host.out" |
  sed 's/^ */  /'
[ "$host" -eq 0 ] || { echo "  FAILED (exit $host); its output:"; sed 's/^/    /' "$run/host.out"; }

# The card payment of the test client: approved only with RS "00", and its
# answer holds the card number as a cash register prints it: masked, its
# first six and last four digits kept.
grep -q '^  request s0/c1: .*; answer RS 00:' "$run/cash_register.out" ||
  { echo "  FAILED: the card payment (s0/c1) was not answered with RS 00"; register=1; }
answer=$(sed -n '/^send {SV}s0{CD}c1/,/^  answer:/p' "$run/cash_register.out" | sed -n 's/^  answer: //p')
echo "the till's answer to the card payment of 12.34 EUR, tag by tag:"
printf '%s\n' "$answer" | sed 's/{F}$//; s/{/\n{/g' | sed -n 's/^{\([^}]*\)}\(.*\)$/  \1 = \2/p'
pan=$(printf '%s' "$answer" | sed -n 's/.*{D1A}\([^{]*\).*/\1/p')
if printf '%s' "$pan" | grep -Eq '^[0-9]{6}0+[0-9]{4}$' && [ "$pan" != 4970100012345670 ]; then
  echo "  the card number arrives masked ($pan): the first six and the last four digits, zeros between"
else
  echo "  FAILED: the answer holds no masked card number (D1A '$pan')"
  register=1
fi

# The chip dialogue: the payment server relayed each command to the
# terminal, and the terminal simulator passed it to the card (NAD 11).
echo "chip dialogue of the payment server through the terminal relay (before it approves):"
grep '^chip dialogue' "$run/acquirer.out" | sed 's/^/  /'
for apdu in 00A4:SELECT 80A8:"GET PROCESSING OPTIONS" 00B2:"READ RECORD" 80AE:"GENERATE AC"; do
  head=${apdu%%:*}
  if grep -q "^NAD 11 .*  $head" "$run/ruda_sim.out"; then
    echo "  $head (${apdu#*:}) reached the card"
  else
    echo "  FAILED: no ${apdu#*:} ($head) reached the card"
    register=1
  fi
done

# The terminal's requests as the simulator printed them (NAD, PCB, number of
# blocks, the command -> the terminal's answer), each said in words. Card
# APDUs and their answers hold card data: only their command is shown.
echo "payment terminal (RUDA terminal simulator), each request of the program:"
while read -r nad n pcb p blocks b cmd arrow ans; do
  [ "$nad" = NAD ] || continue
  case $n:$cmd in
    11:00A4*) what="to the chip card: SELECT (relayed from the server)" ;;
    11:80A8*) what="to the chip card: GET PROCESSING OPTIONS (relayed from the server)" ;;
    11:00B2*) what="to the chip card: READ RECORD (relayed from the server)" ;;
    11:80AE*) what="to the chip card: GENERATE AC (relayed from the server)" ;;
    11:*) what="to the chip card" ;;
    *:D0600000 | *:D0610000) what="card readers off" ;;
    *:D060* | *:D061*) what="card status: waits for the card" ;;
    *:D0FF*) what="abort of the terminal's running command" ;;
    *:D000* | *:D00A*) what="terminal reset (answered with its serial number)" ;;
    *) what="" ;;
  esac
  if [ "$n" = 11 ]; then cmd=${cmd:0:8}...; ans="(the card's answer)"; fi
  printf '  %-12s -> %-60s %s\n' "$cmd" "$ans" "$what"
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
echo "main job: all steps passed. In words: the till read the chip card on the terminal; for each payment the"
echo "  payment server read the card itself through the terminal relay (SELECT, GET PROCESSING OPTIONS, READ RECORD,"
echo "  GENERATE AC reached the card) before it approved 12.34 EUR with RS 00, and its answer gave the cash register"
echo "  the card number masked; the host's second payment was aborted while the till waited for the card (RS 33)"
