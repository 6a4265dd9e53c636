// Bases of the TLS tests: the test certificates of the suite (made once per
// test program); for the transport tests also the process's shared
// connection table with SSLImpl selected, and at the end of each test the
// checks that every pump thread ended and every entry was given back.
#pragma once
#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_transport.h"
#include "support/tls_pki.h"

namespace testsupport {

// The test certificates of a suite, made once per test program.
class PkiSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pki_ = new TestPki; }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(pki_->ok()) << "the test certificates could not be made"; }
    static std::string P(const std::string& name) { return pki_->path(name); }

    static inline TestPki* pki_ = nullptr;
};

class TlsFixture : public PkiSuite {
protected:
    void SetUp() override {
        PkiSuite::SetUp();
        if (HasFatalFailure()) return;
        WShared_Initialize(7, 10);
        WSSLSetInterface(0);
        free_ = WSharedFreeCount();
    }
    void TearDown() override {
        WTCPSetConnectTimeOut(3, 0);
        EXPECT_TRUE(WSSLWaitPumpThreads(10000)) << "a pump thread is still running";
        EXPECT_EQ(WSharedFreeCount(), free_) << "an entry was not given back";
    }
    int free_ = 0;
};

// Reads with the function until the text came (any text: until the link
// ends), the link ended or 10 s passed; *last: the last result.
inline std::string ReadUntil(const std::function<int(void*, uint32_t)>& read, const std::string& wanted,
                             int* last = nullptr) {
    std::string got;
    int n = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && (wanted.empty() || got.find(wanted) == std::string::npos)) {
        char buffer[4096];
        n = read(buffer, sizeof buffer);
        if (n < 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    if (last != nullptr) *last = n;
    return got;
}

}  // namespace testsupport
