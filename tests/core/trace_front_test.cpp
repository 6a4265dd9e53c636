// Application trace lines, log options and the exchange log: layout, masking
// of card data, file names, rotation and file modes.
#include "core/trace_front.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/card_masking.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "platform/card_data_rules.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

using testsupport::TempDir;
using testsupport::TraceCapture;

namespace {

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Options seen by ConfigureLogLevels, and the keys it asked for.
std::map<std::string, std::string> g_options;
std::vector<std::string> g_askedKeys;
const char* ReadTestOption(const char* key) {
    g_askedKeys.emplace_back(key);
    auto found = g_options.find(key);
    return found != g_options.end() ? found->second.c_str() : nullptr;
}

int g_manualEntry = 0;
int ManualEntry() { return g_manualEntry; }
int g_closeEach = 0;
int CloseEach() { return g_closeEach; }
FILE* g_slots[2] = {nullptr, nullptr};
FILE** Slot(int side) { return &g_slots[side]; }

// Fresh masking table, no binding, debug level 1; everything put back after.
class TraceFrontTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        TraceFrontCloseExchangeLogs();
        Reset();
        WSysInitLoggerLevels(WSysProcessLoggerLevels());
    }
    static void Reset() {
        WSysSetMasks(nullptr, 1);
        TraceFrontBind(TraceFrontBinding{});
        TraceFrontSetDebugLevel(1);
        g_options.clear();
        g_askedKeys.clear();
        g_manualEntry = 0;
        g_closeEach = 0;
    }
    std::string Log(int type, const std::string& message, int limitKb = 1000) {
        LogExchange(type, message.c_str(), name_.c_str(), limitKb);
        TraceFrontCloseExchangeLogs();
        return ReadFile(type < 2 ? pos_ : srv_);
    }

    TempDir dir_;
    std::string name_ = dir_.file("ECHANGES.LOG");
    std::string pos_ = dir_.file("ECHANGES.POS");
    std::string srv_ = dir_.file("ECHANGES.SRV");
};

// --- TraceLog ---------------------------------------------------------------

TEST_F(TraceFrontTest, LinesCarryBannerCentredCategoryAndMessage) {
    struct Case {
        int kind;
        const char* category;
        const char* expected;
    } cases[] = {
        {2, "[POS]", "** INFO. **     [POS]     >>>>> texte"},
        {0, "[SERVER]", "-- ERROR --   [SERVER]    >>>>> texte"},
        {1, "[CARD]", "<< WARN. >>    [CARD]     >>>>> texte"},
        {3, "[PRINT]", "@@ DEBUG @@    [PRINT]    >>>>> texte"},
        {7, "[X]", "** INFO. **      [X]      >>>>> texte"},
        {2, "[ABCDEFGHIJKLMNOPQR]", "** INFO. **[ABCDEFGHIJKLMN>>>>> texte"},
        {2, "", "** INFO. **               >>>>> texte"},
        {2, nullptr, "** INFO. **               >>>>> texte"},
    };
    for (const Case& c : cases) {
        TraceCapture capture;
        TraceLog(c.kind, c.category, "%s", "texte");
        ASSERT_EQ(capture.count(), 1u) << c.expected;
        EXPECT_EQ(TraceCapture::lines()[0].substr(0, std::strlen(c.expected)), c.expected);
    }
}

TEST_F(TraceFrontTest, PercentSignsOfTheMessageAreWrittenAsTheyStand) {
    TraceCapture capture;
    TraceLog(TRACE_INFO, "[POS]", "%s et %d%%", "valeur %d %s %n", 5);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_NE(TraceCapture::lines()[0].find(">>>>> valeur %d %s %n et 5%"), std::string::npos);
}

TEST_F(TraceFrontTest, DebugLevelZeroWritesNothingAndLongLinesAreCut) {
    {
        TraceCapture capture;
        TraceFrontSetDebugLevel(0);
        TraceLog(TRACE_ERROR, "[POS]", "rien");
        EXPECT_EQ(capture.count(), 0u);
    }
    TraceFrontSetDebugLevel(1);
    TraceCapture capture;
    const std::string big(30000, 'x');
    TraceLog(TRACE_INFO, "[POS]", "%s", big.c_str());
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_LE(TraceCapture::lines()[0].size(), WSYS_TRACE_BUFFER_SIZE);
    EXPECT_GT(TraceCapture::lines()[0].size(), 10000u);
}

TEST_F(TraceFrontTest, TrackHandedOverInATraceIsMaskedInLaterLines) {
    const char* track = "4970101234567890D25121011234567";
    TraceLog(TRACE_DEBUG, "[CARD]", "{D2F}4970101234567890D25121011234567F{F}");
    TraceCapture capture;
    WSysError("** INFO. ** piste %s", track);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(TraceCapture::lines()[0].find(track), std::string::npos) << TraceCapture::lines()[0];
    EXPECT_EQ(TraceCapture::lines()[0].find("1234567890D"), std::string::npos);
}

// --- Log options --------------------------------------------------------------

TEST(ParseLogLevel, OnlyTheFourExactWordsHaveALevel) {
    struct Case {
        const char* word;
        WLogMessageLevel level;
    } cases[] = {
        {"INFO", WLOG_INFO},     {"WARN", WLOG_WARN},       {"ERROR", WLOG_ERROR},
        {"TRACE", WLOG_TRACE},   {"info", WLOG_UNKNOWN},    {"DEBUG", WLOG_UNKNOWN},
        {"FATAL", WLOG_UNKNOWN}, {"INFO ", WLOG_UNKNOWN},   {"", WLOG_UNKNOWN},
        {nullptr, WLOG_UNKNOWN},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseLogLevel(c.word), c.level) << (c.word ? c.word : "null");
}

TEST_F(TraceFrontTest, LogOptionsSetTheErrorLoggerAndEachNamedLogger) {
    TraceFrontSetOptionReader(ReadTestOption);
    g_options = {{"LogLevel", "ERROR"},
                 {"LogLoggers", "tfl.openssl;tfl.second;;tfl.info"},
                 {"LogLevel-tfl.openssl", "ERROR"},
                 {"LogLevel-tfl.info", "INFO"},
                 {"LogLevel-", "ERROR"}};
    ConfigureLogLevels();
    EXPECT_FALSE(WSysLoggerEnabled("wsyserror", WLOG_WARN));
    EXPECT_TRUE(WSysLoggerEnabled("wsyserror", WLOG_ERROR));
    EXPECT_FALSE(WSysLoggerEnabled("tfl.openssl", WLOG_WARN));
    EXPECT_TRUE(WSysLoggerEnabled("tfl.openssl", WLOG_ERROR));
    // No option of its own: everything passes (not the root threshold).
    EXPECT_TRUE(WSysLoggerEnabled("tfl.second", WLOG_TRACE));
    EXPECT_FALSE(WSysLoggerEnabled("tfl.info", WLOG_DEBUG));
    EXPECT_TRUE(WSysLoggerEnabled("tfl.info", WLOG_INFO));
    // The empty name between two ";" is a logger like any other.
    EXPECT_FALSE(WSysLoggerEnabled("", WLOG_WARN));

    // Without options, "wsyserror" lets everything through again.
    g_options.clear();
    ConfigureLogLevels();
    EXPECT_TRUE(WSysLoggerEnabled("wsyserror", WLOG_TRACE));
}

TEST_F(TraceFrontTest, OverLongLoggerNamesAreSkippedAndKeysStayBounded) {
    TraceFrontSetOptionReader(ReadTestOption);
    const std::string longest(kLogLevelKeyMax - 9, 'a');  // key of exactly 80
    const std::string tooLong(kLogLevelKeyMax - 8, 'b');  // key of 81
    g_options = {{"LogLoggers", longest + ";" + tooLong + ";" + std::string(5000, 'c')},
                 {"LogLevel-" + longest, "ERROR"}};
    ConfigureLogLevels();
    EXPECT_TRUE(WSysLoggerEnabled(longest.c_str(), WLOG_ERROR));
    EXPECT_FALSE(WSysLoggerEnabled(longest.c_str(), WLOG_WARN));
    // Skipped names keep the root threshold (30000 without the environment).
    if (std::getenv("TALVO.LOG.ENABLED_LOGGERS") == nullptr) {
        EXPECT_FALSE(WSysLoggerEnabled(tooLong.c_str(), WLOG_INFO));
    }
    for (const std::string& key : g_askedKeys) EXPECT_LE(key.size(), kLogLevelKeyMax);
}

// --- Exchange-log names -------------------------------------------------------

TEST(ExchangeLogFileNames, SideFileAndBackupFromTheName) {
    struct Case {
        std::string name;
        int type;
        int result;
        std::string file, backup;
    } cases[] = {
        {"ECHANGES.LOG", 0, 1, "ECHANGES.POS", "ECHANGES_POS.BAK"},
        {"ECHANGES.LOG", 1, 1, "ECHANGES.POS", "ECHANGES_POS.BAK"},
        {"ECHANGES.LOG", -4, 1, "ECHANGES.POS", "ECHANGES_POS.BAK"},
        {"ECHANGES.LOG", 2, 1, "ECHANGES.SRV", "ECHANGES_SRV.BAK"},
        {"ECHANGES.LOG", 9, 1, "ECHANGES.SRV", "ECHANGES_SRV.BAK"},
        {"JOURNAL", 0, 1, "JOURNAL.POS", "JOURNAL_POS.BAK"},
        {"C:/LOGS/X.LOG", 0, 1, "C:/LOGS/X.POS", "C:/LOGS/X_POS.BAK"},
        {"a.b.c", 3, 1, "a.b.SRV", "a.b_SRV.BAK"},
        {"./logs/ECH", 0, 1, "./logs/ECH.POS", "./logs/ECH_POS.BAK"},
        {std::string(92, 'n') + ".LOG", 0, 1, std::string(92, 'n') + ".POS",
         std::string(92, 'n') + "_POS.BAK"},
        {std::string(93, 'n') + ".LOG", 0, -1, "", ""},
        {std::string(101, 'n'), 0, -1, "", ""},
        {"", 0, -1, "", ""},
    };
    for (const Case& c : cases) {
        char file[128] = "x", backup[128] = "x";
        EXPECT_EQ(ExchangeLogFileNames(c.name.c_str(), c.type, file, backup, sizeof file), c.result)
            << c.name;
        EXPECT_EQ(file, c.file) << c.name;
        EXPECT_EQ(backup, c.backup) << c.name;
    }
    char file[8], backup[8];
    EXPECT_EQ(ExchangeLogFileNames(nullptr, 0, file, backup, sizeof file), -1);
    EXPECT_EQ(ExchangeLogFileNames("LONGNAME.LOG", 0, file, backup, sizeof file), -1);
}

// --- Exchange-log entries ------------------------------------------------------

TEST_F(TraceFrontTest, EntriesAreStampedAndLabelledByDirection) {
    struct Case {
        int type;
        const char* label;
    } cases[] = {{0, R"(\t\(ZNP\) )"},
                 {1, R"(\t\(POS\) )"},
                 {2, R"(\t\(ZNP\) )"},
                 {3, R"(\t\(SRV\) )"},
                 {5, ""}};
    for (const Case& c : cases) {
        std::filesystem::remove(pos_);
        std::filesystem::remove(srv_);
        const std::string text = Log(c.type, "{SS}R{PS}1{SV}s0{CD}c1{F}");
        const std::regex entry(std::string(R"(^\n\[\d\d/\d\d\] \[\d\d:\d\d:\d\d,\d\d\d\])") + c.label +
                               R"(\{SS\}R\{PS\}1\{SV\}s0\{CD\}c1\{F\}$)");
        EXPECT_TRUE(std::regex_match(text, entry)) << c.type << ": " << text;
        EXPECT_FALSE(Exists(c.type < 2 ? srv_ : pos_)) << c.type;
    }
    // Entries follow one another; a non-tag text is written as it stands.
    const std::string hashes = std::string(80, '#') + "\n";
    const std::string text = Log(0, hashes);
    EXPECT_EQ(text.substr(text.size() - hashes.size()), hashes);
    EXPECT_NE(text.find("\t(ZNP) " + hashes), std::string::npos);
}

TEST_F(TraceFrontTest, NothingIsWrittenWithoutMessageNameOrLimit) {
    LogExchange(0, "", name_.c_str(), 10);
    LogExchange(0, nullptr, name_.c_str(), 10);
    LogExchange(0, "{SS}R{F}", "", 10);
    LogExchange(0, "{SS}R{F}", nullptr, 10);
    LogExchange(0, "{SS}R{F}", name_.c_str(), 0);
    WriteExchangeLog(0, "x", "y", name_.c_str(), 0);
    EXPECT_FALSE(Exists(pos_));
}

TEST_F(TraceFrontTest, TicketIsRemovedAndCardNumberMaskedEverywhere) {
    const std::string text =
        Log(1, "{D1A}1111222233334444F{D3L}TICKET TEXT{D1J}1111222233334444{ED}1111222233334444{F}");
    EXPECT_NE(text.find("{D1A}-----------------{D3L}{D1J}111122------4444{ED}111122------4444{F}"),
              std::string::npos)
        << text;
    // The registration stays: later trace lines are masked too.
    TraceCapture capture;
    WSysError("** INFO. ** carte 1111222233334444");
    EXPECT_TRUE(capture.Contains("carte 111122------4444"));
}

TEST_F(TraceFrontTest, EverySensitiveCodeIsBlottedInEveryOccurrence) {
    std::string message = "{SS}R";
    std::vector<std::string> secrets;
    for (const carddata::SensitiveTag& tag : carddata::SensitiveTags()) {
        for (int n = 0; n < 2; ++n) {
            // Display texts hide the digits of a card number.
            secrets.push_back(tag.rule == carddata::TagRule::Display ? "Carte 497010789012345" + std::to_string(n)
                                                                     : std::string("SECRET") + tag.code +
                                                                           std::to_string(n));
            message += std::string("{") + tag.code + "}" + secrets.back();
        }
    }
    message += "{F}";
    const std::string text = Log(1, message);
    for (const std::string& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_NE(text.find("{SS}R{D1A}----------{D1A}----------{DATA_PAN}"), std::string::npos) << text;
    EXPECT_NE(text.find("{D3L}{D3L}{D3L1}{D3L1}{D3L2}{D3L2}{PRN_TEXT}{PRN_TEXT}{ED}Carte 497010------3450"),
              std::string::npos)
        << text;
}

TEST_F(TraceFrontTest, CvvAndPivotKeepTheirLengthAsDashes) {
    const std::string text = Log(1, "{D3Y}1234567890123456{DA8}12345678901234567890{CD}c1{F}");
    EXPECT_NE(text.find("{D3Y}" + std::string(16, '-') + "{DA8}" + std::string(20, '-') + "{CD}c1{F}"),
              std::string::npos)
        << text;
}

TEST_F(TraceFrontTest, OverLongCardValuesAreBlottedInsteadOfRegistered) {
    const std::string pan(60, '4');
    const std::string text = Log(1, "{DATA_PAN}" + pan + "{DATA_ISO2}" + pan + "D2512{PS}1{F}");
    EXPECT_EQ(text.find("4444"), std::string::npos) << text;
    EXPECT_NE(text.find("{PS}1{F}"), std::string::npos);
    // A card value that fits is registered and masked as a card number.
    const std::string fits = Log(1, "{DATA_PAN}4970101234567890F{CD}4970101234567890{F}");
    EXPECT_NE(fits.find("{CD}497010------7890{F}"), std::string::npos) << fits;
}

TEST_F(TraceFrontTest, DisplayDigitsNeverUnmaskTheCardNumber) {
    const char* pan = "4970105678901234";
    Log(1, std::string("{D1A}") + pan + "{F}");
    Log(0, "{ED}Montant 1250 EUR{F}");
    for (int i = 0; i < 2 * kWSysMaskValuesPerSlot; ++i)
        Log(0, "{ED}Code " + std::to_string(70000000000LL + i) + "{F}");
    // The table is bounded: the card value and the latest display digits
    // stay masked; display digits never push the card value out.
    const std::string last = std::to_string(70000000000LL + 2 * kWSysMaskValuesPerSlot - 1);
    TraceCapture capture;
    WSysError("** INFO. ** carte %s code %s", pan, last.c_str());
    ASSERT_EQ(capture.count(), 1u);
    const std::string& line = TraceCapture::lines()[0];
    EXPECT_EQ(line.find(pan), std::string::npos) << line;
    EXPECT_EQ(line.find(last), std::string::npos) << line;
}

// A display text with a few digits ("Carte 1") must not turn every later
// "1" into a dash: not in tag codes, values, later entries or trace lines.
TEST_F(TraceFrontTest, ShortDisplayDigitsChangeNothing_Mended) {
    Log(1, "{SS}R{PS}1{SV}s13{CD}c1{ED}Carte 1{F}");
    const std::string text = Log(1, "{SS}R{PS}1{SV}s12{CD}c1{D1A}4970101234567891{F}");
    EXPECT_NE(text.find("(POS) {SS}R{PS}1{SV}s13{CD}c1{ED}Carte 1{F}"), std::string::npos) << text;
    EXPECT_NE(text.find("(POS) {SS}R{PS}1{SV}s12{CD}c1{D1A}----------------{F}"), std::string::npos) << text;
    TraceCapture capture;
    WSysError("** INFO. ** station 1 serveur 11 {D1J}1");
    EXPECT_TRUE(capture.Contains("station 1 serveur 11 {D1J}1")) << capture.lines().back();
}

TEST_F(TraceFrontTest, CardValuesOfAMessageAreMaskedEvenWhenTheTableIsFull) {
    for (int i = 0; i < 2 * kWSysMaskValuesPerSlot; ++i)
        Log(0, "{DISP_TEXT}Code " + std::to_string(800000 + i) + "{F}");
    // Display digits, two card numbers and two tracks in one message, each
    // repeated under a tag that is not masked by itself.
    const std::string text = Log(
        1, "{ED}Code 31337{D1A}4970106789012345{D1J}4970106789012345"
           "{DATA_PAN}4970106789010000{D15}4970106789010000{DISP_TEXT}Carte 4970106789019999"
           "{D2F}4970106789017777D25121011234{D16}4970106789017777D25121011234"
           "{DATA_ISO2}4970106789016666=2512{D3E}4970106789016666=2512{F}");
    for (const char* clear : {"4970106789012345", "4970106789010000", "4970106789019999",
                              "4970106789017777", "4970106789016666"})
        EXPECT_EQ(text.find(clear), std::string::npos) << clear << " in " << text;
    // Short display digits change nothing.
    EXPECT_NE(text.find("{ED}Code 31337{D1A}"), std::string::npos) << text;
    EXPECT_NE(text.find("{D1J}497010------2345"), std::string::npos) << text;
    EXPECT_NE(text.find("{D16}497010------7777D2512101EEEE{DATA_ISO2}"), std::string::npos) << text;
}

TEST_F(TraceFrontTest, ManualEntryIsMaskedOnlyWhileActive) {
    TraceFrontBinding binding;
    binding.manualEntryActive = ManualEntry;
    TraceFrontBind(binding);
    EXPECT_NE(Log(1, "{EL}4970107890123456{F}").find("{EL}4970107890123456{F}"), std::string::npos);
    g_manualEntry = 1;
    const std::string text = Log(1, "{EL}5970107890123456{EE}3{EL}7{EL}61{F}");
    EXPECT_NE(text.find("{EE}3{EL}7{EL}6-{EL}5---------------{F}"), std::string::npos) << text;
}

// The value keyed by hand is masked and its entry moved to the end of the
// entry, in front of the end tag; without an end tag it is masked in place.
TEST_F(TraceFrontTest, ManualEntryValueMovesToTheEnd_Mended) {
    TraceFrontBinding binding;
    binding.manualEntryActive = ManualEntry;
    TraceFrontBind(binding);
    g_manualEntry = 1;
    EXPECT_NE(Log(1, "{SV}s0{EL}123456{CD}c1{F}").find("(POS) {SV}s0{CD}c1{EL}1-----{F}"), std::string::npos);
    EXPECT_NE(Log(1, "{SV}s0{EL}9{CD}c1{F}").find("(POS) {SV}s0{CD}c1{EL}9{F}"), std::string::npos);
    EXPECT_NE(Log(1, "{SV}s0{EL}123456{CD}c1").find("(POS) {SV}s0{EL}1-----{CD}c1"), std::string::npos);
    EXPECT_NE(Log(1, "{SV}s0{CD}c1{F}").find("(POS) {SV}s0{CD}c1{F}"), std::string::npos);
}

TEST_F(TraceFrontTest, OverLongMessageIsCutAtTheMessageSize) {
    const std::string message = "{SS}R{ED}" + std::string(20000, 'z');
    const std::string text = Log(1, message);
    const size_t header = text.find("{SS}");
    ASSERT_NE(header, std::string::npos);
    EXPECT_EQ(text.size() - header, static_cast<size_t>(TAG_MESSAGE_MAX_CHARS));
}

TEST_F(TraceFrontTest, FileReachingTheLimitBecomesTheBackup) {
    const std::string backup = dir_.file("ECHANGES_POS.BAK");
    {
        std::ofstream old(backup);
        old << "ANCIENNE SAUVEGARDE";
    }
    const std::string body(300, 'a');
    int entries = 0;
    while (Exists(pos_) || entries == 0) {
        LogExchange(1, body.c_str(), name_.c_str(), 1);
        ++entries;
        ASSERT_LT(entries, 10);
    }
    // Four entries of about 330 bytes: the fourth reaches 1024 bytes.
    EXPECT_EQ(entries, 4);
    const std::string saved = ReadFile(backup);
    EXPECT_EQ(saved.find("ANCIENNE"), std::string::npos);
    EXPECT_GE(saved.size(), 1024u);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\t'), 4);
    // The next entry starts a new file.
    LogExchange(1, "{SS}R{F}", name_.c_str(), 1);
    TraceFrontCloseExchangeLogs();
    EXPECT_NE(ReadFile(pos_).find("{SS}R{F}"), std::string::npos);
    EXPECT_EQ(ReadFile(backup), saved);
}

TEST_F(TraceFrontTest, FilesAreCreatedPrivateToTheUser) {
    const mode_t previous = umask(0);
    LogExchange(0, "{SS}A{F}", name_.c_str(), 10);
    LogExchange(3, "{SS}A{F}", name_.c_str(), 10);
    TraceFrontCloseExchangeLogs();
    umask(previous);
    for (const std::string& path : {pos_, srv_}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
}

TEST_F(TraceFrontTest, StreamsOfTheBindingStayOpenUnlessClosedAfterEachWrite) {
    TraceFrontBinding binding;
    binding.exchangeLogSlot = Slot;
    binding.closeEachWrite = CloseEach;
    TraceFrontBind(binding);
    LogExchange(0, "{SS}A{F}", name_.c_str(), 10);
    LogExchange(2, "{SS}A{F}", name_.c_str(), 10);
    EXPECT_NE(g_slots[0], nullptr);
    EXPECT_NE(g_slots[1], nullptr);
    // Entries are flushed at once even while the stream stays open.
    EXPECT_NE(ReadFile(pos_).find("{SS}A{F}"), std::string::npos);
    g_closeEach = 1;
    LogExchange(1, "{SS}R{F}", name_.c_str(), 10);
    EXPECT_EQ(g_slots[0], nullptr);
    EXPECT_EQ(g_slots[1], nullptr);
    EXPECT_NE(ReadFile(pos_).find("(POS) {SS}R{F}"), std::string::npos);
}

TEST_F(TraceFrontTest, UnwritableFileIsSkippedSilently) {
    const std::string name = dir_.file("absent/ECHANGES.LOG");
    LogExchange(0, "{SS}A{F}", name.c_str(), 10);
    EXPECT_FALSE(Exists(dir_.file("absent")));
}

}  // namespace
