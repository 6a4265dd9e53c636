// An open session of the console program in the test process, serving a
// fresh station on a copy of the example tree, with the cash register's side
// of its POS link played by the test clock: during each sleep of the program
// (which runs on that manual clock) the cash register takes what the program
// wrote and sends what the test queued, and answers the program's dialogue
// requests (key "c21", zone "c22", selection "c44") with the replies the test
// gave. Everything is single-threaded and deterministic.
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "support/config_tree.h"
#include "support/pos_peer.h"
#include "support/session_tree.h"
#include "support/station_lock.h"
#include "transactions/wait_callback.h"

namespace testsupport {

class CashRegisterClock : public plat::ManualClock {
public:
    void sleepMs(int64_t ms) override {
        plat::ManualClock::sleepMs(ms);
        slept += ms;
        Serve();
    }
    // Takes the program's message, if any, and sends the next queued one
    // once the program took the previous.
    void Serve() {
        if (toPos == nullptr) return;
        if (PosPeer::Status(toPos) == poslink::kStatusPresent) {
            const std::string text(toPos + 1, strnlen(toPos + 1, poslink::kTextSize - 1));
            PosPeer::SetStatus(toPos, poslink::kStatusTaken);
            received.push_back(text);
            for (auto& [cd, queue] : replies) {
                if (!queue.empty() && text.find("{SV}s6{CD}" + cd + "{") != std::string::npos) {
                    toSend.push_back(queue.front());
                    queue.pop_front();
                }
            }
        }
        if (!toSend.empty() && PosPeer::Status(fromPos) != poslink::kStatusPresent) {
            const std::string& text = toSend.front();
            std::memcpy(fromPos + 1, text.c_str(), text.size() + 1);
            PosPeer::SetStatus(fromPos, poslink::kStatusPresent);
            toSend.pop_front();
        }
    }
    // The messages received that contain a text.
    std::vector<std::string> With(const std::string& part) const {
        std::vector<std::string> found;
        for (const auto& m : received)
            if (m.find(part) != std::string::npos) found.push_back(m);
        return found;
    }

    char* toPos = nullptr;
    char* fromPos = nullptr;
    int64_t slept = 0;
    std::vector<std::string> received;
    std::deque<std::string> toSend;
    // Replies by the CD of the program's dialogue request.
    std::map<std::string, std::deque<std::string>> replies;
};

class AppSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        optionsHook() = nullptr;
        SetOptionsLoadHook(&ApplyOptionsHook);
        InitDefaultOptions();
        ASSERT_TRUE(tree.ok());
        std::filesystem::create_directory(tree.file("WOut"));
        KTCONSOL_SetWorkDirectory(tree.str().c_str(), nullptr);
        station = UniqueStation();
        g_processOptions.station = station;
        g_processOptions.resourceId = station;  // a communication context of its own
        UseTreeForSession(tree.str());
        ASSERT_EQ(TOC_OpenSession(), 1);
        context = GetEftContext();
        record = GetTransactionRecord();
        context->posLink = ZelDiaOpen(station, 0);
        ASSERT_NE(context->posLink, nullptr);
        ASSERT_TRUE(peer.Open(station));
        clock.toPos = peer.toPos();
        clock.fromPos = peer.fromPos();
        scoped.emplace(&clock);
    }
    void TearDown() override {
        scoped.reset();
        SetTerminalEventWait(nullptr);
        peer.Close();
        ShutdownClient();
        SetOptionsLoadHook(nullptr);
        optionsHook() = nullptr;
        KTCONSOL_SetWorkDirectory(".", nullptr);
    }

    // Option values that the options file would give, applied at every load
    // (the dispatcher reloads the file for each request).
    static std::function<void(OptionValues&)>& optionsHook() {
        static std::function<void(OptionValues&)> hook;
        return hook;
    }
    static void ApplyOptionsHook() {
        if (optionsHook()) optionsHook()(Options);
    }

    // A request from the cash register, taken by the program's next read.
    void Send(const std::string& request) { clock.toSend.push_back(request); clock.Serve(); }
    // Runs loop passes until the state is back to idle (at most n).
    void RunUntilIdle(int n = 50) {
        for (int i = 0; i < n; ++i) {
            RunLoopPass();
            clock.Serve();
            if (context->loopState == 0) return;
        }
    }
    // The answer prefix of this station's answers.
    std::string AnswerHead() const {
        return "{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(station);
    }
    // Adds window "P5" of the POS GUI (resource 45) with its interface
    // resource, as the program's window set-up does.
    KT_TEXT_WINDOW* AddPosWindow(int rows = 4, int columns = 20) {
        ConsoBox* console = context->box->console;
        KTCONSOL_AddFenetre(console, "P5", rows, columns);
        KTCONSOL_SetFenetreResource(console, "P5", 45);
        KT_TEXT_WINDOW* window = KTCONSOL_FindFenetre(console, "P5");
        ISAP_OpenWindowResource(window);
        return window;
    }

    ConfigTree tree;
    int station = 0;
    EFTCBox* context = nullptr;
    TransactionRecord* record = nullptr;
    PosPeer peer;
    CashRegisterClock clock;
    std::optional<plat::ScopedClock> scoped;
};

}  // namespace testsupport
