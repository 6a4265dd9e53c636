// Key and entry events on console windows of the PC console: the result by
// key, the event record, the debug texts, the windows that wait nowhere.
// (The interface resources' waits are tested with the station's boxes,
// tests/station/server_box_test.cpp.)
#include "periph/console_events.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "periph/console_keys.h"
#include "periph/console_windows.h"
#include "support/console_fixture.h"
#include "support/scripted_keys.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ScriptedKeys;
using testsupport::TraceCapture;

class Events : public testsupport::ConsoleFixture {
protected:
    void SetUp() override {
        ConsoleFixture::SetUp();
        window = Add("W", 4, 20, 2, 2, 41);
        ASSERT_NE(window, nullptr);
    }
    ScriptedKeys keys;
    KT_TEXT_WINDOW* window = nullptr;
};

TEST_F(Events, NoEventRecordBeforeTheFirstKey) { EXPECT_EQ(TWAE_GetEventKey(), 255); }

TEST_F(Events, ActionResultByKey) {
    struct Case {
        const char* what;
        std::string key;
        int timeout;
        int result;
        int eventKey;  // -1: the record is left as it was
    } cases[] = {
        {"a letter", "V", 5, 1, 'V'},
        {"Enter", "\r", 5, 1, 131},
        {"a cancel key 0xD3", "\xD3", 5, -1, -1},
        {"Escape", "\x1b", 5, 1, 143},
        {"time-out 0: a look, no key", "", 0, 0, -1},
        {"time-out -1: a look too", "", -1, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int before = TWAE_GetEventKey();
        ScriptedKeys scripted;
        if (!c.key.empty()) scripted.queue(c.key);
        std::strcpy(console->currentWindow, "X");
        EXPECT_EQ(TWAE_Action(console, "W", c.timeout, 1), c.result);
        EXPECT_EQ(console->timeout, c.timeout);  // the time-out is the console's from now on
        EXPECT_EQ(TWAE_GetEventKey(), c.eventKey >= 0 ? c.eventKey : before);
        EXPECT_EQ(scripted.waits(), c.timeout > 0 ? 1 : 0);
    }
}

TEST_F(Events, EventRecordNamesTheConsoleAndTheWindow) {
    keys.queue("z");
    console->debug = 1;
    TraceCapture trace;
    ASSERT_EQ(TWAE_Action(console, "W", 5, 1), 1);
    EXPECT_EQ(TWAE_GetEventKey(), 'z');
    EXPECT_TRUE(trace.Contains("** INFO. ** TWAE_Action : Attente Event Client?"));
    EXPECT_TRUE(trace.Contains("** INFO. ** TWAE_Action :  Message Action  =122"));
    EXPECT_TRUE(trace.Contains(
        "** INFO. ** TWAE_Action Event  ->   Type=COMMANDE Id=7a Provenance -> DOC=T ELT=W001001 "));
}

TEST_F(Events, WindowsThatWaitNowhere) {
    window->resource = 43;  // a spool window: no key, no wait
    EXPECT_EQ(TWAE_Action(console, "W", 5, 1), 0);
    window->resource = 0;
    EXPECT_EQ(TWAE_Action(console, "W", 5, 1), 0);
    EXPECT_EQ(TWAE_Action(console, "NONE", 5, 1), 0);
    EXPECT_EQ(TWAE_Action(nullptr, "W", 5, 1), 0);
    char field[8] = {};
    EXPECT_EQ(TWAE_Info(console, "W", 1, 1, 4, field, sizeof field, ""), 0);
    EXPECT_EQ(keys.waits(), 0);
}

TEST_F(Events, InfoResultByKey) {
    struct Case {
        const char* what;
        std::vector<std::string> keys;
        int result;
        int eventKey;
        const char* field;
    } cases[] = {
        {"Enter", {"1", "2", "\r"}, 2, 131, "12  "},
        {"Tab", {"7", "\t"}, 2, 132, "7   "},
        {"Escape", {"\x1b"}, 1, 143, "    "},
        {"page down", {"+"}, 1, 129, "    "},
    };
    console->timeout = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedKeys scripted;
        for (const std::string& k : c.keys) scripted.queue(k);
        char field[8] = {};
        EXPECT_EQ(TWAE_Info(console, "W", 1, 1, 4, field, sizeof field, "NUM"), c.result);
        EXPECT_EQ(TWAE_GetEventKey(), c.eventKey);
        EXPECT_STREQ(field, c.field);
    }
}

// An entry that would leave no room for its NUL in the caller's field is
// not run.
TEST_F(Events, InfoWidthWithinTheCallersField_Mended) {
    keys.queueEach("1234\r");
    console->timeout = 5;
    char field[5] = "abc";
    EXPECT_EQ(TWAE_Info(console, "W", 1, 1, 5, field, 5, ""), 0);
    EXPECT_STREQ(field, "abc");
    EXPECT_EQ(keys.waits(), 0);
    EXPECT_EQ(TWAE_Info(console, "W", 1, 1, 4, field, 5, ""), 2);
    EXPECT_STREQ(field, "1234");
}

TEST_F(Events, InfoDebugTexts) {
    keys.queue("\r");
    console->timeout = 5;
    console->debug = 1;
    TraceCapture trace;
    char field[8] = {};
    ASSERT_EQ(TWAE_Info(console, "W", 1, 1, 4, field, sizeof field, ""), 2);
    EXPECT_TRUE(trace.Contains("** INFO. ** TWAE_Info : Attente Info Client?"));
    EXPECT_TRUE(trace.Contains("** INFO. ** TWAE_Info :  Message Action  =131"));
    EXPECT_TRUE(
        trace.Contains("** INFO. ** TWAE_Info :  Event  ->   Type=COMMANDE Id=83 Provenance -> DOC=T ELT=W001001 "));
}

}  // namespace
