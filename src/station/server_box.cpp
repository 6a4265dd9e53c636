// Server box API: the main instance, the per-application box with its text
// manager and console, and the box operations that forward to them.
#include "station/server_box.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/document.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"

namespace {

KT_MAIN_SERVER_INSTANCE g_mainInstance{};

struct ServiceKind {
    const char* description;
    int32_t typeBit;
    int32_t networkType;
};
// SHM, TCP/IP, BAL, SSL, HTTP.
constexpr ServiceKind kServices[KTS_SERVICE_COUNT] = {
    {"SHM", 1, WNET_TYPE_SHNET}, {"TCP/IP", 2, WNET_TYPE_TCP}, {"BAL", 4, WNET_TYPE_WBAL},
    {"SSL", 8, WNET_TYPE_TLS},   {"HTTP", 16, WNET_TYPE_TCP},
};

// Copies a name into a service field; false (field emptied) when it does not
// fit.
template <size_t N>
bool TakeText(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    if (text == nullptr) return true;
    if (std::strlen(text) >= N) return false;
    std::memcpy(field, text, std::strlen(text));
    return true;
}

}  // namespace

int KT_MAIN_SERVER_INSTANCE::initialize(int resource, int maxBoxes) {
    if (maxBoxes < 0) maxBoxes = 0;
    auto** table = static_cast<CSIBox**>(WAlloc(sizeof(CSIBox*) * (static_cast<size_t>(maxBoxes) + 1)));
    if (table == nullptr) {
        WSysError("-- ERROR -- KT_MAIN_SERVER_INSTANCE::initialize(): Memory allocation error");
        return -1;
    }
    if (clones != nullptr) WFree(clones);
    initialized = 1;
    maxClones = maxBoxes;
    resourceId = resource;
    clones = table;
    cloneCount = 0;
    return 1;
}

int KT_MAIN_SERVER_INSTANCE::start() {
    for (int n = 0; n < KTS_SERVICE_COUNT; ++n) {
        KTS_SERVICE& service = services[n];
        if (!service.enabled) continue;
        const int result = KTX_ServerNetStart(service.box, n + 1, service.networkType, service.name,
                                              service.arguments);
        if (result < 0) {
            WSysError("-- ERROR -- KT_MAIN_SERVER_INSTANCE::start(): KTX_ServerNetStart() returned an error: %d, "
                      "desc.: %s, id: %d, service: %s",
                      result, service.description, n, service.name);
            return -3;
        }
    }
    return 1;
}

int KT_MAIN_SERVER_INSTANCE::freeClone(CSIBox* box, int hangUp) {
    if (box == nullptr) return -1;
    const int index = box->index;
    KTS_FreeBox(box, hangUp);
    if (clones != nullptr && index >= 0 && index <= maxClones && clones[index] == box) clones[index] = nullptr;
    if (cloneCount > 0) --cloneCount;
    return 1;
}

KT_MAIN_SERVER_INSTANCE& KTS_MainInstance() { return g_mainInstance; }

int KTS_GetMain(KT_MAIN_SERVER_INSTANCE* instance, int typeMask, const char* tcpName, const char* sslName,
                const char* tlsArguments, const char* httpName) {
    if (instance == nullptr) return -2;
    instance->typeMask = typeMask;
    instance->reserved = 0;
    for (int n = 0; n < KTS_SERVICE_COUNT; ++n) {
        KTS_SERVICE& service = instance->services[n];
        // A second set-up replaces the boxes of the first.
        if (service.box != nullptr) KTX_FreeBox(service.box, 1);
        service = KTS_SERVICE{};
        const ServiceKind& kind = kServices[n];
        TakeText(service.description, kind.description);
        service.typeBit = kind.typeBit;
        service.networkType = kind.networkType;
        bool usable = true;
        switch (n) {
            case 1: usable = TakeText(service.name, tcpName != nullptr && *tcpName ? tcpName : "IP"); break;
            case 3:
                usable = TakeText(service.name, sslName != nullptr && *sslName ? sslName : "SSL") &&
                         TakeText(service.arguments, tlsArguments);
                break;
            case 4: usable = TakeText(service.name, httpName) && service.name[0] != '\0'; break;
            default: TakeText(service.name, kind.description); break;
        }
        service.enabled = (typeMask & kind.typeBit) != 0 && usable ? 1 : 0;
        if ((typeMask & kind.typeBit) != 0 && !usable && n != 4)
            WSysError("-- ERROR -- KTS_GetMain(): service name or arguments too long, desc.: %s, id: %d",
                      kind.description, n);
    }
    for (int n = 0; n < KTS_SERVICE_COUNT; ++n) {
        KTS_SERVICE& service = instance->services[n];
        if (!service.enabled) continue;
        service.box = KTX_NewBox(instance->resourceId, service.typeBit);
        if (service.box == nullptr) {
            WSysError("-- ERROR -- KTS_GetMain() KTX_NewBox() returned an error: desc.: %s, id: %d, service: %s",
                      service.description, n, service.name);
            return -2;
        }
    }
    return 1;
}

CSIBox* KTS_GetClone(KT_MAIN_SERVER_INSTANCE* instance, KTX_WSERV* transport, const char* name, int,
                     int index) {
    if (instance == nullptr || instance->clones == nullptr || index < 0 || index > instance->maxClones) {
        WSysError("-- ERROR -- KTS_GetClone : index de boite incorrect: %d", index);
        return nullptr;
    }
    CSIBox* box = new (std::nothrow) CSIBox{};
    if (box == nullptr) {
        WSysError("-- ERROR -- KTS_GetClone : Echec Allocation structure CSIBox....");
        return nullptr;
    }
    box->instanceId = instance->resourceId;
    box->index = index;
    std::snprintf(box->name, sizeof box->name, "%s", name ? name : "");
    box->transport = transport;
    instance->clones[index] = box;
    ++instance->cloneCount;
    return box;
}

int KTS_SetDebug(CSIBox* box, int level) {
    if (box == nullptr) return -1;
    box->debugLevel = level > 0 ? level - 1 : 0;
    // Only the parts that exist (a missing script would be traced as an
    // error at every start).
    if (box->script != nullptr) SCRIPT_SetDebug(box->script, box->debugLevel);
    if (box->document != nullptr) KTDOC_SetDebug(box->document, box->debugLevel);
    if (box->console != nullptr) KTCONSOL_SetDebug(box->console, box->debugLevel);
    return 1;
}

int KTS_ResetTransport(CSIBox* box) {
    if (box == nullptr) return -1;
    return box->transport != nullptr ? 1 : 0;
}

int KTS_NewTextManager(CSIBox* box) {
    if (box == nullptr) return -1;
    TEXT_MANAGER* manager = TEXT_NewTEXTManager();
    if (manager == nullptr) return -2;
    if (box->textManager != nullptr) TEXT_FreeTEXTManager(box->textManager);
    box->textManager = manager;
    return 1;
}

int KTS_NewConsole(CSIBox* box, const char* consoleName) {
    if (box == nullptr) return -1;
    if (box->textManager == nullptr) return -3;
    ConsoBox* console = KTCONSOL_NewConso(box->instanceId, box->index,
                                          consoleName ? consoleName : box->name, box->transport,
                                          box->textManager);
    if (console == nullptr) return -2;
    if (box->console != nullptr) KTCONSOL_FreeConso(box->console);
    box->console = console;
    return 1;
}

int KTS_FreeBox(CSIBox* box, int hangUp) {
    if (box == nullptr) return -1;
    if (box->textManager != nullptr) TEXT_FreeTEXTManager(box->textManager);
    SCRIPT_Free(box->script);
    KTDOC_Free(box->document, 0);
    if (box->console != nullptr) KTCONSOL_FreeConso(box->console);
    if (box->transport != nullptr) KTX_FreeBox(box->transport, hangUp);
    delete box;
    return 1;
}

int WTextGetExternalPeriphManager(CSIBox* box, int resourceId, int station, int value) {
    if (box == nullptr || box->console == nullptr) return -2;
    return PAP_NewPAPbox(resourceId, station, value, box->console);
}

int KTS_NewInterfacePeriphBox(CSIBox* box, int resourceId, int station, int value) {
    if (box == nullptr || box->console == nullptr) return -2;
    return SAP_NewSAPbox(resourceId, station, value, box->console);
}

ANIBox* KTS_GetAnnex(int appId, int cloneId, int networkType, const char* service, const char* host,
                     const char* host2, const char* clientCert, const char* serverCert, int checkCert,
                     int versionSSL, const char* tlsArguments, const char* serverName) {
    auto* annex = static_cast<ANIBox*>(WAlloc(sizeof(ANIBox)));
    if (annex == nullptr) {
        WSysError("-- ERROR -- KTS_GetAnnex : Echec Allocation structure ANIBox....");
        return nullptr;
    }
    annex->kind = 2;
    annex->appId = appId;
    annex->cloneId = cloneId;
    annex->networkType = networkType;
    annex->box = KTX_NewClientBox(appId, cloneId);
    if (annex->box == nullptr) {
        WSysError("-- ERROR -- KTX_NewClientBox() KTX_NewClientBox() returned an error, clone id: %d", cloneId);
        WFree(annex);
        return nullptr;
    }
    const int result = KTX_ClientNetStart(annex->box, networkType, service, service, host, host2, clientCert,
                                          serverCert, checkCert, versionSSL, tlsArguments, serverName);
    if (result < 0) {
        const auto text = [](const char* t) { return t != nullptr ? t : ""; };
        if (service != nullptr && host != nullptr && host2 != nullptr)
            WSysError("-- ERROR -- KTS_GetAnnex() KTX_ClientNetStart() returned an error: %d, service: %s, host 1: "
                      "%s, host 2: %s",
                      result, service, host, host2);
        else
            WSysError("-- ERROR -- KTS_GetAnnex() KTX_ClientNetStart() returned an error: %d, service: %s, host 1: %s",
                      result, text(service), text(host));
        KTX_CloseClientBox(annex->box, 1);
        WFree(annex);
        return nullptr;
    }
    return annex;
}

int KTS_FreeAnnex(ANIBox* annex, int hangUp) {
    if (annex == nullptr) return 0;
    KTX_CloseClientBox(annex->box, hangUp);
    annex->box = nullptr;
    WFree(annex);
    return 1;
}

int KTS_AnnexPutRequest(ANIBox* annex, const char* k, const char* s, const char* u, const char* a,
                        const char* m) {
    if (annex == nullptr || annex->box == nullptr || annex->box->mess == nullptr) return 0;
    KTM_WPRO* mess = annex->box->mess;
    const struct {
        char letter;
        const char* value;
    } rubriques[] = {{'K', k}, {'S', s}, {'U', u}, {'A', a}, {'M', m}};
    for (const auto& r : rubriques) {
        // A value that does not fit its rubrique is refused: the request is
        // not sent with a rubrique left over from the previous one.
        if (r.value != nullptr && KTM_PutNextArg(mess, r.letter, r.value, 1) < 0) return -1;
    }
    if (m != nullptr && KTX_SomeThingToSend(mess, 1) < 0) return -1;
    return 1;
}

int KTS_SetAnnexTimeOut(ANIBox* annex, long milliseconds) {
    if (annex == nullptr || annex->box == nullptr) return 0;
    KTX_SetTimeOutAndModes(annex->box, milliseconds, -1, -1);
    return 1;
}

int KTS_SetDirectory(CSIBox* box, const char* path) {
    return box != nullptr && box->textManager != nullptr ? TEXT_SetDirectory(box->textManager, path)
                                                         : -1;
}

int KTS_SetCountry(CSIBox* box, int country) {
    return box != nullptr && box->textManager != nullptr
               ? TEXT_SetCountry(box->textManager, country)
               : -1;
}

int KTS_SetFile(CSIBox* box, const char* name) {
    return box != nullptr && box->textManager != nullptr ? TEXT_OpenFile(box->textManager, name)
                                                         : -1;
}

const char* KTS_GetItemText(CSIBox* box, const char* key) {
    return box != nullptr && box->textManager != nullptr
               ? TEXT_GetItemText(box->textManager, key)
               : nullptr;
}

int KTS_ReSetItemText(CSIBox* box, const char* key, const char* value) {
    return box != nullptr && box->textManager != nullptr
               ? TEXT_ReSetItemText(box->textManager, key, value)
               : -1;
}

int KTS_ReSetFileText(CSIBox* box) {
    return box != nullptr && box->textManager != nullptr ? TEXT_ReSetFileText(box->textManager)
                                                         : -1;
}

const char* KTS_GetSystemText(CSIBox* box, const char* key) {
    return box != nullptr && box->textManager != nullptr
               ? TEXT_GetSystemText(box->textManager, key)
               : nullptr;
}

namespace {
ConsoBox* ConsoleOf(CSIBox* box) { return box != nullptr ? box->console : nullptr; }
}  // namespace

int KTS_AddWindow(CSIBox* box, const char* name, int rows, int columns) {
    return KTCONSOL_AddFenetre(ConsoleOf(box), name, rows, columns);
}

KT_TEXT_WINDOW* KTS_GetWindow(CSIBox* box, const char* name) {
    ConsoBox* console = ConsoleOf(box);
    if (console == nullptr) return nullptr;
    if (name != nullptr) return KTCONSOL_FindFenetre(console, name);
    for (KT_TEXT_WINDOW* window : console->windows)
        if (window != nullptr && strcasecmp(window->name, console->currentWindow) == 0) return window;
    return nullptr;
}

int KTS_SetWindowColors(CSIBox* box, const char* name, int frame1, int frame2, int text1,
                        int text2) {
    return KTCONSOL_SetFenetreColors(ConsoleOf(box), name, frame1, frame2, text1, text2);
}

int KTS_SetWindowPosition(CSIBox* box, const char* name, int row, int column) {
    return KTCONSOL_SetFenetrePosition(ConsoleOf(box), name, row, column);
}

int KTS_SetWindowSpoolMode(CSIBox* box, const char* name, int mode) {
    return KTCONSOL_SetFenetreSpoolMode(ConsoleOf(box), name, mode);
}

int KTS_RestartWindowSpool(CSIBox* box, const char* name) {
    KT_TEXT_WINDOW* window = KTS_GetWindow(box, name);
    if (window == nullptr) return -1;
    TWI_OpenSpool(window, 1);
    TWI_CloseSpool(window);
    return 1;
}

int KTS_SetWindowLineMode(CSIBox* box, const char* name, int mode) {
    return KTCONSOL_SetFenetreLineMode(ConsoleOf(box), name, mode);
}

int KTS_SetWindowTrim(CSIBox* box, const char* name, int flag) {
    return KTCONSOL_SetFenetreTrim(ConsoleOf(box), name, flag);
}

int KTS_SetWindowTexts(CSIBox* box, const char* name, const char* text1, const char* text2,
                       const char* text3) {
    return KTCONSOL_SetFenetreTexts(ConsoleOf(box), KTS_GetWindow(box, name), text1, text2, text3);
}

int KTS_SetWindowGraphic(CSIBox* box, const char* name, char value) {
    KT_TEXT_WINDOW* window = KTS_GetWindow(box, name);
    if (window == nullptr) return -1;
    TWI_SetGraphic(window, value);
    return 1;
}

int KTS_SetVideo(CSIBox* box, void* buffer) {
    ConsoBox* console = ConsoleOf(box);
    if (console == nullptr) return -1;
    if (buffer == nullptr) {
        char name[40];
        std::snprintf(name, sizeof name, "%s%03d%02d", "B_VIDEO", console->number1 % 1000,
                      console->number2 % 100);
        buffer = WOpenShareMemHeap(name, 8192);
        if (buffer == nullptr) {
            WSysError("-- ERROR -- KTCONSOL SetVideo() : Echec Allocation Buffer....");
            return -1;
        }
        std::memset(buffer, 0, 8192);
    }
    if (console->video != nullptr && console->video != buffer) WFreeShareMemHeap(console->video);
    console->video = buffer;
    return 1;
}

int KTS_SetWindowTitle(CSIBox* box, const char* name, const char* text) {
    return KTCONSOL_SetFenetreTitle(ConsoleOf(box), name, text);
}

int KTS_SetWindowFooter(CSIBox* box, const char* name, const char* text) {
    return KTCONSOL_SetFenetreFooter(ConsoleOf(box), name, text);
}

int KTS_SetWindowResource(CSIBox* box, const char* name, int resource) {
    return KTCONSOL_SetFenetreResource(ConsoleOf(box), name, resource);
}

int KTS_DisplayWindow(CSIBox* box, const char* name) {
    if (name == nullptr) return -1;
    return KTCONSOL_DisplayFenetreByName(ConsoleOf(box), name);
}

int KTS_SelectInWindow(CSIBox* box, const char* name, int count, int itemWidth, int flag,
                       const char* items, const char* title, int mode) {
    KT_TEXT_WINDOW* window = KTS_GetWindow(box, name);
    ConsoBox* console = ConsoleOf(box);
    if (window == nullptr || console == nullptr) return 255;
    unsigned char item = 255;
    const int resource = window->resource;
    const bool consoleWindow = resource == 41 || resource == 42 || resource == 62;
    if (consoleWindow && ISAP_IsWindowBound(window) != 0) {
        KTTD_SelectList(console, window, console->timeout, window->rows, window->columns, count, itemWidth, flag,
                        title, items, &item);
        return item;
    }
    if (!consoleWindow && resource != 45 && resource != 47 && resource != 61 && resource != 65 && resource != 67)
        return 255;
    // The result is read again while it is not there, for at most the
    // console's time-out (seconds) plus 500 ms; each read waits on the
    // interface's link.
    int status = ISAP_SetSelecCommand(window, count, itemWidth, flag, title, items, mode);
    const WTimeStamp start = WGetTimeStamp();
    const int64_t limit = static_cast<int64_t>(console->timeout) * 1000 + 500;
    const int32_t limitMs = limit > INT32_MAX ? INT32_MAX : static_cast<int32_t>(limit);
    while (status == PV_ALL_FINE || status == PV_NET_TIMEOUT) {
        status = ISAP_GetSelecResult(window, &item);
        if (status != PV_NET_TIMEOUT || WIsTimeOut(start, limitMs) == 1) break;
        TWIP_IncAnswerCount();
    }
    return status == PV_ALL_FINE ? item : 255;
}
