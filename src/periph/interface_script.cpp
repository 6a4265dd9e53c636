// Script tables, command encoders, result reading and the ISAP_ front end of
// the interface engine.
#include "periph/interface_script.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_exec.h"
#include "protocols/pv_status.h"

namespace {

constexpr const char* kTableLogger = "ktapi.twip";
constexpr const char* kApiLogger = "twip";
constexpr const char* kNetAppli = "1210";
// Encoding room of one payload before the store checks it against a row.
constexpr size_t kEncodeRoom = 512;

SapEngineState g_state{};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadNumber(const char* p, int digits, int base, int* out) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = base == 10 ? (p[i] >= '0' && p[i] <= '9' ? p[i] - '0' : -1) : HexDigit(p[i]);
        if (d < 0) return false;
        value = value * base + d;
    }
    *out = value;
    return true;
}

bool RowIs(const char* row, char status) { return row[0] == status && row[1] == '_'; }

void WriteCommandHeader(char* row, char status, int function, int command) {
    char header[SAP_ROW_HEADER + 1];
    std::snprintf(header, sizeof header, "%c_%03d_%04x_", status, function, static_cast<unsigned>(command));
    std::memcpy(row, header, SAP_ROW_HEADER);
}

void WriteAnswerHeader(char* row, char status, int function, int command) {
    char header[SAP_ROW_HEADER + 5];
    std::snprintf(header, sizeof header, "%c_%03d_%04x_%04x", status, function, static_cast<unsigned>(command), 0u);
    std::memcpy(row, header, SAP_ROW_HEADER + 4);
}

bool ValidRowNumbers(int function, int command) {
    return function >= 0 && function <= 999 && command >= 0 && command <= 0xFFFF;
}

// An encoder's preconditions: the box's console and the resource's window.
bool EncoderReady(KT_IPERIPH_API* box, KT_PIRES* r) {
    if (box == nullptr || r == nullptr || box->console == nullptr || r->window == nullptr) {
        SAP_SetLastStatus(1);
        return false;
    }
    return true;
}

// Stores one encoded payload; a refused store sets the last status 1.
bool Store(KT_IPERIPH_API* box, KT_PIRES* r, int length, const void* payload) {
    if (length < 0 || TWIP_SetCommandScriptMes(box, r, 0, length, payload) < 0) {
        SAP_SetLastStatus(1);
        return false;
    }
    return true;
}

void ResetTraffic(KT_IPERIPH_API* box) {
    SAP_SetNetAppli(kNetAppli);
    box->SAP_GenStat = PV_ALL_FINE;
    SAP_SetStatusText(box, nullptr);
}

// Steps shared by the Set and Get operations: the window's resource, with
// the command type set; null and the status to return otherwise.
KT_PIRES* BeginCommand(KT_TEXT_WINDOW* window, int type, int* status) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr || box->console == nullptr || window == nullptr) {
        *status = PV_CMD_INTERNAL;
        return nullptr;
    }
    ResetTraffic(box);
    KT_PIRES* r = TWIP_FindServedResource(box, window->resource);
    g_state.current = r;
    if (r == nullptr) {
        box->SAP_GenStat = PV_PER_ACCES;
        SAP_SetStatusText(box, nullptr);
        *status = PV_PER_ACCES;
        return nullptr;
    }
    r->command = type;
    return r;
}

// The end of a command operation: status refreshed with the resource.
int EndCommand(KT_PIRES* r) {
    KT_IPERIPH_API* box = SAP_GetBox();
    SAP_SetStatusText(box, r);
    return box->SAP_GenStat;
}

// Reads the result of the resource's command after collecting the answers.
void ReadResult(KT_PIRES* r, int type) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (ISAP_GetScriptResults() != PV_ALL_FINE) return;
    // The exchange leaves in the resource the type of the last row it
    // handled: the result read is this operation's.
    r->command = type;
    TWIP_GetOneResult(box, r);
}

}  // namespace

SapEngineState& TWIP_State() { return g_state; }

void TWIP_ResetState() { g_state = SapEngineState{}; }

bool TWIP_ReadRowHeader(const char* row, SapRowHeader* header) {
    if (row == nullptr || header == nullptr || row[1] != '_' || row[5] != '_' || row[10] != '_') return false;
    SapRowHeader h{};
    h.status = row[0];
    if (!ReadNumber(row + 2, 3, 10, &h.function) || !ReadNumber(row + 6, 4, 16, &h.command) ||
        !ReadNumber(row + SAP_ROW_HEADER, 4, 16, &h.length))
        return false;
    *header = h;
    return true;
}

int TWIP_ClearScript(KT_IPERIPH_API* box, char which) {
    if (box == nullptr) return -1;
    WLOG(kTableLogger, WLOG_DEBUG, "TWIP_ClearScript: type: %c", which);
    if (which == 'C' || which == 'c') {
        std::memset(box->SAP_Commands, 0, sizeof box->SAP_Commands);
        g_state.commandCount = 0;
        g_state.commandRow = 0;
        return 1;
    }
    if (which == 'A' || which == 'a') {
        std::memset(box->SAP_Answers, 0, sizeof box->SAP_Answers);
        g_state.answerCount = 0;
        g_state.answerRow = 0;
        return 1;
    }
    return -2;
}

int TWIP_SetCommandScriptMes(KT_IPERIPH_API* box, KT_PIRES* resource, int clear, int length, const void* payload) {
    if (box == nullptr || resource == nullptr || payload == nullptr || length < 0) return -1;
    WLOG(kTableLogger, WLOG_DEBUG, "TWIP_SetCommandScriptMes: Function: %d, Command: %d", resource->function,
         resource->command);
    if (clear == 1) {
        TWIP_ClearScript(box, 'C');
        TWIP_ClearScript(box, 'A');
    }
    // A row holds 137 bytes of payload: a longer one is refused whole.
    if (length > SAP_PAYLOAD_MAX) {
        WSysError("-- ERROR -- TWIP_SetScriptMes() : Payload too long (%d > %d)", length, SAP_PAYLOAD_MAX);
        SAP_SetLastStatus(1);
        return -3;
    }
    int row = 0;
    while (row < SAP_ROWS && box->SAP_Commands[row][0] != TWIP_FREE) ++row;
    if (row == SAP_ROWS) {
        WSysError("-- ERROR -- TWIP_SetScriptMes() : Script OverFlow !");
        return -3;
    }
    if (TWIP_GetResourceIndex(box, resource) < 0) {
        WSysError("-- ERROR -- TWIP_SetScriptMes() : Bad SAP !");
        return -4;
    }
    if (!ValidRowNumbers(resource->function, resource->command)) return -1;
    char* command = box->SAP_Commands[row];
    std::memset(command, 0, SAP_ROW_SIZE);
    WriteCommandHeader(command, TWIP_SET, resource->function, resource->command);
    std::memcpy(command + SAP_ROW_HEADER, payload, static_cast<size_t>(length));
    char* answer = box->SAP_Answers[row];
    std::memset(answer, 0, SAP_ROW_SIZE);
    WriteAnswerHeader(answer, TWIP_SET, resource->function, resource->command);
    g_state.commandRow = row;
    g_state.answerRow = row;
    return ++g_state.commandCount;
}

const char* TWIP_GetCommandScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command, int* last) {
    if (box == nullptr) return nullptr;
    for (int row = 0; row < SAP_ROWS; ++row) {
        char* r = box->SAP_Commands[row];
        SapRowHeader h{};
        if (!RowIs(r, TWIP_SET) || !TWIP_ReadRowHeader(r, &h)) continue;
        bool later = false;
        for (int next = row + 1; next < SAP_ROWS && !later; ++next) later = RowIs(box->SAP_Commands[next], TWIP_SET);
        if (length != nullptr) *length = h.length;
        if (function != nullptr) *function = h.function;
        if (command != nullptr) *command = h.command;
        if (last != nullptr) *last = h.command == TWIP_SELEC || row == SAP_ROWS - 1 || !later ? 1 : 0;
        WLOG(kTableLogger, WLOG_DEBUG, "TWIP_GetCommandScriptMes: Function: %d, Command: %d", h.function, h.command);
        r[0] = TWIP_SENT;
        --g_state.commandCount;
        g_state.commandRow = row;
        g_state.answerRow = row;
        return r + SAP_ROW_HEADER;
    }
    return nullptr;
}

int TWIP_SetAnswerScriptMes(KT_IPERIPH_API* box, int length, const void* payload) {
    if (box == nullptr || payload == nullptr || length < 0) return -1;
    const int row = g_state.answerRow;
    if (row < 0 || row >= SAP_ROWS) {
        WSysError("-- ERROR -- TWIP_SetAnswerScriptMes() : Global variable AnswerRaw=%d : out of boundaries [0 - %d]",
                  row, SAP_ROWS);
        return -1;
    }
    char* r = box->SAP_Answers[row];
    if (r[0] != TWIP_SET && r[0] != TWIP_SENT) {
        WSysError("-- ERROR -- TWIP_SetAnswerScriptMes() : Unexpected value 0x%hx in SAPBox->SAP_Answers, row %d "
                  "(expected value : TWIP_SET='1' or TWIP_SENT='2')",
                  static_cast<unsigned short>(static_cast<unsigned char>(r[0])), row);
        return -1;
    }
    if (length > SAP_PAYLOAD_MAX) {
        WSysError("-- ERROR -- TWIP_SetAnswerScriptMes() : Payload too long (%d > %d)", length, SAP_PAYLOAD_MAX);
        SAP_SetLastStatus(1);
        return -3;
    }
    r[0] = TWIP_ANSWERED;
    std::memset(r + SAP_ROW_HEADER, 0, SAP_PAYLOAD_MAX);
    std::memcpy(r + SAP_ROW_HEADER, payload, static_cast<size_t>(length));
    return ++g_state.answerCount;
}

int TWIP_MarkCommandAnswered(KT_IPERIPH_API* box, const KT_PIRES* resource) {
    if (box == nullptr || resource == nullptr) return -2;
    for (int row = 0; row < SAP_ROWS; ++row) {
        char* r = box->SAP_Commands[row];
        SapRowHeader h{};
        if (!RowIs(r, TWIP_SENT) || !TWIP_ReadRowHeader(r, &h)) continue;
        if (h.function != resource->function || h.command != resource->command) continue;
        r[0] = TWIP_ANSWERED;
        g_state.answerRow = row;
        return 1;
    }
    return -2;
}

const char* TWIP_GetRemoteAnswerScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command,
                                          int* last) {
    if (box == nullptr) return nullptr;
    for (int row = 0; row < SAP_ROWS; ++row) {
        char* r = box->SAP_Answers[row];
        SapRowHeader h{};
        if (!RowIs(r, TWIP_SET) || !TWIP_ReadRowHeader(r, &h)) continue;
        bool later = false;
        for (int next = row + 1; next < SAP_ROWS && !later; ++next) later = RowIs(box->SAP_Answers[next], TWIP_SET);
        if (length != nullptr) *length = h.length;
        if (function != nullptr) *function = h.function;
        if (command != nullptr) *command = h.command;
        if (last != nullptr) *last = row == SAP_ROWS - 1 || !later ? 1 : 0;
        g_state.answerRow = row;
        return r + SAP_ROW_HEADER;
    }
    return nullptr;
}

const char* TWIP_GetClientAnswerScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command,
                                          int* last) {
    if (box == nullptr) return nullptr;
    for (int row = 0; row < SAP_ROWS; ++row) {
        char* r = box->SAP_Answers[row];
        SapRowHeader h{};
        if (!RowIs(r, TWIP_ANSWERED) || !TWIP_ReadRowHeader(r, &h)) continue;
        bool later = false;
        for (int next = row + 1; next < SAP_ROWS && !later; ++next)
            later = RowIs(box->SAP_Answers[next], TWIP_ANSWERED);
        if (length != nullptr) *length = h.length;
        if (function != nullptr) *function = h.function;
        if (command != nullptr) *command = h.command;
        if (last != nullptr) *last = row == SAP_ROWS - 1 || !later ? 1 : 0;
        r[0] = TWIP_SENT;
        g_state.answerRow = row;
        return r + SAP_ROW_HEADER;
    }
    return nullptr;
}

namespace {
bool AnswerOf(const char* row, const KT_PIRES* r, bool anyType, SapRowHeader* h) {
    return TWIP_ReadRowHeader(row, h) && h->function == r->function && (anyType || h->command == r->command);
}
}  // namespace

int TWIP_CheckFunAnswer(KT_IPERIPH_API* box, const KT_PIRES* resource) {
    if (box == nullptr || resource == nullptr) return 0;
    for (const char* row : box->SAP_Answers) {
        SapRowHeader h{};
        if (!AnswerOf(row, resource, resource->command == 0, &h)) continue;
        // Rows read or sent back already do not decide.
        if (h.status == TWIP_ANSWERED) return 2;
        if (h.status == TWIP_SET) return 1;
    }
    return 0;
}

const char* TWIP_GetFunAnswerSriptMes(KT_IPERIPH_API* box, const KT_PIRES* resource, int* length, int* last) {
    if (box == nullptr || resource == nullptr) return nullptr;
    for (int row = 0; row < SAP_ROWS; ++row) {
        char* r = box->SAP_Answers[row];
        SapRowHeader h{};
        if (!RowIs(r, TWIP_ANSWERED) || !AnswerOf(r, resource, false, &h)) continue;
        bool later = false;
        for (int next = row + 1; next < SAP_ROWS && !later; ++next) {
            SapRowHeader n{};
            // Rows of the same command type only: another command's rows
            // after it would leave this one without its last row.
            later = RowIs(box->SAP_Answers[next], TWIP_ANSWERED) &&
                    TWIP_ReadRowHeader(box->SAP_Answers[next], &n) && n.function == resource->function &&
                    n.command == resource->command;
        }
        if (length != nullptr) *length = h.length;
        if (last != nullptr) *last = row == SAP_ROWS - 1 || !later ? 1 : 0;
        r[0] = TWIP_READ;
        --g_state.answerCount;
        return r + SAP_ROW_HEADER;
    }
    return nullptr;
}

namespace {
int NoRowWith(const char (*table)[SAP_ROW_SIZE], char status) {
    for (int row = 0; row < SAP_ROWS; ++row)
        if (RowIs(table[row], status)) return 0;
    return 1;
}
}  // namespace

int TWIP_IsAllScriptSent(KT_IPERIPH_API* box) {
    return box == nullptr ? -1 : NoRowWith(box->SAP_Commands, TWIP_SET);
}

int TWIP_IsAllScriptReceived(KT_IPERIPH_API* box) {
    return box == nullptr ? -1 : NoRowWith(box->SAP_Answers, TWIP_SET);
}

void TWIP_IncAnswerCount() { ++g_state.answerCount; }

int TWIP_SetDISPLAY(KT_IPERIPH_API* box, KT_PIRES* resource) {
    if (!EncoderReady(box, resource)) return PV_CMD_INTERNAL;
    KT_TEXT_WINDOW* w = resource->window;
    for (int i = 0; i < w->rows; ++i) {
        // At most 128 characters of a line travel (the executor's buffer).
        char line[TWIP_TEXT_BUFFER] = {};
        const char* source = TWI_GetLine(w, i);
        const int width = w->text != nullptr ? w->text->width : 0;
        if (source != nullptr && width > 0)
            std::memcpy(line, source, static_cast<size_t>(width < TWIP_TEXT_BUFFER - 1 ? width : TWIP_TEXT_BUFFER - 1));
        const auto length = static_cast<unsigned>(std::strlen(line));
        uint8_t payload[kEncodeRoom];
        const int n = TWIP_ReseauPrintf(payload, sizeof payload, "%X%X%X%X%X%D%C", w->rows, w->columns, i, 0,
                                        i == 0 ? 1 : 0, length, line, static_cast<int>(w->displayAttribute));
        if (!Store(box, resource, n, payload)) break;
    }
    return box->SAP_GenStat;
}

int TWIP_SetTOUCH(KT_IPERIPH_API* box, KT_PIRES* resource, int wait, int flush) {
    if (!EncoderReady(box, resource)) return PV_CMD_INTERNAL;
    uint8_t payload[kEncodeRoom];
    const long timeout = wait != 0 ? box->console->timeout : 0;
    Store(box, resource, TWIP_ReseauPrintf(payload, sizeof payload, "%L%X", timeout, flush), payload);
    return box->SAP_GenStat;
}

int TWIP_SetDATUM(KT_IPERIPH_API* box, KT_PIRES* resource, int row, int column, int width, const char* field,
                  const char* format) {
    if (!EncoderReady(box, resource)) return PV_CMD_INTERNAL;
    // The field travels with its width (its current content, NUL-padded):
    // wider than the executor's buffer, it is refused.
    if (width < 0 || width >= TWIP_TEXT_BUFFER) {
        SAP_SetLastStatus(1);
        return box->SAP_GenStat;
    }
    char content[TWIP_TEXT_BUFFER] = {};
    if (field != nullptr) std::memcpy(content, field, strnlen(field, static_cast<size_t>(width)));
    const char* f = format != nullptr ? format : "";
    uint8_t payload[kEncodeRoom];
    const int n = TWIP_ReseauPrintf(payload, sizeof payload, "%L%X%X%B%B", static_cast<long>(box->console->timeout),
                                    row, column, static_cast<unsigned>(width), content,
                                    static_cast<unsigned>(std::strlen(f)), f);
    Store(box, resource, n, payload);
    std::memset(content, 0, sizeof content);
    return box->SAP_GenStat;
}

int TWIP_SetSELEC(KT_IPERIPH_API* box, KT_PIRES* resource, int count, int itemWidth, int firstShown,
                  const char* title, const char* items, int option) {
    if (!EncoderReady(box, resource)) return PV_CMD_INTERNAL;
    if (title == nullptr || items == nullptr || count < 0 || itemWidth < 0 ||
        static_cast<long long>(count) * itemWidth > 0xFFFF) {
        SAP_SetLastStatus(1);
        return box->SAP_GenStat;
    }
    KT_TEXT_WINDOW* w = resource->window;
    const size_t titleLength = std::strlen(title);
    const size_t itemsLength = static_cast<size_t>(count) * static_cast<size_t>(itemWidth);
    std::vector<uint8_t> payload(titleLength + itemsLength + 128);
    const int n = TWIP_ReseauPrintf(payload.data(), static_cast<uint32_t>(payload.size()), "%L%X%X%X%X%X%B%B%C",
                                    static_cast<long>(box->console->timeout), w->rows, w->columns, count, itemWidth,
                                    firstShown, static_cast<unsigned>(titleLength), title,
                                    static_cast<unsigned>(itemsLength), items, option);
    Store(box, resource, n, payload.data());
    return box->SAP_GenStat;
}

int TWIP_GetOneResult(KT_IPERIPH_API* box, KT_PIRES* resource) {
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    WLOG(kTableLogger, WLOG_DEBUG, "TWIP_GetOneResult: Function: %d, Command: %d", resource->function,
         resource->command);
    std::memset(resource->entryText, 0, sizeof resource->entryText);
    resource->result = 255;
    resource->resultStatus = PV_CMD_INTERNAL;
    const int check = TWIP_CheckFunAnswer(box, resource);
    if (check == 1) {
        resource->resultStatus = PV_NOT_YET;
        SAP_SetLastStatus(PV_NOT_YET);
        WLOG(kTableLogger, WLOG_DEBUG, "TWIP_GetOneResult: return: %d", box->SAP_GenStat);
        return box->SAP_GenStat;
    }
    if (check == 0) return PV_CMD_INTERNAL;
    char* payload = nullptr;
    int last = 0;
    do {
        int length = 0;
        payload = const_cast<char*>(TWIP_GetFunAnswerSriptMes(box, resource, &length, &last));
        if (payload == nullptr) {
            WLOG(kTableLogger, WLOG_DEBUG, "TWIP_GetOneResult: TWIP_GetFunAnswerSriptMes, return: %d",
                 PV_CMD_INTERNAL);
            return PV_CMD_INTERNAL;
        }
    } while (last != 1);
    TwipAnswer answer{};
    if (TWIP_DecodeAnswer(resource->command, payload, SAP_PAYLOAD_MAX, &answer) >= 1) {
        resource->resultStatus = answer.status;
        if (answer.status == PV_ALL_FINE) {
            if (resource->command == TWIP_TOUCH || resource->command == TWIP_SELEC ||
                resource->command == TWIP_DATUM)
                resource->result = static_cast<uint8_t>(answer.key);
            if (resource->command == TWIP_DATUM) {
                if (answer.textLength >= SAP_ENTRY_SIZE) {
                    // A text that the entry text cannot hold is not cut: the
                    // entry failed.
                    WSysError("-- ERROR -- TWIP_GetOneResult: entered text too long (%d)", answer.textLength);
                    resource->resultStatus = PV_CMD_ACCES;
                    resource->result = 255;
                } else {
                    std::memcpy(resource->entryText, answer.text, static_cast<size_t>(answer.textLength));
                }
            }
        }
    }
    // The entered text may be a card number: the row keeps no copy.
    if (resource->command == TWIP_DATUM) std::memset(payload, 0, SAP_PAYLOAD_MAX);
    std::memset(answer.text, 0, sizeof answer.text);
    SAP_SetLastStatus(resource->resultStatus);
    WLOG(kTableLogger, WLOG_DEBUG, "TWIP_GetOneResult: return: %d", box->SAP_GenStat);
    return box->SAP_GenStat;
}

// ---------------------------------------------------------------------------
// ISAP_ front end
// ---------------------------------------------------------------------------

int ISAP_ClearAll() {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr) return 1;
    if (box->console == nullptr) return -1;
    SAP_SetNetAppli(kNetAppli);
    box->SAP_GenStat = PV_ALL_FINE;
    TWIP_ClearScript(box, 'C');
    return TWIP_ClearScript(box, 'A') == 1 ? 0 : 1;
}

int ISAP_OpenWindowResource(KT_TEXT_WINDOW* window) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr) return PV_CMD_INTERNAL;
    if (box->console == nullptr || window == nullptr) return -1;
    box->SAP_GenStat = PV_ALL_FINE;
    SAP_SetStatusText(box, nullptr);
    if (TWIP_FindServedResource(box, window->resource) == nullptr) {
        const int type = window->resource <= SAP_LAST_LOCAL ? SAP_RES_LOCAL : SAP_RES_NETWORK;
        if (TWIP_CreateFunctionProfile(box, window->resource, type, window) < 0) return -2;
        if (TWIP_FindServedResource(box, window->resource) == nullptr) {
            box->SAP_GenStat = PV_PER_ACCES;
            SAP_SetStatusText(box, nullptr);
        }
    }
    return box->SAP_GenStat;
}

int ISAP_IsWindowBound(const KT_TEXT_WINDOW* window) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr || box->console == nullptr || window == nullptr) return PV_CMD_INTERNAL;
    return TWIP_FindResourceByWindow(box, window) != nullptr ? PV_ALL_FINE : PV_PER_UNKNOWN;
}

int ISAP_SetDisplayCommand(KT_TEXT_WINDOW* window) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetDisplayCommand");
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_DISPLAY, &status);
    if (r != nullptr) {
        TWIP_SetDISPLAY(SAP_GetBox(), r);
        status = EndCommand(r);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetDisplayCommand: return: %d", status);
    return status;
}

int ISAP_SetTouchCommand(KT_TEXT_WINDOW* window, int wait, int flush) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetTouchCommand");
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_TOUCH, &status);
    if (r != nullptr) {
        TWIP_SetTOUCH(SAP_GetBox(), r, wait, flush);
        status = EndCommand(r);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetTouchCommand: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_SetDatumCommand(KT_TEXT_WINDOW* window, int row, int column, int width, const char* field,
                         const char* format) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetDatumCommand");
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_DATUM, &status);
    if (r != nullptr) {
        TWIP_SetDATUM(SAP_GetBox(), r, row, column, width, field, format);
        status = EndCommand(r);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetDatumCommand: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_SetSelecCommand(KT_TEXT_WINDOW* window, int count, int itemWidth, int firstShown, const char* title,
                         const char* items, int option) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetSelecCommand");
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_SELEC, &status);
    if (r != nullptr) {
        TWIP_SetSELEC(SAP_GetBox(), r, count, itemWidth, firstShown, title, items, option);
        status = EndCommand(r);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SetSelecCommand: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_SendScriptCommands() {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr || box->console == nullptr) return PV_CMD_INTERNAL;
    ResetTraffic(box);
    if (TWIP_IsAllScriptSent(box) == 1) return PV_ALL_FINE;
    TWIP_BindNetworkResources(box);
    TWIP_HostSendScriptCommands(box);
    SAP_SetStatusText(box, nullptr);
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_SendScriptCommands: return: %d (%s)", box->SAP_GenStat,
         PvStatusName(box->SAP_GenStat));
    return box->SAP_GenStat;
}

int ISAP_GetScriptResults() {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr || box->console == nullptr) return -1;
    ResetTraffic(box);
    const int sent = ISAP_SendScriptCommands();
    if (sent != PV_ALL_FINE) {
        WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetScriptResults: Rep != PV_ALL_FINE, return: %d (%s)", sent,
             PvStatusName(sent));
        return sent;
    }
    if (TWIP_IsAllScriptReceived(box) == 1) return PV_ALL_FINE;
    TWIP_ServerGetScriptAnswers(box);
    SAP_SetStatusText(box, nullptr);
    return box->SAP_GenStat;
}

int ISAP_GetDisplayResult(KT_TEXT_WINDOW* window) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetDisplayResult");
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_DISPLAY, &status);
    if (r != nullptr) {
        ReadResult(r, TWIP_DISPLAY);
        status = EndCommand(r);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetDisplayResult: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_GetTouchResult(KT_TEXT_WINDOW* window, unsigned char* key) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetTouchResult");
    if (key != nullptr) *key = 255;
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_TOUCH, &status);
    if (r != nullptr) {
        r->result = 255;
        ReadResult(r, TWIP_TOUCH);
        status = EndCommand(r);
        if (key != nullptr) *key = r->result;
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetTouchResult: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_GetDatumResult(KT_TEXT_WINDOW* window, unsigned char* key, char* text, int capacity) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetDatumResult");
    if (key != nullptr) *key = 255;
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_DATUM, &status);
    if (r != nullptr) {
        r->result = 255;
        std::memset(r->entryText, 0, sizeof r->entryText);
        ReadResult(r, TWIP_DATUM);
        status = EndCommand(r);
        if (key != nullptr) *key = r->result;
        const size_t length = strnlen(r->entryText, sizeof r->entryText - 1);
        if (text != nullptr) {
            if (capacity < 0 || static_cast<size_t>(capacity) >= length + 1) {
                std::memcpy(text, r->entryText, length + 1);
            } else {
                WSysError("-- ERROR -- ISAP_GetDatumResult: Output buffer too small");
                SAP_GetBox()->SAP_GenStat = PV_PER_ACCES;
                status = PV_PER_ACCES;
            }
        }
        // Handed out (or refused): the resource keeps no copy.
        std::memset(r->entryText, 0, sizeof r->entryText);
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetDatumResult: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int ISAP_GetSelecResult(KT_TEXT_WINDOW* window, unsigned char* item) {
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetSelecResult");
    if (item != nullptr) *item = 255;
    int status = PV_ALL_FINE;
    KT_PIRES* r = BeginCommand(window, TWIP_SELEC, &status);
    if (r != nullptr) {
        r->result = 255;
        ReadResult(r, TWIP_SELEC);
        status = EndCommand(r);
        if (item != nullptr) *item = r->result;
    }
    WLOG(kApiLogger, WLOG_DEBUG, "ISAP_GetSelecResult: return: %d (%s)", status, PvStatusName(status));
    return status;
}
