// Files and HTML pages of the terminal: the file check and the page shown
// with its answer, against the recording fake of the script API and end to
// end on the RUDA terminal simulator.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "periph/terminal_box.h"
#include "protocols/html_page.h"
#include "protocols/term_files.h"
#include "support/epap_fake.h"
#include "support/ruda_line_station.h"
#include "support/trace_capture.h"

namespace {

using testsupport::EpapFake;

constexpr int kRuda = 16;
constexpr int kDoran = 2;
constexpr int kDisplay = 0;

// A fake whose file selects record the path and P1, and whose answers give
// the size when the file is "there".
struct FileFake : EpapFake {
    explicit FileFake(int protocol, bool there) {
        protocols[kDisplay] = protocol;
        copiers[153] = [](va_list args) {
            const auto* f = va_arg(args, const TermFileRecord*);
            return std::string(f->name) + "," + std::to_string(f->p1 != nullptr ? *f->p1 : -1);
        };
        if (there) writers[153] = [](va_list args) { *va_arg(args, int32_t*) = 1234; };
        copiers[165] = [](va_list args) { return va_arg(args, const HtmlPageRequest*)->getPageName(); };
        writers[165] = [](va_list args) {
            HtmlPageResponse* r = va_arg(args, HtmlPageResponse*);
            r->setResult(1);
            r->setSelection(2);
        };
    }
};

}  // namespace

TEST(CheckTerminalFile, PresentMissingAndFailed) {
    struct Case {
        const char* name;
        int protocol;
        bool there;
        int readStatus;
        int result;
        const char* sequence;
        const char* trace;
    } cases[] = {
        {"present", kRuda, true, 0, 0, "set 153;send;getEx 153;clear;", "@@ DEBUG @@ Check html file existence www/a.html"},
        {"missing", kRuda, false, 0, -1, "set 153;send;getEx 153;clear;",
         "@@ DEBUG @@ File www/a.html is not in the terminal "},
        {"question failed", kRuda, true, PV_CMD_INTERNAL, PV_CMD_INTERNAL, "set 153;send;getEx 153;clear;",
         "@@ DEBUG @@ Erreur acces fichier www/a.html"},
        {"DORAN", kDoran, true, 0, -1, "", nullptr},
        {"no such function", -1, true, 0, -1, "", nullptr},
    };
    for (const Case& c : cases) {
        FileFake fake(c.protocol, c.there);
        if (c.protocol < 0) fake.protocols.clear();
        fake.script("getEx", {c.readStatus});
        testsupport::TraceCapture trace;
        EXPECT_EQ(EPAP_CheckHtmlFile(kDisplay, "a.html"), c.result) << c.name;
        EXPECT_EQ(fake.sequence(), c.sequence) << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
        const auto sets = fake.callsOf("set");
        if (!sets.empty()) {
            EXPECT_EQ(sets[0].args, "www/a.html,4") << c.name;
        }
        const auto reads = fake.callsOf("getEx");
        if (!reads.empty()) {
            EXPECT_EQ(reads[0].timeoutMs, 2000) << c.name;
        }
    }
}

TEST(DisplayHtmlPage, CheckedThenShownAndAnswered) {
    HtmlParamList params;
    params.add("message", "Bonjour");
    const HtmlPageRequest request("talvo/msg.html", params);
    struct Case {
        const char* name;
        int protocol;
        bool there;
        int check;
        int result;
        const char* sequence;
    } cases[] = {
        {"checked and shown", kRuda, true, 1, 0, "set 153;send;getEx 153;clear;set 165;send;getEx 165;clear;"},
        {"shown without a check", kRuda, false, 0, 0, "set 165;send;getEx 165;clear;"},
        {"missing file: no page", kRuda, false, 1, -1, "set 153;send;getEx 153;clear;"},
        {"DORAN", kDoran, true, 1, -1, ""},
        {"no such function", -1, true, 1, -2, ""},
    };
    for (const Case& c : cases) {
        FileFake fake(c.protocol, c.there);
        if (c.protocol < 0) fake.protocols.clear();
        HtmlPageResponse response;
        EXPECT_EQ(EPAP_DisplayHtmlPage(kDisplay, &request, &response, 45000, c.check), c.result) << c.name;
        EXPECT_EQ(fake.sequence(), c.sequence) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(response.getResult(), 1) << c.name;
            EXPECT_EQ(response.getSelection(), 2) << c.name;
            EXPECT_EQ(fake.callsOf("getEx").back().timeoutMs, 45000) << c.name;
            EXPECT_EQ(fake.callsOf("set").back().args, "talvo/msg.html") << c.name;
        } else {
            EXPECT_EQ(response.getResult(), -98) << c.name;
        }
    }
}

TEST(DisplayHtmlPage, ShownOnTheRudaTerminalWhenItsFileIsThere) {
    testsupport::RudaLineStation s(
        "file www/talvo/msg.html 120\n"
        "page talvo/msg.html => E0 05 DFAA05 01 03 9000 delay 20\n",
        "EFT_DSP");
    ASSERT_TRUE(s.ready());
    HtmlParamList params;
    params.add("type_mess", "OK");
    params.add("message", "Carte refusee");
    EXPECT_EQ(EPAP_CheckHtmlFile(kDisplay, "talvo/msg.html"), 0);
    EXPECT_EQ(EPAP_CheckHtmlFile(kDisplay, "talvo/absent.html"), PV_CMD_INTERNAL);  // answered 9F 13
    HtmlPageResponse shown;
    const HtmlPageRequest page("talvo/msg.html", params);
    EXPECT_EQ(EPAP_DisplayHtmlPage(kDisplay, &page, &shown, 5000, 1), 0);
    EXPECT_EQ(shown.getResult(), 1);
    EXPECT_EQ(shown.getSelection(), 3);
    HtmlPageResponse missing;
    const HtmlPageRequest absent("talvo/absent.html", params);
    EXPECT_EQ(EPAP_DisplayHtmlPage(kDisplay, &absent, &missing, 5000, 1), -1);
    const auto pages = s.terminal().screens().pages;
    ASSERT_EQ(pages.size(), 1u);  // the missing page was never asked for
    EXPECT_EQ(pages[0].first, "talvo/msg.html");
    EXPECT_EQ(pages[0].second,
              (std::vector<std::pair<std::string, std::string>>{{"type_mess", "OK"}, {"message", "Carte refusee"}}));
}

TEST(DisplayHtmlPage, FunctionWithoutResourceIsNeverTheCurrentOne_Mended) {
    testsupport::RudaLineStation s("file www/talvo/msg.html 120\n", "EFT_DSP");
    ASSERT_TRUE(s.ready());
    // The display becomes the current resource ...
    ASSERT_EQ(EPAP_GetProtocol(kDisplay), kRuda);
    const size_t before = s.exchanges().size();
    // ... but a function without a resource is looked up on its own: no
    // question goes to the display in its place.
    constexpr int kNoResource = 7;
    EXPECT_EQ(EPAP_CheckHtmlFile(kNoResource, "talvo/msg.html"), -1);
    const HtmlPageRequest request("talvo/msg.html", HtmlParamList{});
    HtmlPageResponse response;
    EXPECT_EQ(EPAP_DisplayHtmlPage(kNoResource, &request, &response, 5000, 1), -2);
    EXPECT_EQ(s.exchanges().size(), before);
    EXPECT_TRUE(s.terminal().screens().pages.empty());
}
