// DORAN command module: the entry points of protocol 2 and the wait for the
// terminal's echo.
#include "protocols/doran/doran_module.h"

#include <cstring>

#include "comm/port_api.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/doran/doran_card_ops.h"
#include "protocols/doran/doran_echo.h"
#include "protocols/doran/doran_emv.h"
#include "protocols/doran/doran_syntax.h"
#include "protocols/module_contract.h"
#include "protocols/pot.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"

namespace {

// The answer buffer of the decoders (payload and a terminator).
unsigned char g_answer[PAP_MODULE_ANSWER_BUFFER];
// 'D' echoes since the last announcement.
int g_displayEchoes = 0;

template <typename Record>
Record* As(void* record) {
    return static_cast<Record*>(record);
}

const unsigned char* Build(uint32_t code, void* record, int* length) {
    switch (code) {
        case O_T_DIALOGUE:
        case O_T_OPEN_DISPLAY:
        case O_T_DISPLAY:
        case O_T_SELECT:
        case O_T_WDATA:
        case O_T_WDATA_CONT: return DRN_SetDialogue(length, As<TermDisplayBlock>(record));
        case O_T_EVENT: return DRN_SetEvent(length, As<CardReadRecord>(record));
        case O_T_SELECT_AID: return DRN_SetApplicationList(length, As<TerminalResultArea>(record));
        case O_T_CARD_2001: return DRN_SetReader1Card(length, As<POT>(record));
        case O_T_EMV_DATA: return DRN_SetEMVCommand(length, As<POT>(record));
        case O_T_CARD_3001: return DRN_SetCard3001(length, As<POT>(record));
        case O_T_CARD_4001: return DRN_SetCard4001(length, As<POT>(record));
        case O_T_CARD_DATA: return DRN_SetCardData(length, As<POT>(record));
        case O_T_CARD_6001: return DRN_SetCard6001(length, As<POT>(record));
        case O_T_ONLINE_PIN: return DRN_SetOnlinePin(length, As<DrnOnlinePinRecord>(record));
        case O_T_TERMINAL_CALL_61: return DRN_SetTerminalCall61(length, As<DrnTerminalCall61Record>(record));
        case O_T_TERMINAL_CALL_62: return DRN_SetTerminalCall62(length, As<DrnTerminalCall62Record>(record));
        case O_T_RECORD_EXCHANGE: return DRN_SetRecordExchange(length, As<DrnRecordExchangeRecord>(record));
        case O_T_CARD_2002: return DRN_SetReader2Card(length, As<POT>(record));
        case O_T_ECO: return DRN_SetECOCommand(length, As<POT>(record));
        case O_T_INFO: return DRN_SetTerminalInfo(length, As<DrnTerminalInfoRecord>(record));
        default: return nullptr;
    }
}

bool Known(uint32_t code) {
    switch (code) {
        case O_T_DIALOGUE: case O_T_OPEN_DISPLAY: case O_T_DISPLAY: case O_T_SELECT: case O_T_WDATA:
        case O_T_WDATA_CONT: case O_T_EVENT: case O_T_SELECT_AID: case O_T_CARD_2001: case O_T_EMV_DATA:
        case O_T_CARD_3001: case O_T_CARD_4001: case O_T_CARD_DATA: case O_T_CARD_6001: case O_T_ONLINE_PIN:
        case O_T_TERMINAL_CALL_61: case O_T_TERMINAL_CALL_62: case O_T_RECORD_EXCHANGE: case O_T_CARD_2002:
        case O_T_ECO: case O_T_INFO: return true;
        default: return false;
    }
}

int Decode(uint32_t code, const unsigned char* answer, int length, void* record) {
    switch (code) {
        case O_T_DIALOGUE:
        case O_T_OPEN_DISPLAY:
        case O_T_DISPLAY:
        case O_T_SELECT:
        case O_T_WDATA:
        case O_T_WDATA_CONT: return DRN_DealDialogue(answer, length, As<TermDisplayBlock>(record));
        case O_T_EVENT: return DRN_DealEvent(answer, length, As<CardReadRecord>(record));
        case O_T_SELECT_AID:
        case O_T_CANDIDATES: return DRN_DealApplicationList(answer, length, As<TerminalResultArea>(record));
        case O_T_CARD_2001: return DRN_DealReader1Card(answer, length, As<POT>(record));
        case O_T_EMV_DATA: return DRN_DealEMVAnswer(answer, length, As<POT>(record));
        case O_T_CARD_3001: return DRN_DealCard3001(answer, length, As<POT>(record));
        case O_T_CARD_4001: return DRN_DealCard4001(answer, length, As<POT>(record));
        case O_T_CARD_DATA: return DRN_DealCardData(answer, length, As<POT>(record));
        case O_T_CARD_6001: return DRN_DealCard6001(answer, length, As<POT>(record));
        case O_T_ONLINE_PIN: return DRN_DealOnlinePin(answer, length, As<DrnOnlinePinRecord>(record));
        case O_T_TERMINAL_CALL_61:
            return DRN_DealTerminalCall61(answer, length, As<DrnTerminalCall61Record>(record));
        case O_T_TERMINAL_CALL_62:
            return DRN_DealTerminalCall62(answer, length, As<DrnTerminalCall62Record>(record));
        case O_T_RECORD_EXCHANGE: return DRN_DealRecordExchange(answer, length, As<DrnRecordExchangeRecord>(record));
        case O_T_CARD_2002: return DRN_DealReader2Card(answer, length, As<POT>(record));
        case O_T_ECO: return DRN_DealECOAnswer(answer, length, As<POT>(record));
        case O_T_INFO: return DRN_DealTerminalInfo(answer, length, As<DrnTerminalInfoRecord>(record));
        default: return PV_CMD_UNKNOWN;
    }
}

// One byte of the echo within the wait: true when read. A port that fails
// at once still takes the wait, so that a dead line is not polled in a loop.
bool ReadEchoByte(int port, int waitMs, unsigned char* b) {
    const int64_t start = plat::MonotonicMs();
    const int r = PortRxCar(port, b, waitMs);
    if (r == PORT_DONE) return true;
    const int64_t left = waitMs - (plat::MonotonicMs() - start);
    if (r != PORT_TIMEOUT && left > 0) plat::SleepMs(left);
    return false;
}

// The first record argument of the caller's list.
void* FirstRecord(va_list args) {
    va_list copy;
    va_copy(copy, args);
    void* record = va_arg(copy, void*);
    va_end(copy);
    return record;
}

}  // namespace

int DRN_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    if (box == nullptr || resource == nullptr || commandBuffer == nullptr) return -2;
    const auto code = static_cast<uint32_t>(resource->command);
    if (!Known(code)) return -1;
    int length = 0;
    const unsigned char* message = Build(code, FirstRecord(args), &length);
    int written = -1;
    if (message != nullptr && length > 0) written = PAP_WriteCommandFrame(commandBuffer, message, length);
    DRN_FreeSyntax(1, 'w');
    return written > 0 ? written : -1;
}

int DRN_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, g_answer, &length) != PV_ALL_FINE) {
        WSysError("-- ERROR -- DRN_GetOneResult : reponse refusee (%d octets, max. %d)", length,
                  PAP_MODULE_PAYLOAD_MAX);
        return PV_CMD_INTERNAL;
    }
    const int status = Decode(static_cast<uint32_t>(resource->command), g_answer, length, FirstRecord(args));
    // The decoders keep nothing of the answer, which may hold card data.
    std::memset(g_answer, 0, sizeof g_answer);
    return status;
}

void DRN_ResetWaitState() { g_displayEchoes = 0; }

int DRN_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) return 1;
    char ignored = 0;
    if (event == nullptr) event = &ignored;
    *event = 0;
    if (resource->transportKind == PAP_TRANSPORT_NETWORK) return 0;
    const int byteWait = timeoutMs / 10;
    DrnEchoParser parser;
    while (parser.step() == DrnEchoParser::Step::More) {
        unsigned char b = 0;
        const bool read = ReadEchoByte(resource->port, byteWait, &b);
        const bool warnedBefore = parser.warned();
        parser.feed(read ? b : DrnEchoParser::kFailedRead);
        if (parser.warned() && !warnedBefore)
            WSysError("<< WARN. >> Timeout while waiting terminal echo, timeout value: %d", timeoutMs);
    }
    if (parser.step() == DrnEchoParser::Step::Refused) return 1;

    char echo[kDrnEventBuffer] = {};
    int result = 0;
    if (parser.step() == DrnEchoParser::Step::Event) {
        std::memcpy(echo, parser.bytes(), DrnEchoParser::kBufferSize);
        if (parser.announces()) {
            g_displayEchoes = 0;
            resource->answerAnnounced = 1;
        } else if (parser.letter() == 'D') {
            ++g_displayEchoes;
        }
    } else if (g_displayEchoes != 0) {
        // The display echoes stopped: the terminal's display went back.
        echo[0] = 'B';
        g_displayEchoes = 0;
    } else {
        result = PV_NOT_YET;
    }
    // The caller's event is one character; the whole echo goes to the
    // callback, which shows the display echoes.
    *event = echo[0];
    if (box->waitCallback != nullptr) {
        box->waitCallback(echo);
        if (echo[0] == 'S') result = PV_PER_RESET;
    }
    return result;
}
