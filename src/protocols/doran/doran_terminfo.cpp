// DORAN terminal information (90): one description of the terminal, or, in
// list mode, the entries of its units.
#include <cstdlib>
#include <cstring>

#include "core/tlv.h"
#include "protocols/doran/doran_module.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

constexpr uint32_t kInfoCommand = 0x60;
constexpr unsigned int kSingle = 0xDFF88400;
constexpr unsigned int kList = 0xDFF88404;
constexpr unsigned int kListTags[kDrnInfoLists] = {0xDF828300, 0xDF858302, 0xDF858308, 0xDF85830E,
                                                   0xDF858314, 0xDF85831A, 0xDF858320};

int Failed() {
    DRN_FreeSyntax(1, 'r');
    return 32;
}

// A raw+ text of at most n bytes into its area (n + 1 bytes); `cut` ends it
// at its first 0xFF byte.
template <size_t N>
void RawText(TlvNode* info, unsigned int tag, char (&area)[N], int32_t* length, bool cut) {
    int got = static_cast<int>(N);
    auto* bytes = reinterpret_cast<unsigned char*>(area);
    if (TLV_GetBytesNonZero(info, tag, bytes, &got) <= 0) {
        *length = 0;
        return;
    }
    if (cut) {
        for (int i = 0; i < got; ++i) {
            if (bytes[i] == 0xFF) {
                std::memset(bytes + i, 0, static_cast<size_t>(got - i));
                got = i;
                break;
            }
        }
    }
    *length = got;
}
void Text32(TlvNode* info, unsigned int tag, DrnInfoText32* t, bool cut) { RawText(info, tag, t->text, &t->length, cut); }
void Text4(TlvNode* info, unsigned int tag, DrnInfoText4* t) { RawText(info, tag, t->text, &t->length, false); }

void Number(TlvNode* info, unsigned int tag, DrnInfoNumber* n, bool littleEndian = false) {
    uint32_t value = 0;
    int flag = 1;
    const int r = littleEndian ? TLV_GetULongLE(info, tag, &value, &flag) : TLV_GetULong(info, tag, &value, &flag);
    if (r > 0) {
        n->flag = 1;
        n->value = value;
    }
}

// Every occurrence of a tag, in order, replaces the value: the last one
// stays. False when one passes the area.
bool LastOccurrence(TlvNode* info, unsigned int tag, unsigned char* area, int capacity, int32_t* length) {
    const unsigned char* at = info->value;
    const unsigned char* end = info->value + info->lg;
    while (at != nullptr && at < end) {
        TlvNode* node = TLV_Find(info->value, info->lg, tag, at);
        if (node == nullptr) break;
        at = node->end;
        const int n = node->lg;
        const unsigned char* value = node->value;
        TLV_Free(node, 'r');
        if (n > capacity) return false;
        std::memcpy(area, value, static_cast<size_t>(n));
        *length = n;
    }
    return true;
}

int DealSingle(TlvNode* data, DrnTerminalInfoRecord* r) {
    TlvNode info;
    if (!drn::FindValue(data->value, data->lg, kSingle, &info)) return Failed();
    Text32(&info, 0x9F00, &r->t9f00, true);
    {
        char text[5] = {};
        int32_t n = 0;
        RawText(&info, 0x9F01, text, &n, false);
        r->t9f01Length = n;
        if (n > 0) r->t9f01 = std::atoi(text);
    }
    Text32(&info, 0x9F02, &r->t9f02, true);
    {
        // Four bytes: two digits, any byte, a letter; a shorter value is
        // not the element (its place stays as it was).
        unsigned char v[5] = {};
        int got = sizeof v;
        if (TLV_GetBytes(&info, 0x9F03, v, &got) > 0 && got == 4) {
            r->t9f03Flag = 1;
            r->t9f03 = 100 * (v[0] - '0') + 10 * (v[1] - '0') + (v[3] - 'A');
        }
    }
    {
        TlvNode e;
        if (drn::FindValue(info.value, info.lg, 0x9F05, &e)) {
            int n = 0;
            while (n < e.lg && e.value[n] != 0xFF) ++n;
            std::memset(r->t9f05, '0', 12);
            r->t9f05[12] = '\0';
            if (n > 12)
                std::memcpy(r->t9f05, e.value, 12);
            else if (n > 0)
                std::memcpy(r->t9f05 + 12 - n, e.value, static_cast<size_t>(n));
            r->t9f05Length = 12;
        }
    }
    Text32(&info, 0x9F1B, &r->t9f1b, true);
    Text32(&info, 0x9F1C, &r->t9f1c, true);
    Text32(&info, 0x9F1E, &r->t9f1e, true);
    Number(&info, 0x9F20, &r->t9f20);
    Number(&info, 0x9F21, &r->t9f21);
    Text4(&info, 0x9F22, &r->t9f22);
    Text4(&info, 0x9F27, &r->t9f27First);
    Text4(&info, 0x9F24, &r->t9f24);
    Number(&info, 0x9F25, &r->t9f25);
    Text4(&info, 0x9F26, &r->t9f26);
    Text4(&info, 0x9F27, &r->t9f27Second);
    Text4(&info, 0x9F28, &r->t9f28);
    Number(&info, 0x9F30, &r->t9f30);
    Number(&info, 0x9F31, &r->t9f31);
    Number(&info, 0x9F32, &r->t9f32);
    Number(&info, 0x9F33, &r->t9f33);
    Number(&info, 0x9F40, &r->t9f40, true);
    Number(&info, 0x9F41, &r->t9f41, true);
    r->fixedOne = 1;
    r->fixedZero = 0;
    Number(&info, 0x9F42, &r->t9f42, true);
    // Values longer than their areas refuse the answer.
    if (!LastOccurrence(&info, 0x9F50, r->t9f50, sizeof r->t9f50, &r->t9f50Length) ||
        !LastOccurrence(&info, 0x9F51, r->t9f51, sizeof r->t9f51, &r->t9f51Length))
        return Failed();
    Text4(&info, 0x9F52, &r->t9f52);
    {
        const unsigned char* at = info.value;
        const unsigned char* end = info.value + info.lg;
        while (at != nullptr && at < end) {
            TlvNode* node = TLV_Find(info.value, info.lg, 0x9F53, at);
            if (node == nullptr) break;
            at = node->end;
            r->t9f53.flag = 1;
            r->t9f53.value = TLV_GetUIntBE(node->value, node->lg < 4 ? node->lg : 4);
            TLV_Free(node, 'r');
        }
    }
    DRN_FreeSyntax(1, 'r');
    if (r->t9f53.flag != 0 && (r->t9f53.value & 0x80000000u) != 0) return 32;
    r->busy = 0;
    return 0;
}

int DealList(TlvNode* data, DrnTerminalInfoRecord* r) {
    // The entry limit names places of the seven tables: nine at most.
    const int limit = r->t9f53.value > static_cast<uint32_t>(kDrnInfoListEntries) ? kDrnInfoListEntries
                                                                                   : static_cast<int>(r->t9f53.value);
    if (r->t9f53.flag == 0 || limit == 0) {
        DRN_FreeSyntax(1, 'r');
        r->busy = 0;
        return 0;
    }
    TlvNode list;
    if (!drn::FindValue(data->value, data->lg, kList, &list)) return Failed();
    const unsigned char* at = list.value;
    const unsigned char* end = list.value + list.lg;
    int entries = 0;
    while (entries < limit && at < end) {
        TlvNode e2;
        if (TLV_ParseElementEx(&e2, at, static_cast<int>(end - at)) != 1 || e2.end == nullptr || e2.end <= at ||
            e2.end > end || e2.tag != DRN_TAG_DATA || e2.lg == 0)
            break;
        at = e2.end;
        for (int t = 0; t < kDrnInfoLists; ++t) {
            auto& table = r->lists[t];
            char* place = table.entries[entries];
            char value[5] = {};
            int got = sizeof value;
            const int read = t == 0 ? TLV_GetHex(&e2, kListTags[t], value, &got)
                                    : TLV_GetBytesNonZero(&e2, kListTags[t], reinterpret_cast<unsigned char*>(value), &got);
            if (read > 0) {
                std::memset(place, 0, 5);
                std::memcpy(place, value, static_cast<size_t>(got));
                table.length += 5;
            } else if (read == 0) {
                table.length += 5;
            }
        }
        ++entries;
    }
    DRN_FreeSyntax(1, 'r');
    // Every entry the limit names must be there.
    if (entries < limit) return 32;
    r->busy = 0;
    return 0;
}

}  // namespace

const unsigned char* DRN_SetTerminalInfo(int* length, DrnTerminalInfoRecord* record) {
    if (length != nullptr) *length = 0;
    if (record == nullptr) return nullptr;
    record->busy = 1;
    const unsigned int tags[] = {DRN_TAG_RESULT, record->listMode != 0 ? kList : kSingle};
    const unsigned char* message =
        drn::BuildMessage(DRN_PERIPHERAL_TERMINAL, kInfoCommand, nullptr, drn::TagList(tags, 2), length);
    if (message != nullptr) record->busy = 0;
    return message;
}

int DRN_DealTerminalInfo(const unsigned char* answer, int length, DrnTerminalInfoRecord* record) {
    if (record == nullptr) return 1;
    record->busy = 1;
    record->result = 255;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    if (data == nullptr || peripheral != DRN_PERIPHERAL_TERMINAL || !drn::ReadResult(data, &record->result))
        return Failed();
    return record->listMode != 0 ? DealList(data, record) : DealSingle(data, record);
}
