// Layout of the POS link block shared by the cash-register side (client
// library) and the console program of one station: two one-message
// mailboxes, each a status byte followed by a NUL-terminated text.
#pragma once
#include <cstddef>
#include <string>

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

// Sizes each side asks for when creating or opening the block.
constexpr size_t kClientBlockSize = 40962;
constexpr size_t kProgramBlockSize = 20482;

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
