// Fuzz target of the answer frames of the command modules: any bytes as the
// frame of an answer row, read by the modules' one frame reader and decoded
// by the RUDA module: operations whose decoders take no result argument, a
// display dialogue (its record, kind from the input) and the terminal
// information (its record).
// A refused frame leaves the answer buffer as it was; a read one has its
// payload length from the leading number and never more than 12700 bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/terminal_box.h"
#include "protocols/module_contract.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/terminal_display.h"
#include "protocols/terminal_info.h"

namespace {

int Decode(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, ...) {
    va_list args;
    va_start(args, frame);
    const int status = RUDA_GetOneResult(box, resource, frame, args);
    va_end(args);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    if (size < 1 || size > PAP_FRAME_MAX + 1) return 0;
    static bool made = false;
    if (!made) {
        made = PAP_NewPAPbox(1, 1, 0, nullptr) == 1;
        EPAP_CreateFunctionProfile("EFT_CAM_1", 0, 0, "RUDA");
    }
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 0;
    // The frame as it lies in a row: the bytes, the rest of the row zero.
    static std::vector<char> frame(PAP_FRAME_MAX);
    std::fill(frame.begin(), frame.end(), 0);
    std::memcpy(frame.data(), input + 1, size - 1);

    static unsigned char answer[PAP_MODULE_ANSWER_BUFFER];
    std::memset(answer, 0xA5, sizeof answer);
    int length = -7;
    const int status = PAP_ReadAnswerFrame(frame.data(), PAP_FRAME_MAX, answer, &length);
    if (status == PV_ALL_FINE) {
        Check(length >= 0 && length <= PAP_MODULE_PAYLOAD_MAX, "payload length");
        Check(std::memcmp(answer, frame.data() + 5, static_cast<size_t>(length)) == 0, "payload copy");
        Check(answer[length] == 0, "payload not terminated");
    } else {
        Check(status == PV_CMD_INTERNAL, "status of a refused frame");
        Check(answer[0] == 0xA5 && answer[PAP_MODULE_PAYLOAD_MAX] == 0xA5, "refused frame touched the buffer");
    }

    KT_PERES* card = TWEP_FindFunction(box, 4, 1);
    static const int kCodes[] = {1, 14, 174, 2, 90, 130};
    card->command = kCodes[input[0] % 6];
    if (card->command == 2) {
        // A dialogue answer into its record; a selection reads its second
        // argument too.
        static TermDisplayBlock block;
        std::memset(&block, 0, sizeof block);
        block.kind = input[0] / 6 % 2 == 0 ? TERM_DISPLAY_SELECT : 2;
        Decode(box, card, frame.data(), &block, static_cast<int>(input[0] & 1));
    } else if (card->command == 90) {
        static TerminalPartInfo info;
        std::memset(&info, 0, sizeof info);
        Decode(box, card, frame.data(), &info);
    } else {
        Decode(box, card, frame.data());
    }
    return 0;
}
