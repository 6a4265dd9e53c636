// DORAN message syntax, reading side: every DORAN answer is one BER-TLV
// element E0 holding C3 (peripheral identifier) and E1 (command), which holds
// C4 (command code) and E2 (data), followed by an optional 5C tag list.
//
// The decoded parts are module state (one message in hand at a time, main
// thread only): they point into the caller's buffer, which must stay valid
// until they are released with DRN_FreeSyntax or the next decoding.
#pragma once
#include <cstdint>

#include "core/tlv.h"

constexpr unsigned int DRN_TAG_MESSAGE = 0xE0;
constexpr unsigned int DRN_TAG_PERIPHERAL = 0xC3;
constexpr unsigned int DRN_TAG_COMMAND = 0xE1;
constexpr unsigned int DRN_TAG_COMMAND_CODE = 0xC4;
constexpr unsigned int DRN_TAG_DATA = 0xE2;
constexpr unsigned int DRN_TAG_TAG_LIST = 0x5C;
// Result of the operation, carried inside E2 of every answer.
constexpr unsigned int DRN_TAG_RESULT = 0xDF828000;

// Finds the parts of a received message. Releases the parts in hand first.
// *peripheral := the C3 value (big-endian, 1 to 4 bytes); *command := the C4
// value (big-endian, 1 or 2 bytes), or -1 when C4 is missing or unusable
// (traced). The length of the E2 value, or -1 (every part released) for a
// null buffer or a missing or empty E0, C3, E1 or E2. Either out pointer may
// be null.
int DRN_DecapsSyntax(const unsigned char* buffer, int length, uint32_t* peripheral, int* command);

// Releases the command and data parts, and the message part too when all is
// 1. Mode 'w' also releases value bytes that a part owns; parts that point
// into a caller's buffer never release it, whatever the mode.
void DRN_FreeSyntax(int all, char mode);

// The data part (E2) of the last decoded message, or null. Search its value
// with the typed getters of the BER-TLV codec.
TlvNode* DRN_DataPart();
