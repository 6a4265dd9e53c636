// RUDA card reading: the requests and answer decoders of the card event and
// card status (operations 10, 100), application selection (11, 101), abort
// (14), contactless open, start and cancel (130, 131, 132), card reader
// power (159), chip-card presence (180), online PIN (70) and the
// prevalidated transaction steps (181 to 184), with the card-removal check
// applied to most answers.
//
// Requests are allocated with WAlloc (the caller frees them with WFree): 1
// built, 0 no request (a record missing, no memory), -1 for the argument
// checks of operations 10 and 100. Decoders take the answer payload (data
// and status word) and return the operation's status.
#pragma once
#include <cstdint>

#include "protocols/card_records.h"
#include "protocols/pot.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_preval.h"

// Statuses of the decoders (script-engine status codes).
constexpr int RUDA_STATUS_DONE = 0;
constexpr int RUDA_STATUS_INTERNAL = 1;
constexpr int RUDA_STATUS_TRY_OTHER = 2;
constexpr int RUDA_STATUS_CTLS_INACTIVE = 8;
constexpr int RUDA_STATUS_OUT_OF_SEQUENCE = 16;
constexpr int RUDA_STATUS_PROTO_ERROR = 32;
constexpr int RUDA_STATUS_NET_TIMEOUT = 34;
constexpr int RUDA_STATUS_NOT_YET = 64;
constexpr int RUDA_STATUS_BLOCKED = 81;
constexpr int RUDA_STATUS_ENCKEY = 82;
constexpr int RUDA_STATUS_BUSY = 83;
constexpr int RUDA_STATUS_NO_CARD = 97;

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

// Operations 10 (event: the record's mode is first set to 1) and 100 (card
// status by the record's mode). -1 without a record.
int RUDA_BuildCardStatusRequest(CardReadRecord* record, bool event, unsigned char** apdu, int* length);
// Operations 11 and 101: SELECT with the next candidate identifier (none
// after the first), and Le.
int RUDA_BuildSelectAidRequest(unsigned char** apdu, int* length);
// Operations without data: 14 (abort), 130 (contactless open), 132
// (contactless cancel), 159 (reader power, the number), 180 (presence).
int RUDA_BuildFixedRequest(int operation, int number, unsigned char** apdu, int* length);
// Operation 131: the amount template of the transaction data and the
// country code (-1: none).
int RUDA_BuildCtlsStartRequest(const CtlsTransactionData* data, int country, unsigned char** apdu,
                               int* length);

// Values of operation 183 besides the record.
struct RudaContinueValues {
    const char* version;
    const char* floorLimit;
    const char* first;
    const char* second;
    const char* third;
};
// Operations 181 to 184 on the EMV context; 182 takes the candidate list, 183
// the continue values (either null otherwise).
int RUDA_BuildPrevalRequest(int operation, POT* pot, const RudaCandidateEntry* candidates,
                            const RudaContinueValues* values, unsigned char** apdu, int* length);

// Online PIN record (operation 70).
constexpr int kRudaPinBlockMax = 16;
constexpr int kRudaPinDfed03Max = 64;
struct RudaPinRecord {
    int32_t status;  // 1 while in progress, then the result
    int32_t after;   // 255 once an answer was read
    int32_t p1Flag;
    uint8_t p1;
    uint8_t dfec05;
    int32_t dfed0d;
    int64_t amount;
    int32_t df24;
    uint8_t df1c;
    int32_t panSelector;  // 0 the card number, 1 the alternative text
    char pan[20];
    char alternative[64];
    int32_t dfed08Flag;
    uint8_t dfed08;
    int32_t dfed05;
    int32_t dfa20e;
    int32_t pinBlockLength;
    unsigned char pinBlock[kRudaPinBlockMax];
    int32_t dfed03Length;
    unsigned char dfed03[kRudaPinDfed03Max];
};
int RUDA_BuildOnlinePinRequest(RudaPinRecord* record, unsigned char** apdu, int* length);

// ---------------------------------------------------------------------------
// Answers
// ---------------------------------------------------------------------------

// Card-removal check: an E0 whose element 48 has a non-zero first byte turns
// the answer into the two bytes 9F 0D (*length := 2). 1 when it did.
int RUDA_CheckCardRemoval(unsigned char* answer, int* length);

int RUDA_DealEventAnswer(const unsigned char* answer, int length, CardReadRecord* record);
int RUDA_DealRUDACARD_STATUSAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                                   TerminalResultArea* area, int restart);
int RUDA_DealSelectAnswer(const unsigned char* answer, int length, TerminalResultArea* area);
int RUDA_DealAbortAnswer(const unsigned char* answer, int length);
int RUDA_DealOpenCtlsAnswer(const unsigned char* answer, int length);
int RUDA_DealPowerAnswer(const unsigned char* answer, int length);
int RUDA_DealRUDA_CheckCardInserted_Answer(const unsigned char* answer, int length, int32_t* inserted);
int RUDA_DealCancelCtlsAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                              TerminalResultArea* area);
// restart >= 1 asks for a new presentation on 9F28.
int RUDA_DealStartCtlsAnswer(const unsigned char* answer, int length, CardReadRecord* record,
                             TerminalResultArea* area, int restart);
int RUDA_DealOnlinePinAnswer(const unsigned char* answer, int length, RudaPinRecord* record);
// Operations 181 to 184; candidates (room records) for 181 and 182.
int RUDA_DealPrevalAnswer(int operation, const unsigned char* answer, int length, POT* pot,
                          RudaCandidateRecord* candidates, int room);
