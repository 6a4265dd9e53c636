// The console's dialogue and print command that the interface executors
// run, at their least until the console builds them (they are declared in
// interface_exec.h): a line shown or a page output goes into the window's
// text, key waits and entries see no key, and a print command runs through
// the shell with the spool path quoted.
#include <cstring>
#include <string>

#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_exec.h"
#include "platform/process.h"

namespace {

constexpr size_t kCommandMax = 511;

// Writes text (cut at the width) as the window's line, blank-padded.
int PutLine(KT_TEXT_WINDOW* window, const char* text, int line) {
    if (window == nullptr || window->text == nullptr || text == nullptr || line < 0 ||
        line >= window->text->rows)
        return -1;
    const size_t width = static_cast<size_t>(window->text->width);
    char* target = window->text->buffer + static_cast<size_t>(line) * width;
    const size_t length = strnlen(text, width);
    std::memcpy(target, text, length);
    std::memset(target + length, ' ', width - length);
    return 1;
}

// One argument as the command-line splitter reads it back whole.
std::string QuoteArgument(const std::string& text) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') out.append(2 * backslashes + 1, '\\');
        else out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    out += '"';
    return out;
}

// A text between single quotes for the shell.
std::string ShellQuoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\'') out += "'\\''";
        else out += *p;
    }
    return out + "'";
}

}  // namespace

int KTTD_DisplayLine(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first,
                     int attribute) {
    if (console == nullptr || window == nullptr || text == nullptr) return -1;
    if (first == 1) TWI_WriteText(window, "", 1);
    window->displayAttribute = static_cast<uint8_t>(attribute);
    return PutLine(window, text, line);
}

int KTTD_PageOutput(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first) {
    if (console == nullptr || window == nullptr || text == nullptr) return -1;
    if (first == 1) TWI_WriteText(window, "", 1);
    return PutLine(window, text, line) < 0 ? 0 : 1;
}

int KTTD_WaitKey(int, int, unsigned char* key) {
    if (key != nullptr) *key = 255;
    return 0;
}

int KTTD_GetEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int, int, int, int, char* field, const char*,
                  unsigned char* key) {
    if (key != nullptr) *key = 255;
    return console == nullptr || window == nullptr || field == nullptr ? -1 : 1;
}

const char* TWI_GetLineEnd(const KT_TEXT_WINDOW* window) {
    if (window == nullptr) return nullptr;
    switch (window->lineMode) {
        case 1: return "\n";
        case 2:
        case 4: return "\r\n";
        case 3: return "\r";
        default: return nullptr;
    }
}

int TWI_SpoolSystemOut(KT_TEXT_WINDOW* window, const char* format) {
    if (window == nullptr || format == nullptr || format[0] == '\0') return -1;
    // The spool path is the only value put into the line, quoted whole.
    std::string line;
    bool pathPut = false;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && !pathPut) {
            line += ShellQuoted(window->spoolPath);
            pathPut = true;
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            line += '%';
            ++p;
        } else {
            line += *p;
        }
    }
    if (line.size() >= kCommandMax) {
        WSysError("-- ERROR -- TWI_SpoolSystemOut: Command to run too long");
        return -1;
    }
    const plat::StartResult started = plat::StartProcess("/bin/sh -c " + QuoteArgument(line));
    if (!started.ok()) {
        WSysError("-- ERROR -- TWI_SpoolSystemOut: cannot run the command (%d)", started.error);
        return -1;
    }
    plat::WaitForExit(started.pid, -1);
    const plat::ExitStatus status = plat::GetExitCode(started.pid);
    if (status.kind != plat::ExitStatus::Kind::Exited || status.code == 126 || status.code == 127)
        WSysError("<< WARN. >> TWI_SpoolSystemOut: command not run: %s", format);
    return 1;
}
