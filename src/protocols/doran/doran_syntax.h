// DORAN message syntax: every DORAN request and answer is one BER-TLV element
// E0 holding C3 (peripheral identifier) and E1 (command), which holds C4
// (command code), E2 (data) and an optional 5C tag list.
//
// The parts are module state (one message in hand at a time, main thread
// only). Built parts own their bytes; decoded parts point into the caller's
// buffer, which must stay valid until they are released with DRN_FreeSyntax
// or the next building or decoding.
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

// Assembles a message from its parts; each flag acts when greater than 0:
//   makeMessage: a new E0 part holding C3 with the peripheral in two bytes;
//   makeCommand: a new E1 part holding C4 with the command code in two bytes
//                (without it, the E1 part in hand is used);
//   addData:     the data part (a sealed E2, DRN_SetDataPart) is appended to E1;
//   addTagList:  the tag-list part (a sealed 5C, DRN_SetTagListPart) likewise;
//   closeCommand: E1 gets its tag and length;
//   closeMessage: the closed E1 is appended to E0, E0 is closed, the other
//                parts are released and the message length is returned; the
//                bytes stay readable (DRN_MessageBytes) until DRN_FreeSyntax(1, ..).
// 0 while the message is not closed, the message length once it is, -1 on any
// failure (every part released): no memory, an asked part missing, a
// peripheral or command code beyond two bytes.
int DRN_EncapsSyntax(int makeMessage, int makeCommand, int addData, int addTagList,
                     int closeCommand, int closeMessage, uint32_t peripheral,
                     uint32_t commandCode);

// Hand a sealed element (tag, length, value in its value bytes, as TLV_Seal
// makes it) over as the data part / tag-list part of the message being
// built; the part in hand is released first. A null node clears the part.
void DRN_SetDataPart(TlvNode* sealedE2);
void DRN_SetTagListPart(TlvNode* sealed5C);

// The finished message of the last DRN_EncapsSyntax that closed one (null
// otherwise); *length := its length when not null.
const unsigned char* DRN_MessageBytes(int* length);

// Releases the command, data and tag-list parts, and the message part too
// when all is 1. Value bytes that a built part owns are always released (the
// mode 'w' or 'r' of the callers no longer matters); parts that point into a
// caller's buffer never release it.
void DRN_FreeSyntax(int all, char mode);

// The data part (E2) of the last decoded message, or null. Search its value
// with the typed getters of the BER-TLV codec.
TlvNode* DRN_DataPart();
