// RUDA prevalidation answers (operations 181 to 184): the status word and
// template-kind checks, the split by candidate application and the copy of
// every known data object into `POT` and the caller's candidate records.
#pragma once
#include <cstdint>

#include "core/tlv.h"
#include "protocols/pot.h"

constexpr int kRudal2CandidateMax = 10;
constexpr int kRudal2AidMax = 40;
constexpr int kRudal2LabelMax = 40;
constexpr int kRudal2PriorityMax = 8;
constexpr int kRudal2FciMax = 256;

// One candidate application of a prevalidation answer.
struct RudaCandidateRecord {
    int32_t aidLength;  // bytes
    unsigned char aid[kRudal2AidMax + 1];
    int32_t labelLength;
    unsigned char label[kRudal2LabelMax + 1];
    int32_t priorityLength;
    char priority[kRudal2PriorityMax + 1];  // 87 as hexadecimal text
    int32_t fciLength;
    unsigned char fci[kRudal2FciMax];  // BF0C
    int32_t found;                     // 1 when 9F06 was read
};

// 9000 -> 0; 6985 -> state 24, 0; 9F23 -> state 4, 0; 9F28 -> state 33, 0;
// 9F41 -> ninth service state 5, 1; any other (traced) -> 1.
int RUDAL2_CheckSwAnswer(POT* pot, int sw);
// By the template byte: E0 state 4 and 32; E2 0; E3 authorisation mode 64;
// E4 128; E5 0 (each 0); E6 64; any other state 3 and 32.
int RUDAL2_CheckTypeAnswer(POT* pot, uint8_t type);
// Copies the answer element's data objects into `POT` and, when records are
// given, one record per candidate (at most `room`, at most 10). 1, or -1
// after a logged extraction failure.
int RUDAL2_ExtractAllTag(TlvNode* answer, POT* pot, RudaCandidateRecord* candidates, int room,
                         int operation);

// A piece of the answer: from one parsed 9F06 element to the next.
struct RudaCandidatePiece {
    const unsigned char* start;
    int length;
};
// The pieces of the answer, at most `room`: 1 when it holds at least one
// 9F06 element, 0 when none, -1 without an element.
int RUDAL2_SplitCandidates(TlvNode* answer, RudaCandidatePiece* pieces, int room, int* count);
