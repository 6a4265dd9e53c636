// Simple-frame link of the cheque readers (protocols 6, 7 and 8): each side
// opens its turn with ENQ, the other answers ACK, one frame goes, ACK, and
// EOT ends the turn.
//
// Frame: STX 02, the message (not stuffed, at most 8190 bytes), ETX 03, then
// the check byte: the XOR of the message bytes and the ETX, from 0. Control
// bytes ENQ 05, ACK 06, NAK 15, EOT 04 go one at a time. A send makes up to
// four tries (an ENQ not acknowledged, or a frame NAKed, uses one; a NAKed
// frame goes again without a new ENQ); a receive up to four as well (a bad
// frame is NAKed and awaited again). Byte time-outs: 5 x t0 while sending,
// t0 while receiving. Step letters: the port's ('T', 'P', 'R', 'X'), 'S' a
// frame without its STX or ETX, 'F' a message over 8190 bytes or over the
// caller's room, 'E' an unknown frame kind, 'B' a step that failed without
// one. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "protocols/module_contract.h"
#include "protocols/xpro/xpro_context.h"

struct KT_EPERIPH_API;
struct KT_PERES;

constexpr int XAS_MESSAGE_MAX = XPRO_FRAME_SIZE - 3;  // 8190: STX, ETX and the check around it
constexpr int XAS_TRIES = 4;

// ---------------------------------------------------------------------------
// Steps on the context's port
// ---------------------------------------------------------------------------

// Sends what the context's frame kind names: 'a' ACK (2 when sent), 'n' NAK
// (3), 'f' EOT (4), 'g' ENQ (5, the port's input purged and a held byte
// dropped first), 'd' the built frame of `length` bytes (1 when the port
// gives 0 or 'L'). A control byte the port fails to send gives 0 with the
// port's letter; another frame kind 'E' and -1.
int XAS_SendControl(KT_XPROT* ctx, int length = 0);
// The frame of a message into the send buffer (8192 bytes cleared first):
// STX, the message, ETX (the port appends the check byte): its length less
// the check byte. -1 with step letter 'F' for a message over 8190 bytes.
int XAS_BuildFrame(KT_XPROT* ctx, const unsigned char* message, int length);
// Sends the built frame: STX alone, then the rest with the XOR check byte
// appended. The port's result (0, 'E', 'P').
int XAS_WriteFrame(KT_XPROT* ctx, int length);
// Reads the rest of a frame whose STX is in receiveFrame[0], checking its
// check byte: the port's result; *count the bytes kept from the STX to the
// byte that ended the read (ETX, EOT or ETB).
int XAS_ReadFrame(KT_XPROT* ctx, int* count);
// The message of a frame read (STX ... ETX, check byte already checked)
// into out with a NUL after it: 0 with *length; 'S' without the STX or an
// ETX within the count; 'F' when message and NUL pass the room (nothing is
// delivered then).
int XAS_ExtractPayload(const unsigned char* frame, int count, unsigned char* out, int room, int* length);

// The host's turn: 1 when the frame was acknowledged (EOT sent after it);
// -3 after four tries or a step that failed (EOT sent, step letter, the
// step text of the link); -1 with 'F' for a message over 8190 bytes
// (nothing sent).
int XAS_SendSequence(KT_XPROT* ctx, const unsigned char* message, int length);
// The device's turn, its ENQ already taken: ACK, then its frame, ACK, its
// EOT. 2 with the message and a NUL in buffer (room bytes) and *count; 0
// when nothing came; -3 after four bad frames or a step that failed (EOT
// sent, step letter, step text).
int XAS_ReceiveSequence(KT_XPROT* ctx, unsigned char* buffer, int room, int* count);

// Message level: exchange status -1 during, 2 after a good exchange; phase
// 13 sending, 14 receiving, back to 10; the XA step text. Send: 2 done, -1
// failed ('B' when no letter was set), -2 missing input (an empty message
// is a message). Receive: 2 done, -2 failed or nothing came ('T'), with
// *count 0 then; the XA link's closing frame goes first when the phase was
// not idle.
int XAS_SendMessage(KT_XPROT* ctx, const unsigned char* message, int length);
int XAS_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int room, int* count);

// Link callbacks of protocols 6, 7 and 8. Send: the length when the frame
// went, -1 otherwise. Receive: the bytes received (within the capacity less
// one for the NUL), 0 when nothing usable came or the time-out had already
// passed; one attempt after a 10 ms pause.
int XAS_LinkSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
int XAS_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode);

// The wait of the cheque readers: the device's ENQ within a tenth of the
// time gives 0 with 'A' (the ENQ is taken: the receive starts with its
// ACK). Another byte or nothing: PV_PER_RESET when the box's wait callback
// asks to stop, else PV_NOT_YET; a line that is gone PV_NET_FAILED; a
// network resource 0 with 'A' at once; 1 without box or resource.
int XAS_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);

// The comm trace of an exchange on this link: the bytes of the frames the
// device sent (a CMC7 line) are masked, control bytes kept. Installed on
// the port by each send.
bool XAS_MaskTraceExchange(unsigned char* sent, size_t sentLength, unsigned char* received, size_t receivedLength);

// What the script engine binds as the link of protocols 6, 7 and 8.
constexpr PapLinkCallbacks kXasLink = {XAS_LinkOpen,    XA_LinkClose,    XAS_LinkSend,
                                       XAS_LinkReceive, XAS_LinkRequest, XAS_LinkStatus};
