#include "periph/entry_format.h"

#include <cctype>
#include <cstring>

void KTTD_ParseEntryFormat(KttdEntryFormat* format, const char* text) {
    if (format == nullptr) return;
    *format = KttdEntryFormat{};
    if (text == nullptr) return;
    const auto has = [text](const char* word) { return std::strstr(text, word) != nullptr ? 1 : 0; };
    format->mandatory = has("OBL");
    format->numeric = has("NUM");
    format->total = has("TOT");
    format->boolean = has("BOOL");
    format->automatic = has("AUTO");
    format->decimals = has("2DECI") | has("3DECI");
}

int KTTD_IsEntryCharValid(const KttdEntryFormat* format, char* character) {
    if (format == nullptr || character == nullptr) return 0;
    if (std::isdigit(static_cast<unsigned char>(*character))) return 1;
    if (format->numeric == 0) return 1;
    if (*character == ',') *character = '.';
    return *character == '.' && format->decimals != 0 ? 1 : 0;
}

int KTTD_IsEntryComplete(const KttdEntryFormat* format, const char* field, int width) {
    if (format == nullptr || field == nullptr || width < 0) return 0;
    int position = 0;
    while (position < width && field[position] != '_') ++position;
    if (position == width) return 1;
    if (position > 0) return format->total != 0 ? 0 : 1;
    return format->mandatory == 0 ? 1 : 0;
}

void KTTD_DeleteEntryChar(char* field, int position, int width) {
    if (field == nullptr || position < 0 || position >= width) return;
    std::memmove(field + position, field + position + 1, static_cast<size_t>(width - position - 1));
    field[width - 1] = '_';
}

void KTTD_InsertEntryChar(char* field, int position, int width, int insert, char character) {
    if (field == nullptr || position < 0 || position >= width) return;
    if (insert != 0)
        std::memmove(field + position + 1, field + position, static_cast<size_t>(width - position - 1));
    field[position] = character;
}
