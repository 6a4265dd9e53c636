// RUDA EMV level 2: one EMV command APDU at a time to the chip card through
// the terminal (operation 31), each answer analysed and loaded into `POT`.
//
// The step register is the first service pair of `POT`: its mask is the
// current step, its state the outcome of the last analysis. The read-records
// area belongs to the card in hand: it is sized from the card's AFL, zeroed
// and freed after the last record (or at the next transaction start).
#pragma once
#include <cstdint>

#include "protocols/pot.h"

// Steps.
constexpr int32_t RUDA_STEP_SELECT = 2;
constexpr int32_t RUDA_STEP_GPO = 4;
constexpr int32_t RUDA_STEP_READ_RECORD = 8;
constexpr int32_t RUDA_STEP_PIN_TRY_COUNTER = 32;
constexpr int32_t RUDA_STEP_FIRST_AC = 1024;
constexpr int32_t RUDA_STEP_EXTERNAL_AUTH = 2048;
constexpr int32_t RUDA_STEP_CALLER_APDU = 4096;
constexpr int32_t RUDA_STEP_SECOND_AC = 8192;
constexpr int32_t RUDA_STEP_CALLER_APDU_2 = 16384;
constexpr int32_t RUDA_STEP_INTERNAL_AUTH = 131072;
constexpr int32_t RUDA_STEP_GET_DATA = 524288;
constexpr int32_t RUDA_STEP_VERIFY_PIN = 1048576;
constexpr int32_t RUDA_STEP_SELECT_GIVEN = 2097152;
constexpr int32_t RUDA_STEP_READ_BINARY = 8388608;
constexpr int32_t RUDA_STEP_GET_RESPONSE = 16777216;

// Outcome codes (state of the step register).
constexpr int32_t RUDA_OUTCOME_DONE = 0;
constexpr int32_t RUDA_OUTCOME_NO_ROOM = 1;
constexpr int32_t RUDA_OUTCOME_MISSING = 2;
constexpr int32_t RUDA_OUTCOME_SW_REFUSED = 3;
constexpr int32_t RUDA_OUTCOME_CARD_GONE = 4;
constexpr int32_t RUDA_OUTCOME_MALFORMED = 9;
constexpr int32_t RUDA_OUTCOME_EXTERNAL_AUTH = 20;
constexpr int32_t RUDA_OUTCOME_INCONSISTENT = 21;
constexpr int32_t RUDA_OUTCOME_SW_6985 = 24;
constexpr int32_t RUDA_OUTCOME_PIN_BLOCKED = 30;
constexpr int32_t RUDA_OUTCOME_SW_9F28 = 33;

// Record flags of READ RECORD.
constexpr int32_t RUDA_RECORD_MORE = 0;
constexpr int32_t RUDA_RECORD_LAST = 1;
constexpr int32_t RUDA_RECORD_NOT_STORED = 2;

// Copy of one READ RECORD answer for the caller.
constexpr int kRudaAnswerHolderMax = 261;
struct RudaAnswerHolder {
    int32_t length;
    unsigned char bytes[kRudaAnswerHolderMax];
};

// What a step needs besides `POT`.
struct RudaStepArgument {
    uint8_t p1 = 0;               // READ RECORD P1; READ BINARY first byte (0x80 + P1)
    int32_t p2 = 0;               // READ RECORD / READ BINARY P2
    int32_t recordFlag = RUDA_RECORD_MORE;
    RudaAnswerHolder* holder = nullptr;
    const unsigned char* apdu = nullptr;  // APDU given by the caller
    int apduLength = 0;
    uint8_t nextOccurrence = 0;           // SELECT given
    const unsigned char* aid = nullptr;
    int aidLength = 0;
    uint8_t expectedLength = 0;           // READ BINARY, GET RESPONSE
    uint16_t tag = 0;                     // GET DATA of a given tag
    uint8_t pinEnciphered = 0;            // PIN verification mode
};

// The caller's output for SELECT given, READ BINARY and GET RESPONSE, and a
// place for the status word of SELECT by name. Any field may be null.
struct RudaCallerBuffer {
    unsigned char* buffer = nullptr;
    int size = 0;
    int* length = nullptr;
    unsigned char* statusWord = nullptr;  // 2 bytes
};

// Deciphers card answers in place; installed by the code that needs it.
// kind: 1 READ RECORD, 2 GENERATE AC. false refuses the answer.
class RudaDecipherHook {
public:
    virtual ~RudaDecipherHook() = default;
    virtual bool decipher(unsigned char* answer, int* length, int kind) = 0;
};
void RUDA_SetDecipherHook(RudaDecipherHook* hook);

// The request of operation 31 for the step in the step register: 1 with the
// APDU (WAlloc; the caller frees it with WFree) and its length, 0 when the
// step has no request or its data cannot be sent (traced).
int RUDA_BuildEmvApdu(POT* pot, const RudaStepArgument* argument, unsigned char** apdu, int* length);

// The answer of operation 31: busy 1 and result 0, then the analysis; 32
// when it failed (busy stays 1), else busy 0 and 0.
int RUDA_DealEmvAnswer(POT* pot, const unsigned char* answer, int length,
                       const RudaStepArgument* argument, RudaCallerBuffer* caller);

// Analysis of one answer for the step in the step register: 1 analysed (the
// outcome in the step register), -1 failed.
int RUDA_AnalyseResponse(POT* pot, const unsigned char* answer, int length,
                         const RudaStepArgument* argument, RudaCallerBuffer* caller);

// Wraps the data into one DF808400 element and loads it. 1, or -1.
int DATA_to_POT(const unsigned char* data, int length, POT* pot);

// AFL check: a multiple of 4 bytes (fewer than 4 pass); each entry with an
// SFI of 1 to 30, a first record not 0, a last record not below the first and
// at most that many records for offline authentication. 1 accepted (the
// read-records room of the card then fits its records), 0 refused.
int RUDA_CheckAfl(const unsigned char* afl, int length);
// FCI structure check of a SELECT answer: 0, or 9.
int RUDA_CheckFci(const unsigned char* data, int length);

// The AFL walk: the records that the AFL slot of `POT` names, in order.
// RUDA_AflRecordCount gives their number (0 for a missing or refused AFL);
// RUDA_AflRecord fills the READ RECORD argument of the index-th one (P1 the
// record number, P2 the SFI shifted left by 3 with 4, the last one flagged
// RUDA_RECORD_LAST); false past the end.
int RUDA_AflRecordCount(const POT* pot);
bool RUDA_AflRecord(const POT* pot, int index, RudaStepArgument* argument);

// Marks every slot of the record group with the value (0, or kPotAsked).
void RUDA_SetRecordSlots(POT* pot, int32_t value);
// Forgets the card in hand: the read-records area (zeroed), its room and the
// elements seen in its records.
void RUDA_ResetCardDialogue();
// Room and filled length of the read-records area (0 and -1 when none).
int RUDA_RecordsRoom();
int RUDA_RecordsFilled();
