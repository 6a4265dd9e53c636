// Calls of a command module's set and get entry points with the caller's
// arguments, as the script engine makes them (a va_list), and answer
// frames as the engine stores them.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocols/module_contract.h"
#include "protocols/terminal_frame.h"

namespace testsupport {

inline int CallSet(PapSetFn set, KT_EPERIPH_API* box, KT_PERES* resource, char* buffer, ...) {
    va_list args;
    va_start(args, buffer);
    const int n = set(box, resource, buffer, args);
    va_end(args);
    return n;
}

inline int CallGet(PapGetFn get, KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, ...) {
    va_list args;
    va_start(args, frame);
    const int n = get(box, resource, frame, args);
    va_end(args);
    return n;
}

// An answer frame ("%04X" of the payload's length plus 5, NUL, payload) in
// a buffer of the size an answer row offers.
inline std::string RowAnswerFrame(const std::string& payload) {
    std::string frame(PAP_FRAME_MAX, '\0');
    char head[12];
    std::snprintf(head, sizeof head, "%04X", static_cast<unsigned>(payload.size() + 5));
    std::memcpy(frame.data(), head, 4);
    std::memcpy(frame.data() + 5, payload.data(), payload.size());
    return frame;
}

}  // namespace testsupport
