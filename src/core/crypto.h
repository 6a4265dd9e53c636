// Cipher helpers on OpenSSL 3 (EVP interfaces): block-wise RSA with a chosen
// padding, RSA with the built-in key pair, triple DES and AES-256-CBC with the
// built-in AES key. Nothing here keeps state between calls.
#pragma once
#include <openssl/types.h>

#include <cstddef>

// Padding numbers as OpenSSL numbers them. 2 (SSLv23) is no longer offered by
// OpenSSL 3 and is refused.
constexpr int RSA_PADDING_PKCS1 = 1;
constexpr int RSA_PADDING_SSLV23 = 2;
constexpr int RSA_PADDING_NONE = 3;
constexpr int RSA_PADDING_OAEP = 4;

// Block-wise RSA. `outLength` is in/out: on entry the room of `output`, on
// return the number of bytes written. The input is cut into blocks of the
// modulus size less the padding overhead (11 for PKCS #1 v1.5, 42 for OAEP,
// none without padding: the last block is then extended with zero bytes);
// decryption reads blocks of the modulus size. 1 when done; -2 for an unknown
// or unsupported padding, a missing or non-RSA key, a failed block or an
// output that does not fit.
int RSA_Openssl_CryptPublicData(const unsigned char* input, size_t inputLength,
                                unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                int padding);
int RSA_Openssl_CryptPriveData(const unsigned char* input, size_t inputLength,
                               unsigned char* output, size_t* outLength, EVP_PKEY* key,
                               int padding);
int RSA_Openssl_DecryptPublicData(const unsigned char* input, size_t inputLength,
                                  unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                  int padding);
int RSA_Openssl_DecryptPriveData(const unsigned char* input, size_t inputLength,
                                 unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                 int padding);

// Modes of RSAKEY_Action, all with PKCS #1 v1.5 padding and the built-in pair.
constexpr int RSAKEY_PRIVATE_DECRYPT = 0;
constexpr int RSAKEY_PRIVATE_ENCRYPT = 1;
constexpr int RSAKEY_PUBLIC_DECRYPT = 2;
constexpr int RSAKEY_PUBLIC_ENCRYPT = 3;

// Replaces the `*length` bytes of `buffer` by the result of the operation of
// `mode` with the built-in key pair and sets `*length` to the result's size.
// `capacity` is the room of `buffer`: a result that does not fit is refused
// (decryption never grows the data, so capacity = *length is enough for
// modes 0 and 2). 1 when done, -1 on any failure (buffer left unchanged).
int RSAKEY_Action(unsigned char* buffer, size_t* length, int mode, size_t capacity);

// Three-key triple DES in CBC mode, zero IV, PKCS #5 padding, written over the
// buffer. encryptDesEcb: `capacity` is the room of the buffer; the result is
// the ciphertext length (length rounded up to the next multiple of 8, a whole
// block more when already a multiple), or -1. decryptDesCbc: the plaintext
// length, or -1 (also for a wrong key or damaged data).
int encryptDesEcb(unsigned char* buffer, size_t length, const unsigned char* key,
                  size_t capacity);
int decryptDesCbc(unsigned char* buffer, size_t length, const unsigned char* key);

// AES-256-CBC with the built-in key and a zero IV, no padding: `length` must
// be a whole number of 16-byte blocks. `output` has room for `length` bytes
// and may be `input`. 1 when done; -1 for a null pointer or a length that is
// not a multiple of 16 (nothing written).
int WAesEncrypt(const unsigned char* input, unsigned char* output, size_t length);
int WAesDecrypt(const unsigned char* input, unsigned char* output, size_t length);

// AES-256-CBC under the given 32-byte key, zero IV, no padding; the same
// rules as above. 1 when done, else -1.
int Aes256CbcZeroIv(const unsigned char* key, bool encrypt, const unsigned char* input,
                    unsigned char* output, size_t length);
