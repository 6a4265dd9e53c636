// Invariants of the card-data record after any answer: every text slot is
// absent, asked or within its capacity and terminated; byte slots within
// theirs; record lists within ten.
#pragma once
#include "fuzz_check.h"
#include "protocols/pot.h"

template <int N>
inline void CheckSlot(const PotText<N>& s, const char* what) {
    Check(s.length == 0 || s.length == kPotAsked || s.length == kPotEmptyPresent ||
              (s.length > 0 && s.length <= N),
          what);
    Check(s.text[N] == '\0', what);
}

template <int N>
inline void CheckSlot(const PotBytes<N>& s, const char* what) {
    Check(s.length == 0 || s.length == kPotAsked || (s.length > 0 && s.length <= N), what);
}

inline void CheckPot(const POT& p) {
    CheckSlot(p.aip, "AIP");
    CheckSlot(p.afl, "AFL");
    CheckSlot(p.pan, "PAN");
    CheckSlot(p.expiryDate, "expiry date");
    CheckSlot(p.track2Equivalent, "track 2 equivalent");
    CheckSlot(p.cdol1, "CDOL1");
    CheckSlot(p.cdol2, "CDOL2");
    CheckSlot(p.pdol, "PDOL");
    CheckSlot(p.cvmList, "CVM list");
    CheckSlot(p.tag9f24, "9F24");
    CheckSlot(p.tag9f25, "9F25");
    CheckSlot(p.tag9f19, "9F19");
    CheckSlot(p.cardholderName, "cardholder name");
    CheckSlot(p.cardholderNameHex, "cardholder name text");
    CheckSlot(p.tag9f0b, "9F0B");
    CheckSlot(p.tag9f2d, "9F2D");
    CheckSlot(p.issuerKeyCertificate, "issuer key certificate");
    CheckSlot(p.signedStaticData, "signed static data");
    CheckSlot(p.df809000, "DF809000");
    CheckSlot(p.df809100, "DF809100");
    CheckSlot(p.cryptogram1, "cryptogram 1");
    CheckSlot(p.cryptogram2, "cryptogram 2");
    CheckSlot(p.cryptogramInfo1, "information byte 1");
    CheckSlot(p.cryptogramInfo2, "information byte 2");
    CheckSlot(p.issuerApplicationData, "issuer application data");
    CheckSlot(p.tvr, "TVR");
    CheckSlot(p.terminalCapabilities, "terminal capabilities");
    CheckSlot(p.ff7fDfdf10, "DFDF10");
    CheckSlot(p.ff7cDf837f, "DF837F");
    Check(p.records8d.count >= 0 && p.records8d.count <= kPotRecordListMax, "DF808D00 records");
    Check(p.records8e.count >= 0 && p.records8e.count <= kPotRecordListMax, "DF808E00 records");
}
