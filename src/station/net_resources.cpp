// Network resources of "net" and the connection to their servers.
#include "station/net_resources.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "comm/connection_block.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "comm/tcp_transport.h"
#include "core/directories.h"
#include "core/helpers.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_exchange.h"
#include "station/text_field.h"

namespace {

constexpr const char* kServerNames[kServerCount] = {"PRINCIPAL", "SECOURS", "TERTIAIRE", "DEGRADE"};
// Letter of each server in the key families (HO1, HO2, HO3, HOD ...).
constexpr const char* kServerLetters[kServerCount] = {"1", "2", "3", "D"};
constexpr size_t kTextMax = 80;
constexpr size_t kLabelMax = 19;
constexpr size_t kCertMax = 255;

// Opens "net" of "WCFG" as the text manager's current file (country 0): 1,
// -3 without the directory, or the text manager's negative result.
int OpenNetFile(EFTCBox* context) {
    const char* directory = EFTOC_GetDirectory(context, "WCFG");
    if (directory == nullptr || WCheckDirectory(directory, 0) != 1) return -3;
    if (KTS_SetDirectory(context->box, directory) < 0) return -3;
    KTS_SetCountry(context->box, 0);
    const int opened = KTS_SetFile(context->box, "net");
    return opened < 0 ? opened : 1;
}

// Value of a key without index, or nothing when absent or empty.
std::optional<std::string> Plain(EFTCBox* context, const char* key) {
    const char* value = KTS_GetItemText(context->box, key);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// Value of a key family for resource n: "<family>_%0.3d" first, then
// "<family>_%d" when that one is missing or empty.
std::optional<std::string> Indexed(EFTCBox* context, const std::string& family, int n) {
    char key[32];
    std::snprintf(key, sizeof key, "%s_%.3d", family.c_str(), n);  // the "%0.3d" of the keys
    if (auto value = Plain(context, key)) return value;
    std::snprintf(key, sizeof key, "%s_%d", family.c_str(), n);
    return Plain(context, key);
}

// Leading decimal number (0 when there is none), saturated to int.
long DecimalOf(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return value;
}

template <size_t N>
void TakeWhenFits(char (&field)[N], const std::optional<std::string>& value, size_t max, const char* key,
                  int n) {
    if (!value) return;
    if (value->size() > max) {
        TraceLog(TRACE_WARN, "[NET]", "Valeur de %s (ressource %d) trop longue (%zu caracteres max), ignoree",
                 key, n, max);
        return;
    }
    CopyField(field, value->c_str());
}

bool IsTalvoLabel(const char* label) { return WCompareNString(label, "TALVO", 1, 5) == 1; }

NetResource* CurrentResource(EFTCBox* context) {
    if (context->netResourceIndex < 0 || context->netResourceIndex >= kNetResourceCount) return nullptr;
    return &context->netResources[context->netResourceIndex];
}

void SetConnectTimeOut(uint32_t milliseconds) {
    if (milliseconds != 0)
        WTCPSetConnectTimeOut(static_cast<int32_t>(milliseconds / 1000),
                              static_cast<int32_t>((milliseconds % 1000) * 1000));
}

void LogServerLine(EFTCBox* context, int kind, const char* text) {
    LogExchange(EXCHANGE_TO_SERVER, text, context->exchangeLogName, context->logSizeKb);
    TraceLog(kind, "[SERVER]", "%s", text);
}

// Closes a connection box, in order when asked, abortively otherwise.
void CloseAnnex(EFTCBox* context, int hangUp) {
    KTS_FreeAnnex(context->serverBox, hangUp);
    context->serverBox = nullptr;
}

// Asks the installed wait callback whether the user stopped the wait ('S').
bool StoppedByUser() {
    EPAP_WaitCallbackFn callback = EPAP_GetWaitCallback();
    if (callback == nullptr) return false;
    char text[130] = {};
    callback(text);
    return text[0] == 'S';
}

}  // namespace

const char* TOC_ServerName(int index) {
    return index >= 0 && index < kServerCount ? kServerNames[index] : "";
}

int TOC_OpenNetResources(EFTCBox* context) {
    if (context == nullptr) return -1;
    const int opened = OpenNetFile(context);
    if (opened == -3) return -3;
    context->connectionState = 0;
    if (opened < 0) return opened;
    return TOC_LoadNetResources(context);
}

int TOC_LoadNetResources(EFTCBox* context) {
    if (context == nullptr) return -1;
    return TOC_LoadNetResource(context, Options.NetResourceIndexToUse) == 0 ? 1 : 0;
}

int TOC_LoadNetResource(EFTCBox* context, int n) {
    if (context == nullptr || n < 0 || n >= kNetResourceCount) return -1;
    const char* current = context->box != nullptr && context->box->textManager != nullptr
                              ? TEXT_GetFileName(context->box->textManager)
                              : nullptr;
    if (current == nullptr || std::strstr(current, "net") == nullptr) {
        if (OpenNetFile(context) < 0) return -3;
    }
    NetResource& r = context->netResources[n];
    const auto family = [](const char* prefix, int server) { return std::string(prefix) + kServerLetters[server]; };

    const auto nty = Indexed(context, "NTY", n);
    for (ServerBlock& s : r.servers) s.networkType = nty ? static_cast<int32_t>(DecimalOf(*nty)) : 0;
    for (int s = 0; s < kServerCount; ++s)
        if (auto v = Indexed(context, family("NT", s), n)) r.servers[s].networkType = static_cast<int32_t>(DecimalOf(*v));
    for (int s = 0; s < kServerCount; ++s)
        TakeWhenFits(r.servers[s].host, Indexed(context, family("HO", s), n), kTextMax, family("HO", s).c_str(), n);
    const auto sv1 = Indexed(context, "SV1", n);
    if (!sv1 || sv1->size() > kTextMax) {
        TraceLog(TRACE_ERROR, "[NET]", "Service du serveur principal absent ou trop long (ressource %d)", n);
        return 1;
    }
    CopyField(r.servers[kServerPrincipal].service, sv1->c_str());
    for (int s = 1; s < kServerCount; ++s)
        TakeWhenFits(r.servers[s].service, Indexed(context, family("SV", s), n), kTextMax, family("SV", s).c_str(), n);
    std::memset(r.label, 0, sizeof r.label);
    const auto label = Indexed(context, "LTY", n);
    CopyField(r.label, label && label->size() <= kLabelMax ? label->c_str() : "TALVO");
    for (int s = 0; s < kServerCount; ++s)
        if (auto v = Indexed(context, family("TO", s), n)) r.servers[s].timeOut = static_cast<uint32_t>(DecimalOf(*v));
    for (int s = 0; s < kServerCount - 1; ++s)
        if (auto v = Indexed(context, family("EO", s), n)) r.servers[s].echoTimeOut = static_cast<uint32_t>(DecimalOf(*v));
    for (int s = 0; s < kServerCount; ++s) {
        ServerBlock& server = r.servers[s];
        std::memset(server.sslOptions, 0, sizeof server.sslOptions);
        const std::string key = family("S0", s);
        const auto options = Indexed(context, key, n);
        if (options)
            TakeWhenFits(server.sslOptions, options, kTextMax, key.c_str(), n);
        else if (server.networkType == WNET_TYPE_TLS)
            CopyField(server.sslOptions, "-no_ssl3");
    }
    for (int s = 0; s < kServerCount; ++s) {
        std::memset(r.servers[s].sni, 0, sizeof r.servers[s].sni);
        const std::string key = family("SNI", s);
        TakeWhenFits(r.servers[s].sni, Indexed(context, key, n), kTextMax, key.c_str(), n);
    }
    if (auto v = Indexed(context, "EOD", n)) r.servers[kServerDegrade].echoTimeOut = static_cast<uint32_t>(DecimalOf(*v));
    TakeWhenFits(r.clientCert, Plain(context, "ClientCert"), kCertMax, "ClientCert", n);
    const auto hostCert = Plain(context, "HostCert");
    TakeWhenFits(r.hostCert, hostCert, kCertMax, "HostCert", n);
    // Both separators name directories; this platform's is '/'.
    if (hostCert && hostCert->size() <= kCertMax)
        for (char* c = r.hostCert; *c != '\0'; ++c)
            if (*c == '\\') *c = '/';
    if (auto v = Plain(context, "CheckCert")) r.checkCert = static_cast<int32_t>(DecimalOf(*v));
    if (auto v = Plain(context, "VersionSSL")) r.versionSSL = static_cast<int32_t>(DecimalOf(*v));
    return 0;
}

int TOC_IsNetResourceLoaded(EFTCBox* context, int index) {
    if (context == nullptr || index < 0 || index >= kNetResourceCount) return 0;
    return context->netResources[index].servers[kServerPrincipal].host[0] != '\0' ? 1 : 0;
}

int TOC_RedirectServer(EFTCBox* context, int resource, int server, const char* host, const char* service) {
    if (context == nullptr || resource < 0 || resource >= kNetResourceCount || server < 0 || server > kServerTertiaire)
        return -1;
    // An empty value is no redirection; an over-long one refuses the call.
    if (host != nullptr && *host == '\0') host = nullptr;
    if (service != nullptr && *service == '\0') service = nullptr;
    if ((host != nullptr && std::strlen(host) > kTextMax) || (service != nullptr && std::strlen(service) > kTextMax))
        return -1;
    if (host == nullptr && service == nullptr) return 1;
    ServerBlock& block = context->netResources[resource].servers[server];
    if (host != nullptr) CopyField(block.host, host);
    if (service != nullptr) CopyField(block.service, service);
    block.redirected = 1;
    return 1;
}

int TOC_EnableAllServers() {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr)
        for (int& flag : record->serverEnabled) flag = 1;
    return 1;
}

int TOC_ClearServerFlags() {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr)
        for (int& flag : record->serverEnabled) flag = 0;
    return 0;
}

int TOC_EnableServer(int index) {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && index >= 0 && index < kServerCount) record->serverEnabled[index] = 1;
    return index;
}

int TOC_DisableServer(int index) {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && index >= 0 && index < kServerCount) record->serverEnabled[index] = 0;
    return index;
}

bool TOC_NoServerEnabled() {
    const TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr) return true;
    for (int flag : record->serverEnabled)
        if (flag != 0) return false;
    return true;
}

bool TOC_IsOnlyServerEnabled(int index) {
    const TransactionRecord* record = GetTransactionRecord();
    if (record == nullptr || index < 0 || index >= kServerCount || record->serverEnabled[index] != 1) return false;
    for (int s = 0; s < kServerCount; ++s)
        if (s != index && record->serverEnabled[s] != 0) return false;
    return true;
}

int TOC_ConnectServer(EFTCBox* context, NetResource* resource, ServerBlock* server, const char* name) {
    if (context == nullptr) return -1;
    if (resource == nullptr || server == nullptr) return 0;
    if (name == nullptr) name = "";
    SetConnectTimeOut(server->timeOut);
    TraceLog(TRACE_INFO, "[NET]", "Tentative de connexion sur %s (%d, %s)", name, server->networkType,
             server->sslOptions);
    WNetClearConnectFailure();
    std::string reason;  // why the connection failed, when this step knows it better than the transport
    ANIBox* annex = nullptr;
    // A server that the cash register redirected gets no weaker link than the
    // resource asks for: with verified TLS it goes over TLS with the
    // resource's certificate settings, or not at all.
    if (server->redirected && resource->checkCert == 1 && server->networkType != WNET_TYPE_TLS) {
        TraceLog(TRACE_ERROR, "[NET]", "Serveur %s redirige par la caisse refuse: TLS verifie exige (type %d)", name,
                 server->networkType);
        reason = "serveur redirige par la caisse sans TLS verifie";
    } else {
        annex = KTS_GetAnnex(context->resourceId + 1000, context->station, server->networkType, server->service,
                             server->host, nullptr, resource->clientCert, resource->hostCert, resource->checkCert,
                             resource->versionSSL, server->sslOptions, server->sni);
    }
    context->serverBox = annex;
    if (annex != nullptr) {
        const char* greeting = "";
        if (IsTalvoLabel(resource->label)) greeting = server->echoTimeOut != 0 ? "ECHO_ASKED" : "BONJOUR";
        bool connected = KTS_AnnexPutRequest(annex, nullptr, nullptr, nullptr, context->applicationCode, greeting) == 1;
        if (connected && server->echoTimeOut != 0) {
            KTS_SetAnnexTimeOut(annex, static_cast<long>(server->echoTimeOut));
            const char* type = KTX_SomeThingReceived(annex->box->mess, 0);
            KTS_SetAnnexTimeOut(annex, -1);
            if (type != nullptr && std::strcmp(type, "9997") == 0) {
                LogServerMessageType(type, reinterpret_cast<const char*>(KTM_GetAnswerMessage(annex->box->mess)));
            } else {
                TraceLog(TRACE_ERROR, "[NET]", "Pas d'echo recu du serveur");
                reason = "pas d'echo du serveur en " + std::to_string(server->echoTimeOut) + " ms";
                connected = false;
            }
        }
        if (connected) {
            if (context->debugLevel != 0) {
                char line[300];
                std::snprintf(line, sizeof line, "##### CONNEXION SERVEUR %s [%s / %s] ETABLIE #####", name,
                              server->host, server->service);
                LogServerLine(context, TRACE_INFO, line);
            }
            context->connectionState = 1;
            return 1;
        }
        if (reason.empty() && *WNetLastConnectFailure() == '\0') reason = "message d'accueil non transmis";
        CloseAnnex(context, 1);
    }
    TraceLog(TRACE_INFO, "[NET]", "CONNEXION ECHOUE %s", name);
    // The operator's line: which server, where, and why.
    if (reason.empty()) reason = *WNetLastConnectFailure() != '\0' ? WNetLastConnectFailure() : "raison inconnue";
    TraceLog(TRACE_ERROR, "[NET]", "Connexion au serveur %s [%s / %s] impossible: %s", name, server->host,
             server->service, reason.c_str());
    return 0;
}

int TOC_ConnectServers(EFTCBox* context) {
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return -1;
    NetResource* resource = CurrentResource(context);
    if (resource == nullptr) return -1;
    WSysError("@@ DEBUG @@ Ressource: %d", context->netResourceIndex);
    WSysError("@@ DEBUG @@ Type: %s", resource->label);
    SetConnectTimeOut(resource->servers[kServerPrincipal].timeOut);
    // A connection left open by the caller would keep its socket and its
    // network context for ever: it goes before the new one is made.
    if (context->serverBox != nullptr) CloseAnnex(context, 1);
    record->serverMessageSeen = 0;
    record->serverRetry = 0;
    for (int s = kServerPrincipal; s <= kServerTertiaire; ++s) {
        if (record->serverEnabled[s] == 1) {
            if (TOC_ConnectServer(context, resource, &resource->servers[s], kServerNames[s]) == 1) {
                record->currentServer = s;
                return 1;
            }
            record->serverEnabled[s] = 0;
        }
        if (StoppedByUser()) {
            TraceLog(TRACE_INFO, "[NET]", "Abandon recu lors de la phase de connexion au serveur.");
            return -2;
        }
    }
    if (context->debugLevel != 0) {
        char line[600];
        std::snprintf(line, sizeof line, "!!!!! CONNEXION SERVEURS [%s / %s] [%s / %s] [%s / %s] ECHOUEE !!!!!",
                      resource->servers[0].host, resource->servers[0].service, resource->servers[1].host,
                      resource->servers[1].service, resource->servers[2].host, resource->servers[2].service);
        LogServerLine(context, TRACE_ERROR, line);
    }
    return -1;
}

int TOC_ConnectDegradedServer(EFTCBox* context) {
    TransactionRecord* record = GetTransactionRecord();
    if (context == nullptr || record == nullptr) return -1;
    NetResource* resource = CurrentResource(context);
    if (resource == nullptr) return -1;
    ServerBlock& server = resource->servers[kServerDegrade];
    SetConnectTimeOut(server.timeOut);
    if (context->serverBox != nullptr) CloseAnnex(context, 1);
    record->serverMessageSeen = 0;
    record->serverRetry = 0;
    if (record->serverEnabled[kServerDegrade] == 1) {
        if (TOC_ConnectServer(context, resource, &server, kServerNames[kServerDegrade]) == 1) {
            record->currentServer = kServerDegrade;
            return 1;
        }
        record->serverEnabled[kServerDegrade] = 0;
    }
    if (context->debugLevel != 0) {
        char line[300];
        std::snprintf(line, sizeof line, "!!!!! CONNEXION SERVEURS [%s / %s] ECHOUEE !!!!!", server.host,
                      server.service);
        LogServerLine(context, TRACE_ERROR, line);
    }
    return -1;
}

int TOC_CloseServer(EFTCBox* context) {
    if (context == nullptr) return -1;
    if (Options.ConnectedMode == 1) return 1;
    if (context->serverBox != nullptr) {
        const NetResource* resource = CurrentResource(context);
        KTX_WSERV* box = context->serverBox->box;
        KTM_COMM* com = box != nullptr ? box->com : nullptr;
        int hangUp = 1;
        if (resource != nullptr && IsTalvoLabel(resource->label) && com != nullptr &&
            com->state == KTM_COMM_NETWORK && com->handle != -1) {
            WNetSelectContext(com->resource);
            // The closing message goes outside the message framing; an
            // orderly close then lets it reach the server (an abortive one
            // could drop it).
            if (WNetWrite(com->handle, "0000", 5) == 5) hangUp = 0;
        }
        CloseAnnex(context, hangUp);
    }
    if (context->debugLevel != 0 && context->connectionState != 0) {
        const std::string hashes = std::string(80, '#') + "\n";
        LogExchange(EXCHANGE_TO_SERVER, hashes.c_str(), context->exchangeLogName, context->logSizeKb);
        TraceLog(TRACE_INFO, "[SERVER]", "##### CONNEXION SERVEUR CLOSE #####");
    }
    EFTOC_CloseExchangeLogs();
    context->serverBox = nullptr;
    context->connectionState = 0;
    return 1;
}

const char* GetCurrentServerSni(const EFTCBox* context, const TransactionRecord* record) {
    if (context == nullptr || record == nullptr) return "";
    const int resource = context->netResourceIndex;
    const int server = record->currentServer;
    if (resource < 0 || resource >= kNetResourceCount || server < 0 || server >= kServerCount)
        return "";
    return context->netResources[resource].servers[server].sni;
}
