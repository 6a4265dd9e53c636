// P21 link: one terminal message per frame on a serial line.
//
// Frame: STX 02, the message with a DLE 10 put before every 10 and every 03
// of it, ETX 03, then the check byte: the XOR of the message bytes before
// stuffing, from 0 (not stuffed). A frame is built in the context's send
// buffer (8192 bytes at most) and received into its receive buffer. After a
// frame goes out the link reads the first control byte of the terminal's
// answer (within 5 x t0) and holds it for the receive; the receive reads
// the rest byte by byte within t0 each. Step letters: 'S' a frame that does
// not start with STX, 'X' a wrong check byte, 'F' a frame over 8192 bytes
// or a message over the caller's room, 'E' a frame kind that is not data,
// the port's letter ('T', 'P', 'R') when the line fails, 'B' when a step
// fails without one. Main thread only.
#pragma once
#include <cstdint>

#include "protocols/xpro/xpro_context.h"

// Largest frame, STX to check byte.
constexpr int P21_FRAME_MAX = XPRO_FRAME_SIZE - 1;
constexpr int P21_SEND_TRIES = 4;

// ---------------------------------------------------------------------------
// Frames (no port)
// ---------------------------------------------------------------------------

// The frame of a message into out: its length, or -1 when it would not fit
// the room (nothing is written then) or the input is missing.
int P21_StuffFrame(const unsigned char* message, int length, unsigned char* out, int room);
// True when the last of the count bytes (from the STX) is the ETX that ends
// the frame: an ETX after an even run of DLEs of the message (an odd run
// stuffs it).
bool P21_FrameEnded(const unsigned char* frame, int count);
// The message of a whole frame (STX ... ETX check) into out: 0 with *length
// set; 'S' when it does not start with STX or end with ETX before its check
// byte, 'X' when the check byte is wrong, 'F' when the message does not fit
// the room (nothing is delivered then). A DLE followed by DLE or ETX is
// dropped; a lone DLE is kept.
int P21_DecodeFrame(const unsigned char* frame, int count, unsigned char* out, int room, int* length);

// ---------------------------------------------------------------------------
// Steps on the context's port
// ---------------------------------------------------------------------------

// The frame of a message into the send buffer (cleared first): its length;
// -1 with step letter 'F' when it would pass 8192 bytes.
int P21_BuildFrame(KT_XPROT* ctx, const unsigned char* message, int length);
// Sends the built frame (the frame kind must be 'd', else 'E'): a held byte
// is dropped and the input purged, then STX alone and the rest. The port's
// result is the step letter; 1 when it is 0 or 'L', else 0; -1 without a
// context.
int P21_SendData(KT_XPROT* ctx, int length);
// Up to four tries of the frame; after one goes out, the answer's first
// control byte is read and held, and the labels are cleared: 1. After four
// failures -3 with the step letter ('B' when none) and the P21 step text;
// -1 with 'F' for a message whose frame would pass 8192 bytes.
int P21_SendFrame(KT_XPROT* ctx, const unsigned char* message, int length);
// Reads the frame whose first byte is in the receive buffer: 1 with *count
// the frame's bytes (STX to check byte); -1 with the port's letter, or 'F'
// when 8192 bytes came without the ETX that ends it. EOT and ETB inside a
// message are data; only an ETX after an even run of DLEs ends it.
int P21_ReadFrame(KT_XPROT* ctx, int* count);
// Receives one frame: its first byte is the held one, else a control byte
// read within t0 ('T' when none came). 1 with the message (within room) and
// *count; -1 with the step letter.
int P21_ReceiveFrame(KT_XPROT* ctx, unsigned char* buffer, int room, int* count);

// Message level: the exchange status (-1 during, 2 after a good one), the
// phase (13 sending, 14 receiving, back to 10) and the step text of the XA
// form. Send: 2 done, -1 failed, -2 missing input (an empty message is a
// message: 02 03 00). Receive: 1 done, -2 failed or missing input, with
// *count 0 then.
int P21_SendMessage(KT_XPROT* ctx, const unsigned char* message, int length);
int P21_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int room, int* count);

// Link callbacks of protocol 11. Send: the length when the frame went out,
// -1 otherwise. Receive: the bytes received (within the capacity), 0 when
// nothing usable came or the time-out had already passed; one attempt after
// a 10 ms pause.
int P21_LinkSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
int P21_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode);
