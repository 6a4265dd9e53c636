// Options files read through a real session on a copy of the example tree:
// every key's conversion, default and range, the kept values, the forced
// values, the values written back and the logger levels.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"
#include "support/config_tree.h"
#include "support/session_tree.h"
#include "support/signed_file.h"
#include "support/trace_capture.h"
#include "support/trv_process.h"

namespace {

using testsupport::ReadFileText;

// 1 when the file's signature record matches its content.
int SignatureOf(const std::string& path) {
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    int result = -9;
    if (FILE_OpenReadClose(file) > 0) result = FILE_GetRecordSignat(file);
    FILE_FreeFile(file);
    return result;
}

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree.ok());
        InitDefaultOptions();
        g_processOptions.station = testsupport::UniqueStation();
        testsupport::UseTreeForSession(tree.str());
        ASSERT_EQ(TOC_OpenSession(), 1);
    }
    void TearDown() override { ShutdownClient(); }

    // Writes "znpop" with these lines, CR LF and a valid signature record.
    void WriteZnpop(const std::vector<std::string>& lines) { WriteFile(znpop(), lines); }
    static void WriteFile(const std::string& path, const std::vector<std::string>& lines) {
        testsupport::WriteSignedFile(path, lines);
    }
    std::string znpop() const { return tree.file("WPAF/znpop_00.wt"); }

    testsupport::ConfigTree tree;
};

std::string Num(long v) { return std::to_string(v); }

// One row per key and file text, from the table of keys: the value expected
// after a load of a file holding only that line (nullptr text: key absent).
struct KeyCase {
    const char* key;
    const char* text;
    std::function<std::string()> value;
    std::string expected;
};

}  // namespace

TEST_F(OptionsTest, EveryKeyWithItsConversionDefaultAndRange) {
    OptionValues& o = Options;
    const std::string fortyL(40, 'L');
    const std::vector<KeyCase> cases = {
        {"PosGuiOptions", "4C", [&] { return Num(o.PosGuiOptions); }, "76"},
        {"PosGuiOptions", nullptr, [&] { return Num(o.PosGuiOptions); }, "0"},
        {"PosTicketMode", "1", [&] { return Num(o.PosTicketMode); }, "1"},
        {"PosTicketMode", nullptr, [&] { return Num(o.PosTicketMode); }, "3"},
        {"SpecialMenu", "1", [&] { return Num(o.SpecialMenu); }, "1"},
        {"SpecialMenu", "2", [&] { return Num(o.SpecialMenu); }, "0"},
        {"OfflinePaymentType", nullptr, [&] { return Num(o.OfflinePaymentType); }, "10"},
        {"OfflineTotalTrs", nullptr, [&] { return Num(o.OfflineTotalTrs); }, "-1"},
        {"OfflineTotalAmount", "  -25xyz", [&] { return Num(o.OfflineTotalAmount); }, "-25"},
        {"NumericalCurrency", "-1", [&] { return Num(o.NumericalCurrency); }, "978"},
        {"NumericalCurrency", "840", [&] { return Num(o.NumericalCurrency); }, "840"},
        {"CurrencyDecimalPosition", "0", [&] { return Num(o.CurrencyDecimalPosition); }, "0"},
        {"AlphabeticalCurrency", "USDOLLAR", [&] { return std::string(o.AlphabeticalCurrency); }, "USD"},
        {"AlphabeticalCurrency", nullptr, [&] { return std::string(o.AlphabeticalCurrency); }, "EUR"},
        {"OfflineTicket", nullptr, [&] { return Num(o.OfflineTicket); }, "7"},
        {"OfflineTimeout", "-5", [&] { return Num(o.OfflineTimeout); }, "0"},
        {"OfflineMsgDisplayTime", "abc", [&] { return Num(o.OfflineMsgDisplayTime); }, "2000"},
        {"OfflineMsgDisplayTime", "1500", [&] { return Num(o.OfflineMsgDisplayTime); }, "1500"},
        {"OfflineMaxAmount", "0", [&] { return Num(o.OfflineMaxAmount); }, "50000"},
        {"OfflineMaxAmount", "12000", [&] { return Num(o.OfflineMaxAmount); }, "12000"},
        {"OfflineCTLSMaxAmount", "0", [&] { return Num(o.OfflineCTLSMaxAmount); }, "3000"},
        {"Enseigne", "MAGASIN", [&] { return std::string(o.Enseigne); }, "MAGASIN"},
        {"UploadTime", "1230", [&] { return std::string(o.UploadTime); }, ""},
        {"UploadTime", "123045", [&] { return std::string(o.UploadTime); }, "123045"},
        {"UploadTime", "126045", [&] { return std::string(o.UploadTime); }, ""},
        {"UploadDate", "20240230", [&] { return std::string(o.UploadDate); }, ""},
        {"UploadDate", "20240229", [&] { return std::string(o.UploadDate); }, "20240229"},
        {"AbortOnPinPad", nullptr, [&] { return Num(o.AbortOnPinPad); }, "1"},
        {"DetectionTimeout", "0", [&] { return Num(o.DetectionTimeout); }, "30000"},
        {"DetectionTimeout", "500", [&] { return Num(o.DetectionTimeout); }, "500"},
        {"RemovalTimeout", "-3", [&] { return Num(o.RemovalTimeout); }, "30000"},
        {"CardRemovalMode", "0", [&] { return Num(o.CardRemovalMode); }, "0"},
        {"CardRemovalMode", "7", [&] { return Num(o.CardRemovalMode); }, "1"},
        {"IsoReadMode", "2", [&] { return Num(o.IsoReadMode); }, "2"},
        {"IsoReadMode", "3", [&] { return Num(o.IsoReadMode); }, "0"},
        {"Iso2ControlLevel", "300", [&] { return Num(o.Iso2ControlLevel); }, "44"},
        {"Iso2ControlLevel", "200", [&] { return Num(o.Iso2ControlLevel); }, "-56"},
        {"Iso2ControlLevel", nullptr, [&] { return Num(o.Iso2ControlLevel); }, "3"},
        {"Iso2MaximalTries", "-1", [&] { return Num(o.Iso2MaximalTries); }, "0"},
        {"SafeReset", "4", [&] { return Num(o.SafeReset); }, "4"},
        {"TicketValidationTimeout", nullptr, [&] { return Num(o.TicketValidationTimeout); }, "10000"},
        {"CardPrintingFormat", "%A %B", [&] { return std::string(o.CardPrintingFormat ? o.CardPrintingFormat : "(null)"); }, "%A %B"},
        {"CardPrintingFormat", nullptr, [&] { return std::string(o.CardPrintingFormat ? o.CardPrintingFormat : "(null)"); }, "(null)"},
        {"Beneficiaire", "SOCIETE", [&] { return std::string(o.Beneficiaire); }, "SOCIETE" + std::string(25, ' ')},
        {"Lieu", fortyL.c_str(), [&] { return std::string(o.Lieu); }, std::string(32, 'L')},
        {"Lieu", nullptr, [&] { return std::string(o.Lieu); }, std::string(32, ' ')},
        {"Cmc7Print", "0", [&] { return Num(o.Cmc7Print); }, "0"},
        {"Cmc7Print", nullptr, [&] { return Num(o.Cmc7Print); }, "1"},
        {"ConnectedMode", "1", [&] { return Num(o.ConnectedMode); }, "1"},
        {"IlotLabel", "ILOT 3", [&] { return std::string(o.IlotLabel); }, "ILOT 3"},
        {"AddPosNumber", "2", [&] { return Num(o.AddPosNumber); }, "0"},
        {"ServerIdentifierOffset", "-4", [&] { return Num(o.ServerIdentifierOffset); }, "0"},
        {"ClsVersion", "2", [&] { return Num(o.ClsVersion); }, "2"},
        {"TransactionNumber", "0", [&] { return std::string(o.TransactionNumber); }, "000"},
        {"TransactionNumber", "00042", [&] { return std::string(o.TransactionNumber); }, "00042"},
        {"NumTrsMonCaisse", "0000", [&] { return std::string(o.NumTrsMonCaisse); }, ""},
        {"NumTrsMonCaisse", "0012", [&] { return std::string(o.NumTrsMonCaisse); }, "0012"},
        {"MandatoryAmount", "1", [&] { return Num(o.MandatoryAmount); }, "1"},
        {"ActivateFIRAI", "300", [&] { return Num(o.ActivateFIRAI); }, "44"},
        {"ActivateFIRAI", "-1", [&] { return Num(o.ActivateFIRAI); }, "0"},
        {"AskCardInsertAfterReboot", nullptr, [&] { return Num(o.AskCardInsertAfterReboot); }, "1"},
        {"DirectServerConnection", "2", [&] { return Num(o.DirectServerConnection); }, "0"},
        {"DirectServerConnection", "1", [&] { return Num(o.DirectServerConnection); }, "1"},
        {"ShutdownTerminalWhenTransactionCompleted", "1", [&] { return Num(o.ShutdownTerminalWhenTransactionCompleted); }, "1"},
        {"OfflineModeInhibitAbort", "3", [&] { return Num(o.OfflineModeInhibitAbort); }, "0"},
        {"NetResourceIndexToUse", "998", [&] { return Num(o.NetResourceIndexToUse); }, "998"},
        {"NetResourceIndexToUse", "999", [&] { return Num(o.NetResourceIndexToUse); }, "0"},
        {"NetResourceIndexToUse", "-1", [&] { return Num(o.NetResourceIndexToUse); }, "0"},
        {"IsServerCompatibleV2", "2", [&] { return Num(o.IsServerCompatibleV2); }, "1"},
        {"IsServerCompatibleV2", "0", [&] { return Num(o.IsServerCompatibleV2); }, "0"},
        {"LastPOSNumberUsed", "12", [&] { return std::string(o.LastPOSNumberUsed); }, "12"},
        {"PhysicalFileNameSearchCalculation", "5", [&] { return Num(o.PhysicalFileNameSearchCalculation); }, "1"},
        {"OfflineTroncatePANLevel", "-2", [&] { return Num(o.OfflineTroncatePANLevel); }, "0"},
        {"OfflineFlashInfoBehavior", "n", [&] { return std::string(1, o.OfflineFlashInfoBehavior); }, "N"},
        {"OfflineFlashInfoBehavior", "X", [&] { return std::string(1, o.OfflineFlashInfoBehavior); }, "B"},
        {"OfflineTransactionNumber", "042999", [&] { return std::string(o.OfflineTransactionNumber); }, "042"},
        {"ActivateMuteCardRemovalEnd", "3", [&] { return Num(o.ActivateMuteCardRemovalEnd); }, "0"},
        {"ActivateMuteCardRemovalEnd", "2", [&] { return Num(o.ActivateMuteCardRemovalEnd); }, "2"},
        {"ActivateInteroper", "257", [&] { return Num(o.ActivateInteroper); }, "1"},
        {"ActivateInteroper", "2", [&] { return Num(o.ActivateInteroper); }, "0"},
        {"TrsUploadNbRetryOnFail", "100", [&] { return Num(o.TrsUploadNbRetryOnFail); }, "0"},
        {"TrsUploadNbRetryOnFail", "99", [&] { return Num(o.TrsUploadNbRetryOnFail); }, "99"},
        {"OfflineTDenial", nullptr, [&] { return std::string(o.OfflineTDenial); }, "DC70B80000"},
        {"OfflineTDenial", "0000000000", [&] { return std::string(o.OfflineTDenial); }, "0000000000"},
        {"SimulCardDetection", "1", [&] { return Num(o.SimulCardDetection); }, "1"},
    };
    for (const KeyCase& c : cases) {
        std::vector<std::string> lines;
        if (c.text != nullptr) lines.push_back(std::string("[") + c.key + ":" + c.text + "]");
        WriteZnpop(lines);
        ASSERT_EQ(TOC_LoadOptions(), 0);
        EXPECT_EQ(c.value(), c.expected) << c.key << " = " << (c.text ? c.text : "(absent)");
    }
}

TEST_F(OptionsTest, ParamFileLanguageAndCountry) {
    const struct {
        std::vector<std::string> lines;
        int language, country;
    } cases[] = {
        {{"[NumericalLanguage:40]", "[CountryCode:56]"}, 250, 56},
        {{"[NumericalLanguage:826]"}, 826, 250},
        {{}, 250, 250},
    };
    for (const auto& c : cases) {
        WriteFile(tree.file("WPAF/param_00.wt"), c.lines);
        ASSERT_EQ(TOC_LoadOptions(), 0);
        EXPECT_EQ(Options.NumericalLanguage, c.language);
        EXPECT_EQ(Options.CountryCode, c.country);
    }
}

TEST_F(OptionsTest, ReloadResetsDefaultsAndKeepsKeptValues) {
    WriteZnpop({"[DetectionTimeout:500]", "[LogSize:64]", "[ClsOnly:1]", "[RangePOSForbidden:5-9]",
                "[TradingNameSpecificBehavior:ENSEIGNE]", "[CleanTicket:5,7]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(Options.LogSize, 64);
    EXPECT_EQ(GetEftContext()->logSizeKb, 64);
    EXPECT_EQ(Options.CleanTicket, 1);
    EXPECT_EQ(Options.CleanTicketBefore, 5);
    EXPECT_EQ(Options.CleanTicketCut, 7);

    WriteZnpop({"[CleanTicket:12]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(Options.DetectionTimeout, 30000);  // back to its default
    EXPECT_EQ(Options.LogSize, 64);              // kept
    EXPECT_EQ(Options.ClsOnly, 1);               // kept
    ASSERT_NE(Options.RangePOSForbidden, nullptr);
    EXPECT_STREQ(Options.RangePOSForbidden, "5-9");  // never reset
    EXPECT_STREQ(Options.TradingNameSpecificBehavior, "ENSEIGNE");
    EXPECT_EQ(Options.CleanTicket, 12);  // the two numbers stay as they were
    EXPECT_EQ(Options.CleanTicketBefore, 5);
    EXPECT_EQ(Options.CleanTicketCut, 7);

    WriteZnpop({"[CleanTicket:1]", "[RangePOSForbidden:1-2]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(Options.CleanTicket, 1);
    EXPECT_EQ(Options.CleanTicketBefore, 0);
    EXPECT_STREQ(Options.RangePOSForbidden, "1-2");
}

TEST_F(OptionsTest, DonationVersion2ForcesDirectServerConnectionOncePerLoad) {
    WriteZnpop({"[DonationVersion:2]", "[DirectServerConnection:0]"});
    for (int load = 0; load < 2; ++load) {
        testsupport::TraceCapture capture;
        ASSERT_EQ(TOC_LoadOptions(), 0);
        EXPECT_EQ(Options.DirectServerConnection, 1);
        int warnings = 0;
        for (const std::string& line : capture.lines())
            if (line.find("<< WARN. >>") != std::string::npos &&
                line.find("[LOAD]") != std::string::npos &&
                line.find("Forcage Direct Serveur connexion a 1 car Donation v2") != std::string::npos)
                ++warnings;
        EXPECT_EQ(warnings, 1);
    }
}

TEST_F(OptionsTest, MissingOfflineTransactionNumberIsWrittenBackSigned) {
    WriteZnpop({"[ConnectedMode:1]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_STREQ(Options.OfflineTransactionNumber, "001");
    const std::string text = ReadFileText(znpop());
    EXPECT_NE(text.find("[ConnectedMode:1]\r\n"), std::string::npos);
    EXPECT_NE(text.find("[OfflineTransactionNumber:001]\r\n"), std::string::npos);
    EXPECT_EQ(SignatureOf(znpop()), 1);
}

TEST_F(OptionsTest, WriteOptionIsReadBackByTheNextLoad) {
    WriteZnpop({"[NetResourceIndexToUse:3]", "[Enseigne:A]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(WriteOption("NetResourceIndexToUse", "5"), 1);
    EXPECT_EQ(WriteOption("NumTrsMonCaisse", "0007"), 1);
    EXPECT_EQ(SignatureOf(znpop()), 1);
    ASSERT_EQ(TOC_LoadOptions(), 0);
    EXPECT_EQ(Options.NetResourceIndexToUse, 5);
    EXPECT_STREQ(Options.NumTrsMonCaisse, "0007");
    EXPECT_STREQ(Options.Enseigne, "A");
}

TEST_F(OptionsTest, OverLongFixedTextsAreRefusedWithATrace) {
    const struct {
        const char* key;
        size_t area;  // characters the field holds
        std::function<std::string()> value;
    } cases[] = {
        {"TransactionNumber", 5, [] { return std::string(Options.TransactionNumber); }},
        {"NumTrsMonCaisse", 4, [] { return std::string(Options.NumTrsMonCaisse); }},
        {"LastPOSNumberUsed", 7, [] { return std::string(Options.LastPOSNumberUsed); }},
        {"DeactivateCardRemovalFor", 200, [] { return std::string(Options.DeactivateCardRemovalFor); }},
        {"IdleBehaviour", 10240, [] { return std::string(Options.IdleBehaviour); }},
        {"ThirdServerIlotLabel", 60, [] { return std::string(Options.ThirdServerIlotLabel); }},
        {"IlotLabel", 60, [] { return std::string(Options.IlotLabel); }},
        {"Enseigne", 60, [] { return std::string(Options.Enseigne); }},
    };
    for (const auto& c : cases) {
        const std::string fits(c.area, '1');
        WriteZnpop({std::string("[") + c.key + ":" + fits + "]"});
        ASSERT_EQ(TOC_LoadOptions(), 0);
        EXPECT_EQ(c.value(), fits) << c.key;

        const std::string tooLong(c.area + 1, '2');
        WriteZnpop({std::string("[") + c.key + ":" + tooLong + "]"});
        testsupport::TraceCapture capture;
        ASSERT_EQ(TOC_LoadOptions(), 0);
        EXPECT_NE(c.value(), tooLong) << c.key;
        EXPECT_LE(c.value().size(), c.area) << c.key;
        EXPECT_TRUE(capture.Contains(std::string("Option ") + c.key + " trop longue")) << c.key;
    }
}

TEST_F(OptionsTest, LoggerLevelsFromTheOptionsFile) {
    WriteZnpop({"[LogLevel:WARN]", "[LogLoggers:openssl;second]", "[LogLevel-openssl:ERROR]"});
    ASSERT_EQ(TOC_LoadOptions(), 0);
    WSysLoggerLevels* levels = WSysProcessLoggerLevels();
    ASSERT_NE(levels, nullptr);
    EXPECT_EQ(levels->at("openssl"), WLOG_ERROR);
    EXPECT_EQ(levels->at("second"), WLOG_UNKNOWN);
    EXPECT_EQ(levels->at("wsyserror"), WLOG_WARN);
}

TEST_F(OptionsTest, UnreadableParamFileReturns1AndKeepsZnpopValues) {
    WriteZnpop({"[ConnectedMode:1]"});
    std::filesystem::remove(tree.file("WPAF/param_00.wt"));
    std::filesystem::create_directory(tree.file("WPAF/param_00.wt"));  // cannot be read nor made
    EXPECT_EQ(TOC_LoadOptions(), 1);
    EXPECT_EQ(Options.ConnectedMode, 1);
}

// The session fails with -7 when the options cannot be read; without its
// display texts it goes on (below).
TEST(SessionOpening, UnusableOptionsFilesFailTheSession) {
    const struct {
        const char* removed;
        int expected;
    } cases[] = {{"WPAF", -7}, {nullptr, 1}};
    for (const auto& c : cases) {
        testsupport::ConfigTree tree;
        ASSERT_TRUE(tree.ok());
        if (c.removed != nullptr) std::filesystem::remove_all(tree.file(c.removed));
        InitDefaultOptions();
        g_processOptions.station = testsupport::UniqueStation();
        testsupport::UseTreeForSession(tree.str());
        EXPECT_EQ(TOC_OpenSession(), c.expected) << (c.removed ? c.removed : "(all there)");
        ShutdownClient();
    }
}

// Without its text directory the station opens with degraded texts: a
// warning in the trace, and text ids shown where the texts would be.
TEST(SessionOpening, MissingTextDirectoryLeavesTheStationRunning_Mended) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    std::filesystem::remove_all(tree.file("WTXT"));
    InitDefaultOptions();
    g_processOptions.station = testsupport::UniqueStation();
    testsupport::UseTreeForSession(tree.str());
    testsupport::TraceCapture trace;
    ASSERT_EQ(TOC_OpenSession(), 1);
    EXPECT_TRUE(trace.Contains("Textes d'affichage indisponibles"));
    char title[64] = "";
    EXPECT_EQ(TOC_GetPosmTexts("ZNP_DSP_TITLE_DEBIT", title, nullptr, nullptr, sizeof title), -1);
    CSIBox* box = GetEftContext()->box;
    ASSERT_EQ(KTS_AddWindow(box, "V5", 2, 40), 1);
    EXPECT_EQ(TOC_DisplayById("V5", "ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN"), 0);
    const KT_TEXT_WINDOW* window = KTS_GetWindow(box, "V5");
    ASSERT_NE(window, nullptr);
    const char* second = TWI_GetLine(window, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second, 31), "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN");
    ShutdownClient();
}

// A missing options file in an existing directory is created holding only a
// signature record: the defaults apply and "001" is written into it.
TEST(SessionOpening, MissingOptionsFileIsCreatedWithDefaults) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    std::filesystem::remove(tree.file("WPAF/znpop_00.wt"));
    InitDefaultOptions();
    g_processOptions.station = testsupport::UniqueStation();
    testsupport::UseTreeForSession(tree.str());
    ASSERT_EQ(TOC_OpenSession(), 1);
    EXPECT_EQ(Options.DetectionTimeout, 30000);
    EXPECT_NE(ReadFileText(tree.file("WPAF/znpop_00.wt")).find("[OfflineTransactionNumber:001]"),
              std::string::npos);
    ShutdownClient();
}
