// Terminal services built on the script API: messages on the terminal's
// screen, the language, QR codes, contactless transaction calls and ticket
// printing in pieces.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/trace.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "protocols/pv_status.h"
#include "protocols/term_print.h"
#include "protocols/terminal_display.h"

namespace {

constexpr int kRudaProtocol = 16;
constexpr int kDisplayOpenCommand = 1;
constexpr int kDisplayTextCommand = 2;
constexpr int kPrintCommand = 13;
constexpr int kQrCommand = 166;
constexpr int kLanguageCommand = 170;
constexpr int kScreenReadMs = 7000;
constexpr int kShortPollMs = 30;
constexpr int kPrintReadMs = 21000;
constexpr int kPrintPollMs = 300;
constexpr int kCtlsReadMs = 30000;
constexpr int kCtlsPollMs = 250;
constexpr int kLargestTimeField = 99;

bool HasTerminal() { return EPAP_GetBox() != nullptr || EPAP_GetSeam() != nullptr; }

void UpdateStatus() { TWEP_UpdateStatus(EPAP_GetBox(), EPAP_CurrentResource()); }

void ClearScripts(int keepScript) {
    EPAP_ClearAll();
    if (keepScript == 0) ISAP_ClearAll();
}

TermDisplayBlock g_message;  // the message's display record

// The display-text fields: "00", the title, ESC 'H' and the message, the
// time-out field; the title and then the message are cut so that the fields
// fit the record's text area.
std::vector<std::string> MessageFields(const char* title, const char* message, const std::string& timeField) {
    std::string t = title != nullptr ? title : "";
    std::string m = message != nullptr && message[0] != '\0' ? std::string("\033H") + message : "";
    const size_t fixed = 3 + timeField.size() + 1 + 2;  // "00", the time field and the NULs of the two texts
    const size_t room = static_cast<size_t>(kTermDisplayTextMax) - fixed;
    if (t.size() > room) t.resize(room);
    if (t.size() + m.size() > room) {
        WSysError("<< WARN. >> EPAP_DisplayMessage : message de %d octets coupe", static_cast<int>(m.size()));
        m.resize(room - t.size());
    }
    return {"00", t, m, timeField};
}

}  // namespace

int EPAP_DisplayMessage(int function, const char* title, int timeout1, int timeout2, const char* message,
                        int echoMode, int keepScript) {
    if (!HasTerminal()) return -1;
    if (EPAP_GetExecuteMode() == 2) return 0;
    const bool hasTitle = title != nullptr && title[0] != '\0';
    const int positive = (timeout1 > 0 ? 1 : 0) + (timeout2 > 0 ? 1 : 0);
    std::memset(&g_message, 0, sizeof g_message);
    g_message.kind = TERM_DISPLAY_OPEN;
    g_message.textLength = 6;
    g_message.text[1] = static_cast<char>(hasTitle ? 2 : 0);
    g_message.text[2] = 17;
    g_message.text[3] = static_cast<char>(positive);
    g_message.text[5] = static_cast<char>(echoMode);
    EPAP_SetEchoMode(echoMode);
    int status = EPAP_SetCommand(function, kDisplayOpenCommand, &g_message);
    if (status != 0) return status;
    const bool ruda = EPAP_GetProtocol(function) == kRudaProtocol;
    if (ruda) {
        status = EPAP_SendScriptCommands();
        if (status == 0) status = EPAP_GetScriptResults();
        ClearScripts(keepScript);
        if (status != 0) return status;
    }
    // One field for the time-outs: the larger positive one, two digits.
    std::string timeField;
    if (positive > 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%02d", std::min(std::max(timeout1, timeout2), kLargestTimeField));
        timeField = digits;
    }
    std::memset(&g_message, 0, sizeof g_message);
    g_message.kind = TERM_DISPLAY_TEXT;
    TermDisplay_SetFields(&g_message, MessageFields(title, message, timeField));
    status = EPAP_SetCommand(function, kDisplayTextCommand, &g_message);
    if (!ruda) return status;
    if (status == 0) status = EPAP_SendScriptCommands();
    if (status == 0) status = EPAP_GetResult(function, kDisplayTextCommand, &g_message);
    ClearScripts(keepScript);
    return status;
}

int EPAP_DisplayMessageAndReset(int function, const char* title, int timeout1, int timeout2, const char* message,
                                int echoMode) {
    return EPAP_DisplayMessage(function, title, timeout1, timeout2, message, echoMode, 0);
}

int EPAP_SelectLanguage(int function, const char* languageCode, int waitMs) {
    if (!HasTerminal()) return -1;
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) return -2;
    if (protocol != kRudaProtocol) return -1;
    // The set and the send tell nothing more than the read does.
    EPAP_SetCommand(function, kLanguageCommand, languageCode);
    EPAP_SendScriptCommands();
    const int status =
        EPAP_GetResultEx(function, kLanguageCommand, waitMs <= 0 ? kScreenReadMs : waitMs, kShortPollMs);
    EPAP_ClearAll();
    UpdateStatus();
    return status;
}

int EPAP_DisplayQR(int function, const char* content, const char* second) {
    if (!HasTerminal()) return -1;
    if (EPAP_GetProtocol(function) != kRudaProtocol) {
        TWEP_SetStatus(EPAP_GetBox(), PV_PER_ACCES);
        return 1;
    }
    int status = EPAP_SetCommand(function, kQrCommand, content, second);
    if (status != 0) {
        WSysError("-- ERROR -- [EPAP_DisplayQR] EPAP_SetCommand failed (returned %d)", status);
        return status;
    }
    status = EPAP_SendScriptCommands();
    if (status != 0) {
        WSysError("-- ERROR -- [EPAP_DisplayQR] EPAP_SendScriptCommands failed (returned %d)", status);
        return status;
    }
    status = EPAP_GetResultEx(function, kQrCommand, kScreenReadMs, kShortPollMs);
    if (status != 0) WSysError("-- ERROR -- [EPAP_DisplayQR] EPAP_GetResultEx failed (returned %d)", status);
    return status;
}

int EPAP_CallTermCtTransaction(int function, void* a1, void* a2, void* a3, void* a4, void* a5, int command) {
    if (!HasTerminal()) return -1;
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) return -2;
    int status = -1;
    if (protocol == kRudaProtocol) {
        status = EPAP_SetCommand(function, command, a1, a2, a3, a4, a5);
        if (status == 0) status = EPAP_SendScriptCommands();
        if (status == 0) status = EPAP_GetResultEx(function, command, kCtlsReadMs, kCtlsPollMs, a1, a2);
        if (status == PV_NOT_YET) status = EPAP_GetResultEx(function, command, kCtlsReadMs, kCtlsPollMs, a1, a2);
        EPAP_ClearAll();
    } else {
        WSysError("-- ERROR -- [EPAP_CallTermCtTransaction] type terminal inconnu");
    }
    UpdateStatus();
    return status;
}

// ---------------------------------------------------------------------------
// Tickets
// ---------------------------------------------------------------------------

int PAP_NextTicketPiece(const unsigned char* text, int length, int* skip) {
    if (skip != nullptr) *skip = 0;
    if (text == nullptr || length <= 0) return 0;
    if (length <= kPapTicketPieceMax) return length;
    // The last CR LF wholly within the piece's bytes, else the last LF.
    for (int i = kPapTicketPieceMax - 2; i >= 0; --i)
        if (text[i] == '\r' && text[i + 1] == '\n') {
            if (skip != nullptr) *skip = 2;
            return i;
        }
    for (int i = kPapTicketPieceMax - 1; i >= 0; --i)
        if (text[i] == '\n') {
            if (skip != nullptr) *skip = 1;
            return i;
        }
    // No line break: cut where a request is full.
    return kPapTicketPieceMax;
}

namespace {

int PrintOne(int function, TermPrintRecord* record, bool ruda) {
    int status = EPAP_SetCommand(function, kPrintCommand, record);
    if (status != 0) {
        WSysError("-- ERROR -- [PRINT] Formatage du script d'impression ticket echouee (%d)", status);
        EPAP_ClearAll();
        return status;
    }
    status = EPAP_SendScriptCommands();
    if (status != 0) {
        WSysError("-- ERROR -- [PRINT] Envoie de l'impression ticket echouee (%d)", status);
        EPAP_ClearAll();
        return status;
    }
    if (!ruda) return status;
    status = EPAP_GetResultEx(function, kPrintCommand, kPrintReadMs, kPrintPollMs);
    if (status != 0)
        WSysError("-- ERROR -- [PRINT] Recuperaion du resultat de l'impression ticket echouee (%d)", status);
    return status;
}

int PrintInPieces(int function, const TermPrintRecord* record) {
    WSysError("@@ DEBUG @@ [PRINT] Ticket trop grand, decoupe en plusieurs commandes d'impression");
    const unsigned char* text = record->bytes;
    int left = record->length;
    int status = 0;
    while (left > 0 && status == 0) {
        int skip = 0;
        const int n = PAP_NextTicketPiece(text, left, &skip);
        if (n > 0) {
            TermPrintRecord piece{};
            piece.kind = 0;
            piece.length = n;
            piece.bytes = text;
            status = EPAP_SetCommand(function, kPrintCommand, &piece);
            if (status != 0) {
                WSysError("-- ERROR -- [PRINT] Formatage du script d'impression ticket echouee (%d)", status);
            } else if ((status = EPAP_SendScriptCommands()) != 0) {
                WSysError("-- ERROR -- [PRINT] Envoie de l'impression ticket echouee (%d)", status);
            } else if ((status = EPAP_GetResultEx(function, kPrintCommand, kPrintReadMs, kPrintPollMs)) != 0) {
                WSysError("-- ERROR -- [PRINT] Recupeation de la reponse de l'impression ticket echouee (%d)",
                          status);
            }
            EPAP_ClearAll();
        }
        text += n + skip;
        left -= n + skip;
    }
    return status;
}

}  // namespace

int EPAP_PrintTicket(int function, PrintCommandBlock* record) {
    if (!HasTerminal()) return -1;
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) {
        TWEP_SetStatus(EPAP_GetBox(), PV_PER_ACCES);
        return 1;
    }
    if (record == nullptr || record->bytes == nullptr) return 1;
    const bool ruda = protocol == kRudaProtocol;
    if (!ruda || record->length <= kPapTicketPieceMax) return PrintOne(function, record, ruda);
    return PrintInPieces(function, record);
}
