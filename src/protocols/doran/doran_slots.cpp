// Slots of the DORAN records: readings of answer elements, request elements.
#include "protocols/doran/doran_slots.h"

#include <cctype>
#include <cstring>

#include "protocols/doran/doran_syntax.h"

namespace drn {

void Clear(const SlotRef& s) {
    *s.length = 0;
    if (s.area != nullptr) std::memset(s.area, 0, static_cast<size_t>(s.capacity) + 1);
    if (s.value != nullptr) *s.value = 0;
    if (s.byteLength != nullptr) *s.byteLength = 0;
}

void Upper(char* text) {
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

int64_t DecimalOf(const char* text, int count) {
    int64_t v = 0;
    for (int i = 0; i < count && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        v = v * 10 + (text[i] - '0');
    return v;
}

bool PeripheralOfText(const char* text, int size, uint32_t* peripheral) {
    if (text == nullptr || size <= 0) return false;
    const size_t n = strnlen(text, static_cast<size_t>(size));
    if (n == 0 || n > 4) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        if (!std::isxdigit(c)) return false;
        v = v * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    *peripheral = v;
    return true;
}

int ReadInto(TlvNode* source, unsigned int tag, Enc enc, int minimum, const SlotRef& s) {
    Clear(s);
    int r = 0;
    switch (enc) {
        case Enc::Hex:
        case Enc::HexUpper: {
            int length = s.capacity + 1;
            char* text = static_cast<char*>(s.area);
            r = minimum > 0 ? TLV_GetHexMin(source, tag, text, &length, minimum) : TLV_GetHex(source, tag, text, &length);
            if (r > 0) {
                text[length] = '\0';
                if (enc == Enc::HexUpper) Upper(text);
                *s.length = length;
            }
            return r;
        }
        case Enc::HexDecimal: {
            char digits[8] = {};
            int length = 3;
            r = TLV_GetHex(source, tag, digits, &length);
            if (r > 0) {
                *s.value = DecimalOf(digits, length);
                *s.length = 1;
            }
            return r;
        }
        case Enc::PairsSwapped: {
            char digits[8] = {};
            int length = 5;
            r = TLV_GetHex(source, tag, digits, &length);
            if (r > 0 && length != 4) r = -1;
            if (r > 0) {
                char* text = static_cast<char*>(s.area);
                const char swapped[5] = {digits[2], digits[3], digits[0], digits[1], '\0'};
                std::memcpy(text, swapped, 5);
                *s.length = 4;
            }
            return r;
        }
        case Enc::Raw:
        case Enc::RawNonZero: {
            int length = s.capacity + 1;
            auto* bytes = static_cast<unsigned char*>(s.area);
            r = enc == Enc::Raw ? TLV_GetBytes(source, tag, bytes, &length)
                                : TLV_GetBytesNonZero(source, tag, bytes, &length);
            if (r > 0) *s.length = length;
            return r;
        }
        case Enc::Number:
        case Enc::NumberLen: {
            uint16_t number = 0;
            int flag = 1;
            int length = 0;
            r = TLV_GetUShortLen(source, tag, &number, &flag, &length);
            if (r > 0) {
                *s.length = 1;
                *s.value = number;
                if (s.byteLength != nullptr) *s.byteLength = length;
            }
            return r;
        }
        case Enc::Number4: {
            uint32_t number = 0;
            int flag = 1;
            r = TLV_GetULong(source, tag, &number, &flag);
            if (r > 0) {
                *s.length = 1;
                *s.value = number;
            }
            return r;
        }
        case Enc::Bcd: {
            uint16_t number = 0;
            int flag = 1;
            r = TLV_GetBCD2(source, tag, &number, &flag);
            if (r > 0 && number == 0xFFFF) r = -1;  // a digit that is not 0-9
            if (r > 0) {
                *s.length = 1;
                *s.value = number;
            } else {
                Clear(s);
            }
            return r;
        }
        case Enc::BcdN: {
            uint32_t number = 0;
            int flag = 1;
            r = TLV_GetBCD(source, tag, &number, &flag);
            if (r > 0 && number == 0xFFFFFFFFu) r = -1;
            if (r > 0) {
                *s.length = 1;
                *s.value = number;
            } else {
                Clear(s);
            }
            return r;
        }
    }
    return r;
}

bool AppendTag(TlvNode* list, unsigned int tag) {
    unsigned char b[4];
    unsigned char* end = TLV_PutTag(b, tag);
    return TLV_AppendBytes(list, static_cast<int>(end - b), b) != nullptr;
}

TlvNode* TagList(const unsigned int* tags, int count) {
    TlvNode* list = TLV_NewPrimitive(DRN_TAG_TAG_LIST, 0, nullptr);
    for (int i = 0; list != nullptr && i < count; ++i) {
        if (!AppendTag(list, tags[i])) {
            TLV_Free(list, 'w');
            return nullptr;
        }
    }
    return list;
}

const unsigned char* BuildMessage(uint32_t peripheral, uint32_t command, TlvNode* e2, TlvNode* list, int* length) {
    if (length != nullptr) *length = 0;
    const bool withData = e2 != nullptr && e2->lg > 0;
    if (e2 != nullptr && !withData) {
        TLV_Free(e2, 'w');
        e2 = nullptr;
    }
    TlvNode* sealedData = withData ? TLV_Seal(e2) : nullptr;
    TlvNode* sealedList = list != nullptr ? TLV_Seal(list) : nullptr;
    if ((withData && sealedData == nullptr) || sealedList == nullptr) {
        TLV_Free(sealedData != nullptr ? sealedData : e2, 'w');
        TLV_Free(sealedList != nullptr ? sealedList : list, 'w');
        DRN_FreeSyntax(1, 'w');
        return nullptr;
    }
    DRN_SetDataPart(sealedData);
    DRN_SetTagListPart(sealedList);
    if (DRN_EncapsSyntax(1, 1, withData ? 1 : 0, 1, 1, 1, peripheral, command) <= 0) return nullptr;
    return DRN_MessageBytes(length);
}

TlvNode* OpenAnswer(const unsigned char* answer, int length, uint32_t* peripheral, int* command) {
    if (DRN_DecapsSyntax(answer, length, peripheral, command) <= 0) return nullptr;
    return DRN_DataPart();
}

bool ReadResult(TlvNode* data, int32_t* result) {
    uint16_t value = 0;
    int flag = 1;
    if (TLV_GetUShort(data, DRN_TAG_RESULT, &value, &flag) <= 0) return false;
    *result = value;
    return true;
}

bool FindValue(const unsigned char* bytes, int length, unsigned int tag, TlvNode* node) {
    TlvNode* found = TLV_Find(bytes, length, tag, nullptr);
    if (found == nullptr) return false;
    *node = *found;
    TLV_Free(found, 'r');
    return true;
}

void RequestData::bytes(unsigned int tag, const unsigned char* b, int n) {
    if (ok_ && TLV_AppendChild(e2_, tag, n, b) == nullptr) ok_ = false;
}

void RequestData::byte(unsigned int tag, int64_t v) {
    unsigned char b = static_cast<unsigned char>(v);
    bytes(tag, &b, 1);
}

void RequestData::u16(unsigned int tag, int64_t v) {
    unsigned char b[2];
    TLV_PutU16BE(b, static_cast<uint16_t>(v));
    bytes(tag, b, 2);
}

void RequestData::u32(unsigned int tag, uint32_t v) {
    unsigned char b[4];
    TLV_PutU32BE(b, v);
    bytes(tag, b, 4);
}

void RequestData::sealed(TlvNode* node) {
    if (node == nullptr) {
        ok_ = false;
        return;
    }
    if (ok_ && TLV_AppendBytes(e2_, node->lg, node->value) == nullptr) ok_ = false;
    TLV_Free(node, 'w');
}

void RequestData::hex(unsigned int tag, const char* text, int length, int capacity) {
    if (length <= 0) return;
    if (length > capacity) {
        ok_ = false;
        return;
    }
    sealed(TLV_NewHex(tag, text, length));
}

}  // namespace drn
