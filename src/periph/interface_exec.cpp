// Execution of interface scripts: local executors, host and client sides of
// the remote exchange.
#include "periph/interface_exec.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "comm/length_prefixed.h"
#include "comm/message_box.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_script.h"
#include "periph/terminal_box.h"
#include "protocols/pv_status.h"

namespace {

constexpr const char* kLogger = "twip";
constexpr const char* kNetAppli = "1210";
// The request body cleared before a row is written into it.
constexpr size_t kBodyClear = 129;
// Header of a row on the wire: "%c_%03d_%04x_%04x".
constexpr uint32_t kWireHeader = SAP_ROW_HEADER + 4;

// The payload's own total when it lies within size bytes, else 0.
uint32_t OwnTotal(const void* payload, size_t size) {
    if (payload == nullptr || size < KTN_HEADER_SIZE) return 0;
    const KtnHeader h = KTN_ParseHeader(static_cast<const uint8_t*>(payload));
    if (h.framing != KtnFraming::Own || h.total < KTN_HEADER_SIZE || h.total > size) return 0;
    return h.total;
}

bool Fits(int length, int buffer) { return length >= 0 && length < buffer; }

// Stores "%X" of a status as the answer of the current row.
int StoreStatus(KT_IPERIPH_API* box, int status) {
    uint8_t payload[32];
    const int n = TWIP_ReseauPrintf(payload, sizeof payload, "%X", status);
    return n < 0 ? -1 : TWIP_SetAnswerScriptMes(box, n, payload);
}

KTM_WPRO* BlockOf(const KT_PIRES* r) { return r != nullptr && r->Tube != nullptr ? r->Tube->mess : nullptr; }

void PutAddress(KT_IPERIPH_API* box, KT_PIRES* r, KTM_WPRO* block) {
    TWIP_FormatXSAP(r);
    KTM_PutArg(block, 'S', r->xsap, 1);
    KTM_PutArg(block, 'A', box->SAP_NetAppli, 1);
}

// Writes a row into the request body: header with the number the receiver
// sees, then the payload over the header's last four digits.
bool WriteBody(KTM_WPRO* block, int number, int command, const char* payload, int length) {
    uint8_t* body = KTM_GetRequestMessage(block);
    if (body == nullptr) return false;
    std::memset(body, 0, kBodyClear);
    char header[kWireHeader + 1];
    std::snprintf(header, sizeof header, "%c_%03d_%04x_%04x", TWIP_SET, number, static_cast<unsigned>(command), 0u);
    std::memcpy(body, header, kWireHeader);
    std::memcpy(body + SAP_ROW_HEADER, payload, static_cast<size_t>(length));
    block->request->mLength = static_cast<uint32_t>(length + SAP_ROW_HEADER);
    return true;
}

// A time-out in seconds as the milliseconds of the POS GUI and terminal
// screen executors (negative: no limit).
int Milliseconds(long seconds) {
    if (seconds < 0) return -1;
    return seconds > INT_MAX / 1000 ? INT_MAX : static_cast<int>(seconds * 1000);
}

// A selection on the terminal's screen counts in hundredths of a second.
int Hundredths(long seconds) {
    if (seconds < 0) return -1;
    return seconds > INT_MAX / 100 ? INT_MAX : static_cast<int>(seconds * 100);
}

int Seconds(long seconds) {
    if (seconds < 0) return -1;
    return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

bool IsConsole(int n) { return n == 41 || n == 42; }
bool IsPosGui(int n) { return n == 45 || n == 46; }
bool IsTerminalScreen(int n) { return n == 47 || n == 48; }

const PosGuiExecutors* PosGui() { return ISAP_GetPosGuiExecutors(); }

// Writes a text line into the window's open spool file.
void SpoolWrite(KT_TEXT_WINDOW* w, const char* text) {
    size_t length = std::strlen(text);
    if (w->trim == 1)
        while (length > 0 && text[length - 1] == ' ') --length;
    std::fwrite(text, 1, length, w->spoolFile);
    const char* end = TWI_GetLineEnd(w);
    if (end != nullptr) std::fputs(end, w->spoolFile);
}

// Clears the window's text without spooling its lines.
void ClearWindowText(KT_TEXT_WINDOW* w) {
    const int32_t mode = w->spoolMode;
    w->spoolMode = 0;
    TWI_WriteText(w, "", 1);
    w->spoolMode = mode;
}

// TEXT to the spool file of the window (resources 43 and 44): 1, or -1.
int SpoolText(ConsoBox* console, KT_TEXT_WINDOW* w, const char* text, int mode, bool second) {
    if (!second) {
        if (mode == 1) ClearWindowText(w);
        // A middle output with no file open (no first output came) opens it.
        if ((mode == 1 || mode == 2 || w->spoolFile == nullptr) && TWI_OpenSpool(w, 0) != 1) return -1;
        SpoolWrite(w, text);
        if (mode != 2) return 1;
        TWI_CloseSpool(w);
        return console->printCommand1[0] != '\0' ? TWI_SpoolSystemOut(w, console->printCommand1) : 1;
    }
    if (mode == 1) ClearWindowText(w);
    if (TWI_OpenSpool(w, mode == 1 ? 1 : 0) != 1) return -1;
    SpoolWrite(w, text);
    TWI_CloseSpool(w);
    if (mode == 2 && console->printCommand2[0] != '\0') return TWI_SpoolSystemOut(w, console->printCommand2);
    return 1;
}

// Runs the executor of a decoded command on the resource: its result
// (negative: failure) and the key or item.
int Run(ConsoBox* console, KT_TEXT_WINDOW* w, int number, TwipCommand& c, int* key) {
    const PosGuiExecutors* gui = PosGui();
    *key = 255;
    switch (c.type) {
        case TWIP_DISPLAY: {
            const int lines = c.values[0], width = c.values[1], line = c.values[2], first = c.values[4];
            if (IsConsole(number))
                return KTTD_DisplayLine(console, w, c.text, line, first,
                                        c.trailing >= 0 ? c.trailing : w->displayAttribute);
            if (IsPosGui(number))
                return gui != nullptr && gui->display != nullptr
                           ? gui->display(console, w, c.text, lines, width, line, 0, first, 0)
                           : -1;
            if (IsTerminalScreen(number)) return TDSP_ShowText(console, w, c.text, lines, width, line, 0, first);
            return -1;
        }
        case TWIP_TEXT: {
            const int line = c.values[2], mode = c.values[4];
            if (IsConsole(number)) return KTTD_PageOutput(console, w, c.text, line, mode == 1 ? 1 : 0);
            if (number == 43 || number == 44) return SpoolText(console, w, c.text, mode, number == 44);
            if (IsPosGui(number))
                return gui != nullptr && gui->spool != nullptr
                           ? gui->spool(console, w, c.text, w->rows, w->columns, line, 0, mode == 1 ? 1 : 0)
                           : -1;
            if (IsTerminalScreen(number))
                return KTTD_SpoolPage(console, w, c.text, w->rows, w->columns, line, 0, mode == 1 ? 1 : 0);
            return -1;
        }
        case TWIP_TOUCH: {
            int result = -1;
            if (IsConsole(number)) {
                unsigned char k = 255;
                result = KTTD_WaitKey(Seconds(c.timeout), c.flush, &k);
                if (result == 1) *key = k;
            } else if (IsPosGui(number) || IsTerminalScreen(number)) {
                char k = static_cast<char>(255);
                if (IsTerminalScreen(number)) result = TDSP_WaitKey(Milliseconds(c.timeout), 0, &k);
                else if (gui != nullptr && gui->key != nullptr) result = gui->key(Milliseconds(c.timeout), c.flush, &k);
                if (result == 1) *key = static_cast<unsigned char>(k);
            }
            return result;
        }
        case TWIP_DATUM: {
            int result = -1;
            const int width = c.textLength;
            if (IsConsole(number)) {
                unsigned char k = 255;
                result = KTTD_GetEntry(console, w, Seconds(c.timeout), c.row, c.column, width, c.text, c.format, &k);
                *key = k;
            } else if (IsPosGui(number) || IsTerminalScreen(number)) {
                char k = static_cast<char>(255);
                if (IsTerminalScreen(number))
                    result = TDSP_GetEntry(console, 0, Milliseconds(c.timeout), c.row, c.column, width, c.text,
                                           c.format, &k);
                else if (gui != nullptr && gui->entry != nullptr)
                    result = gui->entry(console, w, Milliseconds(c.timeout), c.row, c.column, width, c.text, c.format,
                                        &k);
                *key = static_cast<unsigned char>(k);
            }
            // Whatever the entry left, it stays within the field's buffer.
            c.text[TWIP_TEXT_BUFFER - 1] = '\0';
            return result;
        }
        case TWIP_SELEC: {
            int result = -1;
            if (IsConsole(number)) {
                unsigned char item = 255;
                result = KTTD_SelectList(console, w, Seconds(c.timeout), c.rows, c.columns, c.count, c.itemWidth,
                                         c.firstShown, c.title, c.items, &item);
                *key = item;
            } else if (IsPosGui(number)) {
                unsigned choice = 0;
                if (gui != nullptr && gui->selection != nullptr)
                    result = gui->selection(console, w, Milliseconds(c.timeout), c.rows, c.columns, c.count,
                                            c.itemWidth, c.firstShown, c.title, c.items, &choice);
                if (result >= 0 && choice >= 1 && choice <= 254) *key = static_cast<int>(choice);
            } else if (IsTerminalScreen(number)) {
                unsigned char item = 255;
                result = TDSP_SelectItem(console, w, Hundredths(c.timeout), 0, 0, c.count, c.itemWidth,
                                         c.firstShown, c.title, c.items, c.trailing >= 0 ? c.trailing : 0, &item);
                *key = item;
            }
            return result;
        }
        default: return -1;
    }
}

// The frame of every executor.
int Execute(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload, int type) {
    SAP_SetLastStatus(1);
    if (box == nullptr || r == nullptr || payload == nullptr || box->console == nullptr || r->window == nullptr)
        return 1;
    TwipCommand c{};
    const int decoded = TWIP_DecodeCommand(type, payload, SAP_PAYLOAD_MAX, &c);
    if (decoded == 1) return 1;
    int status = PV_CMD_ACCES;
    int key = 255;
    if (decoded == 0 && Run(box->console, r->window, r->function, c, &key) >= 0) status = PV_ALL_FINE;
    if (status != PV_ALL_FINE) key = 255;
    uint8_t answer[SAP_PAYLOAD_MAX];
    int n = -1;
    switch (type) {
        case TWIP_TOUCH:
        case TWIP_SELEC: n = TWIP_ReseauPrintf(answer, sizeof answer, "%X%X", status, key); break;
        case TWIP_DATUM:
            n = TWIP_ReseauPrintf(answer, sizeof answer, "%X%X%B", status, key,
                                  static_cast<unsigned>(strnlen(c.text, TWIP_TEXT_BUFFER - 1)), c.text);
            break;
        default: n = TWIP_ReseauPrintf(answer, sizeof answer, "%X", status); break;
    }
    const int stored = n < 0 ? -1 : TWIP_SetAnswerScriptMes(box, n, answer);
    std::memset(answer, 0, sizeof answer);
    std::memset(c.text, 0, sizeof c.text);
    const int result = stored < 0 ? 1 : status;
    SAP_SetLastStatus(result);
    return result;
}

// Reads the header of a received body of length bytes.
bool ReadBodyHeader(const uint8_t* body, uint32_t length, SapRowHeader* h) {
    return body != nullptr && length >= kWireHeader && TWIP_ReadRowHeader(reinterpret_cast<const char*>(body), h);
}

}  // namespace

int TWIP_DecodeCommand(int type, const void* payload, size_t size, TwipCommand* out) {
    if (out == nullptr) return 1;
    TwipCommand& c = *out;
    c = TwipCommand{};
    c.type = type;
    c.trailing = -1;
    if (OwnTotal(payload, size) == 0) return 1;
    int* v = c.values;
    switch (type) {
        case TWIP_DISPLAY: {
            char attribute = 0;
            int n = TWIP_ReseauScanf(payload, "%X%X%X%X%X%D%C", &v[0], &v[1], &v[2], &v[3], &v[4], &c.textLength,
                                     c.text, static_cast<unsigned>(TWIP_TEXT_BUFFER - 1), &attribute);
            if (n == 7) {
                c.trailing = static_cast<unsigned char>(attribute);
            } else {
                std::memset(c.text, 0, sizeof c.text);
                n = TWIP_ReseauScanf(payload, "%X%X%X%X%X%D", &v[0], &v[1], &v[2], &v[3], &v[4], &c.textLength,
                                     c.text, static_cast<unsigned>(TWIP_TEXT_BUFFER - 1));
                if (n != 6) return 1;
            }
            break;
        }
        case TWIP_TEXT:
            if (TWIP_ReseauScanf(payload, "%X%X%X%X%X%B", &v[0], &v[1], &v[2], &v[3], &v[4], &c.textLength, c.text,
                                 static_cast<unsigned>(TWIP_TEXT_BUFFER - 1)) != 6)
                return 1;
            break;
        case TWIP_TOUCH:
            if (TWIP_ReseauScanf(payload, "%L%X", &c.timeout, &c.flush) != 2) return 1;
            break;
        case TWIP_DATUM:
            if (TWIP_ReseauScanf(payload, "%L%X%X%B%B", &c.timeout, &c.row, &c.column, &c.textLength, c.text,
                                 static_cast<unsigned>(TWIP_TEXT_BUFFER - 1), &c.formatLength, c.format,
                                 static_cast<unsigned>(TWIP_FORMAT_BUFFER - 1)) != 5)
                return 1;
            break;
        case TWIP_SELEC: {
            char option = 0;
            int n = TWIP_ReseauScanf(payload, "%L%X%X%X%X%X%B%B%C", &c.timeout, &c.rows, &c.columns, &c.count,
                                     &c.itemWidth, &c.firstShown, &c.titleLength, c.title,
                                     static_cast<unsigned>(TWIP_TITLE_BUFFER - 1), &c.itemsLength, c.items,
                                     static_cast<unsigned>(SAP_PAYLOAD_MAX), &option);
            if (n == 9) {
                c.trailing = static_cast<unsigned char>(option);
            } else {
                std::memset(c.title, 0, sizeof c.title);
                std::memset(c.items, 0, sizeof c.items);
                n = TWIP_ReseauScanf(payload, "%L%X%X%X%X%X%B%B", &c.timeout, &c.rows, &c.columns, &c.count,
                                     &c.itemWidth, &c.firstShown, &c.titleLength, c.title,
                                     static_cast<unsigned>(TWIP_TITLE_BUFFER - 1), &c.itemsLength, c.items,
                                     static_cast<unsigned>(SAP_PAYLOAD_MAX));
                if (n != 8) return 1;
            }
            break;
        }
        default: return PV_CMD_UNKNOWN;
    }
    // A text that its buffer cannot hold was not copied: the command fails.
    if (!Fits(c.textLength, TWIP_TEXT_BUFFER) || !Fits(c.formatLength, TWIP_FORMAT_BUFFER) ||
        !Fits(c.titleLength, TWIP_TITLE_BUFFER) || c.itemsLength < 0 || c.itemsLength > SAP_PAYLOAD_MAX)
        return PV_CMD_ACCES;
    // The selection reads count items of the item width from the items.
    if (type == TWIP_SELEC &&
        (c.count < 0 || c.itemWidth < 0 || static_cast<long long>(c.count) * c.itemWidth > c.itemsLength))
        return PV_CMD_ACCES;
    return 0;
}

int TWIP_DecodeAnswer(int type, const void* payload, size_t size, TwipAnswer* out) {
    if (out == nullptr) return -1;
    *out = TwipAnswer{};
    out->key = 255;
    if (OwnTotal(payload, size) == 0) return -1;
    if (TWIP_ReseauScanf(payload, "%X", &out->status) != 1) return -1;
    if (out->status != PV_ALL_FINE) return 1;
    int status = 0, key = 255;
    switch (type) {
        case TWIP_TOUCH:
        case TWIP_SELEC:
            if (TWIP_ReseauScanf(payload, "%X%X", &status, &key) != 2) return 1;
            out->key = key >= 0 && key <= 255 ? key : 255;
            return 2;
        case TWIP_DATUM:
            if (TWIP_ReseauScanf(payload, "%X%X%B", &status, &key, &out->textLength, out->text,
                                 static_cast<unsigned>(SAP_ENTRY_SIZE - 1)) != 3) {
                out->textLength = 0;
                return 1;
            }
            out->key = key >= 0 && key <= 255 ? key : 255;
            if (!Fits(out->textLength, SAP_ENTRY_SIZE)) std::memset(out->text, 0, sizeof out->text);
            return 3;
        default: return 1;
    }
}

int TWIP_ExecDISPLAY(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) {
    return Execute(box, r, payload, TWIP_DISPLAY);
}
int TWIP_ExecTEXT(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) { return Execute(box, r, payload, TWIP_TEXT); }
int TWIP_ExecTOUCH(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) {
    return Execute(box, r, payload, TWIP_TOUCH);
}
int TWIP_ExecDATUM(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) {
    return Execute(box, r, payload, TWIP_DATUM);
}
int TWIP_ExecSELEC(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) {
    return Execute(box, r, payload, TWIP_SELEC);
}

int TWIP_ExecuteLocalCommand(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    const int row = TWIP_State().answerRow;
    const int type = r != nullptr ? r->command : 0;
    const bool known = type == TWIP_DISPLAY || type == TWIP_TEXT || type == TWIP_TOUCH || type == TWIP_DATUM ||
                       type == TWIP_SELEC;
    if (r == nullptr || payload == nullptr || !known) {
        if (StoreStatus(box, PV_CMD_UNKNOWN) < 0) SAP_SetLastStatus(1);
    } else {
        Execute(box, r, payload, type);
    }
    // An executor that stored no answer (a precondition missing, a payload
    // that does not decode, an answer that does not fit) answers 1: the row
    // is never left expected.
    if (row >= 0 && row < SAP_ROWS && box->SAP_Answers[row][0] == TWIP_SET) {
        TWIP_State().answerRow = row;
        StoreStatus(box, PV_CMD_INTERNAL);
    }
    return box->SAP_GenStat;
}

int TWIP_HostSendScriptCommands(KT_IPERIPH_API* box) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    int first = 1;
    while (box->SAP_GenStat == PV_ALL_FINE) {
        int length = 0, function = 0, command = 0, last = 0;
        const char* payload = TWIP_GetCommandScriptMes(box, &length, &function, &command, &last);
        if (payload == nullptr) {
            WLOG(kLogger, WLOG_DEBUG, "TWIP_HostSendScriptCommands: TWIP_GetCommandScriptMes NULL, return: %d",
                 box->SAP_GenStat);
            break;
        }
        KT_PIRES* r = TWIP_FindServedResource(box, function);
        if (r == nullptr) {
            StoreStatus(box, PV_PER_UNKNOWN);
            SAP_SetLastStatus(PV_PER_UNKNOWN);
            WSysError("-- ERROR -- Ressource fonctionnelle %d non-trouvee", function);
            continue;
        }
        r->function = function;
        r->command = command;
        int result;
        if (function <= SAP_LAST_LOCAL) {
            result = TWIP_ExecuteLocalCommand(box, r, payload);
        } else {
            int mesStat = -1;
            result = TWIP_ServerSendOneCommand(box, r, payload, length, first, last, &mesStat);
            first = 0;
        }
        if (result != PV_ALL_FINE) {
            if (StoreStatus(box, PV_CMD_ACCES) < 0) {
                SAP_SetLastStatus(1);
                break;
            }
            SAP_SetLastStatus(PV_CMD_ACCES);
        }
    }
    if (box->SAP_GenStat != PV_ALL_FINE)
        WLOG(kLogger, WLOG_DEBUG, "TWIP_HostSendScriptCommands: SAPBox->SAP_GenStat != PV_ALL_FINE, return: %d",
             box->SAP_GenStat);
    WLOG(kLogger, WLOG_DEBUG, "TWIP_HostSendScriptCommands: return: %d", box->SAP_GenStat);
    return box->SAP_GenStat;
}

int TWIP_ServerSendOneCommand(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload, int length, int first,
                              int last, int* mesStat) {
    KTM_WPRO* block = BlockOf(r);
    if (box == nullptr || block == nullptr || mesStat == nullptr) return PV_CMD_INTERNAL;
    if (r->function <= SAP_LAST_LOCAL - 1 || payload == nullptr || length < 0 || length > SAP_PAYLOAD_MAX) {
        WSysError("-- ERROR -- TWIP_ServerSendOneCommand : Contexte Incoherent - Niveau 1");
        box->SAP_GenStat = PV_CMD_INTERNAL;
        return box->SAP_GenStat;
    }
    r->MesStat = (first == 1 ? SAP_MES_FIRST : 0) + (last == 1 ? SAP_MES_LAST : 0);
    PutAddress(box, r, block);
    if (!WriteBody(block, r->function - SAP_WIRE_SHIFT, r->command, payload, length)) {
        WSysError("-- ERROR -- TWIP_ServerSendOneCommand : Contexte Incoherent - Niveau 2");
        box->SAP_GenStat = PV_CMD_INTERNAL;
        return box->SAP_GenStat;
    }
    if (KTX_SomeThingToSend(block, last) < 0) {
        box->SAP_GenStat = PV_NET_FAILED;
        WSysError("-- ERROR -- TWIP_ServerSendOneCommand : Echec Niveau Transport....");
    } else {
        *mesStat = r->MesStat;
    }
    WLOG(kLogger, WLOG_DEBUG, "TWIP_ServerSendOneCommand: return: %d, status: %d", box->SAP_GenStat, r->MesStat);
    return box->SAP_GenStat;
}

int TWIP_ServerGetScriptAnswers(KT_IPERIPH_API* box) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    int request = 1;
    while (box->SAP_GenStat == PV_ALL_FINE) {
        int length = 0, function = 0, command = 0, last = 0;
        if (TWIP_GetRemoteAnswerScriptMes(box, &length, &function, &command, &last) == nullptr) {
            WLOG(kLogger, WLOG_DEBUG, "TWIP_ServerGetScriptAnswers: TWIP_GetRemoteAnswerScriptMes, return: %d",
                 box->SAP_GenStat);
            break;
        }
        KT_PIRES* r = TWIP_FindServedResource(box, function);
        if (r == nullptr) {
            StoreStatus(box, PV_PER_UNKNOWN);
            SAP_SetLastStatus(PV_PER_UNKNOWN);
            continue;
        }
        r->function = function;
        r->command = command;
        if (r->Tube == nullptr) {
            // A row of a resource that no stream serves (a local command that
            // left no answer): nothing will come for it.
            if (StoreStatus(box, PV_CMD_INTERNAL) < 0) box->SAP_GenStat = PV_CMD_INTERNAL;
            continue;
        }
        int mesStat = -1;
        const int result = TWIP_ServerDealOneAnswer(box, r, request, 0, &mesStat);
        if (result != PV_ALL_FINE) {
            request = 0;
            if (box->SAP_GenStat == PV_ALL_FINE) box->SAP_GenStat = result;
            continue;
        }
        if (mesStat == 2 || mesStat == 3) {
            box->SAP_GenStat = PV_ALL_FINE;
            break;
        }
        if (mesStat == 0 || mesStat == 1) {
            box->SAP_GenStat = PV_ALL_FINE;
            request = 0;
            continue;
        }
        box->SAP_GenStat = PV_NET_FAILED;
    }
    WLOG(kLogger, WLOG_DEBUG, "TWIP_ServerGetScriptAnswers: return: %d", box->SAP_GenStat);
    return box->SAP_GenStat;
}

int TWIP_ServerDealOneAnswer(KT_IPERIPH_API* box, KT_PIRES* r, int sendRequest, int waitMode, int* mesStat) {
    KTM_WPRO* block = BlockOf(r);
    if (box == nullptr || mesStat == nullptr || block == nullptr) return PV_CMD_INTERNAL;
    *mesStat = -1;
    r->MesStat = SAP_MES_ASK;
    PutAddress(box, r, block);
    uint8_t* request = KTM_GetRequestMessage(block);
    uint8_t* answer = KTM_GetAnswerMessage(block);
    const auto fail = [&](int status, int level) {
        if (level > 0) WSysError("-- ERROR -- TWIP_ServerDealOneAnswer : Contexte Incoherent - Niveau %d", level);
        box->SAP_GenStat = status;
        WLOG(kLogger, WLOG_DEBUG, "TWIP_ServerDealOneAnswer: return: %d", box->SAP_GenStat);
        return box->SAP_GenStat;
    };
    if (request == nullptr || answer == nullptr) return fail(PV_CMD_INTERNAL, 2);
    std::memset(request, 0, kBodyClear);
    block->request->mLength = 0;
    if (sendRequest == 1 && KTX_SomeThingToSend(block, 0) < 0) {
        WSysError("-- ERROR -- TWIP_ServerDealOneAnswer : Echec Niveau Transport....");
        box->SAP_GenStat = PV_NET_FAILED;
        SAP_SetStatusText(box, r);
        return box->SAP_GenStat;
    }
    const char* a = KTX_SomeThingReceived(block, waitMode);
    // The text of a lost link is not the answer half's own.
    const bool broken = a != nullptr && a != block->answer->A;
    if (a == nullptr || broken || std::strstr(a, box->SAP_NetAppli) == nullptr)
        return fail(broken ? PV_NET_FAILED : PV_NET_TIMEOUT, 0);
    const char* s = block->answer->S;
    if (s[0] == '\0') return fail(PV_CMD_INTERNAL, 5);
    if (std::strchr(s, '/') == nullptr) return fail(PV_PROTO_ERROR, 6);
    std::snprintf(r->xsap, sizeof r->xsap, "%.100s", s);
    if (TWIP_ParseXSAP(r) != 1) return fail(PV_PROTO_ERROR, 6);
    const uint32_t received = block->answer->mLength;
    SapRowHeader h{};
    if (!ReadBodyHeader(answer, received, &h) || h.function > SAP_LAST_LOCAL) return fail(PV_PROTO_ERROR, 7);
    KT_PIRES* found = TWIP_FindServedResource(box, h.function + SAP_WIRE_SHIFT);
    if (found != r) {
        if (found != nullptr)
            WSysError("** INFO. ** TWIP_ServerDealOneAnswer : Fonction d'origine : %d, Fonction recue : %d",
                      r->function, found->function);
        else
            WSysError("** INFO. ** TWIP_ServerDealOneAnswer : Aucune fonction recue ou fonction non trouvee");
        return fail(PV_PROTO_ERROR, 8);
    }
    r->command = h.command;
    if (TWIP_MarkCommandAnswered(box, r) == 1) {
        // The answer lies within what was received.
        if (static_cast<uint32_t>(h.length) > received - SAP_ROW_HEADER ||
            TWIP_SetAnswerScriptMes(box, h.length, answer + SAP_ROW_HEADER) < 0)
            return fail(PV_PROTO_ERROR, 9);
    }
    *mesStat = r->MesStat;
    WLOG(kLogger, WLOG_DEBUG, "TWIP_ServerDealOneAnswer: return: %d, status: %d", box->SAP_GenStat, r->MesStat);
    return box->SAP_GenStat;
}

int TWIP_ClientDealOneCommand(KT_IPERIPH_API* box, KT_PIRES* r, int* length, void*, int* mesStat) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    KTM_WPRO* block = BlockOf(r);
    if (length == nullptr || mesStat == nullptr || block == nullptr) {
        SAP_SetLastStatus(1);
        return PV_CMD_INTERNAL;
    }
    *mesStat = -1;
    const auto fail = [&](int status, int level) {
        if (level > 0) WSysError("-- ERROR -- TWIP_ClientDealOneCommand : Contexte Incoherent - Niveau %d", level);
        box->SAP_GenStat = status;
        WLOG(kLogger, WLOG_DEBUG, "TWIP_ClientDealOneCommand: return: %d, status: %d", status, r->MesStat);
        return status;
    };
    const uint8_t* body = KTM_GetAnswerMessage(block);
    if (body == nullptr) return fail(PV_CMD_INTERNAL, 2);
    const uint32_t received = block->answer->mLength;
    *length = static_cast<int>(received);
    const char* a = block->answer->A;
    if (a[0] == '\0') return fail(PV_NET_FAILED, 0);
    if (std::strstr(a, box->SAP_NetAppli) == nullptr) return fail(PV_PROTO_ERROR, 0);
    const char* s = block->answer->S;
    if (s[0] == '\0') return fail(PV_CMD_INTERNAL, 5);
    if (std::strchr(s, '/') == nullptr) return fail(PV_PROTO_ERROR, 6);
    std::snprintf(r->xsap, sizeof r->xsap, "%.100s", s);
    if (TWIP_ParseXSAP(r) != 1) return fail(PV_PROTO_ERROR, 6);
    if (received == 0 && r->MesStat == SAP_MES_ASK) {
        *mesStat = SAP_MES_ASK;
        return 0;
    }
    if (r->MesStat == 1 || r->MesStat == 3) ISAP_ClearAll();
    SapRowHeader h{};
    if (!ReadBodyHeader(body, received, &h) || h.function > SAP_LAST_LOCAL) return fail(PV_PROTO_ERROR, 7);
    r->function = h.function;
    r->command = h.command;
    // The payload is bounded by what was received (and by a row).
    if (static_cast<uint32_t>(h.length) > received - SAP_ROW_HEADER) {
        WSysError("-- ERROR -- TWIP_ClientDealOneCommand : payload past the message (%d > %u)", h.length,
                  received - SAP_ROW_HEADER);
        return fail(PV_PROTO_ERROR, 0);
    }
    if (TWIP_SetCommandScriptMes(box, r, 0, h.length, body + SAP_ROW_HEADER) < 0) return fail(PV_PROTO_ERROR, 0);
    *mesStat = r->MesStat;
    WLOG(kLogger, WLOG_DEBUG, "TWIP_ClientDealOneCommand: return: %d, status: %d", 0, r->MesStat);
    return 0;
}

int TWIP_ClientSendOneAnswer(KT_IPERIPH_API* box, KT_PIRES* r, const char* payload, int length, int first,
                             int last) {
    KTM_WPRO* block = BlockOf(r);
    if (box == nullptr || block == nullptr || payload == nullptr) return -2;
    const auto fail = [&](int status, int result, const char* text) {
        WSysError("%s", text);
        box->SAP_GenStat = status;
        SAP_SetStatusText(box, nullptr);
        WLOG(kLogger, WLOG_DEBUG, "TWIP_ClientSendOneAnswer: return: %d", result);
        return result;
    };
    if (r->function > SAP_LAST_LOCAL || length < 0 || length > SAP_PAYLOAD_MAX)
        return fail(PV_CMD_INTERNAL, -1, "-- ERROR -- TWIP_ClientSendOneAnswer : Contexte Incoherent - Niveau 1");
    r->MesStat = (first == 1 ? SAP_MES_FIRST : 0) + (last == 1 ? SAP_MES_LAST : 0);
    PutAddress(box, r, block);
    if (!WriteBody(block, r->function, r->command, payload, length))
        return fail(PV_CMD_INTERNAL, -2, "-- ERROR -- TWIP_ClientSendOneAnswer : Contexte Incoherent - Niveau 2");
    const int sent = KTX_SomeThingToSend(block, last);
    // The body (an entered text among others) is not kept after it left.
    std::memset(KTM_GetRequestMessage(block), 0, SAP_ROW_SIZE);
    if (sent < 0)
        return fail(PV_NET_FAILED, -3, "-- ERROR -- TWIP_ClientSendOneAnswer : Echec Niveau Transport....");
    WLOG(kLogger, WLOG_DEBUG, "TWIP_ClientSendOneAnswer: return: %d", r->MesStat);
    return r->MesStat;
}

int TWIP_ClientSendScriptAnswers(KT_IPERIPH_API* box, KT_PIRES* r) {
    if (box == nullptr || r == nullptr) return -2;
    int first = 1;
    for (;;) {
        int length = 0, function = 0, command = 0, last = 0;
        char* payload = const_cast<char*>(TWIP_GetClientAnswerScriptMes(box, &length, &function, &command, &last));
        if (payload == nullptr) return box->SAP_GenStat;
        r->function = function;
        r->command = command;
        const int sent = TWIP_ClientSendOneAnswer(box, r, payload, length, first, last);
        first = 0;
        // An entered text leaves no copy in the table once sent.
        if (command == TWIP_DATUM) std::memset(payload, 0, SAP_PAYLOAD_MAX);
        if (sent < 0) {
            box->SAP_GenStat = PV_NET_FAILED;
            return PV_NET_FAILED;
        }
    }
}

int ISAP_DealMessage(KTX_WSERV* stream) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box == nullptr) return PV_CMD_INTERNAL;
    SAP_SetNetAppli(kNetAppli);
    box->SAP_GenStat = PV_ALL_FINE;
    SAP_SetStatusText(box, nullptr);
    KT_PIRES* slot = TWIP_MessageSlot(box);
    *slot = KT_PIRES{};
    slot->inUse = 1;
    slot->Tube = stream;
    std::memcpy(slot->status, "00000000", 9);
    slot->result = 255;
    // The message's stream serves this message only: the box's own comes
    // back at the end (the message's goes with its connection).
    KTX_WSERV* previous = box->stream;
    box->stream = stream;
    int length = 0, mesStat = -1;
    if (TWIP_ClientDealOneCommand(box, slot, &length, nullptr, &mesStat) == 0) {
        if (mesStat == 2 || mesStat == 3)
            TWIP_HostSendScriptCommands(box);
        else if (mesStat == SAP_MES_ASK)
            TWIP_ClientSendScriptAnswers(box, slot);
    }
    SAP_SetStatusText(box, nullptr);
    WLOG(kLogger, WLOG_DEBUG, "ISAP_DealMessage: return: %d (%s)", box->SAP_GenStat, PvStatusName(box->SAP_GenStat));
    box->stream = previous;
    slot->Tube = nullptr;
    slot->window = nullptr;
    return box->SAP_GenStat;
}
