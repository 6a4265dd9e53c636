// XA link: the link layer of the DORAN terminals (protocol 2) over a serial
// port. The program (the host, side 1) and the terminal (side 2) carry one
// message at a time in dialogues opened and closed with control frames; the
// body travels in data frames with a sequence number, an exchange number and
// an XOR check byte. Application "1030" rides a smaller factory exchange on
// the same framing: one request frame, one answer frame.
//
// Control frame: the control character, fields (ASCII text, each ended by a
// NUL), ETX, then a check byte: XOR from 0xFF of the fields through ETX.
//   ENQ: direction, exchange, link name, application, key index ("%02d")
//   EOT: direction, exchange, link name, application, KerStat, AppStat, AccStat
//   ACK, BEL, NAK, SYN: direction, exchange, link name (an ACK of the
//   terminal may add one field, whose first byte becomes the link flags)
// Data frame: DLE STX, side, sequence, exchange (each sent twice when it is
// DLE), header ('P' from the host), '*', the body (DLE only as DLE DLE, SO,
// SI or US), DLE ETX (last frame) or DLE ETB, then a check byte: XOR from 0
// (0x12 for "1030") of every byte after DLE STX through ETX or ETB.
//
// This header holds the frame codec, which never touches a port (tests and
// the fuzzer drive it byte by byte), and the six link callbacks with the
// dialogue steps, which run on the port API. Main thread only.
#pragma once
#include <cstdint>

#include "protocols/xpro/xpro_context.h"

struct KTM_WPRO;

// Control characters and framing bytes.
constexpr unsigned char XA_STX = 0x02;
constexpr unsigned char XA_ETX = 0x03;
constexpr unsigned char XA_EOT = 0x04;
constexpr unsigned char XA_ENQ = 0x05;
constexpr unsigned char XA_ACK = 0x06;
constexpr unsigned char XA_BEL = 0x07;
constexpr unsigned char XA_SO = 0x0E;
constexpr unsigned char XA_SI = 0x0F;
constexpr unsigned char XA_DLE = 0x10;
constexpr unsigned char XA_NAK = 0x15;
constexpr unsigned char XA_SYN = 0x16;
constexpr unsigned char XA_ETB = 0x17;
constexpr unsigned char XA_US = 0x1F;

// Most bytes after DLE STX, through the closing ETX or ETB.
constexpr int XA_FRAME_MAX = 8190;
// Bytes a data frame adds to its body after DLE STX, at most: side,
// sequence and exchange (each doubled when DLE), header, '*', DLE ETX.
constexpr int XA_DATA_OVERHEAD = 9;
// Largest body of a factory request.
constexpr int XA_FACTORY_BODY_MAX = 150;
// Bytes a frame start is looked for in before the frame counts as garbage.
constexpr int XA_START_SEARCH = 512;
constexpr int XA_TRIES = 4;
// Pause of the pad set-up: the control character goes alone, the rest later.
constexpr int XA_PAD_SPLIT_MS = 520;
constexpr int XA_BEL_STEPS = 10;
constexpr int XA_BEL_STEP_MS = 100;
constexpr int XA_FACTORY_PAUSE_MS = 20;
constexpr int XA_FACTORY_WAIT_MS = 120000;
constexpr int XA_FACTORY_EVENT_MS = 200;
constexpr int XA_RECEIVE_REPEAT_MS = 10;

// Link flags (KT_XPROT::flags).
constexpr int32_t XA_FLAG_ACK_LAST = 0x10;  // the final data frame is acknowledged too (then no EOT)
constexpr int32_t XA_FLAG_ACK_EACH = 0x40;  // every other data frame gets a bare ACK

// Frame kinds (KT_XPROT::frameKind).
constexpr int32_t XA_KIND_CONTROL = 's';
constexpr int32_t XA_KIND_DATA = 'd';
constexpr int32_t XA_KIND_FACTORY = 'b';
constexpr int32_t XA_KIND_NONE = '-';

// The application code of the factory exchange.
constexpr const char* XA_FACTORY_APPLICATION = "1030";

// ---------------------------------------------------------------------------
// Calls the link makes upward, installed by the program at start-up (null
// entries: the least, below).
// ---------------------------------------------------------------------------

struct XaHooks {
    // Hands the body of a dialogue's final data frame, as received (DLE
    // doubled), to the card-data capture; its result is not used. Null: no
    // capture.
    int (*captureCardData)(const unsigned char* body, int length);
    // The pad set-up byte of the EFT context: 1 splits each control frame
    // (its character, then the rest 520 ms later). Null: 0.
    int (*padSetupFlag)();
};
// Installs the hooks (copied); null removes them.
void XA_SetHooks(const XaHooks* hooks);
// The hooks installed.
const XaHooks& XA_Hooks();

// ---------------------------------------------------------------------------
// Frame codec
// ---------------------------------------------------------------------------

// XOR of the bytes from a start value.
uint8_t XA_Xor(uint8_t start, const unsigned char* bytes, int length);

// The fields of a control frame of the context's host block, through ETX
// (the control character and the check byte apart): their length, or -1
// for another character or a room too small.
int XA_ControlFields(const KT_XPROT* ctx, unsigned char control, unsigned char* out, int room);

// A whole data frame (DLE STX through the check byte) of a body already
// DLE-escaped: its length, or -1 when it does not fit the room.
int XA_BuildDataFrame(int side, uint8_t sequence, uint8_t exchange, unsigned char header,
                      const unsigned char* body, int length, bool last, unsigned char* out, int room);

// A whole factory request frame for a key index (0 to 6) and a body of 1 to
// 150 bytes: its length, or -1 (the request is refused with step 'S').
// *status := the answer status byte a key index 2 request expects (2 x the
// low byte of AccStat); a byte of DLE in the body goes out doubled.
int XA_BuildFactoryFrame(int keyIndex, int accStat, int exchange, const unsigned char* body, int length,
                         unsigned char* out, int room, uint8_t* status);

// Checks a frame before it goes byte by byte: it begins DLE STX, a DLE in
// it is followed by DLE, SO, SI or US, it ends DLE ETX or DLE ETB and the
// check byte, and holds at most 8190 bytes after DLE STX. 0, or the step
// letter: 'D' no DLE STX, 'S' a bad DLE pair or no end, 'F' too long.
int XA_CheckFrame(const unsigned char* frame, int length);

// Receiver of one data frame, fed byte by byte once DLE STX was read. It
// keeps the bytes after DLE STX through the closing DLE ETX or DLE ETB (DLE
// pairs stay two bytes); a DLE STX inside the frame starts it over.
class XaDataFrameReader {
public:
    enum class State { Reading, Done, Failed };
    // Feeds with a byte (0 to 255), or kTimeout / kReadError for a read
    // that gave none.
    static constexpr int kTimeout = -1;
    static constexpr int kReadError = -2;

    explicit XaDataFrameReader(bool factory) : start_(factory ? 0x12 : 0x00) { restart(); }
    State feed(int byte);
    State state() const { return state_; }
    // Done: 'L' after DLE ETX, 0 after DLE ETB. Failed: 'T' time-out, 'R'
    // read error, 'S' a bad DLE pair, 'F' over 8190 bytes, 'X' wrong check.
    int letter() const { return letter_; }
    bool last() const { return last_; }
    const unsigned char* bytes() const { return frame_; }
    int length() const { return length_; }
    // Times the frame started over on DLE STX.
    int restarts() const { return restarts_; }

private:
    void restart();
    State fail(int letter);

    unsigned char frame_[XA_FRAME_MAX + 1];
    int length_ = 0;
    uint8_t start_;
    uint8_t check_ = 0;
    bool dle_ = false;
    bool awaitingCheck_ = false;
    bool last_ = false;
    int letter_ = 0;
    int restarts_ = 0;
    State state_ = State::Reading;
};

// The parts of a received data frame (bytes after DLE STX through the
// closing DLE ETX or ETB).
struct XaDataFrame {
    uint8_t side;
    uint8_t sequence;
    uint8_t exchange;
    uint8_t header;
    const unsigned char* body;  // still DLE-escaped
    int bodyLength;
    bool last;
};
// 1 with the parts, 0 when the frame does not have the shape.
int XA_ParseDataFrame(const unsigned char* frame, int length, XaDataFrame* out);

// The answer of a factory request (bytes after DLE STX through DLE ETX):
// 1 no data, 2 with data (*data and *dataLength: the data as received, DLE
// pairs kept; 1 to 150 bytes once undoubled), -1 refused with *letter 'S'
// (shape) or 'R' (status). The status must be `expected` after a key index
// 2 request (expectKeyIndex2), else 0x00, 0x10 or 0x55.
int XA_ParseFactoryAnswer(const unsigned char* frame, int length, bool expectKeyIndex2, uint8_t expected,
                          const unsigned char** data, int* dataLength, int* letter);

// The byte wait of the context's phase and application: t6 for "1030"; t1
// ("1010", "1020") or t0 while opening; t3 ("1010", "1020") or t2 (x 6 with
// flag 0x40) while sending; t4 while closing; t5 otherwise.
int XA_ByteTimeout(const KT_XPROT* ctx);

// ---------------------------------------------------------------------------
// Dialogue steps (on the context's port)
// ---------------------------------------------------------------------------

// A context of this link: XPRO_NewXProt, then the key index, flags 0x40 and
// expect-bare-ACK 0. Null when memory fails (traced).
KT_XPROT* Host_NewXProt(int mode, const char* application, const char* linkName, int keyIndex, int port);

// Sends a whole data or factory frame byte by byte (XA_CheckFrame first):
// 2 (data) or 3 (factory) when sent, with the step letter 'L' after DLE ETX
// and 0 after DLE ETB; 0 when refused or the port failed ('E').
int XA_SendFrame(KT_XPROT* ctx, const unsigned char* frame, int length, int kind);
// Waits for one frame of the terminal, each byte within XA_ByteTimeout: 1 a
// control frame (its character and fields in receiveFrame, the fields taken
// into the terminal's block), 2 a data frame, 3 a "1030" data frame (the
// bytes after DLE STX through DLE ETX or ETB in receiveFrame), 0 nothing
// (silence, or the bare ACK that was expected), -1 failed (the step letter
// says why; frameKind tells a control or data frame that failed from bytes
// that started none). *length := the bytes in receiveFrame.
int XA_ReceiveFrame(KT_XPROT* ctx, int* length);

// The closing frame of the link: the host's EOT, sent once without waiting
// for an answer. 1 sent, 0 the port failed (its letter as the step letter).
// The simple-frame link sends it before it receives when its phase is not
// idle.
int XA_SendEot(KT_XPROT* ctx);

// One message of a dialogue: 2 the whole message went (last), 1 a frame of
// it went (more follow), negative on failure (the dialogue closed).
int XA_SendMessage(KT_XPROT* ctx, const unsigned char* body, int length, int last);
// One message of the terminal into buffer (room of `capacity` bytes; the body
// as received, DLE pairs kept): 2 or 1 as for sending, negative on failure.
// A terminal that answers EOT instead of data gives 2 with the busy text
// (59 bytes) and exchange status 0.
int XA_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int capacity, int* length, int flag);
// Factory request of the context's key index: 1 sent, -1 failed.
int H_FactoryRequest(KT_XPROT* ctx, const unsigned char* body, int length);
// Factory answer: 1 (the busy text) or 2 (the data), -1 failed.
int HSomeThingFromFactory(KT_XPROT* ctx, unsigned char* buffer, int capacity, int* length);
// Forgets the status byte a key index 2 request left for its answer (tests).
void XA_ResetFactoryState();
// The busy text (PAP_RELAY_BUSY_TEXT and its terminator, 59 bytes) into a
// buffer whose room holds it (*length 59); nothing, traced, when not.
void XA_PutBusyText(unsigned char* buffer, int capacity, int* length);

// ---------------------------------------------------------------------------
// The link callbacks of protocol 2 (XA_LinkClose: protocols/xpro/xpro_context.h)
// ---------------------------------------------------------------------------

void* XA_LinkOpen(const char* description);
int XA_LinkSend(void* transport, void* frame, uint32_t length, int32_t ignored, int32_t last);
int XA_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t flag);
int XA_LinkRequest(KTM_WPRO* block);
int XA_LinkStatus(KTM_WPRO* block);
