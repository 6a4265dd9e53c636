// Reading a RUDA answer.
#include "protocols/ruda/ruda_answer.h"

#include <algorithm>
#include <cstring>

TlvNode RUDA_AnswerData(const unsigned char* answer, int length) {
    TlvNode n;
    n.value = const_cast<unsigned char*>(answer);
    n.lg = answer != nullptr && length >= 2 ? length - 2 : 0;
    return n;
}

bool RUDA_FindElement(const TlvNode& in, unsigned int tag, TlvNode* out) {
    return in.value != nullptr && in.lg > 0 && TLV_SearchTag(out, in.value, in.lg, tag, nullptr) == 1;
}

int RUDA_ElementNumber(const TlvNode& in, unsigned int tag, uint32_t* number) {
    TlvNode found;
    if (in.value == nullptr || in.lg <= 0 || TLV_SearchTag(&found, in.value, in.lg, tag, nullptr) != 1) return 0;
    if (found.lg < 1 || found.lg > 4) return -1;
    *number = TLV_GetUIntBE(found.value, found.lg);
    return 1;
}

int RUDA_CopyText(char* field, int width, const unsigned char* value, int length) {
    const int n = value == nullptr ? 0 : std::clamp(length, 0, width);
    std::memset(field, 0, static_cast<size_t>(width) + 1);
    if (n > 0) std::memcpy(field, value, static_cast<size_t>(n));
    return n;
}
