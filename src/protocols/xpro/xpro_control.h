// Control bytes and byte time-outs of the serial links that run on the link
// context (the P21 link and the simple-frame link), and the byte a wait
// takes off the line ahead of the next receive.
//
// A wait for a terminal's announcement reads one byte from the port; that
// byte belongs to the answer the next receive reads, so the wait holds it in
// the context (receiveFrame[0], flag `held`) instead of dropping it. Every
// send drops a held byte: it purges the line's input at the same time, and a
// stale byte must never prefix a later answer. Main thread only.
#pragma once
#include "protocols/xpro/xpro_context.h"

struct KT_EPERIPH_API;
struct KT_PERES;

// Letters of the frame kinds (also the results of XPRO_ReadControl).
constexpr int XPRO_FRAME_ACK = 'a';    // ACK 06
constexpr int XPRO_FRAME_DATA = 'd';   // STX 02: a data frame starts
constexpr int XPRO_FRAME_EOT = 'f';    // EOT 04
constexpr int XPRO_FRAME_ENQ = 'g';    // ENQ 05
constexpr int XPRO_FRAME_NAK = 'n';    // NAK 15
constexpr int XPRO_FRAME_NONE = '-';   // no control byte came
constexpr int XPRO_FRAME_NOCTX = 'e';  // no context

constexpr int XPRO_CONTROL_READS = 512;  // bytes read at most for one control byte

// Reads the line until a control byte comes: STX 'd', EOT 'f', ENQ 'g',
// ACK 'a', NAK 'n'. ETX and any other byte are passed over, and so are read
// errors; a byte time-out, or 512 bytes without a control byte, gives '-';
// no context 'e'. The receive frame buffer is cleared first (8192 bytes) and
// the control byte found stays in its first byte. A held byte is the first
// byte read. Each read waits the context's current byte time-out.
int XPRO_ReadControl(KT_XPROT* ctx);

// The current byte time-out: t0 while the phase is 14 (receiving), 5 x t0
// otherwise. 1, or -1 without a context.
int XPRO_SetByteTimeOut(KT_XPROT* ctx);

// Holds a byte read ahead for the next receive (replacing one held): 1, or
// -1 without a context.
int XPRO_HoldByte(KT_XPROT* ctx, unsigned char byte);
// Takes the held byte: 1 with *out set and the byte no longer held; 0 when
// none is held; -1 without a context or out.
int XPRO_TakeHeldByte(KT_XPROT* ctx, unsigned char* out);
// Forgets a held byte (nothing without a context).
void XPRO_DropHeldByte(KT_XPROT* ctx);

// The wait of a module whose device announces its answer with a byte on the
// serial line: one byte read from the resource's port within a tenth of the
// time. 0 with *byte; nothing read: PV_PER_RESET when the box's wait
// callback (called with a buffer of its own) asks to stop, else PV_NOT_YET;
// PV_NET_FAILED for a line that is gone.
int XPRO_WaitLineByte(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, unsigned char* byte);
// A module's wait on a network resource has its answer at once: true with
// 'A' in *event (when given) for a network resource, false otherwise.
bool XPRO_NetworkEvent(const KT_PERES* resource, char* event);

// The message level of the serial links around one send or receive: the
// start (exchange status -1, no step letter, the XA step text) with the
// phase of the step; the end: status 2 when done, else step letter 'B'
// when none was set; phase idle, step text again.
void XPRO_BeginMessage(KT_XPROT* ctx, int32_t phase);
void XPRO_EndMessage(KT_XPROT* ctx, bool done);
