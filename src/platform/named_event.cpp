// Named event: a robust process-shared mutex and condition variable in a small
// shared block.
#include "platform/named_event.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "platform/clock.h"

namespace plat {

namespace {

constexpr uint32_t kMagic = 0x45564e54;  // "EVNT"
// A waiter killed inside pthread_cond_wait can swallow a later signal; waking
// up at least this often to look at the state keeps the others live.
constexpr int64_t kSliceMs = 50;

std::string BlockName(std::string_view name) { return std::string(name) + ".event"; }

void InitState(void* data, bool manual) {
    auto* s = static_cast<NamedEvent::State*>(data);
    pthread_mutexattr_t ma;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&s->mutex, &ma);
    pthread_mutexattr_destroy(&ma);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&s->cond, &ca);
    pthread_condattr_destroy(&ca);
    s->manual = manual ? 1 : 0;
    s->signalled = 0;
    s->waiters = 0;
    s->magic = kMagic;
}

timespec MonotonicIn(int64_t ms);

// Locks the state mutex within timeoutMs (0: try once, negative: no limit);
// 0 or an error number (ETIMEDOUT when another holder kept it). A holder
// that died leaves plain counters behind, which stay usable, so the mutex is
// simply made consistent again.
int LockWithin(NamedEvent::State* s, int64_t timeoutMs) {
    int rc;
    if (timeoutMs < 0) {
        rc = pthread_mutex_lock(&s->mutex);
    } else if (timeoutMs == 0) {
        rc = pthread_mutex_trylock(&s->mutex);
        if (rc == EBUSY) rc = ETIMEDOUT;
    } else {
        const timespec until = MonotonicIn(timeoutMs);
        rc = pthread_mutex_clocklock(&s->mutex, CLOCK_MONOTONIC, &until);
    }
    if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&s->mutex);
    return rc;
}

timespec MonotonicIn(int64_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000);
    ts.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

}  // namespace

NamedEvent::~NamedEvent() { Close(); }

int NamedEvent::Open(std::string_view name, bool manualReset) {
    return OpenImpl(name, manualReset, SharedMemory::Mode::OpenOrCreate);
}

int NamedEvent::OpenExisting(std::string_view name) {
    return OpenImpl(name, false, SharedMemory::Mode::OpenOnly);
}

int NamedEvent::OpenImpl(std::string_view name, bool manualReset, SharedMemory::Mode mode) {
    Close();
    if (name.empty() || name.size() > kMaxName) return EINVAL;
    ShmError err = block_.Open(BlockName(name), sizeof(State), mode,
                               [manualReset](void* data, size_t) { InitState(data, manualReset); });
    if (err != ShmError::None) return block_.lastErrno() != 0 ? block_.lastErrno() : EINVAL;
    auto* s = static_cast<State*>(block_.data());
    if (block_.size() < sizeof(State) || s->magic != kMagic) {
        block_.Close();
        return EPROTO;
    }
    state_ = s;
    return 0;
}

void NamedEvent::Close() {
    state_ = nullptr;
    block_.Close();
}

bool NamedEvent::manualReset() const { return state_ != nullptr && state_->manual != 0; }

bool NamedEvent::Set(int64_t lockTimeoutMs) {
    if (!state_ || LockWithin(state_, lockTimeoutMs) != 0) return false;
    state_->signalled = 1;
    if (state_->manual) pthread_cond_broadcast(&state_->cond);
    else pthread_cond_signal(&state_->cond);
    pthread_mutex_unlock(&state_->mutex);
    return true;
}

bool NamedEvent::Reset(int64_t lockTimeoutMs) {
    if (!state_ || LockWithin(state_, lockTimeoutMs) != 0) return false;
    state_->signalled = 0;
    pthread_mutex_unlock(&state_->mutex);
    return true;
}

EventWait NamedEvent::Wait(int64_t timeoutMs) {
    if (!state_) return EventWait::Failed;
    State* s = state_;
    const int64_t deadline = timeoutMs > 0 ? RealMonotonicMs() + timeoutMs : 0;
    const int locked = LockWithin(s, timeoutMs);
    if (locked == ETIMEDOUT) return EventWait::TimedOut;
    if (locked != 0) return EventWait::Failed;
    ++s->waiters;
    while (!s->signalled) {
        if (timeoutMs == 0) break;
        int64_t slice = kSliceMs;
        if (timeoutMs > 0) {
            int64_t left = deadline - RealMonotonicMs();
            if (left <= 0) break;
            if (left < slice) slice = left;
        }
        timespec until = MonotonicIn(slice);
        int rc = pthread_cond_timedwait(&s->cond, &s->mutex, &until);
        if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(&s->mutex);
        if (rc != 0 && rc != ETIMEDOUT) {
            --s->waiters;
            pthread_mutex_unlock(&s->mutex);
            return EventWait::Failed;
        }
    }
    --s->waiters;
    bool got = s->signalled != 0;
    if (got && !s->manual) s->signalled = 0;
    pthread_mutex_unlock(&s->mutex);
    return got ? EventWait::Signalled : EventWait::TimedOut;
}

int NamedEvent::waiters() const {
    if (!state_ || LockWithin(state_, kDefaultLockMs) != 0) return -1;
    int n = state_->waiters;
    pthread_mutex_unlock(&state_->mutex);
    return n;
}

int NamedEvent::Unlink(std::string_view name) { return SharedMemory::Unlink(BlockName(name)); }

}  // namespace plat
