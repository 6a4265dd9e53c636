// DORAN message syntax: building a message from its parts and decoding a
// received message into its parts.
#include "protocols/doran/doran_syntax.h"

#include "core/trace.h"

namespace {

// Parts of the message in hand (main thread only).
TlvNode* g_message = nullptr;  // E0
TlvNode* g_command = nullptr;  // E1
TlvNode* g_data = nullptr;     // E2
TlvNode* g_tagList = nullptr;  // 5C (built messages only)
// Set once the E1 part in hand has its own tag and length.
bool g_commandClosed = false;
// Set once the E0 part in hand is a finished message.
bool g_messageClosed = false;

// Built parts own their value block: it goes with the part whatever the
// caller's mode; parsed parts never own theirs.
void FreePart(TlvNode*& part) {
    TLV_Free(part, 'w');
    part = nullptr;
}

// The element of the tag inside the part's value (depth first, filler
// skipped, an empty element counts as absent), or null.
TlvNode* FindIn(const TlvNode* part, unsigned int tag) {
    if (part == nullptr || part->lg <= 0) return nullptr;
    return TLV_Find(part->value, part->lg, tag, nullptr);
}

int Fail() {
    DRN_FreeSyntax(1, 'r');
    return -1;
}

// A new part holding one element of a two-byte big-endian number.
TlvNode* NewPartWithNumber(unsigned int partTag, unsigned int childTag, uint32_t number) {
    if (number > 0xFFFF) return nullptr;
    unsigned char two[2];
    TLV_PutU16BE(two, static_cast<uint16_t>(number));
    TlvNode* part = TLV_NewPrimitive(partTag, 0, nullptr);
    if (part == nullptr) return nullptr;
    if (TLV_AppendChild(part, childTag, 2, two) == nullptr) {
        TLV_Free(part, 'w');
        return nullptr;
    }
    return part;
}

// Appends the bytes of a sealed part to the value of another.
bool AppendSealed(TlvNode* to, const TlvNode* sealed) {
    return to != nullptr && sealed != nullptr && sealed->lg > 0 &&
           TLV_AppendBytes(to, sealed->lg, sealed->value) != nullptr;
}

void ReplacePart(TlvNode*& part, TlvNode* node) {
    FreePart(part);
    part = node;
}

// Parts of a decoded message never mix with a message being built.
void DropDecoded() {
    if (g_message != nullptr && !g_message->owned) DRN_FreeSyntax(1, 'r');
}

}  // namespace

int DRN_EncapsSyntax(int makeMessage, int makeCommand, int addData, int addTagList,
                     int closeCommand, int closeMessage, uint32_t peripheral,
                     uint32_t commandCode) {
    DropDecoded();
    if (makeMessage > 0) {
        ReplacePart(g_message, NewPartWithNumber(DRN_TAG_MESSAGE, DRN_TAG_PERIPHERAL, peripheral));
        g_messageClosed = false;
        if (g_message == nullptr) return Fail();
    }
    if (makeCommand > 0) {
        ReplacePart(g_command, NewPartWithNumber(DRN_TAG_COMMAND, DRN_TAG_COMMAND_CODE, commandCode));
        g_commandClosed = false;
        if (g_command == nullptr) return Fail();
    }
    if (addData > 0) {
        if (g_commandClosed || !AppendSealed(g_command, g_data)) return Fail();
        FreePart(g_data);
    }
    if (addTagList > 0) {
        if (g_commandClosed || !AppendSealed(g_command, g_tagList)) return Fail();
        FreePart(g_tagList);
    }
    if (closeCommand > 0) {
        if (g_command == nullptr || g_commandClosed || TLV_Seal(g_command) == nullptr) return Fail();
        g_commandClosed = true;
    }
    if (closeMessage <= 0) return 0;
    if (g_message == nullptr || g_messageClosed || !g_commandClosed ||
        !AppendSealed(g_message, g_command) || TLV_Seal(g_message) == nullptr)
        return Fail();
    g_messageClosed = true;
    FreePart(g_command);
    FreePart(g_data);
    FreePart(g_tagList);
    g_commandClosed = false;
    return g_message->lg;
}

void DRN_SetDataPart(TlvNode* sealedE2) {
    DropDecoded();
    ReplacePart(g_data, sealedE2);
}

void DRN_SetTagListPart(TlvNode* sealed5C) {
    DropDecoded();
    ReplacePart(g_tagList, sealed5C);
}

const unsigned char* DRN_MessageBytes(int* length) {
    if (g_message == nullptr || !g_messageClosed) return nullptr;
    if (length != nullptr) *length = g_message->lg;
    return g_message->value;
}

int DRN_DecapsSyntax(const unsigned char* buffer, int length, uint32_t* peripheral, int* command) {
    DRN_FreeSyntax(1, 'w');
    if (buffer == nullptr || length <= 0) return -1;

    g_message = TLV_Find(buffer, length, DRN_TAG_MESSAGE, nullptr);
    if (g_message == nullptr) {
        WSysError("-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : No Mess Tag !");
        return Fail();
    }

    TlvNode* c3 = FindIn(g_message, DRN_TAG_PERIPHERAL);
    if (c3 == nullptr || c3->lg > 4) {
        TLV_Free(c3, 'r');
        WSysError("-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : Peripherique?");
        return Fail();
    }
    if (peripheral != nullptr) *peripheral = TLV_GetUIntBE(c3->value, c3->lg);
    TLV_Free(c3, 'r');

    g_command = FindIn(g_message, DRN_TAG_COMMAND);
    if (g_command == nullptr) return Fail();

    TlvNode* c4 = FindIn(g_command, DRN_TAG_COMMAND_CODE);
    if (c4 == nullptr || c4->lg > 2) {
        if (command != nullptr) *command = -1;
        WSysError("-- ERROR -- DRN_Answer(): Message Incoherent : Code Commande?");
    } else if (command != nullptr) {
        *command = static_cast<int>(TLV_GetUIntBE(c4->value, c4->lg));
    }
    TLV_Free(c4, 'r');

    g_data = FindIn(g_command, DRN_TAG_DATA);
    if (g_data == nullptr) return Fail();
    return g_data->lg;
}

void DRN_FreeSyntax(int all, char /*mode*/) {
    FreePart(g_command);
    FreePart(g_data);
    FreePart(g_tagList);
    g_commandClosed = false;
    if (all == 1) {
        FreePart(g_message);
        g_messageClosed = false;
    }
}

TlvNode* DRN_DataPart() { return g_data; }
