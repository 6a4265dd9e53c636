// The keyboard of the program's console: standard input in raw mode when it
// and standard output are a terminal, read with poll, its keystroke bytes
// turned into the bytes the console's key reader expects (extended keys as
// 0x00 or 0xE0 followed by the scan code, Backspace 0x08, Windows-1252
// letters).
//
// Terminal sequences: arrows, Home, End, Insert, Delete, Page Up and Page
// Down give 0xE0 and their scan code; F1 to F10 give 0x00 0x3B to 0x00 0x44,
// F11 and F12 0x00 0x85 and 0x00 0x86 (modifier parameters are ignored);
// other sequences are dropped. ESC followed by nothing for 50 ms is Escape;
// ESC followed by another byte is Escape and that byte. A UTF-8 letter that
// Windows-1252 holds becomes its byte; one it does not hold is dropped; a
// byte that does not begin a valid UTF-8 sequence passes unchanged (so the
// console's own two-byte keys written raw keep their meaning).
//
// Main thread only.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

// Turns terminal keystroke bytes into console key bytes. A sequence that is
// not complete is held until its next byte, or until expire() (50 ms of
// nothing) gives what it held.
class KeyTranslator {
public:
    static constexpr int kSequencePauseMs = 50;

    // One input byte; the key bytes it completes are appended to out.
    void feed(unsigned char byte, std::string& out);
    // The pause after an incomplete sequence: a lone ESC is Escape; other
    // held bytes come out as they were.
    void expire(std::string& out);
    // True while bytes are held.
    bool holding() const { return state_ != State::Ground; }
    void reset();

private:
    enum class State { Ground, Escape, Csi, CsiBracket, CsiDiscard, Ss3, Utf8 };
    void ground(unsigned char byte, std::string& out);
    void finishCsi(unsigned char final, std::string& out);

    State state_ = State::Ground;
    std::string held_;      // bytes of the sequence so far
    int utf8Needed_ = 0;    // continuation bytes still to come
    uint32_t codePoint_ = 0;
};

// Makes standard input the keyboard when standard input and standard output
// are both a terminal: raw mode (no echo, no line editing, no CR to LF, no
// flow control; Ctrl+C still interrupts), restored at exit and by the
// end-with-code-0 handler. True when the keyboard is open.
bool OpenKeyboard();
// Puts the terminal mode back and forgets the keyboard.
void CloseKeyboard();
// Tests and tools: reads keys from fd as it is (no terminal mode); -1 leaves
// no keyboard. The descriptor stays the caller's.
void SetKeyInput(int fd);
// True while there is a keyboard (an input descriptor that has not ended).
bool KeyboardPresent();

// One key byte: waits up to waitMs for it (negative: without limit, 0: only
// what is there). The byte, -1 when none came in time, -2 when there is no
// keyboard (none was opened or its input ended).
int KeyRead(int64_t waitMs);
// True when a key byte can be read at once.
bool KeyPending();
// Drops every key byte typed so far, and a sequence half received.
void KeyFlush();
// Tests and tools: called each time a key read is about to sleep waiting
// for a key (after any flush; not for the pause of a sequence), so that a
// scripted keyboard can type its next key then. Null: none.
using KeyWaitHook = void (*)(void* context);
void SetKeyWaitHook(KeyWaitHook hook, void* context);
// For the benchmark: how many times a key wait woke up and went back to
// sleep without a key (an idle wait sleeps through to its end: none).
uint64_t KeyWaitWakeups();

// Puts the terminal mode back and writes the bytes that leave the console's
// screen (set with SetConsoleExitBytes); only async-signal-safe calls, for
// the end-with-code-0 handler.
void RestoreConsoleForExit();
// The bytes written to standard output by RestoreConsoleForExit (at most 63;
// null or empty: none).
void SetConsoleExitBytes(const char* bytes);

}  // namespace plat
