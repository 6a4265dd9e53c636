// Card-data masking: the two passes the trace core runs over every line
// before it is written.
//
// Only the passes are here for now; the masking table and the registration
// of values into it (card number, track 2, tag list) come later. Until
// something is registered both passes leave the text as it is.
#pragma once
#include <cstddef>

// Blots out the value of every key of the registered tag list in the text.
// 1 when done, 0 when no tag list is set, -1 for a null text.
int WSysMaskTags(char* text);

// Replaces every registered clear value in the text by its replacement (same
// length). `size` is the room of the text. 1 when done, 0 when no value is
// registered, -1 for a null text.
int WSysMaskValues(char* text, size_t size);
