// Server mode of the card reader: the terminal connects to the program over
// TCP or TLS, and the accepted link becomes the link of the reader's
// communication resource.
//
// Nothing on a plain TCP link tells the terminal from anyone else who
// reaches the port, so a connection is taken only once it answers a RUDA
// request with RUDA blocks: every connection gets the request "readers off"
// (harmless before any card wait) and has a bounded time to answer it.
// Connections that close, answer with something else or stay silent are
// dropped and the wait goes on. Several connections are checked at once,
// so strangers cannot delay the terminal; once it is linked, the listening
// socket is closed and further connections are refused.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/network_dispatch.h"
#include "comm/shared_connections.h"
#include "comm/tls_certificates.h"
#include "core/crypto.h"
#include "core/directories.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "platform/net_socket.h"
#include "platform/process.h"
#include "protocols/ruda/ruda_link.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

namespace {

constexpr int kReader = 4;
constexpr int kTcp = 2;
constexpr int kTls = 4;
constexpr int kDefaultAcceptTimeoutMs = 5000;
constexpr int kAcceptWaitMs = 5;
constexpr int kBacklog = 10;
constexpr long kSessionTimeoutSeconds = 36000;
constexpr int kVerifyDepth = 4;
constexpr const char* kCertDirectory = "./WCERT";
constexpr int kRudaProtocol = 16;
// Time a connection has to answer the first request ("TerminalAnswerTimeout").
constexpr int kDefaultAnswerTimeoutMs = 5000;
// Connections checked at once; a new one beyond them drops the oldest.
constexpr size_t kMaxCandidates = 16;
// Blocks of the longest answer the RUDA module takes.
constexpr int kMaxAnswerBlocks = kRudaAnswerMax / kRudaBlockDataMax + 2;
// The request every connection must answer: card status, readers off.
constexpr unsigned char kCheckRequest[] = {0xD0, 0x60, 0x00, 0x00};
// The terminal-server suites: forward-secret and plain RSA AES suites of
// TLS 1.2. Triple-DES suites (Sweet32) and DSS suites (no DSA keys are
// issued for terminals) are left out.
constexpr const char* kServerCiphers =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
    "DHE-RSA-AES256-SHA:AES256-SHA:DHE-RSA-AES128-SHA:AES128-SHA:@STRENGTH";

struct ServerSettings {
    std::string service;
    std::string host;  // local address to listen on; empty: every address
    int reseauType = 0;
    int acceptTimeoutMs = kDefaultAcceptTimeoutMs;
    int answerTimeoutMs = kDefaultAnswerTimeoutMs;
};

std::string CertFile(const char* name) { return std::string(kCertDirectory) + "/" + name; }

// After the message of a failed step (its banner sets the trace level):
// the library's errors, false.
bool Fail(int) {
    OpenSSLHelper_logErrorStack();
    return false;
}

// Key, certificate and client authentication of the context.
bool SetUpContext(SSL_CTX* context) {
    const std::string keyFile = CertFile("server.key");
    if (WGetFileSize(keyFile.c_str()) < 1) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] No server key"));
    std::FILE* f = std::fopen(keyFile.c_str(), "rb");
    if (f == nullptr) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Error opening server key file"));
    unsigned char key[WSSL_KEY_MAX];
    size_t length = std::fread(key, 1, sizeof key, f);
    std::fclose(f);
    if (length == sizeof key) WSysError("<< WARN. >> [RUDA_WaitFor103] Length max for server key");
    if (RSAKEY_Action(key, &length, RSAKEY_PRIVATE_DECRYPT, sizeof key) <= 0) {
        OPENSSL_cleanse(key, sizeof key);
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec RSAKEY_Action()"));
    }
    const int loaded = SSL_CTX_use_PrivateKey_mem(context, key, static_cast<int>(length));
    OPENSSL_cleanse(key, sizeof key);
    if (loaded <= 0) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_use_PrivateKey_mem()"));
    const std::string certificate = CertFile("server.crt");
    if (WGetFileSize(certificate.c_str()) < 1) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] No server certificate"));
    if (SSL_CTX_use_certificate_file(context, certificate.c_str(), SSL_FILETYPE_PEM) <= 0)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_use_certificate_file()"));
    if (SSL_CTX_check_private_key(context) != 1)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_check_private_key()"));
    const std::string clients = CertFile("client.crt");
    const bool clientsPresent = WGetFileSize(clients.c_str()) >= 1;
    if (clientsPresent && WSSL_CTX_check_crt_file(context, clients.c_str(), kCertDirectory) == 0)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec WSSL_CTX_check_crt_file() client"));
    const int ca = WSSL_CTX_check_ca_file(context, nullptr, kCertDirectory);
    if (ca == -1) {
        WSysError("** INFO. ** [RUDA_WaitFor103] Double authentification Client Desactive");
    } else if (ca == 0) {
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec WSSL_CTX_check_ca_file() CA noyau invalide"));
    } else if (ca != 1) {
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] WSSL_CTX_check_ca_file()"));
    } else {
        if (SSL_CTX_load_verify_locations(context, clientsPresent ? clients.c_str() : nullptr, kCertDirectory) != 1)
            return Fail(clientsPresent
                            ? WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_load_verify_locations() CA + chaine")
                            : WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_load_verify_locations() CA"));
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        SSL_CTX_set_verify_depth(context, kVerifyDepth);
        WSysError("** INFO. ** [RUDA_WaitFor103] Double authentification Client Active");
    }
    if (SSL_CTX_set_cipher_list(context, kServerCiphers) != 1)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_set_cipher_list()"));
    ERR_clear_error();
    return true;
}

// The TLS context of the terminal server, or null after the message.
SSL_CTX* NewServerContext(const std::string& service) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_new()"));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_dh_auto(context, 1);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_BOTH);
    SSL_CTX_set_timeout(context, kSessionTimeoutSeconds);
    // "CLIENT_SSL_" and the service with its terminator, within what the
    // library takes.
    char sid[64];
    std::snprintf(sid, sizeof sid, "CLIENT_SSL_%s", service.c_str());
    size_t sidLength = std::strlen(sid) + 1;
    if (sidLength > SSL_MAX_SID_CTX_LENGTH) sidLength = SSL_MAX_SID_CTX_LENGTH;
    SSL_CTX_set_session_id_context(context, reinterpret_cast<const unsigned char*>(sid),
                                   static_cast<unsigned>(sidLength));
    SSL_CTX_set_options(context, SSL_OP_ALL);
    if (!SetUpContext(context)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

bool ReadSettings(int port, ServerSettings* settings) {
    KTDK_FILE* file = WCOM_GetPhysicalConfig(port);
    if (file == nullptr) return false;
    // Each value is taken before the next read (they share one buffer).
    const char* service = FILE_GetStringParam(file, "Service1");
    settings->service = service != nullptr ? service : "";
    const char* type = FILE_GetStringParam(file, "ReseauType");
    settings->reseauType = type != nullptr ? std::atoi(type) : 0;
    const char* timeout = FILE_GetStringParam(file, "SSLAcceptTimeout");
    if (timeout != nullptr && *timeout != '\0') settings->acceptTimeoutMs = std::atoi(timeout);
    const char* host = FILE_GetStringParam(file, "Host1");
    settings->host = host != nullptr ? host : "";
    const char* answer = FILE_GetStringParam(file, "TerminalAnswerTimeout");
    if (answer != nullptr && *answer != '\0' && std::atoi(answer) > 0) settings->answerTimeoutMs = std::atoi(answer);
    FILE_FreeFile(file);
    return true;
}

// Handshake time-out in whole seconds, never below one second: a time-out of
// 0 would mean no time-out at all.
int HandshakeTimeoutMs(int acceptTimeoutMs) {
    const int seconds = acceptTimeoutMs / 1000;
    return (seconds < 1 ? 1 : seconds) * 1000;
}

// The listening socket on the service's port, on the configured local
// address (every address without one), or -1 after the message.
int Listen(const std::string& service, const std::string& host) {
    const int fd = plat::SocketCreateTcp();
    if (fd < 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec socket()");
        return -1;
    }
    uint16_t port = 0;
    if (!service.empty() && service[0] >= '0' && service[0] <= '9') {
        const long value = std::strtol(service.c_str(), nullptr, 10);
        if (value <= 0 || value > 65535) {
            WSysError("-- ERROR -- [RUDA_WaitFor103] Echec transformation port : %s", service.c_str());
            plat::SocketClose(fd);
            return -1;
        }
        port = static_cast<uint16_t>(value);
    }
    if (plat::SocketSetFlag(fd, plat::SocketFlag::ReuseAddress, true) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()1");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()2");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()3");
    uint32_t address = 0;
    if (!host.empty() && !plat::ResolveHostIPv4(host.c_str(), &address)) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Adresse d'ecoute inconnue : %s", host.c_str());
        plat::SocketClose(fd);
        return -1;
    }
    if ((host.empty() ? plat::SocketBindAny(fd, port) : plat::SocketBind(fd, address, port)) != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec bind(Error = %d)", errno);
        plat::SocketClose(fd);
        return -1;
    }
    if (plat::SocketListen(fd, kBacklog) != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec listen()");
        plat::SocketClose(fd);
        return -1;
    }
    return fd;
}


// A connection on trial: the TLS handshake (TLS only), then the check
// request out and its answer in, each before its deadline.
struct Candidate {
    enum class Step { Handshake, Send, Answer, Linked };
    int fd = -1;
    SSL* ssl = nullptr;
    std::string peer;
    Step step = Step::Send;
    int64_t deadline = 0;
    bool wantWrite = false;  // what the connection waits for
    std::vector<unsigned char> request;
    size_t sent = 0;
    unsigned char block[kRudaBlockOverhead + kRudaBlockDataMax] = {};
    size_t have = 0;  // bytes of the current block
    int blocks = 0;
};

enum class Io { Done, Later, Closed };

// One send or receive without waiting: the count in *n.
Io Transfer(Candidate& c, bool send, unsigned char* bytes, size_t length, size_t* n) {
    *n = 0;
    if (c.ssl == nullptr) {
        const ssize_t r = send ? plat::SocketSend(c.fd, bytes, length) : plat::SocketReceive(c.fd, bytes, length, false);
        if (r > 0) {
            *n = static_cast<size_t>(r);
            return Io::Done;
        }
        if (r < 0 && plat::SocketWouldBlock(errno)) {
            c.wantWrite = send;
            return Io::Later;
        }
        return Io::Closed;
    }
    ERR_clear_error();
    const int r = send ? SSL_write(c.ssl, bytes, static_cast<int>(length))
                       : SSL_read(c.ssl, bytes, static_cast<int>(length));
    if (r > 0) {
        *n = static_cast<size_t>(r);
        return Io::Done;
    }
    const int error = SSL_get_error(c.ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        c.wantWrite = error == SSL_ERROR_WANT_WRITE;
        return Io::Later;
    }
    return Io::Closed;
}

// The bytes awaited for the current block: its header, then its data and
// check byte.
size_t BlockSize(const Candidate& c) {
    return c.have < 3 ? 3 : kRudaBlockOverhead + static_cast<size_t>(c.block[2]);
}

void StartCheck(Candidate& c, int answerTimeoutMs) {
    c.step = Candidate::Step::Send;
    c.deadline = plat::MonotonicMs() + answerTimeoutMs;
    RUDAMessage* message = RUDA_BuildSendBlocks(kCheckRequest, static_cast<int>(sizeof kCheckRequest));
    if (message != nullptr) {
        int length = 0;
        const unsigned char* raw = RUDAMessage_raw(message, &length);
        c.request.assign(raw, raw + length);
        RUDAMessage_free(message);
    }
}

// Moves the connection on as far as it goes without waiting. Empty while
// it goes on or once linked; otherwise why it is dropped.
const char* Advance(Candidate& c, bool checkAnswer, int answerTimeoutMs) {
    if (c.step == Candidate::Step::Handshake) {
        ERR_clear_error();
        const int r = SSL_accept(c.ssl);
        if (r != 1) {
            const int error = SSL_get_error(c.ssl, r);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                c.wantWrite = error == SSL_ERROR_WANT_WRITE;
                return "";
            }
            WSysError("-- ERROR -- [RUDA_WaitFor103] SSL_accept: %d:%d", r, error);
            OpenSSLHelper_logErrorStack();
            return "echec TLS";
        }
        if (!checkAnswer) {
            c.step = Candidate::Step::Linked;
            return "";
        }
        StartCheck(c, answerTimeoutMs);
    }
    if (c.step == Candidate::Step::Send) {
        if (c.request.empty()) return "memoire";
        while (c.sent < c.request.size()) {
            size_t n = 0;
            const Io io = Transfer(c, true, c.request.data() + c.sent, c.request.size() - c.sent, &n);
            if (io == Io::Later) return "";
            if (io == Io::Closed) return "fermee";
            c.sent += n;
        }
        c.step = Candidate::Step::Answer;
        c.wantWrite = false;
    }
    while (c.step == Candidate::Step::Answer) {
        const size_t need = BlockSize(c);
        size_t n = 0;
        const Io io = Transfer(c, false, c.block + c.have, need - c.have, &n);
        if (io == Io::Later) return "";
        if (io == Io::Closed) return "fermee";
        c.have += n;
        // A block begins with a node address of the terminal and control
        // bits that a RUDA block has.
        if (c.have >= 1 && c.block[0] != RUDA_NAD_COMMAND && c.block[0] != RUDA_NAD_CARD) return "pas un bloc RUDA";
        if (c.have >= 2 && (c.block[1] & ~(RUDA_PCB_MORE | RUDA_PCB_CIPHERED | RUDA_PCB_STEP)) != 0)
            return "pas un bloc RUDA";
        if (c.have < 3 || c.have < BlockSize(c)) continue;
        const int size = static_cast<int>(c.have);
        if (RUDA_Lrc(c.block, size - 1) != c.block[size - 1]) return "pas un bloc RUDA";
        if (++c.blocks > kMaxAnswerBlocks) return "pas un bloc RUDA";
        const bool more = (c.block[1] & RUDA_PCB_MORE) != 0;
        c.have = 0;
        if (!more) c.step = Candidate::Step::Linked;
    }
    return "";
}

void Drop(Candidate& c, const char* why) {
    WSysError("** INFO. ** [RUDA_WaitFor103] Connexion de %s abandonnee: %s", c.peer.c_str(), why);
    if (c.ssl != nullptr) {
        SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
        c.ssl = nullptr;
    }
    plat::SocketShutdown(c.fd, plat::ShutdownSide::Both);
    plat::SocketClose(c.fd);
    c.fd = -1;
}

// The linked connection as the reader's link: the socket itself over TCP,
// a shared-table entry holding the TLS session over TLS. False after the
// message (the connection is closed).
bool TakeLink(Candidate& c, ComResource* com) {
    if (c.ssl == nullptr) {
        com->handle = c.fd;
        return true;
    }
    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur WShared_GetOneFreeCOM_INFOS()");
        Drop(c, "pas d'entree libre");
        return false;
    }
    e->Type = COM_DIRECT;
    e->SslType = 3;
    e->Socket = c.fd;
    e->Ssl = c.ssl;
    com->handle = e->Id;
    return true;
}

}  // namespace

int RUDA_WaitFor103(int reuse) {
    if (Options.WaitForPinpad == 0) return 0;
    TraceLog(TRACE_INFO, "[RUDA]", "Attente connexion terminal client");
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    KT_PERES* resource = TWEP_FindFunction(EPAP_GetBox(), kReader, 1);
    if (c == nullptr || r == nullptr || resource == nullptr) return -1;
    c->terminalRecord = resource;
    ComResource* com = WCOM_GetResourceByNum(resource->port);
    if (com == nullptr) return -1;
    com->netContext = WNetGetFreeContext();
    WNetSelectContext(com->netContext);
    ServerSettings settings;
    if (!ReadSettings(resource->port, &settings)) return -1;
    if (SSL_sock_init() != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] sock_init(): echec WSAStartup() %04x", errno);
        return -1;
    }
    EPAP_SetWaitCallback(WaitCallback);
    if (settings.reseauType != kTcp && settings.reseauType != kTls) return -1;
    r->terminalServerWait = 1;

    SSL_CTX* context = nullptr;
    if (settings.reseauType == kTls) {
        context = NewServerContext(settings.service);
        if (context == nullptr) return -1;
    }
    int listenFd = reuse != 0 && r->terminalServerSocket > 0 ? r->terminalServerSocket
                                                             : Listen(settings.service, settings.host);
    if (listenFd < 0) {
        SSL_CTX_free(context);
        return -1;
    }
    r->terminalServerSocket = listenFd;
    // Only a RUDA terminal can be told from a stranger by its answer; a
    // reader of another protocol is taken as it connects.
    const bool checkAnswer = EPAP_GetProtocol(kReader) == kRudaProtocol;
    std::deque<Candidate> candidates;
    const auto stopListening = [&]() {
        for (Candidate& k : candidates) Drop(k, "fin de l'attente");
        candidates.clear();
        plat::SocketClose(listenFd);
        r->terminalServerSocket = 0;
        SSL_CTX_free(context);
    };
    std::vector<plat::SocketWaitItem> items;
    for (;;) {
        items.assign(1, plat::SocketWaitItem{listenFd, false, false});
        for (const Candidate& k : candidates) items.push_back({k.fd, k.wantWrite, false});
        // On a replaced clock the sockets are looked at once and the pass
        // sleeps on that clock.
        const bool replaced = plat::ClockReplaced();
        const plat::WaitStatus ready = plat::SocketWaitAny(items.data(), items.size(), replaced ? 0 : kAcceptWaitMs);
        if (replaced) plat::SleepMs(kAcceptWaitMs);
        if (ready == plat::WaitStatus::Failed) {
            WSysError("-- ERROR -- [RUDA_WaitFor103] Echec select().");
            stopListening();
            return -1;
        }
        if (ready == plat::WaitStatus::Ready && items[0].ready) {
            uint32_t peer = 0;
            const int fd = plat::SocketAccept(listenFd, &peer);
            if (fd < 0) {
                if (!plat::SocketWouldBlock(errno)) {
                    WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur accept()");
                    stopListening();
                    return -1;
                }
            } else {
                if (candidates.size() >= kMaxCandidates) {
                    Drop(candidates.front(), "trop de connexions en attente");
                    candidates.pop_front();
                }
                Candidate k;
                k.fd = fd;
                k.peer = plat::IPv4Text(peer);
                WSysError("** INFO. ** [RUDA_WaitFor103] Connexion de %s", k.peer.c_str());
                if (context != nullptr) {
                    k.ssl = SSL_new(context);
                    if (k.ssl == nullptr) {
                        WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur SSL_new()");
                        plat::SocketClose(fd);
                        stopListening();
                        return -1;
                    }
                    plat::SocketSetNonBlocking(fd, true);
                    SSL_set_fd(k.ssl, fd);
                    SSL_set_accept_state(k.ssl);
                    k.step = Candidate::Step::Handshake;
                    k.deadline = plat::MonotonicMs() + HandshakeTimeoutMs(settings.acceptTimeoutMs);
                } else if (checkAnswer) {
                    StartCheck(k, settings.answerTimeoutMs);
                } else {
                    k.step = Candidate::Step::Linked;
                }
                candidates.push_back(std::move(k));
            }
        }
        // Every connection goes on as far as it can; the first linked one
        // is the terminal.
        const int64_t now = plat::MonotonicMs();
        for (auto it = candidates.begin(); it != candidates.end();) {
            const char* why = Advance(*it, checkAnswer, settings.answerTimeoutMs);
            if (*why == '\0' && it->step != Candidate::Step::Linked && now >= it->deadline)
                why = it->step == Candidate::Step::Handshake ? "pas de handshake TLS" : "pas de reponse";
            if (*why != '\0') {
                Drop(*it, why);
                it = candidates.erase(it);
                continue;
            }
            ++it;
        }
        auto linked = std::find_if(candidates.begin(), candidates.end(),
                                   [](const Candidate& k) { return k.step == Candidate::Step::Linked; });
        if (linked != candidates.end()) {
            Candidate terminal = std::move(*linked);
            candidates.erase(linked);
            // The terminal is linked: nobody else is listened to.
            stopListening();
            if (!TakeLink(terminal, com)) return -1;
            WSysError("** INFO. ** [RUDA_WaitFor103] Terminal connecte: %s", terminal.peer.c_str());
            break;
        }
        EPAP_WaitCallbackFn callback = EPAP_GetWaitCallback();
        if (callback != nullptr) {
            char echo[kTerminalEchoSize] = {};
            callback(echo);
            if (echo[0] == 'S') {
                stopListening();
                return PV_PER_RESET;
            }
        }
    }
    com->ownerPid = static_cast<int32_t>(plat::CurrentPid());
    com->reseauType = settings.reseauType;
    WNetSetTypReseau(settings.reseauType);
    r->terminalServerWait = 0;
    return 0;
}
