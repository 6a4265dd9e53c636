// Fuzz target of the card-data record loader: the first byte chooses the
// services asked and the CDOL flag, the rest is handed to the answer decoder
// of operation 30 and, as data elements, to the loader itself. The record
// stays within its slots, decoded parts never outlive the answer, and the
// offline-authentication buffer never passes its limit.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "pot_check.h"
#include "protocols/doran/doran_emv.h"
#include "protocols/doran/doran_syntax.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    auto pot = std::make_unique<POT>();
    POT_StartTransaction(pot.get());
    DRN_ResetCdolFlag();
    const uint8_t choice = input[0];
    static const int32_t kMasks[] = {POT_SERVICE_AIP_AFL, POT_SERVICE_CARD_DATA, POT_SERVICE_DYNAMIC_AUTH,
                                     POT_SERVICE_PIN_TRY, POT_SERVICE_FIRST_AC,  POT_SERVICE_SECOND_AC,
                                     POT_SERVICE_RECORDS_8D, POT_SERVICE_INTERNAL_AUTH};
    for (int i = 0; i < 8; ++i)
        if ((choice >> i) & 1) pot->services[i].mask = kMasks[i];
    if ((choice & 0x81) == 0x81) DRN_SetCdolAsBytes(1);

    std::vector<unsigned char> data(input + 1, input + size);
    const int r = DRN_DealEMVAnswer(data.data(), static_cast<int>(data.size()), pot.get());
    Check(r == 0 || r == 1 || r == 32, "answer result");
    Check(DRN_DataPart() == nullptr, "decoded parts outlive the answer");
    CheckPot(*pot);

    // The same bytes as the data part of an answer, every slot asked.
    pot->pan.length = pot->aip.length = pot->afl.length = kPotAsked;
    pot->cryptogram1.length = pot->cryptogramInfo1.length = kPotAsked;
    pot->issuerApplicationData.length = pot->atc.flag = kPotAsked;
    pot->records8d.flag = kPotAsked;
    for (int i = 0; i < 4; ++i) pot->currencyCodes9f3b[i].flag = kPotAsked;
    const int loaded = DRN_DealEMVAnswerDatas(data.data(), static_cast<int>(data.size()), pot.get());
    Check(loaded == 0 || loaded == 1, "loader result");
    CheckPot(*pot);
    int buffered = 0;
    DRN_AuthentificationBuffer(&buffered);
    Check(buffered >= 0 && buffered < kDrnAuthenticationBufferMax, "authentication buffer beyond its limit");
    DRN_FreeAuthentificationBuffer();
    DRN_ResetCdolFlag();
    return 0;
}
