// IPv4 stream sockets: the socket calls under the TCP transport, and the name
// look-ups it needs (host, service, reverse name of a peer).
//
// Every call that can fail returns -1 and leaves errno as the call under it
// set it; SocketWouldBlock tells the "try again later" errors apart. Sockets
// are created close-on-exec. No call raises SIGPIPE.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// A new IPv4 stream socket, or -1.
int SocketCreateTcp();
// Closes the socket: the result of close(2).
int SocketClose(int fd);

enum class SocketFlag { ReuseAddress, KeepAlive, NoDelay };
// Sets a boolean option: 0, or -1.
int SocketSetFlag(int fd, SocketFlag flag, bool on);
// SO_LINGER: on/off and the time in seconds; 0, or -1.
int SocketSetLinger(int fd, bool on, int seconds);
// Non-blocking mode on or off; 0, or -1.
int SocketSetNonBlocking(int fd, bool on);
// Send and receive time-outs of a blocking socket (SO_SNDTIMEO,
// SO_RCVTIMEO); 0 none. 0, or -1 with errno.
int SocketSetSendTimeout(int fd, int timeoutMs);
int SocketSetReceiveTimeout(int fd, int timeoutMs);

// Binds to every local address on the port (host order; 0 picks a free
// one); 0, or -1.
int SocketBindAny(int fd, uint16_t port);
// Binds to one local IPv4 address (network order) on the port; 0, or -1.
int SocketBind(int fd, uint32_t address, uint16_t port);
int SocketListen(int fd, int backlog);
// Local port of a bound socket (host order), or -1.
int SocketLocalPort(int fd);

// Accepts one pending connection: the new socket (blocking, close-on-exec)
// and the peer's IPv4 address (network order); -1 on failure.
int SocketAccept(int fd, uint32_t* peerAddress);
// Starts a connection to an IPv4 address (network order) and port (host
// order); 0 when connected at once, -1 otherwise (EINPROGRESS on a
// non-blocking socket means it goes on).
int SocketConnect(int fd, uint32_t address, uint16_t port);
// Outcome of a connection that went on in the background: 0 connected,
// otherwise the errno of its failure.
int SocketConnectError(int fd);

enum class WaitStatus { Ready, TimedOut, Failed };
// Waits at most timeoutMs (negative: no limit) for the socket to become
// readable (or writable). A closed or failed peer counts as ready.
WaitStatus SocketWaitReadable(int fd, int timeoutMs);
WaitStatus SocketWaitWritable(int fd, int timeoutMs);
// As above, also ending when the wake descriptor (below; -1: none) is
// signalled: Ready with *woken true then (the socket may be ready too).
WaitStatus SocketWaitOrWake(int fd, bool forWrite, int wakeFd, int timeoutMs, bool* woken);

// One socket of a wait on several: what is awaited, and after the wait
// whether it came (a closed or failed peer counts as ready).
struct SocketWaitItem {
    int fd = -1;
    bool forWrite = false;
    bool ready = false;
};
// Waits at most timeoutMs (negative: no limit) until one of the sockets is
// ready: Ready (the items say which), TimedOut, or Failed.
WaitStatus SocketWaitAny(SocketWaitItem* items, size_t count, int timeoutMs);

// Wake descriptors: one thread waits on it (SocketWaitOrWake), others
// signal it. A signal stays until drained, so none is lost between a check
// and the wait. Create gives -1 on failure.
int WakeCreate();
void WakeSignal(int wakeFd);
void WakeDrain(int wakeFd);
void WakeClose(int wakeFd);

// One send of the whole buffer: the count taken, or -1. Never waits: a full
// queue gives -1 with EAGAIN, whatever the socket's mode.
ssize_t SocketSend(int fd, const void* data, size_t length);
// One receive of at most capacity bytes (left in place with peek): the count,
// 0 when the peer closed, or -1. Never waits: nothing there gives -1 with
// EAGAIN, whatever the socket's mode.
ssize_t SocketReceive(int fd, void* buffer, size_t capacity, bool peek);

enum class ShutdownSide { Receive, Send, Both };
int SocketShutdown(int fd, ShutdownSide side);

// True for the errors that mean "not yet": EAGAIN, EWOULDBLOCK, EINPROGRESS.
bool SocketWouldBlock(int error);

// First IPv4 address of a host name or dotted address (network order);
// false when there is none.
bool ResolveHostIPv4(const char* host, uint32_t* address);
// Port (host order) of a service name in the services database; false when
// unknown.
bool LookupServicePort(const char* service, const char* protocol, uint16_t* port);
// Host name and aliases of an IPv4 address (network order); false when the
// address has no name.
bool ReverseLookupIPv4(uint32_t address, std::string* name, std::vector<std::string>* aliases);
// Dotted text of an IPv4 address (network order).
std::string IPv4Text(uint32_t address);

}  // namespace plat
