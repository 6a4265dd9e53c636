// DORAN operations of the screen and keypad (dialogue 0 to 5), online PIN
// (70) and the two terminal calls (73, 74).
#include <cstring>

#include "core/tlv.h"
#include "protocols/doran/doran_module.h"
#include "protocols/doran/doran_slots.h"
#include "protocols/doran/doran_syntax.h"

namespace {

constexpr uint32_t kOperationCommand = 4;
constexpr uint32_t kCall61Command = 0x61;
constexpr uint32_t kCall62Command = 0x62;

constexpr unsigned int kDialogueText = 0xDFF88300;
constexpr unsigned int kDialogueItem = 0xDF828208;
constexpr unsigned int kDialogueEntry = 0xDFF08400;
constexpr unsigned int kPinBlock = 0xDF848400;
constexpr unsigned int kCall61Answer = 0xDF848B00;
constexpr unsigned int kCall62Answer = 0xDF848D00;

// An answer whose DF828000 is missing or that cannot be taken apart: 32.
int Failed() {
    DRN_FreeSyntax(1, 'r');
    return 32;
}

// The first value of a tag in the data part (no element of length 0).
bool Value(TlvNode* data, unsigned int tag, TlvNode* node) { return drn::FindValue(data->value, data->lg, tag, node); }

}  // namespace

const unsigned char* DRN_SetDialogue(int* length, TermDisplayBlock* block) {
    if (length != nullptr) *length = 0;
    if (block == nullptr || block->kind < 0 || block->kind > 5) return nullptr;
    // The text length must lie within the text area.
    if (block->textLength < 0 || block->textLength > kTermDisplayTextMax) return nullptr;
    block->busy = 1;
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    d.bytes(kDialogueText, reinterpret_cast<const unsigned char*>(block->text), block->textLength);
    unsigned int tags[2] = {DRN_TAG_RESULT, 0};
    int count = 1;
    if (block->kind == 3) tags[count++] = kDialogueItem;
    if (block->kind == 4) tags[count++] = kDialogueEntry;
    if (!d.ok()) {
        TLV_Free(e2, 'w');
        return nullptr;
    }
    const unsigned char* message = drn::BuildMessage(DRN_PERIPHERAL_SCREEN, static_cast<uint32_t>(block->kind), e2,
                                                     drn::TagList(tags, count), length);
    if (message != nullptr) block->busy = 0;
    return message;
}

int DRN_DealDialogue(const unsigned char* answer, int length, TermDisplayBlock* block) {
    if (block == nullptr) return 1;
    block->busy = 1;
    block->result = 255;
    block->answerMark = -1;
    block->resultField = 255;
    block->resultLength = 0;
    uint32_t peripheral = 0;
    int command = -1;
    TlvNode* data = drn::OpenAnswer(answer, length, &peripheral, &command);
    if (data == nullptr || (peripheral & ~0x0Fu) != DRN_PERIPHERAL_SCREEN || !drn::ReadResult(data, &block->result))
        return Failed();
    uint16_t item = 0;
    int flag = 1;
    block->resultField = TLV_GetUShort(data, kDialogueItem, &item, &flag) > 0 ? item : -1;
    TlvNode entry;
    if (Value(data, kDialogueEntry, &entry)) {
        if (entry.lg > 2) {
            const int n = entry.value[0];
            // The entry never passes its area nor its element.
            if (n > kTermDisplayResultMax || n + 2 > entry.lg) return Failed();
            block->resultLength = n;
            if (n != 0) {
                block->resultField = entry.value[1];
                std::memcpy(block->resultData, entry.value + 2, static_cast<size_t>(n));
            } else {
                block->resultField = 255;
            }
        } else {
            block->resultField = 255;
        }
    }
    DRN_FreeSyntax(1, 'r');
    block->busy = 0;
    return 0;
}

const unsigned char* DRN_SetOnlinePin(int* length, DrnOnlinePinRecord* record) {
    if (length != nullptr) *length = 0;
    uint32_t peripheral = 0;
    if (record == nullptr || record->peripheralFlag == 0 ||
        !drn::PeripheralOfText(record->peripheral, sizeof record->peripheral, &peripheral))
        return nullptr;
    record->busy = 1;
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    if (record->df848102Length != 0) {
        if (record->df848102Length < 0 || record->df848102Length > kDrnPinDataMax) d.fail();
        else d.bytes(0xDF848102, record->df848102, record->df848102Length);
    }
    if (record->df818112Flag != 0) d.byte(0xDF818112, record->df818112);
    if (record->df848200Length != 0) d.hex(0xDF848200, record->df848200, record->df848200Length, kDrnPinDataMax);
    if (record->df818113Flag != 0) d.byte(0xDF818113, record->df818113);
    if (!d.ok()) {
        TLV_Free(e2, 'w');
        return nullptr;
    }
    static const unsigned int kTags[] = {DRN_TAG_RESULT, kPinBlock};
    const unsigned char* message = drn::BuildMessage(peripheral, kOperationCommand, e2, drn::TagList(kTags, 2), length);
    if (message != nullptr) record->busy = 0;
    return message;
}

int DRN_DealOnlinePin(const unsigned char* answer, int length, DrnOnlinePinRecord* record) {
    if (record == nullptr) return 1;
    record->busy = 1;
    record->result = 255;
    TlvNode* data = drn::OpenAnswer(answer, length, nullptr, nullptr);
    if (data == nullptr || !drn::ReadResult(data, &record->result)) return Failed();
    TlvNode block;
    if (Value(data, kPinBlock, &block)) {
        // A PIN block longer than its area refuses the answer.
        if (block.lg > kDrnPinBlockMax) return Failed();
        std::memcpy(record->pinBlock, block.value, static_cast<size_t>(block.lg));
        record->pinBlockLength = block.lg;
    }
    DRN_FreeSyntax(1, 'r');
    record->busy = 0;
    return 0;
}

const unsigned char* DRN_SetTerminalCall61(int* length, DrnTerminalCall61Record* record) {
    if (length != nullptr) *length = 0;
    if (record == nullptr || record->peripheralFlag == 0) return nullptr;
    record->busy = 1;
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    if (record->df848700Length < 0 || record->df848700Length > kDrnCall61DataMax ||
        record->df848900Length < 0 || record->df848900Length > kDrnCall61AnswerMax)
        d.fail();
    if (d.ok() && record->df848700Length != 0) d.bytes(0xDF848700, record->df848700, record->df848700Length);
    if (d.ok() && record->df848900Length != 0) d.bytes(0xDF848900, record->df848900, record->df848900Length);
    d.byte(0xDF848800, record->df848800);
    d.byte(0xDF848A00, record->df848a00);
    if (!d.ok()) {
        TLV_Free(e2, 'w');
        return nullptr;
    }
    static const unsigned int kTags[] = {DRN_TAG_RESULT, kCall61Answer};
    const unsigned char* message =
        drn::BuildMessage(DRN_PERIPHERAL_TERMINAL, kCall61Command, e2, drn::TagList(kTags, 2), length);
    if (message != nullptr) record->busy = 0;
    return message;
}

int DRN_DealTerminalCall61(const unsigned char* answer, int length, DrnTerminalCall61Record* record) {
    if (record == nullptr) return 1;
    record->busy = 1;
    record->result = 255;
    TlvNode* data = drn::OpenAnswer(answer, length, nullptr, nullptr);
    if (data == nullptr || !drn::ReadResult(data, &record->result)) return Failed();
    int got = kDrnCall61AnswerMax + 1;
    unsigned char area[kDrnCall61AnswerMax + 1] = {};
    record->df848900Length = 0;
    std::memset(record->df848900, 0, sizeof record->df848900);
    if (TLV_GetBytes(data, kCall61Answer, area, &got) > 0) {
        std::memcpy(record->df848900, area, static_cast<size_t>(got));
        record->df848900Length = got;
    }
    DRN_FreeSyntax(1, 'r');
    record->busy = 0;
    return 0;
}

const unsigned char* DRN_SetTerminalCall62(int* length, DrnTerminalCall62Record* record) {
    if (length != nullptr) *length = 0;
    if (record == nullptr || record->peripheralFlag == 0) return nullptr;
    if (record->df848c00Length < 0 || record->df848c00Length > kDrnCall62DataMax) return nullptr;
    record->busy = 1;
    TlvNode* e2 = TLV_NewPrimitive(DRN_TAG_DATA, 0, nullptr);
    drn::RequestData d(e2);
    if (e2 == nullptr) d.fail();
    if (record->df848c00Length != 0) d.bytes(0xDF848C00, record->df848c00, record->df848c00Length);
    if (!d.ok()) {
        TLV_Free(e2, 'w');
        return nullptr;
    }
    static const unsigned int kTags[] = {DRN_TAG_RESULT, kCall62Answer};
    const unsigned char* message =
        drn::BuildMessage(DRN_PERIPHERAL_TERMINAL, kCall62Command, e2, drn::TagList(kTags, 2), length);
    if (message != nullptr) record->busy = 0;
    return message;
}

int DRN_DealTerminalCall62(const unsigned char* answer, int length, DrnTerminalCall62Record* record) {
    if (record == nullptr) return 1;
    record->busy = 1;
    record->result = 255;
    TlvNode* data = drn::OpenAnswer(answer, length, nullptr, nullptr);
    if (data == nullptr || !drn::ReadResult(data, &record->result)) return Failed();
    record->df848c00Length = 0;
    TlvNode node;
    if (Value(data, kCall62Answer, &node) && node.lg <= kDrnCall62DataMax) {
        std::memcpy(record->df848c00, node.value, static_cast<size_t>(node.lg));
        record->df848c00Length = node.lg;
    }
    DRN_FreeSyntax(1, 'r');
    record->busy = 0;
    return 0;
}
