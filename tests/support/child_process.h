// A child program (searched in PATH, no shell) with pipes on its standard
// input and output (standard error goes with the output). Its output is
// collected by a thread, so the child never blocks on a full pipe, and can be
// waited for line by line. The child is killed and reaped when the object
// goes, whatever happened in the test.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program; false when it could not be started.
    bool Start(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]), close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        if (rc != 0) {
            pid_ = -1;
            close(in[1]);
            close(out[0]);
            return false;
        }
        stdin_ = in[1];
        stdout_ = out[0];
        reader_ = std::thread([this] { ReadOutput(); });
        return true;
    }

    pid_t pid() const { return pid_; }

    bool Write(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void CloseInput() {
        if (stdin_ >= 0) close(stdin_);
        stdin_ = -1;
    }

    // Everything the child wrote so far.
    std::string Output() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return output_;
    }
    // True once the output holds the text (false after timeoutMs or when the
    // output ended without it).
    bool WaitForOutput(const std::string& text, int timeoutMs) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return output_.find(text) != std::string::npos || ended_;
        }) && output_.find(text) != std::string::npos;
    }
    // Number of times the text stands in the output.
    int Count(const std::string& text) const {
        std::lock_guard<std::mutex> guard(mutex_);
        int n = 0;
        for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size())) ++n;
        return n;
    }
    // First match of the pattern's first group once it shows, or "".
    std::string WaitForMatch(const std::string& pattern, int timeoutMs) const {
        const std::regex re(pattern);
        std::unique_lock<std::mutex> lock(mutex_);
        std::smatch m;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return std::regex_search(output_, m, re) || ended_; });
        return std::regex_search(output_, m, re) && m.size() > 1 ? m[1].str() : std::string();
    }
    // Waits for the child to end by itself: its exit code, or -1 (time-out
    // or killed by a signal).
    int WaitExit(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                JoinReader();
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (std::chrono::steady_clock::now() >= end) return -1;
            // The output ends when the child does: wait for that, briefly.
            changed_.wait_for(lock, std::chrono::milliseconds(20), [&] { return ended_; });
        }
        return -1;
    }
    // Kills and reaps the child.
    void Stop() {
        CloseInput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        JoinReader();
    }

private:
    void ReadOutput() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
            std::lock_guard<std::mutex> guard(mutex_);
            output_.append(buffer, static_cast<size_t>(n));
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    void JoinReader() {
        if (reader_.joinable()) reader_.join();
        if (stdout_ >= 0) close(stdout_);
        stdout_ = -1;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string output_;
    bool ended_ = false;
};

}  // namespace testsupport
