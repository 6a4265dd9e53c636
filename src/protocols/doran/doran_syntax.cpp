// DORAN message syntax: decoding of a received message into its parts.
#include "protocols/doran/doran_syntax.h"

#include "core/trace.h"

namespace {

// Parts of the message in hand (main thread only).
TlvNode* g_message = nullptr;  // E0
TlvNode* g_command = nullptr;  // E1
TlvNode* g_data = nullptr;     // E2

void FreePart(TlvNode*& part, char mode) {
    TLV_Free(part, mode);
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

}  // namespace

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

void DRN_FreeSyntax(int all, char mode) {
    FreePart(g_command, mode);
    FreePart(g_data, mode);
    if (all == 1) FreePart(g_message, mode);
}

TlvNode* DRN_DataPart() { return g_data; }
