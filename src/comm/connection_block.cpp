#include "comm/connection_block.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "comm/comm_services.h"
#include "comm/network_dispatch.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "platform/clock.h"

namespace {

void Clear(char* field) { std::memset(field, 0, KTM_COMM_TEXT_SIZE); }

bool Fits(const char* text) { return text == nullptr || std::strlen(text) < KTM_COMM_TEXT_SIZE; }

bool Given(const char* text) { return text != nullptr && *text != '\0'; }

// First field gets the first value; the second gets the second value, or a
// copy of the first field when the second value is missing.
int SetPair(KTM_COMM* com, char* first, char* second, const char* a, const char* b, const char* who,
            const char* nullWho) {
    if (com == nullptr) {
        WSysError("-- ERROR -- %s : Ressource incoherente ", nullWho);
        return -1;
    }
    if (!Fits(a) || !Fits(b)) {
        WSysError("-- ERROR -- %s : valeur trop longue (max. %d)", who, static_cast<int>(KTM_COMM_TEXT_SIZE - 1));
        return -1;
    }
    Clear(first);
    if (Given(a)) std::strcpy(first, a);
    Clear(second);
    std::strcpy(second, Given(b) ? b : first);
    return 0;
}

}  // namespace

int32_t KTM_StampOfDay() {
    const int64_t ms = plat::RealtimeMs();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return static_cast<int32_t>(ms % 86400000);
    return (local.tm_sec + local.tm_min * 60 + local.tm_hour * 3600) * 1000 + static_cast<int32_t>(ms % 1000);
}

KTM_COMM* KTM_NewCom(int32_t appId, int clear, int32_t* stamp) {
    int32_t s = stamp != nullptr ? *stamp : -1;
    if (s == -1) s = KTM_StampOfDay();
    if (stamp != nullptr) *stamp = s;
    char name[64];
    std::snprintf(name, sizeof name, "%s%03d_%07x", "KT_COMM_", appId, static_cast<unsigned>(s));
    auto* com = static_cast<KTM_COMM*>(WOpenShareMemHeap(name, sizeof(KTM_COMM)));
    if (com == nullptr) {
        WSysError("-- ERROR -- KTM_NewCom :OpenShare: echec ouverture memoire partagee->%s", name);
        return nullptr;
    }
    if (clear) {
        std::memset(com, 0, sizeof *com);
        com->resource = -1;
        com->connType = 0;
        com->handle = -1;
        com->alternate = 0;
        com->resConnType = 0;
        com->lockHandle = -1;
        com->state = KTM_COMM_NOT_CONNECTED;
        com->ownerPid = static_cast<int32_t>(getpid());
        com->appId = appId;
    }
    return com;
}

int KTM_FreeCom(KTM_COMM* com) {
    if (com == nullptr) return 0;
    if (com->ownerPid == static_cast<int32_t>(getpid())) com->ownerPid = -1;
    WFreeShareMemHeap(com);
    return 0;
}

int KTM_NetSetConnType(KTM_COMM* com, int32_t type) {
    if (com == nullptr) {
        WSysError("-- ERROR -- KTM_NetSetConnType : Ressource incoherente ");
        return -1;
    }
    com->connType = type;
    return 0;
}

int KTM_SetResource(KTM_COMM* com, int32_t resource, int32_t connType) {
    if (com == nullptr) {
        WSysError("-- ERROR -- KTM_NetSetConnType : Ressource incoherente ");
        return -1;
    }
    com->resource = resource;
    com->resConnType = connType;
    return WCOM_SetResourceConnType(resource, connType);
}

int KTM_NetSetServices(KTM_COMM* com, const char* first, const char* second) {
    return SetPair(com, com ? com->service1 : nullptr, com ? com->service2 : nullptr, first, second,
                   "KTM_NetSetServices", "KTM_NetSetAddres");
}

int KTM_NetSetAddres(KTM_COMM* com, const char* first, const char* second) {
    return SetPair(com, com ? com->address1 : nullptr, com ? com->address2 : nullptr, first, second,
                   "KTM_NetSetAddres", "KTM_NetSetAddres");
}

int KTM_NetSetPhone(KTM_COMM* com, const char* first, const char* second) {
    return SetPair(com, com ? com->phone1 : nullptr, com ? com->phone2 : nullptr, first, second, "KTM_NetSetPhone",
                   "KTM_NetSetPhone");
}

int KTM_SetAcces(KTM_COMM* com, const char* user, const char* password) {
    if (com == nullptr) {
        WSysError("-- ERROR -- KTM_SetAcces : Ressource incoherente ");
        return -1;
    }
    Clear(com->cmplData);
    Clear(com->password);
    if (Given(user) && Fits(user)) std::strcpy(com->cmplData, user);
    if (Given(password) && Fits(password)) std::strcpy(com->password, password);
    return 0;
}

int KTM_SetCmplData(KTM_COMM* com, const char* text) {
    if (com == nullptr) {
        WSysError("-- ERROR -- KTM_SetCmplData : Ressource incoherente ");
        return -1;
    }
    Clear(com->cmplData);
    if (Given(text) && Fits(text)) std::strcpy(com->cmplData, text);
    return 0;
}

int KTM_NetOpenServer(KTM_COMM* com) {
    if (com == nullptr || com->service1[0] == '\0' || std::strlen(com->service1) > KTM_COMM_SERVER_NAME_MAX) return -1;
    char name[KTM_COMM_TEXT_SIZE + 8];
    const char first = com->service1[0];
    if (first == 'w' || first == 'W' || (first >= '0' && first <= '9'))
        std::snprintf(name, sizeof name, "%s", com->service1);
    else
        std::snprintf(name, sizeof name, "%s_%03d", com->service1, com->appId);
    const int context = WNetGetFreeContext();
    if (context < 0) return -2;
    com->resource = context;
    WNetSetServices(name, name);
    WNetSetTypReseau(com->connType);
    WNetSetSSLArguments(WNetGetContext(context), com->cmplData);
    WNetSetReuseAddress(WNetGetContext(context), 0);
    WNetSelectContext(context);
    if (WNetOpenServer(1, KTM_COMM_SERVER_BACKLOG) != 0) {
        WNetFreeContext(context);
        com->resource = -1;
        return -3;
    }
    com->state = KTM_COMM_NETWORK;
    return context;
}

int KTM_NetOpenClient(KTM_COMM* com, const char* clientCert, const char* hostCert, int32_t checkCert,
                      int32_t versionSSL, const char* sslArguments, const char* serverNameIndicator) {
    if (com == nullptr || com->service1[0] == '\0' || com->service2[0] == '\0' || com->address1[0] == '\0' ||
        com->address2[0] == '\0')
        return -1;
    const int context = WNetGetFreeContext();
    if (context < 0) return -2;
    com->resource = context;
    com->alternate = 0;
    WNetSelectContext(context);
    WNetSetServices(com->service1, com->service2);
    WNetSetHosts(com->address1, com->address2);
    WNetSetTypReseau(com->connType);
    WNetSetClientCert(clientCert);
    WNetSetHostCert(hostCert);
    WNetSetCheckCert(checkCert);
    WNetSetVersionSSL(versionSSL);
    WNetContext* c = WNetGetContext(context);
    WNetSetSSLArguments(c, sslArguments);
    WNetSetSSLArgument(c, "ServerNameIndicator", serverNameIndicator);
    WNetSelectContext(context);
    if (WNetOpenClient(&com->handle, 1, 1) != 0) {
        if (WNetOpenClient(&com->handle, 2, 2) != 0) {
            WNetFreeContext(context);
            com->resource = -1;
            com->handle = -1;
            return -2;
        }
        com->alternate = 1;
    }
    com->state = KTM_COMM_NETWORK;
    return context;
}

int KTM_CloseCom(KTM_COMM* com, int hangUp) {
    if (com == nullptr) return -1;
    if (com->state == KTM_COMM_NETWORK) {
        WNetSelectContext(com->resource);
        WNetContext* current = WNetGetCurrentContext();
        if (com->handle != -1) {
            // The socket is always closed before its block goes; the hang-up
            // flag only chooses an abortive close over an orderly one.
            if (hangUp)
                WHardNetDisConnect(com->handle);
            else
                WNetDisConnect(com->handle);
            com->handle = -1;
        } else if (current != nullptr && WNetIsCurrentContext(com->resource) == com->resource &&
                   current->listenHandle != -1) {
            WNetClose(0);
        }
    } else if (com->state == KTM_COMM_DIALLED) {
        KTM_CloseDialledLink(com, hangUp);
    }
    return 0;
}
