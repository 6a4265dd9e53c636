#include "platform/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

namespace plat {
namespace {

struct BaudEntry {
    int baud;
    speed_t code;
};
constexpr BaudEntry kBauds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                                {150, B150},       {200, B200},       {300, B300},       {600, B600},
                                {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                                {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                                {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

bool BaudCode(int baud, speed_t* code) {
    for (const BaudEntry& e : kBauds)
        if (e.baud == baud) {
            *code = e.code;
            return true;
        }
    return false;
}

int BaudOf(speed_t code) {
    for (const BaudEntry& e : kBauds)
        if (e.code == code) return e.baud;
    return 0;
}

class TermiosDevice final : public SerialDevice {
public:
    explicit TermiosDevice(int fd) : fd_(fd) {}
    ~TermiosDevice() override { ::close(fd_); }

    int read(void* buffer, int size, int timeoutMs) override {
        auto* out = static_cast<unsigned char*>(buffer);
        int got = 0;
        const int64_t end = MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
        while (got < size) {
            const ssize_t n = ::read(fd_, out + got, static_cast<size_t>(size - got));
            if (n > 0) {
                got += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return got > 0 ? got : -1;
            // Nothing yet (a raw line reads 0 then): wait for the rest.
            const int64_t left = end - MonotonicMs();
            if (left <= 0) break;
            // A line that hung up reads nothing more: what came is returned,
            // else the failure.
            const int r = WaitDescriptor(fd_, POLLIN, left);
            if (r < 0 || (r & (POLLHUP | POLLERR | POLLNVAL)) != 0) return got > 0 ? got : -1;
            if (r == 0) break;
        }
        return got;
    }

    int write(const void* bytes, int length, int timeoutMs) override {
        const auto* in = static_cast<const unsigned char*>(bytes);
        int put = 0;
        const int64_t end = MonotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
        while (put < length) {
            const ssize_t n = ::write(fd_, in + put, static_cast<size_t>(length - put));
            if (n > 0) {
                put += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return put > 0 ? put : -1;
            const int64_t left = end - MonotonicMs();
            if (left <= 0) break;
            const int r = WaitDescriptor(fd_, POLLOUT, left);
            if (r < 0 || (r & (POLLERR | POLLHUP)) != 0) return put > 0 ? put : -1;
            if (r == 0) break;
        }
        return put;
    }

    int waitReadable(int timeoutMs) override {
        const int r = WaitDescriptor(fd_, POLLIN, timeoutMs);
        if (r < 0) return -1;
        if (r & (POLLERR | POLLHUP | POLLNVAL)) {
            // Hung up: what is still waiting can be read, then nothing.
            int waiting = 0;
            return ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0 ? 1 : -1;
        }
        return (r & POLLIN) ? 1 : 0;
    }

    bool getLine(SerialLine* line) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        line->parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
        line->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
        switch (t.c_cflag & CSIZE) {
            case CS5: line->dataBits = 5; break;
            case CS6: line->dataBits = 6; break;
            case CS7: line->dataBits = 7; break;
            default: line->dataBits = 8; break;
        }
        line->baud = BaudOf(cfgetospeed(&t));
        return true;
    }

    bool setLine(const SerialLine& line) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        t.c_cflag &= ~(PARENB | PARODD | CSTOPB | CSIZE);
        t.c_iflag &= ~(INPCK | ISTRIP);
        if (line.parity == 1 || line.parity == 2) {
            t.c_cflag |= PARENB;
            if (line.parity == 1) t.c_cflag |= PARODD;
            t.c_iflag |= INPCK;
        }
        if (line.stopBits == 2) t.c_cflag |= CSTOPB;
        switch (line.dataBits) {
            case 5: t.c_cflag |= CS5; break;
            case 6: t.c_cflag |= CS6; break;
            case 7: t.c_cflag |= CS7; break;
            default: t.c_cflag |= CS8; break;
        }
        if (line.baud != 0) {
            speed_t code{};
            if (!BaudCode(line.baud, &code)) return false;
            cfsetispeed(&t, code);
            cfsetospeed(&t, code);
        }
        if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
        // tcsetattr succeeds when any one change was made: read back.
        SerialLine now;
        if (!getLine(&now)) return false;
        return now.parity == (line.parity == 1 || line.parity == 2 ? line.parity : 0) &&
               now.stopBits == (line.stopBits == 2 ? 2 : 1) &&
               now.dataBits == (line.dataBits >= 5 && line.dataBits <= 7 ? line.dataBits : 8) &&
               (line.baud == 0 || now.baud == line.baud);
    }

    bool setHardwareFlow(bool on) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        if (on)
            t.c_cflag |= CRTSCTS;
        else
            t.c_cflag &= ~CRTSCTS;
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    bool setModemLines(bool dtr, bool rts) override {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return false;
        bits = dtr ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
        bits = rts ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
        return ioctl(fd_, TIOCMSET, &bits) == 0;
    }

    bool getModemStatus(unsigned* status) override {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return false;
        unsigned s = 0;
        if (bits & TIOCM_CTS) s |= kModemCts;
        if (bits & TIOCM_DSR) s |= kModemDsr;
        if (bits & TIOCM_RNG) s |= kModemRing;
        if (bits & TIOCM_CAR) s |= kModemCarrier;
        *status = s;
        return true;
    }

    bool takeLineErrors(bool* any) override {
        serial_icounter_struct counts{};
        if (ioctl(fd_, TIOCGICOUNT, &counts) != 0) return false;
        const long total = static_cast<long>(counts.frame) + counts.parity + counts.overrun + counts.brk +
                           counts.buf_overrun;
        *any = errorsSeen_ && total != lastErrors_;
        errorsSeen_ = true;
        lastErrors_ = total;
        return true;
    }

    bool queueCounts(int* input, int* output) override {
        int in = 0, out = 0;
        if (ioctl(fd_, FIONREAD, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0) return false;
        *input = in;
        *output = out;
        return true;
    }

    // The tty layer sizes its buffers itself: the sizes asked are kept and
    // reported, as the queues hold at least that much.
    bool queueSizes(int* input, int* output) override {
        *input = inputSize_;
        *output = outputSize_;
        return true;
    }
    bool setQueueSizes(int input, int output) override {
        if (input <= 0 || output <= 0) return false;
        inputSize_ = input;
        outputSize_ = output;
        return true;
    }

    bool purge() override { return tcflush(fd_, TCIOFLUSH) == 0; }

private:
    int fd_;
    int inputSize_ = kSerialDefaultQueueSize;
    int outputSize_ = kSerialDefaultQueueSize;
    bool errorsSeen_ = false;
    long lastErrors_ = 0;
};

std::mutex g_openerMutex;
SerialOpener g_opener;

}  // namespace

std::string SerialDevicePath(const std::string& driver) {
    if (!driver.empty() && driver[0] == '/') return driver;
    if (driver.size() > 3 && strncasecmp(driver.c_str(), "COM", 3) == 0) {
        char* end = nullptr;
        const long n = std::strtol(driver.c_str() + 3, &end, 10);
        if (end != nullptr && *end == '\0' && n >= 1 && n <= 256) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + driver;
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& path, int* error) {
    {
        std::lock_guard<std::mutex> guard(g_openerMutex);
        if (g_opener) return g_opener(path, error);
    }
    int dummy = 0;
    if (error == nullptr) error = &dummy;
    *error = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    termios t{};
    if (!isatty(fd) || tcgetattr(fd, &t) != 0) {
        *error = ENOTTY;
        ::close(fd);
        return nullptr;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = errno;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TermiosDevice>(fd);
}

void SetSerialOpener(SerialOpener opener) {
    std::lock_guard<std::mutex> guard(g_openerMutex);
    g_opener = std::move(opener);
}

int WaitDescriptor(int fd, short events, int64_t timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    pollfd p{fd, events, 0};
    if (!ClockReplaced()) {
        for (;;) {
            const int r = ::poll(&p, 1, static_cast<int>(timeoutMs > INT32_MAX ? INT32_MAX : timeoutMs));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return -1;
            return r > 0 ? p.revents : 0;
        }
    }
    // A replaced clock: look, then let the time pass on that clock in steps
    // of a sixty-fourth of the wait, looking again after each.
    const int64_t end = MonotonicMs() + timeoutMs;
    const int64_t step = std::max<int64_t>(1, timeoutMs / 64);
    for (;;) {
        const int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) return p.revents;
        const int64_t left = end - MonotonicMs();
        if (left <= 0) return 0;
        SleepMs(std::min(step, left));
    }
}

}  // namespace plat
