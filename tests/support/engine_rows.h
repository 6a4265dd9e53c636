// The script engine's rows as a module's tests use them: the request the
// module wrote into the first command row, an answer put into the
// resource's set row, and the read of that answer through the engine with
// the caller's result arguments.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "periph/terminal_exchange.h"
#include "protocols/terminal_frame.h"

namespace testsupport {

// The payload of the box's first command row (empty without a row).
inline std::vector<uint8_t> FirstRowRequest(const KT_EPERIPH_API* box) {
    const char* row = box->commands[0];
    if (row[0] == '\0') return {};
    const char* frame = row + PAP_FRAME_OFFSET;
    const long length = std::strtol(std::string(frame, 4).c_str(), nullptr, 16) - 5;
    if (length <= 0) return {};
    return std::vector<uint8_t>(frame + 5, frame + 5 + length);
}

// The payload as the answer of the resource's set row: false without one.
inline bool PutRowAnswer(KT_EPERIPH_API* box, KT_PERES* resource, const std::vector<uint8_t>& payload) {
    char head[8];
    std::snprintf(head, sizeof head, "%04x", static_cast<unsigned>(payload.size() + 5));
    std::string frame = std::string(head, 4) + std::string(1, '\0') + std::string(payload.begin(), payload.end());
    return TWEP_SetAnswerScriptMes(box, resource, static_cast<int>(frame.size()), frame.data()) >= 0;
}

// Reads the resource's answer row through the engine with the result
// arguments given.
inline int ReadRow(KT_EPERIPH_API* box, KT_PERES* resource, ...) {
    va_list args;
    va_start(args, resource);
    const int status = TWEP_GetOneResult(box, resource, args);
    va_end(args);
    return status;
}

}  // namespace testsupport
