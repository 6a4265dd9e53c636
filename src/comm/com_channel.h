// Channels: one class per kind of link under the communication resources,
// with one object of each for the process, the switch that picks the object
// of a resource's type, the serial channel, and the communication trace (a
// binary file per resource of every byte sent and received).
//
// The control blocks are the same for every channel: code 0 line settings,
// 1 line control, 2 modem lines, 3 modem status, 4 queues.
#pragma once
#include <cstddef>
#include <cstdint>

struct KTDK_FILE;

class WComInterface {
public:
    virtual ~WComInterface() = default;
    // 0 with the handle stored; negative on failure.
    virtual int Open(int* handle, KTDK_FILE* config) = 0;
    virtual int Close(int handle) = 0;
    // Bytes read, 0 when nothing came in time, negative on failure.
    virtual int Read(int handle, void* buffer, int size) = 0;
    virtual int Write(int handle, const void* bytes, int length) = 0;
    // Block bytes filled; -1 on failure.
    virtual int ReadIOCtl(int handle, int code, void* block, int size) = 0;
    virtual int WriteIOCtl(int handle, int code, void* block, int size) = 0;
    virtual int Connect(int* handle) = 0;
    // Waits up to timeoutMs for input: 1 input waits, 0 none came, -1
    // failure. A channel that cannot wait on its link sleeps the time and
    // answers 0, so callers look at the queue after it as they would after a
    // sleep.
    virtual int WaitInput(int handle, int timeoutMs);
};

// Control codes and their blocks.
constexpr int WCOM_IOCTL_LINE = 0;
constexpr int WCOM_IOCTL_CONTROL = 1;
constexpr int WCOM_IOCTL_MODEM_LINES = 2;
constexpr int WCOM_IOCTL_MODEM_STATUS = 3;
constexpr int WCOM_IOCTL_QUEUES = 4;

struct WComLineBlock {  // code 0
    uint8_t parity;     // 0 none, 1 odd, 2 even
    uint8_t stopBits;   // 0 one, other two
    uint8_t dataBits;   // 0 five ... 3 eight
    uint8_t speedIndex; // WCOM_SPEEDS index
};
struct WComControlBlock {  // code 1
    int32_t writeTimeout;  // (w + 1) * 10 ms, plus 1 ms per byte
    int32_t readTimeout;   // (r + 1) * 10 ms, plus 1 ms per byte
    uint8_t dsrSensitivity;
    uint8_t dsrOutFlow;
    uint8_t ctsOutFlow;
    uint8_t stored;
    uint8_t dtrControl;  // 0 off, 1 on, 2 handshake
    uint8_t rtsControl;  // 0 off, 1 on, 2 handshake, 3 toggle
    uint8_t unused[2];
};
struct WComModemLinesBlock {  // code 2
    uint8_t dtr;
    uint8_t rts;
};
struct WComModemStatusBlock {  // code 3
    uint8_t status;  // CTS 0x10, DSR 0x20, RING 0x40, carrier 0x80
    uint8_t errors;  // 14 when the line reported errors
};
struct WComQueueBlock {  // code 4
    int32_t inputWaiting;
    int32_t inputSize;
    uint8_t zero8;
    int32_t outputWaiting;
    int32_t outputSize;
    uint8_t zero20;
};
static_assert(sizeof(WComLineBlock) == 4);
static_assert(sizeof(WComControlBlock) == 16);
static_assert(sizeof(WComModemLinesBlock) == 2);
static_assert(sizeof(WComModemStatusBlock) == 2);
static_assert(sizeof(WComQueueBlock) == 24);

// Speeds of the line-settings block, by index.
constexpr int WCOM_SPEED_COUNT = 12;
extern const int WCOM_SPEEDS[WCOM_SPEED_COUNT];

class WComSerial final : public WComInterface {
public:
    int Open(int* handle, KTDK_FILE* config) override;
    int Close(int handle) override;
    int Read(int handle, void* buffer, int size) override;
    int Write(int handle, const void* bytes, int length) override;
    int ReadIOCtl(int handle, int code, void* block, int size) override;
    int WriteIOCtl(int handle, int code, void* block, int size) override;
    int Connect(int* handle) override;
    int WaitInput(int handle, int timeoutMs) override;
};

// The serial write: up to 100 write calls; length when all was written,
// -1 otherwise.
int WComSerialWrite(int handle, const void* bytes, int length);
// Write calls WComSerialWrite makes at most.
constexpr int WCOM_SERIAL_WRITE_ATTEMPTS = 100;

// Selects the channel object of the resource's type: 1, or -1 (no channel
// object) for a missing resource or a type without one. The resource
// becomes current.
int WComSwitch(int number);
WComInterface* WComCurrentChannel();
// The channel object of a type, or null.
WComInterface* WComChannelOfType(int type);
// Tests: a channel of their own in place of the object of a type; null puts
// the object back.
void WComSetChannelOfType(int type, WComInterface* channel);

// Communication trace.
constexpr int WCOM_TRACE_EMISSION = 1;
constexpr int WCOM_TRACE_RECEPTION = 2;
constexpr int WCOM_TRACE_DEFAULT_MAX_KB = 500;

//
// The records of an exchange (what was sent, then what came back) are held
// until the next exchange starts, the link opens or closes, or the trace is
// closed; their card data is then masked (the link's own masker, then
// WSysMaskBytes over what was sent and over what was received) and they are
// written. Records with no data held (markers alone) are written at once.
void WComTraceSetMaxSize(int sizeKb);
int WComTraceGetMaxSize();
int WComTrace(int direction, int status, const void* bytes, int count);
int WComTraceRecord(int direction, int status, const void* bytes, int count);
// Writes what the current resource's trace holds and closes its file.
void WComTraceClose();
// The same for every resource of the table (at the program's end).
void WComTraceCloseAll();

// Masks the card data of one exchange of a link in place, keeping every
// length: the data bytes the program sent, then those it received, each in
// the order they went. Masked bytes read kWSysMaskedByte. True when every
// byte was read by the link's structure: the byte masks then look for no
// card data without structure (WSysMaskBytes with structureKnown).
using WComTraceMasker = bool (*)(unsigned char* sent, size_t sentLength, unsigned char* received,
                                 size_t receivedLength);
// Installs the masker of a resource's link (null removes it); the protocol
// layer that frames the link's messages knows where its card data stands.
void WComTraceSetMasker(int number, WComTraceMasker masker);

struct ComResource;
// Writes what a resource's trace holds and closes its file; the second also
// forgets its masker (the resource table goes).
void WComTraceCloseResource(ComResource* r);
void WComTraceForgetResource(ComResource* r);
