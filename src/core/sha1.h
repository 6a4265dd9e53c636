// SHA-1 (FIPS 180-1), our own compact implementation.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t SHA1_DIGEST_SIZE = 20;

struct Sha1Context {
    uint32_t state[5];   // chaining values
    uint32_t countLow;   // message length in bits, low word
    uint32_t countHigh;  // message length in bits, high word
    uint8_t buffer[64];  // pending bytes of the current block
};

void Sha1_Init(Sha1Context* context);
void Sha1_Update(Sha1Context* context, const void* data, size_t length);
// Writes the 20-byte digest and wipes the context.
void Sha1_Final(uint8_t* digest, Sha1Context* context);

// Digest of `length` bytes into `digest` (20 bytes); `*outLength` := 20 when
// not null. 0 when done, -1 for a null digest or null data of non-zero length.
int Sha1_Compute(const void* data, size_t length, uint8_t* digest, size_t* outLength);
