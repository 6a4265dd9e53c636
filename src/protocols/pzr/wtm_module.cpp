// Protocol-5 command module: cheque read, print and give-back, ticket bytes
// and the cut, on the printer with a cheque station.
#include "protocols/pzr/wtm_module.h"

#include <cstring>

#include "comm/com_channel.h"
#include "core/card_masking.h"
#include "core/trace.h"
#include "protocols/cheque_line.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"

namespace {

// The module's request areas (one per operation) and answer buffer.
unsigned char g_eventArea[WTM_REQUEST_AREA];
unsigned char g_printArea[WTM_REQUEST_AREA];
unsigned char g_answer[PAP_MODULE_ANSWER_BUFFER];

constexpr unsigned char kRead[] = {0x1C, 0x61, 0x30, 0x01};
constexpr unsigned char kGiveBack[] = {0x1C, 0x61, 0x32, 0x10, 0x05, 0x03};
constexpr unsigned char kPrintHeader[] = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28, 0x47,
                                          0x02, 0x00, 0x54, 0x01, 0x1B, 0x4C, 0x1B, 0x54, 0x01, 0x1B,
                                          0x57, 0xFF, 0x00, 0x30, 0x00, 0x1C, 0x02, 0x00, 0x03};
constexpr unsigned char kPrintTrailer[] = {0x0D, 0x0A, 0x1B, 0x0C, 0x1B, 0x53, 0x1B, 0x63, 0x30, 0x03};
constexpr unsigned char kFeedAndCut[] = {0x0A, 0x0A, 0x0A, 0x0A, 0x1B, 0x69};
static_assert(sizeof kPrintHeader == 29 && sizeof kPrintTrailer == 10);

// The host form of a character of the printer's CMC7 alphabet.
char HostCharacter(char c) {
    switch (c) {
        case '#': return 'C';
        case '/': return 'B';
        case '=': return 'D';
        case '>': return 'E';
        case '^': return 'F';
        default: return c;
    }
}

// The fields of a cheque operation the device did (print, give back, a
// read before its line is looked at).
void ChequeDone(CardReadRecord* r) {
    r->busy = 0;
    r->errorSource = 0;
    r->presentCount = 1;
    r->technology = CARD_TECH_CHEQUE;
    r->origin = 1;
    r->dataValid = 1;
    std::memset(r->eventData, 0, sizeof r->eventData);
    r->eventLength = 0;
}

}  // namespace

const unsigned char* WTM_EVT_SetCommand(int* length, CardReadRecord* record) {
    if (length != nullptr) *length = 0;
    if (record == nullptr || length == nullptr) {
        WSysError("-- ERROR -- [WTM_EVT_SetCommand] Unknown handle");
        return nullptr;
    }
    record->busy = 1;
    std::memset(g_eventArea, 0, sizeof g_eventArea);
    if (record->chequeRequested == 0) {
        WSysError("-- ERROR -- [WTM_EVT_SetCommand] No action required");
        return nullptr;
    }
    int n = 0;
    switch (record->chequeOptions) {
        case WTM_CHEQUE_READ:
            std::memcpy(g_eventArea, kRead, sizeof kRead);
            n = sizeof kRead;
            break;
        case WTM_CHEQUE_PRINT:
            std::memcpy(g_eventArea, kPrintHeader, sizeof kPrintHeader);
            n = sizeof kPrintHeader;
            // A text without '*' has nothing to print: no request at all.
            if (CHQ_BuildPrintLine(record->eventData, WTM_LINE_WIDTH, reinterpret_cast<char*>(g_eventArea + n)) != 1) {
                std::memset(g_eventArea, 0, sizeof g_eventArea);
                WSysError("-- ERROR -- [WTM_EVT_SetCommand] Nothing to print (no '*' in the text)");
                return nullptr;
            }
            n += WTM_LINE_WIDTH;
            std::memcpy(g_eventArea + n, kPrintTrailer, sizeof kPrintTrailer);
            n += sizeof kPrintTrailer;
            break;
        case WTM_CHEQUE_GIVE_BACK:
            std::memcpy(g_eventArea, kGiveBack, sizeof kGiveBack);
            n = sizeof kGiveBack;
            break;
        default: break;  // an empty request
    }
    *length = n;
    record->busy = 0;
    return g_eventArea;
}

const unsigned char* WTM_PRN_SetCommand(int* length, PrintCommandBlock* block) {
    if (length != nullptr) *length = 0;
    if (block == nullptr || length == nullptr) {
        WSysError("-- ERROR -- [WTM_PRN_SetCommand] Unknown handle");
        return nullptr;
    }
    block->busy = 1;
    std::memset(g_printArea, 0, sizeof g_printArea);
    int n = 0;
    switch (block->kind) {
        case PRINT_KIND_TEXT:
            if (block->length <= 0 || block->bytes == nullptr) return nullptr;
            // Never cut silently: a line longer than the area is refused.
            if (block->length > WTM_REQUEST_AREA) {
                WSysError("-- ERROR -- [WTM_PRN_SetCommand] Print block too long (%d, max. %d)", block->length,
                          WTM_REQUEST_AREA);
                return nullptr;
            }
            std::memcpy(g_printArea, block->bytes, static_cast<size_t>(block->length));
            n = block->length;
            break;
        case PRINT_KIND_CUT:
            std::memcpy(g_printArea, kFeedAndCut, sizeof kFeedAndCut);
            n = sizeof kFeedAndCut;
            break;
        default: break;  // an empty request
    }
    *length = n;
    block->busy = 0;
    return g_printArea;
}

int WTM_EVT_DealAnswer(const unsigned char* payload, int length, CardReadRecord* record) {
    if (record == nullptr) {
        WSysError("-- ERROR -- [WTM_EVT_DealAnswer] Unknown handle");
        return 1;
    }
    // The answer is a text up to its first NUL.
    const int text = payload != nullptr && length > 0
                         ? static_cast<int>(strnlen(reinterpret_cast<const char*>(payload), static_cast<size_t>(length)))
                         : 0;
    record->busy = 1;
    record->errorSource = 255;
    record->answerValid = 0;
    record->presentCount = 0;
    switch (record->chequeOptions) {
        case WTM_CHEQUE_READ: {
            ChequeDone(record);
            record->answerValid = 1;
            record->status = WTM_LINE_NOT_READ;
            if (text >= 2 && (payload[0] & 0x01) != 0 && (payload[0] & 0x20) == 0) {
                record->status = WTM_LINE_READ;
                int n = 0;
                for (int i = 1; i < text && n < kCardEventDataMax; ++i) {
                    const char c = static_cast<char>(payload[i]);
                    if (c != ' ') record->eventData[n++] = HostCharacter(c);
                }
            }
            record->eventLength = static_cast<int32_t>(std::strlen(record->eventData));
            break;
        }
        case WTM_CHEQUE_PRINT:
        case WTM_CHEQUE_GIVE_BACK: ChequeDone(record); break;
        default:
            record->answerValid = 1;
            record->errorSource = 2;
            record->status = 2;
            record->busy = 0;
            break;
    }
    return record->busy;
}

int WTM_PRN_DealAnswer(const unsigned char*, int, PrintCommandBlock* block) {
    if (block == nullptr) {
        WSysError("-- ERROR -- [WTM_PRN_DealAnswer] Unknown handle");
        return 1;
    }
    block->busy = 0;
    block->done = 0;
    return 0;
}

int WTM_GSET_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- [WTM_GSET_SetCommand] %p %p", static_cast<void*>(box), static_cast<void*>(resource));
        return -2;
    }
    int length = 0;
    const unsigned char* request = nullptr;
    unsigned char* area = nullptr;
    switch (resource->command) {
        case static_cast<int32_t>(O_T_EVENT):
            request = WTM_EVT_SetCommand(&length, va_arg(args, CardReadRecord*));
            area = g_eventArea;
            break;
        case static_cast<int32_t>(O_T_PRINT):
            request = WTM_PRN_SetCommand(&length, va_arg(args, PrintCommandBlock*));
            area = g_printArea;
            break;
        default:
            WSysError("-- ERROR -- [WTM_GSET_SetCommand] Unknown command (%d)", resource->command);
            return -1;
    }
    if (request == nullptr) return -1;
    const int frame = PAP_WriteCommandFrame(commandBuffer, request, length);
    std::memset(area, 0, WTM_REQUEST_AREA);
    return frame;
}

int WTM_GSET_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- [WTM_GSET_GetOneResult] %p %p", static_cast<void*>(box), static_cast<void*>(resource));
        return PV_CMD_INTERNAL;
    }
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, g_answer, &length) != PV_ALL_FINE) {
        WSysError("-- ERROR -- [WTM_GSET_GetOneResult] Answer not readable (%d)", length);
        return PV_CMD_INTERNAL;
    }
    int result = PV_CMD_UNKNOWN;
    switch (resource->command) {
        case static_cast<int32_t>(O_T_EVENT):
            result = WTM_EVT_DealAnswer(g_answer, length, va_arg(args, CardReadRecord*));
            break;
        case static_cast<int32_t>(O_T_PRINT):
            result = WTM_PRN_DealAnswer(g_answer, length, va_arg(args, PrintCommandBlock*));
            break;
        default: break;
    }
    // The answer may be a CMC7 line: nothing of it stays behind.
    std::memset(g_answer, 0, sizeof g_answer);
    return result;
}

int WTM_GSET_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- [WTM_GSET_WaitEvent] %p %p", static_cast<void*>(box), static_cast<void*>(resource));
        return 1;
    }
    if (XPRO_NetworkEvent(resource, event)) return 0;
    unsigned char byte = 0;
    const int waited = XPRO_WaitLineByte(box, resource, timeoutMs, &byte);
    if (waited != 0) return waited;
    // The byte is the answer's first: the read decoder looks at it.
    XPRO_HoldByte(resource->linkContext, byte);
    if (event != nullptr) event[0] = 'A';
    return 0;
}

bool WTM_MaskTraceExchange(unsigned char*, size_t, unsigned char* received, size_t receivedLength) {
    if (received != nullptr)
        for (size_t i = 1; i < receivedLength; ++i) received[i] = kWSysMaskedByte;
    // The bytes sent (tickets) are left to the masks of card numbers.
    return false;
}

void WTM_MaskLineTrace(int port) { WComTraceSetMasker(port, WTM_MaskTraceExchange); }
