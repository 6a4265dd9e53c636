#include "netsim/tcp_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace netsim {

namespace {

constexpr int kSliceMs = 20;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for events in slices, so that a stop flag is seen: 1 ready, 0 time-out
// or stopped, -1 failure.
int WaitFor(int fd, short events, int timeoutMs, const std::atomic<bool>* stop) {
    const int64_t end = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        if (stop != nullptr && stop->load()) return 0;
        int slice = kSliceMs;
        if (end >= 0) {
            const int64_t left = end - NowMs();
            if (left <= 0) return 0;
            if (left < slice) slice = static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, slice);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

bool Link::sendAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Link::sendPieces(const std::string& bytes, const std::vector<size_t>& cuts, int gapMs) {
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut <= from || cut >= bytes.size()) continue;
        if (!sendAll(bytes.substr(from, cut - from))) return false;
        if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        from = cut;
    }
    return sendAll(bytes.substr(from));
}

int Link::receive(std::string* out, int timeoutMs, const std::atomic<bool>* stop) {
    if (fd_ < 0) return -1;
    const int w = WaitFor(fd_, POLLIN, timeoutMs, stop);
    if (w < 0) return -1;
    if (w == 0) return 0;
    char buffer[65536];
    ssize_t n;
    do {
        n = recv(fd_, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;
    out->append(buffer, static_cast<size_t>(n));
    return static_cast<int>(n);
}

bool Link::receiveExactly(size_t n, std::string* out, int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    std::string got;
    while (got.size() < n) {
        const int64_t left = end - NowMs();
        if (left <= 0) break;
        char buffer[4096];
        if (WaitFor(fd_, POLLIN, static_cast<int>(left), nullptr) != 1) break;
        const size_t want = std::min(sizeof buffer, n - got.size());
        const ssize_t r = recv(fd_, buffer, want, 0);
        if (r <= 0) break;
        got.append(buffer, static_cast<size_t>(r));
    }
    out->append(got);
    return got.size() == n;
}

bool Link::waitClosed(int timeoutMs, std::string* out) {
    const int64_t end = NowMs() + timeoutMs;
    for (;;) {
        const int64_t left = end - NowMs();
        if (left <= 0) return false;
        std::string got;
        const int r = receive(&got, static_cast<int>(left));
        if (out != nullptr) out->append(got);
        if (r < 0) return true;
    }
}

void Link::close() {
    if (fd_ < 0) return;
    shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
}

void Link::reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
}

bool Listener::open(uint16_t port, int backlog, int receiveBuffer) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a = Loopback(port);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, backlog) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close();
        return false;
    }
    port_ = ntohs(a.sin_port);
    return true;
}

std::unique_ptr<Link> Listener::accept(int timeoutMs, const std::atomic<bool>* stop) {
    if (fd_ < 0 || WaitFor(fd_, POLLIN, timeoutMs, stop) != 1) return nullptr;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<Link>(fd);
}

void Listener::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::unique_ptr<Link> ConnectLoopback(uint16_t port, int timeoutMs) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int err = 0;
        socklen_t len = sizeof err;
        if (errno != EINPROGRESS || WaitFor(fd, POLLOUT, timeoutMs, nullptr) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return nullptr;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<Link>(fd);
}

bool FullBacklogListener::open() {
    close();
    if (!listener_.open(0, 0)) return false;
    // Fill the accept queue until a connection no longer completes.
    for (int i = 0; i < 64; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        sockaddr_in a = Loopback(listener_.port());
        fillers_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
        if (errno != EINPROGRESS) return false;
        if (WaitFor(fd, POLLOUT, 100, nullptr) == 0) return true;  // this one hangs: the queue is full
    }
    return false;
}

void FullBacklogListener::close() {
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
    listener_.close();
}

uint16_t UnusedLoopbackPort() {
    Listener l;
    if (!l.open(0, 1)) return 0;
    const uint16_t port = l.port();
    l.close();
    return port;
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace netsim
