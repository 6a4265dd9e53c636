// Fuzz target of the RUDA screen answers: the first byte chooses the
// decoder (a dialogue record of one kind, with or without the selection's
// cancel rule; the HTML page; the language list; the barcode; the screen
// statuses), the rest is the terminal's answer with its status word.
// Records keep their bounds: the entered value within its 40 characters and
// ended, no slot or barcode byte written past the caller's room.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "protocols/ruda/ruda_display.h"

namespace {

constexpr unsigned char kCanary = 0xA5;
constexpr int kSlots = 4;

bool Untouched(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != kCanary) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    const uint8_t choice = input[0];
    std::vector<unsigned char> answer(input + 1, input + size);
    const int length = static_cast<int>(answer.size());
    static const int32_t kinds[] = {0, TERM_DISPLAY_OPEN, TERM_DISPLAY_TEXT, TERM_DISPLAY_SELECT, TERM_DISPLAY_ENTRY,
                                    TERM_DISPLAY_CONTINUOUS, TERM_DISPLAY_ENTRY_EXT, TERM_DISPLAY_NUMERIC,
                                    TERM_DISPLAY_KEY_WAIT, TERM_DISPLAY_SECRET_ENTRY, 42};
    switch (choice % 6) {
        case 0: {
            auto block = std::make_unique<TermDisplayBlock>();
            block->kind = kinds[(choice >> 3) % 11];
            block->selectionOption = (choice & 0x04) != 0 ? 4 : 0;
            const int r = RUDA_DealDialogueAnswer(answer.data(), length, block.get(), (choice >> 7) & 1);
            Check(r >= -1, "status");
            Check(block->resultLength >= 0 && block->resultLength < kTermDisplayResultMax, "result length");
            Check(block->resultData[kTermDisplayResultMax - 1] == '\0', "result data ended");
            Check(block->keyWaitFlag == 0 && block->secretEntryLength == 0, "nothing written past the result");
            break;
        }
        case 1: {
            HtmlPageResponse response;
            const int r = RUDA_DealDisplayHtml(answer.data(), length, &response);
            Check(r == 0 || r == 1 || r == 32 || r == 64, "page status");
            Check(response.params().size() <= 1, "one returned parameter at most");
            break;
        }
        case 2: {
            unsigned char slots[(kSlots + 1) * kRudaLanguageSlot];
            std::memset(slots, kCanary, sizeof slots);
            RUDA_DealLanguageList(answer.data(), length, reinterpret_cast<char*>(slots), kSlots);
            Check(Untouched(slots + kSlots * kRudaLanguageSlot, kRudaLanguageSlot), "no slot past the room");
            for (int i = 0; i < kSlots; ++i) {
                const unsigned char* slot = slots + i * kRudaLanguageSlot;
                Check(Untouched(slot, kRudaLanguageSlot) || slot[3] == '\0', "slot ended");
            }
            break;
        }
        case 3: {
            std::vector<unsigned char> buffer(kRudaBarcodeMax + 1 + 16, kCanary);
            RUDA_DealRUDAReadBarcodeAnswer(answer.data(), length, reinterpret_cast<char*>(buffer.data()));
            Check(Untouched(buffer.data() + kRudaBarcodeMax + 1, 16), "no barcode byte past the buffer");
            break;
        }
        default: {
            static const int operations[] = {160, 161, 163, 166, 170};
            const int r = RUDA_DealScreenStatus(operations[(choice >> 3) % 5], answer.data(), length);
            Check(r == 0 || r == 1 || r == 32 || r == 82, "screen status");
            break;
        }
    }
    return 0;
}
