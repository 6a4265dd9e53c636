// Chained lists of the terminal information records: heads and items set
// to their empty marks, chains released whole (the address sanitiser of the
// CI run sees any entry left or freed twice), the description's clean-up.
#include "protocols/terminal_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/helpers.h"

namespace {

template <typename Node>
Node* Chain(Node* first, int count) {
    Node* last = first;
    for (int i = 0; i < count; ++i) {
        auto* node = static_cast<Node*>(WAlloc(sizeof(Node)));  // zeroed
        last->next = node;
        last = node;
    }
    return last;
}

TEST(TerminalInfoLists, HeadsAndItemsStartEmptyAndFreeTheirChains) {
    TermInfoListHead head;
    std::memset(&head, 0x77, sizeof head);
    TermInfoList_Init(&head);
    EXPECT_EQ(head.state, 255);
    EXPECT_EQ(head.next, nullptr);
    Chain(&head, 3);
    TermInfoList_Free(&head);
    EXPECT_EQ(head.next, nullptr);
    EXPECT_EQ(head.state, 255);  // the head stays as it was

    TermInfoItem item;
    std::memset(&item, 0x77, sizeof item);
    item.next = nullptr;
    TermInfoItem_Init(&item);
    EXPECT_EQ(item.bytes[0], 255);
    for (int i = 1; i < 20; ++i) EXPECT_EQ(item.bytes[i], 0) << i;
    Chain(&item, 4);
    TermInfoItems_Free(&item);
    EXPECT_EQ(item.next, nullptr);
    EXPECT_EQ(item.bytes[0], 255);
    // An empty chain and no list at all are nothing to free.
    TermInfoItems_Free(&item);
    TermInfoList_Free(nullptr);
    TermInfoItems_Free(nullptr);
}

TEST(TerminalInfoLists, FileVersionsAndKeySlots) {
    FileVersionEntry first{};
    std::strcpy(first.name, "boot");
    Chain(&first, 2);
    FileVersionList_Free(&first);
    EXPECT_EQ(first.next, nullptr);
    EXPECT_STREQ(first.name, "");

    KeySlot slot{};
    slot.slot = 3;
    Chain(&slot, 2);
    KeySlotList_Free(&slot);
    EXPECT_EQ(slot.next, nullptr);
    EXPECT_EQ(slot.slot, 255);
}

TEST(TerminalInfoLists, DescriptionCleanUpReleasesEveryChain) {
    auto d = std::make_unique<TerminalDescription>();
    std::memset(d.get(), 0, sizeof *d);
    CleanupTerminalInfo(d.get());
    EXPECT_EQ(d->states[0], 1);
    EXPECT_EQ(d->states[1], '9');
    EXPECT_EQ(d->states[2], 'Z');
    EXPECT_EQ(d->keySlots.slot, 255);
    EXPECT_EQ(d->terminals.state, 255);
    EXPECT_EQ(d->items.bytes[0], 255);

    // Hardware records, modules and their libraries, key slots, lists.
    HardwareRecord* hw = Chain(&d->hardware, 2);
    d->hardware.libraries = static_cast<LibraryPair*>(WAlloc(sizeof(LibraryPair)));
    hw->libraries = static_cast<LibraryPair*>(WAlloc(sizeof(LibraryPair)));
    Chain(hw->libraries, 1);
    d->modules = static_cast<ModuleRecord*>(WAlloc(sizeof(ModuleRecord)));
    Chain(d->modules, 1);
    d->modules->libraries = static_cast<LibraryPair*>(WAlloc(sizeof(LibraryPair)));
    Chain(&d->keySlots, 2);
    Chain(&d->terminals, 2);
    Chain(&d->items, 2);
    std::strcpy(d->applicationVersion, "1.0");
    CleanupTerminalInfo(d.get());
    EXPECT_EQ(d->hardware.next, nullptr);
    EXPECT_EQ(d->hardware.libraries, nullptr);
    EXPECT_EQ(d->modules, nullptr);
    EXPECT_EQ(d->keySlots.next, nullptr);
    EXPECT_EQ(d->terminals.next, nullptr);
    EXPECT_EQ(d->items.next, nullptr);
    EXPECT_STREQ(d->applicationVersion, "");
    CleanupTerminalInfo(nullptr);
}

}  // namespace
