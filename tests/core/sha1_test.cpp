#include "core/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

std::string Hex(const uint8_t* data, size_t n) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", data[i]);
        out += b;
    }
    return out;
}

std::string DigestHex(const std::string& data) {
    uint8_t digest[SHA1_DIGEST_SIZE];
    size_t outLength = 0;
    EXPECT_EQ(Sha1_Compute(data.data(), data.size(), digest, &outLength), 0);
    EXPECT_EQ(outLength, SHA1_DIGEST_SIZE);
    return Hex(digest, sizeof digest);
}

// Incremental digest, fed in pieces whose sizes cycle through `pieces`.
std::string DigestInPieces(const std::string& data, const std::vector<size_t>& pieces) {
    Sha1Context context;
    Sha1_Init(&context);
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); ++i) {
        size_t n = std::min(pieces[i % pieces.size()], data.size() - offset);
        Sha1_Update(&context, data.data() + offset, n);
        offset += n;
    }
    uint8_t digest[SHA1_DIGEST_SIZE];
    Sha1_Final(digest, &context);
    return Hex(digest, sizeof digest);
}

TEST(Sha1, PublishedVectors) {
    struct Case {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DigestHex(c.input), c.digest) << "length " << c.input.size();
        // Same digest whatever the piece sizes (block-boundary handling).
        EXPECT_EQ(DigestInPieces(c.input, {1, 63, 64, 65, 7}), c.digest);
        EXPECT_EQ(DigestInPieces(c.input, {55, 56, 57}), c.digest);
    }
}

TEST(Sha1, MatchesOpensslOnRandomInputs) {
    testsupport::TempDir dir;
    std::mt19937 rng(12345);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1000u, 4095u, 4096u, 65537u, 1048583u}) lengths.push_back(n);

    std::vector<std::string> args = {"openssl", "dgst", "-sha1", "-r"};
    std::vector<std::string> expected;  // our digests, in file order
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string data(lengths[i], '\0');
        for (auto& ch : data) ch = static_cast<char>(rng());
        std::string path = dir.file("in" + std::to_string(i));
        std::ofstream(path, std::ios::binary).write(data.data(), data.size());
        args.push_back(path);
        expected.push_back(DigestHex(data));
    }
    std::string outPath = dir.file("digests");
    ASSERT_EQ(testsupport::RunProgram(args, {}, outPath), 0);

    std::ifstream out(outPath);
    std::string line;
    size_t i = 0;
    while (std::getline(out, line)) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(line.substr(0, 40), expected[i]) << "length " << lengths[i];
        ++i;
    }
    EXPECT_EQ(i, expected.size());
}

TEST(Sha1, FinalWipesContextAndComputeRejectsNull) {
    Sha1Context context;
    Sha1_Init(&context);
    Sha1_Update(&context, "secret", 6);
    uint8_t digest[SHA1_DIGEST_SIZE];
    Sha1_Final(digest, &context);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&context);
    for (size_t i = 0; i < sizeof context; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

    EXPECT_EQ(Sha1_Compute(nullptr, 5, digest, nullptr), -1);
    EXPECT_EQ(Sha1_Compute("abc", 3, nullptr, nullptr), -1);
    EXPECT_EQ(Sha1_Compute(nullptr, 0, digest, nullptr), 0);
    EXPECT_EQ(Hex(digest, sizeof digest), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
