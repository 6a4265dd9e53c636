// Pulls bytes and short texts off a fuzz input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A text of up to `most` bytes; NUL bytes become 'N' so lengths hold.
    std::string text(size_t most) {
        size_t length = byte() % (most + 1);
        std::string out;
        for (size_t i = 0; i < length && pos_ < size_; ++i) {
            char c = char(data_[pos_++]);
            out += c == '\0' ? 'N' : c;
        }
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
