// Length-prefixed messages: every message on a network link starts with its
// total length (header included) as four upper-case hexadecimal digits and a
// NUL, so that a receiver reading a byte stream knows where it ends.
//
// The field encoder and decoder build and read message bodies with
// printf-like directives; the send and receive move whole messages over a
// network handle. The receiver also accepts two foreign framings ("1218":
// length in two bytes, "1219": length in four decimal digits) and hands them
// on as box frames whose A rubrique is "1218" or "1219"; the sender sends
// such frames back in their own framing.
//
// Header parsing, the codecs and the foreign-frame wrapping are pure
// functions over buffers; the send and receive feed them from any byte
// source, the network dispatch in KTN_EnvoieMessage and KTN_RecoitMessage.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>

constexpr uint32_t KTN_HEADER_SIZE = 5;
// Largest message the receiver takes (its buffer).
constexpr uint32_t KTN_MAX_MESSAGE = 65536;
// Largest total the header can carry.
constexpr uint32_t KTN_MAX_HEADER_TOTAL = 0xFFFF;
// Inactivity time-out inside a message.
constexpr int32_t KTN_INACTIVITY_MS = 5000;

enum class KtnFraming { Own, Foreign1218, Foreign1219, Http, Unknown };

struct KtnHeader {
    KtnFraming framing = KtnFraming::Unknown;
    uint32_t total = 0;  // total length announced (own and foreign framings)
};

// Framing and total length announced by the first five bytes of a message.
KtnHeader KTN_ParseHeader(const uint8_t* first5);

// Writes the own header ("%4.4X" of total, NUL) over the first five bytes;
// false when the total does not fit four digits.
bool KTN_WriteHeader(uint8_t* message, uint32_t total);

// Encoder. Directives (letter in either case): %B and %D (unsigned length,
// bytes: the length in hexadecimal, a NUL, the bytes), %C (one character),
// %L (long: hexadecimal text and NUL), %S (unsigned length, bytes: the bytes
// only), %X (int: hexadecimal text and NUL); '%' before any other character
// writes that character; other characters are copied. The body goes from
// offset 5 and the header last. The total length, or -1 when the message
// would not fit the capacity or the four header digits.
int KTN_V_ReseauPrintf(void* message, uint32_t capacity, const char* format, va_list args);

// Decoder of the same directives, each with an optional modifier: '*' skips
// the field, '+' stores only its length, none stores the field. Arguments of
// a stored field: %C char*; %X int*; %L long*; %B, %D and %S int* (length),
// then buffer and unsigned capacity (a field longer than the capacity is
// reported and not copied). '+' takes only the int* length. Every field is
// checked against the header's total before anything is copied. The count
// of fields stored without modifier, or -1 when a field runs past the total
// or the header is not an own header.
int KTN_V_ReseauScanf(const void* message, const char* format, va_list args);

// Byte source and sink under the send and receive: the results of WNetRead
// and WNetWrite (count, 0 nothing yet, negative failure).
using KtnReader = std::function<int(void* buffer, uint32_t capacity)>;
using KtnWriter = std::function<int(const void* data, uint32_t length)>;

// Receives one message into buffer (capacity bytes): the first five bytes
// within timeoutMs of silence (negative: no limit), the rest within 5000 ms
// of silence. The message length (foreign messages wrapped as box frames and
// NUL-terminated); 0 on time-out or a length the buffer cannot hold; -1 for
// an HTTP request, an unknown header or a total below 5; -2 when the source
// failed (-1 when it failed with -1 inside the message). handleForTrace only
// names the link in the trace.
int KTN_ReceiveFrom(const KtnReader& read, int32_t handleForTrace, void* buffer, uint32_t capacity,
                    int32_t timeoutMs);
// Sends one message of the given length (a box frame whose A rubrique is
// "1218" or "1219" goes as the foreign message held in its M rubrique,
// moved to the start of the buffer). Bytes sent (fewer when the time-out ran
// out), or -1 (nothing to send, length not the header's, or the sink failed).
int KTN_SendTo(const KtnWriter& write, int32_t handleForTrace, void* message, uint32_t length,
               int32_t timeoutMs);

// The same over the current network context (WNetRead / WNetWrite on
// *handle); -1 for a null handle pointer.
int KTN_EnvoieMessage(int32_t* handle, void* message, uint32_t length, int32_t timeoutMs);
int KTN_RecoitMessage(int32_t* handle, void* buffer, uint32_t capacity, int32_t timeoutMs);

// Box wrappers bound as TransSend and TransRecv of network message boxes:
// the transport object is the connection's handle.
int KTN_BoxSend(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
int KTN_BoxRecv(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode);
