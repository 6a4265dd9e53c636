// Library log: line format, level and module, file names by POS number or
// instance id, rotation, folding of the polling lines, masking, directory of
// the log file name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

using znpdll::DllLogger;

class LibraryLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        DllLogger::Get().Reset();
        DllLogger::Get().SetDirectory(dir.str());
    }
    void TearDown() override { DllLogger::Get().Reset(); }
    std::string File(const std::string& name) { return testsupport::ReadFileText(dir.file(name)); }

    testsupport::TempDir dir;
};

TEST_F(LibraryLogTest, NothingIsWrittenBeforeTheLogIsEnabled) {
    DllLogger::Get().Log(5, "-- ERROR -- |DLLSND| Mutex non obtenu");
    EXPECT_FALSE(std::ifstream(dir.file("ZNP_DLL_x_5.LOG")).good());
    DllLogger::Get().SetEnabled(1);
    DllLogger::Get().Log(5, "-- ERROR -- |DLLSND| Mutex non obtenu");
    EXPECT_TRUE(std::ifstream(dir.file("ZNP_DLL_x_5.LOG")).good());
}

TEST_F(LibraryLogTest, BodyTable) {
    struct Case {
        const char* message;
        const char* body;
    };
    const Case cases[] = {
        {"-- ERROR -- |DLLSND| Mutex non obtenu", "ERROR - DLLSND - Mutex non obtenu"},
        {"_SZelApiClose_", " -  - _SZelApiClose_"},
        {"** INFO ** |DLLSND| ERROR in text", "ERROR - DLLSND - ERROR in text"},
        {"** INFO **  |DLLWAI| Aucun message recu", "INFO - DLLWAI - Aucun message recu"},
        {">> WARNING << |TAGGET|Etiquette", "WARNING - TAGGET - Etiquette"},
        {"!! FATAL !! |X| a | b |", "FATAL - X - a | b |"},
        {"one | bar only", " -  - one | bar only"},
    };
    for (const Case& c : cases) EXPECT_EQ(znpdll::FormatBody(c.message), c.body) << c.message;
}

TEST_F(LibraryLogTest, MaskingTable) {
    struct Case {
        const char* text;
        const char* masked;
    };
    const Case cases[] = {
        {"{D2F}1234{SV}s0", "{D2F}####{SV}s0"},
        {"Ajoute {D1A} / [4970]", "Ajoute {D1A}#########"},
        {"{TC3}ab{CSGPO}cd{CSRED}e{CSALL}f{D6J}g{D3L}h{D3L1}i{D3L2}j{D3Y}k{F}",
         "{TC3}##{CSGPO}##{CSRED}#{CSALL}#{D6J}#{D3L}#{D3L1}#{D3L2}#{D3Y}#{F}"},
        {"{x{D1A}99{D1}99", "{x{D1A}##{D1}99"},
        {"{D1AB}12{D3}12", "{D1AB}12{D3}12"},
        {"no tags }{ at all", "no tags }{ at all"},
    };
    for (const Case& c : cases) EXPECT_EQ(znpdll::MaskTagValues(c.text), c.masked) << c.text;
}

// The codes the program's dictionary marks sensitive, and card numbers in any
// field found by the Luhn check.
TEST_F(LibraryLogTest, MaskingFollowsTheProgramsRules_Mended) {
    struct Case {
        const char* text;
        const char* masked;
    };
    const Case cases[] = {
        {"{DATA_PAN}4970201111111117{SV}s0", "{DATA_PAN}################{SV}s0"},
        {"{DATA_ISO2}4970202222222225D2512{F}", "{DATA_ISO2}#####################{F}"},
        {"{PRN_TEXT}CARTE{CARD_VISCRYPT}123{DA8}4567{F}", "{PRN_TEXT}#####{CARD_VISCRYPT}###{DA8}####{F}"},
        {"{ED}Carte 4970 2033 3333 3333{DISP_TEXT}Carte 1{F}", "{ED}Carte 4970 20## #### 3333{DISP_TEXT}Carte 1{F}"},
        {"{E6}4970301111111118{LTY}4970302222222224{D7V}x4970303333333330{d1a}4970304444444446",
         "{E6}497030######1118{LTY}497030######2224{D7V}x497030######3330{d1a}497030######4446"},
        // A card number copied into an ordinary field of the same line.
        {"{D1A}4970101111111119{E7}4970101111111119", "{D1A}################{E7}497010######1119"},
        {"{PS}1{RS}00 2024010112304", "{PS}1{RS}00 2024010112304"},
    };
    for (const Case& c : cases) EXPECT_EQ(znpdll::MaskTagValues(c.text), c.masked) << c.text;
}

// Through the exports, as a cash register uses them with logging on: no card
// value of the request or of the program's answer reaches the log in clear.
TEST_F(LibraryLogTest, NoClearCardValueInTheLogOfARequestCycle_Mended) {
    const struct {
        const char* code;
        const char* value;
        const char* clear;
    } secrets[] = {
        {"D1A", "4970101111111119F", "4970101111111119"},
        {"D2F", "B4970102222222228D25121011234567890F", "4970102222222228"},
        {"D6J", "B4970103333333337^DUPONT/JEAN^2512", "4970103333333337"},
        {"D3L", "TICKET 4970104444444446", "4970104444444446"},
        {"D3Y", "CVV731946", "731946"},
        {"DATA_PAN", "4970201111111117", "4970201111111117"},
        {"DATA_ISO2", "4970202222222225D2512101999", "4970202222222225"},
        {"ED", "Carte 4970203333333333", "4970203333333333"},
        {"DISP_TEXT", "4970204444444441", "4970204444444441"},
        {"PRN_TEXT", "TICKET 4970205555555558", "4970205555555558"},
        {"CARD_VISCRYPT", "CVC482913", "482913"},
        {"DA8", "PIVOT99887766", "99887766"},
        {"E6", "4970301111111118", "4970301111111118"},
        {"LTY", "4970302222222224", "4970302222222224"},
        {"D7V", "ilot 4970303333333330", "4970303333333330"},
        {"d1a", "4970304444444446", "4970304444444446"},
    };
    const uint32_t pos = testsupport::UniquePosNumber();
    uint32_t id = 0;
    ASSERT_EQ(clienttest::OpenOnStub(pos, &id, dir.str()), 0);
    clienttest::ProgramSide side(pos);
    std::string answer = "{SS}A{PS}1{SV}s0{CD}c1{RS}00";
    for (const auto& s : secrets) answer += std::string("{") + s.code + "}" + s.value;
    answer += "{F}";
    clienttest::Responder program(side, [&](const std::string&) -> std::vector<std::string> {
        return {"0", answer};
    });

    static char message[10241];
    ASSERT_EQ(ATAG_WriteInitForInstance(id, message, sizeof message), 1);
    ATAG_SetStringValForInstance(id, "SV", "s0");
    ATAG_SetStringValForInstance(id, "CD", "c1");
    for (const auto& s : secrets) EXPECT_EQ(ATAG_SetStringValForInstance(id, s.code, s.value), 1) << s.code;
    uint32_t cap = sizeof message;
    ASSERT_EQ(SZelApiSendMessage(id, "s0", message, &cap), 0);
    int waited = 7;
    for (int i = 0; i < 200 && waited == 7; ++i) waited = SZelApiWaitSynchro(id, 50);
    ASSERT_EQ(waited, 0);
    static char received[10241];
    char service[4] = "";
    cap = sizeof received;
    ASSERT_EQ(SZelApiGetMessage(id, service, received, &cap), 0);
    ASSERT_EQ(ATAG_ReadInitForInstance(id, received, cap + 1), 1);
    static char value[10241];
    for (const auto& s : secrets) {
        EXPECT_EQ(ATAG_GetStringValForInstance(id, s.code, value, 1), 1) << s.code;
        EXPECT_STREQ(value, s.value);
    }
    program.Stop();
    EXPECT_EQ(SZelApiClose(id, 0), 0);

    const std::string log = File("ZNP_DLL_" + std::to_string(pos) + ".LOG");
    ASSERT_NE(log.find("A emettre"), std::string::npos);
    for (const auto& s : secrets) EXPECT_EQ(log.find(s.clear), std::string::npos) << s.code << "\n" << log;
}

TEST_F(LibraryLogTest, LogDirectoryTable) {
    struct Case {
        const char* name;
        const char* dir;
    };
    const Case cases[] = {
        {"/var/log/znp/ECHANGES.LOG", "/var/log/znp"}, {"logs/ECHANGES.LOG", "logs"}, {"ECHANGES.LOG", "."},
        {"/ECHANGES.LOG", "/"},                        {"", "."},
    };
    for (const Case& c : cases) EXPECT_EQ(znpdll::LogDirectoryOf(c.name), c.dir) << c.name;
    EXPECT_EQ(znpdll::LogDirectoryOf(nullptr), ".");
}

// A line of instance 3 goes to the file of the POS number it was opened for,
// in the exact format.
TEST_F(LibraryLogTest, LineFormatInThePosFile) {
    uint32_t ids[3] = {};
    uint32_t pos[3] = {};
    for (int i = 0; i < 3; ++i) {
        pos[i] = testsupport::UniquePosNumber();
        ASSERT_EQ(clienttest::OpenOnStub(pos[i], &ids[i], dir.str()), 0);
    }
    ASSERT_EQ(ids[2], 3u);
    DllLogger::Get().Log(3, "-- ERROR -- |DLLSND| Mutex non obtenu");
    const std::string log = File("ZNP_DLL_" + std::to_string(pos[2]) + ".LOG");
    ASSERT_FALSE(log.empty());
    // Each entry begins with CR LF; the file does not end with one.
    EXPECT_EQ(log.substr(0, 2), "\r\n");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), std::count(log.begin(), log.end(), '\r'));
    for (size_t nl = log.find('\n'); nl != std::string::npos; nl = log.find('\n', nl + 1))
        ASSERT_EQ(log[nl - 1], '\r') << nl;
    EXPECT_NE(log.back(), '\n');
    const size_t last = log.rfind('\n');
    const std::string line = log.substr(last + 1);
    const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - (\d+) - 3 - ERROR - DLLSND - Mutex non obtenu)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    EXPECT_EQ(m[1].str(), std::to_string(gettid()));
    EXPECT_NE(log.find(" - 3 - INFO - UTIMEM - Creee ("), std::string::npos);
    EXPECT_EQ(File("ZNP_DLL_" + std::to_string(pos[0]) + ".LOG").find("Mutex"), std::string::npos);
    for (uint32_t id : ids) EXPECT_EQ(SZelApiClose(id, 0), 0);
    // The opening names the new instance by its address in upper-case
    // hexadecimal, without prefix.
    const std::string log0 = File("ZNP_DLL_x_0.LOG");
    const std::regex created(R"(\r\n[^\r]* - 0 -  -  - newInstance ([0-9A-F]+)\r\n)");
    std::smatch c;
    ASSERT_TRUE(std::regex_search(log0, c, created)) << log0;
    EXPECT_GE(c[1].str().size(), 6u);
}

TEST_F(LibraryLogTest, PollingLinesFoldIntoDots) {
    DllLogger& log = DllLogger::Get();
    log.SetEnabled(1);
    for (int i = 0; i < 4; ++i) {
        log.Log(7, "_SZelApiWaitSynchro_");
        log.Logf(7, "** INFO **  |DLLWAI| Aucun message recu (Delai = %ld)", 10L + i);
    }
    log.Log(7, "** INFO ** |DLLSND| other");
    log.Log(7, "_SZelApiWaitSynchro_");
    const std::string text = File("ZNP_DLL_x_7.LOG");
    // First entry and first "no message" in full, then six dots on that line.
    std::vector<std::string> lines;
    size_t start = 2;
    for (size_t nl; (nl = text.find("\r\n", start)) != std::string::npos; start = nl + 2)
        lines.push_back(text.substr(start, nl - start));
    lines.push_back(text.substr(start));
    ASSERT_EQ(lines.size(), 4u) << text;
    EXPECT_NE(lines[0].find(" -  - _SZelApiWaitSynchro_"), std::string::npos);
    EXPECT_TRUE(lines[1].ends_with("INFO - DLLWAI - Aucun message recu (Delai = 10)......")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with("INFO - DLLSND - other"));
    EXPECT_TRUE(lines[3].ends_with("_SZelApiWaitSynchro_"));
}

TEST_F(LibraryLogTest, RotationToTheBackupFile) {
    uint32_t id = 0;
    const uint32_t pos = testsupport::UniquePosNumber();
    const std::string name = "ZNP_DLL_" + std::to_string(pos);
    ASSERT_EQ(clienttest::OpenOnStub(pos, &id, dir.str()), 0);
    const std::string logPath = dir.file(name + ".LOG");
    const std::string backupPath = dir.file(name + ".LOB");
    {
        std::ofstream(backupPath) << "old backup";
        std::ofstream full(logPath, std::ios::trunc);
        full << std::string(4194304 - 1, 'a');
    }
    DllLogger::Get().Log(id, "** INFO ** |DLLSND| just below the limit");
    EXPECT_EQ(File(name + ".LOB"), "old backup");
    DllLogger::Get().Log(id, "** INFO ** |DLLSND| first line of the new file");
    const std::string backup = File(name + ".LOB");
    EXPECT_GT(backup.size(), 4194304u);
    EXPECT_EQ(backup.substr(0, 4), "aaaa");
    EXPECT_NE(backup.find("just below the limit"), std::string::npos);
    const std::string fresh = File(name + ".LOG");
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), '\n'), 1);
    EXPECT_NE(fresh.find("first line of the new file"), std::string::npos);
    EXPECT_EQ(SZelApiClose(id, 0), 0);

    // A file named after the instance id has no backup: it starts again.
    DllLogger::Get().SetMaxSizeKb(1);
    std::ofstream(dir.file("ZNP_DLL_x_9.LOG")) << std::string(1024, 'b');
    DllLogger::Get().Log(9, "** INFO ** |DLLSND| restart");
    const std::string restarted = File("ZNP_DLL_x_9.LOG");
    EXPECT_EQ(restarted.find('b'), std::string::npos);
    EXPECT_NE(restarted.find("restart"), std::string::npos);
}

// A message of 10238 characters with braces and bars everywhere logs whole.
TEST_F(LibraryLogTest, LongMessagesLogWhole) {
    DllLogger::Get().SetEnabled(1);
    std::string message = "** INFO ** |DIAWRI| Emis: 1";
    while (message.size() < 10238) message += "{AB}|x|";
    message.resize(10238);
    DllLogger::Get().Log(4, message);
    const std::string text = File("ZNP_DLL_x_4.LOG");
    EXPECT_NE(text.find(message.substr(21)), std::string::npos);
}

}  // namespace
