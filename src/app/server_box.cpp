// Server box API, least behaviour: boxes without text manager or console.
#include "app/server_box.h"

#include <cstdio>
#include <new>

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
    if (box == nullptr) return 0;
    delete box;
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
    box->debugLevel = level;
    return 1;
}

int KTS_ResetTransport(CSIBox* box) {
    if (box == nullptr) return -1;
    box->transport = nullptr;
    return 1;
}

int KTS_SetDirectory(CSIBox*, const char*) { return -1; }
int KTS_SetCountry(CSIBox*, int) { return -1; }
int KTS_SetFile(CSIBox*, const char*) { return -1; }
const char* KTS_GetItemText(CSIBox*, const char*) { return nullptr; }
int KTS_ReSetItemText(CSIBox*, const char*, const char*) { return -1; }
int KTS_ReSetFileText(CSIBox*) { return -1; }
const char* KTS_GetSystemText(CSIBox*, const char*) { return nullptr; }
KT_TEXT_WINDOW* KTS_GetWindow(CSIBox*, const char*) { return nullptr; }
int KTS_RestartWindowSpool(CSIBox*, const char*) { return -1; }
