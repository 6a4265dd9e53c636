// A RUDA terminal (function 4) in a terminal box, driven through the script
// engine: an operation is set with EPAP_SetCommand and its request taken
// from the row the engine wrote; an answer is put in the answer row and read
// back through the engine with the caller's result arguments.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "periph/terminal_exchange.h"
#include "protocols/module_contract.h"
#include "support/apdu_bytes.h"
#include "support/terminal_box_fixture.h"

namespace testsupport {

class RudaEngineOps {
public:
    static constexpr int kFunction = 4;
    static constexpr int kNoRow = -1000;

    RudaEngineOps() {
        EXPECT_EQ(t.add("EFT_CAM_1", 0, "RUDA"), 0);
        terminal = t.function(kFunction);
    }

    // The status of EPAP_SetCommand (0 set; a refused request leaves 1); the
    // request of the row written goes to `sent` (empty without a row).
    template <typename... Args>
    int set(int operation, Args... args) {
        EPAP_ClearAll();
        sent.clear();
        const int status = EPAP_SetCommand(kFunction, operation, args...);
        const char* row = t.box->commands[0];
        if (row[0] == '\0') return status;
        const char* frame = row + PAP_FRAME_OFFSET;
        const long n = std::strtol(std::string(frame, 4).c_str(), nullptr, 16) - 5;
        if (n > 0) sent.assign(frame + 5, frame + 5 + n);
        return status;
    }

    // Reads the terminal's answer to `operation` through the engine.
    template <typename... Args>
    int answer(int operation, const Bytes& payload, Args... args) {
        char head[8];
        std::snprintf(head, sizeof head, "%04x", static_cast<unsigned>(payload.size() + 5));
        std::string frame = std::string(head, 4) + std::string(1, '\0') + std::string(payload.begin(), payload.end());
        if (TWEP_SetAnswerScriptMes(t.box, terminal, static_cast<int>(frame.size()), frame.data()) < 0) return kNoRow;
        terminal->command = operation;
        return read(t.box, terminal, args...);
    }

    TerminalBox t;
    KT_PERES* terminal = nullptr;
    Bytes sent;

private:
    static int read(KT_EPERIPH_API* box, KT_PERES* resource, ...) {
        va_list args;
        va_start(args, resource);
        const int status = TWEP_GetOneResult(box, resource, args);
        va_end(args);
        return status;
    }
};

}  // namespace testsupport
