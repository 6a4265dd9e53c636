// TLS transport (network type 4 of the network dispatch): listening TLS
// services with one pump thread per accepted client, TLS client connections
// to the payment servers with their certificates, server name and resumed
// sessions, and, through the shared connection table, client connections
// opened and pumped by an owner thread.
//
// The dispatch reaches the transport through SSLInterface, whose current
// object is SSLShared (client connections handed to an owner through the
// table) until WSSLSetInterface(0) selects SSLImpl (the TLS work done in
// this process). Every connection is an entry of the shared connection
// table; handles are entry ids.
//
// Threads: the main thread opens, accepts, reads, writes and closes; each
// accepted client and each shared client connection has a pump thread that
// alone uses its TLS connection and socket. Every wait of the main thread is
// bounded: connect and handshake by the connect time-out of the TCP
// transport, a direct read 100 ms, a peek 10 ms, a write 10 s; sockets are
// non-blocking, so no TLS call blocks past these.
#pragma once
#include <openssl/types.h>

#include <cstdint>
#include <map>
#include <string>

using WSSLArgumentMap = std::map<std::string, std::string>;

class SSLInterface {
public:
    virtual ~SSLInterface() = default;
    virtual int32_t OpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments) = 0;
    virtual int32_t OpenServer(const char* service, int backlog) = 0;
    virtual int32_t Connect(int32_t listenHandle, int32_t* station) = 0;
    virtual int Close(int32_t value) = 0;
    virtual int32_t OpenClient(const char* host, const char* service, int32_t sslType, const char* hostCert,
                               const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused) = 0;
    virtual int32_t OpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                                 const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                                 const char* sslArguments, const WSSLArgumentMap* sslArgumentMap) = 0;
    virtual void OpenClientForShare(int32_t handle) = 0;
    virtual int32_t PingServer(const char* host, const char* service, int32_t sslType, const char* hostCert,
                               const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused) = 0;
    virtual int Write(int32_t handle, const void* data, uint32_t length) = 0;
    virtual int Read(int32_t handle, void* buffer, uint32_t capacity) = 0;
    virtual int Peek(int32_t handle, void* buffer, uint32_t capacity) = 0;
    virtual int DisConnect(int32_t handle) = 0;
    virtual int HardDisConnect(int32_t handle) = 0;
};

// The two transport objects and the current one.
SSLInterface& WSSLImplInterface();
SSLInterface& WSSLSharedInterface();
SSLInterface& WSSLCurrentInterface();
// 0 selects SSLImpl, any other value SSLShared.
void WSSLSetInterface(int flag);

// Forwarders the network dispatch calls on the current object.
int32_t OpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments);
int32_t Connect(int32_t listenHandle, int32_t* station);
int32_t OpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                     const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                     const char* sslArguments, const WSSLArgumentMap& sslArgumentMap);
int Write(int32_t handle, const void* data, uint32_t length);
int Read(int32_t handle, void* buffer, uint32_t capacity);
int Peek(int32_t handle, void* buffer, uint32_t capacity);
int DisConnect(int32_t handle);
int HardDisConnect(int32_t handle);

// TLS 1.2 suites of every context of the transport unless its SSL
// arguments name others: forward-secret AEAD suites only (no RSA key
// exchange, no CBC with SHA-1, no DSS). TLS 1.3 keeps the library's suites.
extern const char* const WSSL_CIPHER_LIST;
// Name of an SSL_get_error code ("Undocumented error" beyond 8).
const char* WSSLErrorName(int code);
// SSL arguments: words separated by blanks, exact case. Every context
// already has TLS 1.2 as its lowest version and WSSL_CIPHER_LIST.
//   "-no_ssl3", "-no_tls1", "-no_tls1_1"  their options (below the floor:
//                                        nothing more is refused)
//   "-no_tls1_2"                          ignored with a warning: TLS 1.2
//                                        is the lowest version there is
//   "-tls1_3"                             TLS 1.3 only
//   "-cipher LIST"                        the TLS 1.2 suites of LIST (the
//                                        library's syntax), in place of
//                                        WSSL_CIPHER_LIST
// Other words are ignored. 1, or 0 when "-cipher" has no list or the
// library takes none of it (traced): the caller gives the open up.
int WSSLApplyArguments(SSL_CTX* context, const char* sslArguments);

// SSLImpl. Client connections (direct entries, used by the calling thread).
int32_t WSSLImplOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                             const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                             const char* sslArguments, const WSSLArgumentMap* sslArgumentMap);
int32_t WSSLImplOpenClient(const char* host, const char* service, int32_t sslType, const char* hostCert,
                           const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused);
// Opens and closes again: 2 when the server answered the handshake, -1.
int32_t WSSLImplPingServer(const char* host, const char* service, int32_t sslType, const char* hostCert,
                           const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused);
int WSSLImplWrite(int32_t handle, const void* data, uint32_t length);
int WSSLImplRead(int32_t handle, void* buffer, uint32_t capacity);
int WSSLImplPeek(int32_t handle, void* buffer, uint32_t capacity);
// Waits at most timeoutMs for something to read on a direct entry (bytes
// already deciphered, or the socket readable): 1 ready, 0 time-out, -1
// failure or an entry that is not a direct connection.
int WSSLImplWaitReadable(int32_t handle, int timeoutMs);
// Orderly close of any entry (a client's TLS session is cached first); the
// entry is let go of and its TLS context freed.
int WSSLImplDisConnect(int32_t handle);
int WSSLImplHardDisConnect(int32_t handle);
// Shuts both directions of the entry's socket down: 0; -1 (the entry is then
// disconnected).
int WSSLImplClose(int32_t handle);

// SSLImpl. Listening service and accepted clients.
int32_t WSSLImplOpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments);
int32_t WSSLImplOpenServer(const char* service, int backlog);
int32_t WSSLImplConnect(int32_t listenHandle, int32_t* station);
// Owner side of a shared client connection: runs on the calling thread,
// opens the connection of the entry's request, answers the requester and
// pumps the connection until it ends.
void WSSLImplOpenClientForShare(int32_t handle);

// Directory of the server's key, certificate and CA files, under the
// working directory.
extern const char* const WSSL_SERVER_CERT_DIRECTORY;

// Pump threads (accepted clients and shared client connections) running
// now; waits at most timeoutMs for none to run: true when none does.
int WSSLPumpThreadCount();
bool WSSLWaitPumpThreads(int timeoutMs);
