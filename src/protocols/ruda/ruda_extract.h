// RUDA answer extractors: each looks for one element in a parsed answer (the
// template: a node whose value holds the answer's elements), converts its
// value and writes it into the card-read record or the result area; a few
// only log a result code in words or test that an element is present.
//
// Results: 0 when the work was done, 1 when an argument is missing or the
// element is absent (or longer than the room the extractor accepts), unless
// said otherwise. A value that fits the room but not its target field is cut
// to the field with a warning line; tables of the result area stop at ten
// entries.
#pragma once
#include <cstdint>

#include "core/tlv.h"
#include "protocols/card_records.h"
#include "protocols/terminal_info.h"

// ---- Key and card status ----
// DFA205 as a 1- or 2-byte number: 8 'C', 13 'V', 27 'A', others no letter.
// 1 when a number was read (or on a getter error), 0 when absent.
int RUDA_GetKeyCode(TlvNode* tmpl, char* letter);
// Element 48 (card status) into the record; resets the candidate index.
// 0 card read, 64 nothing usable yet, 97 no card, 1 absent.
int RUDA_DecodeCardStatus(TlvNode* tmpl, CardReadRecord* record);
// DFC03B: '6' status 5, '4' status 4 (with answerValid 1). 0.
int RUDA_GetDFC03B(TlvNode* tmpl, CardReadRecord* record);

// ---- Magnetic tracks into the card-read record ----
int RUDA_GetTrack2(TlvNode* tmpl, CardReadRecord* record);
int RUDA_GetTrack1(TlvNode* tmpl, CardReadRecord* record);
int RUDA_GetTrack3(TlvNode* tmpl, CardReadRecord* record);
int RUDA_GetTag63(TlvNode* tmpl, CardReadRecord* record);

// ---- Contactless and chip card data into the result area ----
int RUDA_GetCtlsTrack1(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetCtlsTrack2(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetTrack2Equivalent(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetChipTrack2(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetCardData(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddCandidateFrom84(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddCandidateFrom4F(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddCandidateFrom9F06(TlvNode* tmpl, TerminalResultArea* area);
// 84 as text into out (room characters and a NUL; at most 400).
int RUDA_GetDfName(TlvNode* tmpl, char* out, int room);
int RUDA_AddFciDiscretionary(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddCandidateLabel(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddCodeTableIndex(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddPriorityIndicator(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_AddPdol(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetLanguagePreference(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetPreferredName(TlvNode* tmpl, TerminalResultArea* area);
int RUDA_GetFF7F(TlvNode* tmpl, TerminalResultArea* area);

// ---- Presence tests: 0 when present with a non-zero first byte, else 1 ----
int RUDA_Has5A(TlvNode* tmpl);
int RUDA_Has48(TlvNode* tmpl);
int RUDA_Has57(TlvNode* tmpl);
int RUDA_HasDF25(TlvNode* tmpl);
int RUDA_Has9F2A(TlvNode* tmpl);
int RUDA_HasDF61(TlvNode* tmpl);
int RUDA_HasDF4B(TlvNode* tmpl);

// 48 (else 5A), 94, 9F36, 82, 9F10, 9F26, 9F27, 5F24, in this order: 1 at
// the first one missing (traced), 0 when all are there.
int RUDA_CheckMandatoryData(TlvNode* tmpl);

// ---- Single values ----
// DF8301 (at most 21 bytes) as text into out (22 bytes of room).
int RUDA_GetDF8301(TlvNode* tmpl, int* length, char* out);
// DFA310 bytes into out when they fit the room (at most 5000); 0.
int RUDA_GetDFA310(TlvNode* tmpl, unsigned char* out, int room, int* length);
// 80 as a number of 1 to 4 bytes; 32 when absent.
int RUDA_GetTag80(TlvNode* tmpl, uint32_t* number);
int RUDA_GetDF61(TlvNode* tmpl, uint32_t* number);
int RUDA_GetDFC036(TlvNode* tmpl, uint32_t* number);
// Hexadecimal texts (9F07 and 5A: 32 characters, 94: 100) into out (room
// characters and a NUL).
int RUDA_Get9F07(TlvNode* tmpl, char* out, int room);
int RUDA_Get5A(TlvNode* tmpl, char* out, int room);
int RUDA_Get94(TlvNode* tmpl, char* out, int room);
// count bytes of DFC034 from index.
int RUDA_GetCtlsDebugData(TlvNode* tmpl, unsigned char* out, int index, int count);

// ---- Result codes in words ----
// DFDF30: the contactless transaction result, logged; a time-out (2) marks
// errorSource 10 and status 1. Always 0.
int RUDA_LogCtlsResult(TlvNode* tmpl, CardReadRecord* record);
// Print results: afterPrint for the answer of a print request, else a
// printer status. 0 for the successes, 1 otherwise or without a value.
int RUDA_LogPrintResult(const unsigned char* value, int length, bool afterPrint);
// 34 when the first byte is 2, else 32; 1 without a value.
int RUDA_PrintStatusResult(const unsigned char* value, int length);
// PIN and key-management result in words; 0, 1 without a value.
int RUDA_LogPinResult(const unsigned char* value, int length);

// Track conventions: the first ';', '=' and '?' become 'B', 'D' and 'F'.
void RUDA_ReplaceTrackSeparators(char* text);

// ---- Terminal identification into the information area: the part written
// is info->parts[info->currentPart] (a current part outside 0 to 4 writes
// nothing, 1). ----
// 9F1E (12 at most), padded with '0' to 12.
int RUDA_GetSerialNumber(TlvNode* tmpl, TerminalInfoArea* info);
// DF0D (100 at most). Model flag 0: the version column of the current
// package entry. Set: the model name (20, trailing line feed dropped), the
// two-reader flag, the count of model readings and the flag's marker.
int RUDA_GetModelOrVersion(TlvNode* tmpl, TerminalInfoArea* info, int modelFlag);
// DF7F (100 at most). OS flag 0: the application version and its package
// "2801". Set: the family ("QT" / "QX", 3 bytes), the OS version code
// (a QX "release-" alone is refused: status 1, mark 255, 1).
int RUDA_GetOsVersion(TlvNode* tmpl, TerminalInfoArea* info, const char* model, char* family, int osFlag);
// DF8109 beginning "M/RT": family "QX".
int RUDA_GetOsType(TlvNode* tmpl, char* family);
// DF8101 / DF8102: flag 1 and the text, cut to 8 characters.
int RUDA_GetTamperStatus(TlvNode* tmpl, TerminalInfoArea* info);
int RUDA_GetRemovalStatus(TlvNode* tmpl, TerminalInfoArea* info);
// DFEC1F: seconds since the terminal's last power-up into the header; 1
// (and 0 stored) when absent.
int RUDA_GetUptime(TlvNode* tmpl, TerminalInfoArea* info);
// DFC022: the contactless version's CRC, package "7001".
int RUDA_GetCtlsVersion(TlvNode* tmpl, TerminalInfoArea* info);
// DFC028 (200 at most): the kernels without blanks and dashes, 42 at most.
int RUDA_GetCtlsKernels(TlvNode* tmpl, TerminalInfoArea* info);
