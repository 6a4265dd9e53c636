// The echo of a DORAN terminal, byte by byte.
#include "protocols/doran/doran_echo.h"

#include <cstring>

namespace {

constexpr unsigned char kEscape = 0x1B;

}  // namespace

DrnEchoParser::DrnEchoParser() { std::memset(buffer_, 0, sizeof buffer_); }

DrnEchoParser::Step DrnEchoParser::event() {
    step_ = Step::Event;
    return step_;
}

DrnEchoParser::Step DrnEchoParser::failed() {
    step_ = Step::Failed;
    return step_;
}

// A 'K' or 'D' whose count was 'A': the announcement after all.
DrnEchoParser::Step DrnEchoParser::becomeAnnouncement() {
    std::memset(buffer_, 0, sizeof buffer_);
    buffer_[0] = 'A';
    return event();
}

DrnEchoParser::Step DrnEchoParser::feed(int byte) {
    if (step_ != Step::More) return step_;
    switch (state_) {
        case State::Letter:
            if (byte != 'A' && byte != 'D' && byte != 'K') return failed();
            buffer_[0] = static_cast<char>(byte);
            state_ = State::Count;
            return step_;
        case State::Count: {
            if (byte < 0) return failed();
            const char letter = buffer_[0];
            buffer_[1] = static_cast<char>(byte);
            // A count of 128 or more is negative as a signed byte.
            if (byte >= 128) {
                step_ = Step::Refused;
                return step_;
            }
            if (letter == 'A') {
                if (byte == 0) return event();
                if (byte == 'A') {
                    passThrough_ = true;
                    return event();
                }
                step_ = Step::Refused;
                return step_;
            }
            if ((letter == 'K' && byte != 1 && byte != 'A') || (letter == 'D' && byte == 0)) {
                step_ = Step::Refused;
                return step_;
            }
            countIsA_ = byte == 'A';
            wanted_ = byte;
            state_ = State::Data;
            return step_;
        }
        case State::Data: {
            const char letter = buffer_[0];
            if (byte < 0) {
                const bool first = !warned_;
                warned_ = true;
                // A 'K' with count 'A' is the announcement after its first
                // data byte, read or not.
                if (countIsA_ && letter == 'K') return becomeAnnouncement();
                // The first failure reads the byte once more; a later one
                // fails the event ('D' with count 'A': the announcement).
                if (first) return step_;
                return countIsA_ && letter == 'D' ? becomeAnnouncement() : failed();
            }
            buffer_[2 + dataRead_++] = static_cast<char>(byte);
            if (letter == 'K' && countIsA_) return becomeAnnouncement();
            if (letter == 'D' && static_cast<unsigned char>(buffer_[2]) != kEscape) {
                if (countIsA_) return becomeAnnouncement();
                return failed();
            }
            if (dataRead_ >= wanted_) return event();
            return step_;
        }
    }
    return step_;
}
