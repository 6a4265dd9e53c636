// A process clock that moves a second each time it is read: waits of
// seconds measured on the process clock end after a few real slices.
#pragma once
#include "platform/clock.h"

namespace testsupport {

class RushingClock : public plat::ManualClock {
public:
    int64_t nowMs() override {
        advance(1000);
        return plat::ManualClock::nowMs();
    }
};

}  // namespace testsupport
