// Script tables of the terminal box: command and answer rows, their headers
// and states, the script sequence number, the counters, the saved mailbox
// state and the status update run after every box operation.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/trace.h"
#include "periph/terminal_box.h"

namespace {

constexpr const char* kLogger = "ktapi.peripheral.epap";
constexpr int kRowZeroed = 35;  // bytes cleared before a row is written

PapScriptCounters g_counters;

// The saved mailbox state of the process.
struct SavedState {
    int32_t sequence;
    char commands[PAP_ROWS][PAP_ROW_SIZE];
    char answers[PAP_ROWS][PAP_ROW_SIZE];
    PapScriptCounters counters;
};
SavedState g_saved;

PapRowHeader Header(const char* row) {
    PapRowHeader h{};
    TWEP_ParseRowHeader(row, &h);
    return h;
}

// The resource of a row's index (the relay slot included), or null.
KT_PERES* RowResource(KT_EPERIPH_API* box, const PapRowHeader& h) {
    if (h.resource < 0 || h.resource > PAP_RELAY_SLOT) return nullptr;
    return &box->resources[h.resource];
}

// The row belongs to the link of the resource (same port and transport) in
// the current script.
bool SameLink(KT_EPERIPH_API* box, const PapRowHeader& h, const KT_PERES* resource) {
    const KT_PERES* owner = RowResource(box, h);
    return owner != nullptr && owner->port == resource->port && owner->transportKind == resource->transportKind &&
           h.sequence == box->sequence;
}

bool Answered(char status) { return status == PAP_ROW_ANSWERED || status == PAP_ROW_READ; }

void WriteHeader(char* row, char status, int index, int command, int sequence, int length, bool withLength) {
    std::memset(row, 0, kRowZeroed);
    char text[32];
    if (withLength)
        std::snprintf(text, sizeof text, "%c_%03d_%04x_%03d_%04x", status, index, static_cast<unsigned>(command),
                      sequence, static_cast<unsigned>(length));
    else
        std::snprintf(text, sizeof text, "%c_%03d_%04x_%03d_", status, index, static_cast<unsigned>(command),
                      sequence);
    std::memcpy(row, text, std::strlen(text));
}

int CopyHeaders(char (*rows)[PAP_ROW_SIZE], char* buffer) {
    for (int r = 0; r < PAP_ROWS; ++r) std::memcpy(buffer + r * PAP_ROW_HEADER, rows[r], PAP_ROW_HEADER);
    return 1;
}

int PutHeaders(char (*rows)[PAP_ROW_SIZE], const char* buffer) {
    for (int r = 0; r < PAP_ROWS; ++r) std::memcpy(rows[r], buffer + r * PAP_ROW_HEADER, PAP_ROW_HEADER);
    return 1;
}

}  // namespace

PapScriptCounters* PAP_Counters() { return &g_counters; }

int TWEP_ClearScript(KT_EPERIPH_API* box, char letter) {
    if (box == nullptr) return -1;
    switch (letter) {
        case 'C':
        case 'c':
            box->sequence = (box->sequence + 1) % 128;
            if (box->sequence == 0) box->sequence = 1;
            std::memset(box->commands, 0, sizeof box->commands);
            g_counters.pendingCommands = 0;
            g_counters.commandRow = 0;
            return 1;
        case 'A':
        case 'a':
            std::memset(box->answers, 0, sizeof box->answers);
            g_counters.answerCount = 0;
            g_counters.answerRow = 0;
            return 1;
        default:
            return -2;
    }
}

int TWEP_ParseRowHeader(const char* row, PapRowHeader* header) {
    if (header == nullptr) return 0;
    *header = PapRowHeader{};
    if (row == nullptr || row[0] == '\0') return 0;
    header->status = row[0];
    // "%c_%03d_%04x_%03d_%04x", each field its exact width: a field that
    // does not read leaves it and the ones after it 0.
    struct Field {
        int at;
        int width;
        int base;
        int* into;
    };
    const Field fields[] = {{2, 3, 10, &header->resource},
                            {6, 4, 16, &header->command},
                            {11, 3, 10, &header->sequence},
                            {15, 4, 16, &header->length}};
    for (const Field& f : fields) {
        if (row[f.at - 1] != '_') return 0;
        int value = 0;
        for (int i = 0; i < f.width; ++i) {
            const char c = row[f.at + i];
            const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : f.base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                                  ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                  : -1;
            if (digit < 0) return 0;
            value = value * f.base + digit;
        }
        *f.into = value;
    }
    return 1;
}

int TWEP_SetCommandScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int reset, int length, const char* frame) {
    if (box == nullptr) return -1;
    if (length <= 0 || frame == nullptr) {
        WSysError("-- ERROR -- TWEP_SetCommandScriptMes: request empty !");
        return -1;
    }
    // A row holds its header and a frame of at most 12705 bytes.
    if (length > PAP_FRAME_MAX) {
        WSysError("-- ERROR -- TWEP_SetCommandScriptMes: request too long (%d, max. %d) !", length, PAP_FRAME_MAX);
        return -5;
    }
    if (resource == nullptr || resource->command < 0 || resource->command > 0xFFFF) {
        WSysError("-- ERROR -- TWEP_SetCommandScriptMes: bad command !");
        return -6;
    }
    if (reset == 1) {
        TWEP_ClearScript(box, 'C');
        TWEP_ClearScript(box, 'A');
    }
    int row = -1;
    for (int r = 0; r < PAP_ROWS && row < 0; ++r)
        if (box->commands[r][0] == '\0') row = r;
    if (row < 0) {
        WSysError("-- ERROR -- TWEP_SetScriptMes() : Script OverFlow !");
        return -3;
    }
    const int index = TWEP_GetResourceIndex(box, resource);
    if (index < 0) {
        WSysError("-- ERROR -- TWEP_SetScriptMes() : Bad PAP !");
        return -4;
    }
    WriteHeader(box->commands[row], PAP_ROW_SET, index, resource->command, box->sequence, 0, false);
    std::memcpy(box->commands[row] + PAP_FRAME_OFFSET, frame, static_cast<size_t>(length));
    WriteHeader(box->answers[row], PAP_ROW_SET, index, resource->command, box->sequence, 0, true);
    g_counters.commandRow = row;
    g_counters.answerRow = row;
    return ++g_counters.pendingCommands;
}

const char* TWEP_GetCommandScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int* length, int* last) {
    if (length != nullptr) *length = 0;
    if (last != nullptr) *last = 0;
    if (box == nullptr || resource == nullptr) return nullptr;
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->commands[r]);
        if (h.status != PAP_ROW_SET || !SameLink(box, h, resource)) continue;
        bool more = false;
        for (int later = r + 1; later < PAP_ROWS && !more; ++later) {
            const PapRowHeader l = Header(box->commands[later]);
            more = l.status == PAP_ROW_SET && SameLink(box, l, resource);
        }
        if (last != nullptr) *last = (r == PAP_ROWS - 1 || !more) ? 1 : 0;
        box->commands[r][0] = PAP_ROW_SENT;
        --g_counters.pendingCommands;
        g_counters.commandRow = r;
        g_counters.answerRow = r;
        if (length != nullptr) *length = h.length;
        return box->commands[r] + PAP_FRAME_OFFSET;
    }
    return nullptr;
}

int TWEP_SetAnswerScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int length, const char* data) {
    if (box == nullptr || resource == nullptr || data == nullptr || length <= 0 || length > PAP_FRAME_MAX) return -1;
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->answers[r]);
        if (h.status != PAP_ROW_SET || !SameLink(box, h, resource)) continue;
        char* row = box->answers[r];
        row[0] = PAP_ROW_ANSWERED;
        std::memset(row + PAP_FRAME_OFFSET, 0, PAP_FRAME_MAX);
        std::memcpy(row + PAP_FRAME_OFFSET, data, static_cast<size_t>(length));
        g_counters.answerRow = r;
        return ++g_counters.answerCount;
    }
    return -1;
}

// The answers of the resource's current command are taken forward: the
// first unread row, else (all read) the last answered one again; "last" is
// set on the last answered row. A series "until last" thus ends within the
// table's rows on the later answer, which wins.
const char* TWEP_GetAnswerScriptMes(KT_EPERIPH_API* box, KT_PERES* resource, int* length, int* last) {
    if (length != nullptr) *length = 0;
    if (last != nullptr) *last = 0;
    if (box == nullptr || resource == nullptr) return nullptr;
    const int index = TWEP_GetResourceIndex(box, resource);
    int firstUnread = -1;
    int lastAnswered = -1;
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->answers[r]);
        if (!Answered(h.status) || h.resource != index || h.sequence != box->sequence ||
            h.command != resource->command)
            continue;
        if (h.status == PAP_ROW_ANSWERED && firstUnread < 0) firstUnread = r;
        lastAnswered = r;
    }
    const int r = firstUnread >= 0 ? firstUnread : lastAnswered;
    if (r < 0) return nullptr;
    if (last != nullptr) *last = r == lastAnswered ? 1 : 0;
    box->answers[r][0] = PAP_ROW_READ;
    g_counters.answerRow = r;
    --g_counters.answerCount;
    if (length != nullptr) *length = Header(box->answers[r]).length;
    return box->answers[r] + PAP_FRAME_OFFSET;
}

int TWEP_GetAnswerState(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return 0;
    const int index = TWEP_GetResourceIndex(box, resource);
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->answers[r]);
        if (h.status == 0 || h.resource != index) continue;
        if (resource->command != 0 && h.command != resource->command) continue;
        if (Answered(h.status)) return 2;
        if (h.status == PAP_ROW_SET) return 1;
        if (h.status == PAP_ROW_FAILED) return -1;
    }
    return 0;
}

int TWEP_FailExpectedAnswers(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return 0;
    int failed = 0;
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->answers[r]);
        if (h.status == PAP_ROW_SET && SameLink(box, h, resource)) {
            box->answers[r][0] = PAP_ROW_FAILED;
            ++failed;
        }
    }
    return failed;
}

int TWEP_HasExpectedAnswer(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return 0;
    for (int r = 0; r < PAP_ROWS; ++r) {
        const PapRowHeader h = Header(box->answers[r]);
        if (h.status == PAP_ROW_SET && SameLink(box, h, resource)) return 1;
    }
    return 0;
}

int TWEP_IsAllScriptSent(KT_EPERIPH_API* box) {
    if (box == nullptr) return -1;
    for (int r = 0; r < PAP_ROWS; ++r)
        if (box->commands[r][0] == PAP_ROW_SET) return 0;
    return 1;
}

int TWEP_IsAllScriptReceived(KT_EPERIPH_API* box) {
    if (box == nullptr) return -1;
    for (int r = 0; r < PAP_ROWS; ++r)
        if (box->answers[r][0] == PAP_ROW_SET) return 0;
    return 1;
}

int TWEP_GetCommandRowHeaders(KT_EPERIPH_API* box, char* buffer) {
    return box != nullptr && buffer != nullptr ? CopyHeaders(box->commands, buffer) : -1;
}

int TWEP_GetAnswerRowHeaders(KT_EPERIPH_API* box, char* buffer) {
    return box != nullptr && buffer != nullptr ? CopyHeaders(box->answers, buffer) : -1;
}

int TWEP_SetCommandRowHeaders(KT_EPERIPH_API* box, const char* buffer) {
    return box != nullptr && buffer != nullptr ? PutHeaders(box->commands, buffer) : -1;
}

int TWEP_SetAnswerRowHeaders(KT_EPERIPH_API* box, const char* buffer) {
    return box != nullptr && buffer != nullptr ? PutHeaders(box->answers, buffer) : -1;
}

int EPAP_GetCommandRowHeaders(char* buffer) {
    if (EpapSeam* seam = EPAP_GetSeam()) return buffer != nullptr ? seam->getRowHeaders(false, buffer) : -1;
    return TWEP_GetCommandRowHeaders(EPAP_GetBox(), buffer);
}

int EPAP_GetAnswerRowHeaders(char* buffer) {
    if (EpapSeam* seam = EPAP_GetSeam()) return buffer != nullptr ? seam->getRowHeaders(true, buffer) : -1;
    return TWEP_GetAnswerRowHeaders(EPAP_GetBox(), buffer);
}

int EPAP_SetCommandRowHeaders(const char* buffer) {
    if (buffer == nullptr || buffer[0] == '\0') return -1;
    if (EpapSeam* seam = EPAP_GetSeam()) return seam->setRowHeaders(false, buffer);
    return TWEP_SetCommandRowHeaders(EPAP_GetBox(), buffer);
}

int EPAP_SetAnswerRowHeaders(const char* buffer) {
    if (buffer == nullptr || buffer[0] == '\0') return -1;
    if (EpapSeam* seam = EPAP_GetSeam()) return seam->setRowHeaders(true, buffer);
    return TWEP_SetAnswerRowHeaders(EPAP_GetBox(), buffer);
}

int TWEP_RearmAnswerRow(KT_EPERIPH_API* box, int command) {
    if (box == nullptr) return -1;
    char headers[PAP_ROWS * PAP_ROW_HEADER];
    if (EPAP_GetAnswerRowHeaders(headers) != 1) return -1;
    for (int r = 0; r < PAP_ROWS; ++r) {
        char* header = headers + r * PAP_ROW_HEADER;
        const PapRowHeader h = Header(header);
        if (h.status == 0 || h.command != command) continue;
        header[0] = PAP_ROW_SET;
        std::memcpy(header + PAP_FRAME_OFFSET, "0000", 4);
        return EPAP_SetAnswerRowHeaders(headers) == 1 ? 1 : -1;
    }
    return 0;
}

int EPAP_SaveCurrentMailBoxState() {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_SaveCurrentMailBoxState");
    TWEP_SetStatus(box, PV_ALL_FINE);
    std::memset(&g_saved, 0, sizeof g_saved);
    g_saved.sequence = box->sequence;
    std::memcpy(g_saved.commands, box->commands, sizeof g_saved.commands);
    std::memcpy(g_saved.answers, box->answers, sizeof g_saved.answers);
    g_saved.counters = g_counters;
    return 0;
}

int EPAP_RestoreCurrentMailBoxState() {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_RestoreCurrentMailBoxState");
    TWEP_SetStatus(box, PV_ALL_FINE);
    TWEP_ClearScript(box, 'C');
    TWEP_ClearScript(box, 'A');
    std::memset(box->commands, 0, sizeof box->commands);
    std::memset(box->answers, 0, sizeof box->answers);
    box->sequence = g_saved.sequence;
    std::memcpy(box->commands, g_saved.commands, sizeof box->commands);
    std::memcpy(box->answers, g_saved.answers, sizeof box->answers);
    g_counters = g_saved.counters;
    // The save area may hold card data of the rows: it does not outlive its
    // use.
    std::memset(&g_saved, 0, sizeof g_saved);
    return 0;
}

namespace {

// The status read from a hexadecimal status text; 0 for a text that does
// not read as hexadecimal.
int HexStatus(const char* text) {
    char copy[9] = {};
    std::memcpy(copy, text, strnlen(text, 8));
    const char* start = copy;
    if (*start == '\0' || !std::isxdigit(static_cast<unsigned char>(*start))) return 0;
    return static_cast<int>(std::strtoul(start, nullptr, 16));
}

}  // namespace

void TWEP_UpdateStatus(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr) return;
    char prefix[32] = "";
    if (box->status != 0) std::snprintf(prefix, sizeof prefix, "%s", "KRN_PAP:0->");
    if (resource != nullptr && box->status == 0) {
        const int app = HexStatus(resource->appStat);
        if (app != 0) {
            box->status = app;
            std::snprintf(prefix, sizeof prefix, "APP_FUN:%d->", resource->port);
        } else {
            const int kernel = HexStatus(resource->kerStat);
            if (kernel != 0) {
                box->status = kernel;
                std::snprintf(prefix, sizeof prefix, "KRN_FUN:%d->", resource->port);
            }
        }
    }
    std::memset(box->statusText, 0, sizeof box->statusText);
    int severity = 0;
    const char* label = PvStatusLabel(box->status, &severity);
    box->severity = severity;
    if (box->status == 0) {
        box->appStatus = 0;
        box->kernelStatus = 0;
        box->accessStatus = 10;
    }
    std::snprintf(box->statusText, sizeof box->statusText, "%s:%s", prefix, label);
}

void TWEP_SetStatus(KT_EPERIPH_API* box, int status, KT_PERES* resource) {
    if (box == nullptr) return;
    box->status = status;
    TWEP_UpdateStatus(box, resource);
}
