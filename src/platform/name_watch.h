// Waiting for a named object to appear: the directory of the named objects
// is watched (inotify) for names that begin with a prefix, together with the
// end of a process (the one expected to make the object), so that the waiter
// sleeps until the object is made instead of trying again and again.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

class NameWatch {
public:
    enum class Result { Changed, ProcessEnded, TimedOut };

    NameWatch() = default;
    ~NameWatch();
    NameWatch(const NameWatch&) = delete;
    NameWatch& operator=(const NameWatch&) = delete;

    // Starts watching for names beginning with `prefix`, and for the end of
    // process `pid` (0: no process). Armed before the caller first looks for
    // the object, so that nothing made after the look is missed. 0, or an
    // errno value (the waits then sleep 10 ms steps instead).
    int Start(std::string_view prefix, pid_t pid = 0);
    void Stop();

    // Sleeps until a name of the prefix is created, renamed into place or
    // changed, the process ends, or timeoutMs (real milliseconds) passes.
    // ProcessEnded as long as the process has ended. On a replaced clock
    // (tests) it looks once and sleeps min(timeoutMs, 10) on that clock.
    Result Wait(int64_t timeoutMs);

private:
    bool Drain();  // true when an event of the prefix (or an overflow) was read

    int inotify_ = -1;
    int watch_ = -1;
    bool shared_ = false;  // the thread's own inotify instance, not closed at the end
    int process_ = -1;
    std::string prefix_;
};

}  // namespace plat
