// Fuzz target of the interface engine's payload decoders: the five command
// payloads a remote host sends (DISPLAY, TEXT, TOUCH, DATUM, SELEC) and the
// answers a remote station sends back, read from a buffer of exactly the
// input's size.
//
// Input: byte 0 chooses the type (its value modulo 5), then the payload.
//
// Whatever comes in: no read outside the payload; a decoded command keeps
// every text within its buffer, NUL-ended (129, 50, 80), and the items of a
// selection hold count x width; a decoded answer has a key from 0 to 255 and
// an entered text within 80 characters, NUL-ended.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "periph/interface_exec.h"

namespace {

constexpr int kTypes[] = {TWIP_DISPLAY, TWIP_TEXT, TWIP_TOUCH, TWIP_DATUM, TWIP_SELEC};

bool EndsWithin(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int type = kTypes[data[0] % 5];
    // The payload alone in its own allocation: a read past it is caught.
    std::vector<uint8_t> payload(data + 1, data + size);
    const void* bytes = payload.empty() ? nullptr : payload.data();

    TwipCommand c{};
    const int decoded = TWIP_DecodeCommand(type, bytes, payload.size(), &c);
    Check(decoded == 0 || decoded == 1 || decoded == 16, "unexpected decoder result");
    if (decoded == 0) {
        Check(c.textLength >= 0 && c.textLength < TWIP_TEXT_BUFFER, "a text over its buffer was taken");
        Check(c.formatLength >= 0 && c.formatLength < TWIP_FORMAT_BUFFER, "a format over its buffer was taken");
        Check(c.titleLength >= 0 && c.titleLength < TWIP_TITLE_BUFFER, "a title over its buffer was taken");
        Check(EndsWithin(c.text, sizeof c.text) && EndsWithin(c.format, sizeof c.format) &&
                  EndsWithin(c.title, sizeof c.title),
              "a text without its NUL");
        Check(c.itemsLength >= 0 && c.itemsLength <= SAP_PAYLOAD_MAX, "items over a row");
        if (type == TWIP_SELEC)
            Check(c.count >= 0 && c.itemWidth >= 0 && static_cast<long long>(c.count) * c.itemWidth <= c.itemsLength,
                  "a selection reading past its items");
        Check(c.trailing >= -1 && c.trailing <= 255, "a trailing byte out of range");
    }

    TwipAnswer a{};
    const int fields = TWIP_DecodeAnswer(type, bytes, payload.size(), &a);
    Check(fields == -1 || (fields >= 1 && fields <= 3), "unexpected answer result");
    Check(a.key >= 0 && a.key <= 255, "a key out of range");
    Check(EndsWithin(a.text, sizeof a.text), "an entered text without its NUL");
    if (fields == 3 && a.textLength >= 0 && a.textLength < SAP_ENTRY_SIZE)
        Check(std::strlen(a.text) <= static_cast<size_t>(a.textLength), "an entered text longer than announced");
    return 0;
}
