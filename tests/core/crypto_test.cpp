// RSA, triple DES and AES helpers checked against the openssl command-line
// tool (run without a shell on files in a temporary directory).
#include "core/crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/builtin_keys.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using Bytes = std::string;

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex(const Bytes& data) {
    std::string out;
    char b[3];
    for (unsigned char c : data) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

// Printable text without zero bytes (the no-padding mode reads its last
// block up to the first zero) and below the modulus in every block.
Bytes RandomText(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n, '\0');
    for (auto& c : out) c = static_cast<char>(0x21 + rng() % 0x5E);
    return out;
}

Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n, '\0');
    for (auto& c : out) c = static_cast<char>(rng());
    return out;
}

const unsigned char* U(const Bytes& b) { return reinterpret_cast<const unsigned char*>(b.data()); }

int Openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    return testsupport::RunProgram(args);
}

// Runs `openssl <args> -in <block> -out <result>` on each block of `data`
// and joins the results.
Bytes OpensslPerBlock(const testsupport::TempDir& dir, const std::vector<std::string>& args,
                      const Bytes& data, size_t blockSize) {
    Bytes joined;
    for (size_t off = 0; off < data.size(); off += blockSize) {
        std::string in = dir.file("block.in"), out = dir.file("block.out");
        WriteFile(in, data.substr(off, blockSize));
        std::vector<std::string> full = args;
        full.insert(full.end(), {"-in", in, "-out", out});
        if (Openssl(full) != 0) {
            ADD_FAILURE() << "openssl " << args[0] << " failed on block at " << off;
            return {};
        }
        joined += ReadFile(out);
    }
    return joined;
}

const char* PadName(int padding) {
    switch (padding) {
        case RSA_PADDING_PKCS1: return "rsa_padding_mode:pkcs1";
        case RSA_PADDING_OAEP: return "rsa_padding_mode:oaep";
        default: return "rsa_padding_mode:none";
    }
}

// Key pairs made by openssl for the whole suite.
class RsaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new testsupport::TempDir;
        for (int bits : {1024, 2048}) {
            std::string priv = Priv(bits), pub = Pub(bits);
            ASSERT_EQ(Openssl({"genrsa", "-out", priv, std::to_string(bits)}), 0);
            ASSERT_EQ(Openssl({"pkey", "-in", priv, "-pubout", "-out", pub}), 0);
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string Priv(int bits) { return dir_->file("priv" + std::to_string(bits) + ".pem"); }
    static std::string Pub(int bits) { return dir_->file("pub" + std::to_string(bits) + ".pem"); }
    static KeyPtr LoadKey(const std::string& path, bool isPrivate) {
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return nullptr;
        EVP_PKEY* k = isPrivate ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr)
                                : PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        return KeyPtr(k);
    }

    using RsaFn = int (*)(const unsigned char*, size_t, unsigned char*, size_t*, EVP_PKEY*, int);
    // Runs one of ours with a roomy output; result code and bytes.
    static int Run(RsaFn fn, const Bytes& in, EVP_PKEY* key, int padding, Bytes* out) {
        std::vector<unsigned char> buf(in.size() * 3 + 1024);
        size_t n = buf.size();
        int rc = fn(U(in), in.size(), buf.data(), &n, key, padding);
        out->assign(reinterpret_cast<char*>(buf.data()), rc == 1 ? n : 0);
        return rc;
    }

    static testsupport::TempDir* dir_;
};
testsupport::TempDir* RsaTest::dir_ = nullptr;

struct RsaCase {
    int bits;
    int padding;
    size_t length;
};
const RsaCase kRsaCases[] = {
    {1024, RSA_PADDING_PKCS1, 300}, {1024, RSA_PADDING_PKCS1, 1},  {2048, RSA_PADDING_PKCS1, 700},
    {1024, RSA_PADDING_OAEP, 300},  {2048, RSA_PADDING_OAEP, 214}, {1024, RSA_PADDING_NONE, 300},
    {2048, RSA_PADDING_NONE, 256},
};

size_t InputBlock(int bits, int padding) {
    size_t k = static_cast<size_t>(bits / 8);
    return padding == RSA_PADDING_PKCS1 ? k - 11 : padding == RSA_PADDING_OAEP ? k - 42 : k;
}

TEST_F(RsaTest, PublicEncryptionIsReadByOpenssl) {
    for (const auto& c : kRsaCases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, padding " << c.padding << ", "
                                        << c.length << " bytes");
        KeyPtr pub = LoadKey(Pub(c.bits), false);
        ASSERT_TRUE(pub);
        Bytes clear = RandomText(c.length, c.bits + c.padding), cipher;
        ASSERT_EQ(Run(RSA_Openssl_CryptPublicData, clear, pub.get(), c.padding, &cipher), 1);
        size_t k = c.bits / 8, block = InputBlock(c.bits, c.padding);
        size_t blocks = (c.length + block - 1) / block;
        ASSERT_EQ(cipher.size(), blocks * k);
        Bytes back = OpensslPerBlock(*dir_, {"pkeyutl", "-decrypt", "-inkey", Priv(c.bits),
                                             "-pkeyopt", PadName(c.padding)},
                                     cipher, k);
        Bytes expected = clear;
        if (c.padding == RSA_PADDING_NONE) expected.resize(blocks * k, '\0');
        EXPECT_EQ(back, expected);
    }
}

TEST_F(RsaTest, Pkcs1SplitsThreeHundredBytesIntoThreeBlocks) {
    KeyPtr pub = LoadKey(Pub(1024), false);
    Bytes clear = RandomBytes(300, 9), cipher;
    ASSERT_EQ(Run(RSA_Openssl_CryptPublicData, clear, pub.get(), RSA_PADDING_PKCS1, &cipher), 1);
    ASSERT_EQ(cipher.size(), 384u);
    size_t sizes[3];
    for (int i = 0; i < 3; ++i)
        sizes[i] = OpensslPerBlock(*dir_, {"pkeyutl", "-decrypt", "-inkey", Priv(1024)},
                                   cipher.substr(i * 128, 128), 128)
                       .size();
    EXPECT_EQ(sizes[0], 117u);
    EXPECT_EQ(sizes[1], 117u);
    EXPECT_EQ(sizes[2], 66u);
}

TEST_F(RsaTest, PrivateDecryptionReadsOpensslCiphertext) {
    for (const auto& c : kRsaCases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, padding " << c.padding);
        KeyPtr priv = LoadKey(Priv(c.bits), true);
        ASSERT_TRUE(priv);
        size_t k = c.bits / 8, block = InputBlock(c.bits, c.padding);
        Bytes clear = RandomText(c.length, c.bits * 3 + c.padding);
        Bytes toEncrypt = clear;
        if (c.padding == RSA_PADDING_NONE) toEncrypt.resize((c.length + k - 1) / k * k, '\0');
        Bytes cipher = OpensslPerBlock(*dir_, {"pkeyutl", "-encrypt", "-pubin", "-inkey", Pub(c.bits),
                                               "-pkeyopt", PadName(c.padding)},
                                       toEncrypt, block);
        Bytes back;
        ASSERT_EQ(Run(RSA_Openssl_DecryptPriveData, cipher, priv.get(), c.padding, &back), 1);
        EXPECT_EQ(back, clear);
    }
}

TEST_F(RsaTest, PrivateEncryptionAndPublicDecryptionMatchOpensslSignatures) {
    for (int padding : {RSA_PADDING_PKCS1, RSA_PADDING_NONE}) {
        SCOPED_TRACE(testing::Message() << "padding " << padding);
        KeyPtr priv = LoadKey(Priv(1024), true), pub = LoadKey(Pub(1024), false);
        size_t block = InputBlock(1024, padding);
        Bytes clear = RandomText(padding == RSA_PADDING_NONE ? 256 : 250, 77 + padding), cipher;
        ASSERT_EQ(Run(RSA_Openssl_CryptPriveData, clear, priv.get(), padding, &cipher), 1);
        Bytes recovered = OpensslPerBlock(
            *dir_, {"pkeyutl", "-verifyrecover", "-pubin", "-inkey", Pub(1024), "-pkeyopt", PadName(padding)},
            cipher, 128);
        EXPECT_EQ(recovered, clear);

        // And the other way: openssl's raw private-key encryption read back by
        // ours (pkeyutl -sign takes at most a digest's length, rsautl a block).
        Bytes signatures = OpensslPerBlock(
            *dir_, {"rsautl", "-sign", "-inkey", Priv(1024), padding == RSA_PADDING_NONE ? "-raw" : "-pkcs"},
            clear, block);
        Bytes back;
        ASSERT_EQ(Run(RSA_Openssl_DecryptPublicData, signatures, pub.get(), padding, &back), 1);
        EXPECT_EQ(back, clear);
    }
}

TEST_F(RsaTest, UnknownAndWithdrawnPaddingsAreRefused) {
    KeyPtr priv = LoadKey(Priv(1024), true);
    struct Fn {
        RsaFn fn;
        const char* name;
    } fns[] = {{RSA_Openssl_CryptPublicData, "RSA_Openssl_CryptPublicData"},
               {RSA_Openssl_CryptPriveData, "RSA_Openssl_CryptPriveData"},
               {RSA_Openssl_DecryptPublicData, "RSA_Openssl_DecryptPublicData"},
               {RSA_Openssl_DecryptPriveData, "RSA_Openssl_DecryptPriveData"}};
    Bytes in(128, 'x');
    for (const auto& f : fns) {
        for (int padding : {0, 2, 5, -1}) {
            SCOPED_TRACE(testing::Message() << f.name << " padding " << padding);
            testsupport::TraceCapture trace;
            unsigned char out[300];
            std::memset(out, 0xAA, sizeof out);
            size_t n = sizeof out;
            EXPECT_EQ(f.fn(U(in), in.size(), out, &n, priv.get(), padding), -2);
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(out[0], 0xAA);
            std::string text = "-- ERROR -- [" + std::string(f.name) + "] Padding " +
                               std::to_string(padding) +
                               (padding == 2 ? " not offered by OpenSSL 3" : " unknown");
            EXPECT_TRUE(trace.Contains(text)) << text;
        }
    }
}

TEST_F(RsaTest, BadKeysDamagedDataAndShortOutputGiveMinusTwo) {
    KeyPtr priv = LoadKey(Priv(1024), true), pub = LoadKey(Pub(1024), false);
    Bytes clear = RandomText(300, 5), cipher, out;
    ASSERT_EQ(Run(RSA_Openssl_CryptPublicData, clear, pub.get(), RSA_PADDING_PKCS1, &cipher), 1);

    // Output one byte short of the three blocks: refused, nothing past the room.
    std::vector<unsigned char> buf(400, 0xAA);
    size_t n = 383;
    EXPECT_EQ(RSA_Openssl_CryptPublicData(U(clear), clear.size(), buf.data(), &n, pub.get(),
                                          RSA_PADDING_PKCS1),
              -2);
    for (size_t i = 383; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xAA) << i;

    Bytes damaged = cipher;
    damaged[200] ^= 0x01;
    EXPECT_EQ(Run(RSA_Openssl_DecryptPriveData, damaged, priv.get(), RSA_PADDING_PKCS1, &out), -2);
    // A public key cannot decrypt what needs the private one.
    EXPECT_EQ(Run(RSA_Openssl_DecryptPriveData, cipher, pub.get(), RSA_PADDING_PKCS1, &out), -2);
    // OAEP is an encryption padding only; OpenSSL refuses it for private encryption.
    EXPECT_EQ(Run(RSA_Openssl_CryptPriveData, clear, priv.get(), RSA_PADDING_OAEP, &out), -2);
    EXPECT_EQ(Run(RSA_Openssl_CryptPublicData, clear, nullptr, RSA_PADDING_PKCS1, &out), -2);
    KeyPtr ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_TRUE(ec);
    EXPECT_EQ(Run(RSA_Openssl_CryptPublicData, clear, ec.get(), RSA_PADDING_PKCS1, &out), -2);
}

// ---- RSAKEY_Action with the built-in key pair ----

// Block size of the built-in key pair: the keys are the build's own, so the
// tests take their sizes from the key.
size_t BuiltinBlockBytes() {
    const std::string pem = BuiltinPublicKeyPem();
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    const size_t bytes = key != nullptr ? size_t(EVP_PKEY_get_size(key)) : 0;
    EVP_PKEY_free(key);
    return bytes;
}

class RsaKeyActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        pubPath_ = dir_.file("builtin_pub.pem");
        WriteFile(pubPath_, BuiltinPublicKeyPem());
        block_ = BuiltinBlockBytes();
        ASSERT_GE(block_, 128u);
        clearBlock_ = block_ - 11;  // PKCS #1 v1.5
    }
    static int Action(Bytes* data, int mode, size_t capacity) {
        std::vector<unsigned char> buf(std::max(capacity, data->size()) + 64, 0xAA);
        std::memcpy(buf.data(), data->data(), data->size());
        size_t n = data->size();
        int rc = RSAKEY_Action(buf.data(), &n, mode, capacity);
        for (size_t i = std::max(capacity, data->size()); i < buf.size(); ++i)
            if (buf[i] != 0xAA) ADD_FAILURE() << "written past the capacity at " << i;
        if (rc == 1) data->assign(reinterpret_cast<char*>(buf.data()), n);
        else if (n != data->size() || std::memcmp(buf.data(), data->data(), n) != 0)
            ADD_FAILURE() << "buffer or length changed by a failed call";
        return rc;
    }
    testsupport::TempDir dir_;
    std::string pubPath_;
    size_t block_ = 0;
    size_t clearBlock_ = 0;
};

TEST_F(RsaKeyActionTest, CertificateSizedFileFromOpensslIsDecryptedInModeZero) {
    // As many whole blocks as a 10000-byte certificate file holds.
    const size_t blocks = 10000 / block_;
    Bytes clear = RandomBytes(blocks * clearBlock_, 21);
    Bytes cipher =
        OpensslPerBlock(dir_, {"pkeyutl", "-encrypt", "-pubin", "-inkey", pubPath_}, clear, clearBlock_);
    ASSERT_EQ(cipher.size(), blocks * block_);
    Bytes data = cipher;
    ASSERT_EQ(Action(&data, RSAKEY_PRIVATE_DECRYPT, 10000), 1);
    EXPECT_EQ(data, clear);
}

TEST_F(RsaKeyActionTest, EncryptionModesRoundTripAndMatchOpenssl) {
    Bytes clear = RandomBytes(5000, 3);
    // Mode 3 then mode 0: whole blocks.
    Bytes data = clear;
    ASSERT_EQ(Action(&data, RSAKEY_PUBLIC_ENCRYPT, 8000), 1);
    EXPECT_EQ(data.size(), (5000 + clearBlock_ - 1) / clearBlock_ * block_);
    ASSERT_EQ(Action(&data, RSAKEY_PRIVATE_DECRYPT, data.size()), 1);
    EXPECT_EQ(data, clear);

    // Mode 1 is read by openssl with the built-in public key, and by mode 2.
    data = clear;
    ASSERT_EQ(Action(&data, RSAKEY_PRIVATE_ENCRYPT, 8000), 1);
    Bytes recovered = OpensslPerBlock(dir_, {"pkeyutl", "-verifyrecover", "-pubin", "-inkey", pubPath_},
                                      data, block_);
    EXPECT_EQ(recovered, clear);
    ASSERT_EQ(Action(&data, RSAKEY_PUBLIC_DECRYPT, data.size()), 1);
    EXPECT_EQ(data, clear);
}

TEST_F(RsaKeyActionTest, RefusalsLeaveTheBufferAlone) {
    struct Case {
        const char* what;
        Bytes data;
        int mode;
        size_t capacity;
        const char* trace;
    } cases[] = {
        {"mode 7", Bytes(100, 'a'), 7, 100, "-- ERROR -- [RSAKEY_Action] Unsupported mode"},
        {"mode -1", Bytes(100, 'a'), -1, 100, "-- ERROR -- [RSAKEY_Action] Unsupported mode"},
        // One byte more than a block makes two blocks, which do not fit
        // one byte less than two blocks.
        {"result too large", Bytes(clearBlock_ + 1, 'a'), RSAKEY_PUBLIC_ENCRYPT, 2 * block_ - 1,
         "larger than the buffer"},
        {"garbage in mode 0", RandomBytes(10000 / block_ * block_, 8), RSAKEY_PRIVATE_DECRYPT, 10000,
         "-- ERROR -- [RSAKEY_Action] Operation error (mode:0)"},
        {"garbage in mode 2", RandomBytes(2 * block_, 8), RSAKEY_PUBLIC_DECRYPT, 2 * block_,
         "-- ERROR -- [RSAKEY_Action] Operation error (mode:2)"},
        {"length above capacity", Bytes(100, 'a'), RSAKEY_PUBLIC_ENCRYPT, 50, "Bad buffer or length"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TraceCapture trace;
        Bytes data = c.data;
        EXPECT_EQ(Action(&data, c.mode, c.capacity), -1);
        EXPECT_TRUE(trace.Contains(c.trace));
    }
    size_t n = 10;
    EXPECT_EQ(RSAKEY_Action(nullptr, &n, RSAKEY_PUBLIC_ENCRYPT, 10), -1);
}

TEST(BuiltinKeys, NoKeyTextInTheProgramImage) {
    // The program's tables must not hold the PEM text in clear.
    Bytes image = ReadFile("/proc/self/exe");
    ASSERT_GT(image.size(), 0u);
    std::string marker = std::string("-----") + "BEGIN";
    EXPECT_EQ(image.find(marker), Bytes::npos);
    std::string pem = BuiltinPublicKeyPem();
    ASSERT_EQ(pem.rfind(marker, 0), 0u);
    std::string body = pem.substr(pem.find('\n') + 1, 64);
    ASSERT_EQ(body.size(), 64u);
    EXPECT_EQ(image.find(body), Bytes::npos);
    unsigned char key[BUILTIN_AES_KEY_SIZE];
    BuiltinRebuildAesKey(key);
    EXPECT_EQ(image.find(Bytes(reinterpret_cast<char*>(key), sizeof key)), Bytes::npos);
}

// The keys of the program are those of the key directory the build was
// configured with (a deployment's own, or the generated development set).
TEST(BuiltinKeys, AreTheKeysOfTheBuildsKeyDirectory) {
    const std::string dir = ZNP_KEY_DIR_USED;
    testsupport::TempDir work;
    const std::string pub = work.file("pub.pem");
    ASSERT_EQ(Openssl({"pkey", "-in", dir + "/builtin_rsa.pem", "-pubout", "-out", pub}), 0);
    EXPECT_EQ(BuiltinPublicKeyPem(), ReadFile(pub));
    // The private key deciphers what openssl enciphers with the public key.
    const Bytes clear = "clef de la construction";
    WriteFile(work.file("clear.bin"), clear);
    ASSERT_EQ(Openssl({"pkeyutl", "-encrypt", "-pubin", "-inkey", pub, "-in", work.file("clear.bin"), "-out",
                       work.file("cipher.bin")}),
              0);
    Bytes data = ReadFile(work.file("cipher.bin"));
    std::vector<unsigned char> buffer(data.begin(), data.end());
    size_t length = buffer.size();
    ASSERT_EQ(RSAKEY_Action(buffer.data(), &length, RSAKEY_PRIVATE_DECRYPT, buffer.size()), 1);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(buffer.data()), length), clear);

    for (const auto& [file, rebuild] :
         {std::pair<const char*, void (*)(unsigned char*)>{"builtin_aes.hex", BuiltinRebuildAesKey},
          {"stored_value_aes.hex", BuiltinRebuildStoredValueKey}}) {
        std::string hex = ReadFile(dir + "/" + file);
        hex.erase(hex.find_last_not_of(" \r\n") + 1);
        unsigned char key[BUILTIN_AES_KEY_SIZE];
        rebuild(key);
        EXPECT_EQ(Hex(Bytes(reinterpret_cast<char*>(key), sizeof key)), hex) << file;
    }
}

// ---- Triple DES ----

const unsigned char kDesKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                   0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10,
                                   0x13, 0x57, 0x9b, 0xdf, 0x02, 0x46, 0x8a, 0xce};

TEST(TripleDes, MatchesOpensslEncAndRoundTrips) {
    testsupport::TempDir dir;
    std::string keyHex = Hex(Bytes(reinterpret_cast<const char*>(kDesKey), 24));
    for (size_t n : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 100u}) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        Bytes clear = RandomBytes(n, static_cast<unsigned>(n) + 1);
        std::vector<unsigned char> buf(n + 8);
        std::memcpy(buf.data(), clear.data(), n);
        int len = encryptDesEcb(buf.data(), n, kDesKey, buf.size());
        ASSERT_EQ(len, static_cast<int>((n / 8 + 1) * 8));

        WriteFile(dir.file("clear"), clear);
        ASSERT_EQ(Openssl({"enc", "-des-ede3-cbc", "-K", keyHex, "-iv", "0000000000000000", "-in",
                           dir.file("clear"), "-out", dir.file("cipher")}),
                  0);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(buf.data()), len), ReadFile(dir.file("cipher")));

        EXPECT_EQ(decryptDesCbc(buf.data(), len, kDesKey), static_cast<int>(n));
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(buf.data()), n), clear);
    }
}

TEST(TripleDes, FailuresAreReportedAndLeaveTheBuffer) {
    testsupport::TraceCapture trace;
    unsigned char buf[32];
    for (int i = 0; i < 32; ++i) buf[i] = static_cast<unsigned char>(i);
    unsigned char before[32];
    std::memcpy(before, buf, sizeof buf);
    // 16 bytes need 24 once padded.
    EXPECT_EQ(encryptDesEcb(buf, 16, kDesKey, 16), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- encryptDesEcb buffer too small"));
    EXPECT_EQ(std::memcmp(buf, before, sizeof buf), 0);

    ASSERT_EQ(encryptDesEcb(buf, 16, kDesKey, sizeof buf), 24);
    std::memcpy(before, buf, sizeof buf);
    unsigned char wrongKey[24];
    std::memcpy(wrongKey, kDesKey, 24);
    wrongKey[23] ^= 0x40;
    EXPECT_EQ(decryptDesCbc(buf, 24, wrongKey), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- decryptDesCbc EVP_DecryptFinal failed"));
    EXPECT_EQ(std::memcmp(buf, before, sizeof buf), 0);
    // A length that is not whole blocks, and no data at all.
    EXPECT_EQ(decryptDesCbc(buf, 20, kDesKey), -1);
    EXPECT_EQ(decryptDesCbc(buf, 0, kDesKey), -1);
    EXPECT_EQ(encryptDesEcb(nullptr, 8, kDesKey, 16), -1);
}

// ---- AES-256 with the built-in key ----

TEST(Aes, MatchesOpensslEncWithTheBuiltinKey) {
    testsupport::TempDir dir;
    unsigned char key[BUILTIN_AES_KEY_SIZE];
    BuiltinRebuildAesKey(key);
    std::string keyHex = Hex(Bytes(reinterpret_cast<char*>(key), sizeof key));
    for (size_t n : {16u, 48u, 10240u}) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        Bytes clear = RandomBytes(n, static_cast<unsigned>(n));
        std::vector<unsigned char> cipher(n), back(n);
        ASSERT_EQ(WAesEncrypt(U(clear), cipher.data(), n), 1);
        WriteFile(dir.file("clear"), clear);
        ASSERT_EQ(Openssl({"enc", "-aes-256-cbc", "-nopad", "-K", keyHex, "-iv", std::string(32, '0'),
                           "-in", dir.file("clear"), "-out", dir.file("cipher")}),
                  0);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(cipher.data()), n), ReadFile(dir.file("cipher")));
        ASSERT_EQ(WAesDecrypt(cipher.data(), back.data(), n), 1);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(back.data()), n), clear);
        // In place gives the same.
        ASSERT_EQ(WAesEncrypt(back.data(), back.data(), n), 1);
        EXPECT_EQ(back, cipher);
    }
}

TEST(Aes, LengthsOutsideWholeBlocksAreRefused) {
    for (size_t n : {1u, 15u, 17u, 10241u}) {
        SCOPED_TRACE(testing::Message() << n << " bytes");
        Bytes in(n, 'p');
        std::vector<unsigned char> out(n + 32, 0x5A);
        testsupport::TraceCapture trace;
        EXPECT_EQ(WAesEncrypt(U(in), out.data(), n), -1);
        EXPECT_EQ(WAesDecrypt(U(in), out.data(), n), -1);
        for (unsigned char c : out) ASSERT_EQ(c, 0x5A);
        EXPECT_TRUE(trace.Contains("is not a whole number of 16-byte blocks"));
    }
    unsigned char out[16];
    EXPECT_EQ(WAesEncrypt(nullptr, out, 16), -1);
}

}  // namespace
