// Storage key, card-number enciphering, track 2 split, secured line and the
// BIN table search.
#include "core/protected_pan.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/crypto.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace_front.h"

namespace {

EVP_PKEY* g_storageKey = nullptr;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

int CertFailure(int result, const char* text) {
    TraceLog(TRACE_ERROR, "[CERT]", "%s", text);
    return result;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Text without its spaces, in lower case.
std::string Squeezed(const char* text, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && text[i] != '\0'; ++i)
        if (text[i] != ' ') out.push_back(AsciiLower(text[i]));
    return out;
}

// Characters of a bound field before its first space.
int BoundLength(const char* field) {
    for (int i = 0; i < 19; ++i)
        if (field[i] == ' ') return i;
    return 19;
}

// Record layout: positions from the "[".
constexpr size_t kLowAt = 1;
constexpr size_t kHighAt = 20;
constexpr size_t kSelectorAt = 39;
constexpr size_t kCodeAt = 41;
constexpr size_t kKindAt = 43;
constexpr size_t kPanAt = 48;
constexpr size_t kNameAt = 54;
constexpr size_t kNameEnd = 74;  // one past the last name position
// Furthest place of the closing "]": just behind a full application name.
constexpr size_t kCloseMax = 74;

}  // namespace

int LoadStorageKeyFile(const char* path) {
    ReleaseStorageKey();
    FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        TraceLog(TRACE_ERROR, "[CERT]", "Error opening %s", path != nullptr ? path : "(null)");
        return -1;
    }
    std::vector<unsigned char> data(kStorageCertMaxBytes);
    size_t length = std::fread(data.data(), 1, data.size(), file);
    std::fclose(file);
    if (length == kStorageCertMaxBytes)
        TraceLog(TRACE_WARN, "[CERT]", "length max for server key");

    if (RSAKEY_Action(data.data(), &length, RSAKEY_PRIVATE_DECRYPT, data.size()) != 1)
        return CertFailure(-2, "Error RSAKEY_Action");

    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio) return CertFailure(-3, "Error BIO_new");
    if (length == 0 || BIO_write(bio.get(), data.data(), int(length)) != int(length))
        return CertFailure(-4, "Error BIO_write");
    std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) return CertFailure(-5, "Error PEM_read_bio_X509");
    std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_get_pubkey(cert.get()));
    if (!key) return CertFailure(-6, "Error X509_get_pubkey");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        return CertFailure(-7, "Error EVP_PKEY_get1_RSA");
    g_storageKey = key.release();
    return 1;
}

EVP_PKEY* StorageKey() { return g_storageKey; }

void ReleaseStorageKey() {
    EVP_PKEY_free(g_storageKey);
    g_storageKey = nullptr;
}

int EncipherCardNumber(const char* cardNumber, unsigned char* output, size_t capacity) {
    if (g_storageKey == nullptr) return -1;
    if (cardNumber == nullptr || output == nullptr) return -2;
    const std::string text = std::string(kStorageCompanyWord) + cardNumber;
    size_t written = capacity;
    if (RSA_Openssl_CryptPublicData(reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), output, &written, g_storageKey,
                                    RSA_PADDING_PKCS1) != 1)
        return -3;
    return int(written);
}

int SplitTrack2Equivalent(const char* text, CardTrackFields* fields) {
    if (fields == nullptr) return 0;
    std::memset(fields, 0, sizeof *fields);
    if (text == nullptr) return 0;
    CardTrackFields out{};
    size_t pan = 0, expiry = 0, service = 0, rest = 0;
    bool inCardNumber = true;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        const bool digit = c >= '0' && c <= '9';
        if (inCardNumber) {
            if (c == 'B') continue;
            if (c == 'D') {
                inCardNumber = false;
                continue;
            }
            if (!digit && !(c >= 'A' && c <= 'F')) return 0;
            if (pan == sizeof out.cardNumber - 1) return 0;
            out.cardNumber[pan++] = c;
            continue;
        }
        if (c == 'F') break;
        if (!digit && !(c >= 'A' && c <= 'E')) return 0;
        if (expiry < 4) {
            out.expiryDate[expiry++] = c;
        } else if (service < 3) {
            out.serviceCode[service++] = c;
        } else {
            if (rest == sizeof out.trackRest - 1) return 0;
            out.trackRest[rest++] = c;
        }
    }
    // A track without its separator has no card number that can be trusted.
    if (inCardNumber) return 0;
    *fields = out;
    return 1;
}

int BuildSecuredPanLine(const unsigned char* block, int blockLength, const char* answer,
                        char* line, size_t size) {
    if (block == nullptr || answer == nullptr || line == nullptr || blockLength <= 0) return -1;
    const size_t hex = size_t(blockLength) * 2;
    const size_t head = hex + std::strlen(kSecuredLineSeparator);
    if (size < head + 1) return -1;
    WBinToHex(line, block, blockLength);
    std::memcpy(line + hex, kSecuredLineSeparator, std::strlen(kSecuredLineSeparator));
    const size_t room = size - 1 - head;
    const size_t take = strnlen(answer, room);
    std::memcpy(line + head, answer, take);
    line[head + take] = '\0';
    return int(head + take);
}

int ReadBinTable(const char* path, std::string* records) {
    if (records == nullptr) return 0;
    records->clear();
    KTDK_FILE* file = FILE_NewFile(path);
    if (file == nullptr) return 0;
    int result = 0;
    if (FILE_OpenReadClose(file) > 0 && file->content != nullptr && file->length > 0) {
        if (FILE_GetRecordSecure(file) < 0 || FILE_GetRecordSignat(file) != 1) {
            TraceLog(TRACE_ERROR, "[MAK]", "BINs file corrupted");
            result = -1;
        } else {
            records->assign(file->content, size_t(file->length));
            result = 1;
        }
    }
    FILE_FreeFile(file);
    return result;
}

int SearchBinTable(const char* records, size_t length, const char* cardNumber, const char* code,
                   const char* resourceLabel, BinMatch* match) {
    if (records == nullptr || cardNumber == nullptr || code == nullptr || match == nullptr)
        return 0;
    // The first record fixes the place of "]" and so the record length.
    if (length < 2 || records[0] != '[') return 0;
    size_t close = 0;
    for (size_t i = 1; i <= kCloseMax && i < length; ++i) {
        if (records[i] == ']') {
            close = i;
            break;
        }
    }
    // Bounds, selector and result code must lie inside the record.
    if (close < kKindAt) return 0;
    const size_t stride = close + 3;  // "]" then CR LF
    const bool emptyMode = cardNumber[0] == '\0';
    const std::string label =
        resourceLabel != nullptr ? Squeezed(resourceLabel, std::strlen(resourceLabel)) : "";

    int best = 0;
    bool found = false;
    int index = 0;
    for (size_t at = 0; at + close < length && records[at] == '[' && records[at + close] == ']';
         at += stride, ++index) {
        const char* rec = records + at;
        const int lowLength = BoundLength(rec + kLowAt);
        const int highLength = BoundLength(rec + kHighAt);
        if (lowLength == 0 || highLength == 0) return 0;

        char own[20] = {};
        const char* number = cardNumber;
        if (emptyMode) {
            std::memcpy(own, rec + kLowAt, size_t(lowLength));
            number = own;
        }
        if (std::strncmp(number, rec + kLowAt, size_t(lowLength)) < 0) continue;
        if (std::strncmp(number, rec + kHighAt, size_t(highLength)) > 0) continue;
        if (code[0] == '\0' || code[1] == '\0' || !SameIgnoringCase(rec + kSelectorAt, code, 2))
            continue;
        const int specificity = lowLength < highLength ? lowLength : highLength;
        if (specificity < best) continue;

        BinMatch candidate{};
        candidate.kind = BinKind::Plain;
        if (close != kKindAt) {
            if (close < kPanAt) continue;  // kind field cut short
            const char* kind = rec + kKindAt;
            const std::string squeezed = Squeezed(kind, 5);
            if (squeezed.empty() || squeezed == label) {
                candidate.kind = BinKind::Plain;
            } else if (SameIgnoringCase(kind, "PAN  ", 5)) {
                if (close < kNameAt) continue;
                candidate.kind = BinKind::Pan;
                std::memcpy(candidate.panDigits, rec + kPanAt, 6);
            } else if (SameIgnoringCase(kind, "NAME ", 5)) {
                if (close <= kNameAt) continue;
                candidate.kind = BinKind::Name;
                size_t end = close < kNameEnd ? close : kNameEnd;
                while (end > kNameAt && rec[end - 1] == ' ') --end;
                std::memcpy(candidate.name, rec + kNameAt, end - kNameAt);
            } else {
                continue;
            }
        }
        std::memcpy(candidate.code, rec + kCodeAt, 2);
        candidate.specificity = specificity;
        candidate.index = index;
        *match = candidate;
        best = specificity;
        found = true;
    }
    return found ? 1 : 0;
}
