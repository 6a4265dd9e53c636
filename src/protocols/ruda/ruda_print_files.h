// RUDA printing, terminal files and logs: the requests and answers of the
// operations 13, 15, 16, 120 (printer), 151 (end of the connection), 153 to
// 158, 193, 194 (files and logs).
//
// Arguments the set reads after the operation code, and those the get reads:
//   13      set: const TermPrintRecord* (kind 2: two line feeds)   get: none
//   15      set: none                         get: int (read, not used)
//   16      set: const TermPrintRecord* (bytes: the logo's file name)  get: none
//   120     set: none                         get: none
//   151     set: none                         get: none (not decoded)
//   153     set: const TermFileRecord*        get: int32_t* size (or null)
//   154     set: const TermWriteRecord*       get: none
//   155     set: const TermFileRecord*, const char* second text   get: none
//   156     set: const TermFileRecord*        get: none
//   157     set: const TermStreamRecord*      get: none
//   158     set: const uint8_t* data, int length
//                                             get: uint32_t* first, uint8_t* second (8 bytes)
//   193     set: const uint8_t* selector      get: uint32_t* size, char* name (kTermDumpNameMax + 1)
//   194     set: const uint32_t* size, const uint32_t* offset
//                                             get: unsigned char* buffer, int capacity, int* length
#pragma once
#include <cstdarg>

// The request: 1 built (*apdu allocated with WAlloc), 0 none, -1 refused
// (a text to print longer than one short request carries).
int RUDA_BuildPrintFileRequest(int code, va_list args, unsigned char** apdu, int* length);
// The answer's status (PvStatus), or -1 when a required result argument is
// missing.
int RUDA_DealPrintFileAnswer(int code, const unsigned char* answer, int length, va_list args);
