// RUDA command module (protocol 16) as the script engine drives it: the
// frame rules of its set and get entry points (request frames, answer
// frames with the transport marker, the card-removal check, the re-arming of
// answer rows), its wait for a terminal event, and the link callbacks of
// protocol 16.
//
// Operations whose request and answer are wired here, with the arguments
// the set reads after the operation code and those the get reads (both in
// this order):
//   1       set: none (nothing sent)        get: none
//   10      set: CardReadRecord*            get: CardReadRecord*
//   100     set: CardReadRecord*            get: CardReadRecord*, TerminalResultArea*, int restart
//   11, 101 set: none                       get: TerminalResultArea*
//   14, 130 set: none                       get: none
//   131     set: const CtlsTransactionData*, int (not sent), int country (-1 none)
//                                           get: CardReadRecord*, TerminalResultArea*, int restart
//   132     set: none                       get: CardReadRecord*, TerminalResultArea*
//   159     set: int (reader power)         get: none
//   180     set: none                       get: int32_t* inserted
//   152/102 set: int first, int second      get: char* serial-number text (or null)
//   70      set: RudaPinRecord*             get: RudaPinRecord*
//   181     set: POT*                       get: POT*, RudaCandidateRecord[kRudal2CandidateMax]
//   182     set: POT*, const RudaCandidateEntry* (list ended by an empty entry)
//                                           get: POT*, RudaCandidateRecord[kRudal2CandidateMax]
//   183     set: POT*, const RudaContinueValues*   get: POT*
//   184     set: POT*                       get: POT*
//   31      set: POT*, const RudaStepArgument*  (the step is POT's step register)
//                                           get: POT*, const RudaStepArgument*, RudaCallerBuffer*
// The screen operations (0, 2-5, 9, 160, 161, 163, 165, 166, 170, 171,
// 178) and their arguments are listed in ruda_display.h, the printing and
// file operations in ruda_print_files.h, the terminal information in
// ruda_terminal_info.h, the device, key and security operations in
// ruda_device.h. The send
// and receive callbacks of the block link are in ruda_transport.cpp.
#pragma once
#include <cstdarg>

#include "protocols/module_contract.h"

// Set: the frame length; 0 when no request is built; -1 for an unknown code
// or a refused argument; -2 without box or resource.
int RUDA_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
// Get: the status of the operation's answer.
int RUDA_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
// Wait event: 0 with 'A' as soon as a byte waits on the port (or at once on
// the network stream); PV_NOT_YET after the time-out; PV_PER_RESET when the
// wait callback asked to stop (the port is not touched); 1 without box or
// resource; PV_NET_FAILED when the line is gone (hung up, closed by the
// terminal), at once.
int RUDA_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);
// 1 when the code is one of the module's operations.
int RUDA_IsOperation(int code);
// The module's answer buffer (12701 bytes), as the last get left it.
const unsigned char* RUDA_AnswerBuffer();

// Ciphers a built request in place when the box's stream-encryption switch
// is on (operations 90 and 95 stay clear): 1 ciphered (*apdu replaced by
// marker and cipher text, the clear request wiped and freed), 0 left
// clear, -1 failed (the request is freed, *apdu null).
int RUDA_CipherForBox(const KT_EPERIPH_API* box, int operation, unsigned char** apdu, int* length);

// Link callbacks of protocol 16: the send emits the request as blocks (four
// attempts), the receive joins the answer's blocks into the frame and gives
// its length, 0 when none came whole.
void* RUDA_LinkOpen(const char* description);
int RUDA_LinkSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
int RUDA_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode);
