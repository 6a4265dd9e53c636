// Protected card number and BIN table, the parts that need nothing of the
// program: the storage key read from an enciphered certificate file, the
// enciphering of the card number under it, the split of a track 2 equivalent
// into its fields, the secured card-number line, and the reading and search
// of the signed BIN table.
//
// The entry points the transaction flow calls (they read the options, the
// EFT context and the terminal answers) are the program's:
// app/protected_pan_app.h. Main thread only.
#pragma once
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Loads the storage certificate named by the options at session opening (the
// program defines it, app/protected_pan_app.cpp). 1 loaded; 0 no certificate
// configured; -1 to -7 failure (the path is removed).
int LoadStorageCertificate();

// ---------------------------------------------------------------------------
// Storage key
// ---------------------------------------------------------------------------

// Most bytes read from a certificate file.
constexpr size_t kStorageCertMaxBytes = 10000;

// Reads the certificate file (enciphered with the built-in public key),
// deciphers it with the built-in private key and keeps the RSA public key of
// the PEM certificate it holds as the storage key (replacing any key held).
// Every failure is traced under "[CERT]" and leaves no key:
// -1 file not opened, -2 not deciphered, -3/-4 memory BIO, -5 no PEM
// certificate, -6 no public key, -7 not an RSA key. 1 loaded.
int LoadStorageKeyFile(const char* path);
// The storage key, or null when none is loaded.
EVP_PKEY* StorageKey();
// Releases the storage key.
void ReleaseStorageKey();

// Company word in front of the card number in the enciphered block.
inline constexpr const char kStorageCompanyWord[] = "TALVO";

// Enciphers "TALVO" followed by the card number under the storage key (RSA,
// PKCS #1 v1.5) into output, which has capacity bytes (one key-size block is
// needed). The length of the block; -1 no storage key; -2 bad argument;
// -3 the cipher failed or the block does not fit.
int EncipherCardNumber(const char* cardNumber, unsigned char* output, size_t capacity);

// ---------------------------------------------------------------------------
// Track 2 equivalent
// ---------------------------------------------------------------------------

// Card fields taken from the track 2 equivalent of the chip (the field sizes
// of the transaction record).
struct CardTrackFields {
    char cardNumber[21];   // up to 20 characters
    int32_t cardNumberLength;
    char expiryDate[11];   // 4 characters
    int32_t expiryDateLength;
    char serviceCode[6];   // 3 characters
    int32_t serviceCodeLength;
    char trackRest[41];    // what follows the service code
};

// Most hexadecimal characters of a track 2 equivalent (20 bytes).
constexpr int kTrack2EquivalentMaxHex = 40;

// Splits an upper-case track text: "B" skipped and "D" ending the card number
// (at most 20 characters of 0-9 and A-F), then 4 expiry characters, 3 of the
// service code and the rest, up to "F" or the end (0-9 and A-E). Clears the
// fields first; on success fills them (the lengths stay 0: the caller sets
// the card-number length once the capture is kept) and returns 1. 0 for a
// null argument, a 21st card-number character, a character out of place or
// a text without "D"; the fields are then left cleared.
int SplitTrack2Equivalent(const char* text, CardTrackFields* fields);

// ---------------------------------------------------------------------------
// Secured card-number line
// ---------------------------------------------------------------------------

constexpr size_t kSecuredLineSize = 10241;
inline constexpr const char kSecuredLineSeparator[] = ";;;;";

// Writes into line (size bytes) the block as lower-case hexadecimal digits,
// ";;;;" and the answer text, cut so that the whole and its NUL fit. The
// length written; -1 for a null argument, a block of 0 bytes or less, or a
// line too small for the block and separator.
int BuildSecuredPanLine(const unsigned char* block, int blockLength, const char* answer,
                        char* line, size_t size);

// ---------------------------------------------------------------------------
// BIN table
// ---------------------------------------------------------------------------

inline constexpr const char kBinTableDirectory[] = "WPAF";
inline constexpr const char kBinTableFileName[] = "bins_00.wt";

// Reads the BIN table file, removes its secure record (unscrambling) and
// checks and removes its signature record. 1 with the records in *records;
// 0 for a missing, empty or unreadable file; -1 when the secure record is
// unreadable or the signature is missing or wrong ("BINs file corrupted"
// traced under "[MAK]").
int ReadBinTable(const char* path, std::string* records);

// Kind of a BIN record.
enum class BinKind { Plain, Pan, Name };

// The record a search settled on.
struct BinMatch {
    char code[3];         // result code
    BinKind kind;
    char panDigits[7];    // kind Pan: the replacement of the first six digits
    char name[21];        // kind Name: the application name, trailing spaces removed
    int specificity;      // the smaller of its two bound lengths
    int index;            // record number from 0
};

// Searches the records for the card number (empty: every record is checked
// against its own low bound) under the selector code (two characters, ASCII
// case ignored) and the label of the current network resource (null or empty
// when none). The most specific matching record of an accepted kind wins,
// ties going to the later one. 1 with *match filled; 0 none, no usable
// record, or a bound of length 0. Records are read only within their length.
int SearchBinTable(const char* records, size_t length, const char* cardNumber, const char* code,
                   const char* resourceLabel, BinMatch* match);
