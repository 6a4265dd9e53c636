// Requests the program sends to the cash register, which then serves as a
// display, a printer and a keyboard (the POS windows "P5" and "P6",
// resources 45 and 46): display "c20", local print "c43", key "c21", zone
// entry "c22", selection "c44" (SV "s6"), and the simulated terminal echo
// (SV "s5", CD "c27"). The waits read the cash register's answer (SS "R"
// with the same SV and CD) through the POS poll step and acknowledge it with
// "0". The option PosGuiOptions suppresses a request or moves it to the
// terminal's screen. The wait for a secret zone entry's answer is marked
// with SetPosSecretEntryAwaited (station/trace_binding.h).
#pragma once

struct ConsoBox;
struct KT_TEXT_WINDOW;

// Display of a text: 1 done or suppressed; -1 failure. With mask 1 the text
// never reaches the exchange log (its characters are logged as '-').
int PosDisplayText(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width,
                   int row, int column, int clear, int mask);
// Local print of a text: 1 done or suppressed; -1 failure.
int PosLocalSPOOL(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width,
                  int row, int column, int clear);
// "PAIEMENT ACCEPTE" (result 9 or less) or "PAIEMENT REFUSE" as a simulated
// echo: 0 sent; -1 failure.
int PosDisplayPaymentResult(int resultCode);
// Waits for a key: 1 a key was read; 0 another request came (refused with
// '5') or nothing; -1 failure, time-out, or an abort or stop of the cash
// register (abortCode 1 or 2). The key is always set: '0'-'9', 'C', 'F',
// 'V', else 'A' (abandon).
int PosWaitKey(int timeoutMs, int terminalFlag, char* key);
// Entry of a zone of length characters at (row, column); zone holds at least
// length + 1 bytes (its text on entry is the start of the entry). 1 with the
// key 'V' and the zone, or 'A' (abandon); -1 failure.
int PosWaitZoneEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int row, int column,
                     int length, char* zone, const char* format, char* key);
// Selection among count items of itemSize bytes each (each text ends within
// its item), in a window of rows x width; items may be followed by a format
// text (the words "RESP%03d" mark the items that ask for a response mode).
// 1 with the choice (1-based, 0 when none); -1 failure.
int PosWaitSelection(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int rows, int width,
                     int count, int itemSize, int terminalParameter, const char* title,
                     const char* items, unsigned* choice);
// Collects a text for the terminal-screen variants: 1, or -1 (no area or no
// room).
int PosCollectText(const char* text, int lines, int width, int clear);
// 1 the card is still there; -1 it was removed or has a problem.
int PosCheckCardRemoval(int first);
