// Boxes: server and client boxes over their connection and message blocks.
#include <cstdio>
#include <cstring>
#include <string>

#include "comm/comm_services.h"
#include "comm/connection_block.h"
#include "comm/length_prefixed.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/trace.h"

namespace {

constexpr size_t kTransDescriptionMax = 1024;
constexpr int32_t kServerStampBase = 0x8000000;

std::string g_transDescription;

KTX_WSERV* NewNamedBox(const char* name, int32_t appId) {
    auto* box = static_cast<KTX_WSERV*>(WOpenShareMemHeap(name, sizeof(KTX_WSERV)));
    if (box == nullptr) return nullptr;
    box->appId = appId;
    box->comStamp = -1;
    box->com = nullptr;
    box->messStamp = -1;
    box->mess = nullptr;
    return box;
}

// Closes the link of a connection block, frees the network context it holds
// and the block itself. The socket is always closed before the block goes,
// and the context goes back to the table whether or not the caller hung up.
void ReleaseConnection(KTM_COMM* com, int hangUp, bool traceFree) {
    if (com == nullptr) return;
    KTM_CloseCom(com, hangUp);
    if (com->state == KTM_COMM_NETWORK && com->resource >= 0) {
        WNetFreeContext(com->resource);
        if (traceFree)
            WSysError("@@ DEBUG @@ KTX_ClientDisconnect(): WNetFreeContext has been called, resource: %d",
                      com->resource);
        com->resource = -1;
    }
    KTM_FreeCom(com);
}

}  // namespace

KTX_WSERV* KTX_NewBox(int32_t appId, int32_t kind) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%03d_%d", "KT_SRV_", appId, kind);
    KTX_WSERV* box = NewNamedBox(name, appId);
    if (box == nullptr) return nullptr;
    WShared_Initialize(appId, 0);
    WLOG("ktx_wsrv", WLOG_DEBUG, "KTX_NewBox: id app.: %d, type: %d, name: %s", appId, kind, name);
    return box;
}

int KTX_ServerNetStart(KTX_WSERV* box, int32_t serviceIndex, int32_t netType, const char* serviceName,
                       const char* cmplData) {
    if (box == nullptr) return -1;
    box->comStamp = kServerStampBase + serviceIndex;
    box->com = KTM_NewCom(box->appId, 1, &box->comStamp);
    if (box->com == nullptr) {
        WSysError("-- ERROR -- KTX_ServerNetStart(): Failed to create structure, KTM_NewCom returned a null pointer");
        return -1;
    }
    KTM_NetSetConnType(box->com, netType);
    KTM_NetSetServices(box->com, serviceName, serviceName);
    KTM_SetCmplData(box->com, cmplData);
    box->com->state = KTM_COMM_NETWORK;
    const int result = KTM_NetOpenServer(box->com);
    if (result < 0) {
        // Nothing was opened: the block does not outlive the failed start.
        box->com->state = KTM_COMM_NOT_CONNECTED;
        KTM_FreeCom(box->com);
        box->com = nullptr;
    }
    return result;
}

int KTX_FreeBox(KTX_WSERV* box, int hangUp) {
    if (box == nullptr) return -1;
    KTM_FreeMess(box->mess);
    box->mess = nullptr;
    ReleaseConnection(box->com, hangUp, false);
    box->com = nullptr;
    WFreeShareMemHeap(box);
    return 0;
}

KTX_WSERV* KTX_NewClientBox(int32_t appId, int32_t clone) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%03d_%03d", "KT_CLI_", appId, clone);
    return NewNamedBox(name, appId);
}

int KTX_ClientNetStart(KTX_WSERV* box, int32_t netType, const char* service1, const char* service2,
                       const char* host1, const char* host2, const char* clientCert, const char* hostCert,
                       int32_t checkCert, int32_t versionSSL, const char* sslArguments,
                       const char* serverNameIndicator) {
    if (box == nullptr) return -1;
    box->com = KTM_NewCom(box->appId, 1, &box->comStamp);
    if (box->com == nullptr) {
        WSysError("-- ERROR -- KTX_ClientNetStart(): Failed to create structure, KTM_NewCom returned a null pointer");
        return -1;
    }
    KTM_COMM* com = box->com;
    if (KTM_NetSetConnType(com, netType) != 0 || KTM_NetSetServices(com, service1, service2) != 0 ||
        KTM_NetSetAddres(com, host1, host2) != 0) {
        KTM_FreeCom(com);
        box->com = nullptr;
        return -1;
    }
    com->state = KTM_COMM_NETWORK;
    const int context = KTM_NetOpenClient(com, clientCert, hostCert, checkCert, versionSSL, sslArguments,
                                          serverNameIndicator);
    if (context < 0) {
        KTM_FreeCom(com);
        box->com = nullptr;
        return -1;
    }
    box->mess = KTM_NewMess(box->appId, 1, nullptr, 0, &box->messStamp);
    if (box->mess == nullptr) {
        WSysError("-- ERROR -- KTX_ClientNetStart(): Failed to create structure, KTM_NewMess returned a null pointer");
        // The connection opened above goes too: socket, context and block.
        ReleaseConnection(com, 1, false);
        box->com = nullptr;
        return -3;
    }
    KTM_WPRO* mess = box->mess;
    mess->id = context;
    mess->BoxType = KTM_BOX_NET;
    mess->TransBox = &com->handle;
    KTM_BindTransportProtocol(mess, nullptr, nullptr, KTN_BoxSend, KTN_BoxRecv, nullptr, nullptr);
    return context;
}

int KTX_ClientComStart(KTX_WSERV* box, int32_t resource, int32_t connType, const char* phone1, const char* phone2,
                       const char* address1, const char* address2, const char* user, const char* password,
                       KTM_TransOpenFn open, KTM_TransCloseFn close, KTM_TransSendFn send, KTM_TransRecvFn recv,
                       KTM_MapRequestFn mapRequest, KTM_MapAnswerFn mapAnswer) {
    if (box == nullptr) return -1;
    box->com = KTM_NewCom(box->appId, 1, &box->comStamp);
    if (box->com == nullptr) {
        WSysError("-- ERROR -- KTX_ClientComStart(): Failed to create structure, KTM_NewCom returned a null pointer");
        return -1;
    }
    KTM_COMM* com = box->com;
    const int set = KTM_SetResource(com, resource, connType);
    if (set < 0) {
        WSysError("-- ERROR -- KTX_ClientComStart(): KTM_SetResource returned an error: %d, resource: %d", set,
                  resource);
        KTM_FreeCom(com);
        box->com = nullptr;
        return -1;
    }
    KTM_NetSetPhone(com, phone1, phone2);
    KTM_NetSetAddres(com, address1, address2);
    KTM_SetAcces(com, user, password);
    if (ClientComStart(com) <= 0) {
        KTM_FreeCom(com);
        box->com = nullptr;
        return -1;
    }
    box->mess = KTM_NewMess(box->appId, 1, nullptr, 0, &box->messStamp);
    if (box->mess == nullptr) {
        WSysError("-- ERROR -- KTX_ClientComStart(): Failed to create structure, KTM_NewMess returned a null pointer");
        KTM_AbandonDialledLink(com);
        KTM_FreeCom(com);
        box->com = nullptr;
        return -2;
    }
    KTM_WPRO* mess = box->mess;
    mess->BoxType = KTM_BOX_COM;
    mess->id = resource;
    KTM_BindTransportProtocol(mess, open, close, send, recv, mapRequest, mapAnswer);
    int result = resource;
    if (mess->TransOpen == nullptr) {
        WSysError("-- ERROR -- KTX_ClientComStart(): TransOpen callback is not set, resource: %d", resource);
        result = -3;
    } else {
        mess->TransBox = mess->TransOpen(g_transDescription.c_str());
        if (mess->TransBox == nullptr) {
            WSysError("-- ERROR -- KTX_ClientComStart(): Call to 'TransOpen' callback returned a null pointer, "
                      "ressource: %d, description: %s",
                      resource, g_transDescription.c_str());
            result = -4;
        }
    }
    if (result < 0) {
        KTM_FreeMess(mess);
        box->mess = nullptr;
        KTM_CloseCom(com, 1);
        KTM_FreeCom(com);
        box->com = nullptr;
    }
    return result;
}

int KTX_SetTransDescription(const char* text) {
    const size_t n = text != nullptr ? std::strlen(text) : 0;
    if (n == 0 || n > kTransDescriptionMax) {
        g_transDescription.clear();
        return -1;
    }
    g_transDescription.assign(text, n);
    return 1;
}

const char* KTX_GetTransDescription() { return g_transDescription.c_str(); }

int KTX_SetTimeOutAndModes(KTX_WSERV* box, long timeOut, int32_t waitMode, int32_t lastMode) {
    if (box == nullptr || box->mess == nullptr) return -1;
    if (timeOut != -2) KTM_SetTimeOut(box->mess, timeOut);
    if (waitMode >= 0) KTM_SetWaitMode(box->mess, waitMode);
    if (lastMode >= 0) KTM_SetLastMode(box->mess, lastMode);
    return 0;
}

int KTX_SomeThingToSend(KTM_WPRO* block, int32_t lastMode) {
    if (block == nullptr) return -1;
    KTM_SetLastMode(block, lastMode);
    return KTM_SomeThingToSend(block);
}

const char* KTX_SomeThingReceived(KTM_WPRO* block, int32_t waitMode) {
    if (block == nullptr) {
        WSysError("-- ERROR -- [KTX_SomeThingReceived] ProBox == NULL");
        return nullptr;
    }
    KTM_SetWaitMode(block, waitMode);
    return KTM_SomeThingReceived(block, &block->LMes);
}

int KTX_ClientDisconnect(KTX_WSERV* box, int hangUp) {
    if (box == nullptr) return -1;
    KTM_FreeMess(box->mess);
    box->mess = nullptr;
    ReleaseConnection(box->com, hangUp, true);
    box->com = nullptr;
    WFreeShareMemHeap(box);
    return 0;
}

int KTX_CloseClientBox(KTX_WSERV* box, int hangUp) {
    if (box == nullptr) return -1;
    return KTX_ClientDisconnect(box, hangUp);
}

KTX_WSERV_CAPS* KTX_WSERV_NewCaps(KTX_WSERV* box) {
    auto* caps = static_cast<KTX_WSERV_CAPS*>(WAlloc(sizeof(KTX_WSERV_CAPS)));
    if (caps == nullptr) {
        WSysError("-- ERROR -- KTX_WSERV_NewCaps(): Memory allocation error");
        return nullptr;
    }
    caps->box = box;
    caps->receive = nullptr;
    caps->send = nullptr;
    return caps;
}

int KTX_WSERV_FreeCaps(KTX_WSERV_CAPS* caps) {
    if (caps == nullptr) return -1;
    WFree(caps);
    return 1;
}

const char* KTX_CapsSomeThingReceived(KTX_WSERV_CAPS* caps, int32_t waitMode) {
    if (caps == nullptr || caps->box == nullptr) {
        WSysError("-- ERROR -- KTX_CapsSomeThingReceived : null parameter");
        return nullptr;
    }
    if (caps->receive != nullptr) return caps->receive(caps, waitMode);
    return KTX_SomeThingReceived(caps->box->mess, waitMode);
}

int KTX_CapsSomeThingToSend(KTX_WSERV_CAPS* caps, int32_t lastMode) {
    if (caps == nullptr || caps->box == nullptr) return -1;
    if (caps->send != nullptr) return caps->send(caps, lastMode);
    return KTX_SomeThingToSend(caps->box->mess, lastMode);
}
