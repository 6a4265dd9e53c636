// Collects every trace line written while it lives (installs itself as the
// trace hook and puts the previous hook back when it goes). Lines written by
// other threads are collected under the trace lock; Contains, count and
// Snapshot read under it too.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "core/trace.h"

namespace testsupport {

class TraceCapture {
public:
    TraceCapture() : previous_(WSysGetTraceHook()) {
        std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
        lines().clear();
        WSysSetTraceHook(&Hook);
    }
    ~TraceCapture() { WSysSetTraceHook(previous_); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    static std::vector<std::string>& lines() {
        static std::vector<std::string> captured;
        return captured;
    }
    bool Contains(const std::string& text) const {
        std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
        for (const auto& l : lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    size_t count() const {
        std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
        return lines().size();
    }
    std::vector<std::string> Snapshot() const {
        std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
        return lines();
    }

private:
    static int Hook(const char* text) {
        lines().emplace_back(text ? text : "");
        return 0;
    }
    WSysTraceHook previous_;
};

}  // namespace testsupport
