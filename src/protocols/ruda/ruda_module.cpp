// RUDA command module: frames, answer rows, event wait and link callbacks.
#include "protocols/ruda/ruda_module.h"

#include <algorithm>
#include <cstring>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_card.h"
#include "protocols/ruda/ruda_device.h"
#include "protocols/ruda/ruda_display.h"
#include "protocols/ruda/ruda_level2.h"
#include "protocols/ruda/ruda_print_files.h"
#include "protocols/ruda/ruda_terminal_info.h"
#include "protocols/ruda/ruda_link.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_context.h"

namespace {

// The operations of the RUDA column.
constexpr int kOperations[] = {0,   1,   2,   3,   4,   5,   9,   10,  11,  13,  14,  15,  16,  31,  70,  90,
                               91,  92,  93,  94,  95,  96,  97,  100, 101, 102, 120, 130, 131, 132, 151, 152,
                               153, 154, 155, 156, 157, 158, 159, 160, 161, 163, 165, 166, 170, 171, 172, 173,
                               174, 176, 178, 180, 181, 182, 183, 184, 186, 190, 191, 192, 193, 194, 196, 197};

unsigned char g_answer[PAP_MODULE_ANSWER_BUFFER];

// The request of an operation: 1 built (*apdu allocated with WAlloc), 0
// none, -1 refused. The arguments each operation reads are listed in
// ruda_module.h.
int Build(int code, va_list args, unsigned char** apdu, int* length) {
    switch (code) {
        case 10:
        case 100:
            return RUDA_BuildCardStatusRequest(va_arg(args, CardReadRecord*), code == 10, apdu, length);
        case 11:
        case 101:
            return RUDA_BuildSelectAidRequest(apdu, length);
        case 14:
        case 130:
        case 132:
        case 180:
            return RUDA_BuildFixedRequest(code, 0, apdu, length);
        case 159:
            return RUDA_BuildFixedRequest(code, va_arg(args, int), apdu, length);
        case 102:
        case 152: {
            const int first = va_arg(args, int);
            const int second = va_arg(args, int);
            return RUDA_BuildResetDeviceRequest(code, first, second, apdu, length);
        }
        case 13: case 15: case 16: case 120: case 151: case 153: case 154: case 155: case 156: case 157:
        case 158: case 193: case 194:
            return RUDA_BuildPrintFileRequest(code, args, apdu, length);
        case 90: case 93: case 94: case 95:
            return RUDA_BuildInfoRequest(code, args, apdu, length);
        case 91: case 92: case 96: case 97: case 172: case 173: case 174: case 176: case 186: case 190:
        case 191: case 192: case 196: case 197:
            return RUDA_BuildDeviceRequest(code, args, apdu, length);
        case 131: {
            const CtlsTransactionData* data = va_arg(args, const CtlsTransactionData*);
            (void)va_arg(args, int);  // kept by callers, not sent
            const int country = va_arg(args, int);
            return RUDA_BuildCtlsStartRequest(data, country, apdu, length);
        }
        case 70:
            return RUDA_BuildOnlinePinRequest(va_arg(args, RudaPinRecord*), apdu, length);
        case 181:
        case 184:
            return RUDA_BuildPrevalRequest(code, va_arg(args, POT*), nullptr, nullptr, apdu, length);
        case 182: {
            POT* pot = va_arg(args, POT*);
            const RudaCandidateEntry* list = va_arg(args, const RudaCandidateEntry*);
            return RUDA_BuildPrevalRequest(code, pot, list, nullptr, apdu, length);
        }
        case 183: {
            POT* pot = va_arg(args, POT*);
            const RudaContinueValues* values = va_arg(args, const RudaContinueValues*);
            return RUDA_BuildPrevalRequest(code, pot, nullptr, values, apdu, length);
        }
        case 31: {
            POT* pot = va_arg(args, POT*);
            const RudaStepArgument* argument = va_arg(args, const RudaStepArgument*);
            return RUDA_BuildEmvApdu(pot, argument, apdu, length);
        }
        default: {
            // Operation 1 sends nothing; the printing, file, information and
            // device operations have no request yet.
            const int screen = RUDA_BuildScreenRequest(code, args, apdu, length);
            if (screen != kRudaNotMine) return screen;
            return 0;
        }
    }
}

int Decode(int code, const unsigned char* answer, int length, va_list args) {
    switch (code) {
        case 1:
            return PV_ALL_FINE;
        case 10:
            return RUDA_DealEventAnswer(answer, length, va_arg(args, CardReadRecord*));
        case 100: {
            CardReadRecord* record = va_arg(args, CardReadRecord*);
            TerminalResultArea* area = va_arg(args, TerminalResultArea*);
            const int restart = va_arg(args, int);
            return RUDA_DealRUDACARD_STATUSAnswer(answer, length, record, area, restart);
        }
        case 11:
        case 101:
            return RUDA_DealSelectAnswer(answer, length, va_arg(args, TerminalResultArea*));
        case 14:
            return RUDA_DealAbortAnswer(answer, length);
        case 130:
            return RUDA_DealOpenCtlsAnswer(answer, length);
        case 131: {
            CardReadRecord* record = va_arg(args, CardReadRecord*);
            TerminalResultArea* area = va_arg(args, TerminalResultArea*);
            const int restart = va_arg(args, int);
            return RUDA_DealStartCtlsAnswer(answer, length, record, area, restart);
        }
        case 132: {
            CardReadRecord* record = va_arg(args, CardReadRecord*);
            TerminalResultArea* area = va_arg(args, TerminalResultArea*);
            return RUDA_DealCancelCtlsAnswer(answer, length, record, area);
        }
        case 159:
            return RUDA_DealPowerAnswer(answer, length);
        case 102:
        case 152:
            return RUDA_DealResetDeviceAnswer(code, answer, length, va_arg(args, char*));
        case 13: case 15: case 16: case 120: case 153: case 154: case 155: case 156: case 157: case 158:
        case 193: case 194:
            return RUDA_DealPrintFileAnswer(code, answer, length, args);
        case 90: case 93: case 94: case 95:
            return RUDA_DealInfoAnswer(code, answer, length, args);
        case 91: case 92: case 96: case 97: case 172: case 173: case 174: case 176: case 186: case 190:
        case 191: case 192: case 196: case 197:
            return RUDA_DealDeviceAnswer(code, answer, length, args);
        case 180:
            return RUDA_DealRUDA_CheckCardInserted_Answer(answer, length, va_arg(args, int32_t*));
        case 70:
            return RUDA_DealOnlinePinAnswer(answer, length, va_arg(args, RudaPinRecord*));
        case 181:
        case 182:
        case 183:
        case 184: {
            POT* pot = va_arg(args, POT*);
            RudaCandidateRecord* candidates =
                code == 181 || code == 182 ? va_arg(args, RudaCandidateRecord*) : nullptr;
            return RUDA_DealPrevalAnswer(code, answer, length, pot, candidates, kRudal2CandidateMax);
        }
        case 31: {
            POT* pot = va_arg(args, POT*);
            const RudaStepArgument* argument = va_arg(args, const RudaStepArgument*);
            RudaCallerBuffer* caller = va_arg(args, RudaCallerBuffer*);
            return RUDA_DealEmvAnswer(pot, answer, length, argument, caller);
        }
        default: {
            const int screen = RUDA_DealScreenAnswer(code, answer, length, args);
            if (screen != kRudaNotMine) return screen;
            return PV_CMD_INTERNAL;
        }
    }
}

// The answer row of the operation is read again from the terminal.
bool Rearms(int code, int result) {
    return code == 10 || code == 100 || code == 14 || (code == 132 && result == 2) || result == PV_NOT_YET;
}

}  // namespace

int RUDA_IsOperation(int code) {
    return std::find(std::begin(kOperations), std::end(kOperations), code) != std::end(kOperations) ? 1 : 0;
}

const unsigned char* RUDA_AnswerBuffer() { return g_answer; }

int RUDA_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    if (box == nullptr || resource == nullptr || commandBuffer == nullptr) return -2;
    box->status = PV_CMD_INTERNAL;
    const int code = resource->command;
    if (!RUDA_IsOperation(code)) return -1;
    unsigned char* apdu = nullptr;
    int length = 0;
    va_list copy;
    va_copy(copy, args);
    const int built = Build(code, copy, &apdu, &length);
    va_end(copy);
    if (built < 0) return -1;
    box->status = PV_ALL_FINE;
    if (built != 1 || apdu == nullptr) return 0;
    if (RUDA_CipherForBox(box, code, &apdu, &length) < 0) return -1;
    const int frame = PAP_WriteCommandFrame(commandBuffer, apdu, length);
    std::memset(apdu, 0, static_cast<size_t>(length));
    WFree(apdu);
    if (frame < 0) {
        WSysError("-- ERROR -- RUDA_SetCommand - request too large for a frame: %d, max size %d", length,
                  PAP_MODULE_PAYLOAD_MAX);
        return -1;
    }
    return frame;
}

int RUDA_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- RUDA_GetOneResult - PAPBox or FuncBox is null");
        return PV_CMD_INTERNAL;
    }
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, g_answer, &length) != PV_ALL_FINE) {
        WSysError("-- ERROR -- RUDA_GetOneResult - Receipt of an answer message too large for the buffer : received %d, "
                  "max size %d",
                  length, PAP_MODULE_PAYLOAD_MAX);
        return PV_CMD_INTERNAL;
    }
    int ciphered = 0;
    const unsigned char* key = box->moduleOptions != 0 ? box->streamKey : nullptr;
    if (RUDA_UnwrapAnswer(g_answer, &length, key, &ciphered) == -2) return -2;
    if (ciphered) box->lastAnswerCiphered = 1;
    const int code = resource->command;
    if (code != 10 && code != 100 && code != 178 && code != 180) RUDA_CheckCardRemoval(g_answer, &length);
    va_list copy;
    va_copy(copy, args);
    const int result = Decode(code, g_answer, length, copy);
    va_end(copy);
    if (Rearms(code, result)) PAP_EngineRearmAnswerRow(box, code);
    return result;
}

int RUDA_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) return 1;
    if (event != nullptr) *event = 0;
    if (PAP_WaitCallbackStops(box)) return PV_PER_RESET;
    if (resource->transportKind == PAP_TRANSPORT_NETWORK) {
        if (event != nullptr) *event = 'A';
        return 0;
    }
    const WTimeStamp start = WGetTimeStamp();
    const int64_t startMs = plat::MonotonicMs();
    // A line that is gone (hung up, or a terminal link the terminal closed)
    // ends the wait at once: nothing can come any more.
    for (;;) {
        int output = 0, input = 0;
        if (PortQueueStatus(resource->port, &output, &input) != 0) return PV_NET_FAILED;
        if (input > 0) break;
        if (WIsTimeOut(start, timeoutMs)) return PV_NOT_YET;
        // Wakes when a byte comes, at the latest when the time is up.
        const int64_t left64 = timeoutMs < 0 ? 1000 : timeoutMs - (plat::MonotonicMs() - startMs);
        const int left = static_cast<int>(std::clamp<int64_t>(left64, 1, 1000));
        if (WComWaitInput2(resource->port, left) < 0) return PV_NET_FAILED;
    }
    if (event != nullptr) *event = 'A';
    return 0;
}

void* RUDA_LinkOpen(const char* description) {
    auto* ctx = static_cast<KT_XPROT*>(XAS_LinkOpen(description));
    if (ctx != nullptr) std::memcpy(ctx->timeouts, XPRO_RUDA_TIMEOUTS, sizeof ctx->timeouts);
    return ctx;
}
