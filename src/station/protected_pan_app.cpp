// Card number capture from the chip data, the secured card-number line and
// the BIN table lookup of the station.
#include "station/protected_pan_app.h"

#include <openssl/crypto.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "protocols/doran/doran_syntax.h"
#include "protocols/xpro/xpro_dle.h"
#include "station/eft_context.h"
#include "station/options.h"

namespace {

// Set once a storage certificate failed to load: re-reading the options
// never switches the capture back on.
bool g_captureDisabled = false;

bool StoragePathSet() { return Options.StorageCert != nullptr && Options.StorageCert[0] != '\0'; }

bool CaptureOn() { return !g_captureDisabled && StoragePathSet(); }

void CopyCardFields(TransactionRecord* r, const CardTrackFields& fields) {
    std::memcpy(r->cardNumber, fields.cardNumber, sizeof r->cardNumber);
    std::memcpy(r->expiryDate, fields.expiryDate, sizeof r->expiryDate);
    std::memcpy(r->serviceCode, fields.serviceCode, sizeof r->serviceCode);
    std::memcpy(r->trackRest, fields.trackRest, sizeof r->trackRest);
    r->cardNumberLength = fields.cardNumberLength;
    r->expiryDateLength = fields.expiryDateLength;
    r->serviceCodeLength = fields.serviceCodeLength;
}

// Takes the card fields from the data part of a card-data answer.
int CaptureFromData(TlvNode* data, TransactionRecord* record) {
    TlvNode* holder = TLV_Find(data->value, data->lg, kCardDataTag, nullptr);
    if (holder == nullptr) return 0;
    char text[kTrack2EquivalentMaxHex + 1];
    int length = sizeof text;
    const int found = TLV_GetHex(holder, kTrack2EquivalentTag, text, &length);
    TLV_Free(holder, 'r');
    if (found != 1) return 0;  // absent, repeated or too long
    for (char* p = text; *p != '\0'; ++p) *p = char(std::toupper(static_cast<unsigned char>(*p)));

    ClearCardTrackFields();
    CardTrackFields fields{};
    const int split = SplitTrack2Equivalent(text, &fields);
    OPENSSL_cleanse(text, sizeof text);
    if (split != 1) return 0;
    CopyCardFields(record, fields);
    if (record->cardNumber[0] != '\0') RegisterLogMasking(record->cardNumber, nullptr, 0);
    record->cardNumberLength = int32_t(std::strlen(record->cardNumber));
    OPENSSL_cleanse(&fields, sizeof fields);
    return 1;
}

}  // namespace

int LoadStorageCertificate() {
    if (!StoragePathSet()) return 0;
    const int result = LoadStorageKeyFile(Options.StorageCert);
    if (result != 1) {
        // No path, and the capture stays off for this process even when the
        // options are read again.
        WFree(Options.StorageCert);
        Options.StorageCert = nullptr;
        g_captureDisabled = true;
    }
    return result;
}

int EMV_ReadTrack2Equivalent(const unsigned char* answer, int length) {
    TransactionRecord* record = GetTransactionRecord();
    if (!CaptureOn() || answer == nullptr || record == nullptr) return 0;
    if (length < kCardAnswerMinLength || length > kCardAnswerMaxLength) return 0;
    if (record->cardNumberLength != 0) return 0;

    unsigned char work[kCardAnswerMaxLength];
    const int undoubled = XPRO_UndoubleDLE(work, answer, length);
    uint32_t peripheral = 0;
    int command = -1;
    const int dataLength = DRN_DecapsSyntax(work, undoubled, &peripheral, &command);
    TlvNode* data = DRN_DataPart();
    int result = 0;
    if (dataLength >= 0 && data != nullptr && peripheral == kCardDataPeripheral &&
        command == kCardDataCommand)
        result = CaptureFromData(data, record);
    // The parts point into the work buffer: release them before it goes.
    DRN_FreeSyntax(1, 'w');
    return result;
}

int EncryptPanForStorage(unsigned char* output, size_t capacity) {
    const TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr) return -2;
    return EncipherCardNumber(record->cardNumber, output, capacity);
}

void StoreSecuredPan(const char* answer) {
    std::vector<unsigned char> block(kSecuredLineSize);
    const int length = EncryptPanForStorage(block.data(), block.size());
    if (length < 1) return;
    // The enciphered block and the separator are written as they stand; the
    // answer is masked like any trace text. The line is stored data: the
    // log options never drop it.
    std::vector<char> head(kSecuredLineSize);
    if (BuildSecuredPanLine(block.data(), length, "", head.data(), head.size()) < 0) return;
    // Zone and hook change together: no other line may land in "SP".
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    EFTOC_SetTraceZone("SP");
    TraceFrontWriteRecord(head.data(), answer != nullptr ? answer : "");
    EFTOC_SetTraceZone("CA");
}

int LookupBinTable(char* cardNumber, size_t cardNumberSize, char* code, size_t codeSize,
                   const char* /*nameFilter*/) {
    if (cardNumber == nullptr || code == nullptr || codeSize < 3 || cardNumberSize < 7) return 0;
    if (strnlen(cardNumber, cardNumberSize) == cardNumberSize) return 0;  // not terminated
    EFTCBox* context = GetEftContext();
    if (context == nullptr) return 0;
    const std::string path =
        std::string(context->mainPath) + '/' + kBinTableDirectory + '/' + kBinTableFileName;
    std::string records;
    if (ReadBinTable(path.c_str(), &records) != 1) return 0;

    const char* label = nullptr;
    if (context->netResourceIndex >= 0 && context->netResourceIndex < kNetResourceCount)
        label = context->netResources[context->netResourceIndex].label;

    BinMatch match{};
    if (SearchBinTable(records.data(), records.size(), cardNumber, code, label, &match) != 1)
        return 0;
    const bool emptyMode = cardNumber[0] == '\0';
    if (match.kind == BinKind::Pan && !emptyMode) {
        const size_t length = std::strlen(cardNumber);
        std::memcpy(cardNumber, match.panDigits, 6);
        if (length < 6) cardNumber[6] = '\0';
    } else if (match.kind == BinKind::Name) {
        TAG_Set("D3V", match.name);
    }
    code[0] = match.code[0];
    code[1] = match.code[1];
    code[2] = '\0';
    return 1;
}
