// The exchange log of a running trv_71: what the cash register sends and what
// the program answers lands in the POS file named from -f, and no card value
// sent through the POS link ever reaches a file under the main path in clear.
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rudasim/ruda_terminal.h"
#include "support/config_tree.h"
#include "support/payment_station.h"
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

// ---------------------------------------------------------------------------
// A day of card payments
// ---------------------------------------------------------------------------

using testsupport::PaymentStation;
using testsupport::PaymentStationSetup;
using testsupport::TagList;

// Card values of the day, each one distinct so that a leak names its source.
constexpr const char* kStripePan = "4970401111111116";         // swiped, approved
constexpr const char* kStripeTrack = ";4970401111111116=30122011234500000?";
constexpr const char* kStripeName = "DUPONT/JEAN";
constexpr const char* kBadPan = "4970404444444440";            // swiped, fails the Luhn check
constexpr const char* kBadTrack = ";4970404444444440=30122019999900000?";
constexpr const char* kChipPan = "4970100012345670";           // card_sim's chip card
constexpr const char* kLabelPan = "4970402222222222";          // sent as the island label
constexpr const char* kTicketPan = "4970403333333338";         // in the server's answer
constexpr const char* kTagPan = "4970405555555555";            // in every sensitive tag
constexpr const char* kCvv = "731946";
constexpr const char* kCryptogram = "482913";

// The bytes of a card number in packed decimal.
std::string Packed(const std::string& digits) {
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<char>(((digits[i] - '0') << 4) | (digits[i + 1] - '0')));
    return out;
}

// The data bytes of a communication trace (every third byte of its records
// with status 0), and the same with the RUDA blocks' framing taken out.
std::vector<std::string> LineData(const std::string& records) {
    std::string data;
    for (size_t i = 0; i + 3 <= records.size(); i += 3)
        if (records[i + 1] == 0) data.push_back(records[i + 2]);
    std::string joined;
    for (size_t i = 0; i + 3 <= data.size();) {
        const size_t length = static_cast<unsigned char>(data[i + 2]);
        if (i + 4 + length > data.size()) break;
        joined += data.substr(i + 3, length);
        i += 4 + length;
    }
    return {data, joined};
}

// Waits until the terminal got an APDU beginning with prefix (hexadecimal)
// after its first `from` exchanges.
bool WaitApdu(rudasim::RudaSim& terminal, const std::string& prefix, size_t from, int timeoutMs = 30000) {
    for (size_t n = from + 1;; ++n) {
        if (!terminal.waitExchanges(n, timeoutMs)) return false;
        if (cardsim::ToHex(terminal.exchanges()[n - 1].apdu).rfind(prefix, 0) == 0) return true;
    }
}

// A till at its highest levels (program trace, named loggers, application
// trace, the terminal line's trace in the mode given) runs a day: requests
// carrying every sensitive tag, a swiped card approved, a chip card approved
// while the server drives it through the terminal (READ RECORD answers with
// the card number, track 2 equivalent, expiry and holder name on the line),
// a chip card refused, a swiped card refused for its check digit, a payment
// aborted during the card wait, an island label holding a card number. No
// file of the till and neither of the program's standard streams holds a
// card number, a track or a verification value in clear: not in text, not
// in packed decimal, not in the terminal line's records.
TEST(ExchangeLog, PaymentDayLeavesNoClearCardDataInAnyFileOrStream_Mended) {
    ScopedEnv allLoggers("TALVO.LOG.ENABLED_LOGGERS", "1");
    const std::vector<std::string> relayed = {
        "00A4040007A000000042101000", "80A8000002830000", "00B2010C00", "00B2011400", "00B2021400",
        "80AE80001D000000000500000000000000025000000000000978261211001122334400"};
    std::string relay;
    for (const std::string& apdu : relayed) relay += "relay port=0 bodyhex=" + apdu + " fetch\nsilent\n";
    const std::string ticket = std::string("{D3L}TICKET ") + kTicketPan + "{D3L1}CLIENT " + kTicketPan + "{D1A}" +
                               kTicketPan;

    for (const char* mode : {"WANALY", "SQLITE"}) {
        SCOPED_TRACE(mode);
        PaymentStationSetup setup;
        setup.terminal = "card ../../cardsim/scenarios/chip_card.scn\n";
        setup.servers = {"answer 1400 tags=\"{SS}A{SV}s0{CD}c1{RS}00" + ticket + "{F}\"\n" + relay +
                         "answer 1400 tags=\"{SS}A{SV}s0{CD}c1{RS}00{F}\"\n"
                         "answer 1400 reply rs=05\n"
                         "default answer reply rs=00\n"};
        setup.options = {{"LogLevel", "TRACE"},
                         {"LogLoggers", "client.eftag.request;client.eftag.response;openssl;ruda"},
                         {"LogLevel-client.eftag.request", "TRACE"},
                         {"LogLevel-client.eftag.response", "TRACE"},
                         {"LogLevel-openssl", "TRACE"},
                         {"LogLevel-ruda", "TRACE"}};
        setup.lineTrace = mode;
        setup.programStreams = true;
        setup.programArguments = {"-d9", "-m4096"};
        PaymentStation till(setup);
        ASSERT_TRUE(std::filesystem::create_directory(till.dir().file("WOut")));
        std::string error, answer;
        ASSERT_TRUE(till.Start(&error)) << error;
        rudasim::RudaSim& terminal = till.terminal();
        const cardsim::Bytes aid = {0xA0, 0x00, 0x00, 0x00, 0x42, 0x10, 0x10};
        const cardsim::Bytes removed = {0xE0, 0x04, 0x48, 0x02, 0x00, 0x00, 0x90, 0x00};

        // Every sensitive tag in a request served at idle.
        const TagList sensitive = {
            {"D1A", std::string(kTagPan) + "F"}, {"D2F", std::string("B") + kTagPan + "D30121011234567890F"},
            {"D6J", std::string("B") + kTagPan + "^DUPONT/PAUL^30121011234"}, {"D3L", std::string("TICKET ") + kTagPan},
            {"D3L1", std::string("CLIENT ") + kTagPan}, {"D3L2", std::string("COMMERCANT ") + kTagPan},
            {"D3Y", kCvv}, {"TC3", std::string("EVT") + kTagPan}, {"CSGPO", std::string("5A08") + kTagPan},
            {"CSRED", std::string("5A08") + kTagPan}, {"CSALL", std::string("5A08") + kTagPan},
            {"CSSUP", std::string("5A08") + kTagPan}, {"DATA_PAN", kTagPan},
            {"DATA_ISO2", std::string(kTagPan) + "=3012"}, {"ED", std::string("Carte ") + kTagPan},
            {"DISP_TEXT", kTagPan}, {"CARD_VISCRYPT", kCryptogram}, {"DA8", std::string("PIVOT") + kTagPan},
            {"PRN_TEXT", std::string("TICKET ") + kTagPan}};
        auto idle = [&](const char* when) {
            TagList tags = {{"SV", "s12"}, {"CD", "c25"}};
            tags.insert(tags.end(), sensitive.begin(), sensitive.end());
            int ack = -1;
            ASSERT_TRUE(till.Send(tags, &ack, &error)) << error;
            ASSERT_EQ(ack, 0) << when;
            ASSERT_TRUE(till.WaitAnswer(30000, &answer, &error)) << error;
            EXPECT_EQ(PaymentStation::Tag(answer, "RS"), "01") << when;
        };
        // One payment: the card (or the abort) comes once the terminal asks
        // for it; the till's result code.
        enum class Card { Stripe, BadStripe, Chip, Abort };
        auto pay = [&](Card card, const char* rs, const TagList& extra = {}) {
            SCOPED_TRACE(rs);
            TagList tags = {{"SV", "s0"}, {"CD", "c1"}, {"D10", "500"}, {"D0", "978"}};
            tags.insert(tags.end(), extra.begin(), extra.end());
            const size_t from = terminal.exchanges().size();
            int ack = -1;
            ASSERT_TRUE(till.Send(tags, &ack, &error)) << error;
            ASSERT_EQ(ack, 0);
            ASSERT_TRUE(WaitApdu(terminal, "D0601F01", from));
            const size_t asked = terminal.exchanges().size();
            switch (card) {
                case Card::Stripe:
                    terminal.pushEvent(rudasim::StripeEvent(std::string("%B") + kStripePan + "^" + kStripeName +
                                                                "^3012201?",
                                                            kStripeTrack, ""));
                    break;
                case Card::BadStripe: terminal.pushEvent(rudasim::StripeEvent("", kBadTrack, "")); break;
                case Card::Chip:
                    terminal.pushEvent(rudasim::ChipEvent({aid}));
                    ASSERT_TRUE(WaitApdu(terminal, "D06043", asked));
                    terminal.pushEvent(removed);
                    break;
                case Card::Abort: {
                    int abortAck = -1;
                    ASSERT_TRUE(till.Send({{"SV", "s3"}, {"CD", "c0"}}, &abortAck, &error)) << error;
                    break;
                }
            }
            ASSERT_TRUE(till.WaitAnswer(60000, &answer, &error)) << error;
            EXPECT_EQ(PaymentStation::Tag(answer, "RS"), rs) << answer;
        };

        idle("before any card");
        pay(Card::Stripe, "00", {{"D7V", std::string("ilot ") + kLabelPan}});
        pay(Card::Chip, "00");
        pay(Card::Chip, "05");
        pay(Card::BadStripe, "11");
        pay(Card::Abort, "33");
        idle("after the cards");
        // The server drove the chip card: its records went on the line.
        size_t reads = 0;
        for (const rudasim::Exchange& e : terminal.exchanges())
            reads += cardsim::ToHex(e.apdu).rfind("00B2", 0) == 0 && e.answer.size() > 10;
        EXPECT_EQ(reads, 3u);
        till.Stop();

        const std::string secrets[] = {kStripePan, kBadPan, kChipPan, kLabelPan, kTicketPan, kTagPan,
                                       kStripeName, "TEST/CARD", "2011234500000", "2019999900000", "2512201",
                                       std::string("{D3Y}") + kCvv, kCryptogram};
        const std::string packed[] = {Packed(kChipPan).substr(0, 4), Packed(kChipPan).substr(4),
                                      Packed(kStripePan).substr(0, 4), Packed(kStripePan).substr(4),
                                      Packed(kTagPan).substr(4), std::string("\xD2\x51\x22\x01", 4),
                                      std::string("\x25\x12\x31", 3)};
        bool sawLine = false, sawTrace = false, sawStreams = false, sawLibrary = false;
        std::string all;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(till.dir().path())) {
            if (!entry.is_regular_file()) continue;
            const std::filesystem::path& file = entry.path();
            if (file.filename().string().rfind("trv_71_pay_", 0) == 0) continue;  // the program and its script
            const std::string text = ReadFile(file.string());
            std::vector<std::string> views = {text};
            const bool line = file.parent_path().filename() == "WLOG";
            if (line) {
                const std::vector<std::string> data = LineData(text);
                views.insert(views.end(), data.begin(), data.end());
                sawLine = sawLine || data[1].find("\x70\x20\x57\x11", 0, 4) != std::string::npos;
            }
            for (const std::string& view : views) {
                for (const std::string& secret : secrets)
                    EXPECT_EQ(view.find(secret), std::string::npos) << secret << " in clear in " << file;
                for (const std::string& bytes : packed)
                    EXPECT_EQ(view.find(bytes), std::string::npos) << "packed bytes in " << file;
            }
            all += text;
            sawTrace = sawTrace || file.parent_path().filename() == "WOut";
            sawStreams = sawStreams || file.filename() == "program.err";
            sawLibrary = sawLibrary || file.filename().string().rfind("ZNP_DLL_", 0) == 0;
        }
        // The scan saw the line's trace with a READ RECORD answer in it, the
        // program's trace and streams, the library log, the exchange logs,
        // and the island label refused.
        EXPECT_TRUE(sawLine);
        EXPECT_TRUE(sawTrace);
        EXPECT_TRUE(sawStreams);
        EXPECT_TRUE(sawLibrary);
        EXPECT_NE(all.find("(POS) {SV}s12{CD}c25{D1A}"), std::string::npos);
        EXPECT_NE(all.find("Valeur du tag D7V refusee"), std::string::npos);
        EXPECT_NE(all.find("tag: \"D3Y\" - \"EFTAG_DATA_VALEUR_CVV\""), std::string::npos);
    }
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
