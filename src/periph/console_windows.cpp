// Console windows, their text boxes, spool files and print commands.
#include "periph/console_windows.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <algorithm>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "periph/console_render.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "platform/private_file.h"
#include "platform/process.h"
#include "protocols/pv_status.h"

namespace {

std::string g_spoolDirectory = "/Talvo/WOut";
std::string g_printCommands[2] = {"type %s >/Talvo/WOut/Wprn", "print %s >null"};
int g_spoolMaxSizeKb = TWI_DEFAULT_SPOOL_MAX_KB;

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text != nullptr ? text : "");
}

void ClearBoxLines(TWB_TEXT* box) {
    const size_t lines = static_cast<size_t>(box->width) * (box->rows + 1);
    std::memset(box->buffer, ' ', lines);
    std::memset(box->buffer + lines, 0, 10);
    box->row = 1;
    box->column = 1;
}

TWB_TEXT* NewBox(int rows, int width) {
    auto* box = static_cast<TWB_TEXT*>(WAlloc(sizeof(TWB_TEXT)));
    if (box == nullptr) {
        WSysError("-- ERROR -- TWB_NewText : Echec Allocation structure Box....");
        return nullptr;
    }
    box->rows = rows;
    box->width = width;
    box->buffer = static_cast<char*>(WAlloc(static_cast<size_t>(width) * (rows + 1) + 10));
    if (box->buffer == nullptr) {
        WSysError("-- ERROR -- TWB_NewText : Echec Allocation Buffer Box....");
        WFree(box);
        return nullptr;
    }
    ClearBoxLines(box);
    return box;
}

// Puts text into the box from its current position. Returns the bytes used
// when the box filled before the end of the text, -1 at the end of the text.
int PutBoxText(TWB_TEXT* box, const unsigned char* text) {
    if (box == nullptr || text == nullptr || box->buffer == nullptr || box->rows <= 0 || box->width <= 0)
        return -1;
    int row = box->row > 0 ? box->row - 1 : 0;
    int column = box->column > 0 ? box->column - 1 : 0;
    int used = 0;
    int result = -1;
    while (text[used] != '\0') {
        if (row >= box->rows) {
            column = 0;
            result = used;
            break;
        }
        const unsigned char c = text[used];
        if (c == '\n' || c == '\r') {
            column = 0;
            ++row;
            ++used;
        } else if (c == 0x1B) {
            const unsigned char code = text[used + 1];
            if (code == 'H') {
                ClearBoxLines(box);
                row = column = 0;
                used += 2;
            } else if (code == 'P' && text[used + 2] != '\0' && text[used + 3] != '\0') {
                // Positions outside the box are ignored: nothing is stored
                // outside the text lines.
                const int r = text[used + 2] - 1, k = text[used + 3] - 1;
                if (r >= 0 && r < box->rows && k >= 0 && k < box->width) {
                    row = r;
                    column = k;
                }
                used += 4;
            } else {
                used += code != '\0' ? 2 : 1;
            }
        } else {
            if (column >= box->width) {
                column = 0;
                ++row;
                continue;
            }
            box->buffer[static_cast<size_t>(row) * box->width + column] = static_cast<char>(c);
            ++column;
            ++used;
            if (column >= box->width && text[used] != '\0' && text[used] != '\n' &&
                text[used] != '\r') {
                column = 0;
                ++row;
            }
        }
        box->row = row + 1;
        box->column = column + 1;
    }
    box->row = row + 1;
    box->column = column + 1;
    return result;
}

bool NameMatches(const KT_TEXT_WINDOW* window, const char* fullName) {
    return window != nullptr && strcasecmp(window->name, fullName) == 0;
}

// The length of the whole full name (the text kept is cut to the size).
int FullName(const ConsoBox* console, const char* name, char* out, size_t size) {
    return std::snprintf(out, size, "%s%03d%03d", name, console->number1, console->number2);
}

const char* LineEnd(int mode) {
    switch (mode) {
        case 1: return "\n";
        case 2:
        case 4: return "\r\n";
        case 3: return "\r";
        default: return "";
    }
}

void Scroll(KT_TEXT_WINDOW* window) {
    TWB_TEXT* box = window->text;
    if (window->spoolMode == 2) {
        TWI_SpoolLines(window, 0);
        ClearBoxLines(box);
        return;
    }
    if (window->spoolMode == 1) TWI_SpoolLines(window, 1);
    std::memmove(box->buffer, box->buffer + box->width,
                 static_cast<size_t>(box->width) * (box->rows - 1));
    std::memset(box->buffer + static_cast<size_t>(box->width) * (box->rows - 1), ' ',
                static_cast<size_t>(box->width));
    box->row = box->rows;
    box->column = 1;
}

}  // namespace

int TWB_PutText(TWB_TEXT* box, const char* text) {
    return PutBoxText(box, reinterpret_cast<const unsigned char*>(text));
}

void TWB_Clear(TWB_TEXT* box) {
    if (box != nullptr && box->buffer != nullptr) ClearBoxLines(box);
}

int KTCONSOL_SetWorkDirectory(const char* base, const char* argument) {
    if (base == nullptr || std::strlen(base) > KTCONSOL_WORK_DIRECTORY_MAX) return -1;
    const std::string dir = base;
    const std::string arg = argument ? argument : "";
    g_spoolDirectory = dir + "/WOut";
    // The print scripts of the installation (Windows had ".bat" files).
    g_printCommands[0] = dir + "/WSYS" + "/wfprint %s " + arg;
    g_printCommands[1] = dir + "/WSYS" + "/wsprint %s " + arg;
    return 1;
}

int KTCONSOL_SetPrintCommand(const char* text) {
    if (text == nullptr) return -1;
    g_printCommands[0] = text;
    return 1;
}

void TWI_SetSpoolMaxSize(int sizeKb) {
    if (sizeKb != 0) g_spoolMaxSizeKb = sizeKb;
}

int TWI_GetSpoolMaxSize() { return g_spoolMaxSizeKb; }

ConsoBox* KTCONSOL_NewConso(int number1, int number2, const char* identifier, KTX_WSERV* stream,
                            TEXT_MANAGER* textManager) {
    if (identifier == nullptr || std::strlen(identifier) >= KTCONSOL_NAME_SIZE) {
        WSysError("-- ERROR -- KTCONSOL_NewConso : Refus : Identifiant Trop Long....");
        return nullptr;
    }
    auto* console = static_cast<ConsoBox*>(WAlloc(sizeof(ConsoBox)));
    if (console == nullptr) {
        WSysError("-- ERROR -- KTCONSOL_NewConso : Echec Allocation structure ConsoBox....");
        return nullptr;
    }
    console->textManager = textManager;
    SetText(console->identifier, identifier);
    SetText(console->printCommand1, g_printCommands[0].c_str());
    SetText(console->printCommand2, g_printCommands[1].c_str());
    SetText(console->spoolDirectory, g_spoolDirectory.c_str());
    console->stream = stream;
    if (stream != nullptr && stream->mess != nullptr) {
        console->messageBody = KTM_GetAnswerMessage(stream->mess);
        if (console->messageBody != nullptr)
            std::memset(console->messageBody, 0, std::min<size_t>(KTCONSOL_MESSAGE_CLEAR, KTM_M_MAX));
    }
    console->number1 = number1;
    console->number2 = number2;
    if (KTCONSOL_AddFenetre(console, identifier, 23, 78) != 1) {
        KTCONSOL_FreeConso(console);
        return nullptr;
    }
    return console;
}

int KTCONSOL_FreeConso(ConsoBox* console) {
    if (console == nullptr) return -1;
    // The terminal and interface boxes are bound to their console and go
    // with it.
    PAP_ConsoleFreed(console);
    SAP_ConsoleFreed(console);
    for (KT_TEXT_WINDOW*& window : console->windows) {
        TWI_FreeTextWindow(window);
        window = nullptr;
    }
    if (console->video != nullptr) WFreeShareMemHeap(console->video);
    WFree(console);
    return 0;
}

int KTCONSOL_SetDebug(ConsoBox* console, int flag) {
    if (console == nullptr) return -1;
    console->debug = flag != 0 ? 1 : 0;
    return 1;
}

int KTCONSOL_SetTimeout(ConsoBox* console, int timeout) {
    if (console == nullptr) return -1;
    console->timeout = timeout;
    return 1;
}

KT_TEXT_WINDOW* KTCONSOL_ConsoAddFenetre(ConsoBox* console, int rows, int columns, const char* name,
                                         int* result) {
    int ignored = 0;
    if (result == nullptr) result = &ignored;
    *result = -1;
    if (console == nullptr || name == nullptr) return nullptr;
    int slot = 0;
    while (slot < KTCONSOL_MAX_WINDOWS && console->windows[slot] != nullptr) ++slot;
    if (slot == KTCONSOL_MAX_WINDOWS) {
        WSysError("-- ERROR -- KTCONSOL_ConsoAddFenetre : Echec Allocation Fenetre....");
        console->statusBits = KTCONSOL_BIT_TIMEOUT;
        KTTD_SetConsoError(console);
        return nullptr;
    }
    char fullName[KTCONSOL_NAME_SIZE];
    // A window is found by its full name only: one that would be cut (or not
    // kept by the window) is refused.
    if (FullName(console, name, fullName, sizeof fullName) >= KTCONSOL_NAME_SIZE - 1) {
        WSysError("-- ERROR -- KTCONSOL_ConsoAddFenetre : Refus : Nom Trop Long....");
        console->statusBits = KTCONSOL_BIT_INTERNAL;
        KTTD_SetConsoError(console);
        *result = -2;
        return nullptr;
    }
    SetText(console->currentWindow, fullName);
    char spoolPath[KTCONSOL_SPOOL_PATH_SIZE];
    const int length = std::snprintf(spoolPath, sizeof spoolPath, "%s%c%s%s",
                                     console->spoolDirectory, '/', fullName, ".SPO");
    // A path that does not fit gets no spool file rather than a cut one.
    if (length < 0 || length >= static_cast<int>(sizeof spoolPath)) spoolPath[0] = '\0';
    KT_TEXT_WINDOW* window = TWI_NewTextWindow(rows, columns, spoolPath, fullName);
    if (window == nullptr) {
        WSysError("-- ERROR -- KTCONSOL_ConsoAddFenetre : Echec CreationFenetre....");
        console->statusBits = KTCONSOL_BIT_INTERNAL;
        KTTD_SetConsoError(console);
        *result = -2;
        return nullptr;
    }
    console->windows[slot] = window;
    ++console->windowCount;
    *result = 1;
    return window;
}

int KTCONSOL_AddFenetre(ConsoBox* console, const char* name, int rows, int columns) {
    int result = -1;
    KTCONSOL_ConsoAddFenetre(console, rows, columns, name, &result);
    return result;
}

int KTTD_SetConsoError(ConsoBox* console) {
    if (console == nullptr) return -1;
    const int bits = console->statusBits;
    if (bits == 0) {
        console->errorFlag = 0;
        console->statusLabel[0] = '\0';
        console->errorText[0] = '\0';
    } else if ((bits & KTCONSOL_BIT_REFUSED) != 0) {
        WSysError("<< WARN. >> KTTD_SetError: Status: %X", bits);
        console->errorFlag = 1;
        console->statusBits = KTCONSOL_BIT_REFUSED;
        SetText(console->statusLabel, "__TTY CMD REFUSED__");
    } else {
        WSysError("<< WARN. >> KTTD_SetError: Error not followed, status: %X", bits);
        WSysError("<< WARN. >> KTTD_SetError: Error not followed, file: %s%s, status: %X", console->identifier,
                  console->currentWindow, bits);
        static const struct {
            int bit;
            const char* label;
        } kLabels[] = {{KTCONSOL_BIT_BROKEN_PIPE, "__TTY BROKEN PIPE__"},
                       {KTCONSOL_BIT_INTERNAL, "_TTY INTERNAL ERROR"},
                       {KTCONSOL_BIT_TIMEOUT, "__TTY CMD TIMEOUT__"},
                       {KTCONSOL_BIT_REFUSED, "__TTY CMD REFUSED__"}};
        for (const auto& l : kLabels)
            if ((bits & l.bit) != 0) WSysError("<< WARN. >> KTTD_SetError: Status: %s", l.label);
    }
    if (console->errorFlag != 0) {
        const char* warning =
            console->textManager != nullptr ? TEXT_GetSystemText(console->textManager, "C_WARN") : nullptr;
        std::snprintf(console->errorText, sizeof console->errorText, "[Console(): %s%s:**%s**-:%s]",
                      console->identifier, console->currentWindow, warning != nullptr ? warning : "",
                      console->statusLabel);
    }
    return console->errorFlag;
}

KT_TEXT_WINDOW* KTCONSOL_FindFenetre(ConsoBox* console, const char* name) {
    if (console == nullptr || name == nullptr) return nullptr;
    char fullName[KTCONSOL_NAME_SIZE];
    FullName(console, name, fullName, sizeof fullName);
    SetText(console->currentWindow, fullName);
    for (KT_TEXT_WINDOW* window : console->windows)
        if (NameMatches(window, fullName)) return window;
    return nullptr;
}

int KTCONSOL_SetFenetreColors(ConsoBox* console, const char* name, int frame1, int frame2,
                              int text1, int text2) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    w->frameColor1 = frame1 & 0xFF;
    w->frameColor2 = frame2 & 0xFF;
    w->textColor1 = text1 & 0xFF;
    w->textColor2 = text2 & 0xFF;
    return 1;
}

int KTCONSOL_SetFenetrePosition(ConsoBox* console, const char* name, int row, int column) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    w->row = row;
    w->column = column;
    return 1;
}

int KTCONSOL_SetFenetreSpoolMode(ConsoBox* console, const char* name, int mode) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    if (mode == 1) {
        TWI_OpenSpool(w, 1);
        TWI_CloseSpool(w);
        w->spoolMode = 1;
    } else {
        w->spoolMode = mode == 2 ? 2 : 0;
    }
    return 1;
}

int KTCONSOL_SetFenetreLineMode(ConsoBox* console, const char* name, int mode) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    w->lineMode = mode;
    return 1;
}

int KTCONSOL_SetFenetreTrim(ConsoBox* console, const char* name, int flag) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    w->trim = flag;
    return 1;
}

namespace {
KT_TEXT_WINDOW* FirstOrNamed(ConsoBox* console, const char* name) {
    if (console == nullptr) return nullptr;
    if (name != nullptr) return KTCONSOL_FindFenetre(console, name);
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, console->identifier);
    SetText(console->currentWindow, console->identifier);
    return w;
}
}  // namespace

int KTCONSOL_SetFenetreTitle(ConsoBox* console, const char* name, const char* text) {
    KT_TEXT_WINDOW* w = FirstOrNamed(console, name);
    if (w == nullptr || text == nullptr || std::strlen(text) >= 80) return -1;
    SetText(w->title, text);
    return 1;
}

int KTCONSOL_SetFenetreFooter(ConsoBox* console, const char* name, const char* text) {
    KT_TEXT_WINDOW* w = FirstOrNamed(console, name);
    if (w == nullptr || text == nullptr || std::strlen(text) >= 80) return -1;
    SetText(w->footer, text);
    return 1;
}

int KTCONSOL_SetFenetreResource(ConsoBox* console, const char* name, int resource) {
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    if (w == nullptr) return -1;
    w->resource = resource;
    return ISAP_OpenWindowResource(w);
}

int KTCONSOL_DisplayFenetreByName(ConsoBox* console, const char* name) {
    return KTCONSOL_DisplayFenetre(console, KTCONSOL_FindFenetre(console, name));
}

int KTCONSOL_SetFenetreTexts(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text1,
                             const char* text2, const char* text3) {
    if (console == nullptr || window == nullptr) return -1;
    if (text1 != nullptr && std::strlen(text1) < 80) SetText(window->auxText1, text1);
    if (text2 != nullptr && std::strlen(text2) < 80) SetText(window->auxText2, text2);
    if (text3 != nullptr && std::strlen(text3) < 80) SetText(window->auxText3, text3);
    return 1;
}

int KTCONSOL_DisplayFenetre(ConsoBox* console, KT_TEXT_WINDOW* window) {
    if (console == nullptr || window == nullptr) return -1;
    const int resource = window->resource;
    const bool console41 = resource == 41 || resource == 42;
    if (resource == 0 || (console41 && ISAP_IsWindowBound(window) != 0)) {
        // The PC console: the cell buffer, and the screen for 41 and 42.
        KTTD_ShowWindow(console, window);
        return 1;
    }
    if (console41 || resource == 45 || resource == 47) {
        if (ISAP_IsWindowBound(window) != 0) return -1;
        ISAP_ClearAll();
        ISAP_SetDisplayCommand(window);
        ISAP_SendScriptCommands();
        return ISAP_GetDisplayResult(window) == PV_ALL_FINE ? 1 : -1;
    }
    if (resource == 61 || resource == 65 || resource == 67)
        return ISAP_SetDisplayCommand(window) == PV_ALL_FINE ? 1 : -1;  // the caller sends the script
    return -1;
}

KT_TEXT_WINDOW* TWI_NewTextWindow(int rows, int columns, const char* spoolPath, const char* name) {
    if (rows <= 0 || columns <= 0 || rows > 1000 || columns > 4096) return nullptr;
    auto* w = static_cast<KT_TEXT_WINDOW*>(WAlloc(sizeof(KT_TEXT_WINDOW)));
    if (w == nullptr) {
        WSysError("-- ERROR -- TWI_NewTextWindow : Echec Allocation structure Box....");
        return nullptr;
    }
    w->rows = rows;
    w->columns = columns;
    w->highlightFirstRow = w->highlightLastRow = -1;
    w->highlightFirstColumn = w->highlightLastColumn = -1;
    if (spoolPath != nullptr) SetText(w->spoolPath, spoolPath);
    if (name != nullptr && std::strlen(name) < 80) {
        SetText(w->name, name);
        SetText(w->title, name);
    }
    const bool small = rows < 23 || columns < 78;
    w->frameColor1 = small ? 7 : 9;
    w->frameColor2 = small ? 0 : 15;
    w->frameStyle = small ? 1 : 2;
    w->fillCharacter = small ? ' ' : 177;
    w->textColor1 = small ? 7 : 15;
    w->textColor2 = small ? 0 : 1;
    w->text = NewBox(rows, columns);
    if (w->text == nullptr) {
        WSysError("-- ERROR -- TWI_NewText : Echec Allocation Buffer Window....");
        WFree(w);
        return nullptr;
    }
    return w;
}

void TWI_FreeTextWindow(KT_TEXT_WINDOW* window) {
    if (window == nullptr) return;
    TWI_CloseSpool(window);
    if (window->text != nullptr) {
        WFree(window->text->buffer);
        WFree(window->text);
    }
    WFree(window);
}

int TWI_ClearWindow(KT_TEXT_WINDOW* window) {
    if (window == nullptr || window->text == nullptr) return -1;
    if (window->spoolMode != 0) TWI_SpoolLines(window, window->text->row);
    ClearBoxLines(window->text);
    return 1;
}

int TWI_ScrollWindow(KT_TEXT_WINDOW* window) {
    if (window == nullptr || window->text == nullptr) return -1;
    Scroll(window);
    return 1;
}

int TWI_WriteText(KT_TEXT_WINDOW* window, const char* text, int clear) {
    if (window == nullptr || window->text == nullptr || text == nullptr) return -1;
    TWB_TEXT* box = window->text;
    if (clear == 1) TWI_ClearWindow(window);
    const auto* rest = reinterpret_cast<const unsigned char*>(text);
    int used;
    while ((used = PutBoxText(box, rest)) >= 0) {
        Scroll(window);
        rest += used;
    }
    return 1;
}

const char* TWI_GetLine(const KT_TEXT_WINDOW* window, int line) {
    if (window == nullptr || window->text == nullptr || line < 0 || line >= window->text->rows)
        return nullptr;
    return window->text->buffer + static_cast<size_t>(line) * window->text->width;
}

int TWI_OpenSpool(KT_TEXT_WINDOW* window, int force) {
    if (window == nullptr || window->spoolPath[0] == '\0') return -1;
    TWI_CloseSpool(window);
    struct stat st {};
    const bool exists = ::stat(window->spoolPath, &st) == 0;
    if (!force && exists && st.st_size / 1024 > g_spoolMaxSizeKb) force = 1;
    bool fresh = !exists || st.st_size == 0;
    if (force) {
        std::string backup = window->spoolPath;
        if (backup.size() >= 3) backup.replace(backup.size() - 3, 3, "SPB");
        ::unlink(backup.c_str());
        if (exists) ::rename(window->spoolPath, backup.c_str());
        window->spoolFile = plat::OpenPrivateFile(window->spoolPath, false);
        fresh = true;
    } else {
        window->spoolFile = plat::OpenPrivateFile(window->spoolPath, true);
    }
    if (window->spoolFile == nullptr) return -1;
    const size_t length = std::strlen(window->spoolPath);
    if (fresh && length > 11) {
        const char* head = window->spoolPath + length - 12;
        if (std::strncmp(head, "KS", 2) == 0 || std::strncmp(head + 1, "V0", 2) == 0) {
            const int64_t ms = plat::RealtimeMs();
            const time_t seconds = static_cast<time_t>(ms / 1000);
            struct tm t {};
            localtime_r(&seconds, &t);
            std::fprintf(window->spoolFile, "[%02d-%02d/%02d:%02d:%02d,%03d]:** INFO. ** New log\r\n",
                         t.tm_mday, t.tm_mon + 1, t.tm_hour, t.tm_min, t.tm_sec,
                         static_cast<int>(ms % 1000));
        }
    }
    return 1;
}

int TWI_CloseSpool(KT_TEXT_WINDOW* window) {
    if (window == nullptr) return -1;
    if (window->spoolFile != nullptr) {
        std::fflush(window->spoolFile);
        std::fclose(window->spoolFile);
        window->spoolFile = nullptr;
    }
    return 1;
}

int TWI_SpoolLines(KT_TEXT_WINDOW* window, int count) {
    if (window == nullptr || window->text == nullptr) return -1;
    if (TWI_OpenSpool(window, 0) != 1) return -1;
    const TWB_TEXT* box = window->text;
    if (count <= 0 || count > box->rows) count = box->rows;
    if (window->auxText1[0] != '\0') std::fputs(window->auxText1, window->spoolFile);
    bool inHighlight = false;
    std::string line;
    for (int i = 0; i < count; ++i) {
        const int number = i + 1;
        const bool highlighted =
            number >= window->highlightFirstRow && number <= window->highlightLastRow;
        if (highlighted && !inHighlight) std::fputs(window->auxText2, window->spoolFile);
        if (!highlighted && inHighlight) std::fputs(window->auxText1, window->spoolFile);
        inHighlight = highlighted;
        line.assign(box->buffer + static_cast<size_t>(i) * box->width, box->width);
        if (window->trim == 1) line.erase(line.find_last_not_of(' ') + 1);
        if (window->lineMode == 4) {
            const bool last = i + 1 == count;
            const bool shorter = static_cast<int>(line.size()) < box->width;
            const bool nextBlank = !last && box->buffer[static_cast<size_t>(i + 1) * box->width] == ' ';
            if (last || shorter || nextBlank) line += "\r\n";
        } else {
            line += LineEnd(window->lineMode);
        }
        if (!line.empty()) std::fprintf(window->spoolFile, "%s", line.c_str());
    }
    TWI_CloseSpool(window);
    return 1;
}

void TWI_SetGraphic(KT_TEXT_WINDOW* window, char value) {
    if (window != nullptr) window->graphic = value;
}

const char* TWI_GetLineEnd(const KT_TEXT_WINDOW* window) {
    if (window == nullptr) return nullptr;
    const char* end = LineEnd(window->lineMode);
    return end[0] != '\0' ? end : nullptr;
}

int TWI_SpoolSystemOut(KT_TEXT_WINDOW* window, const char* format) {
    if (window == nullptr || format == nullptr) return -1;
    // The line is the command with the spool path put in, quoted whole: the
    // only value that reaches the shell, whatever it holds.
    std::string line;
    bool pathPut = false;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && !pathPut) {
            line += plat::ShellQuote(window->spoolPath);
            pathPut = true;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            line += '%';
            ++p;
        } else {
            line += *p;
        }
    }
    if (line.size() > static_cast<size_t>(TWI_COMMAND_MAX)) {
        // A cut command could do anything: it is not run.
        WSysError("-- ERROR -- TWI_SpoolSystemOut: Command to run too long");
        return -1;
    }
    int code = 0;
    if (!plat::RunShellCommand(line, &code)) {
        WSysError("-- ERROR -- TWI_SpoolSystemOut: the shell could not be started (errno %d): %s", code, line.c_str());
        return -1;
    }
    if (code == 126 || code == 127)
        WSysError("<< WARN. >> TWI_SpoolSystemOut: command not found or not runnable (%d): %s", code, line.c_str());
    return 1;
}

void ISAP_ResetWindowResource(KT_TEXT_WINDOW* window) {
    if (window != nullptr) window->resource = 0;
}

void ISAP_SetWindowResource(KT_TEXT_WINDOW* window, int resource) {
    if (window != nullptr) window->resource = resource;
}

namespace {
int g_immediateMode = 0;
}  // namespace

void ISAP_SetImmediateMode(int mode) { g_immediateMode = mode != 0 ? 1 : 0; }
int ISAP_GetImmediateMode() { return g_immediateMode; }
