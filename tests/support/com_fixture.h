// Communication resources for tests: a table under a context id of its own
// (resource mutexes are named machine-wide), removed with its mutex files at
// the end; serial resources on a pseudo-terminal whose far end is a line
// simulator; a clock that runs a hundred times faster than real time.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/com_resources.h"
#include "linesim/line_sim.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "support/serial_fake.h"
#include "support/signed_file.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace testsupport {

// Context ids of the tests' communication tables.
inline int UniqueComContext() { return ClaimStation(10000, 10999); }

// Name of the mutex file of a resource (the prefixed form the open uses).
inline std::string ComMutexName(int contextId, int resource) {
    char name[64];
    std::snprintf(name, sizeof name, "(null)KT_SEM_COM_%03d%02d", contextId, resource);
    return name;
}

class ComTable {
public:
    // A context id of its own unless one is given: a forked child takes the
    // id its parent claimed, since a child ends without removing claims.
    explicit ComTable(int serial = 2, int usb = 0, int ipClient = 0, int ipServer = 0, int connected = 1,
                      int contextId = -1)
        : id(contextId >= 0 ? contextId : UniqueComContext()) {
        created = WCOM_CreateContext(id, serial, usb, ipClient, ipServer, connected);
    }
    ~ComTable() {
        ComCtx* context = WCOM_GetContext();
        const int count = context != nullptr ? context->count : 0;
        for (int i = 0; i < count; ++i) {
            ComResource* r = WCOM_GetResourceByNum(i);
            if (r != nullptr && r->handle != -1) WComClose2(i);
            WCOM_UnlockResource(i);
            plat::NamedMutex::Unlink(ComMutexName(id, i));
        }
    }
    ComTable(const ComTable&) = delete;
    ComTable& operator=(const ComTable&) = delete;

    int id;
    int created = 0;
};

// The far end records what comes and answers nothing; the test sends with
// LineSim::inject.
class QuietHandler : public linesim::FrameHandler {
public:
    void onBytes(linesim::LineContext&, const std::string&) override {}
};

// A serial resource of the table on a pseudo-terminal: its configuration
// names the slave as "Driver", its trace goes to "trace.log" of the test
// directory. The link is opened with open().
class PtyPort {
public:
    explicit PtyPort(std::unique_ptr<linesim::FrameHandler> handler = std::make_unique<QuietHandler>(),
                     const std::vector<std::string>& extraLines = {}, const std::string& scriptName = "")
        : sim(std::move(handler)) {
        if (!sim.start()) return;
        std::vector<std::string> lines = {"[Driver:" + sim.slaveName() + "]"};
        lines.insert(lines.end(), extraLines.begin(), extraLines.end());
        config = dir.file("port.cfg");
        WriteSignedFile(config, lines);
        trace = dir.file("trace.log");
        const std::string script = scriptName.empty() ? "" : dir.file(scriptName);
        port = WCOM_CreateResource(WCOM_TYPE_SERIAL, trace.c_str(), config.c_str(), script.c_str());
    }
    bool ready() const { return port >= 0; }
    int open() { return WComOpen2(port); }

    TempDir dir;
    linesim::LineSim sim;
    std::string config;
    std::string trace;
    int port = -1;
};

// A serial resource of the table on a fake device (the device seam), open;
// its configuration takes the extra lines, its trace goes to "f.log".
class FakePort {
public:
    explicit FakePort(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> lines = {"[Driver:/dev/fake]"};
        lines.insert(lines.end(), extra.begin(), extra.end());
        WriteSignedFile(dir.file("f.cfg"), lines);
        trace = dir.file("f.log");
        port = WCOM_CreateResource(WCOM_TYPE_SERIAL, trace.c_str(), dir.file("f.cfg").c_str(), "");
        opened = WComOpen2(port);
    }
    ScopedFakeSerial fake;
    TempDir dir;
    std::string trace;
    int port = -1;
    int opened = -1;
};

// Monotonic time that runs `factor` times faster than real time: waits of
// seconds in the code under test pass in a fraction of that, while a
// simulator thread still answers in real time (keep the factor low enough
// that a busy machine still answers within the shortened waits).
class FastClock : public plat::ClockSource {
public:
    explicit FastClock(int factor = 100) : start_(plat::RealMonotonicMs()), factor_(factor) {}
    int64_t nowMs() override { return start_ + (plat::RealMonotonicMs() - start_) * factor_; }
    void sleepMs(int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / factor_));
    }

private:
    int64_t start_;
    int64_t factor_;
};

// Monotonic time that runs `divisor` times slower than real time: the short
// byte time-outs of the code under test (a silence of 10 ms that ends an
// answer) become long enough that a loaded machine never splits what a
// simulator sends with shorter gaps.
class SlowClock : public plat::ClockSource {
public:
    explicit SlowClock(int divisor = 10) : start_(plat::RealMonotonicMs()), divisor_(divisor) {}
    int64_t nowMs() override { return start_ + (plat::RealMonotonicMs() - start_) / divisor_; }
    void sleepMs(int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms * divisor_));
    }

private:
    int64_t start_;
    int64_t divisor_;
};

// The communication trace file as (direction, status, byte) records.
struct TraceRecord {
    int direction;
    int status;
    int byte;
    bool operator==(const TraceRecord&) const = default;
};
inline std::vector<TraceRecord> ReadTraceRecords(const std::string& path) {
    std::vector<TraceRecord> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    unsigned char r[3];
    while (std::fread(r, 1, 3, f) == 3) out.push_back({r[0], r[1], r[2]});
    std::fclose(f);
    return out;
}

}  // namespace testsupport
