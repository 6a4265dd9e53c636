#include "platform/net_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace plat {

namespace {

WaitStatus WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return WaitStatus::Failed;
            }
            return WaitStatus::Ready;
        }
        if (r == 0) return WaitStatus::TimedOut;
        if (errno != EINTR) return WaitStatus::Failed;
    }
}

}  // namespace

int SocketCreateTcp() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int SocketClose(int fd) { return close(fd); }

namespace {
int SetTimeout(int fd, int option, int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    timeval value{};
    value.tv_sec = timeoutMs / 1000;
    value.tv_usec = (timeoutMs % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) == 0 ? 0 : -1;
}
}  // namespace

int SocketSetSendTimeout(int fd, int timeoutMs) { return SetTimeout(fd, SO_SNDTIMEO, timeoutMs); }
int SocketSetReceiveTimeout(int fd, int timeoutMs) { return SetTimeout(fd, SO_RCVTIMEO, timeoutMs); }

int SocketSetFlag(int fd, SocketFlag flag, bool on) {
    const int value = on ? 1 : 0;
    switch (flag) {
        case SocketFlag::ReuseAddress:
            return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) == 0 ? 0 : -1;
        case SocketFlag::KeepAlive:
            return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) == 0 ? 0 : -1;
        case SocketFlag::NoDelay:
            return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0 ? 0 : -1;
    }
    errno = EINVAL;
    return -1;
}

int SocketSetLinger(int fd, bool on, int seconds) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int SocketSetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == 0 ? 0 : -1;
}


int SocketBind(int fd, uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int SocketBindAny(int fd, uint16_t port) { return SocketBind(fd, htonl(INADDR_ANY), port); }

int SocketListen(int fd, int backlog) { return listen(fd, backlog) == 0 ? 0 : -1; }

int SocketLocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    return ntohs(a.sin_port);
}

int SocketAccept(int fd, uint32_t* peerAddress) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int s;
    do {
        s = accept4(fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s >= 0 && peerAddress != nullptr) *peerAddress = a.sin_addr.s_addr;
    return s;
}

int SocketConnect(int fd, uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(port);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int SocketConnectError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

WaitStatus SocketWaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }

WaitStatus SocketWaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

WaitStatus SocketWaitOrWake(int fd, bool forWrite, int wakeFd, int timeoutMs, bool* woken) {
    if (woken != nullptr) *woken = false;
    if (wakeFd < 0) return WaitFor(fd, forWrite ? POLLOUT : POLLIN, timeoutMs);
    pollfd p[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int r = poll(p, 2, timeoutMs < 0 ? -1 : timeoutMs);
        if (r > 0) {
            if ((p[0].revents | p[1].revents) & POLLNVAL) {
                errno = EBADF;
                return WaitStatus::Failed;
            }
            if (woken != nullptr) *woken = p[1].revents != 0;
            return WaitStatus::Ready;
        }
        if (r == 0) return WaitStatus::TimedOut;
        if (errno != EINTR) return WaitStatus::Failed;
    }
}

WaitStatus SocketWaitAny(SocketWaitItem* items, size_t count, int timeoutMs) {
    std::vector<pollfd> p(count);
    for (size_t i = 0; i < count; ++i) {
        items[i].ready = false;
        p[i] = {items[i].fd, static_cast<short>(items[i].forWrite ? POLLOUT : POLLIN), 0};
    }
    for (;;) {
        const int r = poll(p.data(), static_cast<nfds_t>(count), timeoutMs < 0 ? -1 : timeoutMs);
        if (r > 0) {
            for (size_t i = 0; i < count; ++i) {
                if (p[i].revents & POLLNVAL) {
                    errno = EBADF;
                    return WaitStatus::Failed;
                }
                items[i].ready = p[i].revents != 0;
            }
            return WaitStatus::Ready;
        }
        if (r == 0) return WaitStatus::TimedOut;
        if (errno != EINTR) return WaitStatus::Failed;
    }
}

int WakeCreate() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void WakeSignal(int wakeFd) {
    if (wakeFd < 0) return;
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = write(wakeFd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void WakeDrain(int wakeFd) {
    if (wakeFd < 0) return;
    uint64_t count = 0;
    ssize_t n;
    do {
        n = read(wakeFd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
}

void WakeClose(int wakeFd) {
    if (wakeFd >= 0) close(wakeFd);
}

ssize_t SocketSend(int fd, const void* data, size_t length) {
    ssize_t n;
    do {
        n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t SocketReceive(int fd, void* buffer, size_t capacity, bool peek) {
    ssize_t n;
    do {
        n = recv(fd, buffer, capacity, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    } while (n < 0 && errno == EINTR);
    return n;
}

int SocketShutdown(int fd, ShutdownSide side) {
    const int how = side == ShutdownSide::Receive ? SHUT_RD : side == ShutdownSide::Send ? SHUT_WR : SHUT_RDWR;
    return shutdown(fd, how) == 0 ? 0 : -1;
}

bool SocketWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS;
}

bool ResolveHostIPv4(const char* host, uint32_t* address) {
    if (host == nullptr || *host == '\0' || address == nullptr) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    *address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);
    return true;
}

bool LookupServicePort(const char* service, const char* protocol, uint16_t* port) {
    if (service == nullptr || port == nullptr) return false;
    servent entry{};
    servent* found = nullptr;
    char work[1024];
    if (getservbyname_r(service, protocol, &entry, work, sizeof work, &found) != 0 || found == nullptr)
        return false;
    *port = ntohs(static_cast<uint16_t>(found->s_port));
    return true;
}

bool ReverseLookupIPv4(uint32_t address, std::string* name, std::vector<std::string>* aliases) {
    hostent entry{};
    hostent* found = nullptr;
    int herr = 0;
    std::vector<char> work(8192);
    in_addr a{};
    a.s_addr = address;
    for (;;) {
        const int r = gethostbyaddr_r(&a, sizeof a, AF_INET, &entry, work.data(), work.size(), &found, &herr);
        if (r == ERANGE && work.size() < (1u << 20)) {
            work.resize(work.size() * 2);
            continue;
        }
        if (r != 0 || found == nullptr || found->h_name == nullptr) return false;
        break;
    }
    if (name != nullptr) *name = found->h_name;
    if (aliases != nullptr) {
        aliases->clear();
        for (char** p = found->h_aliases; p != nullptr && *p != nullptr; ++p) aliases->emplace_back(*p);
    }
    return true;
}

std::string IPv4Text(uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace plat
