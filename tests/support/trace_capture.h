// Collects every trace line written while it lives (installs itself as the
// trace hook and puts the previous hook back when it goes).
#pragma once
#include <string>
#include <vector>

#include "core/trace.h"

namespace testsupport {

class TraceCapture {
public:
    TraceCapture() : previous_(WSysGetTraceHook()) {
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
        for (const auto& l : lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    size_t count() const { return lines().size(); }

private:
    static int Hook(const char* text) {
        lines().emplace_back(text ? text : "");
        return 0;
    }
    WSysTraceHook previous_;
};

}  // namespace testsupport
