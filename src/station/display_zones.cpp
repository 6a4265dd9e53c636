// Display zones over the console of the per-application box.
#include "station/display_zones.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/tag_buffer.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/text_field.h"

namespace {

EFTCBox* g_zoneContext = nullptr;
constexpr int kRudaProtocol = 16;
constexpr int kDisplay = 0;  // terminal function of the display
constexpr int kZoneTextMax = 1023;

CSIBox* Box() { return g_zoneContext != nullptr ? g_zoneContext->box : nullptr; }

// Puts a zone in EFTCBox::currentZone for the time of one operation.
class CurrentZone {
public:
    explicit CurrentZone(const char* zone) {
        CopyField(saved_, g_zoneContext->currentZone);
        EFTOC_SetCurrentZone(g_zoneContext, zone);
    }
    ~CurrentZone() {
        if (g_zoneContext != nullptr) EFTOC_SetCurrentZone(g_zoneContext, saved_);
    }

private:
    char saved_[sizeof(EFTCBox::currentZone)];
};

// A RUDA terminal with the "POS texts on the terminal" bit shows zone "P5"
// on "E5".
bool PosTextsOnTerminal() {
    return EPAP_GetProtocol(4) == kRudaProtocol && (Options.PosGuiOptions & 0x4) != 0;
}

// Zone "P5" moved to "E5" (see above) with the interface's immediate mode set
// for the call.
class PosZoneOnTerminal {
public:
    explicit PosZoneOnTerminal(const char*& zone) {
        active_ = PosTextsOnTerminal();
        if (!active_) return;
        kept_ = ISAP_GetImmediateMode();
        if (zone != nullptr && std::strcmp(zone, "P5") == 0) {
            zone = "E5";
            ISAP_SetImmediateMode(1);
        } else {
            kept_ = 0;
        }
    }
    ~PosZoneOnTerminal() {
        if (active_) ISAP_SetImmediateMode(kept_);
    }

private:
    bool active_ = false;
    int kept_ = 0;
};

int WriteZone(const char* zone, const char* text) {
    PosZoneOnTerminal moved(zone);
    CurrentZone current(zone);
    CSIBox* box = Box();
    KT_TEXT_WINDOW* window = KTS_GetWindow(box, zone);
    if (window != nullptr) {
        TWI_WriteText(window, text, 1);
        KTCONSOL_DisplayFenetre(box->console, window);
    }
    return 1;
}

// Opens "posm" of "WTXT" in a language.
void OpenPosm(int language) {
    CSIBox* box = Box();
    KTS_SetCountry(box, language);
    KTS_SetDirectory(box, EFTOC_GetDirectory(g_zoneContext, "WTXT"));
    KTS_SetFile(box, "posm");
}

// Text of an id in the open file, or empty when it has none.
std::string TextOf(const char* id) {
    if (id == nullptr || *id == '\0') return std::string();
    const char* text = KTS_GetItemText(Box(), id);
    return text != nullptr ? std::string(text) : std::string();
}

bool StartsWithNoCase(const char* text, const char* prefix) {
    return text != nullptr && strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Value of a tag in a tag message, empty when absent or unusable.
std::string ReadTag(char* message, const char* code) {
    ATAG_BUFFER tags;
    ATAG_Init(&tags);
    if (ATAG_InitRead(&tags, message, kPosBufferSize, 0) != 1) return std::string();
    char value[kPosBufferSize];
    if (ATAG_Get(&tags, code, value, sizeof value, 1) <= 0) return std::string();
    return value;
}

void RemoveTag(char* message, const char* code) {
    ATAG_BUFFER tags;
    ATAG_Init(&tags);
    ATAG_Remove(&tags, message, code);
}

}  // namespace

EFTCBox* TOC_GetTextZoneContext() { return g_zoneContext; }
void TOC_ClearTextZoneContext() { g_zoneContext = nullptr; }

int TOC_OpenTextZones(EFTCBox* context, const char* textFile) {
    if (context == nullptr || context->box == nullptr) return -1;
    CSIBox* box = context->box;
    if (KTS_NewTextManager(box) < 0) return -1;
    KTS_SetDirectory(box, EFTOC_GetDirectory(context, "WTXT"));
    KTS_SetCountry(box, context->posLanguage);
    // A text file that can neither be read nor created leaves the station
    // without its display texts: it goes on, showing text ids instead.
    if (KTS_SetFile(box, textFile) < 0)
        TraceLog(TRACE_WARN, "[DISPLAY]", "Textes d'affichage indisponibles (%s), les identifiants sont affiches",
                 textFile != nullptr ? textFile : "");
    if (KTS_NewConsole(box, box->name) < 0) return -2;

    const int resource = context->consoleResource;
    KTS_SetWindowResource(box, box->name, resource);
    KTS_SetVideo(box, nullptr);
    KTS_SetWindowTitle(box, nullptr, context->name);
    KTS_SetWindowFooter(box, nullptr, context->name);
    KTS_SetWindowColors(box, box->name, 1, 15, 4, 15);

    for (const char* zone : {"CA", "SP"}) {
        KTS_AddWindow(box, zone, 3, 1024);
        KTS_SetWindowResource(box, zone, resource);
        KTS_SetWindowPosition(box, zone, 20, 3);
        KTS_SetWindowTitle(box, zone, context->name);
        KTS_SetWindowSpoolMode(box, zone, 2);
        KTS_SetWindowLineMode(box, zone, 2);
        KTS_SetWindowTrim(box, zone, 1);
        if (std::strcmp(zone, "CA") == 0) {
            KTS_SetWindowColors(box, zone, 1, 15, 4, 15);
            KTS_DisplayWindow(box, box->name);
        }
        KTS_DisplayWindow(box, zone);
    }
    g_zoneContext = context;
    EFTOC_SetCurrentZone(context, "CA");
    EFTOC_SetTraceZone("CA");
    return 1;
}

int TOC_ZoneTraceWriter(const char* text) {
    CSIBox* box = Box();
    if (box == nullptr) {
        // Before the zones exist (and after they are gone) the line is not lost.
        WSysDumpMessage(text);
        return -1;
    }
    KT_TEXT_WINDOW* window = KTS_GetWindow(box, EFTOC_GetTraceZone());
    if (window == nullptr || text == nullptr) return 1;
    WSysLogFile log(window->spoolPath, TWI_GetSpoolMaxSize() * 1024);
    log.open();
    if (log.isOpen())
        log.writeLine(text);
    else
        WSysDumpMessage(text);
    return 1;
}

int TOC_ZonePrintf(const char* zone, const char* format, ...) {
    if (g_zoneContext == nullptr) return -1;
    char text[kZoneTextMax + 1] = "";
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    return WriteZone(zone, text);
}

int TOC_ZoneWrite(const char* zone, const char* text) {
    if (g_zoneContext == nullptr) return -1;
    return WriteZone(zone, text != nullptr ? text : "");
}

int TOC_ZoneWriteAligned(const char* zone, const char* text, char alignment, int blockWidth) {
    if (g_zoneContext == nullptr) return -1;
    if (PosTextsOnTerminal() && zone != nullptr && std::strcmp(zone, "P5") == 0) zone = "E5";
    KT_TEXT_WINDOW* window = KTS_GetWindow(Box(), zone);
    if (window == nullptr) return -2;
    const int usable = window->columns - 2;
    if (usable <= 0) return -2;
    if (text == nullptr || *text == '\0') {
        TOC_ZoneWrite(zone, window->auxText3);
        const int lineMode = window->lineMode, trim = window->trim;
        window->lineMode = 0;
        window->trim = 1;
        TOC_ZoneWrite(zone, "");
        window->lineMode = lineMode;
        window->trim = trim;
        return 1;
    }
    int width = blockWidth > 0 && blockWidth < usable ? blockWidth : usable;
    const int indent = (usable - width) / 2;
    const std::string all(text);
    for (size_t start = 0; start < all.size(); start += static_cast<size_t>(width)) {
        const std::string piece = all.substr(start, static_cast<size_t>(width));
        std::string line(static_cast<size_t>(usable), ' ');
        const int length = static_cast<int>(piece.size());
        int at = indent;
        if (length < width) {
            if (alignment == 'C')
                at = indent + (width - length) / 2;
            else if (alignment != 'G')
                at = usable - indent - length;
        }
        line.replace(static_cast<size_t>(at), piece.size(), piece);
        TOC_ZoneWrite(zone, line.c_str());
    }
    return 1;
}

int TOC_GetPosmTexts(const char* firstId, char* firstOut, const char* secondId, char* secondOut,
                     int outSize) {
    if (g_zoneContext == nullptr) return -1;
    const bool terminal = (firstId != nullptr && strncasecmp(firstId, "T_", 2) == 0) ||
                          (secondId != nullptr && strncasecmp(secondId, "P_", 2) == 0);
    OpenPosm(terminal ? g_zoneContext->terminalLanguage : g_zoneContext->posLanguage);
    const struct {
        const char* id;
        char* out;
    } wanted[] = {{firstId, firstOut}, {secondId, secondOut}};
    for (const auto& w : wanted) {
        if (w.id == nullptr) continue;
        const std::string text = TextOf(w.id);
        if (text.empty()) return -1;
        if (w.out != nullptr && outSize > 0) CopyText(w.out, static_cast<size_t>(outSize), text.c_str());
    }
    return 1;
}

int TOC_ConsoleSeconds(int waitMs) {
    if (waitMs < 0) return -1;
    if (waitMs < 1000) return 0;
    return waitMs / 1000 + (waitMs % 1000 != 0 ? 1 : 0);
}

int TOC_ZoneWaitKey(const char* zone, int waitMs, int mode) {
    if (g_zoneContext == nullptr || Box() == nullptr) return 255;
    CurrentZone current(zone);
    ConsoBox* console = Box()->console;
    const int seconds = TOC_ConsoleSeconds(waitMs);
    KTCONSOL_SetTimeout(console, seconds);
    return TWAE_Action(console, zone, seconds, mode) > 0 ? TWAE_GetEventKey() : 255;
}

int TOC_ZoneWaitEntry(const char* zone, int waitMs, int row, int column, int width, char* data,
                      int capacity, const char* format) {
    if (g_zoneContext == nullptr || Box() == nullptr) return 255;
    CurrentZone current(zone);
    ConsoBox* console = Box()->console;
    KTCONSOL_SetTimeout(console, TOC_ConsoleSeconds(waitMs));
    return TWAE_Info(console, zone, row, column, width, data, capacity, format) > 0
               ? TWAE_GetEventKey()
               : 255;
}

int TOC_ZoneSelect(const char* zone, int waitMs, int count, int itemWidth, int flag,
                   const char* items, const char* title, int mode) {
    if (g_zoneContext == nullptr || Box() == nullptr) return 255;
    CurrentZone current(zone);
    KTCONSOL_SetTimeout(Box()->console, TOC_ConsoleSeconds(waitMs));
    return KTS_SelectInWindow(Box(), zone, count, itemWidth, flag, items, title, mode);
}

int TOC_ZoneWaitSelection(const char* zone, int waitMs, int count, int itemWidth, int flag,
                          const char* title, const char* items) {
    return TOC_ZoneSelect(zone, waitMs, count, itemWidth, flag, items, title, 0);
}

int TOC_DisplayById(const char* zone, const char* titleId, const char* textId) {
    const TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && record->posAnswerState == 2) return 0;
    if (zone == nullptr) zone = "";
    if (std::strcmp(zone, "P5") == 0 && (Options.PosGuiOptions & 0x8) != 0) return 0;
    if (g_zoneContext == nullptr || Box() == nullptr) return 0;

    // During the call trace lines go to the zone writer.
    const WSysTraceHook savedHook = WSysGetTraceHook();
    WSysSetTraceHook(TOC_ZoneTraceWriter);

    KT_TEXT_WINDOW* window = KTS_GetWindow(Box(), zone);
    const int columns = window != nullptr ? window->columns : 0;
    char size = window != nullptr && window->rows >= 4 ? 2 : 1;
    const bool terminalZone = strcasecmp(zone, "E5") == 0;
    OpenPosm(terminalZone ? g_zoneContext->terminalLanguage : g_zoneContext->posLanguage);

    std::string title;
    if (titleId != nullptr) {
        title = TextOf(titleId);
        if (title.empty()) {
            if (StartsWithNoCase(titleId, "ZNP_DSP_TITLE_SPECIFIC_"))
                title = TextOf("ZNP_DSP_TITLE_DEBIT");
            else if (StartsWithNoCase(titleId, "ZNP_DSP_TITLE_UPDATE_PARAMETERS"))
                title = TextOf("ZNP_DSP_TITLE_DATA_CAPTURE");
            if (title.empty()) title = titleId;
        }
    }
    std::string message = TextOf(textId);
    if (message.empty() && textId != nullptr) message = textId;
    if (textId != nullptr && strcasecmp(textId, "ZNP_DSP_HOLDER_WAIT_FOR_CARD_OUT") == 0) {
        const std::string d9e = ReadTag(g_zoneContext->serverAnswer, "D9E");
        RemoveTag(g_zoneContext->posAnswer, "D9E");
        RemoveTag(g_zoneContext->serverAnswer, "D9E");
        if (message.compare(0, 16, std::string(16, '*')) == 0) {
            std::string rest;
            for (char c : message)
                if (c != '*') rest += c;
            if (!d9e.empty()) rest = d9e;
            const char* last = TDSP_GetLastText();
            message = std::string(last != nullptr ? last : "") + rest;
            if (static_cast<int>(message.size()) > 2 * columns) size = 1;
        } else if (!d9e.empty()) {
            message = d9e;
        }
    }

    const bool rudaTerminal = EPAP_GetProtocol(0) == kRudaProtocol;
    if (rudaTerminal && std::strcmp(zone, "E5") == 0 && columns > 0 &&
        static_cast<int>(message.size()) > columns && message.find('\r') == std::string::npos &&
        message.find("\\r") == std::string::npos)
        message.insert(static_cast<size_t>(columns), 1, '\r');
    std::string zoneMessage = std::string("\x1BP") + size + '\x01' + message;

    int status = 0;
    if (terminalZone) {
        static const char* const kHolderWaits[] = {
            "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", "ZNP_DSP_HOLDER_WAIT_FOR_CARD_OUT",
            "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IDLE", "ZNP_DSP_HOLDER_WAIT_FOR"};
        bool holderWait = false;
        for (const char* id : kHolderWaits)
            if (rudaTerminal && textId != nullptr && std::strcmp(textId, id) == 0) holderWait = true;
        if (holderWait) {
            status = TermShowHolderWait(textId);
            if (status != 0)
                TraceLog(TRACE_ERROR, "[DISPLAY]", "Emission du script d'affichage %s echouee (%d)",
                         textId, status);
        } else {
            const char* shown = textId != nullptr ? textId : "";
            status = EPAP_DisplayMessage(0, title.c_str(), -1, -1, zoneMessage.c_str(),
                                         g_zoneContext->echoMode, 1);
            if (status != 0) {
                EPAP_ClearAll();
                TraceLog(TRACE_ERROR, "[DISPLAY]", "Mise en place du script d'affichage %s echouee (%d)",
                         shown, status);
            } else {
                TraceLog(TRACE_INFO, "[DISPLAY]", "Script d'affichage %s mis en place", shown);
            }
        }
    } else {
        std::string text;
        if (titleId != nullptr && columns > 0) {
            const int titleLength = std::min(static_cast<int>(title.size()), columns);
            const char column = static_cast<char>((columns - titleLength) / 2 + 1);
            text = zoneMessage.substr(0, 3) + column + title.substr(0, static_cast<size_t>(titleLength));
            if (titleLength < columns) text += '\n';
            text += zoneMessage.substr(4, static_cast<size_t>(columns));
        } else {
            text = zoneMessage;
        }
        TOC_ZonePrintf(zone, "%s", text.c_str());
    }
    WSysSetTraceHook(savedHook);
    return status;
}

int TermShowHolderWait(const char* textId) {
    static const struct {
        const char* key;
        int screen;
    } kScreens[] = {{"ZNP_DSP_HOLDER_WAIT_FOR_CARD_IDLE", 1},
                    {"ZNP_DSP_HOLDER_WAIT_FOR", 2},
                    {"ZNP_DSP_HOLDER_WAIT_FOR_CARD_OUT", 14},
                    {"ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", 13}};
    int screen = 0;
    for (const auto& s : kScreens)
        if (textId != nullptr && std::strcmp(textId, s.key) == 0) screen = s.screen;
    const int status = EPAP_DisplayScreenId(kDisplay, screen);
    EPAP_ClearAll();
    return status;
}
