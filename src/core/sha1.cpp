// SHA-1 as FIPS 180-1 describes it: 512-bit blocks, 80 rounds, big-endian.
#include "core/sha1.h"

#include <cstring>

namespace {

inline uint32_t Rol(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

void Sha1Block(uint32_t state[5], const uint8_t block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
               (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = Rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

void Sha1_Init(Sha1Context* context) {
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->countLow = 0;
    context->countHigh = 0;
    std::memset(context->buffer, 0, sizeof context->buffer);
}

void Sha1_Update(Sha1Context* context, const void* data, size_t length) {
    if (length == 0) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t used = (context->countLow >> 3) & 63;

    // 64-bit bit count kept in two words.
    uint64_t bits = (uint64_t(context->countHigh) << 32) | context->countLow;
    bits += uint64_t(length) << 3;
    context->countLow = uint32_t(bits);
    context->countHigh = uint32_t(bits >> 32);

    if (used) {
        size_t take = 64 - used;
        if (take > length) take = length;
        std::memcpy(context->buffer + used, bytes, take);
        used += take;
        bytes += take;
        length -= take;
        if (used < 64) return;
        Sha1Block(context->state, context->buffer);
    }
    for (; length >= 64; bytes += 64, length -= 64) Sha1Block(context->state, bytes);
    if (length) std::memcpy(context->buffer, bytes, length);
}

void Sha1_Final(uint8_t* digest, Sha1Context* context) {
    uint8_t lengthBytes[8];
    for (int i = 0; i < 4; ++i) {
        lengthBytes[i] = uint8_t(context->countHigh >> (24 - 8 * i));
        lengthBytes[4 + i] = uint8_t(context->countLow >> (24 - 8 * i));
    }
    static const uint8_t kPad[64] = {0x80};
    size_t used = (context->countLow >> 3) & 63;
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    Sha1_Update(context, kPad, padLength);
    Sha1_Update(context, lengthBytes, 8);
    for (int i = 0; i < 20; ++i) digest[i] = uint8_t(context->state[i >> 2] >> (24 - 8 * (i & 3)));
    // Wipe through a volatile pointer so the store is not dropped.
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(context);
    for (size_t i = 0; i < sizeof *context; ++i) p[i] = 0;
}

int Sha1_Compute(const void* data, size_t length, uint8_t* digest, size_t* outLength) {
    if (!digest || (!data && length)) return -1;
    Sha1Context context;
    Sha1_Init(&context);
    Sha1_Update(&context, data, length);
    Sha1_Final(digest, &context);
    if (outLength) *outLength = SHA1_DIGEST_SIZE;
    return 0;
}
