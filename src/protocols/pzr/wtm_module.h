// Protocol 5 (PZR): a receipt printer with a cheque station and a CMC7 line
// reader, on the raw stack (none_stack.h). The requests are printer command
// bytes; the device answers only a cheque read, with the line it read.
//
// Operation 10 (O_T_EVENT), argument the card-read record, by the whole
// byte chequeOptions (17 and 33 are other values):
//   0x10 read the CMC7 line      1C 61 30 01
//   0x20 print on the cheque     29 header bytes, the 60-character line of
//                                eventData (cheque_line.h), 10 trailer bytes
//   0x40 give the cheque back    1C 61 32 10 05 03
//   other                        an empty request
// chequeRequested 0 builds nothing (busy left 1), and so does a print text
// without '*'. The read answer fills eventData: its first byte has bit 0
// set and bit 5 clear when the line was read (status 0x4000, else 0x8000);
// the characters after it are the line, spaces dropped, '#' 'C', '/' 'B',
// '=' 'D', '>' 'E', '^' 'F', at most 100.
//
// Operation 13 (O_T_PRINT), argument the print command block: kind 1 its
// bytes (1 to 513), kind 2 four line feeds and the cut (0A 0A 0A 0A 1B 69),
// another kind an empty request.
//
// Results: set -2 without box or resource, -1 for another operation or a
// request not built, else the frame length; get 1 without box or resource
// or for a frame that does not read, 2 for another operation, else the
// decoder's busy word (0). Main thread only.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/print_block.h"
#include "protocols/pzr/none_stack.h"

constexpr int WTM_REQUEST_AREA = 513;
constexpr int WTM_LINE_WIDTH = 60;
constexpr uint8_t WTM_CHEQUE_READ = 0x10;
constexpr uint8_t WTM_CHEQUE_PRINT = 0x20;
constexpr uint8_t WTM_CHEQUE_GIVE_BACK = 0x40;
constexpr int32_t WTM_LINE_READ = 0x4000;
constexpr int32_t WTM_LINE_NOT_READ = 0x8000;

// Builders: the request (a module area of 513 bytes, cleared first) with
// *length, or null when none is built.
const unsigned char* WTM_EVT_SetCommand(int* length, CardReadRecord* record);
const unsigned char* WTM_PRN_SetCommand(int* length, PrintCommandBlock* block);
// Decoders: the record's busy word, 1 without a record.
int WTM_EVT_DealAnswer(const unsigned char* payload, int length, CardReadRecord* record);
int WTM_PRN_DealAnswer(const unsigned char* payload, int length, PrintCommandBlock* block);

int WTM_GSET_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
int WTM_GSET_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
// A byte on the line within a tenth of the time: 0 with 'A', the byte held
// for the receive (it is the answer's first). Nothing: PV_PER_RESET when the
// wait callback asks to stop, else PV_NOT_YET; a line that is gone
// PV_NET_FAILED; the network 0 with 'A' at once; 1 without box or resource.
int WTM_GSET_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);

// The CMC7 line of a read answer is card data in the communication trace:
// the masker of an exchange keeps the first byte the printer answered (the
// read's status) and blots the others. Installed on the port by each send.
bool WTM_MaskTraceExchange(unsigned char* sent, size_t sentLength, unsigned char* received, size_t receivedLength);
void WTM_MaskLineTrace(int port);

// What the script engine binds for protocol 5.
constexpr PapCommandModule kPzrModule = {WTM_GSET_SetCommand, WTM_GSET_GetOneResult, nullptr, WTM_GSET_WaitEvent};
constexpr PapLinkCallbacks kNoneLink = {KT_MNONE_NewProtocol, XA_LinkClose,         NONE_LinkSend,
                                        NONE_LinkReceive,     KT_MNONE_MapRequest, NONE_MapAnswer};
