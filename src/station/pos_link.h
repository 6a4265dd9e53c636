// POS link: the program's side of the two mailboxes shared with the client
// library of the cash register, and the event set after each message.
//
// Each mailbox is a status byte ('1' message present, '.' being written, '0'
// taken, 0 never written) and a text area of 10240 bytes. Status bytes are
// read with acquire and written with release ordering: the text is complete
// before '1' is visible, and the reader copies only under '1'.
#pragma once
#include <cstdint>

// A handle on one pair of mailboxes: direction 0 = the program's side (writes
// ToPosMailbox, reads FromPosMailbox), direction 1 = the reverse.
struct PosLinkHandle {
    char* writeMailbox;
    char* readMailbox;
};

// Creates the event "TALVO%03u"; 1, or -1.
int ZelDiaCreateEvent(unsigned station);
// Maps the block of the station (creating it when missing) and returns a new
// handle on the pair of that direction; null on failure.
PosLinkHandle* ZelDiaOpen(int station, int direction);
// Releases the block and the handle; always 0.
int ZelDiaClose(PosLinkHandle* handle);
// Copies a present message into the buffer (always terminated) and marks it
// taken. waitMs 10: look once; 0: look once; negative: wait without limit;
// otherwise poll every 10 ms up to that long. The size given (10240 for 0),
// or 0 when there was no message or no handle.
int ZelDiaRead(char* buffer, int size, PosLinkHandle* handle, int waitMs);
// Puts a message back into the read mailbox; 1, or 0 (no handle, empty text or
// longer than 10239 characters).
int ZelDiaPut(const char* text, PosLinkHandle* handle);
// Writes a message into the write mailbox after waiting for the previous one
// to be taken; the length, or -1 for a message that does not fit (more than
// 10239 characters), a null text, or a previous message still unread at the
// end of the wait (it stays in the mailbox; the new one is not written).
int ZelDiaWrite(const char* text, int length, PosLinkHandle* handle, int signal, int timeoutSec);
// Blocks until a message waits in the handle's read mailbox, `stop` (checked
// once the wait is armed, may be null) says so, the wake signal comes, or
// maxMs (negative: no limit) passes. Without a handle or a wake area it only
// waits for the signal or the time. 1 when a message waits, else 0.
int ZelDiaWaitRequest(PosLinkHandle* handle, int64_t maxMs, bool (*stop)());
// 1 when the other side of the handle's block has declared that it wakes
// this side after each change of a mailbox, so that this side may sleep
// instead of polling; 0 otherwise.
int ZelDiaPeerWakes(const PosLinkHandle* handle);
// 1 when the text holds one of the payment commands {CD}c1{ .. {CD}c10{ (not c4).
int ZelDiaIsPaymentCommand(const char* text);
// The status byte of a mailbox, read with acquire ordering (tests, peers).
char ZelDiaStatus(const char* mailbox);
