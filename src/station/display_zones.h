// Display zones: the named windows of the per-application box's console
// ("CA" trace, "SP" secured records, "P5", "E5" ...), the trace hook that
// writes every trace line into the spool file of the trace zone, the printf
// and aligned writers, texts by id from "posm" of "WTXT", the key, entry and
// selection waits, TOC_DisplayById and the holder wait screens of the
// terminal.
#pragma once

struct EFTCBox;

// Sets up the text manager (file textFile of "WTXT" in the POS language) and
// the console with the zones "CA" and "SP". 1; -1 no context, no text
// manager or a text file that can neither be read nor created; -2 making the
// console failed.
int TOC_OpenTextZones(EFTCBox* context, const char* textFile);
// The context whose box the zone operations use (null until the zones are
// set up, and after the context is closed).
EFTCBox* TOC_GetTextZoneContext();
void TOC_ClearTextZoneContext();

// Trace hook: appends a finished line to the spool file of the trace zone.
// -1 no context or box; 1 otherwise. A line that cannot reach its spool file
// goes to standard error instead of being lost.
int TOC_ZoneTraceWriter(const char* text);

int TOC_ZonePrintf(const char* zone, const char* format, ...) __attribute__((format(printf, 2, 3)));
int TOC_ZoneWrite(const char* zone, const char* text);
// Alignment 'C' centre, 'G' left, anything else right, in a block of the
// given width. -1 no context; -2 no such zone; -3 no memory; 1.
int TOC_ZoneWriteAligned(const char* zone, const char* text, char alignment, int blockWidth);
// Texts of up to two ids (either may be null), each output of outSize bytes.
// 1; -1 no context or an id without text.
int TOC_GetPosmTexts(const char* firstId, char* firstOut, const char* secondId, char* secondOut,
                     int outSize);

// The waits take milliseconds; the console counts its time-out in seconds:
// negative waits without limit (-1), below a second is a look (0), else
// the seconds rounded up.
int TOC_ConsoleSeconds(int waitMs);
int TOC_ZoneWaitKey(const char* zone, int waitMs, int mode);
int TOC_ZoneWaitEntry(const char* zone, int waitMs, int row, int column, int width, char* data,
                      int capacity, const char* format);
int TOC_ZoneSelect(const char* zone, int waitMs, int count, int itemWidth, int flag,
                   const char* items, const char* title, int mode);
int TOC_ZoneWaitSelection(const char* zone, int waitMs, int count, int itemWidth, int flag,
                          const char* title, const char* items);

// Shows a titled message by text id on a zone (or, for "E5", on the
// terminal). 0, or the status of the terminal display script.
int TOC_DisplayById(const char* zone, const char* titleId, const char* textId);

// Shows the terminal screen of a holder wait text id (command 160): the
// status of the display script.
int TermShowHolderWait(const char* textId);
