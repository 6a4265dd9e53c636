// The main loop's wait between passes.
#include "app/loop_wait.h"

#include <algorithm>

#include "app/main_loop.h"
#include "app/startup.h"
#include "core/helpers.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"

namespace {

// States that hand over to the next one at once: end of transaction, error
// answer, back to idle.
bool PassesStraightOn(int state) { return state == 100 || state == 102 || state == 103; }

// Milliseconds until the idle behaviour is due (0: due now).
int64_t IdleBehaviourDueInMs() {
    const int limit = Options.TimeBeforeIdleBehaviour;
    if (limit <= 0) return 0;
    const WTimeStamp& start = GetLoopStartupState().idleStamp;
    const WTimeStamp now = WGetTimeStamp();
    const int64_t elapsed =
        (static_cast<int64_t>(now.time) - start.time) * 1000 + static_cast<int64_t>(now.millitm) - start.millitm;
    if (elapsed < 0 || elapsed >= limit) return 0;
    return limit - elapsed;
}

}  // namespace

PassMark MarkOfPass(const EFTCBox* c, const TransactionRecord* r) {
    PassMark mark;
    if (c != nullptr) mark.state = c->loopState;
    if (r != nullptr) {
        mark.step = r->step;
        mark.processingMode = r->processingMode;
    }
    return mark;
}

int64_t NextPassDelayMs(const EFTCBox* c, const TransactionRecord* r, const PassMark* before) {
    if (c == nullptr || r == nullptr || c->loopState < 0) return 0;
    // Something to write or to read already: the next pass does it.
    if (c->posAnswer[0] != '\0' || c->posCommand[0] != '\0' || c->posRequest[0] != '\0') return 0;
    const int state = c->loopState;
    if (PassesStraightOn(state)) return 0;
    if (state != 0) {
        if (r->step == 2) return 0;
        // A working pass that moved the work on (a new state, step or
        // processing mode) leaves the next one something to do now; one that
        // found nothing new waits for the pace of the working states.
        if (before != nullptr && !(MarkOfPass(c, r) == *before)) return 0;
        return kPassSleepMs;
    }
    // Idle. A cash register that does not wake the program is polled as
    // before.
    if (c->posLink != nullptr && ZelDiaPeerWakes(c->posLink) == 0) return kPassSleepMs;
    int64_t delay = kIdleHeartbeatMs;
    if (Options.UploadTime[0] != '\0') {
        // The scheduled maintenance is due at a time of day given to the
        // second: look at each new second.
        delay = std::min<int64_t>(delay, 1000 - plat::RealtimeMs() % 1000);
    }
    if (r->barcodeActive >= 1) {
        const int64_t due = IdleBehaviourDueInMs();
        delay = std::min<int64_t>(delay, due > 0 ? due : kPassSleepMs);
    }
    return std::max<int64_t>(delay, kPassSleepMs);
}

void WaitForNextPass(const PassMark& before) {
    const EFTCBox* c = GetEftContext();
    const int64_t delay = NextPassDelayMs(c, GetTransactionRecord(), &before);
    if (delay <= 0) return;
    PosLinkHandle* link = c->posLink;
    // A working state that leaves a request in the mailbox for later is
    // paced as before rather than woken again and again.
    if (c->loopState != 0 && link != nullptr && ZelDiaStatus(link->readMailbox) == poslink::kStatusPresent) {
        plat::SleepMs(delay);
        return;
    }
    ZelDiaWaitRequest(link, delay, HostHasEnded);
}
