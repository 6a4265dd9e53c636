// A program run on a pseudo-terminal of 80 x 25 (its standard input, output
// and error), in a session of its own, with a pipe as its descriptor 3 for
// event lines. What it draws is read into a screen reader; keys are written
// on the master side. Waits end when the awaited thing happens, with an
// upper bound. The program is killed and reaped, the descriptors closed,
// whatever happened in the test.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/screen_reader.h"

extern char** environ;

namespace testsupport {

class PtyProgram {
public:
    PtyProgram() = default;
    ~PtyProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {master_, slave_, events_, pidfd_})
            if (fd >= 0) close(fd);
    }
    PtyProgram(const PtyProgram&) = delete;
    PtyProgram& operator=(const PtyProgram&) = delete;

    // Starts the program (its path and arguments); false when it could not.
    bool start(const std::vector<std::string>& args) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
        const char* name = ptsname(master_);
        if (name == nullptr) return false;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) return false;
        winsize size{};
        size.ws_row = ScreenReader::kRows;
        size.ws_col = ScreenReader::kColumns;
        ioctl(master_, TIOCSWINSZ, &size);
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
        events_ = pipeFds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_adddup2(&actions, slave_, fd);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(pipeFds[1]);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        return pidfd_ >= 0;
    }

    // Keys typed on the terminal.
    bool type(const std::string& bytes) {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads what comes until the predicate holds (true) or upperBoundMs
    // passed (false).
    bool waitFor(const std::function<bool()>& done, int upperBoundMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(upperBoundMs);
        for (;;) {
            if (done()) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            // The program's end is seen at once through its pidfd.
            pollfd fds[3] = {{master_, POLLIN, 0}, {exited_ ? -1 : pidfd_, POLLIN, 0}, {events_, POLLIN, 0}};
            const int n = poll(fds, 3, static_cast<int>(left.count()));
            if (n < 0 && errno != EINTR) return false;
            if (n <= 0) continue;
            if (fds[0].revents & (POLLIN | POLLHUP)) readMaster();
            if (fds[1].revents & POLLIN) exited_ = true;
            if (fds[2].revents & (POLLIN | POLLHUP)) readEvents();
        }
    }
    // Waits for the n-th event line beginning with prefix (counted from 1).
    bool waitEvent(const std::string& prefix, int n, int upperBoundMs) {
        return waitFor([&] { return count(prefix) >= n; }, upperBoundMs);
    }
    int count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& e : events_lines_) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    // The last event line beginning with prefix, or "".
    std::string last(const std::string& prefix) const {
        for (auto it = events_lines_.rbegin(); it != events_lines_.rend(); ++it)
            if (it->rfind(prefix, 0) == 0) return *it;
        return {};
    }
    const std::vector<std::string>& events() const { return events_lines_; }

    // Waits for the program to end, reading its last output: its exit code,
    // -1 when it did not end in time or did not exit normally.
    int waitExit(int upperBoundMs) {
        int status = 0;
        const bool ended = waitFor([&] { return exited_ && waitpid(pid_, &status, WNOHANG) == pid_; }, upperBoundMs);
        if (!ended) return -1;
        pid_ = -1;
        // What it wrote last is still in the terminal.
        waitFor([&] { return !readable(master_); }, 1000);
        readEvents();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }

    // The terminal mode as the program left it (our side of the slave).
    termios mode() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    const ScreenReader& screen() const { return screen_; }

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
    }
    void readMaster() {
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) screen_.feed(std::string(buf, static_cast<size_t>(n)));
    }
    void readEvents() {
        char buf[1024];
        while (events_ >= 0) {
            pollfd p{events_, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) break;
            const ssize_t n = read(events_, buf, sizeof buf);
            if (n <= 0) {
                // The program closed its end: no more events.
                close(events_);
                events_ = -1;
                break;
            }
            partial_.append(buf, static_cast<size_t>(n));
        }
        size_t end;
        while ((end = partial_.find('\n')) != std::string::npos) {
            events_lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }

    pid_t pid_ = -1;
    int master_ = -1, slave_ = -1, events_ = -1, pidfd_ = -1;
    bool exited_ = false;
    ScreenReader screen_;
    std::string partial_;
    std::vector<std::string> events_lines_;
};

}  // namespace testsupport
