// Chained lists of the terminal information records.
#include "protocols/terminal_info.h"

#include <cstring>

#include "core/helpers.h"

namespace {

// Releases every node chained after `first` (next pointers through `next`),
// each cleared before it goes.
template <typename Node>
void FreeAfter(Node* first) {
    if (first == nullptr) return;
    Node* node = first->next;
    first->next = nullptr;
    while (node != nullptr) {
        Node* next = node->next;
        std::memset(node, 0, sizeof *node);
        WFree(node);
        node = next;
    }
}

void FreeLibraries(LibraryPair* first) {
    while (first != nullptr) {
        LibraryPair* next = first->next;
        std::memset(first, 0, sizeof *first);
        WFree(first);
        first = next;
    }
}

}  // namespace

void TermInfoList_Init(TermInfoListHead* head) {
    if (head == nullptr) return;
    head->state = 255;
    head->next = nullptr;
}

void TermInfoList_Free(TermInfoListHead* head) { FreeAfter(head); }

void TermInfoItem_Init(TermInfoItem* item) {
    if (item == nullptr) return;
    std::memset(item->bytes, 0, sizeof item->bytes);
    item->bytes[0] = 255;
}

void TermInfoItems_Free(TermInfoItem* first) {
    if (first == nullptr) return;
    TermInfoItem* item = first->next;
    first->next = nullptr;
    while (item != nullptr) {
        TermInfoItem* next = item->next;
        TermInfoItem_Init(item);
        item->next = nullptr;
        WFree(item);
        item = next;
    }
}

void FileVersionList_Free(FileVersionEntry* first) {
    if (first == nullptr) return;
    FreeAfter(first);
    std::memset(first, 0, sizeof *first);
}

void KeySlotList_Free(KeySlot* first) {
    if (first == nullptr) return;
    FreeAfter(first);
    std::memset(first, 0, sizeof *first);
    first->slot = 255;
}

void CleanupTerminalInfo(TerminalDescription* d) {
    if (d == nullptr) return;
    FreeLibraries(d->hardware.libraries);
    HardwareRecord* hw = d->hardware.next;
    while (hw != nullptr) {
        HardwareRecord* next = hw->next;
        FreeLibraries(hw->libraries);
        std::memset(hw, 0, sizeof *hw);
        WFree(hw);
        hw = next;
    }
    ModuleRecord* module = d->modules;
    while (module != nullptr) {
        ModuleRecord* next = module->next;
        FreeLibraries(module->libraries);
        std::memset(module, 0, sizeof *module);
        WFree(module);
        module = next;
    }
    KeySlotList_Free(&d->keySlots);
    TermInfoList_Free(&d->terminals);
    TermInfoItems_Free(&d->items);
    std::memset(d, 0, sizeof *d);
    d->states[0] = 1;
    d->states[1] = '9';
    d->states[2] = 'Z';
    d->keySlots.slot = 255;
    TermInfoList_Init(&d->terminals);
    TermInfoItem_Init(&d->items);
}
