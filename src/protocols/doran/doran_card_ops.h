// DORAN card operations: one card reader or card application of the
// terminal each, on the card-data record POT (its service pairs, busy,
// result, peripheral, and slots): 20 and 81 (readers 0x2001, 0x2002), 40
// (0x3001), 50 (0x4001), 51 (a free peripheral), 60 (0x6001), 82 (the ECO
// query); and 80, a record exchange on a record of its own.
//
// Request: the OR of the service masks (their states reset), then each
// request element whose slot is set (some only under a mask bit), then the
// answer tags each pair's bits ask for. Answer: DF828000 and the answered
// flags (required), the states of the pairs answered, then each slot the
// answered bits ask for, read with its encoding. Slots these operations
// alone use are keyed by their element's tag (POT_CardSlot); the others are
// the EMV slots of POT when the value fits them (PAN, dates, service code,
// country code, 9F42, name, 9F44, DF81811A, cryptograms, DF818211,
// currency).
//
// Builders give the message and its length (owned by the syntax module) or
// null; decoders return 0 done, 1 refused, 32 failed. Main thread only.
#pragma once
#include <cstdint>

#include "core/tlv.h"
#include "protocols/doran/doran_records.h"
#include "protocols/pot.h"

// A view of a slot of the card operations.
struct PotCardView {
    int32_t* length;  // 0 absent, kPotAsked asked, else the length (1 for a number)
    int64_t* value;
    char* text;       // characters or bytes, a NUL behind them
    int capacity;
};
// The slot of a tag, made when it is missing (a long slot for a capacity
// above 149): its view, or one with null members when no slot is left.
PotCardView POT_CardSlot(POT* pot, uint32_t tag, int capacity = kPotCardShortText);
// The slot of a tag, or a view with null members when there is none.
PotCardView POT_FindCardSlot(POT* pot, uint32_t tag);

const unsigned char* DRN_SetReader1Card(int* length, POT* pot);
int DRN_DealReader1Card(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetReader2Card(int* length, POT* pot);
int DRN_DealReader2Card(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetCard3001(int* length, POT* pot);
int DRN_DealCard3001(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetCard4001(int* length, POT* pot);
int DRN_DealCard4001(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetCardData(int* length, POT* pot);
int DRN_DealCardData(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetCard6001(int* length, POT* pot);
int DRN_DealCard6001(const unsigned char* answer, int length, POT* pot);
const unsigned char* DRN_SetRecordExchange(int* length, DrnRecordExchangeRecord* record);
int DRN_DealRecordExchange(const unsigned char* answer, int length, DrnRecordExchangeRecord* record);
const unsigned char* DRN_SetECOCommand(int* length, POT* pot);
int DRN_DealECOAnswer(const unsigned char* answer, int length, POT* pot);

// The ECO answer's parts into their slots (DF818100, DF818101, DF858200),
// each traced: 1 read, 0 not.
int Xa_Eco_GetReason(TlvNode* data, POT* pot);
int Xa_Eco_GetPartNumber(TlvNode* data, POT* pot);
int Xa_Eco_GetPartData(TlvNode* data, POT* pot);
