// The library's own tag-message codec: a writer bound to a caller's buffer and
// a reader bound to a caller's text. A message is a run of "{CODE}value"
// entries closed by "{F}"; byte values are lower-case hexadecimal pairs.
// Every operation returns 1 when done and -1 on failure, and logs its line
// through the library log under the context's instance id. Each context has
// its own lock: one call sees one whole binding (buffer with its capacity,
// text with its length), whatever other threads bind meanwhile.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace znpdll {

class TagWriter {
public:
    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Binds the buffer; clear fills the whole capacity with zero bytes.
    int WriteInit(char* buffer, uint32_t capacity, bool clear);
    // Adds "{code}value" before the first "{F}" (or at the end of the text)
    // and closes the message with "{F}". The finished text must leave room for
    // its terminator and one more byte.
    int SetStringVal(const char* code, const char* value);
    // Adds the bytes as lower-case hexadecimal pairs; the finished text and
    // its terminator may fill the capacity exactly.
    int SetStringValHEX(const char* code, const unsigned char* bytes, uint32_t count);
    // Copies the message and its terminator (at most the bound capacity).
    int GetWriteBuf(char* destination) const;

private:
    int Add(const char* code, std::string_view value, bool allowFull);

    mutable std::mutex lock_;
    char* buffer_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t instanceId_ = 0;
};

class TagReader {
public:
    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Binds the text; reads never look past its first `length` bytes.
    int ReadInit(const char* text, uint32_t length);
    // Copies the value of the next "{code}" (from the start when fromStart > 0,
    // else from the read position) with its terminator. The destination has no
    // declared size: it needs room for the longest value of a message.
    int GetStringVal(const char* code, char* destination, int32_t fromStart);
    // Same search, value decoded from hexadecimal pairs; *count is the
    // destination's capacity in bytes and receives the number of bytes decoded.
    int GetStringValHEX(const char* code, unsigned char* destination, uint32_t* count, int32_t fromStart);
    // Same search, value returned as a view into the bound text. An optional
    // code (one the caller only looks for) that is absent is logged as INFO,
    // not as a warning: it is absent from most messages.
    int FindValue(const char* code, int32_t fromStart, std::string_view* value, bool optional = false);

private:
    // Finds the value; 1, or -1 after logging why not.
    int Locate(const char* code, int32_t fromStart, bool hexForm, std::string_view* value, bool optional = false);

    std::mutex lock_;
    const char* text_ = nullptr;
    size_t textLength_ = 0;  // characters before the terminator, within the bound length
    uint32_t position_ = 0;
    uint32_t instanceId_ = 0;
};

}  // namespace znpdll
