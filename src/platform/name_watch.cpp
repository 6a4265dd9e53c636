// Waiting for a named object: inotify on the objects' directory and a
// process descriptor, in one poll.
#include "platform/name_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/owned_object.h"
#include "platform/process_watch.h"

namespace plat {
namespace {

constexpr int64_t kStepMs = 10;

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

NameWatch::~NameWatch() { Stop(); }

int NameWatch::Start(std::string_view prefix, pid_t pid) {
    Stop();
    prefix_ = std::string(prefix);
    if (pid > 0) process_ = OpenProcessDescriptor(pid);
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) return errno;
    const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE | IN_MODIFY;
    if (inotify_add_watch(inotify_, NamedObjectDirectory().c_str(), mask) < 0) {
        const int err = errno;
        close(inotify_);
        inotify_ = -1;
        return err;
    }
    return 0;
}

void NameWatch::Stop() {
    if (inotify_ >= 0) close(inotify_);
    if (process_ >= 0) close(process_);
    inotify_ = process_ = -1;
}

bool NameWatch::Drain() {
    alignas(inotify_event) char buffer[4096];
    bool relevant = false;
    for (;;) {
        const ssize_t n = read(inotify_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return relevant;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((e->mask & IN_Q_OVERFLOW) != 0) relevant = true;
            if (e->len > 0 && std::string_view(e->name).starts_with(prefix_)) relevant = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
}

NameWatch::Result NameWatch::Wait(int64_t timeoutMs) {
    if (process_ >= 0 && Readable(process_)) return Result::ProcessEnded;
    if (ClockReplaced() || inotify_ < 0) {
        if (timeoutMs > 0) SleepMs(std::min(timeoutMs, kStepMs));
        if (process_ >= 0 && Readable(process_)) return Result::ProcessEnded;
        return inotify_ >= 0 && Drain() ? Result::Changed : Result::TimedOut;
    }
    const int64_t deadline = RealMonotonicMs() + std::max<int64_t>(timeoutMs, 0);
    for (;;) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {process_, POLLIN, 0}};
        const int64_t left = std::max<int64_t>(deadline - RealMonotonicMs(), 0);
        const int r = poll(fds, process_ >= 0 ? 2 : 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
        if (r < 0 && errno != EINTR) return Result::TimedOut;
        if (process_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return Result::ProcessEnded;
        if (r > 0 && Drain()) return Result::Changed;
        if (RealMonotonicMs() >= deadline) return Result::TimedOut;
    }
}

}  // namespace plat
