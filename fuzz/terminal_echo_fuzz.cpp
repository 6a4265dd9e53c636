// Fuzz target of the wait callback facing what the terminal echoes during a
// wait: any bytes as a sequence of 130-byte echo texts (display lines, screen
// ends, keep-alives, terminal states), in an open session (a till directory
// of empty configuration files made at start) whose POS link is a pair of
// heap mailboxes, read by the test clock as the cash register reads them.
//
// Input: byte 0 sets the option -e (its two low bits) and the number of
// display lines of the terminal (the next six bits, up to 63: beyond the ten
// lines of the echo screen); the rest is cut into echo texts of up to 130
// bytes, each handed to the callback in its own 130-byte buffer.
//
// Whatever comes in: no wait is given up (no request came from the cash
// register), the POS request buffer is left empty, and every message the
// program writes to the cash register is a terminated tag message within the
// mailbox: a flash information (SV "s11") or a terminal echo (SV "s5", CD
// "c27" with D34 or D33).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/startup.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "fuzz_session.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "transactions/wait_callback.h"

namespace {

std::vector<char> g_toPos(poslink::kMailboxSize, 0);
std::vector<char> g_fromPos(poslink::kMailboxSize, 0);
PosLinkHandle g_link{g_toPos.data(), g_fromPos.data()};
int g_messages = 0;

// Checks and takes the message the program wrote.
void TakeMessage() {
    if (g_toPos[0] != poslink::kStatusPresent) return;
    const char* text = g_toPos.data() + 1;
    Check(std::memchr(text, 0, poslink::kTextSize) != nullptr, "message not terminated in the mailbox");
    const std::string message(text);
    Check(message.rfind("{ZNP}", 0) == 0, "message without its version stamp");
    Check(message.size() >= 3 && message.compare(message.size() - 3, 3, "{F}") == 0, "message without its end");
    const bool flash = message.find("{SV}s11{") != std::string::npos;
    const bool echo = message.find("{SV}s5{CD}c27{") != std::string::npos &&
                      (message.find("{D34}") != std::string::npos || message.find("{D33}") != std::string::npos);
    Check(flash || echo, "unexpected message to the cash register");
    g_toPos[0] = poslink::kStatusTaken;
    ++g_messages;
}

// The cash register reads during every sleep of the program.
class ReadingClock : public plat::ManualClock {
public:
    void sleepMs(int64_t ms) override {
        plat::ManualClock::sleepMs(ms);
        TakeMessage();
    }
};

EFTCBox* Session() {
    static EFTCBox* context = [] {
        EFTCBox* c = OpenFuzzSession("/tmp/znp-fuzz-echo-XXXXXX");
        c->posLink = &g_link;
        c->debugLevel = 0;
        static ReadingClock clock;
        plat::SetClockSource(&clock);
        return c;
    }();
    return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    EFTCBox* c = Session();
    TransactionRecord* r = GetTransactionRecord();
    if (size < 1) return 0;
    g_processOptions.echoMode = input[0] & 3;
    EchoScreenReset(input[0] >> 2);
    r->lastFlashState = -1;
    r->keepAliveSec = 600;
    std::snprintf(r->command, sizeof r->command, "%s", "c1");
    std::memset(g_toPos.data(), 0, g_toPos.size());
    std::memset(g_fromPos.data(), 0, g_fromPos.size());
    for (size_t at = 1; at < size; at += kTerminalEchoSize) {
        const size_t n = size - at < static_cast<size_t>(kTerminalEchoSize) ? size - at : kTerminalEchoSize;
        char text[kTerminalEchoSize] = {};
        std::memcpy(text, input + at, n);
        const char first = text[0];
        WaitCallback(text);
        TakeMessage();
        Check(text[0] == first, "a wait was given up without a request");
        Check(c->posRequest[0] == '\0', "request buffer left with a text");
        Check(std::memchr(c->posAnswer, 0, sizeof c->posAnswer) != nullptr, "answer buffer not terminated");
    }
    return 0;
}
