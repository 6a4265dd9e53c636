// RUDA terminal information: the requests and answers of the operations 90
// (system information, also the probe of a rebooting terminal), 93
// (terminal identification into the transaction's information area), 94
// (versions of the terminal's files) and 95 (full terminal description),
// the model table and the version CRC.
//
// Arguments the set reads after the operation code, and those the get reads:
//   90      set: TerminalPartInfo* (its mode)     get: TerminalPartInfo*
//   93      set: TerminalInfoArea* (header mode)  get: TerminalInfoArea*
//   94      set: none                             get: FileVersionEntry* (first entry)
//   95      set: none                             get: TerminalDescription*
// Modes: 0 system information (D0 00 00 01), 1 contactless reader
// (C0 00 FF 00); another mode, or no record, sends nothing.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "protocols/terminal_info.h"

// 1 built (*apdu allocated with WAlloc), 0 none.
int RUDA_BuildInfoRequest(int code, va_list args, unsigned char** apdu, int* length);
// The answer's status.
int RUDA_DealInfoAnswer(int code, const unsigned char* answer, int length, va_list args);

int RUDA_DealINFOAnswer(const unsigned char* answer, int length, TerminalPartInfo* part);
int RUDA_DealInfoExtAnswer(const unsigned char* answer, int length, TerminalInfoArea* info);
int RUDA_DealFilesVersionAnswer(const unsigned char* answer, int length, FileVersionEntry* first);
int RUDA_DealTerminalInfoAnswer(const unsigned char* answer, int length, TerminalDescription* description);

// Model number of a model name (upper-cased, compared over its whole given
// length) in a family ("QT", "QX"): 1 and *number, or -1 when no row gives
// one ("Y645-..." gives 740).
int RUDA_GetModelNumber(const char* name, int length, const char* family, int* number);

// CRC-16 of a version text (polynomial 1021, initial value 1D0F, no
// reflection, no final exclusive or), up to its NUL.
uint16_t RUDA_VersionCrc(const char* text);
// The CRC as text: "%04X" (fourDigits) or "%X".
std::string RUDA_VersionCrcText(const std::string& text, bool fourDigits);

// Adds a package entry to the part: code, the first 4 characters of the
// CRC text, the second code and "109 "; sets the package flag. false when
// the table's 10 entries are taken (nothing added).
bool RUDA_AddPackage(TerminalPartInfo* part, const char* code, const std::string& crc, const char* second);
