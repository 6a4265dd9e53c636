// Layout of the POS link block shared by the cash-register side (client
// library) and the console program of one station: two one-message
// mailboxes, each a status byte followed by a NUL-terminated text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wake_word.h"

namespace poslink {

// Block name: shared-block prefix "SH" + "TPIPE" + station number ("%d").
constexpr const char* kBlockPrefix = "SH";
constexpr const char* kBlockName = "TPIPE";

// Full name of the block of a station ("SHTPIPE12" for station 12).
inline std::string BlockName(long long station) {
    return std::string(kBlockPrefix) + kBlockName + std::to_string(station);
}

constexpr size_t kMailboxSize = 10241;          // status byte + 10240 text bytes
constexpr size_t kTextSize = kMailboxSize - 1;  // text area, terminator included
constexpr size_t kMaxMessageChars = kTextSize - 1;  // 10239

// Offsets inside the block.
constexpr size_t kToPosMailbox = 0;               // written by the program
constexpr size_t kFromPosMailbox = kMailboxSize;  // written by the client library
constexpr size_t kUsedSize = 2 * kMailboxSize;    // 20482

// Wake area, after the mailboxes: one wake word per mailbox, bumped by
// whichever side changed its status byte (a message written, or taken), and
// the flags by which each side declares that it bumps them. A side waits on
// the word of the mailbox it waits for, and polls (the fallback) a peer that
// has not declared that it bumps.
struct WakeArea {
    plat::WakeWord toPos;    // ToPosMailbox changed
    plat::WakeWord fromPos;  // FromPosMailbox changed
    uint32_t programBumps;   // 1 while the program's side bumps the words
    uint32_t clientBumps;    // 1 while the library's side bumps the words
};
constexpr size_t kWakeOffset = 20488;  // first 8-byte boundary after the mailboxes
static_assert(kWakeOffset >= 2 * kMailboxSize && kWakeOffset % 8 == 0);

// Sizes each side asks for when creating or opening the block: the library
// 40962 bytes, the program the mailboxes and the wake area.
constexpr size_t kClientBlockSize = 40962;
constexpr size_t kProgramBlockSize = kWakeOffset + sizeof(WakeArea);
static_assert(kProgramBlockSize <= kClientBlockSize);

// The wake area of a mapped block, or null when the mapping is too short.
inline WakeArea* WakeAreaOf(void* block, size_t mappedSize) {
    if (block == nullptr || mappedSize < kProgramBlockSize) return nullptr;
    return reinterpret_cast<WakeArea*>(static_cast<char*>(block) + kWakeOffset);
}

// Status byte values.
constexpr char kStatusPresent = '1';  // a complete message is there
constexpr char kStatusWriting = '.';  // a message is being written
constexpr char kStatusTaken = '0';    // the message was taken
constexpr char kStatusNever = 0;      // never written (or cleared)

// Event names: "TALVO" + station "%03u" (set after each program message),
// "TRVOK" + station "%03d" (set once when the program is ready).
constexpr const char* kPosMessageEventPrefix = "TALVO";
constexpr const char* kClientReadyEventPrefix = "TRVOK";

}  // namespace poslink
