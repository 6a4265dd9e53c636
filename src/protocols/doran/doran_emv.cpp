// DORAN EMV data exchange and the card-data record loader.
#include "protocols/doran/doran_emv.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/helpers.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

unsigned char* g_authBuffer = nullptr;
int g_authSize = 0;
int g_cdolFlag = 0;

using drn::Clear;
using drn::DecimalOf;
using drn::Ref;
using drn::SlotRef;

// Encodings of the loader: those of the slots, and the CDOLs, which are
// hexadecimal text or, while the CDOL flag is set, bytes.
enum class Enc {
    Hex,
    HexUpper,
    Raw,
    RawNonZero,
    Number,
    NumberLen,
    Bcd,
    HexDecimal,
    Cdol,
};

enum class Source { Card, DataPart, DataPartElseCard };

struct Entry {
    unsigned int tag;
    Enc enc;
    int minimum;          // least number of characters (format error below)
    int32_t askedBy;      // answered-flag bit that asks for the slot (0: none)
    int32_t failService;  // service failed by a repeated or malformed element
    Source source;
    SlotRef (*ref)(POT&);
};

#define SLOT(member) [](POT& p) { return Ref(p.member); }

constexpr int32_t S8 = POT_SERVICE_CARD_DATA;

// The generic slots, in the order of the answer table. AIP and AFL, the
// cryptogram group, ATC, 9F13, the currency and exponent lists and the
// record lists have their own steps.
const Entry kCardSlots[] = {
    {0x5F24, Enc::Hex, 6, S8, S8, Source::Card, SLOT(expiryDate)},
    {0x5A, Enc::HexUpper, 0, S8, S8, Source::Card, SLOT(pan)},
    {0x9F08, Enc::Hex, 4, S8, S8, Source::Card, SLOT(applicationVersion)},
    {0x9F24, Enc::RawNonZero, 0, S8, S8, Source::Card, SLOT(tag9f24)},
    {0x9F19, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f19)},
    {0x9F25, Enc::RawNonZero, 0, S8, S8, Source::Card, SLOT(tag9f25)},
    {0x8C, Enc::Cdol, 0, S8, S8, Source::Card, SLOT(cdol1)},
    {0x8D, Enc::Cdol, 0, S8, S8, Source::Card, SLOT(cdol2)},
    {0x9F38, Enc::Hex, 0, 0, S8, Source::Card, SLOT(pdol)},
    {0x57, Enc::HexUpper, 0, S8, S8, Source::Card, SLOT(track2Equivalent)},
    {0x9F14, Enc::NumberLen, 0, S8, S8, Source::Card, SLOT(tag9f14)},
    {0x9F23, Enc::NumberLen, 0, S8, S8, Source::Card, SLOT(tag9f23)},
    {0x9F42, Enc::Bcd, 0, S8, S8, Source::Card, SLOT(tag9f42)},
    {0x9F44, Enc::HexDecimal, 0, S8, S8, Source::Card, SLOT(tag9f44)},
    {0x9F05, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f05)},
    {0x5F25, Enc::Hex, 6, S8, S8, Source::Card, SLOT(effectiveDate)},
    {0x5F34, Enc::NumberLen, 0, S8, S8, Source::Card, SLOT(panSequenceNumber)},
    {0x9F07, Enc::Hex, 4, S8, S8, Source::Card, SLOT(tag9f07)},
    {0x5F20, Enc::RawNonZero, 0, S8, S8, Source::Card, SLOT(cardholderName)},
    {0x9F0B, Enc::RawNonZero, 0, S8, S8, Source::Card, SLOT(tag9f0b)},
    {0x8E, Enc::Hex, 0, S8, S8, Source::Card, SLOT(cvmList)},
    {0x9F0D, Enc::Hex, 10, S8, S8, Source::Card, SLOT(iacDefault)},
    {0x9F0E, Enc::Hex, 10, S8, S8, Source::Card, SLOT(iacDenial)},
    {0x9F0F, Enc::Hex, 10, S8, S8, Source::Card, SLOT(iacOnline)},
    {0x5F28, Enc::Bcd, 0, S8, S8, Source::Card, SLOT(countryCode)},
    {0x5F30, Enc::Hex, 4, S8, S8, Source::Card, SLOT(serviceCode)},
    {0x97, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tdol)},
    {0x9F49, Enc::Hex, 0, S8, S8, Source::Card, SLOT(ddol)},
    {0x8F, Enc::Hex, 2, S8, S8, Source::Card, SLOT(caKeyIndex)},
    {0x9F2D, Enc::Raw, 0, S8, S8, Source::Card, SLOT(tag9f2d)},
    {0x9F2E, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f2e)},
    {0x9F2F, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f2f)},
    {0x9F46, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f46)},
    {0x9F47, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f47)},
    {0x9F48, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f48)},
    {0x90, Enc::Hex, 0, S8, S8, Source::Card, SLOT(issuerKeyCertificate)},
    {0x9F32, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f32)},
    {0x92, Enc::Hex, 0, S8, S8, Source::Card, SLOT(issuerKeyRemainder)},
    {0x9F1F, Enc::RawNonZero, 0, S8, S8, Source::Card, SLOT(tag9f1f)},
    {0x9F20, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f20)},
    {0x93, Enc::Hex, 0, S8, S8, Source::Card, SLOT(signedStaticData)},
    {0x9F4A, Enc::Hex, 0, S8, S8, Source::Card, SLOT(tag9f4a)},
    {0xDF858106, Enc::Hex, 4, POT_SERVICE_DYNAMIC_AUTH, POT_SERVICE_DYNAMIC_AUTH, Source::DataPart,
     SLOT(df858106)},
    {0xDF809100, Enc::Raw, 0, POT_SERVICE_DYNAMIC_AUTH, POT_SERVICE_DYNAMIC_AUTH, Source::DataPart,
     SLOT(df809100)},
    {0xDF809000, Enc::Hex, 0, POT_SERVICE_DYNAMIC_AUTH | POT_SERVICE_INTERNAL_AUTH,
     POT_SERVICE_DYNAMIC_AUTH, Source::DataPart, SLOT(df809000)},
    {0xDF81811A, Enc::Number, 0, POT_SERVICE_PIN_TRY | POT_SERVICE_PIN_TRY_2,
     POT_SERVICE_PIN_TRY, Source::DataPartElseCard, SLOT(df81811a)},
};

#undef SLOT

bool HasBit(int32_t a, int32_t b) { return (a & b) != 0; }

drn::Enc SlotEncoding(Enc enc) {
    switch (enc) {
        case Enc::Hex: return drn::Enc::Hex;
        case Enc::HexUpper: return drn::Enc::HexUpper;
        case Enc::Raw: return drn::Enc::Raw;
        case Enc::RawNonZero: return drn::Enc::RawNonZero;
        case Enc::Number: return drn::Enc::Number;
        case Enc::NumberLen: return drn::Enc::NumberLen;
        case Enc::Bcd: return drn::Enc::Bcd;
        case Enc::HexDecimal: return drn::Enc::HexDecimal;
        case Enc::Cdol: break;
    }
    return drn::Enc::Hex;
}

// Reads one element into the slot (drn::ReadInto), the CDOLs as bytes
// while the CDOL flag is set.
int ReadInto(TlvNode* source, unsigned int tag, Enc enc, int minimum, const SlotRef& s) {
    if (enc != Enc::Cdol || g_cdolFlag == 0) return drn::ReadInto(source, tag, SlotEncoding(enc), minimum, s);
    Clear(s);
    // Bytes, at most half the text capacity; the length counts them twice.
    int length = s.capacity / 2 + 1;
    const int r = TLV_GetBytesNonZero(source, tag, static_cast<unsigned char*>(s.area), &length);
    if (r > 0) *s.length = 2 * length;
    return r;
}

struct Sources {
    TlvNode card;  // the DF808400 content
    TlvNode data;  // the data part
};

TlvNode* SourceOf(Sources& src, Source which) {
    return which == Source::Card ? &src.card : &src.data;
}

// A generic slot: read when asked, then the outcome rules of the loader.
void LoadSlot(POT* pot, Sources& src, const Entry& e, bool cardDataRead) {
    SlotRef s = e.ref(*pot);
    if (*s.length != kPotAsked) return;
    TlvNode empty;
    TlvNode* source = SourceOf(src, e.source);
    if (!cardDataRead && e.source == Source::Card) source = &empty;
    int r = ReadInto(source, e.tag, e.enc, e.minimum, s);
    if (r <= 0 && e.source == Source::DataPartElseCard && cardDataRead)
        r = ReadInto(&src.card, e.tag, e.enc, e.minimum, s);
    if (r == 2) {
        POT_MarkServiceFailed(pot, e.failService);
        if (e.tag == 0xDF81811A) POT_MarkServiceFailed(pot, POT_SERVICE_PIN_TRY_2);
    }
    if (r == -1 && (e.minimum > 0 || e.enc == Enc::Bcd)) POT_MarkServiceFailed(pot, e.failService);
    if (r != 1 && cardDataRead && e.failService == S8 &&
        POT_ServiceHasState(pot, S8, POT_STATE_PENDING))
        *s.length = kPotAsked;
}

// A card number longer than 19 digits whose tail is only 'F' filler keeps
// its 19 digits.
void CutPanFiller(PotText<20>& pan) {
    if (pan.length <= 19 || pan.length > PotText<20>::kCapacity) return;
    for (int i = 19; i < pan.length; ++i)
        if (pan.text[i] != 'F') return;
    pan.text[19] = '\0';
    pan.length = 19;
}

// Text of hexadecimal digits split into up to four numbers (decimal digits)
// of `width` characters each.
void LoadSplit(POT* pot, TlvNode* card, unsigned int tag, PotNumber* numbers, int width) {
    bool asked = false;
    for (int i = 0; i < 4; ++i) asked = asked || numbers[i].flag == kPotAsked;
    if (!asked) return;
    char text[17] = {};
    int length = 4 * width + 1;
    int r = TLV_GetHex(card, tag, text, &length);
    if (r == 2) POT_MarkServiceFailed(pot, S8);
    for (int i = 0; i < 4; ++i) {
        numbers[i] = PotNumber{};
        if (r > 0 && length >= (i + 1) * width) {
            numbers[i].flag = 1;
            numbers[i].value = DecimalOf(text + i * width, width);
        }
    }
}

void LoadAipAfl(POT* pot, TlvNode* card) {
    if (pot->aip.length != kPotAsked) return;
    const bool aflAsked = pot->afl.length == kPotAsked;
    SlotRef aip = Ref(pot->aip);
    SlotRef afl = Ref(pot->afl);
    Clear(aip);
    if (aflAsked) Clear(afl);
    bool aipFrom80 = false;

    char text[517];
    int length = sizeof text;
    int r = TLV_GetHex(card, 0x80, text, &length);
    if (r == 2) POT_MarkServiceFailed(pot, POT_SERVICE_AIP_AFL);
    if (r > 0 && length >= 4) {
        std::memcpy(pot->aip.text, text, 4);
        pot->aip.length = 4;
        aipFrom80 = true;
        const int rest = length - 4;
        if (aflAsked && rest > 0 && rest <= PotText<252>::kCapacity) {
            std::memcpy(pot->afl.text, text + 4, static_cast<size_t>(rest));
            pot->afl.length = rest;
        }
    }

    char aipText[5] = {};
    length = sizeof aipText;
    r = TLV_GetHex(card, 0x82, aipText, &length);
    if (r > 0) {
        if (aipFrom80 || r == 2) {
            POT_MarkServiceFailed(pot, POT_SERVICE_AIP_AFL);
        } else {
            std::memcpy(pot->aip.text, aipText, 5);
            pot->aip.length = length;
        }
    }

    if (aflAsked && pot->afl.length == 0) {
        r = ReadInto(card, 0x94, Enc::Hex, 0, afl);
        if (r == 2) POT_MarkServiceFailed(pot, POT_SERVICE_AIP_AFL);
    }
}

void FailCryptogramServices(POT* pot) {
    POT_MarkServiceFailed(pot, POT_SERVICE_FIRST_AC);
    POT_MarkServiceFailed(pot, POT_SERVICE_SECOND_AC);
}

// Reads 9F24, 9F19 and 9F25 when they hold nothing yet.
void LoadProximityData(POT* pot, TlvNode* card) {
    if (pot->tag9f24.length == 0) ReadInto(card, 0x9F24, Enc::RawNonZero, 0, Ref(pot->tag9f24));
    if (pot->tag9f19.length == 0) ReadInto(card, 0x9F19, Enc::Hex, 0, Ref(pot->tag9f19));
    if (pot->tag9f25.length == 0) ReadInto(card, 0x9F25, Enc::RawNonZero, 0, Ref(pot->tag9f25));
}

void LoadCryptogramGroup(POT* pot, Sources& src) {
    const bool first = pot->cryptogram1.length == kPotAsked && pot->cryptogramInfo1.length == kPotAsked;
    const bool second = pot->cryptogram2.length == kPotAsked &&
                        pot->cryptogramInfo2.length == kPotAsked &&
                        pot->issuerApplicationData.length == kPotAsked;
    if (!first && !second) return;
    PotText<16>& cryptogram = first ? pot->cryptogram1 : pot->cryptogram2;
    PotText<2>& info = first ? pot->cryptogramInfo1 : pot->cryptogramInfo2;
    TlvNode* card = &src.card;

    // Format 1: information byte, ATC, cryptogram, issuer application data.
    bool format80 = false;
    char text[123];
    int length = sizeof text;
    int r = TLV_GetHex(card, 0x80, text, &length);
    if (r > 0 && length >= 22) {
        format80 = true;
        Clear(Ref(info));
        std::memcpy(info.text, text, 2);
        info.length = 2;
        char atc[5] = {};
        std::memcpy(atc, text + 2, 4);
        pot->atc = PotNumberLen{1, static_cast<int64_t>(std::strtol(atc, nullptr, 16)), 2};
        Clear(Ref(cryptogram));
        std::memcpy(cryptogram.text, text + 6, 16);
        cryptogram.length = 16;
        if (pot->issuerApplicationData.length == kPotAsked) {
            Clear(Ref(pot->issuerApplicationData));
            if (length >= 23) {
                const int rest = length - 22;
                std::memcpy(pot->issuerApplicationData.text, text + 22, static_cast<size_t>(rest));
                pot->issuerApplicationData.length = rest;
            }
        }
        if (r == 2) FailCryptogramServices(pot);
    }

    // Information byte alone (format 2).
    char cid[3] = {};
    length = sizeof cid;
    r = TLV_GetHex(card, 0x9F27, cid, &length);
    if (r > 0 && (format80 || r == 2)) {
        FailCryptogramServices(pot);
        info.length = 0;
    } else if (r == 1) {
        Clear(Ref(info));
        std::memcpy(info.text, cid, 2);
        info.length = length;
    } else if (!format80) {
        Clear(Ref(info));
    }

    LoadProximityData(pot, card);

    // Signed dynamic data, else the cryptogram of format 2.
    if (ReadInto(card, 0x9F4B, Enc::Hex, 0, Ref(pot->df809000)) <= 0) {
        pot->df809000.length = 0;
        char crypto[17] = {};
        length = sizeof crypto;
        r = TLV_GetHex(card, 0x9F26, crypto, &length);
        if (r == 2 || (r > 0 && format80) || (!format80 && (r <= 0 || length != 16))) {
            FailCryptogramServices(pot);
            info.length = 0;
        } else if (r == 1) {
            Clear(Ref(cryptogram));
            std::memcpy(cryptogram.text, crypto, 16);
            cryptogram.length = 16;
        }
    }

    // Issuer application data of format 2.
    char iad[101];
    length = sizeof iad;
    r = TLV_GetHex(card, 0x9F10, iad, &length);
    if (r > 0 && (format80 || r == 2)) {
        FailCryptogramServices(pot);
        pot->issuerApplicationData.length = 0;
    } else if (r == 1) {
        Clear(Ref(pot->issuerApplicationData));
        std::memcpy(pot->issuerApplicationData.text, iad, static_cast<size_t>(length) + 1);
        pot->issuerApplicationData.length = length;
    } else if (!format80) {
        TlvNode* empty = TLV_FindTagEx(card->value, card->lg, 0x9F10, nullptr);
        const bool presentEmpty = empty != nullptr && empty->lg == 0;
        TLV_Free(empty, 'r');
        Clear(Ref(pot->issuerApplicationData));
        if (presentEmpty) pot->issuerApplicationData.length = kPotEmptyPresent;
    }
}

void LoadAtcAnd9F13(POT* pot, TlvNode* card) {
    if (pot->atc.flag == kPotAsked) {
        int r = ReadInto(card, 0x9F36, Enc::NumberLen, 0, Ref(pot->atc));
        if (r == 2 || (r > 0 && pot->atc.byteLength == 1)) {
            POT_MarkServiceFailed(pot, POT_SERVICE_ATC);
            FailCryptogramServices(pot);
            pot->atc = PotNumberLen{};
        }
    }
    if (pot->tag9f13.flag == kPotAsked) {
        int r = ReadInto(card, 0x9F13, Enc::NumberLen, 0, Ref(pot->tag9f13));
        if (r == 2 || (r > 0 && pot->tag9f13.byteLength == 1)) {
            POT_MarkServiceFailed(pot, POT_SERVICE_9F13);
            pot->tag9f13 = PotNumberLen{};
        }
    }
}

constexpr int kRecordChars = 12;

void LoadRecordList(POT* pot, TlvNode* data, unsigned int tag, PotRecordList& list,
                    int32_t service) {
    if (list.flag != kPotAsked) return;
    list = PotRecordList{};
    char text[517];
    int length = sizeof text;
    int r = TLV_GetHex(data, tag, text, &length);
    if (r == 2) POT_MarkServiceFailed(pot, service);
    if (r <= 0 || length < kRecordChars) return;
    list.flag = 1;
    for (int at = 0; at + kRecordChars <= length && list.count < kPotRecordListMax; at += kRecordChars) {
        PotRecordList::Entry& e = list.entries[list.count++];
        std::memcpy(e.text, text + at, 8);
        e.text[8] = '\0';
        e.first = static_cast<int32_t>(DecimalOf(text + at + 8, 2));
        e.second = static_cast<int32_t>(DecimalOf(text + at + 10, 2));
    }
}

void ReplacePanFromDataPart(POT* pot, TlvNode* data) {
    PotText<20> pan{};
    int r = ReadInto(data, 0xDF85D600, Enc::HexUpper, 0, Ref(pan));
    if (r != 1) return;
    CutPanFiller(pan);
    pot->pan = pan;
}

// Appends the card data to the offline-authentication buffer; false when it
// would pass the limit.
bool AppendAuthData(const TlvNode& card) {
    const long needed = static_cast<long>(g_authSize) + card.lg + 1;
    if (needed > kDrnAuthenticationBufferMax) {
        WSysError("-- ERROR -- DRN_DealEMVAnswerDatas(): Buffer is too small, max. size: %ld, data size: %d",
                  needed, kDrnAuthenticationBufferMax);
        WSysError("** INFO. ** DRN_DealEMVAnswerDatas(): i_authentificationBufferSize: %d", g_authSize);
        WSysError("** INFO. ** DRN_DealEMVAnswerDatas(): TlvTamp->lg: %d", card.lg);
        return false;
    }
    auto* grown = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(needed)));
    if (grown == nullptr) return false;
    if (g_authSize > 0) std::memcpy(grown, g_authBuffer, static_cast<size_t>(g_authSize));
    std::memcpy(grown + g_authSize, card.value, static_cast<size_t>(card.lg));
    if (g_authBuffer != nullptr) {
        std::memset(g_authBuffer, 0, static_cast<size_t>(g_authSize));
        WFree(g_authBuffer);
    }
    g_authBuffer = grown;
    g_authSize += card.lg;
    return true;
}

bool AnyMaskHas(const POT* pot, int32_t bits) {
    for (const PotServicePair& p : pot->services)
        if (HasBit(p.mask, bits)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Request building
// ---------------------------------------------------------------------------

using drn::RequestData;

bool Set(const PotNumber& n) { return n.flag != 0; }

bool BuildRequestData(POT* pot, TlvNode* e2) {
    RequestData d(e2);
    uint32_t services = 0;
    for (PotServicePair& p : pot->services) {
        services |= static_cast<uint32_t>(p.mask);
        p.state = 0;
    }
    d.u32(0xDF838218, services);
    d.hex(0xDF808700, pot->selectedAid);
    if (Set(pot->df828200)) d.sealed(pot->df828200.value >= 0 ? TLV_NewBCD2(0xDF828200, static_cast<unsigned>(pot->df828200.value)) : nullptr);
    d.hex(0xDF808500, pot->df808500);
    d.hex(0xDF808600, pot->df808600);
    d.hex(0xDF84820C, pot->df84820c);
    if (Set(pot->df81820f)) d.byte(0xDF81820F, pot->df81820f.value);
    if (Set(pot->df818210)) d.byte(0xDF818210, pot->df818210.value);
    if (Set(pot->amount)) d.sealed(TLV_NewAmount(0xDF848202, static_cast<long>(pot->amount.value)));
    if (pot->df848208.length > 0) {
        if (pot->df848208.length > PotBytes<64>::kCapacity) return false;
        d.bytes(0xDF848208, pot->df848208.bytes, pot->df848208.length);
    }
    if (Set(pot->df818211)) d.byte(0xDF818211, pot->df818211.value);
    if (Set(pot->df828214)) {
        const int64_t tenfold = pot->df828214.value * 10;
        d.u16(0xDF828214, tenfold > 0xFFFF || tenfold < 0 ? 0xFFFF : tenfold);
    }
    d.hex(0xDF808B00, pot->df808b00);
    if (Set(pot->df818212)) d.byte(0xDF818212, pot->df818212.value);
    d.hex(0xDF808800, pot->df808800);
    if (pot->oneShotFlag != 0) {
        if (pot->df808c00.length == 0)
            d.bytes(0xDF808C00, nullptr, 0);
        else
            d.hex(0xDF808C00, pot->df808c00);
        d.byte(0xDF818228, pot->df818228.value);
        pot->oneShotFlag = 0;
    }
    d.hex(0xDF808900, pot->df808900);
    d.hex(0xDF808A00, pot->df808a00);
    if (Set(pot->df828216)) d.u16(0xDF828216, pot->df828216.value);
    if (Set(pot->df82821c)) d.u16(0xDF82821C, pot->df82821c.value);
    if (Set(pot->df818229)) {
        if (pot->df818229.value < 0 || pot->df818229.value > 99) return false;
        d.sealed(TLV_NewBCD1(0xDF818229, static_cast<unsigned>(pot->df818229.value)));
    }
    if (Set(pot->df82821e)) d.u16(0xDF82821E, pot->df82821e.value);
    return d.ok();
}

using drn::AppendTag;

bool BuildTagList(const POT* pot, TlvNode* list) {
    static const unsigned int kAlways[] = {0xDF828000, 0xDF838102, 0xDF85810A, 0xDF828100,
                                           0xDF808400, 0xDF85D500, 0xDF85D600};
    bool ok = true;
    for (unsigned int tag : kAlways) ok = ok && AppendTag(list, tag);
    bool pinTryListed = false;
    for (const PotServicePair& p : pot->services) {
        if (HasBit(p.mask, POT_SERVICE_DYNAMIC_AUTH))
            ok = ok && AppendTag(list, 0xDF858106) && AppendTag(list, 0xDF809000) &&
                 AppendTag(list, 0xDF809100);
        if (HasBit(p.mask, POT_SERVICE_PIN_TRY | POT_SERVICE_PIN_TRY_2) && !pinTryListed) {
            ok = ok && AppendTag(list, 0xDF81811A);
            pinTryListed = true;
        }
        if (HasBit(p.mask, POT_SERVICE_RECORDS_8D)) ok = ok && AppendTag(list, 0xDF808D00);
        if (HasBit(p.mask, POT_SERVICE_RECORDS_8E)) ok = ok && AppendTag(list, 0xDF808E00);
        if (HasBit(p.mask, POT_SERVICE_INTERNAL_AUTH)) ok = ok && AppendTag(list, 0xDF809000);
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Answer decoding
// ---------------------------------------------------------------------------

using drn::MarkAsked;

void MarkAnsweredSlots(POT* pot, uint32_t flags) {
    MarkAsked(&pot->status.flag);
    if (HasBit(static_cast<int32_t>(flags), POT_SERVICE_AIP_AFL)) {
        MarkAsked(&pot->aip.length);
        MarkAsked(&pot->afl.length);
    }
    if (HasBit(static_cast<int32_t>(flags), S8) && flags != static_cast<uint32_t>(S8)) {
        for (const Entry& e : kCardSlots)
            if (e.askedBy == S8) MarkAsked(e.ref(*pot).length);
        for (PotNumber& n : pot->currencyCodes9f3b) MarkAsked(&n.flag);
        for (PotNumber& n : pot->exponents9f43) MarkAsked(&n.flag);
    }
    const auto has = [&](int32_t bit) { return (flags & static_cast<uint32_t>(bit)) != 0; };
    if (has(POT_SERVICE_DYNAMIC_AUTH)) {
        MarkAsked(&pot->df858106.length);
        MarkAsked(&pot->df809100.length);
        MarkAsked(&pot->df809000.length);
    }
    if (has(POT_SERVICE_PIN_TRY) || has(POT_SERVICE_PIN_TRY_2)) MarkAsked(&pot->df81811a.flag);
    if (has(POT_SERVICE_ATC)) MarkAsked(&pot->atc.flag);
    if (has(POT_SERVICE_9F13)) MarkAsked(&pot->tag9f13.flag);
    if (has(POT_SERVICE_FIRST_AC)) {
        MarkAsked(&pot->cryptogramInfo1.length);
        MarkAsked(&pot->atc.flag);
        MarkAsked(&pot->cryptogram1.length);
        MarkAsked(&pot->issuerApplicationData.length);
    }
    if (has(POT_SERVICE_SECOND_AC)) {
        MarkAsked(&pot->cryptogramInfo2.length);
        MarkAsked(&pot->atc.flag);
        MarkAsked(&pot->cryptogram2.length);
        MarkAsked(&pot->issuerApplicationData.length);
    }
    if (has(POT_SERVICE_RECORDS_8D)) MarkAsked(&pot->records8d.flag);
    if (has(POT_SERVICE_RECORDS_8E)) MarkAsked(&pot->records8e.flag);
    if (has(POT_SERVICE_INTERNAL_AUTH)) MarkAsked(&pot->df809000.length);
}

int Refuse(POT* pot, int code) {
    POT_ResetAsked(pot);
    DRN_FreeSyntax(1, 'r');
    return code;
}

}  // namespace

// ---------------------------------------------------------------------------
// Record helpers
// ---------------------------------------------------------------------------

void POT_MarkServiceFailed(POT* pot, int32_t bits) {
    if (pot == nullptr) return;
    for (PotServicePair& p : pot->services) {
        if (HasBit(p.mask, bits) && (p.state == 0 || p.state == POT_STATE_PENDING)) {
            p.state = POT_STATE_INCONSISTENT;
            return;
        }
    }
}

int POT_ServiceHasState(const POT* pot, int32_t bits, int32_t state) {
    if (pot == nullptr) return 0;
    for (const PotServicePair& p : pot->services)
        if (HasBit(p.mask, bits) && p.state == state) return 1;
    return 0;
}

void POT_ResetAsked(POT* pot) {
    if (pot == nullptr) return;
    int32_t* slots[] = {&pot->pan.length,         &pot->expiryDate.length,
                        &pot->track2Equivalent.length, &pot->cryptogram1.length,
                        &pot->cryptogramInfo1.length,  &pot->cryptogram2.length,
                        &pot->cryptogramInfo2.length,  &pot->issuerApplicationData.length};
    for (int32_t* s : slots)
        if (*s == kPotAsked) *s = 0;
}

void DRN_FreeAuthentificationBuffer() {
    if (g_authBuffer != nullptr) {
        std::memset(g_authBuffer, 0, static_cast<size_t>(g_authSize));
        WFree(g_authBuffer);
    }
    g_authBuffer = nullptr;
    g_authSize = 0;
}

const unsigned char* DRN_AuthentificationBuffer(int* size) {
    if (size != nullptr) *size = g_authSize;
    return g_authBuffer;
}

void DRN_SetCdolAsBytes(int value) {
    if (value >= g_cdolFlag) g_cdolFlag = value;
}

void DRN_ResetCdolFlag() { g_cdolFlag = 0; }

// ---------------------------------------------------------------------------
// Loader
// ---------------------------------------------------------------------------

int DRN_DealEMVAnswerDatas(const unsigned char* data, int length, POT* pot) {
    if (pot == nullptr || data == nullptr || length < 0) return 1;
    Sources src;
    src.data.value = const_cast<unsigned char*>(data);
    src.data.lg = length;

    const bool cardDataRead = pot->result != 20;
    if (cardDataRead) {
        TlvNode* card = TLV_Find(data, length, DRN_TAG_CARD_DATA, nullptr);
        if (card != nullptr) {
            src.card = *card;
            TLV_Free(card, 'r');
            if (!AppendAuthData(src.card)) {
                POT_ResetAsked(pot);
                return 1;
            }
            if (CheckTLV(src.card.value, src.card.lg) != 1) {
                WSysError("-- ERROR -- DRN_DealEMVAnswerDatas(): CheckTLV() returned an error");
                POT_ResetAsked(pot);
                return 1;
            }
        }
    }

    if (cardDataRead) LoadAipAfl(pot, &src.card);
    for (const Entry& e : kCardSlots) {
        LoadSlot(pot, src, e, cardDataRead);
        if (e.tag == 0x5A && pot->pan.length != kPotAsked) CutPanFiller(pot->pan);
    }
    // Read every time, asked or not.
    if (cardDataRead) ReadInto(&src.card, 0x9F63, Enc::Hex, 0, Ref(pot->tag9f63));
    if (cardDataRead) {
        LoadSplit(pot, &src.card, 0x9F3B, pot->currencyCodes9f3b, 4);
        LoadSplit(pot, &src.card, 0x9F43, pot->exponents9f43, 2);
        LoadCryptogramGroup(pot, src);
        LoadAtcAnd9F13(pot, &src.card);
    }
    LoadRecordList(pot, &src.data, 0xDF808D00, pot->records8d, POT_SERVICE_RECORDS_8D);
    LoadRecordList(pot, &src.data, 0xDF808E00, pot->records8e, POT_SERVICE_RECORDS_8E);
    ReplacePanFromDataPart(pot, &src.data);
    if (!cardDataRead) {
        // No card data: nothing asked of the card stays pending.
        int32_t* others[] = {&pot->aip.length, &pot->afl.length, &pot->atc.flag,
                             &pot->tag9f13.flag, &pot->cryptogram1.length,
                             &pot->cryptogramInfo1.length, &pot->cryptogram2.length,
                             &pot->cryptogramInfo2.length, &pot->issuerApplicationData.length};
        for (int32_t* length : others)
            if (*length == kPotAsked) *length = 0;
        for (int i = 0; i < 4; ++i) {
            if (pot->currencyCodes9f3b[i].flag == kPotAsked) pot->currencyCodes9f3b[i].flag = 0;
            if (pot->exponents9f43[i].flag == kPotAsked) pot->exponents9f43[i].flag = 0;
        }
    }

    if (pot->df809000.length == 0 && !AnyMaskHas(pot, S8 | POT_SERVICE_KEEP_AUTH_BUFFER))
        DRN_FreeAuthentificationBuffer();
    pot->busy = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Operation 30
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetEMVCommand(int* length, POT* pot) {
    if (length != nullptr) *length = 0;
    if (pot == nullptr) return nullptr;
    pot->busy = 1;
    if (pot->peripheralFlag == 0) return nullptr;
    uint32_t peripheral = 0;
    if (!drn::PeripheralOfText(pot->peripheral, sizeof pot->peripheral, &peripheral)) return nullptr;

    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    TlvNode* list = TLV_NewPrimitive(DRN_TAG_TAG_LIST, 0, nullptr);
    bool ok = e2 != nullptr && list != nullptr && BuildRequestData(pot, e2) &&
              BuildTagList(pot, list) && TLV_Seal(e2) != nullptr && TLV_Seal(list) != nullptr;
    if (!ok) {
        TLV_Free(e2, 'w');
        TLV_Free(list, 'w');
        DRN_FreeSyntax(1, 'w');
        return nullptr;
    }
    DRN_SetDataPart(e2);
    DRN_SetTagListPart(list);
    const int built = DRN_EncapsSyntax(1, 1, 1, 1, 1, 1, peripheral, DRN_EMV_COMMAND);
    if (built <= 0) return nullptr;
    pot->busy = 0;
    return DRN_MessageBytes(length);
}

int DRN_DealEMVAnswer(const unsigned char* answer, int length, POT* pot) {
    if (pot == nullptr) return 1;
    pot->busy = 1;
    pot->result = 255;
    uint32_t peripheral = 0;
    int command = -1;
    const int e2 = DRN_DecapsSyntax(answer, length, &peripheral, &command);
    TlvNode* data = DRN_DataPart();
    if (e2 <= 0 || data == nullptr) return Refuse(pot, 32);
    if (peripheral != DRN_EMV_PERIPHERAL || command != static_cast<int>(DRN_EMV_COMMAND))
        return Refuse(pot, 1);

    uint16_t result = 0;
    int flag = 1;
    if (TLV_GetUShort(data, DRN_TAG_RESULT, &result, &flag) <= 0) return Refuse(pot, 32);
    pot->result = result;

    uint32_t answered = 0;
    flag = 1;
    if (TLV_GetULong(data, 0xDF838102, &answered, &flag) <= 0) return Refuse(pot, 32);
    for (PotServicePair& p : pot->services)
        if ((static_cast<uint32_t>(p.mask) & answered) != 0) p.state = 1;
    MarkAnsweredSlots(pot, answered);

    unsigned char states[17];
    int count = sizeof states;
    if (TLV_GetBytes(data, 0xDF85810A, states, &count) <= 0) return Refuse(pot, 32);
    for (int i = 0; i < count; ++i) pot->services[i].state = states[i];

    uint16_t status = 0;
    flag = 1;
    if (TLV_GetUShort(data, 0xDF828100, &status, &flag) <= 0) {
        pot->status = PotNumber{};
        return Refuse(pot, 1);
    }
    pot->status = PotNumber{1, status};

    DRN_DealEMVAnswerDatas(data->value, data->lg, pot);
    DRN_FreeSyntax(1, 'r');
    pot->busy = 0;
    return 0;
}
