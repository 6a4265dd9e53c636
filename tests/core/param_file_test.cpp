// Parameter files: content editing, searches, parameter lines, signature and
// secure records, atomic rewrite (also under SIGKILL), bad input.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/fork_child.h"
#include "core/param_file.h"
#include "core/text_manager.h"
#include "platform/clock.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TempDir;
using testsupport::TraceCapture;

// Checksum written from the format's description, independently of the
// library: X starts at 0xFF and is XORed with (byte + index) mod 256; S sums
// byte, index mod 256 and (index div 256) mod 256, mod 256; text "%02x%02x".
std::string ReferenceSignature(const std::string& data) {
    unsigned x = 0xFF, s = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(data[i]);
        x = x ^ ((d + i) % 256);
        s = (s + d + (i % 256) + ((i / 256) % 256)) % 256;
    }
    char text[8];
    snprintf(text, sizeof text, "%02x%02x", x, s);
    return text;
}

std::string Signed(const std::string& body) {
    return body + "{(C)Talvo_Technologies__File_System:" + ReferenceSignature(body) + "}\r\n";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Content(const KTDK_FILE* file) {
    return file->content ? std::string(file->content, size_t(file->length)) : std::string();
}

// A file object holding the given bytes.
struct Fixture {
    explicit Fixture(const std::string& bytes, const char* path = "/nonexistent/p.txt")
        : file(FILE_NewFile(path)) {
        FILE_SetFileContent(file, int32_t(bytes.size()), bytes.data());
    }
    ~Fixture() { FILE_FreeFile(file); }
    KTDK_FILE* file;
};

TEST(ParamFileSignature, MatchesTheDescriptionOnSeveralFiles) {
    std::mt19937 random(7);
    std::vector<std::string> files = {"", "abc", "[A:1]\r\n[B:22]\r\n", std::string(1, '\0')};
    for (size_t size : {255u, 256u, 257u, 4096u, 70000u}) {
        std::string data(size, ' ');
        for (char& c : data) c = char(random() & 0xFF);
        files.push_back(data);
    }
    for (const std::string& data : files) {
        Fixture f(data);
        const char* signature = FILE_GetSignat(f.file, -1);
        ASSERT_NE(signature, nullptr);
        EXPECT_EQ(signature, ReferenceSignature(data)) << "size " << data.size();
        if (data.size() > 10) {
            EXPECT_STREQ(FILE_GetSignat(f.file, 10), ReferenceSignature(data.substr(0, 10)).c_str());
        }
    }
    EXPECT_EQ(ReferenceSignature("abc"), "9829");
    EXPECT_EQ(ReferenceSignature(""), "ff00");
    // The unpadded form stands behind the padded one.
    Fixture small("\x0f\xf0", "p");
    const char* padded = FILE_GetSignat(small.file, -1);
    const std::string expected = ReferenceSignature("\x0f\xf0");
    ASSERT_STREQ(padded, expected.c_str());
    char unpadded[8];
    snprintf(unpadded, sizeof unpadded, "%x%x", unsigned(std::stoul(expected.substr(0, 2), nullptr, 16)),
             unsigned(std::stoul(expected.substr(2), nullptr, 16)));
    EXPECT_STREQ(padded + strlen(padded) + 1, unpadded);
}

TEST(ParamFileSignature, PutThenGetRoundTripsAndMatchesTheReference) {
    for (const std::string body : {"", "abc", "[Key:Value]\r\n[Other:x:y]]\r\n"}) {
        Fixture f(body);
        char out[8] = {};
        ASSERT_EQ(FILE_PutRecordSignat2(f.file, out, sizeof out), 1);
        EXPECT_EQ(Content(f.file), Signed(body));
        EXPECT_EQ(out, ReferenceSignature(body));
        char checked[8] = {};
        EXPECT_EQ(FILE_GetRecordSignat2(f.file, checked, sizeof checked), 1);
        EXPECT_EQ(Content(f.file), body);
        EXPECT_EQ(checked, ReferenceSignature(body));
    }
}

TEST(ParamFileSignature, CheckResultsForEachKindOfRecord) {
    const std::string start = "{(C)Talvo_Technologies__File_System:";
    const std::string body = "[A:1]\r\n";
    const std::string sig = ReferenceSignature(body);
    // Unpadded form of the same two values.
    char unpadded[8];
    snprintf(unpadded, sizeof unpadded, "%x%x", unsigned(std::stoul(sig.substr(0, 2), nullptr, 16)),
             unsigned(std::stoul(sig.substr(2), nullptr, 16)));
    struct Case {
        std::string name, content;
        int result;
        std::string after;  // content afterwards
        std::string trace;
    };
    const std::vector<Case> cases = {
        {"valid", Signed(body), 1, body, ""},
        {"unpadded", body + start + unpadded + "}\r\n", 1, body, ""},
        {"wrong checksum", body + start + "0000}\r\n", 2, body, ""},
        {"no record", body, 0, body, ""},
        {"missing CR LF", body + start + sig + "}", -2, body + start + sig + "}",
         "maybe a missing end of line?"},
        {"LF only", body + start + sig + "}\n", -2, body + start + sig + "}\n",
         "maybe a missing end of line?"},
        {"over-long stored text", body + start + std::string(200, 'f') + "}\r\n", 2, body, ""},
        {"truncated record", body + start + sig.substr(0, 2), -2, body + start + sig.substr(0, 2),
         "maybe a missing end of line?"},
        {"empty", "", 0, "", "File content is empty"},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        Fixture f(c.content);
        EXPECT_EQ(FILE_GetRecordSignat(f.file), c.result) << c.name;
        EXPECT_EQ(Content(f.file), c.after) << c.name;
        if (!c.trace.empty()) {
            EXPECT_TRUE(capture.Contains(c.trace)) << c.name;
        }
    }
}

TEST(ParamFileRead, MissingFileReadsAsTenZeroBytesAndTakesOneLine) {
    TempDir dir;
    KTDK_FILE* file = FILE_NewFile(dir.file("missing.txt").c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(Content(file), std::string(10, '\0'));
    EXPECT_EQ(FILE_GetStringParam(file, "A"), nullptr);
    EXPECT_EQ(FILE_ReplaceStringParam(file, "Key", "Value"), 13);
    EXPECT_EQ(Content(file), "[Key:Value]\r\n");
    FILE_FreeFile(file);
}

TEST(ParamFileRead, ReadsEveryByteAndReusesTheBlockOfTheSameSize) {
    TempDir dir;
    const std::string path = dir.file("p.txt");
    std::string data = "[A:1]\r\n";
    data += std::string("\0\xff\x80", 3);
    WriteAll(path, data);
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    EXPECT_EQ(FILE_OpenReadClose(file), int(data.size()));
    EXPECT_EQ(Content(file), data);
    EXPECT_EQ(file->content[file->length], '\0');
    WriteAll(path, "[A:2]\r\n" + std::string(3, 'x'));
    EXPECT_EQ(FILE_OpenReadClose(file), int(data.size()));
    EXPECT_STREQ(FILE_GetStringParam(file, "A"), "2");
    FILE_FreeFile(file);
}

TEST(ParamFileRead, DirectoryAndUnreadableFileAreErrorsNotMissingFiles) {
    TempDir dir;
    TraceCapture capture;
    KTDK_FILE* file = FILE_NewFile(dir.str().c_str());
    EXPECT_EQ(FILE_OpenReadClose(file), -1);
    FILE_FreeFile(file);
    if (geteuid() != 0) {
        const std::string path = dir.file("secret.txt");
        WriteAll(path, "[A:1]\r\n");
        chmod(path.c_str(), 0);
        file = FILE_NewFile(path.c_str());
        EXPECT_EQ(FILE_OpenReadClose(file), -1);
        FILE_FreeFile(file);
    }
}

TEST(ParamFileParams, KeysAreMatchedExactlyAndTheFirstLineWins) {
    Fixture f("[ABC:long]\r\n[AB:short]\r\n[AB:second]\r\n[N:42x]\r\n[Empty:]\r\n[T:a:b]c]\r\n"
              "[Last:end]");
    EXPECT_STREQ(FILE_GetStringParam(f.file, "AB"), "short");
    EXPECT_STREQ(FILE_GetStringParam(f.file, "ABC"), "long");
    EXPECT_STREQ(FILE_GetStringParam(f.file, "T"), "a:b]c");
    EXPECT_STREQ(FILE_GetStringParam(f.file, "Empty"), "");
    EXPECT_STREQ(FILE_GetStringParam(f.file, "Last"), "end]");
    EXPECT_EQ(FILE_GetStringParam(f.file, "ab"), nullptr);
    EXPECT_EQ(FILE_GetStringParam(f.file, nullptr), nullptr);
    EXPECT_EQ(FILE_GetIntParam(f.file, "N"), 42);
    EXPECT_EQ(FILE_GetIntParam(f.file, "ABC"), 0);
    EXPECT_EQ(FILE_GetIntParam(f.file, "Missing"), -1);

    // Every line of a key in file order, then nothing.
    f.file->cursor = 0;
    std::vector<std::string> values;
    while (const char* v = FILE_GetNextStringParam(f.file, "AB")) values.push_back(v);
    EXPECT_EQ(values, (std::vector<std::string>{"short", "second"}));
}

TEST(ParamFileParams, ReplaceKeepsThePlaceRemovesAndAdds) {
    Fixture f("[A:1]\r\n[B:2]\r\n[C:3]\r\n");
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "B", "twenty"), 26);
    EXPECT_EQ(Content(f.file), "[A:1]\r\n[B:twenty]\r\n[C:3]\r\n");
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "A", ""), 19);
    EXPECT_EQ(Content(f.file), "[B:twenty]\r\n[C:3]\r\n");
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "Absent", ""), 19);
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "D", "4"), 26);
    EXPECT_EQ(Content(f.file), "[B:twenty]\r\n[C:3]\r\n[D:4]\r\n");

    // A last line without CR LF is replaced, not shadowed by a second line.
    Fixture last("[A:1]\r\n[B:2]");
    EXPECT_GT(FILE_ReplaceStringParam(last.file, "B", "3"), 0);
    EXPECT_EQ(Content(last.file), "[A:1]\r\n[B:3]\r\n");
    EXPECT_STREQ(FILE_GetStringParam(last.file, "B"), "3");
}

TEST(ParamFileParams, ReplaceTakesArgumentsFromTheResultAreaAndTheContent) {
    Fixture f("[Source:a rather long value that must survive]\r\n[Target:x]\r\n");
    // The value is the result area itself.
    const char* value = FILE_GetStringParam(f.file, "Source");
    ASSERT_EQ(value, FILE_ResultArea());
    ASSERT_GT(FILE_ReplaceStringParam(f.file, "Target", value), 0);
    EXPECT_STREQ(FILE_GetStringParam(f.file, "Target"), "a rather long value that must survive");
    // Key and value both in the result area (the key is the first 6 bytes).
    strcpy(FILE_ResultArea(), "Target");
    ASSERT_GT(FILE_ReplaceStringParam(f.file, FILE_ResultArea(), FILE_ResultArea()), 0);
    EXPECT_STREQ(FILE_GetStringParam(f.file, "Target"), "Target");
    // The value points into the content, whose block is replaced on the way.
    Fixture g("[Source:x]\r\n[Target:abc");
    const char* inside = g.file->content + Content(g.file).find("abc");
    ASSERT_GT(FILE_ReplaceStringParam(g.file, "Source", inside), 0);
    EXPECT_EQ(Content(g.file), "[Source:abc]\r\n[Target:abc");
}

TEST(ParamFileParams, OverLongKeysValuesAndBadArgumentsAreRefused) {
    TraceCapture capture;
    Fixture f("[A:1]\r\n");
    const std::string key79(79, 'k');
    const std::string key78(78, 'k');
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, key79.c_str(), "v"), -2);
    EXPECT_EQ(FILE_GetStringParam(f.file, key79.c_str()), nullptr);
    EXPECT_TRUE(capture.Contains("Key too long"));
    EXPECT_GT(FILE_ReplaceStringParam(f.file, key78.c_str(), "v"), 0);
    EXPECT_STREQ(FILE_GetStringParam(f.file, key78.c_str()), "v");
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "A", "x]\r\ny"), -2);
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "A", std::string(8190, 'v').c_str()), -2);
    EXPECT_EQ(FILE_ReplaceStringParam(f.file, "A", nullptr), -2);
    EXPECT_STREQ(FILE_GetStringParam(f.file, "A"), "1");
    // The longest value that can still be read back.
    const std::string longest(8191 - 6, 'v');
    EXPECT_GT(FILE_ReplaceStringParam(f.file, "A", longest.c_str()), 0);
    EXPECT_EQ(FILE_GetStringParam(f.file, "A"), longest);
}

TEST(ParamFileSearch, SeparatorsAndTheResultAreaBound) {
    Fixture f("<m>one</m> <m>two</m> <m>three");
    EXPECT_EQ(FILE_SetSemantique(f.file, std::string(81, 's').c_str(), "e"), -2);
    EXPECT_EQ(FILE_SetSemantique(f.file, "s", std::string(81, 'e').c_str()), -2);
    ASSERT_EQ(FILE_SetSemantique(f.file, "<m>", "</m>"), 1);
    EXPECT_STREQ(FILE_GetMessage(f.file), "one");
    EXPECT_STREQ(FILE_GetNextMessage(f.file), "two");
    EXPECT_STREQ(FILE_GetNextMessage(f.file), "three");
    EXPECT_EQ(FILE_GetNextMessage(f.file), nullptr);
    EXPECT_STREQ(FILE_GetMessage(f.file), "one");
    int32_t start = 0, stop = 0;
    EXPECT_EQ(FILE_GetLocaliseMessage(f.file, &start, &stop), f.file->content);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(stop, 9);

    TraceCapture capture;
    Fixture big("<m>" + std::string(8192, 'x') + "</m><m>" + std::string(8191, 'y') + "</m>");
    FILE_SetSemantique(big.file, "<m>", "</m>");
    EXPECT_EQ(FILE_GetMessage(big.file), nullptr);
    EXPECT_TRUE(capture.Contains("Temporary buffer too small"));
    EXPECT_EQ(big.file->cursor, 3);
    big.file->cursor = 8195;
    const char* y = FILE_GetNextMessage(big.file);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(strlen(y), 8191u);
}

TEST(ParamFileContent, EditingOperationsAndTheirBounds) {
    TraceCapture capture;
    Fixture f("0123456789ab");
    EXPECT_NE(FILE_InsertInFileContent(f.file, "XY", 2, 2), nullptr);
    EXPECT_EQ(Content(f.file), "01XY23456789ab");
    EXPECT_EQ(FILE_InsertInFileContent(f.file, "Z", 15, 1), nullptr);
    EXPECT_NE(FILE_RemoveFromFileContent(f.file, 2, 3), nullptr);
    EXPECT_EQ(Content(f.file), "0123456789ab");
    EXPECT_EQ(FILE_RemoveFromFileContent(f.file, 3, 3), nullptr);
    EXPECT_EQ(FILE_RemoveFromFileContent(f.file, 0, 12), nullptr);
    EXPECT_TRUE(capture.Contains("Inconsistent position"));
    EXPECT_EQ(FILE_PutBloc(f.file, "zz", 2, 14), 1);
    EXPECT_EQ(Content(f.file), std::string("0123456789ab\0\0zz", 16));
    EXPECT_STREQ(FILE_GetBloc(f.file, 14), "zz");
    EXPECT_EQ(FILE_GetBloc(f.file, 16), nullptr);
    EXPECT_NE(FILE_MoveFileContent(f.file, 4, 2, 16), nullptr);
    EXPECT_EQ(Content(f.file), "2345");
    EXPECT_EQ(FILE_Rewind(f.file, 1), 1);
    EXPECT_EQ(f.file->length, 0);
    EXPECT_EQ(FILE_SetFileContent(f.file, -1, nullptr), -1);
    EXPECT_EQ(FILE_NewFile(std::string(501, 'p').c_str()), nullptr);
}

TEST(ParamFileContent, NullObjectsAreReportedNeverTouched) {
    TraceCapture capture;
    EXPECT_EQ(FILE_OpenReadClose(nullptr), -1);
    EXPECT_EQ(FILE_OpenWriteClose(nullptr), -1);
    EXPECT_EQ(FILE_GetStringParam(nullptr, "A"), nullptr);
    EXPECT_EQ(FILE_ReplaceStringParam(nullptr, "A", "1"), -1);
    EXPECT_EQ(FILE_GetRecordSignat(nullptr), -1);
    EXPECT_EQ(FILE_PutRecordSignat(nullptr), -1);
    EXPECT_EQ(FILE_GetRecordSecure(nullptr), -1);
    EXPECT_EQ(FILE_PutRecordSecure(nullptr, 2), -1);
    EXPECT_EQ(FILE_GetSignat(nullptr, -1), nullptr);
    EXPECT_EQ(FILE_FreeFile(nullptr), 1);
    EXPECT_TRUE(capture.Contains("-- ERROR -- FILE_GetRecordSignat2(): Null pointer error"));
    EXPECT_TRUE(capture.Contains("-- ERROR -- FILE_ReplaceStringParam(): Null pointer error"));
    KTDK_FILE* empty = FILE_NewFile("p");
    EXPECT_EQ(FILE_GetRecordSignat(empty), -1);
    EXPECT_EQ(FILE_PutRecordSignat(empty), -1);
    EXPECT_EQ(FILE_GetRecordSecure(empty), -1);
    EXPECT_EQ(FILE_ReplaceStringParam(empty, "A", "1"), -2);
    EXPECT_EQ(FILE_GetMessage(empty), nullptr);
    FILE_FreeFile(empty);
}

TEST(ParamFileScramble, KeysTableAndScrambling) {
    const auto& table = ScrambleKeyTable();
    ASSERT_EQ(table.size(), 6u);
    std::set<ScrambleKey> distinct(table.begin(), table.end());
    EXPECT_EQ(distinct.size(), 6u);
    for (const ScrambleKey& key : table) EXPECT_NE(key, ScrambleKey{});

    const std::string original = "[Password:secret]\r\nmore text";
    for (int k = 1; k <= 6; ++k) {
        std::string data = original;
        EXPECT_EQ(FILE_ScrambleBuffer(data.data(), int32_t(data.size()), k, 3), 1);
        EXPECT_NE(data, original);
        // Byte i is XORed with key byte (offset + i) mod 6.
        for (size_t i = 0; i < data.size(); ++i)
            EXPECT_EQ(uint8_t(data[i] ^ original[i]), table[size_t(k - 1)][(3 + i) % 6]);
        EXPECT_EQ(FILE_ScrambleBuffer(data.data(), int32_t(data.size()), k, 3), 1);
        EXPECT_EQ(data, original);
    }
    for (int k : {0, 7, -1}) {
        std::string data = original;
        EXPECT_EQ(FILE_ScrambleBuffer(data.data(), int32_t(data.size()), k, 0), 0);
        EXPECT_EQ(data, original);
    }
    EXPECT_EQ(FILE_ScrambleBuffer(nullptr, 4, 1, 0), -1);
}

// Files made once with the six scramble keys and the signature, kept as test
// data: the keys and the checksum must stay those of the files already in
// the field.
TEST(ParamFileScramble, FixedVectorsOfTheSixKeysAndTheSignature) {
    const std::string data = std::string(ZNP_SOURCE_DIR) + "/tests/data/param_files/";
    const std::string body =
        "# Fichier de reference\r\n[Key:Value]\r\n[Montant:12,50 EUR]\r\n[Texte:carte inseree]\r\n";
    KTDK_FILE* signedFile = FILE_NewFile((data + "signed.wt").c_str());
    ASSERT_EQ(FILE_OpenReadClose(signedFile), int(body.size() + 43));
    EXPECT_EQ(Content(signedFile), body + "{(C)Talvo_Technologies__File_System:5dba}\r\n");
    EXPECT_EQ(FILE_GetRecordSignat(signedFile), 1);
    EXPECT_EQ(Content(signedFile), body);
    EXPECT_STREQ(FILE_GetSignat(signedFile, -1), "5dba");
    FILE_FreeFile(signedFile);
    for (int k = 1; k <= 6; ++k) {
        KTDK_FILE* file = FILE_NewFile((data + "scrambled_" + std::to_string(k) + ".wt").c_str());
        ASSERT_GT(FILE_OpenReadClose(file), 0) << k;
        EXPECT_EQ(Content(file).find("Value"), std::string::npos) << k;
        EXPECT_EQ(FILE_GetRecordSecure(file), 1) << k;
        EXPECT_EQ(FILE_GetRecordSignat(file), 1) << k;
        EXPECT_EQ(Content(file), body) << k;
        FILE_FreeFile(file);
    }
}

TEST(ParamFileScramble, KeyIndexByHour) {
    const int expected[24] = {1, 1, 2, 3, 4, 5, 1, 1, 2, 3, 4, 5,
                              1, 1, 2, 3, 4, 5, 1, 1, 2, 3, 4, 5};
    for (int hour = 0; hour < 24; ++hour)
        EXPECT_EQ(FILE_GetSecureKeyIndexForHour(hour), expected[hour]) << hour;
    const int now = FILE_GetSecureKeyIndex();
    EXPECT_TRUE(now >= 1 && now <= 5);
}

TEST(ParamFileSecure, RoundTripThroughSignatureAndSecureRecords) {
    const std::string body = "[Key:Value]\r\n[Other:x]\r\n";
    Fixture f(body);
    ASSERT_EQ(FILE_PutRecordSecure(f.file, 1), 0);
    ASSERT_EQ(Content(f.file), body);
    ASSERT_EQ(FILE_PutRecordSignat(f.file), 1);
    ASSERT_EQ(FILE_PutRecordSecure(f.file, 2), 1);
    const std::string stored = Content(f.file);
    EXPECT_EQ(stored.find("Value"), std::string::npos);
    const size_t record = stored.rfind("\r\n{(C)Talvo_Technologies__Secure_System:0");
    ASSERT_NE(record, std::string::npos);
    EXPECT_EQ(stored.size() - record, 2 + 1 + 36 + 1 + 2 + 3);
    EXPECT_EQ(FILE_GetRecordSecure(f.file), 1);
    EXPECT_EQ(FILE_GetRecordSignat(f.file), 1);
    EXPECT_EQ(Content(f.file), body);
    // Without a secure record the content is left as it is.
    EXPECT_EQ(FILE_GetRecordSecure(f.file), 0);
    EXPECT_EQ(Content(f.file), body);
}

TEST(ParamFileSecure, ZeroBytesInScrambledContentDoNotHideTheRecord) {
    // The first content byte equals the first key byte: it scrambles to 0.
    const int k = 2;
    std::string body(1, char(ScrambleKeyTable()[k - 1][0]));
    body += "[A:1]\r\n";
    Fixture signedBody(body);
    FILE_PutRecordSignat(signedBody.file);
    std::string scrambled = Content(signedBody.file);
    FILE_ScrambleBuffer(scrambled.data(), int32_t(scrambled.size()), k, 0);
    ASSERT_EQ(scrambled[0], '\0');
    Fixture f(scrambled + "\r\n{(C)Talvo_Technologies__Secure_System:02}\r\n");
    EXPECT_EQ(FILE_GetRecordSecure(f.file), 1);
    EXPECT_EQ(FILE_GetRecordSignat(f.file), 1);
    EXPECT_EQ(Content(f.file), body);
}

TEST(ParamFileSecure, UnknownKeyNumbersAreErrorsAndLeaveTheContent) {
    for (const char* number : {"07", "99", "x1", "", "123", "0x"}) {
        TraceCapture capture;
        const std::string content =
            std::string("\x91\x22scrambled") + "\r\n{(C)Talvo_Technologies__Secure_System:" +
            number + "}\r\n";
        Fixture f(content);
        EXPECT_EQ(FILE_GetRecordSecure(f.file), -2) << number;
        EXPECT_EQ(Content(f.file), content) << number;
        EXPECT_TRUE(capture.Contains("-- ERROR -- FILE_GetRecordSecure(): Unknown key number"));
    }
    Fixture noEnd("abc\r\n{(C)Talvo_Technologies__Secure_System:01}");
    EXPECT_EQ(FILE_GetRecordSecure(noEnd.file), -2);
}

// A secure record whose key number is 0 says the file is not scrambled: the
// record stays, the content is read as it is, and a text file of that form
// loads its entries.
TEST(ParamFileSecure, KeyNumberZeroMeansNotScrambled_Mended) {
    for (const char* number : {"00", "0", "000"}) {
        const std::string content = std::string("[A:1]\r\n{(C)Talvo_Technologies__File_System:0000}\r\n") +
                                    "\r\n{(C)Talvo_Technologies__Secure_System:" + number + "}\r\n";
        Fixture f(content);
        TraceCapture capture;
        EXPECT_EQ(FILE_GetRecordSecure(f.file), 0) << number;
        EXPECT_EQ(Content(f.file), content) << number;
        EXPECT_FALSE(capture.Contains("-- ERROR --")) << number;
    }
    TempDir dir;
    std::string body = "[TITLE:Bonjour]\r\n[OTHER:x]\r\n";
    Fixture signedBody(body);
    ASSERT_EQ(FILE_PutRecordSignat(signedBody.file), 1);
    WriteAll(dir.file("posm_00.wt"),
             Content(signedBody.file) + "\r\n{(C)Talvo_Technologies__Secure_System:00}\r\n");
    TEXT_MANAGER* texts = TEXT_NewTEXTManager();
    ASSERT_NE(texts, nullptr);
    TEXT_SetDirectory(texts, dir.str().c_str());
    ASSERT_EQ(TEXT_OpenFile(texts, "posm"), 1);
    EXPECT_EQ(texts->status, 0);
    EXPECT_STREQ(TEXT_GetItemText(texts, "TITLE"), "Bonjour");
    EXPECT_STREQ(TEXT_GetItemText(texts, "OTHER"), "x");
    TEXT_FreeTEXTManager(texts);
}

TEST(ParamFileWrite, WritesAtomicallyWithModeAndNoTemporaryLeft) {
    TempDir dir;
    const std::string path = dir.file("out.txt");
    Fixture created(Signed("[A:1]\r\n"), path.c_str());
    EXPECT_EQ(FILE_OpenWriteClose(created.file), created.file->length);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // a new file is private
    WriteAll(path, "old");
    Fixture f(Signed("[A:2]\r\n"), path.c_str());
    EXPECT_EQ(FILE_OpenWriteClose(f.file), f.file->length);
    EXPECT_EQ(ReadAll(path), Content(f.file));
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

// The rewrite keeps what an administrator set up: a symbolic link stays a
// link and its target is rewritten, in the target's directory; the file
// keeps its mode.
TEST(ParamFileWrite, RewriteKeepsLinksAndModes_Mended) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("conf"));
    const struct {
        const char* what;
        std::string target;  // the real file
        std::string link;    // the name the program is given ("" : none)
        std::string linkText;
        mode_t mode;
    } cases[] = {
        {"plain file keeps 0644", dir.file("plain.txt"), "", "", 0644},
        {"plain file keeps 0640", dir.file("group.txt"), "", "", 0640},
        {"relative link", dir.file("real.txt"), dir.file("link.txt"), "real.txt", 0644},
        {"link to another directory", dir.file("conf/real.txt"), dir.file("elsewhere.txt"),
         dir.file("conf/real.txt"), 0604},
        {"link to a link", dir.file("conf/last.txt"), dir.file("first.txt"), "second.txt", 0640},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteAll(c.target, "old");
        chmod(c.target.c_str(), c.mode);
        std::string given = c.target;
        if (!c.link.empty()) {
            if (c.linkText == "second.txt") {
                ASSERT_EQ(symlink(c.target.c_str(), dir.file("second.txt").c_str()), 0);
            }
            ASSERT_EQ(symlink(c.linkText.c_str(), c.link.c_str()), 0);
            given = c.link;
        }
        Fixture f(Signed("[New:value]\r\n"), given.c_str());
        ASSERT_EQ(FILE_OpenWriteClose(f.file), f.file->length);
        EXPECT_EQ(ReadAll(c.target), Content(f.file));
        struct stat st {};
        ASSERT_EQ(stat(c.target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        if (!c.link.empty()) {
            ASSERT_EQ(lstat(c.link.c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        }
    }
    // No temporary file is left anywhere.
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

// Writes the file as an unprivileged user (root ignores directory
// permissions). Returns 0 when the write went through at once.
int CheckInPlaceRewrite(const std::string& path, const std::string& content) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t before = clock.nowMs();
    Fixture f(content, path.c_str());
    if (FILE_OpenWriteClose(f.file) != int(content.size())) return 1;
    if (clock.nowMs() != before) return 2;  // no retries
    return ReadAll(path) == content ? 0 : 3;
}

// A writable file in a directory the program cannot write is rewritten in
// place (with fsync) instead of failing after twenty attempts.
TEST(ParamFileWrite, ReadOnlyDirectoryRewritesAWritableFileInPlace_Mended) {
    TempDir dir;
    const std::string locked = dir.file("locked");
    std::filesystem::create_directory(locked);
    const std::string path = locked + "/cfg.txt";
    WriteAll(path, std::string(5000, 'o'));  // longer than the new content
    chmod(path.c_str(), 0666);
    chmod(locked.c_str(), 0555);
    chmod(dir.str().c_str(), 0755);
    const std::string content = Signed("[In:place]\r\n");
    if (geteuid() != 0) {
        EXPECT_EQ(CheckInPlaceRewrite(path, content), 0);
    } else {
        testsupport::ForkedChild child([&](testsupport::Channel&) {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
            return CheckInPlaceRewrite(path, content);
        });
        EXPECT_EQ(child.wait(), 0);
    }
    EXPECT_EQ(ReadAll(path), content);
    chmod(locked.c_str(), 0700);
}

// Temporary files that killed writers left behind are removed at the next
// write of that file; one that a live writer still holds, and those of other
// files, stay.
TEST(ParamFileWrite, StaleTemporariesAreRemovedAtTheNextWrite_Mended) {
    TempDir dir;
    const std::string path = dir.file("cfg.txt");
    WriteAll(path, "old");
    const std::string stale = dir.file(".cfg.txt.AbC123"), live = dir.file(".cfg.txt.LiVe12"),
                      other = dir.file(".other.txt.XyZ987");
    for (const std::string& name : {stale, live, other}) WriteAll(name, "partial");
    const int held = open(live.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    Fixture f(Signed("[A:1]\r\n"), path.c_str());
    ASSERT_EQ(FILE_OpenWriteClose(f.file), f.file->length);
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(other));
    close(held);
    ASSERT_EQ(FILE_OpenWriteClose(f.file), f.file->length);
    EXPECT_FALSE(std::filesystem::exists(live));
}

TEST(ParamFileWrite, MissingDirectoryStopsAtOnce) {
    TempDir dir;
    TraceCapture capture;
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t before = clock.nowMs();
    Fixture f("x", dir.file("no/such/dir/out.txt").c_str());
    EXPECT_EQ(FILE_OpenWriteClose(f.file), -1);
    EXPECT_EQ(clock.nowMs(), before);
    EXPECT_TRUE(capture.Contains("System message : No such file or directory"));
    EXPECT_TRUE(capture.Contains("-- ERROR -- FILE_OpenWriteClose(): Failed to open file:"));
}

// Counts the attempts of a write refused with "permission denied": 20
// attempts, 500 ms apart on the test clock. Returns 0 when all holds.
int CheckPermissionRetries(const std::string& target) {
    TraceCapture capture;
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t before = clock.nowMs();
    Fixture f("x", target.c_str());
    if (FILE_OpenWriteClose(f.file) != -1) return 1;
    if (clock.nowMs() - before != 19 * 500) return 2;
    int warnings = 0;
    for (const auto& l : capture.lines())
        if (l.find("<< WARN. >> FILE_OpenWriteClose(): Failed for file") != std::string::npos &&
            l.find("Permission denied") != std::string::npos)
            ++warnings;
    return warnings == 20 ? 0 : 3;
}

TEST(ParamFileWrite, PermissionDeniedIsRetriedTwentyTimes) {
    TempDir dir;
    const std::string locked = dir.file("locked");
    std::filesystem::create_directory(locked);
    chmod(locked.c_str(), 0500);
    chmod(dir.str().c_str(), 0755);
    const std::string target = locked + "/out.txt";
    if (geteuid() != 0) {
        EXPECT_EQ(CheckPermissionRetries(target), 0);
    } else {
        // Root ignores directory permissions: an unprivileged child writes.
        testsupport::ForkedChild child([&](testsupport::Channel&) {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
            return CheckPermissionRetries(target);
        });
        EXPECT_EQ(child.wait(), 0);
    }
    chmod(locked.c_str(), 0700);
}

// A child rewrites the file in a loop with two signed contents of different
// sizes; killed at random moments, it must leave one of them whole.
TEST(ParamFileWrite, KilledWriterLeavesTheOldOrTheNewFile) {
    TempDir dir;
    const std::string path = dir.file("cfg.txt");
    std::string a, b;
    for (int i = 0; i < 3000; ++i) a += "[KeyA" + std::to_string(i) + ":value]\r\n";
    for (int i = 0; i < 1000; ++i) b += "[KeyB" + std::to_string(i) + ":other value]\r\n";
    a = Signed(a);
    b = Signed(b);
    WriteAll(path, a);
    std::mt19937 random(12345);
    int rounds = 0, killedMidWrite = 0;
    std::set<std::string> seen;
    for (; rounds < 150; ++rounds) {
        testsupport::ForkedChild child([&](testsupport::Channel& channel) {
            KTDK_FILE* file = FILE_NewFile(path.c_str());
            for (uint64_t n = 0;; ++n) {
                const std::string& data = (n % 2) ? a : b;
                FILE_SetFileContent(file, int32_t(data.size()), data.data());
                if (FILE_OpenWriteClose(file) != int(data.size())) return 3;
                if (n == 0) channel.send('w');
            }
        });
        ASSERT_TRUE(child.started());
        ASSERT_EQ(child.receive(), 'w');
        usleep(random() % 3000);
        EXPECT_EQ(child.killAndWait(), 128 + SIGKILL);

        const std::string now = ReadAll(path);
        ASSERT_TRUE(now == a || now == b) << "round " << rounds << ", size " << now.size();
        seen.insert(now);
        KTDK_FILE* check = FILE_NewFile(path.c_str());
        ASSERT_GT(FILE_OpenReadClose(check), 0);
        EXPECT_EQ(FILE_GetRecordSignat(check), 1);
        FILE_FreeFile(check);
        // Temporary files of killed writers are the only leftovers.
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().string() != path) {
                std::filesystem::remove(e.path());
                ++killedMidWrite;
            }
    }
    EXPECT_EQ(seen.size(), 2u);
    // Some kills landed inside a write (its temporary file was left).
    EXPECT_GT(killedMidWrite, 0);
}

TEST(ParamFileBadInput, EveryReaderGivesAClearResult) {
    struct Case {
        std::string name, bytes;
    };
    std::string binary;
    for (int i = 0; i < 512; ++i) binary += char(i * 37);
    const std::vector<Case> cases = {
        {"empty", ""},
        {"truncated last line", "[A:1]\r\n[B:2"},
        {"missing signature", "[A:1]\r\n"},
        {"wrong checksum", "[A:1]\r\n{(C)Talvo_Technologies__File_System:dead}\r\n"},
        {"LF only", "[A:1]\n[B:2]\n{(C)Talvo_Technologies__File_System:1234}\n"},
        {"over-long line", "[A:" + std::string(20000, 'v') + "]\r\n"},
        {"over-long key", "[" + std::string(300, 'k') + ":v]\r\n"},
        {"binary", binary},
        {"only a record start", "{(C)Talvo_Technologies__File_System:"},
        {"secure start only", "\r\n{(C)Talvo_Technologies__Secure_System:"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.file("bad.txt");
        WriteAll(path, c.bytes);
        KTDK_FILE* file = FILE_NewFile(path.c_str());
        EXPECT_EQ(FILE_OpenReadClose(file), int(c.bytes.size())) << c.name;
        FILE_GetStringParam(file, "A");
        FILE_GetNextStringParam(file, "B");
        FILE_GetIntParam(file, std::string(300, 'k').c_str());
        const int secure = FILE_GetRecordSecure(file);
        EXPECT_TRUE(secure >= -2 && secure <= 1) << c.name;
        const int signature = FILE_GetRecordSignat(file);
        EXPECT_TRUE(signature >= -2 && signature <= 2) << c.name;
        EXPECT_GE(FILE_ReplaceStringParam(file, "A", "new"), 0) << c.name;
        FILE_FreeFile(file);
    }
    // Specific results that matter.
    Fixture lf("[A:1]\n[B:2]\n");
    EXPECT_STREQ(FILE_GetStringParam(lf.file, "A"), "1]\n[B:2]\n");
    Fixture longValue("[A:" + std::string(20000, 'v') + "]\r\n");
    EXPECT_EQ(FILE_GetStringParam(longValue.file, "A"), nullptr);
}

TEST(ParamFileErrno, RetryableNumbersAndTexts) {
    for (int n : {ENOENT, ENOTDIR, EISDIR, EROFS, ENOSPC, EINVAL, ENAMETOOLONG, EEXIST})
        EXPECT_EQ(FILE_IsRetryableErrno(n), 0) << n;
    for (int n : {0, EACCES, EBUSY, EINTR, EIO, EPERM}) EXPECT_EQ(FILE_IsRetryableErrno(n), 1) << n;
    char text[200];
    EXPECT_EQ(FILE_GetErrnoMessage(EACCES, sizeof text, text), 1);
    EXPECT_STREQ(text,
                 "Permission denied : read-only file open for writing, or locking / sharing "
                 "violation");
    EXPECT_EQ(FILE_GetErrnoMessage(EISDIR, 8, text), 1);
    EXPECT_STREQ(text, "This is");
    EXPECT_EQ(FILE_GetErrnoMessage(EIO, sizeof text, text), 1);
    EXPECT_STRNE(text, "");
    EXPECT_EQ(FILE_GetErrnoMessage(0, sizeof text, text), 0);
    EXPECT_EQ(FILE_GetErrnoMessage(ENOENT, 2, text), 0);
    EXPECT_EQ(FILE_GetErrnoMessage(ENOENT, 10, nullptr), 0);
    FILE_ClearErrno();
    EXPECT_EQ(FILE_GetErrno(), 0);
}


// Runs a program of the build tree; its exit code, -1 when it did not run.
int RunProgram(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int out = open("/dev/null", O_WRONLY);
        dup2(out, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(ParamFileTool, SignsInPlaceReplacingTheOldRecord) {
    TempDir dir;
    const std::string path = dir.file("net_00.wt");
    const std::string tool = testsupport::BinPath("sign_param_file");
    WriteAll(path, "[A:1]\n[B:2]\r\n{(C)Talvo_Technologies__File_System:0000}\r\n");
    ASSERT_EQ(RunProgram({tool, "--crlf", path}), 0);
    EXPECT_EQ(ReadAll(path), Signed("[A:1]\r\n[B:2]\r\n"));
    ASSERT_EQ(RunProgram({tool, "--secure", path}), 0);
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    ASSERT_GT(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(FILE_GetRecordSecure(file), 1);
    EXPECT_EQ(FILE_GetRecordSignat(file), 1);
    EXPECT_EQ(Content(file), "[A:1]\r\n[B:2]\r\n");
    FILE_FreeFile(file);
    EXPECT_EQ(RunProgram({tool, dir.file("absent.wt")}), 1);
}

}  // namespace
