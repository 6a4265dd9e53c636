// Card number capture from the chip data, the secured card-number line and
// the BIN table lookup of the station.
#include "app/protected_pan_app.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/eft_context.h"
#include "app/options.h"
#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "protocols/doran/doran_syntax.h"
#include "protocols/xpro/xpro_dle.h"

namespace {

CardTrackFields g_fields{};

bool StoragePathSet() { return Options.StorageCert != nullptr && Options.StorageCert[0] != '\0'; }

// Takes the card fields from the data part of a card-data answer.
int CaptureFromData(TlvNode* data) {
    TlvNode* holder = TLV_Find(data->value, data->lg, kCardDataTag, nullptr);
    if (holder == nullptr) return 0;
    char text[kTrack2EquivalentMaxHex + 1];
    int length = sizeof text;
    const int found = TLV_GetHex(holder, kTrack2EquivalentTag, text, &length);
    TLV_Free(holder, 'r');
    if (found != 1) return 0;  // absent, repeated or too long
    for (char* p = text; *p != '\0'; ++p) *p = char(std::toupper(static_cast<unsigned char>(*p)));

    std::memset(&g_fields, 0, sizeof g_fields);
    CardTrackFields fields{};
    if (SplitTrack2Equivalent(text, &fields) != 1) return 0;
    g_fields = fields;
    if (g_fields.cardNumber[0] != '\0') RegisterLogMasking(g_fields.cardNumber, nullptr, 0);
    g_fields.cardNumberLength = int32_t(std::strlen(g_fields.cardNumber));
    return 1;
}

}  // namespace

int LoadStorageCertificate() {
    if (!StoragePathSet()) return 0;
    const int result = LoadStorageKeyFile(Options.StorageCert);
    if (result != 1) {
        // No path: the card-number capture stays off for this process.
        WFree(Options.StorageCert);
        Options.StorageCert = nullptr;
    }
    return result;
}

CardTrackFields* GetCardTrackFields() { return &g_fields; }

void ClearCardTrackFields() { std::memset(&g_fields, 0, sizeof g_fields); }

int EMV_ReadTrack2Equivalent(const unsigned char* answer, int length) {
    if (!StoragePathSet() || answer == nullptr) return 0;
    if (length < kCardAnswerMinLength || length > kCardAnswerMaxLength) return 0;
    if (g_fields.cardNumberLength != 0) return 0;

    unsigned char work[kCardAnswerMaxLength];
    const int undoubled = XPRO_UndoubleDLE(work, answer, length);
    uint32_t peripheral = 0;
    int command = -1;
    const int dataLength = DRN_DecapsSyntax(work, undoubled, &peripheral, &command);
    TlvNode* data = DRN_DataPart();
    int result = 0;
    if (dataLength >= 0 && data != nullptr && peripheral == kCardDataPeripheral &&
        command == kCardDataCommand)
        result = CaptureFromData(data);
    // The parts point into the work buffer: release them before it goes.
    DRN_FreeSyntax(1, 'w');
    return result;
}

int EncryptPanForStorage(unsigned char* output, size_t capacity) {
    return EncipherCardNumber(g_fields.cardNumber, output, capacity);
}

void StoreSecuredPan(const char* answer) {
    std::vector<unsigned char> block(kSecuredLineSize);
    const int length = EncryptPanForStorage(block.data(), block.size());
    if (length < 1) return;
    std::vector<char> line(kSecuredLineSize);
    if (BuildSecuredPanLine(block.data(), length, answer != nullptr ? answer : "", line.data(),
                            line.size()) < 0)
        return;
    // Zone and hook change together: no other line may land in "SP".
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    EFTOC_SetTraceZone("SP");
    TraceFrontWriteLine(line.data());
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
