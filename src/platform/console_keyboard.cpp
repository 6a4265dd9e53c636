#include "platform/console_keyboard.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace plat {

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr size_t kSequenceMax = 32;

// Windows-1252 bytes 0x80-0x9F by their code points (0: the byte has none).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The Windows-1252 byte of a code point, or -1.
int Cp1252Byte(uint32_t codePoint) {
    if (codePoint >= 0xA0 && codePoint <= 0xFF) return static_cast<int>(codePoint);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] != 0 && kCp1252High[i] == codePoint) return 0x80 + i;
    return -1;
}

void Extended(std::string& out, unsigned char lead, unsigned char scan) {
    out += static_cast<char>(lead);
    out += static_cast<char>(scan);
}

// Keys of the final letter of a cursor sequence (ESC [ x or ESC O x): 0 when
// the letter names none.
bool CursorKey(unsigned char final, std::string& out) {
    switch (final) {
        case 'A': Extended(out, 0xE0, 0x48); return true;  // up
        case 'B': Extended(out, 0xE0, 0x50); return true;  // down
        case 'C': Extended(out, 0xE0, 0x4D); return true;  // right
        case 'D': Extended(out, 0xE0, 0x4B); return true;  // left
        case 'H': Extended(out, 0xE0, 0x47); return true;  // home
        case 'F': Extended(out, 0xE0, 0x4F); return true;  // end
        case 'P': Extended(out, 0x00, 0x3B); return true;  // F1
        case 'Q': Extended(out, 0x00, 0x3C); return true;  // F2
        case 'R': Extended(out, 0x00, 0x3D); return true;  // F3
        case 'S': Extended(out, 0x00, 0x3E); return true;  // F4
        default: return false;
    }
}

// Keys of "ESC [ n ~".
bool TildeKey(int n, std::string& out) {
    switch (n) {
        case 1:
        case 7: Extended(out, 0xE0, 0x47); return true;  // home
        case 2: Extended(out, 0xE0, 0x52); return true;  // insert
        case 3: Extended(out, 0xE0, 0x53); return true;  // delete
        case 4:
        case 8: Extended(out, 0xE0, 0x4F); return true;  // end
        case 5: Extended(out, 0xE0, 0x49); return true;  // page up
        case 6: Extended(out, 0xE0, 0x51); return true;  // page down
        case 11: case 12: case 13: case 14: case 15:
            Extended(out, 0x00, static_cast<unsigned char>(0x3B + n - 11));  // F1-F5
            return true;
        case 17: case 18: case 19: case 20: case 21:
            Extended(out, 0x00, static_cast<unsigned char>(0x40 + n - 17));  // F6-F10
            return true;
        case 23: Extended(out, 0x00, 0x85); return true;  // F11
        case 24: Extended(out, 0x00, 0x86); return true;  // F12
        default: return false;
    }
}

}  // namespace

void KeyTranslator::reset() {
    state_ = State::Ground;
    held_.clear();
    utf8Needed_ = 0;
    codePoint_ = 0;
}

void KeyTranslator::ground(unsigned char byte, std::string& out) {
    if (byte == kEsc) {
        state_ = State::Escape;
        held_.assign(1, static_cast<char>(byte));
        return;
    }
    if (byte == 0x7F) {
        out += '\x08';
        return;
    }
    int needed = 0;
    if (byte >= 0xC2 && byte <= 0xDF) needed = 1;
    else if (byte >= 0xE0 && byte <= 0xEF) needed = 2;
    else if (byte >= 0xF0 && byte <= 0xF4) needed = 3;
    if (needed == 0) {
        out += static_cast<char>(byte);
        return;
    }
    state_ = State::Utf8;
    held_.assign(1, static_cast<char>(byte));
    utf8Needed_ = needed;
    codePoint_ = byte & (needed == 1 ? 0x1F : needed == 2 ? 0x0F : 0x07);
}

void KeyTranslator::finishCsi(unsigned char final, std::string& out) {
    // The first parameter, the rest (modifiers) ignored.
    int first = -1;
    size_t i = 2;
    if (i < held_.size() && held_[i] >= '0' && held_[i] <= '9') {
        first = 0;
        while (i < held_.size() && held_[i] >= '0' && held_[i] <= '9' && first < 1000)
            first = first * 10 + (held_[i++] - '0');
    }
    if (final == '~') TildeKey(first, out);
    else CursorKey(final, out);
    reset();
}

void KeyTranslator::feed(unsigned char byte, std::string& out) {
    switch (state_) {
        case State::Ground: ground(byte, out); return;
        case State::Escape:
            if (byte == '[') {
                state_ = State::Csi;
                held_ += static_cast<char>(byte);
            } else if (byte == 'O') {
                state_ = State::Ss3;
                held_ += static_cast<char>(byte);
            } else {
                // Escape, then the byte as it comes (a second ESC starts again).
                out += static_cast<char>(kEsc);
                reset();
                ground(byte, out);
            }
            return;
        case State::Ss3:
            CursorKey(byte, out);
            reset();
            return;
        case State::CsiBracket:
            // Function keys of the Linux console: ESC [ [ A to E.
            if (byte >= 'A' && byte <= 'E') Extended(out, 0x00, static_cast<unsigned char>(0x3B + byte - 'A'));
            reset();
            return;
        case State::Csi:
            if (byte == '[' && held_.size() == 2) {
                state_ = State::CsiBracket;
                held_ += static_cast<char>(byte);
            } else if (byte >= 0x20 && byte <= 0x3F) {
                held_ += static_cast<char>(byte);
                // Too long to be a key: the rest of it is dropped too.
                if (held_.size() > kSequenceMax) state_ = State::CsiDiscard;
            } else if (byte >= 0x40 && byte <= 0x7E) {
                finishCsi(byte, out);
            } else {
                // Not part of a sequence: the sequence is dropped, the byte
                // read as it comes.
                reset();
                ground(byte, out);
            }
            return;
        case State::CsiDiscard:
            if (byte >= 0x20 && byte <= 0x3F) return;
            reset();
            if (byte < 0x40 || byte > 0x7E) ground(byte, out);  // not its end: read as it comes
            return;
        case State::Utf8: {
            const unsigned char lead = static_cast<unsigned char>(held_[0]);
            bool valid = byte >= 0x80 && byte <= 0xBF;
            if (valid && held_.size() == 1) {
                // Second byte ranges that exclude overlong and surrogate forms.
                if (lead == 0xE0) valid = byte >= 0xA0;
                else if (lead == 0xED) valid = byte <= 0x9F;
                else if (lead == 0xF0) valid = byte >= 0x90;
                else if (lead == 0xF4) valid = byte <= 0x8F;
            }
            if (!valid) {
                // Not UTF-8: the held bytes pass as they were.
                out += held_;
                reset();
                ground(byte, out);
                return;
            }
            held_ += static_cast<char>(byte);
            codePoint_ = (codePoint_ << 6) | (byte & 0x3F);
            if (--utf8Needed_ == 0) {
                const int mapped = Cp1252Byte(codePoint_);
                if (mapped >= 0) out += static_cast<char>(mapped);
                reset();
            }
            return;
        }
    }
}

void KeyTranslator::expire(std::string& out) {
    if (state_ == State::Ground) return;
    if (state_ != State::CsiDiscard) out += held_;  // a lone ESC is the ESC byte itself
    reset();
}

namespace {

struct Keyboard {
    int fd = -1;
    bool ownTerminal = false;  // raw mode set on fd
    bool ended = false;
    termios saved{};
    KeyTranslator translator;
    std::deque<unsigned char> keys;
    int64_t lastByteMs = 0;
    uint64_t wakeups = 0;
    KeyWaitHook hook = nullptr;
    void* hookContext = nullptr;
};

Keyboard& Board() {
    static Keyboard* board = new Keyboard;
    return *board;
}

// Copies for the signal handler (no locks, no allocation there).
std::atomic<int> g_rawFd{-1};
termios g_savedForSignal{};
char g_exitBytes[64] = {};
std::atomic<size_t> g_exitLength{0};

void RestoreAtExit() { CloseKeyboard(); }

// Reads what the descriptor holds now (at most one read) into the
// translator. False when the input ended.
bool ReadAvailable(Keyboard& k) {
    unsigned char buffer[64];
    ssize_t n;
    do {
        n = ::read(k.fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        k.ended = true;
        std::string out;
        k.translator.expire(out);
        for (char c : out) k.keys.push_back(static_cast<unsigned char>(c));
        return false;
    }
    if (n < 0) return true;
    std::string out;
    for (ssize_t i = 0; i < n; ++i) k.translator.feed(buffer[i], out);
    for (char c : out) k.keys.push_back(static_cast<unsigned char>(c));
    k.lastByteMs = MonotonicMs();
    return true;
}

// Gives what a sequence held once its pause is over.
void ExpireIfDue(Keyboard& k) {
    if (!k.translator.holding()) return;
    if (MonotonicMs() - k.lastByteMs < KeyTranslator::kSequencePauseMs) return;
    std::string out;
    k.translator.expire(out);
    for (char c : out) k.keys.push_back(static_cast<unsigned char>(c));
}

// Reads everything the descriptor holds at once.
void Drain(Keyboard& k) {
    while (k.fd >= 0 && !k.ended) {
        pollfd p{k.fd, POLLIN, 0};
        int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && (p.revents & POLLNVAL) != 0) {
            k.ended = true;  // not an open descriptor: no keyboard
            break;
        }
        if (r <= 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) break;
        if (!ReadAvailable(k)) break;
    }
}

int PopKey(Keyboard& k) {
    const int key = k.keys.front();
    k.keys.pop_front();
    return key;
}

}  // namespace

bool OpenKeyboard() {
    Keyboard& k = Board();
    if (k.ownTerminal) return true;
    if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) return false;
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return false;
    k.saved = mode;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) return false;
    g_savedForSignal = k.saved;
    g_rawFd.store(STDIN_FILENO, std::memory_order_release);
    static bool registered = false;
    if (!registered) registered = std::atexit(RestoreAtExit) == 0;
    k.fd = STDIN_FILENO;
    k.ownTerminal = true;
    k.ended = false;
    k.translator.reset();
    k.keys.clear();
    return true;
}

void CloseKeyboard() {
    Keyboard& k = Board();
    if (k.ownTerminal) {
        g_rawFd.store(-1, std::memory_order_release);
        tcsetattr(k.fd, TCSANOW, &k.saved);
        k.ownTerminal = false;
    }
    k.fd = -1;
    k.ended = false;
    k.translator.reset();
    k.keys.clear();
}

void SetKeyInput(int fd) {
    CloseKeyboard();
    Board().fd = fd;
}

bool KeyboardPresent() {
    const Keyboard& k = Board();
    return (k.fd >= 0 && !k.ended) || !k.keys.empty();
}

int KeyRead(int64_t waitMs) {
    Keyboard& k = Board();
    const int64_t start = MonotonicMs();
    bool slept = false;
    for (;;) {
        Drain(k);
        ExpireIfDue(k);
        if (!k.keys.empty()) return PopKey(k);
        if (k.fd < 0 || k.ended) return -2;
        const int64_t now = MonotonicMs();
        int64_t timeout = waitMs < 0 ? INT32_MAX : start + waitMs - now;
        if (timeout <= 0 || now < start) return -1;  // time is up, or the clock went back
        if (k.translator.holding()) {
            // Wake up when the pause of the sequence is over.
            const int64_t pause = k.lastByteMs + KeyTranslator::kSequencePauseMs - now;
            if (pause < timeout) timeout = pause < 0 ? 0 : pause;
        } else if (k.hook != nullptr) {
            k.hook(k.hookContext);
        }
        if (slept) ++k.wakeups;
        WaitDescriptor(k.fd, POLLIN, timeout);
        slept = true;
    }
}

bool KeyPending() {
    Keyboard& k = Board();
    Drain(k);
    ExpireIfDue(k);
    return !k.keys.empty();
}

void KeyFlush() {
    Keyboard& k = Board();
    Drain(k);
    k.translator.reset();
    k.keys.clear();
}

void SetKeyWaitHook(KeyWaitHook hook, void* context) {
    Keyboard& k = Board();
    k.hook = hook;
    k.hookContext = context;
}

uint64_t KeyWaitWakeups() { return Board().wakeups; }

void RestoreConsoleForExit() {
    const int fd = g_rawFd.load(std::memory_order_acquire);
    if (fd >= 0) tcsetattr(fd, TCSANOW, &g_savedForSignal);
    const size_t length = g_exitLength.load(std::memory_order_acquire);
    if (length > 0) {
        ssize_t ignored = ::write(STDOUT_FILENO, g_exitBytes, length);
        (void)ignored;
    }
}

void SetConsoleExitBytes(const char* bytes) {
    g_exitLength.store(0, std::memory_order_release);
    if (bytes == nullptr) return;
    const size_t length = strnlen(bytes, sizeof g_exitBytes - 1);
    std::memcpy(g_exitBytes, bytes, length);
    g_exitLength.store(length, std::memory_order_release);
}

}  // namespace plat
