// RUDA block link: the blocks that carry an APDU between the program and the
// terminal, their cutting and joining, the ciphered form of requests and
// answers, the transport marker of answers, the receiver as a state machine
// and the texts of the terminal status words.
//
// Nothing here reads or writes a port: the sender gives the bytes to emit,
// the receiver takes the bytes that arrived with the time they arrived at and
// says when an answer is complete or the exchange failed. The link callbacks
// of the script engine drive them over the port API.
//
// Block: NAD, PCB, LEN (0 to 254), LEN information bytes, LRC (exclusive or
// of every byte before it).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t RUDA_NAD_COMMAND = 0x01;
constexpr uint8_t RUDA_NAD_CARD = 0x11;
constexpr uint8_t RUDA_PCB_MORE = 0x01;
constexpr uint8_t RUDA_PCB_CIPHERED = 0x02;
constexpr uint8_t RUDA_PCB_STEP = 0x40;
constexpr int kRudaBlockDataMax = 254;
constexpr int kRudaBlockOverhead = 4;
// Largest answer payload the module takes (answer buffer of 12701 bytes).
constexpr int kRudaAnswerMax = 12700;
// Transport marker written in front of an answer when the option asks it:
// "PRTTRSPW", 01, the first block's PCB.
constexpr int kRudaTransportMarkerLength = 10;
// Cipher overhead of a request: marker, sequence number and padding.
constexpr int kRudaCipherOverhead = 14;
constexpr int kRudaStreamKeyLength = 24;
// Wait for each read of the port (first time-out of the link context).
constexpr int kRudaReadTimeoutMs = 300;

// ---------------------------------------------------------------------------
// Block container
// ---------------------------------------------------------------------------

struct RUDAMessage {
    unsigned char* buffer;
    int capacity;  // starts at 128, grows to powers of two
    int first;     // position of the first block
    int end;       // position after the last block
    uint8_t nad;
};

RUDAMessage* RUDAMessage_new();
void RUDAMessage_free(RUDAMessage* message);
// Grows the buffer to hold `needed` bytes (the smallest power of two at least
// as large, at least 128); the old content is kept. 1, or 0 when memory fails
// (traced; the old buffer stays).
int RUDAMessage_setCorrectLength(RUDAMessage* message, int needed);
// Sets the NAD of every block held.
void RUDAMessage_setNAD(RUDAMessage* message, uint8_t nad);
// Cuts the data into blocks of 254 bytes (all but the last with PCB bit 0),
// PCB bit 1 in the first block when ciphered, each with its LRC. An empty
// message is one block of length 0. 1, or 0 when memory fails (nothing held).
int RUDAMessage_setData(RUDAMessage* message, const unsigned char* data, int length, bool ciphered);
// Takes raw received bytes (one or more blocks). 1, or 0.
int RUDAMessage_takeRaw(RUDAMessage* message, const unsigned char* bytes, int length);
// The raw bytes held.
const unsigned char* RUDAMessage_raw(const RUDAMessage* message, int* length);
// Joins the data of the blocks, following the chain while PCB bit 0 is set;
// the number of bytes written, or -1 when a block runs past the bytes held or
// the data do not fit the room.
int RUDAMessage_getData(const RUDAMessage* message, unsigned char* out, int room);
// The status word: the last two data bytes of the joined message (0 when
// fewer than two).
int RUDAMessage_getSw(const RUDAMessage* message);
// 1 when the first block has PCB bit 1.
int RUDAMessage_isCiphered(const RUDAMessage* message);

// Exclusive or of the bytes.
uint8_t RUDA_Lrc(const unsigned char* bytes, int length);

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

// NAD of a request: 11 for 00 FD, classes 01 to BF and E0 to EF, and class 00
// with instruction 20, 82, 88, A4, B0, B2, C0 or FF; 01 otherwise.
uint8_t RUDA_ChooseNad(const unsigned char* request, int length);

// The bytes to emit for one request, built afresh at every attempt from the
// request as given: 00 FF gives the bytes after those two as they are; 00 FD
// and 00 FE give the bytes after them as a ciphered message; any other
// request is the message itself, a class DF going as class 00. The buffer is
// sized from the request. Null when the request is missing or memory fails;
// the caller frees the message with RUDAMessage_free.
RUDAMessage* RUDA_BuildSendBlocks(const unsigned char* request, int length);

// ---------------------------------------------------------------------------
// Ciphering
// ---------------------------------------------------------------------------

// Milliseconds since midnight UTC of a wall-clock time in milliseconds since
// 1970: the sequence number of a ciphered request.
uint32_t RUDA_SequenceNumber(int64_t epochMs);

// Ciphers a request of the given operation with the 24-byte stream key
// (triple DES, CBC, zero IV, PKCS#7 padding over the request and the 4-byte
// sequence number): marker 00 FD or 00 FE (operation 158, already 00 FF,
// keeps its prefix), then the cipher text. out needs length +
// kRudaCipherOverhead bytes of room. The length written, or -1 ("-- ERROR --
// Stream encryption error" traced).
int RUDA_CipherRequest(const unsigned char* request, int length, int operation,
                       const unsigned char* key, uint32_t sequence, unsigned char* out, int room);

// Takes the transport marker off an answer payload and deciphers it when the
// marker says so; in place. *length is the payload length on entry and the
// answer's length on return; *ciphered := 1 when it was ciphered. 0 done
// (also an answer without marker, left as it is), -2 when a ciphered answer
// cannot be deciphered (no key, bad cipher text, no room for its sequence
// number; traced). Status words 9F51, 9F53, 9F54, 9F55 are traced.
int RUDA_UnwrapAnswer(unsigned char* payload, int* length, const unsigned char* key, int* ciphered);

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

// Result letters of the link.
constexpr char RUDA_LETTER_NONE = 0;
constexpr char RUDA_LETTER_SOFT = 'B';
constexpr char RUDA_LETTER_OVERFLOW = 'F';
constexpr char RUDA_LETTER_TIMEOUT = 'T';
constexpr char RUDA_LETTER_CHECK = 'X';

struct RudaReceiverOptions {
    bool transportAdded = false;       // the 10-byte marker before the answer
    int readTimeoutMs = kRudaReadTimeoutMs;
    int room = kRudaAnswerMax + kRudaTransportMarkerLength;  // receive room
};

// Receives one answer: blocks until one without PCB bit 0. Feed it the bytes
// as they arrive with the current time; ask it for its state at any time.
class RudaBlockReceiver {
public:
    enum class State {
        Waiting,   // more bytes are needed
        Done,      // the answer is complete
        Failed,    // the exchange failed: see letter()
    };

    explicit RudaBlockReceiver(RudaReceiverOptions options = {});
    ~RudaBlockReceiver();
    RudaBlockReceiver(const RudaBlockReceiver&) = delete;
    RudaBlockReceiver& operator=(const RudaBlockReceiver&) = delete;

    // Starts a new answer at time now.
    void start(int64_t nowMs);
    // Takes bytes that arrived at time now; *consumed := the bytes used (the
    // rest belongs after the answer, or is not read after a failure).
    State feed(const unsigned char* bytes, int count, int64_t nowMs, int* consumed = nullptr);
    // The state at time now: a read that waited longer than the read time-out
    // ends the answer ('T' when nothing of a block came, 'B' inside a block).
    State poll(int64_t nowMs);
    // When the next byte must have arrived.
    int64_t deadline() const { return lastMs_ + options_.readTimeoutMs; }

    State state() const { return state_; }
    char letter() const { return letter_; }
    // The answer (transport marker first when the option asks it).
    const unsigned char* answer() const { return answer_; }
    int length() const { return length_; }
    // Status word of the answer (0 while fewer than two bytes).
    int statusWord() const;
    // 2 when the last block's PCB had bit 6, else 1 (0 before a block).
    int stepCode() const { return stepCode_; }
    // Set when the first block said the answer is ciphered.
    bool ciphered() const { return ciphered_; }
    int blocks() const { return blocks_; }

private:
    State fail(char letter);
    void endBlock();

    RudaReceiverOptions options_;
    unsigned char* answer_ = nullptr;
    int length_ = 0;
    unsigned char block_[kRudaBlockOverhead + kRudaBlockDataMax];
    int have_ = 0;  // bytes of the current block
    int64_t lastMs_ = 0;
    State state_ = State::Waiting;
    char letter_ = RUDA_LETTER_NONE;
    int stepCode_ = 0;
    bool ciphered_ = false;
    int blocks_ = 0;
};

// ---------------------------------------------------------------------------
// Communication trace
// ---------------------------------------------------------------------------

// The communication-trace masker of a RUDA line (a WComTraceMasker): the
// blocks of one exchange are joined into the request and its answers. The
// data field of a VERIFY (its PIN block) is masked whole; the card-data
// elements of every other request and of every answer are masked (status
// words, block headers and check bytes stay); an answer that is not a
// structure of elements is masked whole when its request asks for card data
// (READ RECORD, READ BINARY, GET PROCESSING OPTIONS, card status D0 60 and
// D0 61, contactless start C0 A0) or is not known, and so are bytes that do
// not make a block. Ciphered messages are left as they are. True when every
// byte made a block.
bool RUDA_MaskTraceExchange(unsigned char* sent, size_t sentLength, unsigned char* received, size_t receivedLength);
// Installs RUDA_MaskTraceExchange as the trace masker of the port's line: the
// line's trace masks the card data of what the link carries.
void RUDA_MaskLineTrace(int port);

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

// Text of a terminal status word, or null when it is not a known one.
const char* RUDA_StatusWordText(int sw);
// The text, or "Unknown error %x", into out; out.
const char* RUDA_DescribeStatusWord(int sw, char* out, int size);
// 8-character label of a result letter ("_X_TIME_" for 'T' ...), or null.
const char* RUDA_StepLabel(char letter);
// "[RUDA_Transport():<label>:-Step=<letter as a number>-App=<code>]" into out
// (cleared first; at most size - 1 characters); 1 when the letter has a
// label, else 0 with out empty.
int RUDA_FormatTransportMessage(char letter, const char* applicationCode, char* out, int size);
