// Console windows kept as a model, with their spool files.
#include "periph/console_windows.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "periph/terminal_box.h"
#include "periph/interface_box.h"
#include "platform/private_file.h"
#include "platform/clock.h"

namespace {

std::string g_spoolDirectory = "/Talvo/WOut";
std::string g_printCommands[2] = {"type %s >/Talvo/WOut/Wprn", "print %s >null"};
int g_spoolMaxSizeKb = TWI_DEFAULT_SPOOL_MAX_KB;

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text != nullptr ? text : "");
}

void ClearBox(TWB_TEXT* box) {
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
    ClearBox(box);
    return box;
}

// Puts text into the box from its current position. Returns the bytes used
// when the box filled before the end of the text, -1 at the end of the text.
int PutBoxText(TWB_TEXT* box, const unsigned char* text) {
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
                ClearBox(box);
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
        ClearBox(box);
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

void KTCONSOL_SetWorkDirectory(const char* base, const char* argument) {
    const std::string dir = base ? base : ".";
    const std::string arg = argument ? argument : "";
    g_spoolDirectory = dir + "/WOut";
    g_printCommands[0] = dir + "/WSYS" + "/wfprint.bat %s " + arg;
    g_printCommands[1] = dir + "/WSYS" + "/wsprint.bat %s " + arg;
}

void KTCONSOL_SetPrintCommand(const char* text) {
    if (text != nullptr) g_printCommands[0] = text;
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
    // The terminal box is bound to its console and goes with it.
    PAP_ConsoleFreed(console);
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

int KTCONSOL_AddFenetre(ConsoBox* console, const char* name, int rows, int columns) {
    if (console == nullptr || name == nullptr) return -1;
    int slot = 0;
    while (slot < KTCONSOL_MAX_WINDOWS && console->windows[slot] != nullptr) ++slot;
    if (slot == KTCONSOL_MAX_WINDOWS) {
        WSysError("-- ERROR -- KTCONSOL_ConsoAddFenetre : Echec Allocation Fenetre....");
        return -1;
    }
    char fullName[KTCONSOL_NAME_SIZE];
    // A window is found by its full name only: one that would be cut (or not
    // kept by the window) is refused.
    if (FullName(console, name, fullName, sizeof fullName) >= KTCONSOL_NAME_SIZE - 1) {
        WSysError("-- ERROR -- KTCONSOL_ConsoAddFenetre : Refus : Nom Trop Long....");
        return -2;
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
        return -2;
    }
    console->windows[slot] = window;
    ++console->windowCount;
    return 1;
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
    return 1;
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
    if (window->resource == 0 || window->resource == 41 || window->resource == 42) return 1;
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    if (gui == nullptr || gui->display == nullptr || window->text == nullptr) return -1;
    // A window of the POS GUI: its lines that hold text go to the cash
    // register, the first one clearing its display.
    std::vector<std::string> lines;
    std::vector<int> rows;
    for (int i = 0; i < window->rows; ++i) {
        std::string line(TWI_GetLine(window, i), static_cast<size_t>(window->text->width));
        line.erase(line.find_last_not_of(' ') + 1);
        if (line.empty()) continue;
        lines.push_back(line);
        rows.push_back(i);
    }
    if (lines.empty()) {
        lines.emplace_back();
        rows.push_back(0);
    }
    for (size_t i = 0; i < lines.size(); ++i)
        if (gui->display(console, window, lines[i].c_str(), window->rows, window->columns, rows[i], 0,
                         i == 0 ? 1 : 0, 0) < 0)
            return -1;
    return 1;
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

int TWI_WriteText(KT_TEXT_WINDOW* window, const char* text, int clear) {
    if (window == nullptr || window->text == nullptr || text == nullptr) return -1;
    TWB_TEXT* box = window->text;
    if (clear == 1) {
        if (window->spoolMode != 0) TWI_SpoolLines(window, box->row);
        ClearBox(box);
    }
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

namespace {

std::string DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? std::string(".") : std::string(path, static_cast<size_t>(slash - path + 1));
}

// True while the spool directory found missing is still missing: nothing
// can be opened in it, and looking at the directory costs less than trying.
bool SpoolDirectoryStillMissing(KT_TEXT_WINDOW* window) {
    if (!window->spoolDirectoryMissing) return false;
    if (plat::StampOf(DirectoryOf(window->spoolPath).c_str()) == window->spoolMissingDirectory) return true;
    window->spoolDirectoryMissing = false;
    return false;
}

// The spool file kept open by the last spool can take the next lines: it is
// still the file of its path (not moved or removed from outside) and under
// the size that rotates it.
bool KeptSpoolUsable(const KT_TEXT_WINDOW* window) {
    if (window->spoolFile == nullptr || !window->spoolKept) return false;
    const plat::FileStamp now = plat::StampOf(window->spoolPath);
    return now.exists && now.device == window->spoolOpened.device && now.inode == window->spoolOpened.inode &&
           now.size / 1024 <= g_spoolMaxSizeKb;
}

}  // namespace

int TWI_OpenSpool(KT_TEXT_WINDOW* window, int force) {
    if (window == nullptr || window->spoolPath[0] == '\0') return -1;
    TWI_CloseSpool(window);
    if (SpoolDirectoryStillMissing(window)) return -1;
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
    if (window->spoolFile == nullptr) {
        const int error = errno;
        const plat::FileStamp directory = plat::StampOf(DirectoryOf(window->spoolPath).c_str());
        if (error == ENOENT && !directory.exists) {
            window->spoolDirectoryMissing = true;
            window->spoolMissingDirectory = directory;
        }
        return -1;
    }
    window->spoolOpened = plat::StampOfDescriptor(fileno(window->spoolFile));
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
    window->spoolKept = false;
    return 1;
}

int TWI_SpoolLines(KT_TEXT_WINDOW* window, int count) {
    if (window == nullptr || window->text == nullptr) return -1;
    // The file of the last spool stays open for the next one (spooled lines
    // come often: one a trace line); it is opened again when it was moved,
    // removed or grew past its size.
    if (!KeptSpoolUsable(window) && TWI_OpenSpool(window, 0) != 1) return -1;
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
    std::fflush(window->spoolFile);
    window->spoolKept = true;
    return 1;
}

void TWI_SetGraphic(KT_TEXT_WINDOW* window, char value) {
    if (window != nullptr) window->graphic = value;
}

namespace {
int g_eventKey = 255;
}  // namespace

int TWAE_Action(ConsoBox* console, const char* name, int timeout, int flush) {
    g_eventKey = 255;
    if (console == nullptr) return 0;
    console->timeout = timeout;
    KT_TEXT_WINDOW* window = KTCONSOL_FindFenetre(console, name);
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    if (gui == nullptr || gui->key == nullptr) return 0;
    char key = 'A';
    if (gui->key(timeout, flush, &key) < 1) return 0;
    g_eventKey = static_cast<unsigned char>(key);
    return 1;
}

int TWAE_Info(ConsoBox* console, const char* name, int row, int column, int width, char* field, int capacity,
              const char* format) {
    g_eventKey = 255;
    if (console == nullptr || field == nullptr || width < 0 || width >= capacity) return 0;
    KT_TEXT_WINDOW* window = KTCONSOL_FindFenetre(console, name);
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    if (gui == nullptr || gui->entry == nullptr) return 0;
    char key = 'A';
    if (gui->entry(console, window, console->timeout, row, column, width, field, format, &key) < 0) return 0;
    g_eventKey = static_cast<unsigned char>(key);
    return 1;
}

int TWAE_GetEventKey() { return g_eventKey; }

int KTTD_SpoolPage(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int, int, int, int, int) {
    return console == nullptr || window == nullptr || text == nullptr ? -1 : 1;
}

int KTTD_SelectList(ConsoBox*, KT_TEXT_WINDOW*, int, int, int, int, int, int, const char*, const char*,
                    unsigned char* item) {
    if (item != nullptr) *item = 255;
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
