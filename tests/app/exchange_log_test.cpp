// The exchange log of a running trv_71: what the cash register sends and what
// the program answers lands in the POS file named from -f, and no card value
// sent through the POS link ever reaches a file under the main path in clear.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/signed_file.h"
#include "support/trv_process.h"

using testsupport::ConfigTree;
using testsupport::PosPeer;
using testsupport::TrvProcess;

namespace {

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

// Rewrites the options of the tree with its log options replaced by these
// lines, signed as the program expects.
void SetLogOptions(const ConfigTree& tree, const std::vector<std::string>& logLines) {
    const std::string path = tree.file("WPAF/znpop_00.wt");
    std::istringstream in(ReadFile(path));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("[Log", 0) == 0 || line.rfind("{", 0) == 0) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    lines.insert(lines.end(), logLines.begin(), logLines.end());
    testsupport::WriteSignedFile(path, lines);
}

// Runs the program on a fresh station with the arguments given, then stops
// it through the POS link.
struct Station {
    ConfigTree dir;
    const ConfigTree* tree;  // the tree the program runs on (dir unless given)
    int station = testsupport::UniqueStation();
    TrvProcess trv;
    PosPeer peer;

    explicit Station(std::vector<std::string> args, const std::vector<std::string>& logOptions = {},
                     const ConfigTree* given = nullptr)
        : tree(given != nullptr ? given : &dir), trv(*tree, "trv_71_xlog_" + std::to_string(station)) {
        EXPECT_TRUE(tree->ok());
        if (!logOptions.empty()) SetLogOptions(*tree, logOptions);
        args.push_back("-i" + std::to_string(station));
        args.push_back("-p" + tree->str());
        trv.Start(args);
        EXPECT_TRUE(peer.Open(station));
    }
    int Stop() {
        peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}", 30000);
        return trv.Wait(30000);
    }
};

constexpr const char* kEntryStamp = R"(\n\[\d\d/\d\d\] \[\d\d:\d\d:\d\d,\d\d\d\]\t)";

std::string Escape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

TEST(ExchangeLog, RequestAndAnswerOfThePosLinkGoToThePosFileOfTheGivenName) {
    Station s({"-fJOURNAL.TXT"});
    const std::string request = "{SS}R{PS}1{SV}s12{CD}c25{F}";
    ASSERT_TRUE(s.peer.Send(request));
    ASSERT_EQ(s.peer.Receive(10000).value_or(""), "0");
    const std::string answer = s.peer.Receive(10000).value_or("");
    ASSERT_NE(answer.find("{RS}01"), std::string::npos) << answer;
    EXPECT_EQ(s.Stop(), 0);

    const std::string pos = s.dir.file("JOURNAL.POS");
    const std::string text = ReadFile(pos);
    const std::regex entries(std::string(kEntryStamp) + R"(\(POS\) )" + Escape(request) + kEntryStamp +
                             R"(\(ZNP\) 0)" + kEntryStamp + R"(\(ZNP\) )" + Escape(answer));
    EXPECT_TRUE(std::regex_search(text, entries)) << text;
    // The stop request is logged, then the closing line of hashes.
    EXPECT_NE(text.find("(POS) {SS}R{PS}1{SV}s3{CD}c99{F}"), std::string::npos);
    EXPECT_NE(text.find("(ZNP) " + std::string(80, '#') + "\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("JOURNAL.SRV")));
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("ECHANGES.POS")));
    struct stat st {};
    ASSERT_EQ(stat(pos.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ExchangeLog, DefaultNameAndNoEntryAtDebugLevelZero) {
    {
        Station s({});
        EXPECT_NE(s.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{F}").find("{RS}01"), std::string::npos);
        EXPECT_EQ(s.Stop(), 0);
        EXPECT_NE(ReadFile(s.dir.file("ECHANGES.POS")).find("(POS) {SS}R{PS}1{SV}s12{CD}c25{F}"),
                  std::string::npos);
    }
    Station s({"-d0"});
    EXPECT_NE(s.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{F}").find("{RS}01"), std::string::npos);
    EXPECT_EQ(s.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("ECHANGES.POS")));
}

// Every file under the main path, the program itself left out.
std::vector<std::filesystem::path> FilesUnder(const ConfigTree& dir, const std::string& program) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        if (entry.is_regular_file() && entry.path() != program) files.push_back(entry.path());
    return files;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

TEST(ExchangeLog, NoClearCardValueReachesAnyFileAtTheHighestLevels) {
    // Test card values, each one distinct so that a leak names its source.
    struct Secret {
        const char* code;
        const char* value;
        const char* clear;  // what must never be found
    } secrets[] = {
        {"D1A", "4970101111111119F", "4970101111111119"},
        {"D2F", "B4970102222222228D25121011234567890F", "4970102222222228"},
        {"D6J", "B4970103333333337^DUPONT/JEAN^25121011234", "4970103333333337"},
        {"D3L", "TICKET CARTE 4970104444444446 MONTANT", "4970104444444446"},
        {"D3L1", "TICKET CLIENT 4970105555555553", "4970105555555553"},
        {"D3L2", "TICKET COMMERCANT 4970106666666661", "4970106666666661"},
        {"D3Y", "CVV731946", "731946"},
        {"TC3", "EVT4970107777777778", "4970107777777778"},
        {"CSGPO", "GPO4970108888888885", "4970108888888885"},
        {"CSRED", "RED4970109999999992", "4970109999999992"},
        {"CSALL", "ALL4970100000000004", "4970100000000004"},
        {"DATA_PAN", "4970201111111117", "4970201111111117"},
        {"DATA_ISO2", "4970202222222225D2512101999", "4970202222222225"},
        {"ED", "Carte 4970203333333333", "4970203333333333"},
        {"DISP_TEXT", "4970204444444441", "4970204444444441"},
    };
    std::string cardTags;
    for (const Secret& s : secrets) cardTags += std::string("{") + s.code + "}" + s.value;

    ScopedEnv allLoggers("TALVO.LOG.ENABLED_LOGGERS", "1");
    Station s({"-d9", "-g1", "-m4096"},
              {"[LogLevel:TRACE]", "[LogLoggers:client.eftag.request;openssl]",
               "[LogLevel-client.eftag.request:TRACE]", "[LogLevel-openssl:TRACE]"});
    // Requests served at idle, refused, and a payment the station cannot run.
    for (const char* head : {"{SS}R{PS}1{SV}s12{CD}c25", "{SS}R{PS}1{SV}s0{CD}c1{D10}100",
                             "{SS}R{PS}1{SV}s99{CD}c1", "{SS}X{SV}s0"}) {
        ASSERT_TRUE(s.peer.Send(std::string(head) + cardTags + "{F}")) << head;
        // The payment ends after the terminal-failure message's pause (4 s):
        // the bounds leave room for a loaded machine and the sanitizers.
        const std::string ack = s.peer.Receive(30000).value_or("<none>");
        if (ack == "0") s.peer.Receive(30000);
    }
    // A display text alone, then the card number again without its tag.
    s.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{ED}Code 4970205555555558{F}");
    s.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{D15}4970101111111119{F}");
    EXPECT_EQ(s.Stop(), 0);

    const std::vector<std::filesystem::path> files = FilesUnder(s.dir, s.trv.program());
    std::string all;
    for (const auto& file : files) {
        const std::string text = ReadFile(file.string());
        all += text;
        for (const Secret& secret : secrets)
            EXPECT_EQ(text.find(secret.clear), std::string::npos)
                << secret.code << " in clear in " << file.filename();
        EXPECT_EQ(text.find("4970205555555558"), std::string::npos) << file.filename();
    }
    // The scan saw the exchange log and the tag-by-tag trace of the requests.
    EXPECT_NE(all.find("(POS) {SS}R{PS}1{SV}s12{CD}c25{D1A}"), std::string::npos);
    EXPECT_NE(all.find("[client.eftag.request]"), std::string::npos);
    EXPECT_NE(all.find("tag: \"D1A\" - \"EFTAG_DATA_PAN\""), std::string::npos);
    EXPECT_NE(all.find("OUVERTURE DE SESSION"), std::string::npos);
}

// A station at its highest levels, with the trace zone's spool directory in
// place, receives card-holder data in every sensitive tag and card numbers
// in ordinary fields, first before any card number was ever seen, then after
// card numbers. No file it writes (exchange logs, trace zone spool files)
// and neither of its standard streams holds a clear value; a display text
// with one digit changes nothing in later entries.
TEST(ExchangeLog, NoClearCardValueInAnyFileOrStreamBeforeOrAfterACardNumber_Mended) {
    struct Secret {
        const char* code;
        const char* value;
        const char* clear;
    };
    // Nothing here is a card-number tag: masking by tag must be in force
    // from the first line.
    const Secret before[] = {
        {"D3Y", "CVV731946", "731946"},
        {"CARD_VISCRYPT", "482913", "482913"},
        {"D2F", "4970501111111111=25121011234", "4970501111111111"},
        {"DATA_ISO2", "4970502222222222=2512", "4970502222222222"},
        {"D3L", "TICKET CARTE 4970503333333333", "4970503333333333"},
        {"D3L1", "TICKET CLIENT 4970503333333341", "4970503333333341"},
        {"D3L2", "TICKET COMMERCANT 4970503333333358", "4970503333333358"},
        {"PRN_TEXT", "TICKET 4970504444444444", "4970504444444444"},
        {"CSGPO", "9F2608A1B2C3D4E5F60718", "A1B2C3D4E5F60718"},
        {"CSRED", "9F2608B1B2C3D4E5F60728", "B1B2C3D4E5F60728"},
        {"CSALL", "5A084970508888888888", "4970508888888888"},
        {"TC3", "EVT4970505555555555", "4970505555555555"},
        {"DA8", "PIVOT99887766554433", "99887766554433"},
        {"D6J", "B4970506666666666^DUPONT/JEAN^2512", "4970506666666666"},
        {"ED", "Carte 4970 5077 7777 7777", "5077 7777"},
        {"DISP_TEXT", "Carte 4970 5088 8888 8888", "5088 8888"},
        // Card numbers (Luhn) in fields that are not card fields.
        {"E6", "4970301111111118", "4970301111111118"},
        {"LTY", "4970302222222224", "4970302222222224"},
        {"D7V", "ilot 4970303333333330", "4970303333333330"},
        {"d1a", "4970304444444446", "4970304444444446"},
    };
    const Secret after[] = {
        {"D1A", "4970101111111119F", "4970101111111119"},
        {"DATA_PAN", "4970201111111117", "4970201111111117"},
        {"D2F", "B4970102222222228D25121011234567890F", "4970102222222228"},
    };
    auto tags = [](const Secret* begin, const Secret* end) {
        std::string text;
        for (const Secret* s = begin; s != end; ++s) text += std::string("{") + s->code + "}" + s->value;
        return text;
    };
    const std::string beforeTags = tags(std::begin(before), std::end(before));
    const std::string afterTags = tags(std::begin(after), std::end(after));

    ScopedEnv allLoggers("TALVO.LOG.ENABLED_LOGGERS", "1");
    ConfigTree tree;
    ASSERT_TRUE(std::filesystem::create_directory(tree.file("WOut")));
    Station s({"-d9", "-g1", "-m4096"},
              {"[LogLevel:TRACE]", "[LogLoggers:client.eftag.request;openssl]",
               "[LogLevel-client.eftag.request:TRACE]", "[LogLevel-openssl:TRACE]"},
              &tree);
    const char* heads[] = {"{SS}R{PS}1{SV}s12{CD}c25", "{SS}R{PS}1{SV}s0{CD}c1{D10}100", "{SS}R{PS}1{SV}s99{CD}c1",
                           "{SS}X{SV}s0"};
    auto send = [&](const std::string& request) {
        ASSERT_TRUE(s.peer.Send(request)) << request;
        // The payment ends after the terminal-failure message's pause (4 s):
        // the bounds leave room for a loaded machine and the sanitizers.
        const std::string ack = s.peer.Receive(30000).value_or("<none>");
        if (ack == "0") s.peer.Receive(30000);
    };
    for (const char* head : heads) send(std::string(head) + beforeTags + "{F}");
    // One digit in a display text, then a request whose "1"s must stay.
    send("{SS}R{PS}1{SV}s12{CD}c25{ED}Carte 1{F}");
    send("{SS}R{PS}1{SV}s12{CD}c25{F}");
    for (const char* head : heads) send(std::string(head) + afterTags + beforeTags + "{F}");
    EXPECT_EQ(s.Stop(), 0);

    bool sawSpool = false;
    int streams = 0;
    std::string all;
    for (const auto& file : FilesUnder(*s.tree, s.trv.program())) {
        const std::string text = ReadFile(file.string());
        all += text;
        sawSpool = sawSpool || (file.parent_path().filename() == "WOut" &&
                                text.find("Requete a traiter") != std::string::npos);
        streams += file.filename() == "run.out" || file.filename() == "run.err";
        for (const Secret* secrets : {before, after}) {
            const size_t count = secrets == before ? std::size(before) : std::size(after);
            for (size_t i = 0; i < count; ++i)
                EXPECT_EQ(text.find(secrets[i].clear), std::string::npos)
                    << secrets[i].code << " in clear in " << file.filename();
        }
    }
    // The scan saw the trace zone's spool file, the standard error stream,
    // the exchange log and the tag-by-tag trace.
    EXPECT_TRUE(sawSpool);
    EXPECT_EQ(streams, 2);
    EXPECT_NE(all.find("(POS) {SS}R{PS}1{SV}s12{CD}c25{D3Y}---------"), std::string::npos);
    EXPECT_NE(all.find("tag: \"D3Y\" - \"EFTAG_DATA_VALEUR_CVV\""), std::string::npos);
    EXPECT_NE(all.find("(POS) {SS}R{PS}1{SV}s12{CD}c25{ED}Carte 1{F}"), std::string::npos);
    EXPECT_NE(all.find("(POS) {SS}R{PS}1{SV}s12{CD}c25{F}"), std::string::npos);
}

TEST(ExchangeLog, TagByTagTraceFollowsTheLoggerLevelOfTheOptionsFile) {
    struct Case {
        const char* level;
        bool written;
    } cases[] = {{"DEBUG", true}, {"ERROR", false}, {"", true}};
    for (const Case& c : cases) {
        Station s({}, {"[LogLevel:TRACE]", "[LogLoggers:client.eftag.request]",
                       std::string("[LogLevel-client.eftag.request:") + c.level + "]"});
        EXPECT_NE(s.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{F}").find("{RS}01"), std::string::npos);
        EXPECT_EQ(s.Stop(), 0);
        const std::string err = s.trv.Err();
        EXPECT_NE(err.find("Requete a traiter: {SS}R"), std::string::npos) << c.level;
        EXPECT_EQ(err.find("[client.eftag.request] tag: \"SV\" - \"EFTAG_HEAD_SERVICE\", value: \"s12\"") !=
                      std::string::npos,
                  c.written)
            << c.level;
    }
}

}  // namespace
