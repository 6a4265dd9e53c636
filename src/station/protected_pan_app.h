// Protected card number and BIN table, program side: the card number taken
// from the chip data the terminal sends, its enciphered line in the "SP"
// trace zone after the server's answer, and the BIN table lookup for the
// current station. The pure parts are in core/protected_pan.h;
// LoadStorageCertificate (declared there) is defined here. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/protected_pan.h"

// Terminal answers examined for the card number: peripheral, command code,
// the element holding the chip data and its track 2 equivalent.
constexpr uint32_t kCardDataPeripheral = 0x2801;
constexpr int kCardDataCommand = 4;
constexpr unsigned int kCardDataTag = 0xDF808400;
constexpr unsigned int kTrack2EquivalentTag = 0x57;
constexpr int kCardAnswerMinLength = 200;
constexpr int kCardAnswerMaxLength = 4096;

// Looks for the card number in a terminal answer (DLE-doubled DORAN message)
// of the card dialogue: only when a storage certificate is configured, the
// length is 200 to 4096, the session is open and no card number was
// captured yet in the transaction record. 1 captured (card number, expiry
// date, service code and the rest of the track in the transaction record;
// the card number registered for log masking), 0 nothing done. The storage
// capture stays off for the life of the process once a storage certificate
// failed to load.
int EMV_ReadTrack2Equivalent(const unsigned char* answer, int length);

// Enciphers "TALVO" and the captured card number under the storage key into
// output (capacity bytes). The block length; -1 no storage key; -2 bad
// argument; -3 the cipher failed or the block does not fit.
int EncryptPanForStorage(unsigned char* output, size_t capacity);

// Writes the secured card-number line (enciphered block in hexadecimal,
// ";;;;", the server answer cut to the line's room) to the trace zone "SP",
// then selects "CA" again. Nothing is written without a storage key.
void StoreSecuredPan(const char* answer);

// Looks the card number up in the BIN table of the main path under the
// two-character code. On a match: 1, code := the record's result code, and,
// as the record says, the first six digits replaced or the application name
// set as tag D3V. An empty card number checks the records on their own low
// bounds and is left empty. 0 for no match, a missing or corrupted table,
// null arguments, a code area under 3 bytes or a card-number area under 7.
// The name filter is not used.
int LookupBinTable(char* cardNumber, size_t cardNumberSize, char* code, size_t codeSize,
                   const char* nameFilter);
