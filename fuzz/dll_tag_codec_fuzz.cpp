// Fuzz target of the client library's tag codec through its C exports (the
// forms without instance id, on the default instance, which needs no
// program).
//
// Reading: the input itself, bound with its size and no terminator, is read
// with codes cut from it, as text and as hexadecimal, into destinations with
// guard bytes after them. Writing: a buffer of a capacity chosen by the input
// gets codes and values cut from the input, as text and as bytes; after each
// call the guard after the buffer is intact, the text is terminated within
// the capacity, a refusal leaves the buffer as it was, and an addition ends
// the message with "{code}value{F}".
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_cursor.h"
#include "znp_dll.h"

namespace {

constexpr size_t kGuard = 64;

bool GuardIntact(const std::vector<char>& area, size_t from) {
    return std::all_of(area.begin() + static_cast<long>(from), area.end(), [](char c) { return c == 'G'; });
}

void ExerciseReading(const uint8_t* data, size_t size, Cursor& cursor) {
    if (size == 0) return;
    const std::vector<char> text(data, data + size);
    if (ATAG_ReadInit(text.data(), static_cast<uint32_t>(size)) != 1) return;
    for (int i = 0; i < 8; ++i) {
        const std::string code = cursor.text(6);
        const int32_t fromStart = static_cast<int32_t>(cursor.byte() % 3) - 1;
        // A value is never longer than the text.
        std::vector<char> value(size + 1 + kGuard, 'G');
        const int r = ATAG_GetStringVal(code.c_str(), value.data(), fromStart);
        Check(GuardIntact(value, size + 1), "a text value stays within the text's length");
        Check(r == 1 || r == -1, "text read result");
        if (r == 1) Check(std::strlen(value.data()) <= size, "a text value is terminated");

        const uint32_t capacity = cursor.byte() % 40;
        std::vector<char> bytes(capacity + kGuard, 'G');
        uint32_t count = capacity;
        const int h = ATAG_GetStringValHEX(code.c_str(), reinterpret_cast<unsigned char*>(bytes.data()), &count,
                                           fromStart);
        Check(GuardIntact(bytes, capacity), "a byte value stays within its capacity");
        if (h == 1) Check(count <= capacity, "the byte count fits the capacity");
    }
}

void ExerciseWriting(Cursor& cursor) {
    const uint32_t capacity = 1 + cursor.byte() % 120;
    std::vector<char> area(capacity + kGuard, 'G');
    if (ATAG_WriteInit(area.data(), capacity) != 1) return;
    Check(std::all_of(area.begin(), area.begin() + capacity, [](char c) { return c == '\0'; }), "bound and cleared");
    for (int i = 0; i < 12; ++i) {
        const std::vector<char> before(area);
        const std::string code = cursor.text(5);
        int r;
        std::string shown;
        if (cursor.byte() & 1) {
            shown = cursor.text(40);
            r = ATAG_SetStringVal(code.c_str(), shown.c_str());
        } else {
            const std::string raw = cursor.text(20);
            static const char kDigits[] = "0123456789abcdef";
            for (unsigned char c : raw) {
                shown += kDigits[c >> 4];
                shown += kDigits[c & 0x0f];
            }
            r = ATAG_SetStringValHEX(code.c_str(), reinterpret_cast<const unsigned char*>(raw.data()),
                                     static_cast<uint32_t>(raw.size()));
        }
        Check(GuardIntact(area, capacity), "a write stays within the capacity");
        Check(std::memchr(area.data(), '\0', capacity) != nullptr, "the text is terminated within the capacity");
        if (r != 1) {
            Check(r == -1 && std::equal(before.begin(), before.end(), area.begin()), "a refusal changes nothing");
            continue;
        }
        const std::string text(area.data());
        const std::string tail = "{" + code + "}" + shown + "{F}";
        Check(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
              "an addition ends the message");
    }
    std::vector<char> copy(capacity + kGuard, 'G');
    Check(ATAG_GetWriteBuf(copy.data()) == 1, "the message is copied out");
    Check(GuardIntact(copy, capacity), "the copy stays within the capacity");
    Check(std::strcmp(copy.data(), area.data()) == 0, "the copy is the message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Cursor cursor(data, size);
    ExerciseReading(data, size, cursor);
    ExerciseWriting(cursor);
    return 0;
}
