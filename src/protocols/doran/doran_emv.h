// DORAN EMV data exchange (operation 30) and the loader of the card-data
// record `POT`, shared with the RUDA EMV level-2 layer.
//
// Module state (main thread only): the offline-authentication buffer (every
// DF808400 content loaded since it was last freed, at most
// kDrnAuthenticationBufferMax bytes) and the CDOL flag.
#pragma once
#include <cstdint>

#include "protocols/pot.h"

constexpr uint32_t DRN_EMV_PERIPHERAL = 0x2801;
constexpr uint32_t DRN_EMV_COMMAND = 4;
constexpr unsigned int DRN_TAG_CARD_DATA = 0xDF808400;
constexpr int kDrnAuthenticationBufferMax = 10368;

// Request of operation 30: the message (owned by the syntax module until
// DRN_FreeSyntax(1, 'w')) and its length in *length; null when the record is
// missing, its peripheral is not set or not hexadecimal, or building fails.
const unsigned char* DRN_SetEMVCommand(int* length, POT* pot);

// Answer of operation 30: 0 done, 1 refused (no record, wrong peripheral or
// command, bad status), 32 failed. The decoded parts are released on every
// path before it returns.
int DRN_DealEMVAnswer(const unsigned char* answer, int length, POT* pot);

// Loads the data part of one answer (a sequence of elements holding the card
// data in DF808400 and the terminal's own elements) into the asked slots.
// 0, or 1 when the answer is refused.
int DRN_DealEMVAnswerDatas(const unsigned char* data, int length, POT* pot);

void DRN_FreeAuthentificationBuffer();
// Bytes and size of the offline-authentication buffer (null when empty).
const unsigned char* DRN_AuthentificationBuffer(int* size);
// Raises the CDOL flag to the value when not below it; never lowers it.
void DRN_SetCdolAsBytes(int value);
// Puts the CDOL flag back to 0 (a new process, or a test).
void DRN_ResetCdolFlag();

// The first pair whose mask shares a bit with the bits and whose state is 0
// or 26 gets state 21.
void POT_MarkServiceFailed(POT* pot, int32_t bits);
// 1 when a pair whose mask shares a bit with the bits has that state.
int POT_ServiceHasState(const POT* pot, int32_t bits, int32_t state);
// Sets to 0 each key slot still asked: PAN, expiry date, track 2 equivalent,
// both cryptograms and information bytes, issuer application data.
void POT_ResetAsked(POT* pot);
