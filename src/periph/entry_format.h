// Entry-format rules of a data entry (PC console and POS GUI entries): the
// format words, which characters may be typed, when a field may be
// validated, and the deletion and insertion of a character. A field is a
// character array of the field width in which '_' marks an empty position.
#pragma once
#include <cstdint>

struct KttdEntryFormat {
    int32_t mandatory;  // "OBL"
    int32_t numeric;    // "NUM"
    int32_t total;      // "TOT": the field must be filled entirely
    int32_t boolean;    // "BOOL" (kept, not used here)
    int32_t automatic;  // "AUTO": the entry validates itself once full
    int32_t decimals;   // "2DECI" or "3DECI"
};

// Sets each flag whose word the text contains anywhere (all 0 for null).
void KTTD_ParseEntryFormat(KttdEntryFormat* format, const char* text);
// 1 when the character may be typed; in a numeric field ',' becomes '.'.
int KTTD_IsEntryCharValid(const KttdEntryFormat* format, char* character);
// 1 when the field (width characters) may be validated.
int KTTD_IsEntryComplete(const KttdEntryFormat* format, const char* field, int width);
// Removes the character at position, shifting the rest left and ending the
// field with '_'.
void KTTD_DeleteEntryChar(char* field, int position, int width);
// Inserts (shifting right, the last character is lost) or overwrites the
// character at position; nothing at or beyond the width.
void KTTD_InsertEntryChar(char* field, int position, int width, int insert, char character);
