// A message stream of the network kind for tests and fuzz targets: a box
// (KTX_WSERV) whose message block hands its frames to the caller's send and
// receive functions.
#pragma once
#include "comm/message_box.h"
#include "core/helpers.h"

namespace testsupport {

// A message stream (KTX_WSERV) of the network kind whose message block hands
// its frames to send and receive with transport as their transport object;
// null when it cannot be made. FreeNetworkStream releases it.
inline KTX_WSERV* NewNetworkStream(void* transport, KTM_TransSendFn send, KTM_TransRecvFn receive) {
    auto* box = static_cast<KTX_WSERV*>(WAlloc(sizeof(KTX_WSERV)));
    if (box == nullptr) return nullptr;
    int32_t stamp = -1;
    box->appId = 1;
    box->mess = KTM_NewMess(1, 1, nullptr, 0, &stamp);
    box->messStamp = stamp;
    if (box->mess == nullptr) {
        WFree(box);
        return nullptr;
    }
    box->mess->BoxType = KTM_BOX_NET;
    box->mess->TransBox = transport;
    KTM_BindTransportProtocol(box->mess, nullptr, nullptr, send, receive, nullptr, nullptr);
    return box;
}

inline void FreeNetworkStream(KTX_WSERV* box) {
    if (box == nullptr) return;
    KTM_FreeMess(box->mess);
    WFree(box);
}

}  // namespace testsupport
