// Ticket spool: the ticket text the payment server sends in D3L of its
// answer goes, cleaned, into the spool file of the printer window "F5"; the
// copies asked for are then deposited in the station's ticket file
// "TICKETCB.%03d" (current directory), handed back to the cash register in
// D3L when its request's TT asks for it (1 print and return, 2 return only,
// 3 print only), and printed.
//
// The ticket text is lines ended by the window's line end, divided into
// copies by a cut marker (the window's third auxiliary text). The text
// helpers below work on such texts; they never look past the capacity they
// are given, and never trace the ticket's text (it may hold a card number
// the server left in clear).
#pragma once
#include <string>

struct KT_TEXT_WINDOW;

// Takes the ticket of the server answer and spools, deposits, returns or
// prints it as the options and TT say. Failures are traced only; the RS is
// never changed here.
void SpoolServerTicket();

// The station's ticket file: the file-exchange root, then "TICKETCB.%03d"
// of the PS. False (and *path empty) for a PS that is not a number >= 0.
bool TicketFilePath(const char* ps, std::string* path);

// The line end E of a window's tickets: the window's line-end text (none
// for modes other than 1 to 4), preceded by as many blanks as the window's
// columns unless its trim flag is set. Empty for a null window.
std::string TicketLineEnd(const KT_TEXT_WINDOW* window);

// Removes every E at the start of the text, and every E just before or just
// after a cut marker. The new length, -1 for a null argument.
int CleanTicketLineEnds(const KT_TEXT_WINDOW* window, char* text);

// Adds n line ends (before) at the start of each copy and m (cut) before each
// cut marker, plus one more at the start of the second copy when the first
// marker is followed by something else than CR or LF, and one more before
// each marker (and at the end) when the first marker does not begin a line.
// Nothing changes when n and m are 0 and neither holds. The new length; -1
// (text unchanged, traced) for a null argument or when the result and its
// NUL would not fit the capacity.
int AddTicketBlankLines(const KT_TEXT_WINDOW* window, char* text, int capacity, int before, int cut);
// The capacity AddTicketBlankLines may need for a text of this length with
// this many markers: every copy gets at most before + cut + 2 line ends.
size_t TicketBlankLinesCapacity(size_t length, int markers, size_t lineEnd, int before, int cut);

// The number of cut markers (not overlapping) of the text; 0 for a null
// argument or an empty marker.
int CountCutMarkers(const char* text, const KT_TEXT_WINDOW* window);

// A charity ticket (the answer's TMIC positive) whose text holds exactly
// three cut markers has its copies in the wrong order.
bool IsMisplacedCharityTicket(const char* text, const KT_TEXT_WINDOW* window, int tmic);

// With the first three markers at b, c and d, the text becomes: the text
// before b, E, the text after the second marker up to the end of the third,
// then the text after the first marker up to the end of the second; what
// follows the third marker goes. A piece that would not fit the buffer
// (size with its NUL) is left out. The new length; -1 for a null argument
// or a text with fewer than three markers (unchanged).
int ReorderCharityTicket(char* text, const KT_TEXT_WINDOW* window, int size);

// The copy of the spool into the ticket file, byte by byte, as step of its
// own so that it can be tried alone: mode is PosTicketMode, select 0 the
// merchant copy only, 1 the cardholder copy only, -1 every copy. The cut
// marker is compared ignoring letter case; a mismatch tries the byte again
// as the start of a marker, so "-CUT" is found in "--CUT".
std::string SelectTicketCopies(const std::string& spool, const std::string& marker, int mode, int select);
