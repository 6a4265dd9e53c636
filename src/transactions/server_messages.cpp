#include "transactions/server_messages.h"

#include <cstring>

#include "core/trace_front.h"

namespace {

struct TypeName {
    const char* type;
    const char* name;
};

constexpr TypeName kNames[] = {
    {"1200", "Serveur <-> Periph"},
    {"1410", "Serveur -> Client : Flash info"},
    {"1411", "Serveur -> Belona"},
    {"1210", "Serveur <-> IHM"},
    {"1400", "Serveur -> Client : Reponse requete transactionnelle"},
    {"1500", "Serveur -> Client : reponse requete de maintenance"},
    {"9998", "Serveur -> Client : Interdiction abandon caisse"},
    {"9999", "Serveur -> Client : Coupure socket"},
    {"1100", "Serveur -> Client : Transfert de fichier"},
};

// The eighth character of the body is '1' (the body may be short or null).
bool EighthIsOne(const char* body) {
    return body != nullptr && strnlen(body, 8) == 8 && body[7] == '1';
}

}  // namespace

void LogServerMessageType(const char* type, const char* body) {
    char code[5] = "";
    if (type != nullptr) std::memcpy(code, type, strnlen(type, 4));
    if (std::strcmp(code, "9997") == 0) {
        TraceLog(TRACE_INFO, "[NET]", "Echo serveur recu");
        return;
    }
    if (std::strcmp(code, "9996") == 0) {
        TraceLog(TRACE_DEBUG, "[SERVER]", "%s",
                 EighthIsOne(body) ? "Serveur -> Client : Debut maintenance"
                                   : "Serveur -> Client : Fin maintenance");
        return;
    }
    if (std::strcmp(code, "9995") == 0) {
        TraceLog(TRACE_DEBUG, "[SERVER]", "%s",
                 EighthIsOne(body) ? "Serveur -> Client : Reboot lecteur demande"
                                   : "Serveur -> Client : Reboot lecteur fini");
        return;
    }
    for (const TypeName& n : kNames) {
        if (std::strcmp(code, n.type) == 0) {
            TraceLog(TRACE_DEBUG, "[SERVER]", "%s", n.name);
            return;
        }
    }
    TraceLog(TRACE_DEBUG, "[SERVER]", "Serveur ->    ?   : Message inconnu %s", code);
}
