// The host side of a remote interface exchange with tools/interface_peer,
// the engine of the program running as client in a second process: a
// loopback listener, the peer started on a pseudo-terminal of 80 x 25 (its
// console) with an events pipe as its descriptor 3, and the accepted
// connection as the host's message stream (a network box whose frames are
// written to and read from the socket). The peer, its pty, its files and
// the link go with the object, whatever the test did.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/length_prefixed.h"
#include "comm/message_box.h"
#include "core/helpers.h"
#include "netsim/tcp_link.h"
#include "support/network_stream.h"
#include "support/temp_dir.h"

extern char** environ;

namespace testsupport {

// A network message stream over a connected socket (which stays the
// caller's).
class SocketStream {
public:
    explicit SocketStream(int fd) : fd_(fd), box_(NewNetworkStream(this, Send, Receive)) {}
    ~SocketStream() { FreeNetworkStream(box_); }
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;
    KTX_WSERV* box() const { return box_; }

private:
    // Reads n bytes, waiting at most timeoutMs for each piece (negative: no
    // limit): 1 read, 0 nothing came in time, -1 the link ended.
    int ReadExactly(uint8_t* into, size_t n, int timeoutMs) {
        size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, timeoutMs);
            if (ready == 0) return got == 0 ? 0 : -1;
            if (ready < 0) return -1;
            const ssize_t r = ::read(fd_, into + got, n - got);
            if (r <= 0) return -1;
            got += static_cast<size_t>(r);
        }
        return 1;
    }
    static int Send(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
        auto* self = static_cast<SocketStream*>(transport);
        const auto* bytes = static_cast<const uint8_t*>(frame);
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::send(self->fd_, bytes + done, length - done, MSG_NOSIGNAL);
            if (n <= 0) return -1;
            done += static_cast<size_t>(n);
        }
        return static_cast<int>(length);
    }
    static int Receive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t) {
        auto* self = static_cast<SocketStream*>(transport);
        auto* bytes = static_cast<uint8_t*>(frame);
        if (capacity < KTN_HEADER_SIZE) return -1;
        const int head = self->ReadExactly(bytes, KTN_HEADER_SIZE, timeoutMs);
        if (head <= 0) return head;
        const KtnHeader h = KTN_ParseHeader(bytes);
        if (h.framing != KtnFraming::Own || h.total < KTN_HEADER_SIZE || h.total > capacity) return -1;
        if (self->ReadExactly(bytes + KTN_HEADER_SIZE, h.total - KTN_HEADER_SIZE, KTN_INACTIVITY_MS) != 1) return -1;
        return static_cast<int>(h.total);
    }

    int fd_;
    KTX_WSERV* box_ = nullptr;
};

class InterfacePeer {
public:
    ~InterfacePeer() { Stop(); }

    // Starts the peer with these arguments besides its link and files (none
    // written without files: the benchmarks), and takes its connection:
    // false when any step failed.
    bool Start(const std::vector<std::string>& arguments, bool files = true) {
        if (!listener_.open()) return false;
        int events[2];
        if (::pipe2(events, O_CLOEXEC) != 0) return false;
        events_ = events[0];
        winsize size{};
        size.ws_row = 25;
        size.ws_col = 80;
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, &size) != 0) {
            ::close(events[1]);
            return false;
        }
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        std::vector<std::string> args = {BinPath("interface_peer"), "--connect", std::to_string(listener_.port()),
                                         "--events", "3"};
        if (files) args.insert(args.end(), {"--text", textPath(), "--dump", dumpPath(), "--log", logPath()});
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, slave, fd);
        posix_spawn_file_actions_adddup2(&actions, events[1], 3);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(slave);
        ::close(events[1]);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        // The console's output is read as it comes: a peer never blocks on
        // its screen.
        drain_ = std::thread([this] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n <= 0) return;
                std::lock_guard<std::mutex> g(screenMutex_);
                screen_.append(buffer, static_cast<size_t>(n));
            }
        });
        link_ = listener_.accept(10000);
        if (!link_) return false;
        stream_.emplace(link_->fd());
        return stream_->box() != nullptr;
    }

    KTX_WSERV* stream() const { return stream_ ? stream_->box() : nullptr; }

    // The next event line of the peer, waiting at most timeoutMs; none when
    // it did not come (or the peer ended).
    std::optional<std::string> NextEvent(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t newline = pending_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return std::nullopt;
        }
    }
    // Keys typed on the peer's console.
    bool Type(const std::string& bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What the peer wrote on its console so far.
    std::string screen() const {
        std::lock_guard<std::mutex> g(screenMutex_);
        return screen_;
    }
    // Drops the events already written.
    void DiscardEvents() {
        pending_.clear();
        while (Pump(0)) pending_.clear();
    }
    std::string Read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string textPath() const { return dir_.file("text"); }
    std::string dumpPath() const { return dir_.file("video"); }
    std::string logPath() const { return dir_.file("log"); }
    const TempDir& dir() const { return dir_; }

    // Closes the link and waits (at most 10 s) for the peer to end: its exit
    // code, or -1 when it had to be killed.
    int CloseLink() {
        stream_.reset();
        link_.reset();
        if (pid_ <= 0) return -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        // The events pipe ends when the peer does.
        while (events_ >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) break;
        }
        // With its events pipe closed the peer is exiting: it is waited for.
        int status = 0;
        if (::waitpid(pid_, &status, events_ < 0 ? 0 : WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }

    void Stop() {
        stream_.reset();
        link_.reset();
        if (pid_ > 0) {
            CloseLink();
            if (pid_ > 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        // The peer is gone: its console reads end of file (or an error).
        if (drain_.joinable()) drain_.join();
        for (int* fd : {&events_, &master_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

private:
    // Waits at most timeoutMs for the events pipe: false when nothing came
    // or the pipe ended.
    bool Pump(int timeoutMs) {
        pollfd p[1] = {{events_, POLLIN, 0}};
        if (events_ < 0 || ::poll(p, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        if ((p[0].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t n = ::read(events_, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(events_);
                events_ = -1;
                return false;
            }
            pending_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    TempDir dir_;
    netsim::Listener listener_;
    std::unique_ptr<netsim::Link> link_;
    std::optional<SocketStream> stream_;
    pid_t pid_ = -1;
    int events_ = -1;
    int master_ = -1;
    std::string pending_;
    mutable std::mutex screenMutex_;
    std::string screen_;
    std::thread drain_;
};

}  // namespace testsupport
