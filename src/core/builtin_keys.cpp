// The built-in key pair and the two AES-256 keys, rebuilt at each use from
// the tables the build makes out of its key directory (tools/key_tables: a
// deployment's own keys, or a development set the configure step generates).
// Each key is the byte-wise XOR of its two tables; the private key text was
// scrambled before the split, and BuiltinKeyScramble undoes that.
#include "core/builtin_keys.h"

#include <cstring>

#include "core/builtin_key_scramble.h"

namespace {

#include "core/builtin_key_tables.inc"

static_assert(sizeof kPrivateA == sizeof kPrivateB && sizeof kPrivateA < BUILTIN_KEY_TEXT_SIZE);
static_assert(sizeof kPublicA == sizeof kPublicB && sizeof kPublicA < BUILTIN_KEY_TEXT_SIZE);
static_assert(sizeof kAesA == BUILTIN_AES_KEY_SIZE && sizeof kAesB == BUILTIN_AES_KEY_SIZE);
static_assert(sizeof kStoredValueKeyA == BUILTIN_AES_KEY_SIZE && sizeof kStoredValueKeyB == BUILTIN_AES_KEY_SIZE);

// The pointers go through an empty asm statement so the compiler cannot fold
// the XOR of the two constant tables into the clear key at build time.
void XorTables(unsigned char* out, const unsigned char* a, const unsigned char* b, size_t n) {
    asm volatile("" : "+r"(a), "+r"(b));
    for (size_t i = 0; i < n; ++i) out[i] = a[i] ^ b[i];
}

}  // namespace

size_t BuiltinRebuildPrivateKey(char* work) {
    auto* out = reinterpret_cast<unsigned char*>(work);
    std::memset(out, 0, BUILTIN_KEY_TEXT_SIZE);
    XorTables(out, kPrivateA, kPrivateB, sizeof kPrivateA);
    BuiltinKeyScramble(out, sizeof kPrivateA);
    return sizeof kPrivateA;
}

size_t BuiltinRebuildPublicKey(char* work) {
    auto* out = reinterpret_cast<unsigned char*>(work);
    std::memset(out, 0, BUILTIN_KEY_TEXT_SIZE);
    XorTables(out, kPublicA, kPublicB, sizeof kPublicA);
    return sizeof kPublicA;
}

std::string BuiltinPublicKeyPem() {
    char work[BUILTIN_KEY_TEXT_SIZE];
    size_t n = BuiltinRebuildPublicKey(work);
    return std::string(work, n);
}

void BuiltinRebuildAesKey(unsigned char* key) { XorTables(key, kAesA, kAesB, BUILTIN_AES_KEY_SIZE); }

void BuiltinRebuildStoredValueKey(unsigned char* key) {
    XorTables(key, kStoredValueKeyA, kStoredValueKeyB, BUILTIN_AES_KEY_SIZE);
}
