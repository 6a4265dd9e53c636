// An open session of the program in this process, on a copy of the example
// tree whose "net" file the test writes, for the tests of the server
// connection and of the server exchange step. The exchange logs go to
// EXCHANGES.SRV / EXCHANGES.POS of the tree; the connection is closed and
// the session shut down at the end of each test.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "app/startup.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/station_lock.h"

namespace testsupport {

class ServerSession : public ::testing::Test {
protected:
    // Writes "net" with the lines given, then opens the session (station of
    // its own, debug level as given).
    void Open(const std::vector<std::string>& netLines, int debugLevel = 1) {
        ASSERT_TRUE(tree.ok());
        ASSERT_TRUE(WriteNetFile(tree.str(), netLines));
        InitDefaultOptions();
        g_processOptions.station = UniqueStation();
        // Its own communication context too: sessions side by side never
        // wait for each other's terminal port.
        g_processOptions.resourceId = g_processOptions.station;
        g_processOptions.debugLevel = debugLevel;
        std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", tree.str().c_str());
        ASSERT_EQ(TOC_OpenSession(), 1);
        context = GetEftContext();
        record = GetTransactionRecord();
        ASSERT_NE(context, nullptr);
        std::snprintf(context->exchangeLogName, sizeof context->exchangeLogName, "%s",
                      tree.file("EXCHANGES.LOG").c_str());
        context->logSizeKb = 1000;
    }
    void TearDown() override {
        if (GetEftContext() != nullptr) {
            Options.ConnectedMode = 0;
            TOC_CloseServer(GetEftContext());
            ShutdownClient();
        }
    }
    std::string ServerLog() const { return ReadFileText(tree.file("EXCHANGES.SRV")); }

    ConfigTree tree;
    EFTCBox* context = nullptr;
    TransactionRecord* record = nullptr;
};

}  // namespace testsupport
