// Protected card number, pure parts: storage key from an enciphered
// certificate file, card-number enciphering, track 2 split, the secured line,
// and the BIN table (signed file, record walk, specificity and tie rules).
#include "core/protected_pan.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/param_file.h"
#include "support/bin_records.h"
#include "support/run_program.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::BinRecord;
using testsupport::EncipherForBuiltinKey;
using testsupport::ReadWholeFile;
using testsupport::TempDir;
using testsupport::TraceCapture;
using testsupport::WriteWholeFile;

// ---------------------------------------------------------------------------
// Track 2 split
// ---------------------------------------------------------------------------

TEST(SplitTrack2Equivalent, FieldsOfAValidTrack) {
    struct Case {
        const char* text;
        const char* pan;
        const char* expiry;
        const char* service;
        const char* rest;
    } cases[] = {
        {"1234567890123456D25122011234500000F", "1234567890123456", "2512", "201", "1234500000"},
        // "B" in front is skipped, the text may end without "F".
        {"B4970101010101018D2512101", "4970101010101018", "2512", "101", ""},
        // Twenty card-number characters are the most.
        {"12345678901234567890D2512", "12345678901234567890", "2512", "", ""},
        // Letters A-F belong to the card number, A-E to the fields after "D".
        {"49AC12EFD25AB10CDEF123", "49AC12EF", "25AB", "10C", "DE"},
        // "F" ends the split; what follows is not looked at.
        {"4970D2512101F9G", "4970", "2512", "101", ""},
    };
    for (const Case& c : cases) {
        CardTrackFields fields;
        std::memset(&fields, 'x', sizeof fields);
        ASSERT_EQ(SplitTrack2Equivalent(c.text, &fields), 1) << c.text;
        EXPECT_STREQ(fields.cardNumber, c.pan) << c.text;
        EXPECT_STREQ(fields.expiryDate, c.expiry) << c.text;
        EXPECT_STREQ(fields.serviceCode, c.service) << c.text;
        EXPECT_STREQ(fields.trackRest, c.rest) << c.text;
        EXPECT_EQ(fields.cardNumberLength, 0);
        EXPECT_EQ(fields.expiryDateLength, 0);
        EXPECT_EQ(fields.serviceCodeLength, 0);
    }
}

TEST(SplitTrack2Equivalent, RefusedTracksLeaveTheFieldsCleared) {
    const std::string longRest = "4970D2512101" + std::string(41, '1');
    const char* cases[] = {
        "123456789012345678901D2512",  // 21 characters before the separator
        "1234G67890123456D2512101",    // a character out of place in the card number
        "4970D2512G01",                // out of place after the separator
        "4970d2512101",                // lower case is not a separator
        "4970123456789012",            // no separator at all
        "4970123456789012F",           // no separator, padded
        "",                            // nothing
        longRest.c_str(),              // rest longer than its field
    };
    for (const char* text : cases) {
        CardTrackFields fields;
        std::memset(&fields, 'x', sizeof fields);
        EXPECT_EQ(SplitTrack2Equivalent(text, &fields), 0) << text;
        const CardTrackFields cleared{};
        EXPECT_EQ(std::memcmp(&fields, &cleared, sizeof fields), 0) << text;
    }
    EXPECT_EQ(SplitTrack2Equivalent(nullptr, nullptr), 0);
    CardTrackFields fields{};
    EXPECT_EQ(SplitTrack2Equivalent(nullptr, &fields), 0);
}

// ---------------------------------------------------------------------------
// Storage key
// ---------------------------------------------------------------------------

class StorageKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        ASSERT_TRUE(testsupport::MakeSelfSignedCertificate(dir_->str(), "rsa"));
        ASSERT_TRUE(testsupport::MakeSelfSignedCertificate(dir_->str(), "ec", "ec"));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void TearDown() override { ReleaseStorageKey(); }

    static std::string Path(const std::string& name) { return dir_->file(name); }
    // Writes the enciphered form of the text and gives its path.
    static std::string Enciphered(const std::string& name, const std::string& text) {
        const std::string block = EncipherForBuiltinKey(text);
        EXPECT_FALSE(block.empty());
        EXPECT_TRUE(WriteWholeFile(Path(name), block));
        return Path(name);
    }
    // The public key of a PEM file made by openssl.
    static EVP_PKEY* KeyOfPrivateFile(const std::string& path) {
        FILE* f = std::fopen(path.c_str(), "r");
        if (f == nullptr) return nullptr;
        EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        return key;
    }

    static TempDir* dir_;
};
TempDir* StorageKeyTest::dir_ = nullptr;

TEST_F(StorageKeyTest, LoadsThePublicKeyOfTheEncipheredCertificate) {
    const std::string path = Enciphered("storage.bin", ReadWholeFile(Path("rsa.crt")));
    TraceCapture trace;
    ASSERT_EQ(LoadStorageKeyFile(path.c_str()), 1);
    ASSERT_NE(StorageKey(), nullptr);
    EVP_PKEY* own = KeyOfPrivateFile(Path("rsa.key"));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(StorageKey(), own), 1);
    EVP_PKEY_free(own);
    EXPECT_FALSE(trace.Contains("[CERT]"));
}

// A deployment enciphers its storage certificate with the tool of its build.
TEST_F(StorageKeyTest, CertificateEncipheredByTheBuildsToolIsLoaded) {
    const std::string out = Path("by_tool.bin");
    ASSERT_EQ(testsupport::RunProgram({testsupport::BinPath("builtin_encipher"), Path("rsa.crt"), out}), 0);
    ASSERT_EQ(LoadStorageKeyFile(out.c_str()), 1);
    EVP_PKEY* own = KeyOfPrivateFile(Path("rsa.key"));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(EVP_PKEY_eq(StorageKey(), own), 1);
    EVP_PKEY_free(own);
    EXPECT_NE(testsupport::RunProgram({testsupport::BinPath("builtin_encipher"), Path("absent.crt"), out}), 0);
}

TEST_F(StorageKeyTest, EachFailureIsTracedAndLeavesNoKey) {
    const std::string cert = ReadWholeFile(Path("rsa.crt"));
    ASSERT_EQ(LoadStorageKeyFile(Enciphered("good.bin", cert).c_str()), 1);

    const std::string missing = Path("absent.bin");
    ASSERT_TRUE(WriteWholeFile(Path("plain.bin"), cert));
    ASSERT_TRUE(WriteWholeFile(Path("empty.bin"), ""));
    struct Case {
        std::string path;
        int result;
        std::string trace;
    } cases[] = {
        {missing, -1, "Error opening " + missing},
        // Not enciphered with the built-in key.
        {Path("plain.bin"), -2, "Error RSAKEY_Action"},
        {Path("empty.bin"), -2, "Error RSAKEY_Action"},
        // Deciphered, but no certificate in it.
        {Enciphered("text.bin", "no certificate here\n"), -5, "Error PEM_read_bio_X509"},
        {Enciphered("cut.bin", cert.substr(0, cert.size() / 2)), -5, "Error PEM_read_bio_X509"},
        // A certificate whose key is not RSA.
        {Enciphered("ec.bin", ReadWholeFile(Path("ec.crt"))), -7, "Error EVP_PKEY_get1_RSA"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        EXPECT_EQ(LoadStorageKeyFile(c.path.c_str()), c.result) << c.path;
        EXPECT_TRUE(trace.Contains(c.trace)) << c.path;
        EXPECT_TRUE(trace.Contains("[CERT]")) << c.path;
        EXPECT_TRUE(trace.Contains("-- ERROR --")) << c.path;
        EXPECT_EQ(StorageKey(), nullptr) << c.path;
    }
    EXPECT_EQ(LoadStorageKeyFile(nullptr), -1);
}

TEST_F(StorageKeyTest, FileOfExactlyTheLimitIsUsedAfterTheWarning) {
    // Size of one enciphered block, and so of the plain text it carries.
    const size_t block = EncipherForBuiltinKey("x").size();
    ASSERT_GT(block, 11u);
    // Only a key whose blocks divide the limit (the 2000-bit development
    // key: 250-byte blocks) can make a file of exactly 10000 bytes.
    if (kStorageCertMaxBytes % block != 0)
        GTEST_SKIP() << "the built-in key's " << block << "-byte blocks do not divide " << kStorageCertMaxBytes;
    const size_t plainSize = kStorageCertMaxBytes / block * (block - 11);
    const std::string cert = ReadWholeFile(Path("rsa.crt"));
    ASSERT_LT(cert.size(), plainSize);
    // PEM readers skip the text in front of the certificate.
    std::string plain;
    while (plain.size() + cert.size() < plainSize) {
        const size_t room = plainSize - cert.size() - plain.size();
        plain += room >= 65 ? std::string(64, '#') + "\n" : std::string(room - 1, '#') + "\n";
    }
    plain += cert;
    ASSERT_EQ(plain.size(), plainSize);
    const std::string path = Enciphered("limit.bin", plain);
    ASSERT_EQ(ReadWholeFile(path).size(), kStorageCertMaxBytes);

    TraceCapture trace;
    EXPECT_EQ(LoadStorageKeyFile(path.c_str()), 1);
    EXPECT_TRUE(trace.Contains("length max for server key"));
    EXPECT_TRUE(trace.Contains("<< WARN. >>"));
    EXPECT_NE(StorageKey(), nullptr);

    // One block more: only the first 10000 bytes are read, the certificate
    // behind them is lost.
    const std::string longer = Enciphered("over.bin", std::string(block - 12, '#') + "\n" + plain);
    ASSERT_GT(ReadWholeFile(longer).size(), kStorageCertMaxBytes);
    EXPECT_EQ(LoadStorageKeyFile(longer.c_str()), -5);
}

TEST_F(StorageKeyTest, CardNumberIsEncipheredForTheCertificateOwner) {
    unsigned char block[1024];
    EXPECT_EQ(EncipherCardNumber("4970101010101018", block, sizeof block), -1);  // no key
    ASSERT_EQ(LoadStorageKeyFile(Enciphered("s.bin", ReadWholeFile(Path("rsa.crt"))).c_str()), 1);
    EXPECT_EQ(EncipherCardNumber(nullptr, block, sizeof block), -2);
    EXPECT_EQ(EncipherCardNumber("4970101010101018", nullptr, sizeof block), -2);
    EXPECT_EQ(EncipherCardNumber("4970101010101018", block, 255), -3);  // under one block

    const int length = EncipherCardNumber("4970101010101018", block, sizeof block);
    ASSERT_EQ(length, 256);
    ASSERT_TRUE(WriteWholeFile(Path("pan.bin"), std::string(reinterpret_cast<char*>(block), 256)));
    ASSERT_EQ(testsupport::RunProgram({"openssl", "pkeyutl", "-decrypt", "-inkey", Path("rsa.key"),
                                       "-in", Path("pan.bin"), "-out", Path("pan.txt")}),
              0);
    EXPECT_EQ(ReadWholeFile(Path("pan.txt")), "TALVO4970101010101018");
}

// ---------------------------------------------------------------------------
// Secured line
// ---------------------------------------------------------------------------

TEST(BuildSecuredPanLine, HexSeparatorAndAnswerCutToTheLine) {
    const unsigned char block[] = {0x00, 0xab, 0x10, 0xff};
    char line[64];
    ASSERT_EQ(BuildSecuredPanLine(block, 4, "{RS}00%d{F}", line, sizeof line), 23);
    EXPECT_STREQ(line, "00ab10ff;;;;{RS}00%d{F}");

    // The answer is cut so that the whole line and its NUL fit.
    std::vector<char> big(kSecuredLineSize, 'Z');
    const std::string answer(20000, 'a');
    const int length = BuildSecuredPanLine(block, 4, answer.c_str(), big.data(), big.size());
    EXPECT_EQ(length, int(kSecuredLineSize) - 1);
    EXPECT_EQ(std::strlen(big.data()), kSecuredLineSize - 1);
    EXPECT_EQ(std::string(big.data(), 12), "00ab10ff;;;;");

    // No room for block and separator, or unusable arguments.
    EXPECT_EQ(BuildSecuredPanLine(block, 4, "x", line, 12), -1);
    EXPECT_EQ(BuildSecuredPanLine(block, 4, "", line, 13), 12);
    EXPECT_EQ(BuildSecuredPanLine(block, 0, "x", line, sizeof line), -1);
    EXPECT_EQ(BuildSecuredPanLine(nullptr, 4, "x", line, sizeof line), -1);
    EXPECT_EQ(BuildSecuredPanLine(block, 4, nullptr, line, sizeof line), -1);
}

// ---------------------------------------------------------------------------
// BIN table
// ---------------------------------------------------------------------------

struct Lookup {
    int result;
    BinMatch match;
};

Lookup Search(const std::string& records, const char* pan, const char* code = "CB",
              const char* label = "TALVO") {
    Lookup out{};
    out.result = SearchBinTable(records.data(), records.size(), pan, code, label, &out.match);
    return out;
}

TEST(SearchBinTable, MoreSpecificRecordWinsAndTiesGoToTheLater) {
    const std::string four = BinRecord("4970", "4979", "CB", "04");
    const std::string six = BinRecord("497010", "497019", "CB", "06");
    const std::string otherSix = BinRecord("497000", "497099", "CB", "07");
    struct Case {
        std::string table;
        const char* expected;
    } cases[] = {
        {four + six, "06"},
        {six + four, "06"},            // order does not matter between lengths
        {six + otherSix, "07"},        // equal specificity: the later
        {otherSix + six, "06"},
        {four + BinRecord("4970", "4971", "CB", "14"), "14"},
        // Specificity is the smaller bound length.
        {BinRecord("49701", "4971", "CB", "45") + BinRecord("4970", "4971", "CB", "44"), "44"},
    };
    for (const Case& c : cases) {
        const Lookup l = Search(c.table, "4970101010101018");
        ASSERT_EQ(l.result, 1) << c.table;
        EXPECT_STREQ(l.match.code, c.expected) << c.table;
    }
}

TEST(SearchBinTable, RangeAndSelectorRules) {
    const std::string table = BinRecord("497010", "497019", "cB", "06") + BinRecord("5", "5", "CB", "05");
    struct Case {
        const char* pan;
        const char* code;
        int result;
        const char* expected;
    } cases[] = {
        {"4970101010101018", "CB", 1, "06"},  // selector case ignored
        {"4970191010101018", "cb", 1, "06"},  // high bound compared on its length
        {"4970201010101018", "CB", 0, ""},    // above
        {"4970091010101018", "CB", 0, ""},    // below
        {"4970101010101018", "AM", 0, ""},    // other selector
        {"4970101010101018", "C", 0, ""},     // selector of one character
        {"49701", "CB", 0, ""},               // shorter than the low bound
        {"5132", "CB", 1, "05"},
    };
    for (const Case& c : cases) {
        const Lookup l = Search(table, c.pan, c.code);
        EXPECT_EQ(l.result, c.result) << c.pan << " " << c.code;
        if (l.result == 1) {
            EXPECT_STREQ(l.match.code, c.expected) << c.pan;
        }
    }
}

TEST(SearchBinTable, KindsOfRecords) {
    const char* pan = "4970101010101018";
    {
        const Lookup l = Search(BinRecord("4970", "4970", "CB", "01", "PAN  ", "512345"), pan);
        ASSERT_EQ(l.result, 1);
        EXPECT_EQ(l.match.kind, BinKind::Pan);
        EXPECT_STREQ(l.match.panDigits, "512345");
    }
    {
        const Lookup l = Search(BinRecord("4970", "4970", "CB", "02", "name ", "", "VISA ELECTRON"), pan);
        ASSERT_EQ(l.result, 1);
        EXPECT_EQ(l.match.kind, BinKind::Name);
        EXPECT_STREQ(l.match.name, "VISA ELECTRON");
    }
    {   // A name filling its whole field.
        const Lookup l = Search(BinRecord("4970", "4970", "CB", "02", "NAME ", "", "ABCDEFGHIJKLMNOPQRST"), pan);
        ASSERT_EQ(l.result, 1);
        EXPECT_STREQ(l.match.name, "ABCDEFGHIJKLMNOPQRST");
    }
    // The label of the network resource, spaces and case ignored on both sides.
    EXPECT_EQ(Search(BinRecord("4970", "4970", "CB", "03", "talvo"), pan, "CB", " TAL VO ").result, 1);
    EXPECT_EQ(Search(BinRecord("4970", "4970", "CB", "03", "     "), pan, "CB", nullptr).result, 1);
    // Another label or an unknown kind is passed over: the less specific
    // record of an accepted kind wins.
    const std::string fallback = BinRecord("49", "49", "CB", "09", "     ");
    for (const char* kind : {"PN40 ", "XYZ  ", "PAN 1"}) {
        const Lookup l = Search(fallback + BinRecord("497010", "497010", "CB", "03", kind), pan);
        ASSERT_EQ(l.result, 1) << kind;
        EXPECT_STREQ(l.match.code, "09") << kind;
        EXPECT_EQ(l.match.kind, BinKind::Plain) << kind;
    }
    // A passed-over record does not raise the bar either.
    EXPECT_EQ(Search(BinRecord("497010", "497010", "CB", "03", "XYZ  ") + fallback, pan).result, 1);
}

TEST(SearchBinTable, EmptyCardNumberChecksEachRecordOnItsOwnLowBound) {
    const std::string table = BinRecord("4970", "4979", "CB", "04") +
                              BinRecord("5100", "5000", "CB", "05") +  // low above high
                              BinRecord("3", "3", "AM", "03");
    Lookup l = Search(table, "");
    ASSERT_EQ(l.result, 1);
    EXPECT_STREQ(l.match.code, "04");
    l = Search(table, "", "AM");
    ASSERT_EQ(l.result, 1);
    EXPECT_STREQ(l.match.code, "03");
}

TEST(SearchBinTable, MalformedTablesGiveNoMatchWithoutReadingPastThem) {
    const std::string good = BinRecord("4970", "4979", "CB", "04");
    const std::string longGood = BinRecord("4970", "4979", "CB", "04", "     ");
    std::string noClose = good;
    noClose.replace(43, 1, " ");
    const std::string tooLong = "[" + std::string(80, '4') + "]\r\n";
    struct Case {
        const char* what;
        std::string table;
        int result;
    } cases[] = {
        {"empty", "", 0},
        {"not a record", "x" + good, 0},
        {"no closing bracket", noClose, 0},
        {"closing bracket past position 74", tooLong, 0},
        {"fields cut short", "[4970               4979     ]\r\n", 0},
        {"kind cut short", good.substr(0, 43) + "PAN]\r\n", 0},
        {"empty low bound", BinRecord("", "4979", "CB", "04"), 0},
        {"empty high bound", BinRecord("4970", "", "CB", "04"), 0},
        // An empty bound ends the lookup even after a matching record.
        {"empty bound after a match", good + BinRecord("", "4979", "CB", "04"), 0},
        // The walk stops at a record of another length or a cut one.
        {"cut last record", good + good.substr(0, 30), 1},
        {"record of another length", good + longGood, 1},
        {"padding behind the records", good + std::string(5, '\0'), 1},
        {"PAN kind without its digits", BinRecord("4970", "4979", "CB", "04").substr(0, 43) +
                                            "PAN  1]\r\n", 0},
    };
    for (const Case& c : cases) {
        // A copy sized to the table so that the sanitizer sees any overread.
        std::vector<char> exact(c.table.begin(), c.table.end());
        BinMatch match{};
        const int result = SearchBinTable(exact.data(), exact.size(), "4970101010101018", "CB",
                                          "TALVO", &match);
        EXPECT_EQ(result, c.result) << c.what;
    }
    BinMatch match{};
    EXPECT_EQ(SearchBinTable(nullptr, 10, "4970", "CB", "", &match), 0);
    EXPECT_EQ(SearchBinTable(good.data(), good.size(), nullptr, "CB", "", &match), 0);
    EXPECT_EQ(SearchBinTable(good.data(), good.size(), "4970", nullptr, "", &match), 0);
    EXPECT_EQ(SearchBinTable(good.data(), good.size(), "4970", "CB", "", nullptr), 0);
}

class BinTableFileTest : public ::testing::Test {
protected:
    // Writes the records as the BIN table, signed (and scrambled when asked).
    std::string Write(const std::string& records, bool sign, bool secure = false) {
        const std::string path = dir.file(kBinTableFileName);
        KTDK_FILE* file = FILE_NewFile(path.c_str());
        EXPECT_NE(file, nullptr);
        EXPECT_EQ(FILE_SetFileContent(file, int32_t(records.size()), records.data()), 1);
        if (sign) {
            EXPECT_EQ(FILE_PutRecordSignat(file), 1);
        }
        if (secure) {
            EXPECT_EQ(FILE_PutRecordSecure(file, 2), 1);
        }
        EXPECT_GT(FILE_OpenWriteClose(file), 0);
        FILE_FreeFile(file);
        return path;
    }
    TempDir dir;
    const std::string records = BinRecord("4970", "4979", "CB", "04") + BinRecord("5", "5", "CB", "05");
};

TEST_F(BinTableFileTest, SignedTablesAreRead) {
    for (bool secure : {false, true}) {
        const std::string path = Write(records, true, secure);
        std::string read;
        TraceCapture trace;
        ASSERT_EQ(ReadBinTable(path.c_str(), &read), 1) << secure;
        EXPECT_EQ(read, records) << secure;
        EXPECT_FALSE(trace.Contains("BINs file corrupted"));
    }
}

TEST_F(BinTableFileTest, UnsignedOrAlteredTablesAreRefused) {
    std::string read = "left over";
    EXPECT_EQ(ReadBinTable(dir.file("absent.wt").c_str(), &read), 0);
    EXPECT_TRUE(read.empty());

    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"no signature record", records},
        {"content changed after signing", ""},
        {"signature value changed", ""},
    };
    const std::string signedText = ReadWholeFile(Write(records, true));
    cases[1].bytes = signedText;
    cases[1].bytes[3] = '8';  // 4870 in place of 4970
    cases[2].bytes = signedText;
    cases[2].bytes[signedText.size() - 4] ^= 1;
    for (const Case& c : cases) {
        const std::string path = dir.file(kBinTableFileName);
        ASSERT_TRUE(WriteWholeFile(path, c.bytes));
        TraceCapture trace;
        EXPECT_EQ(ReadBinTable(path.c_str(), &read), -1) << c.what;
        EXPECT_TRUE(trace.Contains("BINs file corrupted")) << c.what;
        EXPECT_TRUE(trace.Contains("[MAK]")) << c.what;
    }
}

}  // namespace
