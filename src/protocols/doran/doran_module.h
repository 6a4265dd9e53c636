// DORAN command module: the entry points of protocol 2 (set, get, wait
// event; no reset), and one request builder and one answer decoder per
// operation. Every operation takes one record, the first argument after the
// operation code:
//   0 to 5  TermDisplayBlock        dialogue (its kind is the command)
//   10      CardReadRecord          event wait of the readers asked
//   11, 12  TerminalResultArea      application list (12: the answer of 10
//                                   read as the list)
//   30      POT                     EMV data (doran_emv.h)
//   20, 40, 50, 51, 60, 81, 82  POT, 80 DrnRecordExchangeRecord: card
//                                   operations (doran_card_ops.h)
//   70      DrnOnlinePinRecord      online PIN
//   73, 74  DrnTerminalCall61Record, DrnTerminalCall62Record
//   90      DrnTerminalInfoRecord   terminal information
// A builder gives the message (owned by the syntax module until
// DRN_FreeSyntax(1, 'w')) and its length, or null; a decoder returns 0 done,
// 1 refused, 32 failed. Requests are built and answers decoded in module
// areas: one operation at a time, main thread only.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "protocols/card_records.h"
#include "protocols/doran/doran_records.h"
#include "protocols/terminal_display.h"

struct KT_EPERIPH_API;
struct KT_PERES;

// Peripherals of the terminal.
constexpr uint32_t DRN_PERIPHERAL_SCREEN = 0x40;
constexpr uint32_t DRN_PERIPHERAL_TERMINAL = 0xA1;
constexpr uint32_t DRN_PERIPHERAL_KEYPAD = 0x11;
constexpr uint32_t DRN_PERIPHERAL_STRIPE = 0x21;
constexpr uint32_t DRN_PERIPHERAL_CHEQUE = 0x31;
constexpr uint32_t DRN_PERIPHERAL_CHIP = 0x50;  // + the slot, 1 to 5
constexpr uint32_t DRN_PERIPHERAL_CONTACTLESS = 0x7001;
constexpr int kDrnEventBuffer = 130;

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

// The request of the resource's operation code into the command buffer:
// the frame length; -1 an unknown code or no request built (the parts are
// released); -2 no box, resource or buffer.
int DRN_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
// Decodes an answer frame into the record: the decoder's status; 1 without
// box or resource, or for a frame whose payload is not 0 to 12700 bytes of
// it; 2 (PV_CMD_UNKNOWN) for a code the module has no decoder for.
int DRN_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
// Waits for the terminal's echo on the resource's serial line, each byte
// within a tenth of the time-out: 'A' (an answer or event waits), 'K' (keep
// alive), 'D' (a display echo), 'B' (a display that stopped). 0 with
// event[0] set to the letter (one character: the whole echo goes to the
// box's wait callback); 64 (PV_NOT_YET) when nothing came; 80
// (PV_PER_RESET) when the wait callback wrote 'S'; 1 without box or
// resource, or for a malformed echo. A network resource answers 0 at once.
int DRN_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);
// The 'D' counter of the waits back to 0 (a new process, or a test).
void DRN_ResetWaitState();

// ---------------------------------------------------------------------------
// Operations of the terminal: builders and decoders
// ---------------------------------------------------------------------------

const unsigned char* DRN_SetDialogue(int* length, TermDisplayBlock* block);
int DRN_DealDialogue(const unsigned char* answer, int length, TermDisplayBlock* block);

const unsigned char* DRN_SetEvent(int* length, CardReadRecord* record);
int DRN_DealEvent(const unsigned char* answer, int length, CardReadRecord* record);
// Names the source of an event answer from its peripheral into the record
// (technology, origin): 0, or 32 (traced) for an unknown peripheral or a
// rank beyond the source's.
int XA_EVent(uint32_t peripheral, CardReadRecord* record);

const unsigned char* DRN_SetApplicationList(int* length, TerminalResultArea* area);
int DRN_DealApplicationList(const unsigned char* answer, int length, TerminalResultArea* area);

const unsigned char* DRN_SetOnlinePin(int* length, DrnOnlinePinRecord* record);
int DRN_DealOnlinePin(const unsigned char* answer, int length, DrnOnlinePinRecord* record);

const unsigned char* DRN_SetTerminalCall61(int* length, DrnTerminalCall61Record* record);
int DRN_DealTerminalCall61(const unsigned char* answer, int length, DrnTerminalCall61Record* record);
const unsigned char* DRN_SetTerminalCall62(int* length, DrnTerminalCall62Record* record);
int DRN_DealTerminalCall62(const unsigned char* answer, int length, DrnTerminalCall62Record* record);

const unsigned char* DRN_SetTerminalInfo(int* length, DrnTerminalInfoRecord* record);
int DRN_DealTerminalInfo(const unsigned char* answer, int length, DrnTerminalInfoRecord* record);
