// Server box API: the main instance, the per-application box with its text
// manager and console, and the box operations that forward to them.
#include "app/server_box.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "core/shared_blocks.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"

namespace {
KT_MAIN_SERVER_INSTANCE g_mainInstance{};
}

int KT_MAIN_SERVER_INSTANCE::initialize(int resource, int maxBoxes) {
    resourceId = resource;
    maxClones = maxBoxes;
    initialized = 1;
    return 1;
}

int KT_MAIN_SERVER_INSTANCE::start() { return initialized == 1 ? 1 : -1; }

int KT_MAIN_SERVER_INSTANCE::freeClone(CSIBox* box) {
    if (box == nullptr) return -1;
    KTS_FreeBox(box);
    if (cloneCount > 0) --cloneCount;
    return 1;
}

KT_MAIN_SERVER_INSTANCE& KTS_MainInstance() { return g_mainInstance; }

int KTS_GetMain(int clientNetType, const char* instanceName) {
    (void)instanceName;
    g_mainInstance.typeMask = clientNetType;
    return g_mainInstance.initialized == 1 ? 1 : -1;
}

CSIBox* KTS_GetClone(const char* instanceName, int resourceId) {
    CSIBox* box = new (std::nothrow) CSIBox{};
    if (box == nullptr) return nullptr;
    box->instanceId = resourceId;
    std::snprintf(box->name, sizeof box->name, "%s", instanceName ? instanceName : "");
    ++g_mainInstance.cloneCount;
    return box;
}

int KTS_SetDebug(CSIBox* box, int level) {
    if (box == nullptr) return -1;
    box->debugLevel = level > 0 ? level - 1 : 0;
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

int KTS_FreeBox(CSIBox* box) {
    if (box == nullptr) return -1;
    if (box->textManager != nullptr) TEXT_FreeTEXTManager(box->textManager);
    if (box->console != nullptr) KTCONSOL_FreeConso(box->console);
    delete box;
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

int KTS_SelectInWindow(CSIBox* box, const char* name, int, int, int, const char*, const char*,
                       int) {
    (void)KTS_GetWindow(box, name);
    return 255;
}

int WTextGetExternalPeriphManager(CSIBox* box, int resourceId, int station, int value) {
    ConsoBox* console = ConsoleOf(box);
    if (console == nullptr) return -2;
    return PAP_NewPAPbox(resourceId, station, value, console);
}

int KTS_NewInterfacePeriphBox(CSIBox* box, int, int, int) {
    ConsoBox* console = ConsoleOf(box);
    if (console == nullptr) return -2;
    return SAP_NewSAPbox(console);
}
