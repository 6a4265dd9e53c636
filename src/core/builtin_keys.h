// The built-in RSA key pair and AES key. None is stored in plain: each is
// rebuilt at use from two stored tables (byte-wise XOR); the private key text
// then gets an unscrambling pass over three stretches of the work buffer.
#pragma once
#include <cstddef>
#include <string>

// Room of the work buffer a key text is rebuilt into (text + terminator).
constexpr size_t BUILTIN_KEY_TEXT_SIZE = 8192;
constexpr size_t BUILTIN_AES_KEY_SIZE = 32;

// Rebuild a PEM text into `work` (BUILTIN_KEY_TEXT_SIZE bytes), NUL-terminated.
// Returns the text length. Callers wipe the buffer after use.
size_t BuiltinRebuildPrivateKey(char* work);
size_t BuiltinRebuildPublicKey(char* work);

// The public key as PEM text, for tools and tests that encipher data to be
// read with the built-in private key.
std::string BuiltinPublicKeyPem();

// Rebuild the 32-byte AES key into `key`. Callers wipe it after use.
void BuiltinRebuildAesKey(unsigned char* key);

// Rebuild the second 32-byte AES key (values stored by the card-data
// masking). Callers wipe it after use.
void BuiltinRebuildStoredValueKey(unsigned char* key);
