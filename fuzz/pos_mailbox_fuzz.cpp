// Fuzz target of the program's side of the POS link: the mailbox reader
// facing whatever the other side left in the shared block.
//
// Input: byte 0 chooses the size of the reader's buffer (0 means "the whole
// text area"), byte 1 is the status byte of the incoming mailbox, the rest
// fills its text area (no terminator added; the rest of the area stays as a
// second pattern from byte 0). Mailboxes and the reader's buffer are heap
// blocks of their exact size, so any access past them is seen.
//
// Whatever comes in: a read under any status but '1' takes nothing and
// changes nothing; a read under '1' returns the size asked (10240 for 0),
// copies the message up to its terminator within the buffer and the text
// area, terminates the copy, marks the mailbox taken and clears its text.
// Putting the copy back and reading it again gives the same text.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "platform/pos_mailbox.h"
#include "station/pos_link.h"

namespace {

bool AllZero(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // error lines would only slow it down
    (void)quiet;
    if (size < 2) return 0;
    const uint8_t sizeChoice = input[0];
    const char status = static_cast<char>(input[1]);
    const uint8_t* text = input + 2;
    const size_t textLength = size - 2 < poslink::kTextSize ? size - 2 : poslink::kTextSize;

    // Sizes around the edges of the text area, and small ones.
    int asked;
    switch (sizeChoice % 8) {
        case 0: asked = 0; break;
        case 1: asked = static_cast<int>(poslink::kTextSize); break;
        case 2: asked = static_cast<int>(poslink::kTextSize) - 1; break;
        case 3: asked = static_cast<int>(poslink::kMailboxSize); break;
        case 4: asked = static_cast<int>(poslink::kTextSize) + 100; break;
        default: asked = 1 + sizeChoice / 8; break;
    }
    const size_t room = asked == 0 ? poslink::kTextSize : static_cast<size_t>(asked);

    std::vector<char> incoming(poslink::kMailboxSize, static_cast<char>(sizeChoice));
    std::vector<char> outgoing(poslink::kMailboxSize, 0);
    incoming[0] = status;
    std::memcpy(incoming.data() + 1, text, textLength);
    const std::vector<char> before = incoming;
    PosLinkHandle link{outgoing.data(), incoming.data()};

    std::vector<char> buffer(room, 'x');
    const int read = ZelDiaRead(buffer.data(), asked, &link, 10);
    Check(outgoing == std::vector<char>(poslink::kMailboxSize, 0), "the reader touched the outgoing mailbox");
    if (status != poslink::kStatusPresent) {
        Check(read == 0, "a read without a present message");
        Check(incoming == before, "a mailbox without a present message was changed");
        return 0;
    }
    Check(read == (asked == 0 ? static_cast<int>(poslink::kTextSize) : asked), "result of a read");
    // The copy: the message up to its terminator, within the buffer and the area.
    const size_t limit = room < poslink::kTextSize ? room : poslink::kTextSize;
    const size_t expected = strnlen(before.data() + 1, limit - 1);
    Check(std::memchr(buffer.data(), 0, buffer.size()) != nullptr, "copy not terminated");
    Check(std::strlen(buffer.data()) <= expected, "copy longer than the message");
    Check(std::memcmp(buffer.data(), before.data() + 1, std::strlen(buffer.data())) == 0, "copy differs");
    Check(std::strlen(buffer.data()) == expected, "copy shorter than the message");
    Check(incoming[0] == poslink::kStatusTaken, "mailbox not marked taken");
    Check(AllZero(incoming.data() + 1, poslink::kTextSize), "text left in the mailbox");

    // Back in the mailbox and read again, as a request put back is.
    const std::string copy(buffer.data());
    const int put = ZelDiaPut(copy.c_str(), &link);
    Check(put == (copy.empty() ? 0 : 1), "put back");
    if (put == 1) {
        std::vector<char> again(poslink::kTextSize, 'y');
        Check(ZelDiaRead(again.data(), 0, &link, 10) == static_cast<int>(poslink::kTextSize), "second read");
        Check(copy == again.data(), "second read differs");
        Check(AllZero(incoming.data() + 1, poslink::kTextSize), "text left after the second read");
    }
    return 0;
}
