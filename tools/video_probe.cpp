// Test peer for the console screen and keyboard: a small console program
// that runs one scenario and reports by its exit code (0 when every step
// gave what was expected) and, with --events FD, by lines on that
// descriptor. Its standard input and output are meant to be a terminal (a
// pseudo-terminal in the tests): the keyboard is then in raw mode.
//
//   video_probe first          a first write of an unchanged (all zero) image
//                              draws, the same write again does not
//   video_probe draw           draws two small rectangles on standard output
//   video_probe show LARGE|SMALL|OFFGRID
//                              shows the console's 23 x 78 window; SMALL a
//                              5 x 30 window over it, OFFGRID one that leaves
//                              the grid
//   video_probe entry FORMAT WIDTH
//                              a data entry of WIDTH in a window
//   video_probe select COUNT WIDTH ROWS
//                              a selection among COUNT items of WIDTH bytes in
//                              a window of ROWS lines, with a title
//   video_probe page           six lines of paged output in a 3-line window
//   video_probe keys COUNT     COUNT key waits, each reported
//
// Options: --dump FILE writes the console's cell buffer (4,000 bytes of
// cells, then 2,000 glyph flags) to FILE at the end; --events FD writes
// "wait" each time a key wait sleeps, "key <code>" per key (keys), "page
// <line> <result>" per output line (page) and "done <result> <key> <text>"
// at the end (entry, select). The terminal is put back at exit and on
// SIGTERM.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "periph/console_dialogue.h"
#include "periph/console_keys.h"
#include "periph/console_render.h"
#include "periph/console_windows.h"
#include "platform/console_keyboard.h"
#include "platform/process.h"

namespace {

int g_events = -1;

void Event(const std::string& line) {
    if (g_events < 0) return;
    const std::string text = line + "\n";
    ssize_t n = write(g_events, text.data(), text.size());
    (void)n;
}

void OnKeyWait(void*) { Event("wait"); }

// The console buffer to a file, written whole then renamed.
bool Dump(const std::string& path, const unsigned char* block) {
    if (path.empty()) return true;
    const std::string part = path + ".part";
    FILE* f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(block, 1, KTTD_GLYPH_OFFSET + KTTD_COLUMNS * KTTD_ROWS, f) ==
                         static_cast<size_t>(KTTD_GLYPH_OFFSET + KTTD_COLUMNS * KTTD_ROWS);
    return std::fclose(f) == 0 && written && std::rename(part.c_str(), path.c_str()) == 0;
}

KT_TEXT_WINDOW* Window(ConsoBox* console, const char* name, int rows, int columns, int row, int column) {
    if (KTCONSOL_AddFenetre(console, name, rows, columns) != 1) return nullptr;
    KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
    w->row = row;
    w->column = column;
    w->resource = 41;
    return w;
}

// The console's first window, shown on the whole screen.
KT_TEXT_WINDOW* ShowMain(ConsoBox* console) {
    KT_TEXT_WINDOW* main = KTCONSOL_FindFenetre(console, "PROBE");
    std::snprintf(main->title, sizeof main->title, "%s", "CAISSE 01");
    std::snprintf(main->footer, sizeof main->footer, "%s", "Paiement \xE9lectronique");
    main->resource = 41;
    TWI_WriteText(main, "R\xE9gl\xE9 par carte: 12,50 \x80\n\xC0 bient\xF4t", 0);
    KTTD_ShowWindow(console, main);
    return main;
}

int Show(ConsoBox* console, const char* kind) {
    ShowMain(console);
    KT_TEXT_WINDOW* w = nullptr;
    if (std::strcmp(kind, "SMALL") == 0) w = Window(console, "S", 5, 30, 8, 20);
    else if (std::strcmp(kind, "OFFGRID") == 0) w = Window(console, "O", 6, 20, 22, 70);
    else if (std::strcmp(kind, "LARGE") != 0) return 64;
    if (w != nullptr) {
        std::snprintf(w->title, sizeof w->title, "%s", "Fen\xEAtre");
        TWI_WriteText(w, "une ligne\ndeux lignes, la seconde plus longue que la fen\xEAtre", 0);
        KTTD_ShowWindow(console, w);
    }
    return 0;
}

int Entry(ConsoBox* console, const char* format, int width) {
    ShowMain(console);
    KT_TEXT_WINDOW* w = Window(console, "E", 3, 30, 10, 20);
    KTTD_ShowWindow(console, w);
    char field[KTTD_ENTRY_WIDTH_MAX + 1] = {};
    unsigned char key = 0;
    const int result = KTTD_GetEntry(console, w, 30, 2, 2, width, field, format, &key);
    Event("done " + std::to_string(result) + " " + std::to_string(key) + " " + field);
    return result == 1 ? 0 : 1;
}

int Select(ConsoBox* console, int count, int width, int rows) {
    ShowMain(console);
    KT_TEXT_WINDOW* w = Window(console, "L", rows, 30, 5, 10);
    std::vector<char> items(static_cast<size_t>(count) * static_cast<size_t>(width), '\0');
    for (int i = 0; i < count; ++i)
        std::snprintf(&items[static_cast<size_t>(i) * static_cast<size_t>(width)], static_cast<size_t>(width),
                      "article %d", i + 1);
    unsigned char item = 0;
    const int result = KTTD_SelectList(console, w, 30, rows, 30, count, width, 1, "Choix", items.data(), &item);
    Event("done " + std::to_string(result) + " " + std::to_string(item) + " -");
    return result == 1 ? 0 : 1;
}

int Page(ConsoBox* console) {
    ShowMain(console);
    KT_TEXT_WINDOW* w = Window(console, "P", 3, 30, 10, 20);
    console->timeout = 30;
    for (int line = 0; line < 6; ++line) {
        const std::string text = "ligne " + std::to_string(line + 1);
        const int result = KTTD_PageOutput(console, w, text.c_str(), line, line == 0 ? 1 : 0);
        Event("page " + std::to_string(line) + " " + std::to_string(result));
    }
    return 0;
}

int Keys(int count) {
    for (int i = 0; i < count; ++i) {
        unsigned char key = 0;
        if (KTTD_WaitKey(30, 0, &key) != 1) return 1;
        Event("key " + std::to_string(key));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    std::vector<std::string> args;
    std::string dump;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump = argv[++i];
        else if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) g_events = std::atoi(argv[++i]);
        else args.emplace_back(argv[i]);
    }
    const std::string mode = args[0];
    if (mode == "first") {
        std::vector<unsigned char> zeros(kWVideoColumns * kWVideoRows * 2, 0);
        if (WriteVideo(1, 1, kWVideoColumns, kWVideoRows, zeros.data()) != 0) return 1;
        if (WriteVideo(1, 1, kWVideoColumns, kWVideoRows, zeros.data()) != 1) return 2;
        if (WVideoWriteCount() != 1) return 3;
        return 0;
    }
    if (mode == "draw") {
        // Column 3, rows 2-3: "OK" yellow on blue, then the Windows-1252
        // letters 0xE9 and 0x80; a control byte at the start of the last row.
        const unsigned char cells[] = {'O', 0x1E, 'K', 0x1E, 0xE9, 0x07, 0x80, 0x07};
        const unsigned char control[] = {0x01, 0x07};
        if (WriteVideo(3, 2, 4, 3, cells) != 0) return 2;
        if (WriteVideo(1, 25, 1, 25, control) != 0) return 3;
        return 0;  // the exit handlers put the terminal back
    }

    plat::InstallTerminateHandler();
    plat::OpenKeyboard();
    plat::SetKeyWaitHook(OnKeyWait, nullptr);
    if (OpenVideo() != 0) return 70;
    ConsoBox* console = KTCONSOL_NewConso(1, 1, "PROBE", nullptr, nullptr);
    if (console == nullptr) return 71;
    static unsigned char block[KTTD_VIDEO_BYTES];
    console->video = block;

    int code = 64;
    if (mode == "show" && args.size() == 2) code = Show(console, args[1].c_str());
    else if (mode == "entry" && args.size() == 3) code = Entry(console, args[1].c_str(), std::atoi(args[2].c_str()));
    else if (mode == "select" && args.size() == 4)
        code = Select(console, std::atoi(args[1].c_str()), std::atoi(args[2].c_str()), std::atoi(args[3].c_str()));
    else if (mode == "page" && args.size() == 1) code = Page(console);
    else if (mode == "keys" && args.size() == 2) code = Keys(std::atoi(args[1].c_str()));
    if (!Dump(dump, block)) code = 72;
    Event("exit " + std::to_string(code));
    console->video = nullptr;
    KTCONSOL_FreeConso(console);
    return code;
}
