// Terminal relay for the payment servers: server messages of application
// "1200" forwarded to a local terminal link, and the terminal's replies
// forwarded back to the server.
#include "periph/terminal_relay.h"

#include <cctype>
#include <cstring>

#include "comm/message_box.h"
#include "comm/port_api.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "periph/terminal_exchange.h"
#include "protocols/doran/doran_module.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr const char* kLogger = "twep";
constexpr int kRudaProtocol = 16;
// Widest number a descriptor field may carry (read as an int).
constexpr size_t kNumberFieldMax = 9;
// Sentinel of TWEP_RelaySrvMesRecv for a refused descriptor or body.
bool g_refusedInput = false;

KTM_WPRO* Block(KT_PERES* r) { return r != nullptr && r->link != nullptr ? r->link->mess : nullptr; }

bool Empty(const char* text) { return text == nullptr || text[0] == '\0'; }

bool OwnApplication(const KT_EPERIPH_API* box, const char* a) {
    return a != nullptr && box->netApplication[0] != '\0' && std::strstr(a, box->netApplication) != nullptr;
}

void CopyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, size - 1));
}

// A descriptor the relay takes whole: at most 100 characters, the ten
// fields, the DialService letter one character and the numbers within an
// int, besides the text widths that the resource record checks.
bool DescriptorFits(const char* s) {
    if (strnlen(s, PAP_XPRO_SIZE) >= static_cast<size_t>(PAP_XPRO_SIZE)) return false;
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(s, &f) != 1) return false;
    if (std::strlen(f.field[0]) > 1) return false;
    for (const int i : {1, 4, 5, 8, 9}) {
        const char* n = f.field[i];
        const size_t length = std::strlen(n);
        if (length > kNumberFieldMax) return false;
        for (size_t k = 0; k < length; ++k)
            if (!std::isdigit(static_cast<unsigned char>(n[k])) && !(k == 0 && n[k] == '-')) return false;
    }
    return true;
}

// Reads a descriptor of the terminal into the resource: true when taken.
bool TakeDescriptor(KT_PERES* r, const char* s) {
    if (!DescriptorFits(s)) return false;
    char saved[PAP_XPRO_SIZE];
    std::memcpy(saved, r->xproAddress, sizeof saved);
    CopyText(r->xproAddress, sizeof r->xproAddress, s);
    if (TWEP_ParseXproAddress(r) == 1) return true;
    std::memcpy(r->xproAddress, saved, sizeof saved);
    return false;
}

// Empties the answer body of the resource's link (it may hold card data).
void ClearAnswerBody(KT_PERES* r) {
    KTM_WPRO* block = Block(r);
    if (block == nullptr || block->answer == nullptr) return;
    std::memset(block->answer->M, 0, PAP_ANSWER_BUFFER);
    block->answer->mLength = 0;
}

bool IsControlApplication(const char* application) {
    return std::strcmp(application, "9001") == 0 || std::strcmp(application, "9002") == 0;
}

// The announcement wait of a terminal that announces its answers: 'A' when
// it announced, 0 when the wait ran out, 'S' when it was stopped.
char WaitAnnouncement(KT_EPERIPH_API* box, KT_PERES* local) {
    const WTimeStamp start = WGetTimeStamp();
    while (!WIsTimeOut(start, PAP_RELAY_ANNOUNCE_WAIT_MS)) {
        char event = 0;
        const int result = DRN_WaitEvent(box, local, PAP_RELAY_EVENT_WAIT_MS, &event);
        if (event == 'A') return 'A';
        if (result == PV_PER_RESET || event == 'S') return 'S';
    }
    return 0;
}

}  // namespace

int TWEP_RelaySrvMesSend(KT_EPERIPH_API* box, KT_PERES* relay, KT_PERES* local) {
    KTM_WPRO* server = Block(relay);
    KTM_WPRO* terminal = Block(local);
    if (box == nullptr || server == nullptr || terminal == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelaySrvMesSend");
    CopyText(relay->xproAddress, sizeof relay->xproAddress, local->xproAddress);
    uint8_t* out = KTM_GetRequestMessage(server);
    const uint8_t* in = KTM_GetAnswerMessage(terminal);
    if (out == nullptr || in == nullptr) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesSend : Contexte Incoherent - Niveau 2");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return -2;
    }
    const uint32_t length = terminal->answer->mLength;
    // The server's request body takes what an answer buffer holds, no more.
    if (length > static_cast<uint32_t>(PAP_PAYLOAD_MAX)) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesSend : reponse trop longue (%u octets, max. %d)", length,
                  PAP_PAYLOAD_MAX);
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        return -2;
    }
    std::memset(out, 0, PAP_ANSWER_BUFFER);
    std::memcpy(out, in, length);
    server->request->mLength = length;
    KTM_PutArg(server, 'S', relay->xproAddress, 1);
    KTM_PutArg(server, 'A', box->netApplication, 1);
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelaySrvMesSend: HJFUNC: FROM:");
    TWEP_logPERES(local);
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelaySrvMesSend: HJFUNC: TO:");
    TWEP_logPERES(relay);
    const int sent = KTX_SomeThingToSend(server, 0);
    // The terminal's answer does not stay in the server's request half.
    std::memset(out, 0, length);
    server->request->mLength = 0;
    if (sent < 0) {
        TWEP_SetStatus(box, PV_NET_FAILED);
        WSysError("-- ERROR -- TWEP_RelaySrvMesSend : Echec Niveau Transport....");
        return -3;
    }
    return 1;
}

KT_PERES* TWEP_RelaySrvMesRecv(KT_EPERIPH_API* box, KT_PERES* relay, int* toSend) {
    g_refusedInput = false;
    if (toSend != nullptr) *toSend = 0;
    if (box == nullptr || relay == nullptr) return nullptr;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelaySrvMesRecv");
    KTM_WPRO* server = Block(relay);
    const char* s = server != nullptr ? KTM_GetRubrique(server, 'S') : nullptr;
    const char* a = server != nullptr ? KTM_GetRubrique(server, 'A') : nullptr;
    if (Empty(s) || Empty(a)) {
        WSysError("-- ERROR -- TWEP_MasRecv : Contexte Incoherent - Niveau 2");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return nullptr;
    }
    if (!OwnApplication(box, a)) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesRecv : Contexte Incoherent - Niveau 3");
        TWEP_SetStatus(box, PV_APP_ACCES);
        return nullptr;
    }
    if (std::strchr(s, '/') == nullptr) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesRecv : Contexte Incoherent - Niveau 4");
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        g_refusedInput = true;
        return nullptr;
    }
    // The descriptor is taken whole or not at all: never cut into another.
    if (!TakeDescriptor(relay, s)) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesRecv : descripteur refuse <%.100s>", s);
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        g_refusedInput = true;
        return nullptr;
    }
    KT_PERES* local = TWEP_FindPort(box, relay->port, relay->transportKind, 1);
    if (local == nullptr || local->link == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        WSysError("-- ERROR -- TWEP_RelaySrvMesRecv : Resource Inconnue ");
        return nullptr;
    }
    KTM_WPRO* terminal = Block(local);
    const uint8_t* body = KTM_GetAnswerMessage(server);
    uint8_t* request = KTM_GetRequestMessage(terminal);
    if (body == nullptr || request == nullptr) {
        if (body == nullptr) WSysError("-- ERROR -- TWEP_RelaySrvMesSend : Remote ressource : %d", relay->port);
        if (request == nullptr) WSysError("-- ERROR -- TWEP_RelaySrvMesSend : Local ressource : %d", local->port);
        WSysError("-- ERROR -- TWEP_RelaySrvMesSend : Contexte Incoherent - Niveau 5");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return nullptr;
    }
    const uint32_t length = server->answer->mLength;
    // A body the terminal's buffers cannot hold is refused before any copy.
    if (length > static_cast<uint32_t>(PAP_PAYLOAD_MAX)) {
        WSysError("-- ERROR -- TWEP_RelaySrvMesRecv : message trop long (%u octets, max. %d)", length,
                  PAP_PAYLOAD_MAX);
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        g_refusedInput = true;
        return nullptr;
    }
    CopyText(local->xproAddress, sizeof local->xproAddress, relay->xproAddress);
    TWEP_ParseXproAddress(local);
    std::memset(request, 0, PAP_ANSWER_BUFFER);
    std::memcpy(request, body, length);
    terminal->request->mLength = length;
    if (toSend != nullptr) *toSend = length > 0 ? static_cast<int>(length) : IsControlApplication(local->application) ? 1 : 0;
    return local;
}

int TWEP_RelayPeriMesSend(KT_EPERIPH_API* box, KT_PERES* local) {
    KTM_WPRO* block = Block(local);
    if (box == nullptr || block == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelayPeriMesSend");
    TWEP_PutResourceAddress(box, local);
    InitVPSL(local->port, nullptr);
    if (local->transportKind == PAP_TRANSPORT_SERIAL && !TWEP_IsRelayPortReady(local->port)) {
        PortVPSL(local->port, nullptr);
        PortSetFlowControl(local->port, PORT_FLOW_RTS_TOGGLE);
        TWEP_SetRelayPortReady(local->port);
    }
    if (KTX_SomeThingToSend(block, 0) < 0) {
        WSysError("-- ERROR -- TWEP_RelayPeriMesSend : Echec Niveau Transport....");
        // The terminal link is lost.
        TWEP_SetStatus(box, PV_NET_FAILED);
        return -3;
    }
    KTM_MapAnswer(block, 0);
    const char* s = KTM_GetRubrique(block, 'S');
    const char* a = KTM_GetRubrique(block, 'A');
    if (Empty(s) || Empty(a)) {
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        WSysError("-- ERROR -- TWEP_RelayPeriMesSend : Contexte Incoherent - Niveau 4");
        return -4;
    }
    if (!OwnApplication(box, a)) {
        WSysError("-- ERROR -- TWEP_ScriptRecv : Contexte Incoherent - Niveau 5");
        TWEP_SetStatus(box, PV_APP_ACCES);
        return -5;
    }
    if (std::strchr(s, '/') == nullptr || !TakeDescriptor(local, s)) {
        WSysError("-- ERROR -- TWEP_ScriptRecv : Contexte Incoherent - Niveau 6");
        TWEP_SetStatus(box, PV_PROTO_ERROR);
        return -6;
    }
    return local->mesStat;
}

int TWEP_RelayPeriMesRecv(KT_EPERIPH_API* box, KT_PERES* local, int* length) {
    if (length != nullptr) *length = 0;
    KTM_WPRO* block = Block(local);
    if (box == nullptr || block == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "TWEP_RelayPeriMesRecv");
    TWEP_PutResourceAddress(box, local);
    const char* a = KTX_SomeThingReceived(block, 0);
    const auto fail = [&](int status, int code) {
        ClearAnswerBody(local);
        TWEP_SetStatus(box, status);
        return code;
    };
    // The failure text of a broken link is not the answer half's own: the
    // terminal link is lost.
    if (a != nullptr && block->answer != nullptr && a != block->answer->A) {
        WSysError("-- ERROR -- TWEP_RelayPeriMesRecv : liaison terminal perdue");
        return fail(PV_NET_FAILED, -1);
    }
    const uint32_t received = a != nullptr && block->answer != nullptr ? block->answer->mLength : 0;
    if (a == nullptr || received == 0 || !OwnApplication(box, a)) return fail(PV_PROTO_ERROR, -1);
    const char* s = KTM_GetRubrique(block, 'S');
    if (Empty(s)) {
        WSysError("-- ERROR -- TWEP_MasRecv : Contexte Incoherent - Niveau 5");
        return fail(PV_CMD_INTERNAL, -5);
    }
    if (std::strchr(s, '/') == nullptr || !TakeDescriptor(local, s)) {
        WSysError("-- ERROR -- TWEP_RelayPeriMesRecv : Contexte Incoherent - Niveau 6");
        return fail(PV_PROTO_ERROR, -6);
    }
    if (length != nullptr) *length = static_cast<int>(received);
    return local->mesStat;
}

int TWEP_DealPAPRelayHost(KT_EPERIPH_API* box, KT_PERES* relay) {
    WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost");
    if (box == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptSend : Contexte Incoherent - Niveau 1");
        return -1;
    }
    if (relay == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptSend : Contexte Incoherent - Niveau 2");
        TWEP_SetStatus(box, PV_CMD_INTERNAL);
        return -2;
    }
    TWEP_SetStatus(box, PV_ALL_FINE);
    int toSend = 0;
    KT_PERES* local = TWEP_RelaySrvMesRecv(box, relay, &toSend);
    if (local == nullptr) {
        WSysError("-- ERROR -- TWEP_ScriptSend : ressource Refusee");
        // A refused descriptor or body keeps its own status.
        TWEP_SetStatus(box, g_refusedInput ? PV_PROTO_ERROR : PV_PER_UNKNOWN);
        return -3;
    }

    if (toSend != 0) {
        local->answerAnnounced = 0;
        WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: Server -> Client ressource");
        const int sent = TWEP_RelayPeriMesSend(box, local);
        if (sent == PAP_MES_MORE) {
            WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: no response to server");
            TWEP_UpdateStatus(box, local);
            return 1;
        }
        WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: Server <- Client ressource");
        ClearAnswerBody(local);
        if (TWEP_RelaySrvMesSend(box, relay, local) != 1) {
            TWEP_SetStatus(box, PV_NET_FAILED);
            return -5;
        }
        TWEP_UpdateStatus(box, local);
        return sent;
    }

    WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: Client ressource (<)- <in memory> -> Server");
    char announcement = 0;
    if (std::strcmp(local->application, "1000") == 0 && local->answerAnnounced == 0 &&
        local->protocol != kRudaProtocol) {
        announcement = WaitAnnouncement(box, local);
        if (announcement == 'S') {
            TWEP_SetStatus(box, PV_PER_RESET);
            return -6;
        }
    }
    local->answerAnnounced = 0;
    const WTimeStamp start = WGetTimeStamp();
    int answers = 0;
    int result = 0;
    do {
        WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: Client ressource -> <in memory>");
        int length = 0;
        result = TWEP_RelayPeriMesRecv(box, local, &length);
        WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: Client ressource:");
        TWEP_logPERES(local);
        if (result == PAP_MES_MORE || result == PAP_MES_FINAL) {
            WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: <in memory> -> Server (1)");
        } else if (result == 0) {
            WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: <in memory> -> Server (2)");
            WSleep(200);
            const KTM_WPRO* block = Block(local);
            // The link delivers the busy text with its terminator.
            if (announcement == 'A' && block != nullptr && length == PAP_RELAY_BUSY_LENGTH &&
                std::memcmp(block->answer->M, PAP_RELAY_BUSY_TEXT, PAP_RELAY_BUSY_LENGTH) == 0) {
                CopyText(local->kerStat, sizeof local->kerStat, "_X_SOFT_");
                TWEP_BuildXproAddress(local);
            }
        } else {
            WLOG(kLogger, WLOG_DEBUG, "TWEP_DealPAPRelayHost: <in memory> -> Server (3)");
        }
        if (TWEP_RelaySrvMesSend(box, relay, local) != 1) {
            TWEP_SetStatus(box, PV_NET_FAILED);
            result = -5;
            break;
        }
        ClearAnswerBody(local);
        // A terminal that keeps announcing more answers cannot hold the
        // program: the series is bounded in count and in time.
        if (result == PAP_MES_MORE &&
            (++answers >= PAP_RELAY_MAX_ANSWERS || WIsTimeOut(start, PAP_RELAY_ANSWER_TIME_MS))) {
            WSysError("-- ERROR -- TWEP_DealPAPRelayHost : reponses du terminal sans fin (%d)", answers);
            TWEP_SetStatus(box, PV_NET_TIMEOUT);
            return -7;
        }
    } while (result == PAP_MES_MORE);
    TWEP_UpdateStatus(box, local);
    return result;
}

int EPAP_DealRelayMessage(KTX_WSERV* stream) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_DealRelayMessage");
    // Every relayed message starts on port 0, with the driver check.
    TWEP_SwitchToPort(box, 0);
    TWEP_SetStatus(box, PV_ALL_FINE);
    TWEP_OpenTransports(box);
    EPAP_SetNetApplication("1200");
    KT_PERES* relay = &box->resources[PAP_RELAY_SLOT];
    std::memset(relay, 0, sizeof *relay);
    relay->inUse = 1;
    relay->link = stream;
    box->stream = stream;
    CopyText(relay->dialServiceText, sizeof relay->dialServiceText, "0000000000000000");
    CopyText(relay->application, sizeof relay->application, "1000");
    CopyText(relay->appStat, sizeof relay->appStat, "00000000");
    CopyText(relay->kerStat, sizeof relay->kerStat, "00000000");
    relay->accStat = 10;
    relay->keyIndex = box->keyIndex;
    if (KTM_WPRO* block = Block(relay)) {
        KTM_PutArg(block, 'A', box->netApplication, 1);
        KTM_PutArg(block, 'S', relay->xproAddress, 1);
    }
    TWEP_LockPorts(box);
    TWEP_DealPAPRelayHost(box, relay);
    TWEP_UpdateStatus(box, nullptr);
    return box->status;
}
