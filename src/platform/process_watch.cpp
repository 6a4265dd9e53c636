// Process descriptors: watching a process's end and signalling it safely.
#include "platform/process_watch.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <system_error>

namespace plat {

namespace {

// The system calls themselves (the C library's header of this release
// declares them without C linkage).
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U)); }
int PidfdSendSignal(int fd, int sig) { return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0U)); }

// True when the process of the descriptor has ended (its descriptor reads
// ready), without waiting.
bool DescriptorEnded(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, 0);
        if (r >= 0) return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int OpenProcessDescriptor(pid_t pid) { return pid > 0 ? PidfdOpen(pid) : (errno = EINVAL, -1); }

WatchedProcess::~WatchedProcess() { Stop(); }

int WatchedProcess::Watch(pid_t pid) {
    Stop();
    if (pid <= 0) return EINVAL;
    const int fd = PidfdOpen(pid);
    if (fd < 0) return errno;
    fd_ = fd;
    pid_ = pid;
    return 0;
}

int WatchedProcess::WatchParent() {
    const pid_t parent = getppid();
    if (parent <= 1) {
        Stop();
        return ECHILD;
    }
    const int rc = Watch(parent);
    // The parent may have ended between getppid() and pidfd_open(): the pid
    // then names nobody or someone else, and this process has a new parent.
    if (rc == ESRCH || getppid() != parent) {
        Stop();
        pid_ = parent;
        ended_ = true;
        return 0;
    }
    return rc;
}

bool WatchedProcess::SignalAtParentEnd(int sig) {
    if (sig <= 0 || fd_ < 0) return false;
    if (prctl(PR_SET_PDEATHSIG, sig) != 0) return false;
    // A parent that ended before the request was made sends nothing.
    if (getppid() != pid_) ended_ = true;
    return true;
}

void WatchedProcess::Stop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pid_ = 0;
    ended_ = false;
}

bool WatchedProcess::HasEnded() const { return ended_ || (fd_ >= 0 && DescriptorEnded(fd_)); }

std::string ProgramFileNameOf(pid_t pid) {
    if (pid <= 0) return {};
    std::error_code ec;
    std::string path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
    if (ec) return {};
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        path.resize(path.size() - kDeleted.size());
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool TerminateProcessNamed(pid_t pid, std::string_view fileName) {
    if (pid <= 0 || pid == getpid() || fileName.empty()) return false;
    const int fd = PidfdOpen(pid);
    if (fd < 0) return false;
    // The name read under that pid belongs to the descriptor's process as
    // long as that process has not ended by the time the name was read.
    const std::string name = ProgramFileNameOf(pid);
    bool sent = false;
    if (!name.empty() && name == fileName && !DescriptorEnded(fd))
        sent = PidfdSendSignal(fd, SIGTERM) == 0;
    close(fd);
    return sent;
}

}  // namespace plat
