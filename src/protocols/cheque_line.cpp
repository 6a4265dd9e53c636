// Print line of a cheque.
#include "protocols/cheque_line.h"

#include <algorithm>
#include <cstring>

int CHQ_BuildPrintLine(const char* text, int width, char* line) {
    if (text == nullptr || line == nullptr || width < 1) return -1;
    std::memset(line, ' ', static_cast<size_t>(width));
    const int length = static_cast<int>(strnlen(text, CHQ_TEXT_MAX));
    int last = -1;
    for (int i = length - 1; i >= 0 && last < 0; --i)
        if (text[i] == '*') last = i;
    if (last < 0) return 0;
    int first = 0;
    for (int i = last - 1; i >= 0; --i)
        if (text[i] == '*') {
            first = i;
            break;
        }
    const int starred = last - first + 1;
    if (starred > width) {
        std::memcpy(line, text + last - width + 1, static_cast<size_t>(width));
        return 1;
    }
    std::memcpy(line + width - starred, text + first, static_cast<size_t>(starred));
    const int left = std::min(length, width) - starred;
    if (left > 0) std::memcpy(line, text, static_cast<size_t>(left));
    return 1;
}
