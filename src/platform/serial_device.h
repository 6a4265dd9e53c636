// Serial devices: a termios line opened raw and non-blocking, read and written
// within time limits (poll on the descriptor), its line settings, modem lines
// and queues.
//
// SerialDevice is also the seam for what a pseudo-terminal cannot do: modem
// lines, line errors and queue sizes. A test installs an opener that hands
// out devices of its own (SetSerialOpener) and checks what the layers above
// ask of them.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace plat {

// Line settings.
struct SerialLine {
    int parity = 0;    // 0 none, 1 odd, 2 even
    int stopBits = 1;  // 1 or 2
    int dataBits = 8;  // 5 to 8
    int baud = 9600;   // bits per second; 0: a rate none of the standard ones (read), keep the rate (write)
};

// Modem status bits.
constexpr unsigned kModemCts = 0x10;
constexpr unsigned kModemDsr = 0x20;
constexpr unsigned kModemRing = 0x40;
constexpr unsigned kModemCarrier = 0x80;

// Queue size reported before any is asked: the size of the tty line buffer.
constexpr int kSerialDefaultQueueSize = 4096;

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Reads until size bytes came or timeoutMs passed: the count (0 when
    // nothing came), -1 when the line failed (hung up) before any byte.
    virtual int read(void* buffer, int size, int timeoutMs) = 0;
    // Writes within timeoutMs: the count written (it may be short), -1 when
    // the line failed before any byte.
    virtual int write(const void* bytes, int length, int timeoutMs) = 0;
    // Waits up to timeoutMs for a byte to read: 1 one is there, 0 none came,
    // -1 the line failed.
    virtual int waitReadable(int timeoutMs) = 0;

    virtual bool getLine(SerialLine* line) = 0;
    // Applies the settings; false when the device refused any of them.
    virtual bool setLine(const SerialLine& line) = 0;
    // Hardware flow control (RTS/CTS).
    virtual bool setHardwareFlow(bool on) = 0;
    // Raises or lowers DTR and RTS; false when the device has no modem lines.
    virtual bool setModemLines(bool dtr, bool rts) = 0;
    // CTS, DSR, RING and carrier as kModem* bits; false when not available.
    virtual bool getModemStatus(unsigned* bits) = 0;
    // Whether framing, parity, overrun or break errors were counted since the
    // last call; false when the device cannot tell.
    virtual bool takeLineErrors(bool* any) = 0;
    // Bytes waiting to be read and bytes not yet sent.
    virtual bool queueCounts(int* input, int* output) = 0;
    // Sizes of the input and output queues.
    virtual bool queueSizes(int* input, int* output) = 0;
    // Asks for queue sizes; false when refused.
    virtual bool setQueueSizes(int input, int output) = 0;
    // Drops what waits in both directions.
    virtual bool purge() = 0;
};

// Device path of a "Driver" value: "COMn" is "/dev/ttyS<n-1>", a value that
// begins with '/' is a path, anything else is a name under "/dev/".
std::string SerialDevicePath(const std::string& driver);

// Opens a serial device: raw mode, 9600 8N1 kept as the device has it,
// non-blocking, not the controlling terminal, closed on exec. Null with an
// errno value in *error (ENOTTY for a file that is not a terminal).
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, int* error);

// The seam: an opener used in place of the termios one; an empty function
// puts the termios opener back.
using SerialOpener = std::function<std::unique_ptr<SerialDevice>(const std::string& path, int* error)>;
void SetSerialOpener(SerialOpener opener);

// Waits up to timeoutMs for events on a descriptor (poll): the revents, 0 on
// time-out, -1 on failure. With a replaced clock (tests of long waits) it
// looks once and sleeps the time on that clock instead.
int WaitDescriptor(int fd, short events, int64_t timeoutMs);

}  // namespace plat
