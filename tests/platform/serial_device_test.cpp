// Serial devices over termios, on a real pseudo-terminal pair: names of
// devices, raw reads and writes within their times, line settings read back,
// what a pseudo-terminal refuses, a hung-up line, and the opener seam.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace {

// A pseudo-terminal pair; the test holds the master.
struct Pty {
    Pty() {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slaveName = name;
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string slaveName;
};

}  // namespace

TEST(SerialDeviceTest, DevicePathsOfDriverValues) {
    struct Case {
        const char* driver;
        const char* path;
    };
    const Case cases[] = {{"COM1", "/dev/ttyS0"}, {"com12", "/dev/ttyS11"}, {"/dev/pts/7", "/dev/pts/7"},
                          {"ttyUSB0", "/dev/ttyUSB0"}, {"COM0", "/dev/COM0"}, {"COMX", "/dev/COMX"}};
    for (const Case& c : cases) EXPECT_EQ(plat::SerialDevicePath(c.driver), c.path) << c.driver;
}

TEST(SerialDeviceTest, OnlyTerminalsOpen) {
    int error = 0;
    EXPECT_EQ(plat::OpenSerialDevice("/nonexistent/tty", &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    char path[] = "/tmp/znp-serial-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(plat::OpenSerialDevice(path, &error), nullptr);
    EXPECT_EQ(error, ENOTTY);
    unlink(path);
}

TEST(SerialDeviceTest, RawBytesWithinTheirTimes) {
    Pty pty;
    ASSERT_GE(pty.master, 0);
    int error = -1;
    auto device = plat::OpenSerialDevice(pty.slaveName, &error);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(error, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw

    ASSERT_EQ(write(pty.master, "\x00\x11\x13\r\n", 5), 5);
    char buffer[16] = {};
    EXPECT_EQ(device->waitReadable(2000), 1);
    int got = 0;
    while (got < 5) {
        const int n = device->read(buffer + got, 16 - got, 200);
        ASSERT_GE(n, 0);
        if (n == 0) break;
        got += n;
    }
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), std::string("\x00\x11\x13\r\n", 5));
    EXPECT_EQ(device->read(buffer, 4, 20), 0);
    EXPECT_EQ(device->waitReadable(10), 0);
    EXPECT_EQ(device->write("AT\r", 3, 100), 3);
    char back[4] = {};
    ASSERT_EQ(read(pty.master, back, 3), 3);
    EXPECT_EQ(std::string(back, 3), "AT\r");

    ASSERT_EQ(write(pty.master, "xyz", 3), 3);
    ASSERT_EQ(device->waitReadable(2000), 1);
    int in = -1, out = -1;
    ASSERT_TRUE(device->queueCounts(&in, &out));
    EXPECT_GE(in, 1);
    EXPECT_TRUE(device->purge());
    EXPECT_EQ(device->read(buffer, 4, 20), 0);
}

TEST(SerialDeviceTest, SettingsReadBackAndWhatAPseudoTerminalRefuses) {
    Pty pty;
    auto device = plat::OpenSerialDevice(pty.slaveName, nullptr);
    ASSERT_NE(device, nullptr);
    plat::SerialLine line;
    line.baud = 19200;
    line.stopBits = 2;
    ASSERT_TRUE(device->setLine(line));
    termios t{};
    tcgetattr(pty.slave, &t);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    plat::SerialLine back;
    ASSERT_TRUE(device->getLine(&back));
    EXPECT_EQ(back.baud, 19200);
    EXPECT_EQ(back.stopBits, 2);
    EXPECT_EQ(back.dataBits, 8);
    // Keep the rate with baud 0; a rate outside the table is refused.
    line.baud = 0;
    line.stopBits = 1;
    EXPECT_TRUE(device->setLine(line));
    tcgetattr(pty.slave, &t);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    line.baud = 12345;
    EXPECT_FALSE(device->setLine(line));
    // The pseudo-terminal driver keeps eight bits without parity.
    line.baud = 9600;
    line.parity = 2;
    line.dataBits = 7;
    EXPECT_FALSE(device->setLine(line));
    // No modem lines, no line error counters.
    EXPECT_FALSE(device->setModemLines(true, true));
    unsigned status = 0;
    EXPECT_FALSE(device->getModemStatus(&status));
    bool errors = false;
    EXPECT_FALSE(device->takeLineErrors(&errors));
    // Queue sizes are kept as asked.
    int in = 0, out = 0;
    EXPECT_TRUE(device->queueSizes(&in, &out));
    EXPECT_EQ(in, plat::kSerialDefaultQueueSize);
    EXPECT_TRUE(device->setQueueSizes(1024, 512));
    EXPECT_TRUE(device->queueSizes(&in, &out));
    EXPECT_EQ(in, 1024);
    EXPECT_EQ(out, 512);
    EXPECT_FALSE(device->setQueueSizes(0, 512));
    EXPECT_TRUE(device->setHardwareFlow(true));
    tcgetattr(pty.slave, &t);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST(SerialDeviceTest, AHungUpLineFails) {
    Pty pty;
    auto device = plat::OpenSerialDevice(pty.slaveName, nullptr);
    ASSERT_NE(device, nullptr);
    close(pty.slave);
    pty.slave = -1;
    close(pty.master);
    pty.master = -1;
    char buffer[4];
    EXPECT_EQ(device->read(buffer, 4, 1000), -1);
    EXPECT_EQ(device->waitReadable(1000), -1);
    EXPECT_EQ(device->write("x", 1, 100), -1);
}

TEST(SerialDeviceTest, WaitsOnAReplacedClockPassOnThatClock) {
    Pty pty;
    auto device = plat::OpenSerialDevice(pty.slaveName, nullptr);
    ASSERT_NE(device, nullptr);
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    const int64_t realStart = plat::RealMonotonicMs();
    char buffer[4];
    EXPECT_EQ(device->read(buffer, 4, 60000), 0);
    EXPECT_EQ(clock.nowMs() - start, 60000);
    EXPECT_EQ(device->waitReadable(5000), 0);
    EXPECT_EQ(clock.nowMs() - start, 65000);
    EXPECT_LT(plat::RealMonotonicMs() - realStart, 5000);
    ASSERT_EQ(write(pty.master, "k", 1), 1);
    EXPECT_EQ(device->read(buffer, 1, 60000), 1);
}

TEST(SerialDeviceTest, TheOpenerSeamHandsOutTheTestsDevices) {
    class Null : public plat::SerialDevice {
    public:
        int read(void*, int, int) override { return 0; }
        int write(const void*, int length, int) override { return length; }
        int waitReadable(int) override { return 0; }
        bool getLine(plat::SerialLine*) override { return true; }
        bool setLine(const plat::SerialLine&) override { return true; }
        bool setHardwareFlow(bool) override { return true; }
        bool setModemLines(bool, bool) override { return true; }
        bool getModemStatus(unsigned* s) override {
            *s = plat::kModemCarrier;
            return true;
        }
        bool takeLineErrors(bool* any) override {
            *any = false;
            return true;
        }
        bool queueCounts(int* i, int* o) override { return *i = *o = 0, true; }
        bool queueSizes(int* i, int* o) override { return *i = *o = 1, true; }
        bool setQueueSizes(int, int) override { return true; }
        bool purge() override { return true; }
    };
    std::string asked;
    plat::SetSerialOpener([&asked](const std::string& path, int*) -> std::unique_ptr<plat::SerialDevice> {
        asked = path;
        return std::make_unique<Null>();
    });
    auto device = plat::OpenSerialDevice("/dev/ttyS0", nullptr);
    plat::SetSerialOpener(nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(asked, "/dev/ttyS0");
    unsigned status = 0;
    EXPECT_TRUE(device->getModemStatus(&status));
    EXPECT_EQ(status, plat::kModemCarrier);
    int error = 0;
    EXPECT_EQ(plat::OpenSerialDevice("/nonexistent/tty", &error), nullptr);
}
