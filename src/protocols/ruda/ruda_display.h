// RUDA screen and keypad: the requests of the dialogue operations (0, 2 to
// 5, by the kind of the dialogue record), the entry with message
// identifiers (9), predefined screens, bitmaps and text screens (160, 161,
// 163), language selection and list (170, 171), the HTML page (165), the QR
// code (166) and the barcode reader (178), and the decoders of their
// answers.
//
// Arguments the module's set reads after the operation code, and those its
// get reads:
//   0, 2-5  set: TermDisplayBlock* (kind 70: then RudaPinRecord*)
//           get: TermDisplayBlock* (selection, kind 3: then int, 1 when a
//                cancel on the terminal is an answer 'A')
//   9       set: TermDisplayBlock*, int maximum, const unsigned char* ids,
//                int idCount, int decimals, int fieldSize (16 when 0 or less)
//           get: TermDisplayBlock*
//   160     set: int screen (negative: nothing)      get: none
//   161     set: const char* bitmap file name        get: none
//   163     set: const char* text (Latin-1)          get: none
//   165     set: const HtmlPageRequest*              get: HtmlPageResponse*
//   166     set: const char* content, const char* second text   get: none
//   170     set: const char* language code           get: none
//   171     set: none      get: char* slots (kRudaLanguageSlot bytes each), int slot count
//   178     set: int P1, int P2, int number          get: char* buffer of kRudaBarcodeMax + 1 bytes
//
// Requests are allocated with WAlloc (the caller frees them with WFree).
// Builders: 1 built, 0 no request, -1 refused. Decoders: the status of the
// answer, -1 when a result argument they need is missing.
#pragma once
#include <cstdarg>

#include "protocols/html_page.h"
#include "protocols/terminal_display.h"

// What the family entry points answer for an operation that is not theirs.
constexpr int kRudaNotMine = -3;
// Largest barcode the decoder copies; the caller's buffer holds one more
// byte for the NUL.
constexpr int kRudaBarcodeMax = 5000;
// One slot of the language list: three characters and a NUL.
constexpr int kRudaLanguageSlot = 4;

// Family entry points of the module: kRudaNotMine for another operation.
int RUDA_BuildScreenRequest(int operation, va_list args, unsigned char** apdu, int* length);
int RUDA_DealScreenAnswer(int operation, const unsigned char* answer, int length, va_list args);

// ---- Requests ----
// Dialogue operations by the record's kind (not 70): display (any other
// kind), selection (3), entry (4), key wait (175), secret entry (177). A
// display or selection whose data would pass 255 bytes is refused (-1,
// traced); a selection with 0 columns or rows builds nothing.
int RUDA_BuildDialogueRequest(const TermDisplayBlock* block, unsigned char** apdu, int* length);
// Operation 9 by the record's kind (9, 164, 177; others build nothing).
int RUDA_BuildEntryExtRequest(const TermDisplayBlock* block, int maximum, const unsigned char* ids, int idCount,
                              int decimals, int fieldSize, unsigned char** apdu, int* length);
int RUDA_BuildHtmlPageRequest(const HtmlPageRequest* request, unsigned char** apdu, int* length);
int RUDA_BuildQrRequest(const char* content, const char* second, unsigned char** apdu, int* length);
int RUDA_BuildBarcodeRequest(int p1, int p2, int number, unsigned char** apdu, int* length);

// ---- Answers ----
int RUDA_DealDialogueAnswer(const unsigned char* answer, int length, TermDisplayBlock* block, int cancelIsAnswer);
// Operation 165: 64 while only 90 00 came (the page is still shown).
int RUDA_DealDisplayHtml(const unsigned char* answer, int length, HtmlPageResponse* response);
// Operation 171: one slot per DFA222, at most `slots` of them.
int RUDA_DealLanguageList(const unsigned char* answer, int length, char* slots, int slotCount);
// Operation 178: DFA310 (at most kRudaBarcodeMax bytes) and a NUL.
int RUDA_DealRUDAReadBarcodeAnswer(const unsigned char* answer, int length, char* buffer);
// Operations 160, 161, 163, 166 and 170.
int RUDA_DealScreenStatus(int operation, const unsigned char* answer, int length);
