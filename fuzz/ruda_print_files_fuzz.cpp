// Fuzz target of the print, file and log answers: the first byte chooses
// the decoder (print, printer status, select, stream data, log dump, fast
// reading) and the room of the caller's buffer, the rest is the terminal's
// answer. Nothing is written past a buffer (each is exactly its room, for
// the address sanitiser) and the lengths given back stay within it.
#include <cstdint>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "ruda_decoder_call.h"
#include "protocols/ruda/ruda_print_files.h"
#include "protocols/term_files.h"

namespace {

constexpr RudaFamilyDecoder kDecoder = RUDA_DealPrintFileAnswer;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    const uint8_t choice = input[0];
    const int room = (choice >> 3) * 16;
    std::vector<unsigned char> answer(input + 1, input + size);
    switch (choice & 0x07) {
        case 0: CallDecoder(kDecoder, 13, &answer); break;
        case 1: CallDecoder(kDecoder, 15, &answer, 0); break;
        case 2: {
            int32_t fileSize = 0;
            CallDecoder(kDecoder, 153, &answer, &fileSize);
            break;
        }
        case 3: {
            uint32_t first = 0;
            std::vector<uint8_t> second(8);
            CallDecoder(kDecoder, 158, &answer, &first, second.data());
            break;
        }
        case 4: {
            uint32_t logSize = 0;
            std::vector<char> name(kTermDumpNameMax + 1);
            if (CallDecoder(kDecoder, 193, &answer, &logSize, name.data()) == 0)
                Check(name.back() == '\0', "log name terminator");
            break;
        }
        default: {
            std::vector<unsigned char> buffer(static_cast<size_t>(room) + 1);
            int copied = -1;
            CallDecoder(kDecoder, 194, &answer, buffer.data(), room, &copied);
            Check(copied <= room, "fast reading length");
            break;
        }
    }
    return 0;
}
