// Host exchange of the terminal script engine.
#include "periph/terminal_exchange.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "comm/com_resources.h"
#include "comm/message_box.h"
#include "comm/port_api.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "protocols/cheque/cheque_modules.h"
#include "protocols/doran/doran_module.h"
#include "protocols/p21/r7700_module.h"
#include "protocols/pzr/wtm_module.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/xpro/xa_link.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr const char* kLogger = "ktapi.peripheral.epap";
constexpr const char* kTwepLogger = "ktapi.twep";
constexpr int kProtocols = 256;

struct ProtocolEntry {
    const PapCommandModule* module;
    const PapLinkCallbacks* link;
};

constexpr PapCommandModule kRudaModule = {RUDA_SetCommand, RUDA_GetOneResult, nullptr, RUDA_WaitEvent};
constexpr PapLinkCallbacks kRudaLink = {RUDA_LinkOpen,    XA_LinkClose,    RUDA_LinkSend,
                                        RUDA_LinkReceive, XAS_LinkRequest, XAS_LinkStatus};
constexpr PapCommandModule kDoranModule = {DRN_SetCommand, DRN_GetOneResult, nullptr, DRN_WaitEvent};
constexpr PapLinkCallbacks kXaLink = {XA_LinkOpen, XA_LinkClose, XA_LinkSend, XA_LinkReceive, XA_LinkRequest, XA_LinkStatus};

std::array<ProtocolEntry, kProtocols>& Protocols() {
    static std::array<ProtocolEntry, kProtocols> table = [] {
        std::array<ProtocolEntry, kProtocols> t{};
        t[2] = {&kDoranModule, &kXaLink};
        t[16] = {&kRudaModule, &kRudaLink};
        t[11] = {&kR7700Module, &kP21Link};
        t[5] = {&kPzrModule, &kNoneLink};
        t[6] = {&kD5500Module, &kXasLink};
        t[7] = {&kM4400Module, &kXasLink};
        t[8] = {&kOlvarModule, &kXasLink};
        return t;
    }();
    return table;
}

PapLinkCallbacks g_selected{};
int g_lastPort = -1;
int g_newPort = -1;
bool g_hostPortReady[PAP_PORTS];
bool g_relayPortReady[PAP_PORTS];
int g_linksOpened = 0;
char g_commandBuffer[PAP_COMMAND_BUFFER];
char g_answerStore[PAP_FRAME_MAX];

bool IsPort(int port) { return port >= 0 && port < PAP_PORTS; }

KTM_WPRO* Block(KT_PERES* r) { return r != nullptr && r->link != nullptr ? r->link->mess : nullptr; }

// Puts the resource's XPRO address into rubrique 'S' and the box's net
// application into rubrique 'A' of the request half.
void PutAddress(KT_EPERIPH_API* box, KT_PERES* r) {
    KTM_WPRO* block = Block(r);
    if (block == nullptr) return;
    TWEP_BuildXproAddress(r);
    KTM_PutArg(block, 'S', r->xproAddress, 1);
    KTM_PutArg(block, 'A', box->netApplication, 1);
}

// The line parameters of a serial port applied, the port opened.
void ApplyLine(KT_PERES* r) {
    InitVPSL(r->port, nullptr);
    if (r->transportKind == PAP_TRANSPORT_SERIAL) {
        PortVPSL(r->port, nullptr);
        PortSetFlowControl(r->port, PORT_FLOW_RTS_TOGGLE);
    }
}

// Reads an answer descriptor back into the resource: its MesStat, or the
// negative level of the check that refused it.
int TakeAnswerDescriptor(KT_PERES* r, const char* s, const char* caller, int* status) {
    if (s == nullptr || s[0] == '\0' || std::strchr(s, '/') == nullptr) {
        *status = s == nullptr || s[0] == '\0' ? PV_CMD_INTERNAL : PV_PROTO_ERROR;
        return 0;
    }
    std::memset(r->xproAddress, 0, sizeof r->xproAddress);
    std::memcpy(r->xproAddress, s, strnlen(s, PAP_XPRO_SIZE - 1));
    if (TWEP_ParseXproAddress(r) != 1) {
        WSysError("-- ERROR -- %s : descripteur de reponse refuse", caller);
        *status = PV_PROTO_ERROR;
        return 0;
    }
    return 1;
}

// The answer's 'A' holds the box's net application.
bool OwnApplication(KT_EPERIPH_API* box, const char* a) {
    return a != nullptr && box->netApplication[0] != '\0' && std::strstr(a, box->netApplication) != nullptr;
}

// "Driver" of a port's configuration; false when the configuration or the
// value is missing or empty.
bool DriverOf(int port, std::string* driver) {
    KTDK_FILE* file = WCOM_GetPhysicalConfig(port);
    if (file == nullptr) return false;
    const char* value = FILE_GetStringParam(file, "Driver");
    *driver = value != nullptr ? value : "";
    FILE_FreeFile(file);
    return !driver->empty();
}

// A row in state '1': 1 with its resource and the key of its link (the
// serial port, or one key for the network); 0 for another row; -1 for an
// index that names no resource.
int PendingRow(KT_EPERIPH_API* box, const char* row, KT_PERES** resource, size_t* key) {
    PapRowHeader h{};
    TWEP_ParseRowHeader(row, &h);
    if (h.status != PAP_ROW_SET) return 0;
    if (h.resource < 0 || h.resource > PAP_RELAY_SLOT) return -1;
    KT_PERES* r = &box->resources[h.resource];
    *resource = r;
    *key = IsPort(r->port) && r->transportKind == PAP_TRANSPORT_SERIAL ? static_cast<size_t>(r->port) : PAP_PORTS;
    return 1;
}

}  // namespace

const PapCommandModule* TWEP_GetModule(int protocol) {
    return protocol >= 0 && protocol < kProtocols ? Protocols()[static_cast<size_t>(protocol)].module : nullptr;
}

const PapLinkCallbacks* TWEP_GetLinkCallbacks(int protocol) {
    return protocol >= 0 && protocol < kProtocols ? Protocols()[static_cast<size_t>(protocol)].link : nullptr;
}

int TWEP_RegisterProtocol(int protocol, const PapCommandModule* module, const PapLinkCallbacks* link,
                          const PapCommandModule** previousModule, const PapLinkCallbacks** previousLink) {
    if (protocol < 0 || protocol >= kProtocols) return -1;
    ProtocolEntry& e = Protocols()[static_cast<size_t>(protocol)];
    if (previousModule != nullptr) *previousModule = e.module;
    if (previousLink != nullptr) *previousLink = e.link;
    e = {module, link};
    return 1;
}

int TWEP_SelectTRANS(KT_PERES* resource) {
    if (resource == nullptr) return -2;
    if (resource->transportKind == PAP_TRANSPORT_NETWORK) return -1;
    const PapLinkCallbacks* link = TWEP_GetLinkCallbacks(resource->protocol);
    if (link == nullptr) {
        WSysError("-- ERROR -- TWEP_SelectTRANS() : Desole [%d]: Type de Materiel INCONNU !", resource->protocol);
        return -1;
    }
    g_selected = *link;
    return resource->protocol;
}

int TWEP_BindTRANS(KT_PERES* resource) {
    KTM_BindTransportProtocol(Block(resource), g_selected.open, g_selected.close, g_selected.send, g_selected.recv,
                              g_selected.mapRequest, g_selected.mapAnswer);
    return 1;
}

KTX_WSERV* TWEP_XNetStart(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr || box->stream == nullptr) return nullptr;
    resource->link = box->stream;
    resource->linkContext = nullptr;
    KTX_SetTimeOutAndModes(box->stream, PAP_NET_TIMEOUT_MS, -1, -1);
    PutAddress(box, resource);
    return box->stream;
}

void TWEP_XNetStop(KT_EPERIPH_API*, KT_PERES* resource) {
    if (resource != nullptr) resource->link = nullptr;
}

KTX_WSERV* TWEP_XLocalStart(KT_EPERIPH_API* box, KT_PERES* r) {
    if (box == nullptr || r == nullptr || TWEP_SelectTRANS(r) < 0) return nullptr;
    InitVPSL(r->port, nullptr);
    // The port's first resource may not be the one a command was set on: a
    // resource without its dial information takes the box's, so that its
    // address is never cut short by an empty DialService character.
    if (r->dialServiceChar == 0) {
        TWEP_SetResourceDialInfo(box, r);
        TWEP_SetResourceStatus(box, r);
    }
    TWEP_BuildXproAddress(r);
    KTX_WSERV* client = KTX_NewClientBox(box->resourceId, box->station * 100 + r->port);
    if (client == nullptr) {
        WSysError("-- ERROR -- TWEP_XLocalStart() Echec Ouverture Contexte ");
        return nullptr;
    }
    KTX_SetTransDescription(r->xproAddress);
    const int kind = WCOM_GetResourceMedia(r->port) + WCOM_GetResourceAdapter(r->port);
    if (KTX_ClientComStart(client, r->port, kind, "", "", "", "", "", "", g_selected.open, g_selected.close,
                           g_selected.send, g_selected.recv, g_selected.mapRequest, g_selected.mapAnswer) < 0) {
        WSysError("-- ERROR -- TWEP_XLocalStart() Echec Ouverture Transport ");
        KTX_CloseClientBox(client, 1);
        return nullptr;
    }
    r->link = client;
    r->linkContext = static_cast<KT_XPROT*>(client->mess->TransBox);
    KTM_PutArg(client->mess, 'S', r->xproAddress, 1);
    KTM_PutArg(client->mess, 'A', box->netApplication, 1);
    PortSetCarrierCheck(r->port, 0);
    return client;
}

int TWEP_XLocalStop(KT_EPERIPH_API*, KT_PERES* resource) {
    if (resource == nullptr || resource->link == nullptr) return 0;
    const int result = KTX_CloseClientBox(resource->link, 1);
    resource->link = nullptr;
    resource->linkContext = nullptr;
    return result;
}

int TWEP_OpenTransports(KT_EPERIPH_API* box) {
    if (box == nullptr) return -2;
    bool failed = false;
    KT_PERES* net = TWEP_FindTransport(box, PAP_TRANSPORT_NETWORK, 1);
    if (net != nullptr) {
        if (net->link == nullptr && TWEP_XNetStart(box, net) == nullptr) failed = true;
        for (KT_PERES* other = TWEP_FindTransport(box, PAP_TRANSPORT_NETWORK, 1); other != nullptr;
             other = TWEP_FindTransport(box, PAP_TRANSPORT_NETWORK, 0))
            other->link = net->link;
    }
    int count = 0;
    for (int port = 0; port < PAP_PORTS; ++port) {
        KT_PERES* first = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1);
        if (first == nullptr || first->link != nullptr || !first->inUse) continue;
        // A port that cannot open leaves its own rows to fail; the other
        // ports are still opened.
        KTX_WSERV* link = TWEP_XLocalStart(box, first);
        if (link == nullptr) {
            failed = true;
            continue;
        }
        ++count;
        for (KT_PERES* next = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1); next != nullptr && next->inUse;
             next = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 0)) {
            next->link = link;
            next->linkContext = first->linkContext;
        }
    }
    g_linksOpened = count;
    return failed ? -1 : count;
}

int TWEP_LockPorts(KT_EPERIPH_API* box) {
    if (box == nullptr) return -2;
    for (int port = 0; port < PAP_PORTS; ++port) {
        KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1);
        if (r != nullptr && r->inUse && r->link != nullptr) WCOM_LockResource(port);
    }
    return 1;
}

int TWEP_CloseSerialPorts(KT_EPERIPH_API* box) {
    if (box == nullptr) return -2;
    for (int port = 0; port < PAP_PORTS; ++port) {
        KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1);
        if (r == nullptr || !r->inUse || r->link == nullptr) continue;
        g_relayPortReady[port] = false;
        PortClose(port);
        WCOM_FreeResource(port);
        WCOM_UnlockResource(port);
        g_hostPortReady[port] = false;
    }
    return 1;
}

int TWEP_CheckDriverChange(KT_EPERIPH_API* box) {
    if (box == nullptr) return 1;
    std::string next, last;
    if (g_lastPort >= 0) {
        if (!DriverOf(g_newPort, &next) || !DriverOf(g_lastPort, &last)) return 1;
        if (strcasecmp(next.c_str(), last.c_str()) != 0) return 0;
    }
    // One driver for both ports: never open together.
    for (int port = 0; port < PAP_PORTS; ++port) {
        KT_PERES* first = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1);
        if (first == nullptr) continue;
        if (first->link != nullptr) {
            TWEP_XLocalStop(box, first);
            g_hostPortReady[port] = false;
        }
        for (KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1); r != nullptr;
             r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 0)) {
            if (r->protocol == 0) continue;
            r->inUse = 0;
            r->link = nullptr;
            r->linkContext = nullptr;
        }
    }
    return 0;
}

int TWEP_ReactivatePort(KT_EPERIPH_API* box, int port) {
    if (box == nullptr) return 1;
    for (KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1); r != nullptr && r->protocol != 0;
         r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 0))
        r->inUse = 1;
    return 0;
}

void TWEP_SwitchToPort(KT_EPERIPH_API* box, int port) {
    if (port != g_lastPort) {
        g_newPort = port;
        TWEP_CheckDriverChange(box);
        g_lastPort = port;
    }
    TWEP_ReactivatePort(box, port);
}

void TWEP_PutResourceAddress(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box != nullptr) PutAddress(box, resource);
}

int TWEP_LastUsedPort() { return g_lastPort; }

bool TWEP_IsRelayPortReady(int port) { return IsPort(port) && g_relayPortReady[port]; }

void TWEP_SetRelayPortReady(int port) {
    if (IsPort(port)) g_relayPortReady[port] = true;
}

void TWEP_ResetPortState() {
    g_lastPort = -1;
    g_newPort = -1;
    for (int p = 0; p < PAP_PORTS; ++p) g_hostPortReady[p] = g_relayPortReady[p] = false;
}

int TWEP_SetOneCommand(KT_EPERIPH_API* box, KT_PERES* resource, va_list args) {
    WLOG(kLogger, WLOG_DEBUG, "TWEP_SetOneCommand");
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    const PapCommandModule* module = TWEP_GetModule(resource->protocol);
    if (module == nullptr || module->set == nullptr) {
        box->kernelStatus = 8;
        box->status = PV_CMD_INTERNAL;
        return box->status;
    }
    std::memset(g_commandBuffer, 0, sizeof g_commandBuffer);
    const int length = module->set(box, resource, g_commandBuffer, args);
    if (length < 0 || (length > 0 && TWEP_SetCommandScriptMes(box, resource, 0, length, g_commandBuffer) < 0)) {
        box->kernelStatus = 1;
        box->status = PV_CMD_INTERNAL;
    }
    std::memset(g_commandBuffer, 0, sizeof g_commandBuffer);
    return box->status;
}

int TWEP_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, va_list args) {
    WLOG(kLogger, WLOG_DEBUG, "TWEP_GetOneResult");
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    const int asked = resource->command;
    if (asked == 12) resource->command = 10;
    const int state = TWEP_GetAnswerState(box, resource);
    int status = PV_ALL_FINE;
    const char* frame = nullptr;
    if (state == 1) {
        box->kernelStatus = PV_NOT_YET;
        status = PV_NOT_YET;
    } else if (state == 0) {
        box->kernelStatus = PV_CMD_INTERNAL;
        status = PV_CMD_INTERNAL;
    } else if (state < 0) {
        // The link failed while this answer was expected.
        status = PV_NET_FAILED;
    } else {
        // Each take moves forward: the series ends within the table's rows.
        int last = 0;
        for (int taken = 0; taken < PAP_ROWS && last == 0; ++taken) {
            int length = 0;
            const char* row = TWEP_GetAnswerScriptMes(box, resource, &length, &last);
            if (row == nullptr) break;
            frame = row;
        }
        if (frame == nullptr) status = PV_CMD_INTERNAL;
    }
    resource->command = asked;
    if (frame != nullptr) {
        const PapCommandModule* module = TWEP_GetModule(resource->protocol);
        if (module == nullptr || module->get == nullptr) {
            box->kernelStatus = 8;
            status = PV_CMD_INTERNAL;
        } else {
            status = module->get(box, resource, frame, args);
        }
    }
    box->status = status;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_GetOneResult: return: %d (%s)", status, PvStatusName(status));
    return status;
}

int TWEP_HostMesSend(KT_EPERIPH_API* box, KT_PERES* r, const char* payload, int length, int first, int last) {
    KTM_WPRO* block = Block(r);
    if (box == nullptr || block == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_HostMesSend");
    if (first == 1 || last == 1) {
        r->mesStat = PAP_MES_FIRST + last;
        PutAddress(box, r);
    }
    uint8_t* body = KTM_GetRequestMessage(block);
    if (body == nullptr || length < 0 || length > PAP_PAYLOAD_MAX || (length > 0 && payload == nullptr)) {
        WSysError("-- ERROR -- TWEP_HostMesSend : Contexte Incoherent - Niveau 2");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return -2;
    }
    std::memset(body, 0, PAP_ANSWER_BUFFER);
    if (length > 0) std::memcpy(body, payload, static_cast<size_t>(length));
    block->request->mLength = static_cast<uint32_t>(length);
    if (first == 1 && IsPort(r->port) && !g_hostPortReady[r->port]) {
        ApplyLine(r);
        g_hostPortReady[r->port] = true;
    }
    WLOG(kLogger, WLOG_DEBUG, "KTX_SomeThingToSend");
    if (KTX_SomeThingToSend(block, last) < 0) {
        TWEP_SetStatus(box, PV_NET_FAILED);
        WSysError("<< WARN. >> TWEP_HostMesSend : Echec Niveau Transport...");
        if (r->transportKind == PAP_TRANSPORT_NETWORK) return -3;
        WSysError("** INFO. ** TWEP_HostMesSend : Rechargement Port Serie");
        WCOM_ReloadResourceConfig(r->port);
        PortClose(r->port);
        ApplyLine(r);
        if (KTX_SomeThingToSend(block, last) < 0) {
            WSysError("** INFO. ** TWEP_HostMesSend : echec apres rechargement Port Serie");
            return -3;
        }
        TWEP_SetStatus(box, PV_ALL_FINE);
    }
    if (last != 1) return 1;
    if (r->transportKind == PAP_TRANSPORT_NETWORK) {
        const char* ack = KTX_SomeThingReceived(block, 0);
        if (ack == nullptr || std::strcmp(ack, "9999") == 0) {
            WSysError("-- ERROR -- TWEP_HostMesSend : Pas d'acquittement fin de Script ");
            return -3;
        }
    } else {
        KTM_MapAnswer(block, 0);
    }
    const char* s = KTM_GetRubrique(block, 'S');
    const char* a = KTM_GetRubrique(block, 'A');
    if (s == nullptr || a == nullptr || s[0] == '\0' || a[0] == '\0') {
        WSysError("-- ERROR -- TWEP_HostMesSend : Contexte Incoherent - Niveau 4");
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        return -4;
    }
    if (!OwnApplication(box, a)) {
        WSysError("-- ERROR -- TWEP_HostMesSend : Contexte Incoherent - Niveau 5");
        TWEP_SetStatus(box, PV_APP_ACCES);
        return -5;
    }
    int status = PV_ALL_FINE;
    if (!TakeAnswerDescriptor(r, s, "TWEP_HostMesSend", &status)) {
        WSysError("-- ERROR -- TWEP_HostMesSend : Contexte Incoherent - Niveau 6");
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        return -6;
    }
    return r->mesStat;
}

int TWEP_ScriptFunSend(KT_EPERIPH_API* box, KT_PERES* r) {
    if (box == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptFunSend : Contexte Incoherent - Niveau 1");
        return -1;
    }
    if (r == nullptr || r->link == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptFunSend : Contexte Incoherent - Niveau %d", r == nullptr ? 2 : 3);
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return r == nullptr ? -2 : -3;
    }
    TWEP_SetStatus(box, PV_ALL_FINE);
    int result = -1;
    int first = 1;
    do {
        int length = 0, last = 0;
        const char* frame = TWEP_GetCommandScriptMes(box, r, &length, &last);
        if (frame == nullptr || length < 5) {
            if (frame != nullptr) result = -1;
            break;
        }
        result = TWEP_HostMesSend(box, r, frame + 5, length - 5, first, last);
        first = 0;
    } while (result == 1);
    int out;
    if (result == PAP_MES_FINAL) {
        TWEP_UpdateStatus(box, r);
        out = box->status != 0 ? -1 : 2;
    } else if (result == 0) {
        TWEP_SetStatus(box, PV_NET_TIMEOUT);
        out = 0;
    } else {
        TWEP_SetStatus(box, PV_NET_FAILED);
        WSysError("-- ERROR -- TWEP_ScriptFunSend : %d", result);
        out = -2;
    }
    WLOG(kLogger, WLOG_DEBUG, "TWEP_ScriptFunSend: return: %d", out);
    return out;
}

int TWEP_SendScriptCommands(KT_EPERIPH_API* box) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_SendScriptCommands");
    bool failed = false;
    KT_PERES* failedResource = nullptr;
    // Links that failed: their later rows are not tried again in this pass.
    std::array<bool, PAP_PORTS + 1> skip{};
    for (int row = 0; row < PAP_ROWS; ++row) {
        KT_PERES* r = nullptr;
        size_t key = 0;
        const int pending = PendingRow(box, box->commands[row], &r, &key);
        if (pending == 0) continue;
        if (pending < 0) {
            TWEP_SetStatus(box, PV_CMD_INTERNAL);
            return PV_CMD_INTERNAL;
        }
        if (skip[key]) continue;
        const int result = TWEP_ScriptFunSend(box, r);
        if (result != 2) {
            std::snprintf(r->appStat, sizeof r->appStat, "%s", "21");
            WSysError("-- ERROR -- TWEP_SendScriptCommands : %d", result);
            skip[key] = true;
            failed = true;
            failedResource = r;
        }
    }
    if (failed) {
        TWEP_SetStatus(box, PV_NET_FAILED, failedResource);
        return PV_NET_FAILED;
    }
    WLOG(kLogger, WLOG_DEBUG, " TWEP_SendScriptCommands: %d", box->status);
    return box->status;
}

int TWEP_HostMesRecv(KT_EPERIPH_API* box, KT_PERES* r, const char** answer, int ask, int wait) {
    if (answer != nullptr) *answer = nullptr;
    KTM_WPRO* block = Block(r);
    if (box == nullptr || block == nullptr) return -1;
    if (r->transportKind == PAP_TRANSPORT_NETWORK && ask) {
        r->mesStat = PAP_MES_ASK;
        PutAddress(box, r);
        uint8_t* body = KTM_GetRequestMessage(block);
        if (body == nullptr) {
            WSysError("-- ERROR -- TWEP_HostMesRecv : Contexte Incoherent - Niveau 2");
            TWEP_SetStatus(box, PV_CMD_INTERNAL);
            return -2;
        }
        block->request->mLength = 0;
        if (KTX_SomeThingToSend(block, 0) < 0) {
            WSysError("-- ERROR -- TWEP_HostMesRecv : Echec Niveau Transport...");
            TWEP_SetStatus(box, PV_NET_FAILED);
            return -3;
        }
    } else if (ask || wait) {
        r->mesStat = PAP_MES_ASK;
        PutAddress(box, r);
    }
    const char* a = KTX_SomeThingReceived(block, wait);
    // The failure text of a broken link is not the answer half's own.
    const bool broken = a != nullptr && block->answer != nullptr && a != block->answer->A;
    if (broken) {
        TWEP_SetStatus(box, PV_NET_FAILED);
        return -1;
    }
    if (!OwnApplication(box, a)) {
        TWEP_SetStatus(box, PV_APP_ACCES);
        return -1;
    }
    const char* s = KTM_GetRubrique(block, 'S');
    int status = PV_ALL_FINE;
    if (!TakeAnswerDescriptor(r, s, "TWEP_HostMesRecv", &status)) {
        const bool missing = status == PV_CMD_INTERNAL;
        WSysError("-- ERROR -- TWEP_HostMesRecv : Contexte Incoherent - Niveau %d", missing ? 5 : 6);
        TWEP_SetStatus(box, status);
        return missing ? -5 : -6;
    }
    if (answer != nullptr) *answer = reinterpret_cast<const char*>(KTM_GetAnswerMessage(block));
    return r->mesStat;
}

int TWEP_ScriptFunRecv(KT_EPERIPH_API* box, KT_PERES* r) {
    if (box == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptFunRecv : Contexte Incoherent - Niveau 1");
        return -1;
    }
    if (r == nullptr || r->link == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptFunRecv : Contexte Incoherent - Niveau %d", r == nullptr ? 2 : 3);
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return r == nullptr ? -2 : -3;
    }
    r->command = 0;
    // Any answer still expected on the link is received, also when the
    // function's first row is answered already.
    if (!TWEP_HasExpectedAnswer(box, r)) return TWEP_GetAnswerState(box, r);
    KTM_WPRO* block = Block(r);
    if (KTM_GetAnswerMessage(block) == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptFunRecv : Contexte Incoherent - Niveau 4");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return -4;
    }
    int result;
    int ask = 1;
    do {
        const char* answer = nullptr;
        result = TWEP_HostMesRecv(box, r, &answer, ask, 0);
        ask = 0;
        if (result > 0) {
            const uint32_t length = block->answer->mLength;
            if (answer == nullptr || length > static_cast<uint32_t>(PAP_PAYLOAD_MAX)) {
                result = -1;
                break;
            }
            std::memset(g_answerStore, 0, sizeof g_answerStore);
            std::snprintf(g_answerStore, sizeof g_answerStore, "%4.4X", static_cast<unsigned>(length + 5));
            std::memcpy(g_answerStore + 5, answer, length);
            const int stored = TWEP_SetAnswerScriptMes(box, r, static_cast<int>(length) + 5, g_answerStore);
            std::memset(g_answerStore, 0, length + 5);
            if (stored < 0) {
                result = -1;
                break;
            }
        }
    } while (result == PAP_MES_MORE);
    int out;
    if (result == PAP_MES_FINAL) {
        TWEP_SetStatus(box, PV_ALL_FINE);
        out = 2;
    } else if (result == 0) {
        if (std::strcmp(r->kerStat, "________") == 0) {
            TWEP_SetStatus(box, PV_NOT_YET);
            out = 1;
        } else {
            TWEP_SetStatus(box, PV_APP_ACCES);
            out = -1;
        }
    } else if (box->status != PV_NET_FAILED) {
        TWEP_SetStatus(box, PV_NET_TIMEOUT);
        out = -2;
    } else {
        out = result < 0 ? result : -1;
    }
    WLOG(kLogger, WLOG_DEBUG, "TWEP_ScriptFunRecv: return: %d", out);
    return out;
}

int TWEP_GetScriptAnswers(KT_EPERIPH_API* box) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    WLOG(kLogger, WLOG_DEBUG, " TWEP_GetScriptAnswers");
    // A link whose answer is not there yet is not waited on twice in a pass.
    std::array<bool, PAP_PORTS + 1> waited{};
    for (int row = 0; row < PAP_ROWS; ++row) {
        KT_PERES* r = nullptr;
        size_t key = 0;
        const int pending = PendingRow(box, box->answers[row], &r, &key);
        if (pending == 0) continue;
        if (pending < 0) {
            TWEP_SetStatus(box, PV_CMD_INTERNAL);
            return PV_CMD_INTERNAL;
        }
        if (waited[key]) continue;
        const int result = TWEP_ScriptFunRecv(box, r);
        if (result == 1 || result == 0) waited[key] = true;
        if (result < 0) {
            WLOG(kTwepLogger, WLOG_ERROR, "TWEP_GetScriptAnswers : Echec ....: %d", result);
            if (box->status == PV_ALL_FINE) {
                box->status = PV_NET_FAILED;
                std::snprintf(r->appStat, sizeof r->appStat, "%s", "21");
            }
            // A broken link: its rows still expected take no later answer.
            if (box->status == PV_NET_FAILED) TWEP_FailExpectedAnswers(box, r);
            const int status = box->status;
            TWEP_UpdateStatus(box, nullptr);
            return status;
        }
    }
    WLOG(kLogger, WLOG_DEBUG, " TWEP_GetScriptAnswers: %d", box->status);
    return box->status;
}
