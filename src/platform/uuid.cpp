#include "platform/uuid.h"

#include <openssl/rand.h>

namespace plat {

std::string NewUuidText() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return {};
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // variant 10
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(hex[b[i] >> 4]);
        out.push_back(hex[b[i] & 0x0F]);
    }
    return out;
}

}  // namespace plat
