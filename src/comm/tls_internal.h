// Pieces shared by the files of the TLS transport: the client context
// set-up (direct opens and owners), the non-blocking handshake, the server
// certificate check, the pump of a table entry and its threads.
#pragma once
#include <openssl/types.h>

#include <cstdint>
#include <string>

#include "comm/shared_connections.h"

namespace wssl {

// Messages of the client context set-up: the direct open and the owner of a
// shared connection report the same steps in their own words.
struct ClientTexts {
    const char* certNotFound;   // %s: the client certificate
    const char* useCertFailed;  // %s: the client certificate (may ignore it)
    const char* keyOpenFailed;  // %s: the key file
    const char* keyTooLong;     // %d: the longest key (may ignore it)
    const char* rsaFailed;
    const char* keyLoadFailed;
    const char* keyCheckFailed;
    const char* hostCertVersion1;  // %s %d: host certificate, 1
    const char* hostCertMissing;   // %s: host certificate
    const char* caPathFailed;
    const char* caNewFailed;
    const char* crtFailed;
    const char* caOldFailed;
    const char* verifyLocationsFailed;
};

// A new context of the version-flexible method with the transport's own
// settings (non-blocking writes may move their buffer and complete in part;
// an end of stream without close-notify reads as a close). Null on failure.
SSL_CTX* NewContext();
// The client certificate, its key (from the key cache, else its
// enciphered "<certificate>.key" file), the CA checks and locations, the
// cipher list and the verify settings: true, or false after the message.
bool SetUpClientContext(SSL_CTX* context, const char* clientCert, const char* service, const char* host,
                        const char* hostCert, int32_t checkCert, int32_t versionSSL, const ClientTexts& texts);
// The server certificate must name this host (a dotted address is matched
// against the certificate's addresses).
bool ExpectServerName(SSL* ssl, const char* name);
// The reason the peer's certificate was refused, when it was: one trace
// line "-- ERROR -- <who>(): certificat refuse: <reason>, host: <host>".
void ReportRefusedCertificate(SSL* ssl, const char* who, const char* host);
// The peer's certificate names as one-line texts: 1 present and rendered,
// 0 none, -1 a name did not render (*which: "subject" or "issuer").
int PeerCertificateNames(SSL* ssl, std::string* subject, std::string* issuer, const char** which);

// Runs SSL_connect or SSL_accept on a non-blocking socket until it ends, at
// most timeoutMs on the process clock. An entry, when given, stops it early
// through its Stop word and wake descriptor.
enum class Handshake { Done, Failed, TimedOut, Stopped };
Handshake DriveHandshake(SSL* ssl, bool accept, int fd, comInfos* entry, int64_t timeoutMs, int* result, int* sslError);

// Writes the bytes on a non-blocking TLS connection, waiting for its socket
// at most limitMs on the process clock. With an entry, its wake-up ends each
// wait early and an abortive release of the entry ends the write.
struct WriteOutcome {
    enum class End { Complete, TimedOut, WaitFailed, Failed, Abandoned };
    uint32_t done = 0;
    End end = End::Complete;
    int lastResult = 0;  // the last SSL_write result that was not a count
};
WriteOutcome WriteAll(SSL* ssl, int fd, const void* data, uint32_t length, int64_t limitMs, comInfos* entry);

// Port of a service (port number or services-database name), with the
// caller's messages (%s: the service).
bool ServicePort(const char* service, uint16_t* port, const char* badNumber, const char* unknownName);

// Pump of an entry: moves bytes between its TLS connection and its buffers
// until Stop (1024-byte reads waiting at most 50 ms or until woken; one write
// of everything queued per turn).
void Pump(comInfos* entry, const char* name);
int WSSLThreadRead(int32_t handle, void* buffer, uint32_t capacity);
int WSSLThreadWrite(int32_t handle, const void* data, uint32_t length);
// Closes the entry's TLS connection, context reference and socket, marks it
// failed (Result -1) and lets go of its pump side: the last use of the entry
// by its thread.
void WSSLCloseCOM_INFO(comInfos* entry, const char* name);

// Main thread's side of a pumped entry.
int WSSLShareWrite(int32_t handle, const void* data, uint32_t length);
int WSSLShareRead(int32_t handle, void* buffer, uint32_t capacity);
int WSSLSharePeek(int32_t handle, void* buffer, uint32_t capacity);
int WSSLShareDisConnect(int32_t handle);

// Starts a detached pump thread on the entry (its pump side must already be
// attached); counted until the body returns. False when it could not start.
bool StartPumpThread(comInfos* entry, void (*body)(comInfos*));

}  // namespace wssl
