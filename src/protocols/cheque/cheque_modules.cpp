// Command modules of the cheque readers of protocols 6, 7 and 8: requests
// of operation 10 and the decoding of their answers into the card-read
// record.
#include "protocols/cheque/cheque_modules.h"

#include <cstring>

#include "core/trace.h"
#include "protocols/cheque_line.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"

namespace {

// What one module keeps between a request and its answer.
struct ModuleState {
    const char* name;
    int lastOperation;
    int kind;
    unsigned char area[CHQ_REQUEST_AREA];
};

ModuleState g_d5500{"D5500", 0, CHQ_KIND_NONE, {}};
ModuleState g_m4400{"M4400", 0, CHQ_KIND_NONE, {}};
ModuleState g_olvar{"OLVAR", 0, CHQ_KIND_NONE, {}};

// The answer buffer the three modules share (one operation at a time).
unsigned char g_answer[PAP_MODULE_ANSWER_BUFFER];

// Appends text to a request under construction.
void Put(unsigned char* area, int* n, const char* text) {
    const size_t len = std::strlen(text);
    std::memcpy(area + *n, text, len);
    *n += static_cast<int>(len);
}

// Appends the print line of the record's text: false when the text holds
// no '*' (nothing to print).
bool PutLine(unsigned char* area, int* n, const CardReadRecord* r, int width) {
    if (CHQ_BuildPrintLine(r->eventData, width, reinterpret_cast<char*>(area + *n)) != 1) return false;
    *n += width;
    return true;
}

using Builder = bool (*)(const CardReadRecord* r, unsigned char* area, int* n, int* kind);

// The request of a record by the builder of a protocol: the area with
// *length, or null (busy left 1, the area cleared).
const unsigned char* Build(ModuleState& m, Builder build, CardReadRecord* record, int* length) {
    if (length != nullptr) *length = 0;
    if (record == nullptr || length == nullptr) {
        WSysError("-- ERROR -- [%s_SetCommand] Unknown handle", m.name);
        return nullptr;
    }
    record->busy = 1;
    std::memset(m.area, 0, sizeof m.area);
    if (record->chequeRequested == 0) {
        WSysError("-- ERROR -- [%s_SetCommand] No action required", m.name);
        return nullptr;
    }
    int n = 0;
    int kind = CHQ_KIND_NONE;
    if (!build(record, m.area, &n, &kind)) {
        std::memset(m.area, 0, sizeof m.area);
        WSysError("-- ERROR -- [%s_SetCommand] Nothing to print (no '*' in the text)", m.name);
        return nullptr;
    }
    m.lastOperation = static_cast<int>(O_T_EVENT);
    m.kind = kind;
    record->chequeOptions &= 0xF0;
    record->busy = 0;
    *length = n;
    return m.area;
}

bool BuildD5500(const CardReadRecord* r, unsigned char* area, int* n, int* kind) {
    switch (r->chequeOptions & 0xF0) {
        case CHQ_OPTION_READ: Put(area, n, "100"); *kind = CHQ_KIND_READ; return true;
        case CHQ_OPTION_PRINT:
            Put(area, n, "010e0000");
            *kind = CHQ_KIND_PRINT;
            return PutLine(area, n, r, D5500_LINE_WIDTH);
        case CHQ_OPTION_GIVE_BACK: Put(area, n, "000"); *kind = CHQ_KIND_GIVE_BACK; return true;
        default: return true;  // an empty message
    }
}

bool BuildM4400(const CardReadRecord* r, unsigned char* area, int* n, int* kind) {
    switch (r->chequeOptions & 0xF0) {
        case CHQ_OPTION_READ: Put(area, n, "910"); *kind = CHQ_KIND_READ; return true;
        case CHQ_OPTION_PRINT:
            Put(area, n, "w080");
            *kind = CHQ_KIND_PRINT;
            return PutLine(area, n, r, M4400_LINE_WIDTH);
        case CHQ_OPTION_GIVE_BACK: Put(area, n, "8"); *kind = CHQ_KIND_GIVE_BACK; return true;
        default: return true;
    }
}

bool BuildOlvar(const CardReadRecord* r, unsigned char* area, int* n, int* kind) {
    const bool variant = (r->chequeOptions & CHQ_OPTION_VARIANT) != 0;
    switch (r->chequeOptions & 0xF0) {
        case CHQ_OPTION_READ:
            Put(area, n, variant ? "42" : "42?");
            *kind = CHQ_KIND_READ;
            return true;
        case CHQ_OPTION_PRINT:
            Put(area, n, variant ? "9e" : "19e");
            *kind = CHQ_KIND_PRINT;
            return PutLine(area, n, r, OLVAR_LINE_WIDTH);
        case CHQ_OPTION_GIVE_BACK: Put(area, n, "4"); *kind = CHQ_KIND_GIVE_BACK; return true;
        default: return true;
    }
}

// The answer's text: up to its first NUL, never past its length.
int TextLength(const unsigned char* payload, int length) {
    if (payload == nullptr || length <= 0) return 0;
    return static_cast<int>(strnlen(reinterpret_cast<const char*>(payload), static_cast<size_t>(length)));
}

// Every decoder starts here.
void Begin(CardReadRecord* r) {
    r->busy = 1;
    r->errorSource = 255;
    r->answerValid = 0;
    r->presentCount = 0;
}

// The fields of a print or a give-back the device did.
void ChequeHandled(CardReadRecord* r) {
    r->errorSource = 0;
    r->technology = CARD_TECH_CHEQUE;
    r->presentCount = 1;
    r->origin = 1;
    r->dataValid = 1;
    std::memset(r->eventData, 0, sizeof r->eventData);
    r->eventLength = 0;
}

// The fields of a line read, before the line itself.
void LineRead(CardReadRecord* r) {
    r->origin = 1;
    r->dataValid = 1;
    r->errorSource = 0;
    r->status = CHQ_LINE_READ;
    std::memset(r->eventData, 0, sizeof r->eventData);
    r->eventLength = 0;
}

// The decimal number of up to two characters (as atoi reads them).
int TwoDigits(const char* t, int text, int at) {
    int n = 0;
    for (int i = at; i < at + 2 && i < text && t[i] >= '0' && t[i] <= '9'; ++i) n = n * 10 + (t[i] - '0');
    return n;
}

// Copies count characters of t from `from` into eventData, each through map.
template <typename Map>
void CopyLine(CardReadRecord* r, const char* t, int from, int count, Map map) {
    for (int i = 0; i < count; ++i) r->eventData[i] = map(t[from + i]);
    r->eventData[count] = 0;
    r->eventLength = count;
}

int Decode(ModuleState& m, int (*deal)(const unsigned char*, int, CardReadRecord*), const char* frame, va_list args) {
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, g_answer, &length) != PV_ALL_FINE) {
        WSysError("-- ERROR -- [%s_GetOneResult] Answer not readable", m.name);
        return PV_CMD_INTERNAL;
    }
    const int result = deal(g_answer, length, va_arg(args, CardReadRecord*));
    // The answer may be a CMC7 line: nothing of it stays behind.
    std::memset(g_answer, 0, sizeof g_answer);
    return result;
}

int Set(ModuleState& m, const unsigned char* (*build)(CardReadRecord*, int*), KT_EPERIPH_API* box,
        KT_PERES* resource, char* commandBuffer, va_list args) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- [%s_SetCommand] %p %p", m.name, static_cast<void*>(box), static_cast<void*>(resource));
        return -2;
    }
    if (resource->command != static_cast<int32_t>(O_T_EVENT)) {
        WSysError("-- ERROR -- [%s_SetCommand] Unknown command (%d)", m.name, resource->command);
        return -1;
    }
    int length = 0;
    const unsigned char* request = build(va_arg(args, CardReadRecord*), &length);
    if (request == nullptr) return -1;
    const int frame = PAP_WriteCommandFrame(commandBuffer, request, length);
    std::memset(m.area, 0, sizeof m.area);
    return frame;
}

int Get(ModuleState& m, int (*deal)(const unsigned char*, int, CardReadRecord*), KT_EPERIPH_API* box,
        KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) {
        WSysError("-- ERROR -- [%s_GetOneResult] %p %p", m.name, static_cast<void*>(box), static_cast<void*>(resource));
        return PV_CMD_INTERNAL;
    }
    if (resource->command != static_cast<int32_t>(O_T_EVENT)) return PV_CMD_UNKNOWN;
    return Decode(m, deal, frame, args);
}

}  // namespace

const unsigned char* D5500_BuildRequest(CardReadRecord* record, int* length) {
    return Build(g_d5500, BuildD5500, record, length);
}
const unsigned char* M4400_BuildRequest(CardReadRecord* record, int* length) {
    return Build(g_m4400, BuildM4400, record, length);
}
const unsigned char* OLVAR_BuildRequest(CardReadRecord* record, int* length) {
    return Build(g_olvar, BuildOlvar, record, length);
}

int D5500_DealAnswer(const unsigned char* payload, int length, CardReadRecord* r) {
    if (r == nullptr) {
        WSysError("-- ERROR -- [D5500_DealAnswer] Unknown handle");
        return 1;
    }
    const int text = TextLength(payload, length);
    const char* t = reinterpret_cast<const char*>(payload);
    Begin(r);
    r->presentCount = 1;
    r->answerValid = 1;
    r->busy = 0;
    r->technology = 0;
    r->status = 0;
    const char* head = g_d5500.kind == CHQ_KIND_READ        ? "140"
                       : g_d5500.kind == CHQ_KIND_PRINT     ? "010"
                       : g_d5500.kind == CHQ_KIND_GIVE_BACK ? "040"
                                                            : nullptr;
    const bool accepted = head != nullptr && text >= 5 && std::memcmp(t, head, 3) == 0 && t[3] == '1' && t[4] == '0';
    if (!accepted) {
        r->errorSource = 2;
        r->status = 2;
        return r->busy;
    }
    if (g_d5500.kind != CHQ_KIND_READ) {
        ChequeHandled(r);
        return r->busy;
    }
    LineRead(r);
    // The line runs from offset 7 to its first space or the text's end.
    constexpr int kFrom = 7;
    int count = 0;
    while (kFrom + count < text && count < kCardEventDataMax && t[kFrom + count] != ' ') ++count;
    CopyLine(r, t, kFrom, count, [](char c) {
        switch (c) {
            case ':': return 'B';
            case ';': return 'C';
            case '<': return 'D';
            case '=': return 'E';
            case '>': return 'F';
            default: return c;
        }
    });
    return r->busy;
}

int M4400_DealAnswer(const unsigned char* payload, int length, CardReadRecord* r) {
    if (r == nullptr) {
        WSysError("-- ERROR -- [M4400_DealAnswer] Unknown handle");
        return 1;
    }
    const int text = TextLength(payload, length);
    const char* t = reinterpret_cast<const char*>(payload);
    Begin(r);
    const char first = text > 0 ? t[0] : 0;
    const bool accepted = (first == '9' && g_m4400.kind == CHQ_KIND_READ) ||
                          (first == 'A' && g_m4400.kind == CHQ_KIND_PRINT) || first == '1';
    if (!accepted) return r->busy;
    r->busy = 0;
    r->technology = 0;
    r->presentCount = 1;
    r->status = 0;
    r->answerValid = 1;
    if (first == 'A') {
        ChequeHandled(r);
        if (text < 2 || t[1] != '0') r->status = 2;
    } else if (first == '1') {
        r->status = 2;
        r->errorSource = 2;
    } else {
        LineRead(r);
        // n characters from offset 3, up to the first space among them;
        // never past the text nor past eventData.
        constexpr int kFrom = 3;
        const int n = TwoDigits(t, text, 1);
        int count = 0;
        while (count < n && kFrom + count < text && count < kCardEventDataMax && t[kFrom + count] != ' ') ++count;
        CopyLine(r, t, kFrom, count, [](char c) {
            switch (c) {
                case ':': return '?';
                case ';': return 'B';
                case '<': return 'C';
                case '=': return 'D';
                case '>': return 'E';
                case '?': return 'F';
                default: return c;
            }
        });
    }
    return 0;
}

int OLVAR_DealAnswer(const unsigned char* payload, int length, CardReadRecord* r) {
    if (r == nullptr) {
        WSysError("-- ERROR -- [OLVAR_DealAnswer] Unknown handle");
        return 1;
    }
    const int text = TextLength(payload, length);
    const char* t = reinterpret_cast<const char*>(payload);
    Begin(r);
    if (text > 0 && t[0] == ' ') {
        r->busy = OLVAR_BUSY;
        return OLVAR_BUSY;
    }
    r->busy = 0;
    r->technology = 0;
    r->presentCount = 1;
    const char second = text > 1 ? t[1] : 0;
    if (second == '0') {
        r->errorSource = 0;
        r->status = 0;
        r->answerValid = 1;
    } else {
        r->errorSource = second == '1' ? 2 : 10;
    }
    switch (g_olvar.kind) {
        case CHQ_KIND_READ: {
            if (text > 2 && t[2] == '0') {
                r->errorSource = 10;
                r->status = 1;
                break;
            }
            // errorSource stays as the second character said.
            const int32_t errorSource = r->errorSource;
            LineRead(r);
            r->errorSource = errorSource;
            // The line from offset 14; a 34-character line lacks its
            // leading 'D'. At most 100 characters in all.
            constexpr int kFrom = 14;
            const int tail = text > kFrom ? text - kFrom : 0;
            int n = 0;
            if (tail == 34) r->eventData[n++] = 'D';
            for (int i = 0; i < tail && n < kCardEventDataMax; ++i) {
                const char c = t[kFrom + i];
                r->eventData[n++] = c == 'A' ? 'B' : c == 'C' ? 'D' : c == 'E' ? 'F' : c;
            }
            r->eventData[n] = 0;
            r->eventLength = n;
            break;
        }
        case CHQ_KIND_PRINT:
        case CHQ_KIND_GIVE_BACK: {
            const int32_t errorSource = r->errorSource;
            ChequeHandled(r);
            r->errorSource = errorSource;
            break;
        }
        default:
            r->status = 2;
            r->errorSource = 2;
            r->answerValid = 1;
            break;
    }
    return r->busy;
}

int D5500_LastKind() { return g_d5500.kind; }
int M4400_LastKind() { return g_m4400.kind; }
int OLVAR_LastKind() { return g_olvar.kind; }

int D5500_ResetCommand() {
    g_d5500.kind = CHQ_KIND_NONE;
    return 0;
}
int M4400_ResetCommand() {
    g_m4400.kind = CHQ_KIND_NONE;
    return 0;
}
int OLVAR_ResetCommand() {
    g_olvar.kind = CHQ_KIND_NONE;
    return 0;
}

int D5500_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    return Set(g_d5500, D5500_BuildRequest, box, resource, commandBuffer, args);
}
int M4400_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    return Set(g_m4400, M4400_BuildRequest, box, resource, commandBuffer, args);
}
int OLVAR_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    return Set(g_olvar, OLVAR_BuildRequest, box, resource, commandBuffer, args);
}

int D5500_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    return Get(g_d5500, D5500_DealAnswer, box, resource, frame, args);
}
int M4400_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    return Get(g_m4400, M4400_DealAnswer, box, resource, frame, args);
}
int OLVAR_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    return Get(g_olvar, OLVAR_DealAnswer, box, resource, frame, args);
}

int D5500_Reset(KT_EPERIPH_API*, KT_PERES*) { return D5500_ResetCommand(); }
int M4400_Reset(KT_EPERIPH_API*, KT_PERES*) { return M4400_ResetCommand(); }
int OLVAR_Reset(KT_EPERIPH_API*, KT_PERES*) { return OLVAR_ResetCommand(); }
