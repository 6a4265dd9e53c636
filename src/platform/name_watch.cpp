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

// One inotify instance per thread, kept for the thread's life: closing an
// instance waits for the kernel's grace period (tens of milliseconds), which
// every wait would otherwise pay at its end. A watch adds the directory to it
// and removes it again when it stops (a removal does not wait). A second
// watch of the same thread while the first runs gets an instance of its own.
struct ThreadInotify {
    int fd = -1;
    bool inUse = false;
    ~ThreadInotify() {
        if (fd >= 0) close(fd);
    }
};
thread_local ThreadInotify t_inotify;

void DrainAll(int fd) {
    alignas(inotify_event) char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

NameWatch::~NameWatch() { Stop(); }

int NameWatch::Start(std::string_view prefix, pid_t pid) {
    Stop();
    prefix_ = std::string(prefix);
    if (pid > 0) process_ = OpenProcessDescriptor(pid);
    if (!t_inotify.inUse) {
        if (t_inotify.fd < 0) t_inotify.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (t_inotify.fd >= 0) {
            DrainAll(t_inotify.fd);  // what the thread's earlier watches left
            inotify_ = t_inotify.fd;
            shared_ = true;
            t_inotify.inUse = true;
        }
    }
    if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) return errno;
    const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE | IN_MODIFY;
    watch_ = inotify_add_watch(inotify_, NamedObjectDirectory().c_str(), mask);
    if (watch_ < 0) {
        const int err = errno;
        Stop();
        return err;
    }
    return 0;
}

void NameWatch::Stop() {
    if (inotify_ >= 0) {
        if (shared_) {
            if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
            t_inotify.inUse = false;
        } else {
            close(inotify_);
        }
    }
    if (process_ >= 0) close(process_);
    inotify_ = process_ = watch_ = -1;
    shared_ = false;
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
