// RSA, triple DES and AES helpers over OpenSSL 3's EVP interfaces.
#include "core/crypto.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "core/builtin_keys.h"
#include "core/trace.h"

namespace {

enum class RsaOp { PublicEncrypt, PrivateEncrypt, PublicDecrypt, PrivateDecrypt };

const char* RsaOpName(RsaOp op) {
    switch (op) {
        case RsaOp::PublicEncrypt: return "RSA_Openssl_CryptPublicData";
        case RsaOp::PrivateEncrypt: return "RSA_Openssl_CryptPriveData";
        case RsaOp::PublicDecrypt: return "RSA_Openssl_DecryptPublicData";
        case RsaOp::PrivateDecrypt: return "RSA_Openssl_DecryptPriveData";
    }
    return "RSA";
}

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Work buffer that is wiped before it is released (it holds clear data).
class SecretBuffer {
public:
    explicit SecretBuffer(size_t size) : data_(size) {}
    ~SecretBuffer() {
        if (!data_.empty()) OPENSSL_cleanse(data_.data(), data_.size());
    }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    unsigned char* data() { return data_.data(); }
    size_t size() const { return data_.size(); }

private:
    std::vector<unsigned char> data_;
};

// Padding check shared by the four block-wise operations. OpenSSL 3 dropped
// the SSLv23 padding: it is refused, never emulated.
bool PaddingAccepted(RsaOp op, int padding) {
    if (padding < RSA_PADDING_PKCS1 || padding > RSA_PADDING_OAEP) {
        WSysError("-- ERROR -- [%s] Padding %d unknown", RsaOpName(op), padding);
        return false;
    }
    if (padding == RSA_PADDING_SSLV23) {
        WSysError("-- ERROR -- [%s] Padding %d not offered by OpenSSL 3", RsaOpName(op), padding);
        return false;
    }
    return true;
}

// Context for one operation over every block of a call.
PkeyCtxPtr MakeRsaContext(RsaOp op, EVP_PKEY* key, int padding) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx) return nullptr;
    int ok = 0;
    switch (op) {
        case RsaOp::PublicEncrypt: ok = EVP_PKEY_encrypt_init(ctx.get()); break;
        case RsaOp::PrivateDecrypt: ok = EVP_PKEY_decrypt_init(ctx.get()); break;
        // Raw private-key encryption is a signature without digest.
        case RsaOp::PrivateEncrypt: ok = EVP_PKEY_sign_init(ctx.get()); break;
        case RsaOp::PublicDecrypt: ok = EVP_PKEY_verify_recover_init(ctx.get()); break;
    }
    if (ok <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) <= 0) return nullptr;
    return ctx;
}

bool RsaBlock(RsaOp op, EVP_PKEY_CTX* ctx, const unsigned char* in, size_t inLength,
              unsigned char* out, size_t* outLength) {
    switch (op) {
        case RsaOp::PublicEncrypt: return EVP_PKEY_encrypt(ctx, out, outLength, in, inLength) > 0;
        case RsaOp::PrivateDecrypt: return EVP_PKEY_decrypt(ctx, out, outLength, in, inLength) > 0;
        case RsaOp::PrivateEncrypt: return EVP_PKEY_sign(ctx, out, outLength, in, inLength) > 0;
        case RsaOp::PublicDecrypt:
            return EVP_PKEY_verify_recover(ctx, out, outLength, in, inLength) > 0;
    }
    return false;
}

int RsaBlockwise(RsaOp op, const unsigned char* input, size_t inputLength, unsigned char* output,
                 size_t* outLength, EVP_PKEY* key, int padding) {
    const size_t capacity = outLength ? *outLength : 0;
    if (outLength) *outLength = 0;
    if (!PaddingAccepted(op, padding)) return -2;
    if (!outLength || (!input && inputLength) || (!output && capacity) || !key ||
        EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        WSysError("-- ERROR -- [%s] Bad argument or not an RSA key", RsaOpName(op));
        return -2;
    }
    const int keySize = EVP_PKEY_get_size(key);
    if (keySize <= 42) return -2;
    const size_t modulus = static_cast<size_t>(keySize);
    PkeyCtxPtr ctx = MakeRsaContext(op, key, padding);
    if (!ctx) {
        OpenSSLHelper_logErrorStack();
        return -2;
    }

    const bool encrypting = op == RsaOp::PublicEncrypt || op == RsaOp::PrivateEncrypt;
    // Largest input block: OAEP with SHA-1 takes 2 x 20 + 2 bytes of overhead.
    size_t block = modulus;
    if (encrypting && padding == RSA_PADDING_PKCS1) block = modulus - 11;
    if (encrypting && padding == RSA_PADDING_OAEP) block = modulus - 42;

    SecretBuffer piece(modulus);  // last piece extended with zeros (no padding)
    SecretBuffer result(modulus);
    size_t written = 0;
    size_t offset = 0;
    for (;;) {
        size_t remaining = inputLength - offset;
        bool last = encrypting ? remaining <= block : remaining <= modulus;
        if (!encrypting && remaining == 0) break;
        size_t take = last ? remaining : block;
        const unsigned char* in = input + offset;
        size_t inLength = take;
        if (encrypting && last && padding == RSA_PADDING_NONE) {
            std::memset(piece.data(), 0, modulus);
            if (take) std::memcpy(piece.data(), in, take);
            in = piece.data();
            inLength = modulus;
        }
        size_t produced = modulus;
        if (!RsaBlock(op, ctx.get(), in, inLength, result.data(), &produced)) {
            OpenSSLHelper_logErrorStack();
            return -2;
        }
        // Without padding the last clear block counts up to its first zero.
        if (!encrypting && last && padding == RSA_PADDING_NONE)
            produced = strnlen(reinterpret_cast<const char*>(result.data()), produced);
        if (produced > capacity - written) {
            WSysError("-- ERROR -- [%s] Output buffer too small", RsaOpName(op));
            return -2;
        }
        if (produced) std::memcpy(output + written, result.data(), produced);
        written += produced;
        offset += take;
        *outLength = written;
        if (last) break;
    }
    return 1;
}

PkeyPtr LoadBuiltinKey(bool privateKey) {
    SecretBuffer work(BUILTIN_KEY_TEXT_SIZE);
    char* text = reinterpret_cast<char*>(work.data());
    size_t length = privateKey ? BuiltinRebuildPrivateKey(text) : BuiltinRebuildPublicKey(text);
    BIO* bio = BIO_new_mem_buf(text, static_cast<int>(length));
    if (!bio) {
        WSysError(privateKey ? "-- ERROR -- [RSAKEY_Action] Failed to create BIO private key from buffer"
                             : "-- ERROR -- [RSAKEY_Action] Failed to create BIO public key from buffer");
        return nullptr;
    }
    PkeyPtr key(privateKey ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr)
                           : PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        WSysError(privateKey
                      ? "-- ERROR -- [RSAKEY_Action] Failed to read the private key (PEM_read_bio_RSAPrivateKey)"
                      : "-- ERROR -- [RSAKEY_Action] Failed to read the public key (PEM_read_bio_RSA_PUBKEY)");
        OpenSSLHelper_logErrorStack();
        return nullptr;
    }
    return key;
}

// Largest input RSAKEY_Action takes; far above any key or certificate file.
constexpr size_t kRsaKeyActionMaxInput = 1 << 20;

// Triple DES, three keys, CBC, zero IV, PKCS #5 padding on.
CipherCtxPtr MakeDesContext(const unsigned char* key, bool encrypt) {
    static const unsigned char kZeroIv[8] = {};
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key, kZeroIv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 1) != 1)
        return nullptr;
    return ctx;
}

}  // namespace

int RSA_Openssl_CryptPublicData(const unsigned char* input, size_t inputLength,
                                unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                int padding) {
    return RsaBlockwise(RsaOp::PublicEncrypt, input, inputLength, output, outLength, key, padding);
}

int RSA_Openssl_CryptPriveData(const unsigned char* input, size_t inputLength,
                               unsigned char* output, size_t* outLength, EVP_PKEY* key,
                               int padding) {
    return RsaBlockwise(RsaOp::PrivateEncrypt, input, inputLength, output, outLength, key, padding);
}

int RSA_Openssl_DecryptPublicData(const unsigned char* input, size_t inputLength,
                                  unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                  int padding) {
    return RsaBlockwise(RsaOp::PublicDecrypt, input, inputLength, output, outLength, key, padding);
}

int RSA_Openssl_DecryptPriveData(const unsigned char* input, size_t inputLength,
                                 unsigned char* output, size_t* outLength, EVP_PKEY* key,
                                 int padding) {
    return RsaBlockwise(RsaOp::PrivateDecrypt, input, inputLength, output, outLength, key, padding);
}

int RSAKEY_Action(unsigned char* buffer, size_t* length, int mode, size_t capacity) {
    if (mode < RSAKEY_PRIVATE_DECRYPT || mode > RSAKEY_PUBLIC_ENCRYPT) {
        WSysError("-- ERROR -- [RSAKEY_Action] Unsupported mode");
        return -1;
    }
    if (!buffer || !length || *length > capacity || *length > kRsaKeyActionMaxInput) {
        WSysError("-- ERROR -- [RSAKEY_Action] Bad buffer or length");
        return -1;
    }
    const bool privateKey = mode == RSAKEY_PRIVATE_DECRYPT || mode == RSAKEY_PRIVATE_ENCRYPT;
    PkeyPtr key = LoadBuiltinKey(privateKey);
    if (!key) return -1;

    // Work area sized from the input: one modulus-sized output per block.
    const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key.get()));
    const bool encrypting = mode == RSAKEY_PRIVATE_ENCRYPT || mode == RSAKEY_PUBLIC_ENCRYPT;
    const size_t block = encrypting ? modulus - 11 : modulus;
    const size_t blocks = *length / block + 1;
    SecretBuffer work(blocks * modulus);

    size_t produced = work.size();
    int rc = -2;
    switch (mode) {
        case RSAKEY_PRIVATE_DECRYPT:
            rc = RSA_Openssl_DecryptPriveData(buffer, *length, work.data(), &produced, key.get(),
                                              RSA_PADDING_PKCS1);
            break;
        case RSAKEY_PRIVATE_ENCRYPT:
            rc = RSA_Openssl_CryptPriveData(buffer, *length, work.data(), &produced, key.get(),
                                            RSA_PADDING_PKCS1);
            break;
        case RSAKEY_PUBLIC_DECRYPT:
            rc = RSA_Openssl_DecryptPublicData(buffer, *length, work.data(), &produced, key.get(),
                                               RSA_PADDING_PKCS1);
            break;
        default:
            rc = RSA_Openssl_CryptPublicData(buffer, *length, work.data(), &produced, key.get(),
                                             RSA_PADDING_PKCS1);
            break;
    }
    key.reset();
    if (rc != 1 || produced == 0) {
        WSysError("-- ERROR -- [RSAKEY_Action] Operation error (mode:%u)", static_cast<unsigned>(mode));
        return -1;
    }
    if (produced > capacity) {
        WSysError("-- ERROR -- [RSAKEY_Action] Result of %zu bytes larger than the buffer (%zu)",
                  produced, capacity);
        return -1;
    }
    std::memcpy(buffer, work.data(), produced);
    *length = produced;
    return 1;
}

int encryptDesEcb(unsigned char* buffer, size_t length, const unsigned char* key, size_t capacity) {
    if (!buffer || !key || length > INT_MAX - 16) {
        WSysError("-- ERROR -- encryptDesEcb bad argument");
        return -1;
    }
    CipherCtxPtr ctx = MakeDesContext(key, true);
    if (!ctx) {
        WSysError("-- ERROR -- encryptDesEcb EVP_EncryptInit failed");
        return -1;
    }
    SecretBuffer out(length + 8);
    int first = 0, final = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &first, buffer, static_cast<int>(length)) != 1) {
        WSysError("-- ERROR -- encryptDesEcb EVP_EncryptUpdate failed");
        return -1;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + first, &final) != 1) {
        WSysError("-- ERROR -- encryptDesEcb EVP_EncryptFinal failed");
        return -1;
    }
    size_t total = static_cast<size_t>(first) + static_cast<size_t>(final);
    if (total > capacity) {
        WSysError("-- ERROR -- encryptDesEcb buffer too small");
        return -1;
    }
    std::memcpy(buffer, out.data(), total);
    return static_cast<int>(total);
}

int decryptDesCbc(unsigned char* buffer, size_t length, const unsigned char* key) {
    if (!buffer || !key || length > INT_MAX - 16) {
        WSysError("-- ERROR -- decryptDesCbc bad argument");
        return -1;
    }
    CipherCtxPtr ctx = MakeDesContext(key, false);
    if (!ctx) {
        WSysError("-- ERROR -- decryptDesCbc EVP_DecryptInit failed");
        return -1;
    }
    SecretBuffer out(length + 8);
    int produced = 0;
    if (EVP_DecryptUpdate(ctx.get(), out.data(), &produced, buffer, static_cast<int>(length)) != 1) {
        WSysError("-- ERROR -- decryptDesCbc EVP_DecryptUpdate failed");
        return -1;
    }
    size_t total = static_cast<size_t>(produced);
    int final = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out.data() + total, &final) != 1) {
        WSysError("-- ERROR -- decryptDesCbc EVP_DecryptFinal failed");
        return -1;
    }
    total += static_cast<size_t>(final);
    if (total > length) {
        WSysError("-- ERROR -- decryptDesCbc buffer too small");
        return -1;
    }
    std::memcpy(buffer, out.data(), total);
    return static_cast<int>(total);
}

int Aes256CbcZeroIv(const unsigned char* key, bool encrypt, const unsigned char* input,
                    unsigned char* output, size_t length) {
    if (!key || !input || !output || length % 16 != 0 || length > INT_MAX - 16) return -1;
    if (length == 0) return 1;
    static const unsigned char kZeroIv[16] = {};
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int produced = 0, final = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, kZeroIv, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
              EVP_CipherUpdate(ctx.get(), output, &produced, input, static_cast<int>(length)) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), output + produced, &final) == 1 &&
              static_cast<size_t>(produced + final) == length;
    if (!ok) {
        OpenSSLHelper_logErrorStack();
        return -1;
    }
    return 1;
}

namespace {

int AesCbc(const char* name, bool encrypt, const unsigned char* input, unsigned char* output,
           size_t length) {
    if (!input || !output || length % 16 != 0 || length > INT_MAX - 16) {
        WSysError("-- ERROR -- [%s] Length %zu is not a whole number of 16-byte blocks", name, length);
        return -1;
    }
    unsigned char key[BUILTIN_AES_KEY_SIZE];
    BuiltinRebuildAesKey(key);
    int r = Aes256CbcZeroIv(key, encrypt, input, output, length);
    OPENSSL_cleanse(key, sizeof key);
    if (r != 1) WSysError("-- ERROR -- [%s] Cipher failed", name);
    return r;
}

}  // namespace

int WAesEncrypt(const unsigned char* input, unsigned char* output, size_t length) {
    return AesCbc("WAesEncrypt", true, input, output, length);
}

int WAesDecrypt(const unsigned char* input, unsigned char* output, size_t length) {
    return AesCbc("WAesDecrypt", false, input, output, length);
}
