// Certificate checks and the two TLS caches.
//
// The checks look at certificate files before a TLS context trusts them: a
// CA file (or every "*.0" file of a CA directory) must hold self-signed
// certificates whose signatures verify, and a certificate file must verify
// against the CAs of its own file and of the directory. Private keys that
// exist only in memory (key files deciphered by the program) are loaded
// here. The caches keep, for the life of the process, the deciphered client
// keys by (client certificate, service, host) and the TLS sessions of closed
// client connections by (host, service), so that the next connection to the
// same server resumes its session.
//
// Every function is safe from any thread: the checks use objects of their
// own, and both caches are used under one lock. Comparisons of the cache
// keys are exact and case-sensitive.
#pragma once
#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>

// Longest key file read (and key kept) by the TLS opens.
constexpr size_t WSSL_KEY_MAX = 5000;
// Room of a CA directory text (its terminator included).
constexpr size_t WSSL_CAPATH_SIZE = 256;

// Self-signature check of the CA file, or, when file is null, of every
// "*.0" file of the directory (by name order). 1 when the last certificate
// checked passed, 0 at the first that failed (checking stops there), -1 when
// no certificate was checked. Each problem has its trace line.
int WSSL_CTX_check_ca_file(SSL_CTX* context, const char* file, const char* directory);
// Chain check of every certificate of the file against a store of that file
// and the hashed directory (null: the library's defaults). 1, 0 or -1 as
// above; a failed link of a chain is reported by the store's callback.
int WSSL_CTX_check_crt_file(SSL_CTX* context, const char* file, const char* directory);
// Loads a PEM private key held in memory into the context: 1, or 0.
int SSL_CTX_use_PrivateKey_mem(SSL_CTX* context, const void* bytes, int length);
// The directory of a certificate path, up to and including its last
// separator ('/' or '\', written as '/'), terminated, into out (outSize
// bytes): 1. 0 with a trace line when the path has no separator or its
// directory does not fit.
int WSSL_getCAPath(const char* path, char* out, size_t outSize);

// Client-key cache. Find copies the key (at most WSSL_KEY_MAX bytes) and its
// length: 1, or -1 when there is no record for the three names.
int WSSLKeyCacheFind(const char* certificate, const char* service, const char* host, unsigned char* key,
                     int32_t* length);
// Appends a record: 1 (0 for a null name or a length beyond WSSL_KEY_MAX).
int WSSLKeyCacheAdd(const char* certificate, const char* service, const char* host, const unsigned char* key,
                    int32_t length);

// TLS session cache. Take hands over the first session cached for (host,
// service) with the record's reference and frees the record: 1, or -1 (the
// caller's value untouched). Put stores one reference of the caller's
// (reusing a free record, else adding one): 1; a null session stores
// nothing (0).
int WSSLSessionCacheTake(const char* host, const char* service, SSL_SESSION** session);
int WSSLSessionCachePut(const char* host, const char* service, SSL_SESSION* session);
