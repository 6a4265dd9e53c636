// RUDA screen and keypad requests and answers.
#include "protocols/ruda/ruda_display.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_card.h"
#include "protocols/ruda/ruda_extract.h"
#include "protocols/ruda/ruda_text.h"

namespace {

constexpr int kEntryAreaSize = 100;  // the text lines of an entry with message identifiers
constexpr int kDefaultFieldSize = 16;

int Short(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data, unsigned char** apdu,
          int* length) {
    return RUDA_BuildApdu(cla, ins, p1, p2, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()),
                          nullptr, 0, apdu, length) == RUDA_APDU_BUILT
               ? 1
               : 0;
}

int Extended(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data, unsigned char** apdu,
             int* length) {
    return RUDA_BuildApduExtended(cla, ins, p1, p2, data.data(), static_cast<int>(data.size()), nullptr, 0, apdu,
                                  length) == RUDA_APDU_BUILT
               ? 1
               : 0;
}

// Short-form data above 255 bytes cannot be sent: refused, never cut.
int ShortOrRefuse(const char* what, uint8_t ins, uint8_t p1, uint8_t p2, const RudaBytes& data,
                  unsigned char** apdu, int* length) {
    if (data.size() > static_cast<size_t>(kRudaShortDataMax)) {
        WSysError("-- ERROR -- RUDA_SetCommand : %s trop long (%d octets, au plus %d)", what,
                  static_cast<int>(data.size()), kRudaShortDataMax);
        return -1;
    }
    return Short(0xD2, ins, p1, p2, data, apdu, length);
}

bool Add(RudaBytes& out, unsigned int tag, const void* value, size_t n) {
    return RUDA_AppendElement(out, tag, static_cast<const unsigned char*>(value), static_cast<int>(n));
}
bool AddText(RudaBytes& out, unsigned int tag, std::string_view text) { return Add(out, tag, text.data(), text.size()); }
bool AddByte(RudaBytes& out, unsigned int tag, uint8_t b) { return Add(out, tag, &b, 1); }

RudaBytes Template(const RudaBytes& inner) {
    RudaBytes out;
    if (!RUDA_AppendElement(out, 0xE0, inner.data(), static_cast<int>(inner.size()))) out.clear();
    return out;
}

// The entry flags as the third and fourth bytes of DFB005.
void AddEntryFlags(RudaBytes& out, const TermDisplayBlock* b) {
    const uint8_t v[4] = {0, 0, b->entryFlags[1], static_cast<uint8_t>(b->entryFlags[0] != 0 ? b->entryFlags[0] : 1)};
    Add(out, 0xDFB005, v, sizeof v);
}

// The record's own text (operation 9): its first field, within the text length.
std::string_view RecordText(const TermDisplayBlock* b) {
    std::string_view text = TermDisplay_Field(*b, 0);
    if (b->textLength > 0 && static_cast<size_t>(b->textLength) < text.size()) text = text.substr(0, b->textLength);
    return text;
}

// The text lines of an entry fit the entry area (else traced).
bool EntryAreaFits(int needed) {
    if (needed <= kEntryAreaSize) return true;
    WSysError("-- ERROR -- RUDA_FormatGetNumericDataOnly: prevent buffer overflow, max. size: %d, data size: %d",
              kEntryAreaSize, needed);
    return false;
}

// The record's text padded with spaces over the entry area.
std::string EntryArea(const TermDisplayBlock* b) {
    std::string area(kEntryAreaSize, ' ');
    const std::string_view text = RecordText(b);
    area.replace(0, std::min(text.size(), area.size()), text.substr(0, area.size()));
    return area;
}

// ---- Dialogue requests ----

RudaLineBuffer g_lines;  // the display's line buffer, one per process

void ReplaceAll(std::string& text, std::string_view from, char to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
        text.replace(at, from.size(), 1, to);
}

int BuildDisplay(const TermDisplayBlock* b, unsigned char** apdu, int* length) {
    g_lines.count = 0;
    const std::string_view title = TermDisplay_Field(*b, 1);
    if (!title.empty() && std::getenv("TAB_ENABLED") != nullptr) {
        std::memset(g_lines.text, ' ', 16);
        std::memcpy(g_lines.text, title.data(), std::min<size_t>(title.size(), 16));
        g_lines.count = 16;
        g_lines.flag = 1;
    }
    const std::string_view message = TermDisplay_Field(*b, 2);
    RUDA_DisplayTextToLines(&g_lines, reinterpret_cast<const unsigned char*>(message.data()),
                            static_cast<int>(message.size()));
    const std::string lines = RUDA_LineBufferText(g_lines);
    std::string text = RUDA_Latin1ToUtf8(reinterpret_cast<const unsigned char*>(lines.data()),
                                         static_cast<int>(lines.size()));
    ReplaceAll(text, "\\x09", '\x09');
    ReplaceAll(text, "\\r", '\r');
    return ShortOrRefuse("Texte a afficher", 0x01, 0x00, 0x01, RudaBytes(text.begin(), text.end()), apdu, length);
}

int BuildSelection(const TermDisplayBlock* b, unsigned char** apdu, int* length) {
    const std::string_view format = TermDisplay_Field(*b, 5);
    if (format.size() != 10) return 0;
    const int columns = RUDA_TwoDigits(format.data() + 4);
    const int rows = RUDA_TwoDigits(format.data() + 6);
    if (columns <= 0 || rows <= 0) {
        WSysError("-- ERROR -- RUDA_SetCommand : selection sans colonne ou sans ligne (%.10s)",
                  std::string(format).c_str());
        return 0;
    }
    const std::string_view list = TermDisplay_Field(*b, 2);
    const std::string grid =
        RUDA_GridLayout(reinterpret_cast<const unsigned char*>(list.data()), static_cast<int>(list.size()), columns, rows);
    RudaBytes data;
    const std::string_view title = TermDisplay_Field(*b, 1);
    if (!title.empty()) AddText(data, 0xDFA211, title);
    for (int i = 1; i <= rows; ++i) {
        std::string item = grid.substr(static_cast<size_t>(i) * columns, static_cast<size_t>(columns));
        item.erase(item.find_last_not_of(' ') + 1);
        AddByte(data, 0xDFA202, static_cast<uint8_t>(i));
        AddText(data, 0xDFA203, item);
    }
    uint8_t option = b->selectionOption;
    if (option == 4) {
        option = 3;
        AddByte(data, 0xDFA215, 0x00);
    }
    if (option != 0) AddByte(data, 0xDFA212, static_cast<uint8_t>(option - 1));
    return ShortOrRefuse("Liste a afficher", 0x03, 0x00, 0x01, data, apdu, length);
}

int BuildEntry(const TermDisplayBlock* b, unsigned char** apdu, int* length) {
    int maximum = RUDA_TwoDigits(TermDisplay_Field(*b, 9).size() >= 2 ? TermDisplay_Field(*b, 9).data() : nullptr);
    if (maximum < 0) maximum = 6;
    if (maximum <= 0) maximum = 11;
    RudaBytes inner;
    const uint8_t ids[6] = {0x00, 0x12, 0x00, 0x00, 0x00, 0x00};
    Add(inner, 0xDFA206, ids, sizeof ids);
    const uint8_t sizes[2] = {static_cast<uint8_t>(maximum), 0};
    Add(inner, 0xDFA207, sizes, sizeof sizes);
    AddByte(inner, 0xDF8306, 0x00);
    return Short(0xD2, 0x04, 0x00, 0x01, Template(inner), apdu, length);
}

int BuildSecret(const TermDisplayBlock* b, uint8_t p2, const unsigned char* ids, int idCount, unsigned char** apdu,
                int* length) {
    RudaBytes inner;
    AddEntryFlags(inner, b);
    if (ids != nullptr && idCount > 0) Add(inner, 0xDFA206, ids, static_cast<size_t>(std::min(idCount, 4)));
    return Short(0xD2, 0xF3, 0x00, p2, Template(inner), apdu, length);
}

uint8_t SmallOrZero(int v) { return v >= 0 && v < 256 ? static_cast<uint8_t>(v) : 0; }

// ---- Answers ----

int Sw(const unsigned char* answer, int length) { return RUDA_GetSw(answer, length); }

// The answer's data, without its status word, as a template node.
TlvNode Data(const unsigned char* answer, int length) {
    TlvNode n;
    n.value = const_cast<unsigned char*>(answer);
    n.lg = answer != nullptr && length > 2 ? length - 2 : 0;
    return n;
}

bool Find(const TlvNode& data, unsigned int tag, TlvNode* out) {
    return data.lg > 0 && TLV_SearchTag(out, data.value, data.lg, tag, nullptr) == 1;
}

// A value found, even an empty one (the searches skip empty values), depth
// first through constructed elements.
bool FindMaybeEmpty(const unsigned char* p, int n, unsigned int tag, int depth, std::string_view* value) {
    const unsigned char* limit = p + n;
    while (p != nullptr && p < limit) {
        TlvNode e;
        if (TLV_ParseElementEx(&e, p, static_cast<int>(limit - p)) != 1 || e.end == nullptr || e.end <= p)
            return false;
        if (e.tag == tag) {
            *value = {reinterpret_cast<const char*>(e.value), static_cast<size_t>(e.lg)};
            return true;
        }
        if (e.cls == 1 && e.lg > 0 && depth < kTlvMaxDepth && FindMaybeEmpty(e.value, e.lg, tag, depth + 1, value))
            return true;
        p = e.end;
    }
    return false;
}

// The entered value into the record, cut to its result area.
void SetResultData(TermDisplayBlock* b, std::string_view value) {
    std::memset(b->resultData, 0, sizeof b->resultData);
    const size_t n = std::min(value.size(), static_cast<size_t>(kTermDisplayResultMax - 1));
    if (n < value.size())
        WSysError("<< WARN. >> [RUDA] valeur saisie de %d octets, coupee a %d", static_cast<int>(value.size()),
                  static_cast<int>(n));
    std::memcpy(b->resultData, value.data(), n);
    b->resultLength = static_cast<int32_t>(n);
}

// The record's result, and the status that goes with it.
int Result(TermDisplayBlock* b, int32_t result, int status) {
    b->resultField = result;
    return status;
}

// A validated entry: its value, 'V', and the record's second word cleared.
int Validated(TermDisplayBlock* b, std::string_view value) {
    SetResultData(b, value);
    b->result = 0;
    return Result(b, 'V', RUDA_STATUS_DONE);
}

int DealSelection(const unsigned char* answer, int length, TermDisplayBlock* b, int cancelIsAnswer) {
    const int sw = Sw(answer, length);
    if (sw == 0x9F43 && cancelIsAnswer == 1) return Result(b, 'A', RUDA_STATUS_DONE);
    if (sw != 0x9000) return RUDA_STATUS_INTERNAL;
    const TlvNode data = Data(answer, length);
    TlvNode item;
    if (Find(data, 0xDFA202, &item) || Find(data, 0xDFA230, &item)) {
        if (item.lg != 1) return RUDA_STATUS_INTERNAL;
        return Result(b, item.value[0], RUDA_STATUS_DONE);
    }
    if (b->selectionOption == 4) return Result(b, 'C', RUDA_STATUS_DONE);
    WSysError("<< WARN. >> Pas de corp au message. Attention desynchronisation probable");
    return RUDA_STATUS_INTERNAL;
}

int DealEntry(const unsigned char* answer, int length, TermDisplayBlock* b) {
    const int sw = Sw(answer, length);
    if (sw == 0x9F43) return Result(b, 'A', RUDA_STATUS_DONE);
    if (sw != 0x9000) return Result(b, 255, RUDA_STATUS_INTERNAL);
    TlvNode value;
    if (!Find(Data(answer, length), 0xDFA208, &value)) {
        b->result = 0;
        return Result(b, 'V', RUDA_STATUS_DONE);
    }
    return Validated(b, {reinterpret_cast<const char*>(value.value), static_cast<size_t>(value.lg)});
}

int DealNumeric(const unsigned char* answer, int length, TermDisplayBlock* b) {
    const int sw = Sw(answer, length);
    if (sw == 0x9F43) return Result(b, 'A', RUDA_STATUS_DONE);
    if (sw == 0x9F45) return Result(b, 'C', RUDA_STATUS_DONE);
    if (sw != 0x9000) return RUDA_STATUS_INTERNAL;
    std::string_view value;
    const TlvNode data = Data(answer, length);
    if (!FindMaybeEmpty(data.value, data.lg, 0xDF8301, 0, &value)) return RUDA_STATUS_INTERNAL;
    return Validated(b, value);
}

int DealKeyWait(const unsigned char* answer, int length, TermDisplayBlock* b) {
    if (Sw(answer, length) != 0x9000) return RUDA_STATUS_INTERNAL;
    TlvNode e0;
    if (!Find(Data(answer, length), 0xE0, &e0)) return RUDA_STATUS_NOT_YET;
    char key = '\0';
    RUDA_GetKeyCode(&e0, &key);
    return Result(b, static_cast<unsigned char>(key), RUDA_STATUS_DONE);
}

int DealSecret(const unsigned char* answer, int length, TermDisplayBlock* b) {
    const int sw = Sw(answer, length);
    if (sw == 0x9F43) return Result(b, 'A', RUDA_STATUS_DONE);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse PasswordEntry : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        return RUDA_STATUS_INTERNAL;
    }
    TlvNode data = Data(answer, length);
    char value[22] = {};
    int n = 0;
    const bool entered = RUDA_GetDF8301(&data, &n, value) == 0 && n > 0 && value[0] != '\0';
    if (entered) SetResultData(b, {value, static_cast<size_t>(n)});
    std::memset(value, 0, sizeof value);
    return entered ? Result(b, 'V', RUDA_STATUS_DONE) : Result(b, 'A', RUDA_STATUS_INTERNAL);
}

}  // namespace

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

int RUDA_BuildDialogueRequest(const TermDisplayBlock* b, unsigned char** apdu, int* length) {
    if (b == nullptr) return 0;
    switch (b->kind) {
        case TERM_DISPLAY_SELECT: return BuildSelection(b, apdu, length);
        case TERM_DISPLAY_ENTRY: return BuildEntry(b, apdu, length);
        case TERM_DISPLAY_KEY_WAIT:
            return Short(0xD0, 0x61, b->keyWaitFlag == 1 ? 0x03 : 0x00, 0x00, {}, apdu, length);
        case TERM_DISPLAY_SECRET_ENTRY:
            return BuildSecret(b, SmallOrZero(b->secretEntryLength), nullptr, 0, apdu, length);
        default: return BuildDisplay(b, apdu, length);
    }
}

int RUDA_BuildEntryExtRequest(const TermDisplayBlock* b, int maximum, const unsigned char* ids, int idCount,
                              int decimals, int fieldSize, unsigned char** apdu, int* length) {
    if (b == nullptr || (ids == nullptr && b->textLength == 0)) return -1;
    if (idCount != 6 && b->textLength == 0) {
        WSysError("-- ERROR -- RUDA_SetCommand : O_T_WDATA_EXT : Nombre d'identifiants des messages de saisie "
                  "obligatoirement egal a 6");
        return -1;
    }
    if (fieldSize <= 0) fieldSize = kDefaultFieldSize;
    const int idBytes = ids != nullptr ? std::max(idCount, 0) : 0;
    RudaBytes inner;
    switch (b->kind) {
        case TERM_DISPLAY_ENTRY_EXT: {
            if (!EntryAreaFits(fieldSize * 3)) return 0;
            if (maximum > 3 || b->textLength == 0) {
                if (idBytes > 0) Add(inner, 0xDFA206, ids, static_cast<size_t>(idBytes));
            } else {
                const std::string area = EntryArea(b);
                for (int line = 0; line < 3; ++line)
                    AddText(inner, 0xDFA213, std::string_view(area).substr(static_cast<size_t>(line * fieldSize),
                                                                            static_cast<size_t>(fieldSize)));
            }
            const int d = decimals;
            const int whole = (maximum <= 0 ? 11 : d > 0 ? maximum + 1 : maximum) - d;
            const uint8_t sizes[2] = {static_cast<uint8_t>(whole), static_cast<uint8_t>(d)};
            Add(inner, 0xDFA207, sizes, sizeof sizes);
            AddByte(inner, 0xDF8306, b->entryMode);
            return Short(0xD2, 0x04, 0x00, 0x01, Template(inner), apdu, length);
        }
        case TERM_DISPLAY_NUMERIC: {
            if (!EntryAreaFits(fieldSize * 2)) return 0;
            if (maximum <= 3 && b->textLength >= 1 && b->textLength <= 99) {
                const std::string area = EntryArea(b);
                AddText(inner, 0xDFA213, std::string_view(area).substr(0, static_cast<size_t>(fieldSize)));
                AddText(inner, 0xDFA213,
                        std::string_view(area).substr(static_cast<size_t>(fieldSize), static_cast<size_t>(fieldSize)));
            } else if (idBytes > 0) {
                Add(inner, 0xDFA206, ids, static_cast<size_t>(std::min(idBytes, 4)));
            }
            AddByte(inner, 0xDF8305, static_cast<uint8_t>(maximum <= 0 ? 11 : maximum));
            AddByte(inner, 0xDF8306, b->entryMode);
            AddEntryFlags(inner, b);
            return Short(0xD2, 0xF1, 0x00, 0x01, Template(inner), apdu, length);
        }
        case TERM_DISPLAY_SECRET_ENTRY: return BuildSecret(b, SmallOrZero(maximum), ids, idBytes, apdu, length);
        default: return 0;
    }
}

int RUDA_BuildHtmlPageRequest(const HtmlPageRequest* request, unsigned char** apdu, int* length) {
    if (request == nullptr) return 0;
    RudaBytes inner;
    if (!AddText(inner, 0xDFAA01, request->getPageName())) return 0;
    for (const auto& [name, value] : request->params().items()) {
        if (name.empty() || value.empty()) continue;
        if (!AddText(inner, 0xDFAA02, name) || !AddText(inner, 0xDFAA03, value)) return 0;
    }
    const RudaBytes data = Template(inner);
    return data.empty() ? 0 : Extended(0xD2, 0xE0, 0x00, 0x01, data, apdu, length);
}

int RUDA_BuildQrRequest(const char* content, const char* second, unsigned char** apdu, int* length) {
    if (content == nullptr || content[0] == '\0') return 0;
    RudaBytes inner;
    if (!AddText(inner, 0xDFA310, content)) return 0;
    if (second != nullptr && second[0] != '\0' && !AddText(inner, 0xDF8104, second)) return 0;
    const uint8_t size[2] = {0x00, 0xFA};
    Add(inner, 0xDFA313, size, sizeof size);
    Add(inner, 0xDFA312, size, sizeof size);
    const RudaBytes data = Template(inner);
    return data.empty() ? 0 : Extended(0xD2, 0xC0, 0x00, 0x01, data, apdu, length);
}

int RUDA_BuildBarcodeRequest(int p1, int p2, int number, unsigned char** apdu, int* length) {
    RudaBytes data;
    if (number > 0) {
        RudaBytes inner;
        if (RUDA_AddBcdNumber(inner, number) != 0) return 0;
        data = Template(inner);
    }
    return Short(0xD0, 0xB1, static_cast<uint8_t>(p1), static_cast<uint8_t>(p2), data, apdu, length);
}

int RUDA_BuildScreenRequest(int operation, va_list args, unsigned char** apdu, int* length) {
    switch (operation) {
        case 0:
        case 2:
        case 3:
        case 4:
        case 5: {
            const TermDisplayBlock* block = va_arg(args, const TermDisplayBlock*);
            if (block != nullptr && block->kind == TERM_DISPLAY_ONLINE_PIN)
                return RUDA_BuildOnlinePinRequest(va_arg(args, RudaPinRecord*), apdu, length);
            return RUDA_BuildDialogueRequest(block, apdu, length);
        }
        case 9: {
            const TermDisplayBlock* block = va_arg(args, const TermDisplayBlock*);
            const int maximum = va_arg(args, int);
            const unsigned char* ids = va_arg(args, const unsigned char*);
            const int count = va_arg(args, int);
            const int decimals = va_arg(args, int);
            const int fieldSize = va_arg(args, int);
            return RUDA_BuildEntryExtRequest(block, maximum, ids, count, decimals, fieldSize, apdu, length);
        }
        case 160: {
            const int screen = va_arg(args, int);
            if (screen < 0 || screen > 255) return 0;
            return Short(0xD2, 0x01, static_cast<uint8_t>(screen), 0x01, {}, apdu, length);
        }
        case 161: {
            const char* name = va_arg(args, const char*);
            if (name == nullptr) return 0;
            WSysError("** INFO. ** RUDA_SetCommandDisplayBitmap() : Mise en place de la commande");
            RudaBytes inner;
            if (!AddText(inner, 0xDFA301, std::string_view(name, static_cast<size_t>(RUDA_BoundedLength(name)))))
                return 0;
            return ShortOrRefuse("Nom de bitmap", 0x10, 0x00, 0x01, Template(inner), apdu, length);
        }
        case 163: {
            const char* text = va_arg(args, const char*);
            if (text == nullptr) return 0;
            const std::string utf8 =
                RUDA_Latin1ToUtf8(reinterpret_cast<const unsigned char*>(text), RUDA_BoundedLength(text));
            return ShortOrRefuse("Texte a afficher", 0x01, 0x00, 0x01, RudaBytes(utf8.begin(), utf8.end()), apdu,
                                 length);
        }
        case 165: return RUDA_BuildHtmlPageRequest(va_arg(args, const HtmlPageRequest*), apdu, length);
        case 166: {
            const char* content = va_arg(args, const char*);
            const char* second = va_arg(args, const char*);
            return RUDA_BuildQrRequest(content, second, apdu, length);
        }
        case 170: {
            const char* code = va_arg(args, const char*);
            if (code == nullptr || code[0] == '\0') return 0;
            RudaBytes data;
            AddText(data, 0xDFA222, std::string_view(code, static_cast<size_t>(RUDA_BoundedLength(code))));
            return ShortOrRefuse("Code langue", 0xD0, 0x01, 0x01, data, apdu, length);
        }
        case 171: return Short(0xD2, 0xD0, 0x01, 0x00, {}, apdu, length);
        case 178: {
            const int p1 = va_arg(args, int);
            const int p2 = va_arg(args, int);
            const int number = va_arg(args, int);
            return RUDA_BuildBarcodeRequest(p1, p2, number, apdu, length);
        }
        default: return kRudaNotMine;
    }
}

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

int RUDA_DealDialogueAnswer(const unsigned char* answer, int length, TermDisplayBlock* b, int cancelIsAnswer) {
    if (b == nullptr) return -1;
    switch (b->kind) {
        case 0:
        case TERM_DISPLAY_OPEN: return RUDA_STATUS_DONE;
        case TERM_DISPLAY_TEXT: return Sw(answer, length) == 0x9000 ? RUDA_STATUS_DONE : RUDA_STATUS_INTERNAL;
        case TERM_DISPLAY_SELECT: return DealSelection(answer, length, b, cancelIsAnswer);
        case TERM_DISPLAY_ENTRY:
        case TERM_DISPLAY_ENTRY_EXT: return DealEntry(answer, length, b);
        case TERM_DISPLAY_CONTINUOUS: b->resultField = 0; return RUDA_STATUS_DONE;
        case TERM_DISPLAY_NUMERIC: return DealNumeric(answer, length, b);
        case TERM_DISPLAY_KEY_WAIT: return DealKeyWait(answer, length, b);
        case TERM_DISPLAY_SECRET_ENTRY: return DealSecret(answer, length, b);
        default: return RUDA_STATUS_INTERNAL;
    }
}

int RUDA_DealDisplayHtml(const unsigned char* answer, int length, HtmlPageResponse* response) {
    const int sw = Sw(answer, length);
    WSysError("@@ DEBUG @@ RUDA_DealDisplayHtml : %02X%02X", sw >> 8, sw & 0xFF);
    if (answer != nullptr && length >= 2 && answer[0] == 0x90 && answer[1] == 0x00) return RUDA_STATUS_NOT_YET;
    if (response == nullptr) return -1;
    if (sw == 0x9F43) {
        response->setResult(-1);
        return RUDA_STATUS_DONE;
    }
    if (sw != 0x9000) {
        response->setResult(-99);
        return RUDA_STATUS_DONE;
    }
    response->setResult(1);
    response->setSelection(-1);
    const TlvNode data = Data(answer, length);
    TlvNode selection;
    if (!Find(data, 0xDFAA05, &selection) || selection.lg > 4) {
        response->setResult(-97);
        return RUDA_STATUS_PROTO_ERROR;
    }
    response->setSelection(static_cast<int32_t>(TLV_GetUIntBE(selection.value, selection.lg)));
    TlvNode name, value;
    if (Find(data, 0xDFAA02, &name) && Find(data, 0xDFAA03, &value))
        response->params().add(std::string(reinterpret_cast<const char*>(name.value), static_cast<size_t>(name.lg)),
                               std::string(reinterpret_cast<const char*>(value.value), static_cast<size_t>(value.lg)));
    return RUDA_STATUS_DONE;
}

int RUDA_DealLanguageList(const unsigned char* answer, int length, char* slots, int slotCount) {
    const int sw = Sw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse Get Lang List : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        return RUDA_STATUS_PROTO_ERROR;
    }
    if (slots == nullptr) return -1;
    const TlvNode data = Data(answer, length);
    const unsigned char* from = nullptr;
    int filled = 0;
    for (;;) {
        TlvNode code;
        if (data.lg <= 0 || TLV_SearchTag(&code, data.value, data.lg, 0xDFA222, from) != 1) break;
        if (code.end == nullptr || code.end <= from) break;
        from = code.end;
        if (filled >= slotCount) {
            WSysError("<< WARN. >> Reponse Get Lang List : plus de %d langues, les suivantes sont ignorees", slotCount);
            break;
        }
        char* slot = slots + static_cast<size_t>(filled) * kRudaLanguageSlot;
        std::memcpy(slot, "   ", 4);
        std::memcpy(slot, code.value, static_cast<size_t>(std::min(code.lg, 3)));
        ++filled;
    }
    return RUDA_STATUS_DONE;
}

int RUDA_DealRUDAReadBarcodeAnswer(const unsigned char* answer, int length, char* buffer) {
    const int sw = Sw(answer, length);
    if (sw == 0x9000) {
        const TlvNode data = Data(answer, length);
        TlvNode e0;
        if (!Find(data, 0xE0, &e0)) {
            WSysError("** INFO. ** RUDA_DealRUDAReadBarcodeAnswer : E0 non trouve (Normal si open ou close)");
            return RUDA_STATUS_DONE;
        }
        if (buffer == nullptr) return -1;
        TlvNode code;
        if (Find(e0, 0xDFA310, &code) && code.value[0] != 0) {
            if (code.lg > kRudaBarcodeMax) {
                WSysError("-- ERROR -- RUDA_DealRUDAReadBarcodeAnswer : code barre de %d octets, au plus %d", code.lg,
                          kRudaBarcodeMax);
                return RUDA_STATUS_DONE;
            }
            std::memcpy(buffer, code.value, static_cast<size_t>(code.lg));
            buffer[code.lg] = '\0';
        }
        return RUDA_STATUS_DONE;
    }
    switch (sw) {
        case 0x9F10: WSysError("-- ERROR -- RUDA_DealRUDAReadBarcodeAnswer : P1 invalide"); break;
        case 0x6A88: WSysError("-- ERROR -- RUDA_DealRUDAReadBarcodeAnswer : P2 invalide"); break;
        case 0x9F0D: WSysError("-- ERROR -- RUDA_DealRUDAReadBarcodeAnswer : Ruda internal error"); break;
        case 0x9F41: WSysError("-- ERROR -- RUDA_DealRUDAReadBarcodeAnswer : Commande annulee ou timeout"); break;
        default: break;
    }
    return RUDA_STATUS_INTERNAL;
}

int RUDA_DealScreenStatus(int operation, const unsigned char* answer, int length) {
    const int sw = Sw(answer, length);
    if (sw == 0x9000) return RUDA_STATUS_DONE;
    switch (operation) {
        case 170:
            WSysError("-- ERROR -- Reponse Select Lang : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
            if (sw == 0x9F21) return RUDA_STATUS_PROTO_ERROR;
            if (sw == 0x9F0D && length >= 4 && answer[0] == 0x9B && answer[1] == 0xFF && answer[2] == 0xFF &&
                answer[3] == 0xFF)
                return RUDA_STATUS_PROTO_ERROR;
            return RUDA_STATUS_INTERNAL;
        case 166: return sw == 0x9F27 ? RUDA_STATUS_PROTO_ERROR : RUDA_STATUS_INTERNAL;
        default:
            WSysError("-- ERROR -- Reponse Display : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
            return sw == 0x9F55 || sw == 0x9F54 || sw == 0x9F53 || sw == 0x9F51 ? RUDA_STATUS_ENCKEY
                                                                               : RUDA_STATUS_INTERNAL;
    }
}

int RUDA_DealScreenAnswer(int operation, const unsigned char* answer, int length, va_list args) {
    switch (operation) {
        case 0:
        case 2:
        case 3:
        case 4:
        case 5: {
            TermDisplayBlock* block = va_arg(args, TermDisplayBlock*);
            if (block == nullptr) return -1;
            // Only a selection reads the second argument.
            const int cancelIsAnswer = block->kind == TERM_DISPLAY_SELECT ? va_arg(args, int) : 0;
            return RUDA_DealDialogueAnswer(answer, length, block, cancelIsAnswer);
        }
        case 9: return RUDA_DealDialogueAnswer(answer, length, va_arg(args, TermDisplayBlock*), 0);
        case 160:
        case 161:
        case 163:
        case 166:
        case 170: return RUDA_DealScreenStatus(operation, answer, length);
        case 165: return RUDA_DealDisplayHtml(answer, length, va_arg(args, HtmlPageResponse*));
        case 171: {
            char* slots = va_arg(args, char*);
            const int count = va_arg(args, int);
            return RUDA_DealLanguageList(answer, length, slots, count);
        }
        case 178: return RUDA_DealRUDAReadBarcodeAnswer(answer, length, va_arg(args, char*));
        default: return kRudaNotMine;
    }
}
