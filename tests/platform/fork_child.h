// A forked child process with a pipe each way, for tests that need a second
// real process. The child runs a function and _exit()s with its result; the
// two sides synchronise by passing single characters.
#pragma once
#include <cerrno>
#include <csignal>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// One end of the pair of pipes.
class Channel {
public:
    Channel() = default;
    Channel(int in, int out) : in_(in), out_(out) {}
    bool send(char c) const {
        for (;;) {
            ssize_t n = write(out_, &c, 1);
            if (n == 1) return true;
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
    }
    // The next character, or 0 when none came within timeoutMs (real time:
    // only a broken test waits that long).
    char receive(int timeoutMs = 10000) const {
        pollfd p{in_, POLLIN, 0};
        for (;;) {
            int r = poll(&p, 1, timeoutMs);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return 0;
            char c = 0;
            ssize_t n = read(in_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            return n == 1 ? c : 0;
        }
    }
    int in_ = -1;
    int out_ = -1;
};

class ForkedChild {
public:
    // Runs body(channel) in a child process; its return value is the exit code.
    explicit ForkedChild(const std::function<int(Channel&)>& body) {
        int toChild[2], toParent[2];
        if (pipe(toChild) != 0 || pipe(toParent) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(toParent[0]);
            Channel ch(toChild[0], toParent[1]);
            int rc = 99;
            try {
                rc = body(ch);
            } catch (...) {
                rc = 98;
            }
            _exit(rc);
        }
        close(toChild[0]);
        close(toParent[1]);
        channel_ = Channel(toParent[0], toChild[1]);
    }
    ~ForkedChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (channel_.in_ >= 0) close(channel_.in_);
        if (channel_.out_ >= 0) close(channel_.out_);
    }
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool send(char c) const { return channel_.send(c); }
    char receive(int timeoutMs = 10000) const { return channel_.receive(timeoutMs); }
    // Exit code, 128 + signal when killed, -1 on failure.
    int wait() {
        if (pid_ <= 0 || reaped_) return -1;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        reaped_ = true;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return -1;
    }
    int killAndWait() {
        kill(pid_, SIGKILL);
        return wait();
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    Channel channel_;
};

}  // namespace testsupport
