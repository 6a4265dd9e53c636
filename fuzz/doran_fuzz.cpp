// Fuzz target of the card-reading answer path: DLE undoubling of a terminal
// answer, DORAN decoding into its parts, then the track 2 equivalent data
// (57) inside DF808400 read as hexadecimal text of at most 40 characters.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocols/doran/doran_syntax.h"
#include "protocols/xpro/xpro_dle.h"
#include "fuzz_check.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > 8192) return 0;
    std::vector<unsigned char> work(size + 1);
    int n = XPRO_UndoubleDLE(work.data(), input, static_cast<int>(size));
    Check(n >= 0 && static_cast<size_t>(n) <= size, "undoubled length");
    work.resize(static_cast<size_t>(n));

    uint32_t peripheral = 0;
    int command = 0;
    int e2 = DRN_DecapsSyntax(work.data(), n, &peripheral, &command);
    TlvNode* data = DRN_DataPart();
    if (e2 < 0) {
        Check(data == nullptr, "parts left after a failed decoding");
        return 0;
    }
    Check(data != nullptr && data->lg == e2, "data part");
    Check(data->value >= work.data() && data->value + data->lg <= work.data() + work.size(),
          "data part outside the buffer");

    uint32_t result = 0;
    int flag = 1;
    TLV_GetULong(data, DRN_TAG_RESULT, &result, &flag);
    TlvNode* holder = TLV_Find(data->value, data->lg, 0xDF808400, nullptr);
    if (holder != nullptr) {
        char track[41];
        int length = sizeof track;
        int r = TLV_GetHex(holder, 0x57, track, &length);
        Check(r <= 0 || (length <= 40 && track[length] == '\0'), "track text");
        TLV_Free(holder, 'r');
    }
    DRN_FreeSyntax(1, 'r');
    return 0;
}
