// Fuzz target of the ticket text helpers: the first bytes choose the
// printer window (line-end mode, columns and trim), the blank lines before
// each copy and each marker, TMIC, and the cut marker; the rest is the
// ticket. Every buffer is exactly as large as the helper is told, so that a
// write past it is caught; the clean-up never lengthens the text, the blank
// lines fit the capacity the spool computes for them (or are refused with
// the text unchanged), the charity reordering and the copy selection never
// grow past their input's room.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/console_windows.h"
#include "transactions/ticket_spool.h"

namespace {

std::vector<char> Buffer(const std::string& text, size_t size) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(size, '\0');
    return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the trace lines would only slow it down
    (void)quiet;
    if (size < 6 || size > 12000) return 0;
    const int lineMode = input[0] % 5;
    const int columns = (input[1] & 0x7F) % 41;
    const int trim = input[1] >> 7;
    const int before = input[2] % 8, cut = input[3] % 8;
    const int tmic = static_cast<int8_t>(input[4]);
    const size_t markerLength = 1 + input[5] % 4;
    if (size < 6 + markerLength) return 0;
    const std::string marker(reinterpret_cast<const char*>(input + 6), markerLength);
    if (marker.find('\0') != std::string::npos) return 0;
    const char* body = reinterpret_cast<const char*>(input + 6 + markerLength);
    const std::string text(body, strnlen(body, size - 6 - markerLength));

    KT_TEXT_WINDOW* window = TWI_NewTextWindow(4, columns > 0 ? columns : 1, "", "T5");
    if (window == nullptr) return 0;
    window->columns = columns;
    window->lineMode = lineMode;
    window->trim = trim;
    std::memcpy(window->auxText3, marker.c_str(), marker.size() + 1);
    const size_t lineEnd = TicketLineEnd(window).size();

    std::vector<char> cleaned = Buffer(text, text.size() + 1);
    const int cleanedLength = CleanTicketLineEnds(window, cleaned.data());
    Check(cleanedLength >= 0 && static_cast<size_t>(cleanedLength) <= text.size(), "clean-up never lengthens");
    Check(std::strlen(cleaned.data()) == static_cast<size_t>(cleanedLength), "clean-up length");

    const int markers = CountCutMarkers(cleaned.data(), window);
    const size_t room = TicketBlankLinesCapacity(static_cast<size_t>(cleanedLength), markers, lineEnd, before, cut);
    if (room <= 200000) {
        std::vector<char> spaced = Buffer(cleaned.data(), room);
        const int spacedLength = AddTicketBlankLines(window, spaced.data(), static_cast<int>(room), before, cut);
        Check(spacedLength >= cleanedLength && static_cast<size_t>(spacedLength) < room,
              "blank lines fit the capacity the spool gives them");
    }
    // A buffer just large enough for the text: done within it, or refused
    // with the text as it was.
    std::vector<char> tight = Buffer(cleaned.data(), static_cast<size_t>(cleanedLength) + 1);
    const int tightLength = AddTicketBlankLines(window, tight.data(), static_cast<int>(tight.size()), before, cut);
    if (tightLength < 0)
        Check(std::strcmp(tight.data(), cleaned.data()) == 0, "a refused text stays as it was");
    else
        Check(static_cast<size_t>(tightLength) < tight.size(), "blank lines within the buffer");

    std::vector<char> charity = Buffer(text, text.size() + 1);
    IsMisplacedCharityTicket(charity.data(), window, tmic);
    const int reordered = ReorderCharityTicket(charity.data(), window, static_cast<int>(charity.size()));
    Check(reordered < 0 ? std::string(charity.data()) == text : static_cast<size_t>(reordered) <= text.size(),
          "reordering within the buffer");

    for (int mode = 0; mode < 4; ++mode)
        for (int select = -1; select < 2; ++select)
            Check(SelectTicketCopies(text, marker, mode, select).size() <= text.size(), "copies taken from the text");

    TWI_FreeTextWindow(window);
    return 0;
}
