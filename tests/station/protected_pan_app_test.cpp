// Protected card number, program side: the storage certificate named by the
// options, the card number captured from hand-built DLE-doubled DORAN answers,
// its enciphered form read back by openssl, the secured line in the "SP" zone
// (written to a real file and scanned for the clear card number), and the
// BIN table lookup under the main path.
#include "station/protected_pan_app.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/tag_buffer.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "protocols/xpro/xpro_dle.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "support/bin_records.h"
#include "support/config_tree.h"
#include "support/run_program.h"
#include "support/session_tree.h"
#include "support/station_lock.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::ReadWholeFile;
using testsupport::TempDir;
using testsupport::TraceCapture;
using testsupport::WriteWholeFile;

// ---------------------------------------------------------------------------
// Hand-built DORAN answers
// ---------------------------------------------------------------------------

Bytes Tlv(uint32_t tag, const Bytes& value) {
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((tag >> shift) != 0 || shift == 0) out.push_back(uint8_t(tag >> shift));
    const size_t n = value.size();
    if (n < 0x80) {
        out.push_back(uint8_t(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, uint8_t(n)});
    } else {
        out.insert(out.end(), {0x82, uint8_t(n >> 8), uint8_t(n)});
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

struct Answer {
    uint32_t peripheral = 0x2801;
    uint8_t command = 4;
    std::string track = "4970101010101018D25122011234500000FF";  // tag 57 as hex
    int trackCount = 1;           // occurrences of tag 57
    bool withCardData = true;     // DF808400 present
    size_t filler = 150;          // bytes of a filler element (with DLEs in it)
    size_t nameExtra = 0;         // bytes added to the cardholder name

    Bytes Message() const {
        Bytes card;
        for (int i = 0; i < trackCount; ++i) card = card + Tlv(0x57, FromHex(track));
        card = card + Tlv(0x5F24, {0x25, 0x12, 0x31}) + Tlv(0x5F20, Bytes(16 + nameExtra, 'T'));
        Bytes fill(filler, 0x55);
        for (size_t i = 0; i < fill.size(); i += 7) fill[i] = 0x10;
        Bytes data = Tlv(0xDF828000, {0x00}) + Tlv(0x9F10, fill);
        if (withCardData) data = data + Tlv(0xDF808400, card);
        Bytes periph;
        for (int shift = 24; shift >= 0; shift -= 8)
            if ((peripheral >> shift) != 0 || !periph.empty() || shift == 0)
                periph.push_back(uint8_t(peripheral >> shift));
        return Tlv(0xE0, Tlv(0xC3, periph) + Tlv(0xE1, Tlv(0xC4, {command}) + Tlv(0xE2, data)));
    }
    // The message as the terminal link hands it over: every DLE doubled.
    Bytes Doubled() const {
        const Bytes m = Message();
        Bytes out(m.size() * 2);
        out.resize(size_t(XPRO_DoubleDLE(out.data(), m.data(), int(m.size()))));
        return out;
    }
};

int Read(const Bytes& answer) {
    return EMV_ReadTrack2Equivalent(answer.data(), int(answer.size()));
}

// Filler size that makes the doubled answer exactly `length` bytes long.
Answer OfLength(size_t length) {
    Answer a;
    for (a.filler = 0; a.filler < 5000; ++a.filler)
        for (a.nameExtra = 0; a.nameExtra < 3; ++a.nameExtra)
            if (a.Doubled().size() == length) return a;
    ADD_FAILURE() << "no filler gives " << length;
    return a;
}

// ---------------------------------------------------------------------------
// Fixture: a storage certificate configured and loaded.
// ---------------------------------------------------------------------------

char* HeapText(const std::string& text) {
    char* copy = static_cast<char*>(WAlloc(text.size()));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void SetStoragePath(const char* path) {
    WFree(Options.StorageCert);
    Options.StorageCert = path != nullptr ? HeapText(path) : nullptr;
}

class ProtectedPanTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        ASSERT_TRUE(testsupport::MakeSelfSignedCertificate(dir_->str(), "storage"));
        const std::string block = testsupport::EncipherForBuiltinKey(ReadWholeFile(dir_->file("storage.crt")));
        ASSERT_FALSE(block.empty());
        ASSERT_TRUE(WriteWholeFile(dir_->file("storage.bin"), block));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    // An open session (the card fields live in its transaction record) with
    // the storage certificate loaded.
    void SetUp() override {
        ASSERT_TRUE(tree_.ok());
        InitDefaultOptions();
        g_processOptions.station = testsupport::UniqueStation();
        testsupport::UseTreeForSession(tree_.str());
        ASSERT_EQ(TOC_OpenSession(), 1);
        record_ = GetTransactionRecord();
        ASSERT_NE(record_, nullptr);
        RegisterLogMasking(nullptr, nullptr, 1);
        ClearCardTrackFields();
        SetStoragePath(dir_->file("storage.bin").c_str());
        ASSERT_EQ(LoadStorageCertificate(), 1);
    }
    void TearDown() override {
        SetStoragePath(nullptr);
        ReleaseStorageKey();
        ClearCardTrackFields();
        RegisterLogMasking(nullptr, nullptr, 1);
        ShutdownClient();
    }
    // The clear text of an enciphered block, by openssl with the certificate's key.
    static std::string OpensslDecipher(const std::string& block) {
        const std::string in = dir_->file("block.bin"), out = dir_->file("clear.txt");
        EXPECT_TRUE(WriteWholeFile(in, block));
        EXPECT_EQ(testsupport::RunProgram({"openssl", "pkeyutl", "-decrypt", "-inkey",
                                           dir_->file("storage.key"), "-in", in, "-out", out}),
                  0);
        return ReadWholeFile(out);
    }

    static TempDir* dir_;
    testsupport::ConfigTree tree_;
    TransactionRecord* record_ = nullptr;
};
TempDir* ProtectedPanTest::dir_ = nullptr;

// Runs body in a child process (for what lasts for the life of a process);
// its result is the child's exit code.
template <typename Body>
int InChild(Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ProtectedPanTest, StorageCertificateOfTheOptions) {
    // Loaded by the fixture.
    EXPECT_NE(StorageKey(), nullptr);

    SetStoragePath(nullptr);
    EXPECT_EQ(LoadStorageCertificate(), 0);
    SetStoragePath("");
    EXPECT_EQ(LoadStorageCertificate(), 0);

    // A failure removes the path, which switches the capture off (in a
    // child: it stays off for the life of the process).
    const std::string missing = dir_->file("absent.bin");
    EXPECT_EQ(InChild([&] {
                  SetStoragePath(missing.c_str());
                  TraceCapture trace;
                  if (LoadStorageCertificate() != -1) return 1;
                  if (Options.StorageCert != nullptr || StorageKey() != nullptr) return 2;
                  if (!trace.Contains("Error opening " + missing)) return 3;
                  if (Read(Answer{}.Doubled()) != 0) return 4;
                  SetStoragePath(dir_->file("storage.crt").c_str());  // not enciphered
                  if (LoadStorageCertificate() != -2 || Options.StorageCert != nullptr) return 5;
                  return 0;
              }),
              0);
}

// Once the storage certificate failed to load, reading the options again
// (as every request does) never switches the capture back on.
TEST_F(ProtectedPanTest, CaptureStaysOffAfterAFailedCertificateLoad_Mended) {
    const std::string good = dir_->file("storage.bin");
    EXPECT_EQ(InChild([&] {
                  SetStoragePath(dir_->file("absent.bin").c_str());
                  if (LoadStorageCertificate() != -1) return 1;
                  if (WriteOption("StorageCert", good.c_str()) != 1) return 2;
                  if (TOC_LoadOptions() != 0) return 3;
                  if (Options.StorageCert == nullptr || good != Options.StorageCert) return 4;
                  if (Read(Answer{}.Doubled()) != 0) return 5;
                  return record_->cardNumberLength == 0 ? 0 : 6;
              }),
              0);
    // Without a failure, the same options keep the capture on.
    ASSERT_EQ(WriteOption("StorageCert", good.c_str()), 1);
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(Read(Answer{}.Doubled()), 1);
}

TEST_F(ProtectedPanTest, CardNumberCapturedFromDoubledAnswers) {
    struct Case {
        const char* track;
        const char* pan;
        const char* expiry;
        const char* service;
        const char* rest;
    } cases[] = {
        {"4970101010101018D25122011234500000FF", "4970101010101018", "2512", "201", "1234500000"},
        {"1234567890123456D25122011234500000FF", "1234567890123456", "2512", "201", "1234500000"},
        {"b4970101010101018d2512101f", "4970101010101018", "2512", "101", ""},  // lower-case hex
    };
    for (const Case& c : cases) {
        ClearCardTrackFields();
        Answer a;
        a.track = c.track;
        const Bytes doubled = a.Doubled();
        ASSERT_GT(doubled.size(), a.Message().size()) << "the answer must hold DLEs";
        ASSERT_EQ(Read(doubled), 1) << c.track;
        const TransactionRecord* f = record_;
        EXPECT_STREQ(f->cardNumber, c.pan);
        EXPECT_EQ(f->cardNumberLength, int(std::strlen(c.pan)));
        EXPECT_STREQ(f->expiryDate, c.expiry);
        EXPECT_STREQ(f->serviceCode, c.service);
        EXPECT_STREQ(f->trackRest, c.rest);
        EXPECT_EQ(f->expiryDateLength, 0);
        EXPECT_EQ(f->serviceCodeLength, 0);
    }
}

TEST_F(ProtectedPanTest, OnlyOneCaptureEachTransaction) {
    ASSERT_EQ(Read(Answer{}.Doubled()), 1);
    Answer other;
    other.track = "5132111111111111D2612201FF";
    EXPECT_EQ(Read(other.Doubled()), 0);
    EXPECT_STREQ(record_->cardNumber, "4970101010101018");
    ClearCardTrackFields();  // next transaction
    EXPECT_EQ(Read(other.Doubled()), 1);
    EXPECT_STREQ(record_->cardNumber, "5132111111111111");
    EXPECT_STREQ(record_->expiryDate, "2612");
    EXPECT_STREQ(record_->serviceCode, "201");
}

TEST_F(ProtectedPanTest, AnswersThatCaptureNothing) {
    auto with = [](auto change) {
        Answer a;
        change(a);
        return a.Doubled();
    };
    const Bytes good = Answer{}.Doubled();
    Bytes cut(good.begin(), good.end() - 40);
    ASSERT_GE(cut.size(), 200u);
    const Bytes notDoubled = Answer{}.Message();
    struct Case {
        const char* what;
        Bytes answer;
    } cases[] = {
        {"other peripheral", with([](Answer& a) { a.peripheral = 0x2802; })},
        {"other command", with([](Answer& a) { a.command = 5; })},
        {"no card data element", with([](Answer& a) { a.withCardData = false; })},
        {"no track", with([](Answer& a) { a.trackCount = 0; })},
        {"track twice", with([](Answer& a) { a.trackCount = 2; })},
        {"track of 21 bytes", with([](Answer& a) { a.track = std::string(42, '1'); })},
        {"track without separator", with([](Answer& a) { a.track = "4970101010101018FFFF"; })},
        {"card number of 21 digits", with([](Answer& a) { a.track = "497010101010101812345D2512FF"; })},
        {"truncated answer", cut},
        {"DLEs not doubled", notDoubled},
        {"199 bytes", OfLength(199).Doubled()},
        {"4097 bytes", OfLength(4097).Doubled()},
        {"garbage", Bytes(300, 0xE0)},
    };
    for (const Case& c : cases) {
        ClearCardTrackFields();
        EXPECT_EQ(Read(c.answer), 0) << c.what;
        EXPECT_EQ(record_->cardNumberLength, 0) << c.what;
        EXPECT_STREQ(record_->cardNumber, "") << c.what;
    }
    EXPECT_EQ(EMV_ReadTrack2Equivalent(nullptr, 300), 0);
    // The bounds themselves are examined.
    EXPECT_EQ(Read(OfLength(200).Doubled()), 1);
    ClearCardTrackFields();
    EXPECT_EQ(Read(OfLength(4096).Doubled()), 1);
}

TEST_F(ProtectedPanTest, CapturedCardNumberIsMaskedInTraces) {
    const char* pan = "4970101010101018";
    {
        TraceCapture before;
        WSysError("** INFO. ** carte %s", pan);
        ASSERT_TRUE(before.Contains(pan)) << "nothing registered yet";
    }
    ASSERT_EQ(Read(Answer{}.Doubled()), 1);
    TraceCapture trace;
    WSysError("** INFO. ** carte %s", pan);
    TraceLog(TRACE_ERROR, "[TEST]", "pan=%s", pan);
    ASSERT_EQ(trace.count(), 2u);
    EXPECT_FALSE(trace.Contains(pan));
    EXPECT_TRUE(trace.Contains("497010"));
}

TEST_F(ProtectedPanTest, EncipheredCardNumberIsReadBackByOpenssl) {
    ASSERT_EQ(Read(Answer{}.Doubled()), 1);
    std::vector<unsigned char> block(1024);
    const int length = EncryptPanForStorage(block.data(), block.size());
    ASSERT_EQ(length, 256);
    EXPECT_EQ(OpensslDecipher(std::string(reinterpret_cast<char*>(block.data()), size_t(length))),
              "TALVO4970101010101018");
    EXPECT_EQ(EncryptPanForStorage(block.data(), 100), -3);
    EXPECT_EQ(EncryptPanForStorage(nullptr, 1024), -2);
    ReleaseStorageKey();
    EXPECT_EQ(EncryptPanForStorage(block.data(), block.size()), -1);
}

// Zone writer of the test: each line appended to a real file, with the zone
// selected while it was written.
std::string g_zoneFile;
std::vector<std::string> g_zones;
int FileZoneWriter(const char* text) {
    g_zones.emplace_back(EFTOC_GetTraceZone());
    FILE* f = std::fopen(g_zoneFile.c_str(), "ab");
    if (f == nullptr) return -1;
    std::fprintf(f, "%s\n", text);
    std::fclose(f);
    return 1;
}
int StandardHook(const char*) { return 1; }

TEST_F(ProtectedPanTest, SecuredLineGoesToTheSpZoneWithoutTheClearNumber) {
    g_zoneFile = dir_->file("zone_sp.txt");
    std::remove(g_zoneFile.c_str());
    g_zones.clear();
    const WSysTraceHook previous = WSysGetTraceHook();
    WSysSetTraceHook(StandardHook);
    TraceFrontSetZoneWriter(FileZoneWriter, StandardHook);
    EFTOC_SetTraceZone("CA");

    // No key: nothing written.
    ReleaseStorageKey();
    StoreSecuredPan("{RS}00{F}");
    EXPECT_TRUE(g_zones.empty());
    ASSERT_EQ(LoadStorageCertificate(), 1);

    ASSERT_EQ(Read(Answer{}.Doubled()), 1);
    const std::string answer = "{RS}00{DA}100%s%d{ZZ}4970101010101018{F}";
    StoreSecuredPan(answer.c_str());
    StoreSecuredPan(std::string(20000, 'a').c_str());

    TraceFrontSetZoneWriter(nullptr, nullptr);
    EXPECT_EQ(WSysGetTraceHook(), &StandardHook);
    WSysSetTraceHook(previous);
    EXPECT_STREQ(EFTOC_GetTraceZone(), "CA");
    ASSERT_EQ(g_zones, (std::vector<std::string>{"SP", "SP"}));

    const std::string written = ReadWholeFile(g_zoneFile);
    EXPECT_EQ(written.find("4970101010101018"), std::string::npos) << written;
    const size_t end = written.find('\n');
    ASSERT_NE(end, std::string::npos);
    const std::string line = written.substr(0, end);
    const size_t separator = line.find(";;;;");
    ASSERT_EQ(separator, 512u);
    EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), separator);
    EXPECT_NE(line.find("{DA}100%s%d"), std::string::npos) << "answer written as it stands";

    Bytes block(256);
    WHexToBin(block.data(), line.c_str(), 256);
    EXPECT_EQ(OpensslDecipher(std::string(block.begin(), block.end())), "TALVO4970101010101018");

    // The long answer is cut, never written past the line.
    const std::string second = written.substr(end + 1);
    EXPECT_LE(second.size(), WSYS_TRACE_BUFFER_SIZE);
    EXPECT_EQ(second.substr(512, 8), ";;;;aaaa");
}

// The secured line is stored data: a LogLevel that silences the trace
// never drops it. Its answer part is masked; the enciphered part is not
// touched.
TEST_F(ProtectedPanTest, SecuredLineIsWrittenWhateverTheLogLevel_Mended) {
    g_zoneFile = dir_->file("zone_sp_level.txt");
    std::remove(g_zoneFile.c_str());
    g_zones.clear();
    const WSysTraceHook previous = WSysGetTraceHook();
    WSysSetTraceHook(StandardHook);
    TraceFrontSetZoneWriter(FileZoneWriter, StandardHook);
    ASSERT_EQ(Read(Answer{}.Doubled()), 1);
    WSysSetErrorLevel(WLOG_FATAL);
    StoreSecuredPan("{RS}00{D1A}4111111111111111{ZZ}carte 4111111111111111{F}");
    WSysSetErrorLevel(WLOG_UNKNOWN);
    TraceFrontSetZoneWriter(nullptr, nullptr);
    WSysSetTraceHook(previous);
    ASSERT_EQ(g_zones, (std::vector<std::string>{"SP"}));

    const std::string line = ReadWholeFile(g_zoneFile);
    ASSERT_GT(line.size(), 516u);
    EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), 512u);
    EXPECT_EQ(line.substr(512), ";;;;{RS}00{D1A}----------------{ZZ}carte 411111------1111{F}\n");
    Bytes block(256);
    WHexToBin(block.data(), line.c_str(), 256);
    EXPECT_EQ(OpensslDecipher(std::string(block.begin(), block.end())), "TALVO4970101010101018");
}

// ---------------------------------------------------------------------------
// BIN table
// ---------------------------------------------------------------------------

// Long-form records under the selector "CB".
std::string Record(const std::string& low, const std::string& high, const std::string& code,
                   const char* kind, const std::string& digits = "", const std::string& name = "") {
    return testsupport::BinRecord(low, high, "CB", code, kind, digits, name);
}

class BinTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        context = NewEftoc(1, 1);
        ASSERT_NE(context, nullptr);
        ASSERT_EQ(EFTOC_SetMainPath(context, dir.str().c_str()), 1);
        std::snprintf(context->netResources[0].label, sizeof context->netResources[0].label, "TALVO");
        context->netResourceIndex = 0;
        previous = GetEftContext();
        SetEftContext(context);
        ASSERT_EQ(mkdir(dir.file(kBinTableDirectory).c_str(), 0700), 0);
    }
    void TearDown() override {
        SetEftContext(previous);
        EFTOC_Close(context);
    }
    void WriteTable(const std::string& records, bool sign = true) {
        const std::string path = dir.file(std::string(kBinTableDirectory) + "/" + kBinTableFileName);
        KTDK_FILE* file = FILE_NewFile(path.c_str());
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(FILE_SetFileContent(file, int32_t(records.size()), records.data()), 1);
        if (sign) {
            ASSERT_EQ(FILE_PutRecordSignat(file), 1);
        }
        ASSERT_GT(FILE_OpenWriteClose(file), 0);
        FILE_FreeFile(file);
    }
    struct Result {
        int result;
        std::string pan;
        std::string code;
    };
    static Result Lookup(const char* pan, const char* code = "CB") {
        char number[21];
        std::snprintf(number, sizeof number, "%s", pan);
        char out[3];
        std::snprintf(out, sizeof out, "%s", code);
        const int result = LookupBinTable(number, sizeof number, out, sizeof out, nullptr);
        return {result, number, out};
    }

    TempDir dir;
    EFTCBox* context = nullptr;
    EFTCBox* previous = nullptr;
};

// Only the record that wins acts: a general Pan record met earlier in the
// walk never rewrites the number a more specific record is then compared
// with.
TEST_F(BinTableTest, ResultCodeAndActionOfTheBestRecord_Mended) {
    WriteTable(Record("49", "49", "01", "PAN  ", "999999") +
               Record("4970", "4970", "02", "     ") +
               Record("513211", "513211", "03", "PAN  ", "400000") +
               Record("5132", "5132", "04", "talvo") +
               Record("37", "37", "05", "PN40 ") +
               Record("3", "3", "06", "     "));
    struct Case {
        const char* pan;
        int result;
        const char* newPan;
        const char* code;
    } cases[] = {
        // The 4-digit record wins; the superseded 2-digit record changes nothing.
        {"4970101010101018", 1, "4970101010101018", "02"},
        {"4912345678901234", 1, "9999995678901234", "01"},
        {"5132111111111111", 1, "4000001111111111", "03"},
        {"5132991111111111", 1, "5132991111111111", "04"},  // label of the resource
        {"3712345678901234", 1, "3712345678901234", "06"},  // other label passed over
        {"6011000000000000", 0, "6011000000000000", "CB"},
        {"", 1, "", "03"},                                   // each record on its own low bound
    };
    for (const Case& c : cases) {
        const Result r = Lookup(c.pan);
        EXPECT_EQ(r.result, c.result) << c.pan;
        EXPECT_EQ(r.pan, c.newPan) << c.pan;
        EXPECT_EQ(r.code, c.code) << c.pan;
    }
}

TEST_F(BinTableTest, NameRecordSetsTheApplicationTag) {
    WriteTable(Record("4970", "4979", "07", "NAME ", "", "CB VISA ELECTRON"));
    char message[256] = {};
    ASSERT_EQ(TAG_InitWrite(message, sizeof message, 1), 1);
    const Result r = Lookup("4970101010101018");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.code, "07");
    EXPECT_NE(std::strstr(message, "{D3V}CB VISA ELECTRON{"), nullptr) << message;
}

TEST_F(BinTableTest, RefusedTablesAndArguments) {
    const std::string records = Record("4970", "4979", "04", "     ");
    {
        TraceCapture trace;
        EXPECT_EQ(Lookup("4970101010101018").result, 0);  // no file
        EXPECT_FALSE(trace.Contains("BINs file corrupted"));
    }
    WriteTable(records, false);
    {
        TraceCapture trace;
        const Result r = Lookup("4970101010101018");
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.code, "CB");
        EXPECT_TRUE(trace.Contains("BINs file corrupted"));
    }
    WriteTable(records);
    ASSERT_EQ(Lookup("4970101010101018").result, 1);

    char number[21] = "4970101010101018";
    char code[3] = "CB";
    EXPECT_EQ(LookupBinTable(nullptr, 21, code, 3, nullptr), 0);
    EXPECT_EQ(LookupBinTable(number, 21, nullptr, 3, nullptr), 0);
    EXPECT_EQ(LookupBinTable(number, 21, code, 2, nullptr), 0);
    EXPECT_EQ(LookupBinTable(number, 6, code, 3, nullptr), 0);
    char unterminated[8];
    std::memset(unterminated, '4', sizeof unterminated);
    EXPECT_EQ(LookupBinTable(unterminated, sizeof unterminated, code, 3, nullptr), 0);
    SetEftContext(nullptr);
    EXPECT_EQ(LookupBinTable(number, 21, code, 3, nullptr), 0);
    SetEftContext(context);
    EXPECT_STREQ(code, "CB");
}

}  // namespace
