// RUDA APDUs: the command APDU builders, the status-word tests, the built-in
// candidate table and the data-object builders with the E0 templates of the
// transaction commands.
//
// Data-object builders append one whole BER-TLV element (tag, length, value)
// to the output and return 0, or return 1 when they add nothing (the value is
// absent or cannot be encoded). Templates are sized from their elements.
#pragma once
#include <cstdint>
#include <vector>

#include "protocols/card_records.h"
#include "protocols/pot.h"

using RudaBytes = std::vector<unsigned char>;

// Results of the APDU builders.
constexpr int RUDA_APDU_BUILT = 1;
constexpr int RUDA_APDU_NO_MEMORY = 10;
constexpr int RUDA_APDU_REFUSED = -1;

// Largest data of the short form / of the extended form.
constexpr int kRudaShortDataMax = 255;
constexpr int kRudaExtendedDataMax = 65535;

// Short form: CLA INS P1 P2 [Lc data] [Le]. Le is written when the marker is
// given (its value: the expected length, 00 in every request that passes the
// marker), or when there are no data and the expected length is not 0. The
// APDU is allocated with WAlloc (the caller frees it with WFree). 1 built, 10
// no memory, -1 refused: 256 data bytes or more (the extended form carries
// them), a negative length, or data missing.
int RUDA_BuildApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data,
                   int dataLength, const unsigned char* marker, uint8_t expectedLength,
                   unsigned char** apdu, int* apduLength);
// The same with a 32-bit data length.
int RUDA_MakeApdu(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data,
                  int32_t dataLength, const unsigned char* marker, uint8_t expectedLength,
                  unsigned char** apdu, int* apduLength);
// Extended form when the data reach 256 bytes: CLA INS P1 P2 00 Lhi Llo data
// [Le]; the short form below. Refused above 65535 data bytes.
int RUDA_BuildApduExtended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                           const unsigned char* data, int dataLength,
                           const unsigned char* marker, uint8_t expectedLength,
                           unsigned char** apdu, int* apduLength);

// A request of the module's builders without Le: 1 built (*apdu allocated
// with WAlloc), 0 not built (refused, no memory). The extended one takes the
// extended form from 256 data bytes.
int RUDA_Request(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const unsigned char* data, int dataLength,
                 unsigned char** apdu, int* apduLength);
int RUDA_RequestExtended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data,
                         unsigned char** apdu, int* apduLength);

// Status words (0 for a missing answer or one shorter than 2 bytes).
int RUDA_GetSw(const unsigned char* answer, int length);
int RUDA_CopySw(const unsigned char* answer, int length, unsigned char* out, int outSize);
int RUDA_SwEquals(int value, const unsigned char* twoBytes);
int RUDA_IsSw9000(const unsigned char* twoBytes);
int RUDA_IsSw9F43(const unsigned char* twoBytes);
int RUDA_IsSw9F45(const unsigned char* twoBytes);
int RUDA_IsSw9F27(const unsigned char* twoBytes);

void RUDA_SwapBytes4(const unsigned char* in, unsigned char* out);
void RUDA_ToBigEndian32(uint32_t* cell);

// Built-in candidate table: one identifier, A0 00 00 00 42 10 10. While the
// process-wide candidate index is below the table's count, copies the entry's
// bytes into out (7 bytes of room) and sets *length; else *length := 0.
// Returns 0.
int RUDA_NextCandidateAid(unsigned char* out, int* length);
void RUDA_ResetCandidateIndex();
void RUDA_AdvanceCandidateIndex();
int RUDA_CandidateIndex();

// ---- Data-object builders ----
int RUDA_AddBitmapName(RudaBytes& out);
int RUDA_AddFileName(RudaBytes& out, const char* text);
int RUDA_AddFileNameElement(RudaBytes& out, const char* text);
int RUDA_AddOnlineFlag(RudaBytes& out, int authorisationMode);
int RUDA_AddC2Data(RudaBytes& out, const unsigned char* bytes, int length);
int RUDA_AddAppLabel(RudaBytes& out, int length, const unsigned char* bytes);
int RUDA_AddAmount(RudaBytes& out, bool present, int64_t amount);
int RUDA_AddCurrencyCode(RudaBytes& out, bool present, int currency);
int RUDA_AddCurrencyExponent(RudaBytes& out, bool present, int exponent);
int RUDA_AddBcdNumber(RudaBytes& out, int n);
int RUDA_AddTransactionDate(RudaBytes& out, const char* yyyymmdd, int length);
int RUDA_AddAuthCode(RudaBytes& out, const unsigned char* bytes, int length);
int RUDA_AddIssuerAuthData(RudaBytes& out, const char* hex, int length);
int RUDA_AddResponseCode(RudaBytes& out, const unsigned char* bytes, int length);
int RUDA_AddTransactionType(RudaBytes& out, bool present, int type);
int RUDA_AddAid(RudaBytes& out, int hexLength, const char* text);
int RUDA_AddAppVersion(RudaBytes& out, const char* text);
int RUDA_AddFloorLimit(RudaBytes& out, const char* text);
int RUDA_AddTransactionTime(RudaBytes& out, const char* hex, int length);
int RUDA_AddTerminalCapabilities(RudaBytes& out, const char* hex, int length);
int RUDA_AddTerminalType(RudaBytes& out, bool present, int type);
int RUDA_AddCountryCode(RudaBytes& out, int n);
int RUDA_AddDFDF06(RudaBytes& out, const char* text);
int RUDA_AddDFDF07(RudaBytes& out, const char* text);
int RUDA_AddDFDF08(RudaBytes& out, const char* text);
int RUDA_AddDFA226(RudaBytes& out);
int RUDA_AddDFED0D(RudaBytes& out);

// One entry of a candidate list: identifier length in hexadecimal digits (0
// ends the list), identifier text, label length and label.
struct RudaCandidateEntry {
    int32_t aidLength;
    char aid[44];
    int32_t labelLength;
    unsigned char label[44];
};
constexpr int kRudaCandidateListMax = 10;

// ---- E0 templates; each appends one E0 element. 0 built; 1 nothing built
// (an absent amount where the amount is needed, or a value that cannot be
// encoded). ----
int RUDA_BuildAmountTemplate(RudaBytes& out, const CtlsTransactionData* data, int country);
int RUDA_BuildPrevalTemplate(RudaBytes& out, const POT* pot);
// At most kRudaCandidateListMax entries are read.
int RUDA_BuildCandidateTemplate(RudaBytes& out, const POT* pot, const RudaCandidateEntry* list);
int RUDA_BuildContinueTemplate(RudaBytes& out, const POT* pot, const char* versionText,
                               const char* floorLimitText, const char* firstText,
                               const char* secondText, const char* thirdText);
int RUDA_BuildOnlineResultTemplate(RudaBytes& out, const POT* pot);

// Appends one element (tag, BER length, value) to out; false when the value
// is longer than 65535 bytes.
bool RUDA_AppendElement(RudaBytes& out, unsigned int tag, const unsigned char* value, int length);
// Hexadecimal text (either case; an odd count gets a leading '0') to bytes;
// false for a character that is not hexadecimal.
bool RUDA_HexToBytes(const char* text, int count, RudaBytes& out);
