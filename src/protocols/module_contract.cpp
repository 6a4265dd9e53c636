// Terminal frames between the script engine and the command modules, and
// the services the engine lends the modules.
#include "protocols/module_contract.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "protocols/pv_status.h"

int PAP_WriteCommandFrame(char* commandBuffer, const unsigned char* request, int length) {
    if (commandBuffer == nullptr || length < 0 || length > PAP_MODULE_PAYLOAD_MAX ||
        (length > 0 && request == nullptr))
        return -1;
    char header[8];
    std::snprintf(header, sizeof header, "%04x", static_cast<unsigned>(length + 5));
    std::memcpy(commandBuffer, header, 5);  // four digits and the NUL
    if (length > 0) std::memcpy(commandBuffer + 5, request, static_cast<size_t>(length));
    return length + 5;
}

int PAP_ReadAnswerFrame(const char* frame, int available, unsigned char* answer, int* length) {
    if (frame == nullptr || answer == nullptr || available < 5) return PV_CMD_INTERNAL;
    long value = 0;
    int digits = 0;
    while (digits < 8 && digits < available && std::isxdigit(static_cast<unsigned char>(frame[digits]))) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(frame[digits])));
        value = value * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
        ++digits;
    }
    if (digits == 0) return PV_CMD_INTERNAL;
    const long payload = value - 5;
    if (length != nullptr) *length = static_cast<int>(payload);
    if (payload < 0 || payload > PAP_MODULE_PAYLOAD_MAX || payload > available - 5) return PV_CMD_INTERNAL;
    std::memset(answer, 0, PAP_MODULE_ANSWER_BUFFER);
    std::memcpy(answer, frame + 5, static_cast<size_t>(payload));
    return PV_ALL_FINE;
}

namespace {

PapEngineServices g_engine{};

}  // namespace

void PAP_SetEngineServices(const PapEngineServices* services) {
    g_engine = services != nullptr ? *services : PapEngineServices{};
}

KT_EPERIPH_API* PAP_EngineBox() { return g_engine.box != nullptr ? g_engine.box() : nullptr; }

int PAP_EngineRearmAnswerRow(KT_EPERIPH_API* box, int command) {
    return g_engine.rearmAnswerRow != nullptr ? g_engine.rearmAnswerRow(box, command) : -1;
}

int PAP_EngineWaitEvent(int function, int timeoutMs, char* event) {
    if (event != nullptr) *event = 0;
    return g_engine.waitEvent != nullptr ? g_engine.waitEvent(function, timeoutMs, event) : -1;
}
