// Command modules of the cheque readers on the simple-frame link: protocol 6
// (D5500), 7 (M4400) and 8 (OLVAR). Each knows operation 10 (O_T_EVENT)
// only, with the card-read record as argument: read the CMC7 line of the
// cheque, print a line on it or give it back, chosen by the high nibble of
// chequeOptions (bit 0x01 a variant on protocol 8):
//
//              read 0x10        print 0x20                     give back 0x40
//   6 D5500    "100"            "010e0000" + 80-char line      "000"
//   7 M4400    "910"            "w080" + 80-char line          "8"
//   8 OLVAR    "42" ['?']       ['1'] "9e" + 70-char line      "4"
//
// (['?'] and ['1'] when bit 0x01 is clear; any other nibble sends an empty
// message). The print line comes from the text in eventData
// (cheque_line.h); a text without '*' builds no request. The answer is
// decoded into the same record by the kind of the last request (1 read, 2
// print, 3 give back, 0 none), which each module keeps for the process; a
// read fills eventData with the line in its host form (digits and the
// letters B to F) and status 0x4000.
//
// Results: set -2 without box or resource; -1 for another operation, no
// record, chequeRequested 0 or nothing to print (busy left 1); else the
// frame length. Get 1 without box or resource or for a frame that does not
// read; 2 for another operation; else the decoder's result. Nothing of an
// answer or of a print text is traced. Main thread only.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/xas/xas_link.h"

constexpr uint8_t CHQ_OPTION_READ = 0x10;
constexpr uint8_t CHQ_OPTION_PRINT = 0x20;
constexpr uint8_t CHQ_OPTION_GIVE_BACK = 0x40;
constexpr uint8_t CHQ_OPTION_VARIANT = 0x01;
constexpr int32_t CHQ_LINE_READ = 0x4000;

// Kinds of the last operation-10 request.
constexpr int CHQ_KIND_NONE = 0;
constexpr int CHQ_KIND_READ = 1;
constexpr int CHQ_KIND_PRINT = 2;
constexpr int CHQ_KIND_GIVE_BACK = 3;

constexpr int D5500_LINE_WIDTH = 80;
constexpr int M4400_LINE_WIDTH = 80;
constexpr int OLVAR_LINE_WIDTH = 70;
constexpr int CHQ_REQUEST_AREA = 96;  // the longest request is 88 bytes

// Protocol-8 answer of a device still busy (its first character a space).
constexpr int OLVAR_BUSY = 16;

// Builders: the request for the record (a module area, cleared first) with
// *length, and the kind remembered; null when none is built (busy left 1).
// The record's chequeOptions keeps its high nibble once built.
const unsigned char* D5500_BuildRequest(CardReadRecord* record, int* length);
const unsigned char* M4400_BuildRequest(CardReadRecord* record, int* length);
const unsigned char* OLVAR_BuildRequest(CardReadRecord* record, int* length);

// Decoders of an answer (text up to its first NUL, never past length) by
// the kind of the last request: the record's busy word (protocol 7: 1 for
// an answer it does not accept; protocol 8: 16 for a busy device); 1
// without a record.
int D5500_DealAnswer(const unsigned char* payload, int length, CardReadRecord* record);
int M4400_DealAnswer(const unsigned char* payload, int length, CardReadRecord* record);
int OLVAR_DealAnswer(const unsigned char* payload, int length, CardReadRecord* record);

// The kind of the last request of each module (tests and the fuzz target
// set it through the builders or these).
int D5500_LastKind();
int M4400_LastKind();
int OLVAR_LastKind();

// Forget the kind of the last request.
int D5500_ResetCommand();
int M4400_ResetCommand();
int OLVAR_ResetCommand();

int D5500_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
int M4400_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
int OLVAR_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
int D5500_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
int M4400_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
int OLVAR_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
// Reset entries as the engine binds them.
int D5500_Reset(KT_EPERIPH_API* box, KT_PERES* resource);
int M4400_Reset(KT_EPERIPH_API* box, KT_PERES* resource);
int OLVAR_Reset(KT_EPERIPH_API* box, KT_PERES* resource);

// What the script engine binds for protocols 6, 7 and 8.
constexpr PapCommandModule kD5500Module = {D5500_SetCommand, D5500_GetOneResult, D5500_Reset, XAS_WaitEvent};
constexpr PapCommandModule kM4400Module = {M4400_SetCommand, M4400_GetOneResult, M4400_Reset, XAS_WaitEvent};
constexpr PapCommandModule kOlvarModule = {OLVAR_SetCommand, OLVAR_GetOneResult, OLVAR_Reset, XAS_WaitEvent};
