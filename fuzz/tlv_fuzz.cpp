// Fuzz target of the BER-TLV codec: both parser generations, every search,
// the well-formedness check, the typed getters and the hex constructor over
// arbitrary bytes. Every element found must lie inside the input, and data
// that CheckTLV accepts must read to its end without a malformed element.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/tlv.h"
#include "fuzz_check.h"

namespace {


void CheckInside(const TlvNode* n, const unsigned char* data, size_t size) {
    if (n == nullptr) return;
    Check(n->lg >= 0, "negative length");
    Check(n->value >= data && n->value + n->lg <= data + size, "value outside the input");
    Check(n->end == n->value + n->lg, "end not behind the value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > 70000) return 0;
    // An exact-size copy so that any read past the end is caught.
    std::vector<unsigned char> copy(input, input + size);
    const unsigned char* data = copy.data();
    int n = static_cast<int>(size);

    int wellFormed = CheckTLV(data, n);
    if (wellFormed == 1) {
        const unsigned char* p = data;
        while (p < data + size) {
            TlvNode e;
            int r = TLV_ReadElement(p, static_cast<int>(data + size - p), &e);
            Check(r != -1, "well-formed data holds a malformed element");
            if (r == 0) break;
            CheckInside(&e, data, size);
            p = e.end;
        }
    }

    static const unsigned int kTags[] = {0x57, 0x5A, 0x70, 0x77, 0x6F, 0x9F02, 0x9F26, 0xBF0C,
                                         0xDF808400, 0xDF828000, 0xE0, 0xE2};
    for (unsigned int tag : kTags) {
        TlvNode* a = TLV_Find(data, n, tag, nullptr);
        TlvNode* b = TLV_FindTag(data, n, tag, nullptr);
        TlvNode* c = TLV_FindTagEx(data, n, tag, nullptr);
        CheckInside(a, data, size);
        CheckInside(b, data, size);
        CheckInside(c, data, size);
        if (a != nullptr) {
            Check(a->tag == tag && a->lg > 0, "wrong match");
            TlvNode* again = TLV_Find(data, n, tag, a->end < data + size ? a->end : nullptr);
            CheckInside(again, data, size);
            TLV_Free(again, 'w');
        }
        TLV_Free(a, 'r');
        TLV_Free(b, 'r');
        TLV_Free(c, 'w');
    }

    TlvNode whole;
    whole.value = copy.data();
    whole.lg = n;
    char text[64];
    unsigned char bytes[32];
    for (unsigned int tag : kTags) {
        int length = sizeof text;
        int r = TLV_GetHex(&whole, tag, text, &length);
        Check(r >= -1 && r <= 2, "hex result");
        Check(r <= 0 ? length == 0 : (length < static_cast<int>(sizeof text) && text[length] == '\0'),
              "hex length");
        const unsigned char* position = nullptr;
        for (int i = 0; i < 8; ++i) {
            length = sizeof text;
            if (TLV_GetNextHex(&whole, tag, text, &length, &position) != 1) break;
        }
        length = 10;
        TLV_GetHexByTag(&whole, tag, text, &length, 2);
        length = sizeof bytes;
        r = TLV_GetBytes(&whole, tag, bytes, &length);
        Check(r <= 0 || length < static_cast<int>(sizeof bytes), "bytes length");
        uint32_t number = 0;
        uint16_t shortNumber = 0;
        int flag = 1;
        TLV_GetULong(&whole, tag, &number, &flag);
        flag = 1;
        TLV_GetBCD(&whole, tag, &number, &flag);
        flag = 1;
        TLV_GetBCD2(&whole, tag, &shortNumber, &flag);
    }

    TlvNode* element = TLV_NewElement(data, n);
    CheckInside(element, data, size);
    TLV_Free(element, 'r');

    // Hex text and byte builders on the input.
    TlvNode* hex = TLV_NewHex(0x5A, reinterpret_cast<const char*>(data), n);
    if (hex != nullptr) {
        Check(CheckTLV(hex->value, hex->lg) == 1, "built element not well-formed");
        TLV_Free(hex, 'w');
    }
    if (size > 0) {
        TlvNode* built = TLV_NewBytes(0xDF808400, data, n);
        if (built != nullptr) {
            TlvNode* found = TLV_Find(built->value, built->lg, 0xDF808400, nullptr);
            Check(found != nullptr && found->lg == n && memcmp(found->value, data, size) == 0,
                  "built element does not read back");
            TLV_Free(found, 'r');
            TLV_Free(built, 'w');
        }
    }
    return 0;
}
