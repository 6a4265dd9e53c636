// Fuzz target of the client library's side of the POS link: its mailbox
// reader and writer on a block of arbitrary contents and status bytes, and
// the request book that sorts what is read.
//
// Input: 8 bytes of script, then the block's contents from its first byte
// (the program's mailbox: status byte, text; then the library's mailbox),
// the rest of the 20482 bytes zero. The block is exactly its used size, so
// that a read or write past it is caught. Each step of the script reads
// (taking or peeking), marks taken, writes a text cut from the input, or
// hands the last text read to the request book, checking that a peek leaves
// the mailbox as it was, that a take leaves no text behind, that a text read
// never holds more than the text area, that a write lands whole with nothing
// of an earlier text behind it, and that the book never holds more than its
// bound.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "client/pos_channel.h"
#include "client/request_book.h"
#include "fuzz_check.h"
#include "platform/pos_mailbox.h"

namespace {

constexpr size_t kScript = 8;

bool TextAreaClear(const char* mailbox) {
    return std::all_of(mailbox + 1, mailbox + poslink::kMailboxSize, [](char c) { return c == '\0'; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> block(poslink::kUsedSize, '\0');
    const size_t script = std::min(size, kScript);
    std::memcpy(block.data(), data + script, std::min(size - script, block.size()));
    char* toPos = block.data() + poslink::kToPosMailbox;
    char* fromPos = block.data() + poslink::kFromPosMailbox;
    auto channel = znpdll::DialogChannel::Attach(block.data(), 0);
    znpdll::RequestBook book;

    std::string last;
    for (size_t step = 0; step < script; ++step) {
        const uint8_t op = data[step];
        switch (op % 6) {
            case 0:
            case 1: {
                const bool take = op % 6 == 0;
                const std::vector<char> before(toPos, toPos + poslink::kMailboxSize);
                const bool present = toPos[0] == poslink::kStatusPresent;
                std::string text;
                const znpdll::ReadResult r = channel->Read(take, &text, 0, 0);
                Check(r.status == (present ? 1 : 0), "a read finds exactly a present message");
                if (r.status != 1) break;
                Check(text.size() <= poslink::kTextSize, "a text read stays within the text area");
                Check(text.find('\0') == std::string::npos, "a text read stops at its terminator");
                Check(std::memcmp(text.data(), before.data() + 1, text.size()) == 0, "a read copies the text");
                if (take) {
                    Check(toPos[0] == poslink::kStatusTaken && TextAreaClear(toPos), "a take leaves no text");
                } else {
                    Check(std::equal(before.begin(), before.end(), toPos), "a peek leaves the mailbox as it was");
                }
                last = std::move(text);
                break;
            }
            case 2:
                channel->SetEmpty(0);
                Check(toPos[0] == poslink::kStatusTaken && TextAreaClear(toPos), "marked taken, text cleared");
                break;
            case 3: {
                // A text cut from the input, without NUL bytes.
                std::string text(reinterpret_cast<const char*>(data), size);
                text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
                text.resize(std::min<size_t>(text.size(), op * 48u));
                const bool full = fromPos[0] == poslink::kStatusPresent;
                const int w = channel->Write(text.c_str(), 0);
                if (text.empty() || text.size() + 2 >= poslink::kMailboxSize) {
                    Check(w == -1, "an empty or too long text is refused");
                } else if (full) {
                    Check(w == 0, "a full mailbox is not written");
                } else {
                    Check(w == 1 && fromPos[0] == poslink::kStatusPresent, "a text is written");
                    Check(std::memcmp(fromPos + 1, text.data(), text.size()) == 0, "written whole");
                    Check(std::all_of(fromPos + 1 + text.size(), fromPos + poslink::kMailboxSize,
                                      [](char c) { return c == '\0'; }),
                          "nothing of an earlier text stays behind a written one");
                    fromPos[0] = poslink::kStatusTaken;  // the program takes it
                }
                break;
            }
            case 4: {
                // The book as the acknowledgement wait uses it.
                const znpdll::RequestBook::Kind kind = book.Sort(last);
                if (kind == znpdll::RequestBook::Kind::Bare) {
                    book.DropStaleAcknowledgement(last, "DLLSND");
                } else if (kind != znpdll::RequestBook::Kind::Empty) {
                    Check(book.TakeAside(last, "DLLSND") == kind, "a message is taken aside as sorted");
                }
                std::string sv, cd;
                book.FieldsOf(last, &sv, &cd);
                book.Sent();
                if (op & 0x40)
                    book.AcknowledgementTimedOut(sv, cd);
                else
                    book.Acknowledged(sv, cd, (op >> 3) % 10);
                Check(book.heldCount() <= znpdll::RequestBook::kMaxKept + 1, "held messages are bounded");
                break;
            }
            case 5:
                if (book.HoldsAny()) {
                    const std::string front = book.Front();
                    Check(book.PopFront() == front, "the oldest held message is handed over");
                }
                break;
        }
    }
    return 0;
}
