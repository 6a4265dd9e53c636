// Processes reached through process descriptors (pidfd): a descriptor names
// one process for good, so its end is seen, and a signal is sent to it,
// even when its pid has meanwhile been given to another process.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// Watches one process (the program's host) for its end.
class WatchedProcess {
public:
    WatchedProcess() = default;
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // Starts watching pid. 0, or an errno value (ESRCH when it has already
    // ended, EINVAL for pid <= 0).
    int Watch(pid_t pid);
    // Watches the parent of this process (the process that started it).
    // ECHILD, and nothing is watched, when the parent is init (the program
    // was started by init, or its starter had gone before it could tell).
    // A parent that ends while the watch starts is seen as ended.
    int WatchParent();
    // After WatchParent: has the kernel send signal `sig` to this process when
    // the parent ends (prctl PR_SET_PDEATHSIG), so that a sleeping wait ends
    // then. A parent that ended meanwhile is seen as ended. The signal is
    // only a hint (it also comes when the thread that started this process
    // ends): HasEnded() stays the test. False when not asked.
    bool SignalAtParentEnd(int sig);
    void Stop();
    bool watching() const { return fd_ >= 0 || ended_; }
    pid_t pid() const { return pid_; }
    // True once the watched process has ended (looks without waiting);
    // false while it runs or when nothing is watched.
    bool HasEnded() const;

private:
    int fd_ = -1;
    pid_t pid_ = 0;
    bool ended_ = false;  // seen ended while the watch started
};

// A process descriptor of pid (readable once the process has ended), or -1
// with errno set. The caller closes it.
int OpenProcessDescriptor(pid_t pid);

// File name (directory stripped) of the program file that process pid runs,
// as /proc/<pid>/exe names it (" (deleted)" taken off); empty when it cannot
// be read.
std::string ProgramFileNameOf(pid_t pid);

// Asks process pid to end with exit code 0 (SIGTERM, which the program's
// handler turns into an end with exit code 0), but only when it runs a
// program file of the given file name, whatever its directory. The process is held through a
// process descriptor while its name is checked, so a pid that was given to
// another process meanwhile is never signalled. Refuses pid <= 0 and this
// process. True when the signal was sent.
bool TerminateProcessNamed(pid_t pid, std::string_view fileName);

}  // namespace plat
