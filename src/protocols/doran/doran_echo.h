// The echo of a DORAN terminal on its serial line, byte by byte: a state
// letter, a count, then the count's data bytes.
//   'A' 0        an answer or event is ready ('A' 'A': passed on at once,
//                without announcing anything)
//   'K' 1 x      keep alive ('K' 'A' x: the answer is ready after all)
//   'D' c ESC .. a display echo of c bytes
// The parser never touches the line: DRN_WaitEvent feeds it the bytes it
// reads (or that a read failed), and a fuzzer can do the same.
#pragma once
#include <cstdint>

class DrnEchoParser {
public:
    static constexpr int kFailedRead = -1;
    static constexpr int kBufferSize = 130;  // letter, count and at most 127 data bytes

    enum class Step {
        More,     // feed the next byte
        Event,    // a whole event (letter(), count(), bytes())
        Failed,   // no event: nothing, a wrong byte, or the data stopped
        Refused,  // a malformed count: the wait ends with 1 at once
    };

    DrnEchoParser();
    Step feed(int byte);
    Step step() const { return step_; }

    // The event: letter, count and data as the callback sees them.
    const char* bytes() const { return buffer_; }
    char letter() const { return buffer_[0]; }
    int count() const { return static_cast<unsigned char>(buffer_[1]); }
    // 'A' 'A': passed on without the announcement.
    bool passThrough() const { return passThrough_; }
    // The event announces an answer (a good 'A', or 'K' / 'D' with count
    // 'A' that turned into 'A').
    bool announces() const { return step_ == Step::Event && buffer_[0] == 'A' && !passThrough_; }
    // A read failed inside the data: the warning of the wait is due once.
    bool warned() const { return warned_; }

private:
    Step event();
    Step failed();
    Step becomeAnnouncement();

    enum class State { Letter, Count, Data };
    State state_ = State::Letter;
    Step step_ = Step::More;
    char buffer_[kBufferSize];
    int dataRead_ = 0;
    int wanted_ = 0;
    bool countIsA_ = false;
    bool passThrough_ = false;
    bool warned_ = false;
};
