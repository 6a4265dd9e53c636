// Terminal functions on a real serial line for the script engine's tests: a
// communication table, one pseudo-terminal per port whose far end is a raw
// test-link terminal (tools/linesim/raw_terminal.h), the terminal box with
// its resources, and the stub module plugged in under protocol 6 ("D5500").
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "linesim/raw_terminal.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/stub_module.h"
#include "support/terminal_box_fixture.h"

namespace testsupport {

constexpr int kStubProtocol = 6;
constexpr const char* kStubProtocolName = "D5500";

class TerminalLines {
public:
    struct Line {
        linesim::RawTerminalHandler* terminal = nullptr;
        std::unique_ptr<PtyPort> pty;
        int port() const { return pty->port; }
    };

    explicit TerminalLines(int ports = 2) : table(ports, 0, 0, 0, 1), box(table.id, UniqueStation()) {}
    ~TerminalLines() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }

    // A new port on a pseudo-terminal answered by a raw terminal with these
    // rules; its connection kind is a direct line (media 0, adapter 1).
    Line& addLine(std::vector<linesim::RawRule> rules = {}) {
        auto handler = std::make_unique<linesim::RawTerminalHandler>(std::move(rules));
        Line line;
        line.terminal = handler.get();
        line.pty = std::make_unique<PtyPort>(std::move(handler));
        if (line.pty->ready()) WCOM_SetResourceConnType(line.pty->port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        lines.push_back(std::move(line));
        return lines.back();
    }
    // A terminal function on a line, served by the stub module.
    int add(const char* device, const Line& line) { return box.add(device, line.port(), kStubProtocolName); }

    ComTable table;
    TerminalBox box;
    ScopedStubProtocol stub{kStubProtocol};
    std::deque<Line> lines;  // references to a line stay valid
};

// Puts a device (a simulator's slave) as the "Driver" of a port: into the
// configuration file that "com" gave the port's resource. Empty, or why not.
inline std::string SetPortDriver(int port, const std::string& device) {
    const ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr || r->configFile[0] == '\0') return "no configuration file for the port";
    return linesim::SetDriver(r->configFile, device);
}

// A rule answering with one payload (status 2).
inline linesim::RawRule Answer(const std::string& payload, int delayMs = 0) {
    linesim::RawRule rule;
    rule.kind = linesim::RawRule::Kind::Answer;
    rule.answers.emplace_back(2, payload);
    rule.delayMs = delayMs;
    return rule;
}

inline linesim::RawRule RuleOf(linesim::RawRule::Kind kind) {
    linesim::RawRule rule;
    rule.kind = kind;
    return rule;
}

}  // namespace testsupport
