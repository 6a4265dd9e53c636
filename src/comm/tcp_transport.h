// TCP transport (network type 2 of the network dispatch): listening services
// that identify the connecting till, non-blocking client connections bounded
// by the connect time-out, and short bounded waits on every read, write and
// peek so that the main thread never blocks for long.
//
// Sockets are plain descriptors; -1 means none. Waits: accept 5 ms, read
// 100 ms, peek 10 ms, write 10 s, connect the connect time-out (3 s at
// start-up). The long ones (write, connect) are measured on the process
// clock, so tests can run them in simulated time.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net_socket.h"

// Connect time-out: kept only when both values are 0 or more.
void WTCPSetConnectTimeOut(int32_t seconds, int32_t microseconds);
// The connect time-out in milliseconds (also used by the TLS opens).
int64_t WTCPGetConnectTimeOutMs();

// Listening socket on the service (a port number, or a service name of the
// services database), or -1. The SSL arguments are not used.
int WTCPOpenServer(const char* service, int backlog, int8_t reuse, const char* sslArguments);
// Accepts a waiting client: the socket and its station number; -1 when
// nobody waits (after at most 5 ms), on failure, or for an unknown till.
int WTCPConnect(int listenSocket, int* station);
// Closes a listening socket: the result of the close; -1 for socket -1.
int WTCPClose(int socket);
// Connected client socket (left non-blocking), or -1.
int WTCPOpenClient(const char* host, const char* service);
// Bytes sent (possibly fewer than the length), 0 when the socket did not
// become writable within 10 s or would block, -1 on failure.
int WTCPWrite(int socket, const void* data, uint32_t length);
// Bytes received, 0 when nothing came within 100 ms, -2 on failure or when
// the peer closed.
int WTCPRead(int socket, void* buffer, uint32_t capacity);
// As WTCPRead without consuming (10 ms wait); -1 for socket -1.
int WTCPPeek(int socket, void* buffer, uint32_t capacity);
// Waits at most timeoutMs (on the process clock) for the socket to have
// something to read, or to be closed by the peer: 1, 0 when nothing came,
// -1 for socket -1 or a failed wait.
int WTCPWaitReadable(int socket, int timeoutMs);
// Orderly close (the data already sent still reaches the peer); -1 for -1.
int WTCPDisConnect(int socket);
// Abortive close (unsent data dropped, the peer sees a reset); -1 for -1.
int WTCPHardDisConnect(int socket);
// Non-blocking mode (0 off, else on): 0, or -1 (also for socket -1).
int WTCPSetNonBlocking(int socket, int mode);

// Station number of a peer from its reverse host name (null when it has
// none) and the aliases of that name; -1 when nothing matches. The
// environment variable "C_LOCAL" ("c%d") names the station of a peer that
// matches nothing.
int WTCPIdentifyStation(const char* hostName, const std::vector<std::string>& aliases);
// Station number of an accepted peer (IPv4 address, network order) from its
// reverse host name, as above.
int WTCPPeerStation(uint32_t peerAddress);

// Pieces shared with the TLS transport.
// Port of a service: its leading number when it starts with a digit (0 or
// beyond 65535 is a bad number), else its entry in the services database.
enum class WTCPPortResult { Ok, BadNumber, UnknownName };
WTCPPortResult WTCPServicePort(const char* service, uint16_t* port);
// Waits at most limitMs, measured on the process clock, for the socket to
// become writable (or readable).
plat::WaitStatus WTCPWaitSocket(int fd, bool forWrite, int64_t limitMs);
// A non-blocking socket connected to the address (network order) and port
// within timeoutMs, or -1 with the step that failed (and the number the
// closed socket had, for the messages).
enum class WTCPConnectFailure { None, Socket, NonBlocking, Connect, Wait, TimedOut, Refused };

// Why the last client connection of this thread failed, in words for the
// operator ("Connection refused", "pas de reponse en 5000 ms", "certificat
// refuse: ..."): the TCP and TLS client opens record it, the server
// connection names it with the host and the port. Empty once cleared.
void WNetClearConnectFailure();
void WNetSetConnectFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* WNetLastConnectFailure();
int WTCPConnectSocket(uint32_t address, uint16_t port, int64_t timeoutMs, WTCPConnectFailure* failure,
                      int* failedSocket = nullptr);
