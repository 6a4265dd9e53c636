// A serial device of the test's own, put under the serial channel through the
// device seam: bytes to read, bytes written (one entry per write call),
// modem status, line errors, queue sizes, and refusals on demand.
#pragma once
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace testsupport {

// What the test sees and steers; shared with the device the opener made.
struct FakeSerialState {
    std::mutex mutex;
    std::string input;                  // bytes the program will read
    bool endlessInput = false;          // input never runs out (a chattering line)
    char endlessByte = 'x';
    int readCostMs = 0;                 // clock time each read takes
    std::vector<std::string> writes;    // one entry per write call
    std::vector<int> writeLimits;       // bytes each write call takes (front first); none: all
    bool failWrites = false;
    plat::SerialLine line;
    bool refuseLine = false;
    bool hasModemLines = true;
    unsigned modemStatus = 0;
    bool lineErrors = false;
    bool dtr = false;
    bool rts = false;
    bool hardwareFlow = false;
    int inputSize = 4096;
    int outputSize = 4096;
    int outputWaiting = 0;
    bool refuseQueueSizes = false;
    int largestRead = 0;
    int reads = 0;                      // read calls
    int opens = 0;
    std::string lastPath;
};

class FakeSerialDevice : public plat::SerialDevice {
public:
    explicit FakeSerialDevice(std::shared_ptr<FakeSerialState> s) : s_(std::move(s)) {}
    int read(void* buffer, int size, int) override {
        int cost = 0;
        {
            std::lock_guard<std::mutex> g(s_->mutex);
            cost = s_->readCostMs;
        }
        if (cost > 0) plat::SleepMs(cost);
        std::lock_guard<std::mutex> g(s_->mutex);
        s_->largestRead = std::max(s_->largestRead, size);
        ++s_->reads;
        if (s_->endlessInput) {
            std::memset(buffer, s_->endlessByte, static_cast<size_t>(size));
            return size;
        }
        const int n = std::min<int>(size, static_cast<int>(s_->input.size()));
        std::memcpy(buffer, s_->input.data(), static_cast<size_t>(n));
        s_->input.erase(0, static_cast<size_t>(n));
        return n;
    }
    int write(const void* bytes, int length, int) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        if (s_->failWrites) {
            s_->writes.emplace_back();
            return -1;
        }
        int n = length;
        if (!s_->writeLimits.empty()) {
            n = std::min(length, s_->writeLimits.front());
            s_->writeLimits.erase(s_->writeLimits.begin());
        }
        s_->writes.emplace_back(static_cast<const char*>(bytes), static_cast<size_t>(n));
        return n;
    }
    // Nothing to read: the time passes on the clock, as on a real line.
    int waitReadable(int timeoutMs) override {
        {
            std::lock_guard<std::mutex> g(s_->mutex);
            if (s_->endlessInput || !s_->input.empty()) return 1;
        }
        plat::SleepMs(timeoutMs);
        std::lock_guard<std::mutex> g(s_->mutex);
        return s_->input.empty() ? 0 : 1;
    }
    bool getLine(plat::SerialLine* line) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        *line = s_->line;
        return true;
    }
    bool setLine(const plat::SerialLine& line) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        if (s_->refuseLine) return false;
        const int baud = s_->line.baud;
        s_->line = line;
        if (line.baud == 0) s_->line.baud = baud;
        return true;
    }
    bool setHardwareFlow(bool on) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        s_->hardwareFlow = on;
        return true;
    }
    bool setModemLines(bool dtr, bool rts) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        if (!s_->hasModemLines) return false;
        s_->dtr = dtr;
        s_->rts = rts;
        return true;
    }
    bool getModemStatus(unsigned* bits) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        if (!s_->hasModemLines) return false;
        *bits = s_->modemStatus;
        return true;
    }
    bool takeLineErrors(bool* any) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        *any = s_->lineErrors;
        s_->lineErrors = false;
        return true;
    }
    bool queueCounts(int* input, int* output) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        *input = s_->endlessInput ? 1000 : static_cast<int>(s_->input.size());
        *output = s_->outputWaiting;
        return true;
    }
    bool queueSizes(int* input, int* output) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        *input = s_->inputSize;
        *output = s_->outputSize;
        return true;
    }
    bool setQueueSizes(int input, int output) override {
        std::lock_guard<std::mutex> g(s_->mutex);
        if (s_->refuseQueueSizes) return false;
        s_->inputSize = input;
        s_->outputSize = output;
        return true;
    }
    bool purge() override {
        std::lock_guard<std::mutex> g(s_->mutex);
        s_->input.clear();
        return true;
    }

private:
    std::shared_ptr<FakeSerialState> s_;
};

// Installs an opener that hands out fake devices over one state while it
// lives.
class ScopedFakeSerial {
public:
    ScopedFakeSerial() : state(std::make_shared<FakeSerialState>()) {
        std::shared_ptr<FakeSerialState> s = state;
        plat::SetSerialOpener([s](const std::string& path, int* error) -> std::unique_ptr<plat::SerialDevice> {
            {
                std::lock_guard<std::mutex> g(s->mutex);
                ++s->opens;
                s->lastPath = path;
            }
            if (error != nullptr) *error = 0;
            return std::make_unique<FakeSerialDevice>(s);
        });
    }
    ~ScopedFakeSerial() { plat::SetSerialOpener(nullptr); }
    ScopedFakeSerial(const ScopedFakeSerial&) = delete;
    ScopedFakeSerial& operator=(const ScopedFakeSerial&) = delete;

    std::vector<std::string> writes() {
        std::lock_guard<std::mutex> g(state->mutex);
        return state->writes;
    }
    std::string written() {
        std::string all;
        for (const std::string& w : writes()) all += w;
        return all;
    }
    void feed(const std::string& bytes) {
        std::lock_guard<std::mutex> g(state->mutex);
        state->input += bytes;
    }

    std::shared_ptr<FakeSerialState> state;
};

}  // namespace testsupport
