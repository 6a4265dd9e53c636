// Raw stack ("NONE" stack) of protocol 5: no framing, no check byte, no
// acknowledgement. A request's bytes go to the port as they stand; an
// answer is whatever comes until the line falls silent for 10 ms.
//
// Layers, each with its prefix: KT_MNONE_ the link callbacks and mapping,
// Kt_Mnone_ the exchange steps, KT_INONE_ the buffers and step labels,
// KT_LNONE_ the port. The link context (KT_XPROT) keeps its side at 0 and
// its exchange numbers at 0; its send and receive buffers hold 8193 bytes
// (at most 8191 are received). A byte a wait took off the line ahead of the
// receive (held in the context) is the first byte of the answer. Every
// missing argument is logged and refused (-1); a port failure leaves the
// port's letter as step letter. Main thread only.
#pragma once
#include <cstdint>

#include "comm/message_box.h"
#include "protocols/xpro/xpro_context.h"

// Bytes one receive takes at most.
constexpr uint32_t NONE_RECEIVE_MAX = XPRO_FRAME_SIZE - 2;
// Silence that ends an answer, per byte.
constexpr int NONE_BYTE_TIMEOUT_MS = 10;

// ---------------------------------------------------------------------------
// Link callbacks of protocol 5
// ---------------------------------------------------------------------------

// Open: a context from fields 1 (mode) and 5 (port) of an XPRO descriptor;
// none for a missing text ("Unknown descriptor") or one that is not a whole
// XPRO descriptor ("Bad type (...)").
void* KT_MNONE_NewProtocol(const char* description);
// A new context of the raw stack: the defaults of XPRO_NewXProt, side 0,
// then the mode and the port. None when memory fails.
KT_XPROT* NONE_NewXProt(int mode, int port);
// Request mapping: the network application from rubrique 'A' (when not
// empty), fields 1, 3 and 4 of rubrique 'S', then the body into the block's
// send area: its length. 0 (nothing copied) when 'S' is not a whole XPRO
// descriptor; -1 without a context or a request, or for a body over the
// link's send buffer (8193 bytes, refused before anything is taken).
int KT_MNONE_MapRequest(KTM_WPRO* block);
// Answer mapping: the network application into rubrique 'A', the answer
// descriptor "XPRO/%d/%03d/%s/%s/%03d/%03d/%s/%s/%03d/%03d/" (its exchange
// status on three digits) into 'S', the bytes received into 'M': their
// count, or -1 (no context, no answer half, more than 12700 bytes).
int NONE_MapAnswer(KTM_WPRO* block);
// Send: the length when the bytes went out, -1 otherwise (an empty request
// counts as missing).
int NONE_LinkSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
// Receive: the bytes received within the capacity (0 when nothing came or
// the receive failed); the time-out is not used, the line's silence ends it.
int NONE_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode);

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------

// One send: exchange status -1, phase 13, labels cleared, the bytes out,
// phase 10, the labels of the step letter; status 2 when sent. 1 sent, -1
// missing input, -2 the port failed.
int Kt_Mnone_SomeThingToSend(KT_XPROT* ctx, const unsigned char* bytes, uint32_t length);
// One receive the same way (phase 14): 1 with *count the bytes delivered
// (maybe 0: the line stayed silent, step letter 'T'), -1, -2.
int Kt_Mnone_SomeThingReceived(KT_XPROT* ctx, unsigned char* buffer, uint32_t room, uint32_t* count);
// The bytes into the send buffer (cleared first), then KT_LNONE_PutTrame;
// -1 for missing input or more than the buffer's 8193 bytes.
int KT_INONE_SendCommand(KT_XPROT* ctx, const unsigned char* bytes, uint32_t length);
// KT_LNONE_GetTrame, then the bytes received into the caller's buffer:
// its result; -2 with 'F' when they do not fit the room (nothing copied).
int KT_INONE_GetResult(KT_XPROT* ctx, unsigned char* buffer, uint32_t room, uint32_t* count);
// The send buffer's first `length` bytes to the port (a held byte dropped,
// the input purged first): 1 when the port gave 0 or 'L', else -2 with
// "Emission echouee (%d)".
int KT_LNONE_PutTrame(KT_XPROT* ctx, uint32_t length);
// Reads until the line is silent for 10 ms, at most 8191 bytes (a held byte
// first): 1 with *count what came ('T'); -2 with "Reception echouee (%d)"
// for any other port result, 0 included (8191 bytes without a pause).
int KT_LNONE_GetTrame(KT_XPROT* ctx, uint32_t* count);
// The label of the step letter into AppStat ('S') or KerStat (others) of
// party block 1 and the step text "** INFO. ** [KT_INONE_SynthError] %s
// (Step=%d) (App=%s)", also traced: 1; 0 for a letter without a label (the
// step text cleared); -1 without a context.
int KT_INONE_SynthError(KT_XPROT* ctx);
// Step letter 0, step text cleared, the four labels "________": 1, or -1.
int KT_INONE_ClearError(KT_XPROT* ctx);
int KT_INONE_SetService(KT_XPROT* ctx, int mode);
int KT_INONE_SetResource(KT_XPROT* ctx, int port);
