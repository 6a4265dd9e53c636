// RUDA APDUs, status words, the candidate table and the data objects.
#include "protocols/ruda/ruda_apdu.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/helpers.h"
#include "core/tlv.h"
#include "core/trace.h"

namespace {

const unsigned char kCandidateTable[][7] = {{0xA0, 0x00, 0x00, 0x00, 0x42, 0x10, 0x10}};
constexpr int kCandidateTableCount = 1;
int g_candidateIndex = 0;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Build(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data,
          long dataLength, const unsigned char* marker, uint8_t expectedLength,
          unsigned char** apdu, int* apduLength, bool extended) {
    if (apdu == nullptr || apduLength == nullptr) return RUDA_APDU_REFUSED;
    *apdu = nullptr;
    *apduLength = 0;
    const long limit = extended ? kRudaExtendedDataMax : kRudaShortDataMax;
    if (dataLength < 0 || dataLength > limit || (dataLength > 0 && data == nullptr)) {
        WSysError("-- ERROR -- RUDA_BuildApdu(): %ld data bytes refused (at most %ld)", dataLength, limit);
        return RUDA_APDU_REFUSED;
    }
    const bool longForm = dataLength > kRudaShortDataMax;
    const bool le = marker != nullptr || (dataLength == 0 && expectedLength != 0);
    const long size = 4 + (dataLength > 0 ? (longForm ? 3 : 1) + dataLength : 0) + (le ? 1 : 0);
    auto* out = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(size)));
    if (out == nullptr) return RUDA_APDU_NO_MEMORY;
    unsigned char* w = out;
    *w++ = cla;
    *w++ = ins;
    *w++ = p1;
    *w++ = p2;
    if (dataLength > 0) {
        if (longForm) {
            *w++ = 0x00;
            *w++ = static_cast<unsigned char>(dataLength >> 8);
        }
        *w++ = static_cast<unsigned char>(dataLength);
        std::memcpy(w, data, static_cast<size_t>(dataLength));
        w += dataLength;
    }
    if (le) *w++ = expectedLength;
    *apdu = out;
    *apduLength = static_cast<int>(w - out);
    return RUDA_APDU_BUILT;
}

// Decimal digits of the number, right-aligned and zero-padded to the width,
// read as hexadecimal digits: 978 on width 3 gives 09 78. False for a
// negative number or one wider than the field.
bool DecimalAsHex(int64_t number, int width, RudaBytes& value) {
    if (number < 0) return false;
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%0*lld", width, static_cast<long long>(number));
    if (n != width) return false;
    value.clear();
    return RUDA_HexToBytes(digits, n, value);
}

int AddDecimal(RudaBytes& out, unsigned int tag, int64_t number, int width) {
    RudaBytes value;
    if (!DecimalAsHex(number, width, value)) return 1;
    return RUDA_AppendElement(out, tag, value.data(), static_cast<int>(value.size())) ? 0 : 1;
}

int AddHexText(RudaBytes& out, unsigned int tag, const char* text, int length) {
    if (text == nullptr || length <= 0) return 1;
    RudaBytes value;
    if (!RUDA_HexToBytes(text, length, value)) return 1;
    return RUDA_AppendElement(out, tag, value.data(), static_cast<int>(value.size())) ? 0 : 1;
}

int AddBytes(RudaBytes& out, unsigned int tag, const unsigned char* bytes, int length) {
    if (bytes == nullptr || length <= 0) return 1;
    return RUDA_AppendElement(out, tag, bytes, length) ? 0 : 1;
}

// Exactly `digits` hexadecimal characters.
int AddFixedHex(RudaBytes& out, unsigned int tag, const char* text, int digits) {
    if (text == nullptr || std::strlen(text) != static_cast<size_t>(digits)) return 1;
    return AddHexText(out, tag, text, digits);
}

int WrapE0(RudaBytes& out, const RudaBytes& elements) {
    return RUDA_AppendElement(out, 0xE0, elements.data(), static_cast<int>(elements.size())) ? 0 : 1;
}

template <int N>
int TextLength(const PotText<N>& t) {
    return t.length > 0 && t.length <= N ? t.length : 0;
}
template <int N>
int ByteLength(const PotBytes<N>& b) {
    return b.length > 0 && b.length <= N ? b.length : 0;
}

bool Present(const PotNumber& n) { return n.flag == 1; }

}  // namespace

// ---------------------------------------------------------------------------
// APDUs
// ---------------------------------------------------------------------------

int RUDA_BuildApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data,
                   int dataLength, const unsigned char* marker, uint8_t expectedLength,
                   unsigned char** apdu, int* apduLength) {
    return Build(cla, ins, p1, p2, data, dataLength, marker, expectedLength, apdu, apduLength, false);
}

int RUDA_MakeApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data,
                  int32_t dataLength, const unsigned char* marker, uint8_t expectedLength,
                  unsigned char** apdu, int* apduLength) {
    return Build(cla, ins, p1, p2, data, dataLength, marker, expectedLength, apdu, apduLength, false);
}

int RUDA_BuildApduExtended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                           const unsigned char* data, int dataLength,
                           const unsigned char* marker, uint8_t expectedLength,
                           unsigned char** apdu, int* apduLength) {
    return Build(cla, ins, p1, p2, data, dataLength, marker, expectedLength, apdu, apduLength, true);
}

// ---------------------------------------------------------------------------
// Status words and byte order
// ---------------------------------------------------------------------------

int RUDA_GetSw(const unsigned char* answer, int length) {
    if (answer == nullptr || length < 2) return 0;
    return answer[length - 2] * 256 + answer[length - 1];
}

int RUDA_CopySw(const unsigned char* answer, int length, unsigned char* out, int outSize) {
    if (answer == nullptr || length < 2 || out == nullptr || outSize < 2) return 0;
    out[0] = answer[length - 2];
    out[1] = answer[length - 1];
    return 1;
}

int RUDA_SwEquals(int value, const unsigned char* twoBytes) {
    if (twoBytes == nullptr) return 0;
    return value == twoBytes[0] * 256 + twoBytes[1] ? 1 : 0;
}

int RUDA_IsSw9000(const unsigned char* twoBytes) { return RUDA_SwEquals(0x9000, twoBytes); }
int RUDA_IsSw9F43(const unsigned char* twoBytes) { return RUDA_SwEquals(0x9F43, twoBytes); }
int RUDA_IsSw9F45(const unsigned char* twoBytes) { return RUDA_SwEquals(0x9F45, twoBytes); }
int RUDA_IsSw9F27(const unsigned char* twoBytes) { return RUDA_SwEquals(0x9F27, twoBytes); }

void RUDA_SwapBytes4(const unsigned char* in, unsigned char* out) {
    if (in == nullptr || out == nullptr) return;
    const unsigned char copy[4] = {in[0], in[1], in[2], in[3]};
    for (int i = 0; i < 4; ++i) out[i] = copy[3 - i];
}

void RUDA_ToBigEndian32(uint32_t* cell) {
    if (cell == nullptr) return;
    unsigned char b[4];
    TLV_PutU32BE(b, *cell);
    std::memcpy(cell, b, 4);
}

// ---------------------------------------------------------------------------
// Candidate table
// ---------------------------------------------------------------------------

int RUDA_NextCandidateAid(unsigned char* out, int* length) {
    if (length == nullptr) return 0;
    *length = 0;
    if (out == nullptr || g_candidateIndex < 0 || g_candidateIndex >= kCandidateTableCount) return 0;
    std::memcpy(out, kCandidateTable[g_candidateIndex], sizeof kCandidateTable[0]);
    *length = static_cast<int>(sizeof kCandidateTable[0]);
    return 0;
}

void RUDA_ResetCandidateIndex() { g_candidateIndex = 0; }
void RUDA_AdvanceCandidateIndex() {
    if (g_candidateIndex < kCandidateTableCount) ++g_candidateIndex;
}
int RUDA_CandidateIndex() { return g_candidateIndex; }

// ---------------------------------------------------------------------------
// Elements
// ---------------------------------------------------------------------------

bool RUDA_AppendElement(RudaBytes& out, unsigned int tag, const unsigned char* value, int length) {
    if (length < 0 || length > kTlvMaxValueLength || (length > 0 && value == nullptr)) return false;
    unsigned char head[7];
    unsigned char* w = TLV_PutTag(head, tag);
    if (length < 0x80) {
        *w++ = static_cast<unsigned char>(length);
    } else if (length <= 0xFF) {
        *w++ = 0x81;
        *w++ = static_cast<unsigned char>(length);
    } else {
        *w++ = 0x82;
        *w++ = static_cast<unsigned char>(length >> 8);
        *w++ = static_cast<unsigned char>(length);
    }
    out.insert(out.end(), head, w);
    if (length > 0) out.insert(out.end(), value, value + length);
    return true;
}

bool RUDA_HexToBytes(const char* text, int count, RudaBytes& out) {
    if (text == nullptr || count < 0) return false;
    const size_t start = out.size();
    int pending = count % 2 == 1 ? 0 : -1;  // an odd count starts with a '0' digit
    for (int i = 0; i < count; ++i) {
        const int v = HexDigit(text[i]);
        if (v < 0) {
            out.resize(start);
            return false;
        }
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(static_cast<unsigned char>(pending << 4 | v));
            pending = -1;
        }
    }
    return true;
}

int RUDA_AddBitmapName(RudaBytes& out) { return RUDA_AddFileName(out, "TICKETS.BMP"); }

int RUDA_AddFileName(RudaBytes& out, const char* text) {
    RudaBytes inner;
    if (RUDA_AddFileNameElement(inner, text) != 0) return 1;
    return WrapE0(out, inner);
}

int RUDA_AddFileNameElement(RudaBytes& out, const char* text) {
    if (text == nullptr) return 1;
    return RUDA_AppendElement(out, 0xDFA301, reinterpret_cast<const unsigned char*>(text),
                              static_cast<int>(std::strlen(text)))
               ? 0
               : 1;
}

int RUDA_AddOnlineFlag(RudaBytes& out, int authorisationMode) {
    const unsigned char flag = (authorisationMode == 64 || authorisationMode == 80) ? 0x01 : 0x00;
    return RUDA_AppendElement(out, 0xC0, &flag, 1) ? 0 : 1;
}

int RUDA_AddC2Data(RudaBytes& out, const unsigned char* bytes, int length) {
    if (bytes == nullptr || length <= 0) {
        static const unsigned char kDefault[] = {'1', '0'};
        return RUDA_AppendElement(out, 0xC2, kDefault, 2) ? 0 : 1;
    }
    return AddBytes(out, 0xC2, bytes, length);
}

int RUDA_AddAppLabel(RudaBytes& out, int length, const unsigned char* bytes) {
    if (length > 44) return 1;
    return AddBytes(out, 0x50, bytes, length);
}

int RUDA_AddAmount(RudaBytes& out, bool present, int64_t amount) {
    return present ? AddDecimal(out, 0x9F02, amount, 12) : 1;
}

int RUDA_AddCurrencyCode(RudaBytes& out, bool present, int currency) {
    return present ? AddDecimal(out, 0x5F2A, currency, 3) : 1;
}

int RUDA_AddCurrencyExponent(RudaBytes& out, bool present, int exponent) {
    return present ? AddDecimal(out, 0x5F36, exponent, 1) : 1;
}

int RUDA_AddBcdNumber(RudaBytes& out, int n) {
    if (n <= 0) return 1;
    return AddDecimal(out, 0xDF8141, n, n < 100 ? 2 : 4);
}

int RUDA_AddTransactionDate(RudaBytes& out, const char* yyyymmdd, int length) {
    if (yyyymmdd == nullptr || length != 8) return 1;
    for (int i = 0; i < 8; ++i)
        if (!std::isdigit(static_cast<unsigned char>(yyyymmdd[i]))) return 1;
    return AddHexText(out, 0x9A, yyyymmdd + 2, 6);
}

int RUDA_AddAuthCode(RudaBytes& out, const unsigned char* bytes, int length) {
    return AddBytes(out, 0x89, bytes, length);
}

int RUDA_AddIssuerAuthData(RudaBytes& out, const char* hex, int length) {
    return AddHexText(out, 0x91, hex, length);
}

int RUDA_AddResponseCode(RudaBytes& out, const unsigned char* bytes, int length) {
    return AddBytes(out, 0x8A, bytes, length);
}

int RUDA_AddTransactionType(RudaBytes& out, bool present, int type) {
    return present ? AddDecimal(out, 0x9C, type, 2) : 1;
}

int RUDA_AddAid(RudaBytes& out, int hexLength, const char* text) {
    if (hexLength > 44) return 1;
    return AddHexText(out, 0x9F06, text, hexLength);
}

int RUDA_AddAppVersion(RudaBytes& out, const char* text) { return AddFixedHex(out, 0x9F09, text, 4); }

int RUDA_AddFloorLimit(RudaBytes& out, const char* text) {
    if (text == nullptr || *text == '\0') return 1;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return 1;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFull) return 1;
    }
    unsigned char b[4];
    TLV_PutU32BE(b, static_cast<uint32_t>(value));
    return RUDA_AppendElement(out, 0x9F1B, b, 4) ? 0 : 1;
}

int RUDA_AddTransactionTime(RudaBytes& out, const char* hex, int length) {
    return AddHexText(out, 0x9F21, hex, length);
}

int RUDA_AddTerminalCapabilities(RudaBytes& out, const char* hex, int length) {
    return AddHexText(out, 0x9F33, hex, length);
}

int RUDA_AddTerminalType(RudaBytes& out, bool present, int type) {
    return present ? AddDecimal(out, 0x9F35, type, 2) : 1;
}

int RUDA_AddCountryCode(RudaBytes& out, int n) {
    if (n <= 0) return 1;
    return AddDecimal(out, 0x9F1A, n, 3);
}

int RUDA_AddDFDF06(RudaBytes& out, const char* text) { return AddFixedHex(out, 0xDFDF06, text, 10); }
int RUDA_AddDFDF07(RudaBytes& out, const char* text) { return AddFixedHex(out, 0xDFDF07, text, 10); }
int RUDA_AddDFDF08(RudaBytes& out, const char* text) { return AddFixedHex(out, 0xDFDF08, text, 10); }

int RUDA_AddDFA226(RudaBytes& out) {
    const unsigned char one = 0x01;
    return RUDA_AppendElement(out, 0xDFA226, &one, 1) ? 0 : 1;
}

int RUDA_AddDFED0D(RudaBytes& out) {
    const unsigned char value[] = {0x07, 0x00};
    return RUDA_AppendElement(out, 0xDFED0D, value, 2) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Templates
// ---------------------------------------------------------------------------

int RUDA_BuildAmountTemplate(RudaBytes& out, const CtlsTransactionData* data, int country) {
    if (data == nullptr) return 1;
    RudaBytes e;
    if (RUDA_AddAmount(e, data->amountPresent != 0, data->amount) != 0) return 1;
    RUDA_AddCurrencyCode(e, data->currencyPresent != 0, data->currency);
    RUDA_AddTransactionType(e, data->typePresent != 0, data->type);
    RUDA_AddCountryCode(e, country);
    return WrapE0(out, e);
}

int RUDA_BuildPrevalTemplate(RudaBytes& out, const POT* pot) {
    if (pot == nullptr) return 1;
    RudaBytes e;
    if (RUDA_AddAmount(e, Present(pot->amount), pot->amount.value) != 0) return 1;
    RUDA_AddCurrencyCode(e, Present(pot->currencyCode), static_cast<int>(pot->currencyCode.value));
    RUDA_AddTransactionDate(e, pot->transactionDate.text, TextLength(pot->transactionDate));
    RUDA_AddTransactionTime(e, pot->transactionTime.text, TextLength(pot->transactionTime));
    const unsigned char zero = 0x00;
    RUDA_AppendElement(e, 0xDFA204, &zero, 1);
    RUDA_AddDFA226(e);
    RUDA_AddTransactionType(e, Present(pot->transactionType), static_cast<int>(pot->transactionType.value));
    return WrapE0(out, e);
}

int RUDA_BuildCandidateTemplate(RudaBytes& out, const POT* pot, const RudaCandidateEntry* list) {
    if (pot == nullptr || list == nullptr) return 1;
    RudaBytes e;
    for (int i = 0; i < kRudaCandidateListMax && list[i].aidLength != 0; ++i) {
        const RudaCandidateEntry& c = list[i];
        const int aidLength = c.aidLength > 0 && c.aidLength <= 44 ? c.aidLength : 0;
        RUDA_AddAid(e, aidLength, c.aid);
        RUDA_AddC2Data(e, pot->c2Data.bytes, ByteLength(pot->c2Data));
        const int labelLength = c.labelLength > 0 && c.labelLength <= 44 ? c.labelLength : 0;
        RUDA_AddAppLabel(e, labelLength, c.label);
    }
    return WrapE0(out, e);
}

int RUDA_BuildContinueTemplate(RudaBytes& out, const POT* pot, const char* versionText,
                               const char* floorLimitText, const char* firstText,
                               const char* secondText, const char* thirdText) {
    if (pot == nullptr || !Present(pot->amount)) return 1;
    RudaBytes e;
    RUDA_AddCurrencyCode(e, Present(pot->currencyCode), static_cast<int>(pot->currencyCode.value));
    RUDA_AddCurrencyExponent(e, Present(pot->currencyExponent),
                             static_cast<int>(pot->currencyExponent.value));
    RUDA_AddTransactionType(e, Present(pot->transactionType), static_cast<int>(pot->transactionType.value));
    if (RUDA_AddAmount(e, true, pot->amount.value) != 0) return 1;
    RUDA_AddAid(e, TextLength(pot->selectedAid), pot->selectedAid.text);
    RUDA_AddAppLabel(e, ByteLength(pot->applicationLabel), pot->applicationLabel.bytes);
    RUDA_AddAppVersion(e, versionText);
    // The terminal country stays 250.
    RUDA_AddCountryCode(e, 250);
    RUDA_AddFloorLimit(e, floorLimitText);
    RUDA_AddTerminalCapabilities(e, pot->terminalCapabilities.text, TextLength(pot->terminalCapabilities));
    RUDA_AddTerminalType(e, Present(pot->terminalType), static_cast<int>(pot->terminalType.value));
    RUDA_AddOnlineFlag(e, Present(pot->authorisationMode) ? static_cast<int>(pot->authorisationMode.value) : 0);
    RUDA_AddC2Data(e, pot->c2Data.bytes, ByteLength(pot->c2Data));
    RUDA_AddDFDF06(e, thirdText);
    RUDA_AddDFDF07(e, firstText);
    RUDA_AddDFDF08(e, secondText);
    return WrapE0(out, e);
}

int RUDA_BuildOnlineResultTemplate(RudaBytes& out, const POT* pot) {
    if (pot == nullptr) return 1;
    RudaBytes e;
    RUDA_AddOnlineFlag(e, Present(pot->authorisationMode) ? static_cast<int>(pot->authorisationMode.value) : 0);
    RUDA_AddResponseCode(e, pot->responseCode.bytes, ByteLength(pot->responseCode));
    RUDA_AddAuthCode(e, pot->authorisationCode.bytes, ByteLength(pot->authorisationCode));
    RUDA_AddIssuerAuthData(e, pot->issuerAuthenticationData.text, TextLength(pot->issuerAuthenticationData));
    return WrapE0(out, e);
}

int RUDA_Request(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data, int dataLength,
                 unsigned char** apdu, int* apduLength) {
    return RUDA_BuildApdu(cla, ins, p1, p2, data, dataLength, nullptr, 0, apdu, apduLength) == RUDA_APDU_BUILT ? 1 : 0;
}

int RUDA_RequestExtended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data,
                         unsigned char** apdu, int* apduLength) {
    return RUDA_BuildApduExtended(cla, ins, p1, p2, data.data(), static_cast<int>(data.size()), nullptr, 0, apdu,
                                  apduLength) == RUDA_APDU_BUILT
               ? 1
               : 0;
}
