// Fuzz target of the device, key and security answers: the first byte
// chooses the decoder (key slots, SRED status, file information and name,
// data object, security configuration, RSA key, authentication, security
// command) and the room of the caller's buffers, the rest is the terminal's
// answer. Nothing is written past a buffer's room (the buffers are exactly
// their room, for the address sanitiser), key slots stay valid and counted.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "ruda_decoder_call.h"
#include "protocols/ruda/ruda_device.h"

namespace {

constexpr RudaFamilyDecoder kDecoder = RUDA_DealDeviceAnswer;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    const uint8_t choice = input[0];
    const int room = 1 + (choice >> 4) * 20;
    std::vector<unsigned char> answer(input + 1, input + size);
    switch (choice & 0x0F) {
        case 0: {
            KeySlot first{};
            int32_t count = 0, flag = 0;
            const int r = CallDecoder(kDecoder, 97, &answer, &first, &count, &flag);
            if (r != 0) {
                Check(count == 0 && first.slot == 255 && first.next == nullptr, "chain of a failed answer");
            } else {
                // Each valid record (slot 0 to 9, a key serial number not all
                // zero) counted once.
                int valid = 0;
                for (const KeySlot* k = &first; k != nullptr; k = k->next) {
                    bool zero = true;
                    for (uint8_t b : k->ksn) zero = zero && b == 0;
                    if (k->slot <= 9 && !zero) ++valid;
                }
                Check(count == valid, "key count");
            }
            KeySlotList_Free(&first);
            break;
        }
        case 1: {
            SredStatus status{};
            CallDecoder(kDecoder, 190, &answer, &status);
            Check(status.state == 0 || status.state == '1' || status.state == '2' || status.state == '3', "SRED state");
            break;
        }
        case 2: {
            uint32_t fileSize = 0;
            std::vector<uint8_t> second(8);
            int32_t found = 0;
            CallDecoder(kDecoder, 91, &answer, &fileSize, second.data(), &found);
            break;
        }
        case 3: {
            std::vector<char> name(256);
            CallDecoder(kDecoder, 92, &answer, name.data());
            Check(name.back() == '\0', "file name terminator");
            break;
        }
        case 4: {
            std::vector<unsigned char> buffer(static_cast<size_t>(room));
            int32_t n = room;
            CallDecoder(kDecoder, 173, &answer, buffer.data(), &n);
            Check(n >= 0 && n <= room, "data object length");
            break;
        }
        case 5: {
            std::vector<uint8_t> record(3);
            CallDecoder(kDecoder, 96, &answer, record.data());
            break;
        }
        case 6: {
            std::vector<unsigned char> buffer(static_cast<size_t>(room));
            int32_t n = -1;
            CallDecoder(kDecoder, 191, &answer, buffer.data(), room, &n);
            Check(n <= room, "RSA key length");
            break;
        }
        case 7: {
            auto record = std::make_unique<AuthRecord>();
            std::vector<uint8_t> block(kAuthBlock);
            int32_t n = 0;
            AuthAnswer out{(choice >> 4) & 1, block.data(), &n, record.get()};
            CallDecoder(kDecoder, 192, &answer, &out);
            Check(n >= 0 && n <= kAuthBlock, "authentication block length");
            break;
        }
        default: {
            std::vector<char> buffer(static_cast<size_t>(room));
            int32_t n = -1;
            if (CallDecoder(kDecoder, 186, &answer, buffer.data(), &n, room) == 0)
                Check(n >= 0 && n < room && buffer[static_cast<size_t>(n)] == '\0', "security command text");
            break;
        }
    }
    return 0;
}
