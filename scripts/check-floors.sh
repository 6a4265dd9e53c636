#!/usr/bin/env bash
# Lists every #include of src/ that climbs a floor and fails on one that is
# not in the short list of allowed exceptions below.
#
# Floors, from the bottom (a floor includes only the floors below it, and
# the files of its own folder):
#   platform < core < comm < protocols < periph < station
#            < transactions = offline < app
# src/protocols holds the contract the modules share; a module
# (src/protocols/<module>/) includes the contract and its own folder, and
# another module only by an exception below. src/client stands apart: it
# includes src/platform and the public header of include/ only, and nothing
# else includes it. tools/, tests/, bench/ and fuzz/ are outside the floors.
#
# Usage: scripts/check-floors.sh [root]   (root: the tree whose src/ is
# checked, the project by default). Exit 0 when every climb is allowed.
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

# Allowed climbs: the including file (a glob), the included path (a glob),
# then the reason. Keep this list short: each line is a choice made on
# purpose, and one that no longer matches an include of an existing file
# fails the check.
allowed='
src/protocols/pot.cpp            protocols/doran/doran_emv.h    the start of a transaction clears the card areas that the DORAN and RUDA modules keep
src/protocols/pot.cpp            protocols/ruda/ruda_level2.h   the start of a transaction clears the card areas that the DORAN and RUDA modules keep
src/protocols/ruda/*             protocols/xpro/xpro_context.h  the RUDA block link runs on the XPRO link context of the port (KT_XPROT)
src/protocols/p21/*              protocols/xpro/*               the P21 link runs on the XPRO link context of the port (KT_XPROT) and its control-byte reader, and the protocol-11 wait holds a byte there
src/protocols/pzr/*              protocols/xpro/*               the raw stack of protocol 5 runs on the XPRO link context of the port (KT_XPROT), where its wait holds the first byte of the answer
src/protocols/xas/*              protocols/xpro/*               the simple-frame link runs on the XPRO link context of the port (KT_XPROT) with its control-byte reader, and sends the closing frame of the XA link when a turn was left open
src/protocols/cheque/*           protocols/xas/xas_link.h       the cheque-reader modules of protocols 6, 7 and 8 wait on and bind the simple-frame link
src/protocols/ruda/ruda_level2.cpp protocols/doran/doran_emv.h  RUDA hands the card data it reads to the DORAN EMV decoder, which fills the card record
'

[[ -d src ]] || { echo "check-floors: no src/ under $(pwd)" >&2; exit 2; }

find src -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.inc' \) -print0 | sort -z |
  xargs -0 -r grep -H -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+"' 2>/dev/null |
  awk -v allowed="$allowed" '
    function folder(path,   n, p) {
        n = split(path, p, "/")
        if (n == 1) return "include"
        if (p[1] == "protocols") return n >= 3 ? "protocols/" p[2] : "protocols"
        return p[1]
    }
    function rank(f) {
        if (f == "platform") return 0
        if (f == "core") return 1
        if (f == "comm") return 2
        if (f == "protocols") return 3
        if (f ~ /^protocols\//) return 3.5
        if (f == "periph") return 4
        if (f == "station") return 5
        if (f == "transactions" || f == "offline") return 6
        if (f == "app") return 7
        return -1
    }
    # Why an include climbs, or "" when it does not.
    function climb(from, to) {
        if (from == to) return ""
        if (from == "client")
            return (to == "platform" || to == "include") ? "" : "the client library includes only the platform and include/"
        if (to == "client") return "nothing includes the client library"
        if (to == "include") return "include/ is the public header of the client library"
        if (rank(from) < 0) return "a folder outside the floors"
        if (rank(to) < 0) return "a folder outside the floors"
        if (from ~ /^protocols\// && to ~ /^protocols\//) return "one protocol module includes another"
        if (rank(to) > rank(from)) return "a floor above"
        return ""
    }
    # A glob of the exception list as a regular expression.
    function glob(g,   r) {
        r = g
        gsub(/[.+^$(){}|\\]/, "\\\\&", r)
        gsub(/\*/, ".*", r)
        gsub(/\?/, ".", r)
        return "^" r "$"
    }
    BEGIN {
        n = split(allowed, lines, "\n")
        for (i = 1; i <= n; ++i) {
            if (lines[i] ~ /^[[:space:]]*$/) continue
            ++count
            split(lines[i], w, /[[:space:]]+/)
            fromGlob[count] = glob(w[1]); toGlob[count] = glob(w[2])
            text[count] = w[1] " " w[2]
            reason[count] = lines[i]
            sub(/^[[:space:]]*[^[:space:]]+[[:space:]]+[^[:space:]]+[[:space:]]+/, "", reason[count])
        }
    }
    {
        file = $0; sub(/:.*/, "", file)
        rest = substr($0, length(file) + 2)
        line = rest; sub(/:.*/, "", line)
        inc = rest; sub(/^[^"]*"/, "", inc); sub(/".*$/, "", inc)
        seen[file] = 1
        rel = file; sub(/^src\//, "", rel)
        from = folder(rel)
        # A file directly in src/protocols is the contract; one deeper, its module.
        to = folder(inc)
        why = climb(from, to)
        if (why == "") next
        ok = 0
        for (i = 1; i <= count; ++i)
            if (file ~ fromGlob[i] && inc ~ toGlob[i]) { ok = i; used[i] = 1; break }
        if (ok) {
            printf "%s:%s: %s (%s -> %s): allowed: %s\n", file, line, inc, from, to, reason[ok]
        } else {
            printf "%s:%s: %s (%s -> %s): CLIMB: %s\n", file, line, inc, from, to, why
            ++failed
        }
    }
    END {
        for (i = 1; i <= count; ++i) {
            if (used[i]) continue
            exists = 0
            for (f in seen) if (f ~ fromGlob[i]) { exists = 1; break }
            if (!exists) continue
            printf "exception no longer used (remove it): %s\n", text[i]
            ++stale
        }
        if (failed) printf "check-floors: %d include(s) climb a floor without an allowed exception\n", failed
        if (stale) printf "check-floors: %d exception(s) no longer used\n", stale
        if (failed || stale) exit 1
        print "check-floors: no include climbs a floor unless allowed"
    }'
