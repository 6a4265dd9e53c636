// Terminal box: no terminal is configured yet.
#include "periph/terminal_box.h"

#include <new>

#include "core/trace.h"

namespace {
EPAP_WaitCallbackFn g_waitCallback = nullptr;
int g_echoMode = 0;
KT_EPERIPH_API* g_box = nullptr;
}  // namespace

int GetTerminalFamily(unsigned modelNumber) {
    if (modelNumber == 0) return 0;
    if (modelNumber == 888) return 4;
    const unsigned hundreds = modelNumber / 100 % 10;
    if ((hundreds & 2U) == 0) return 1;
    return (hundreds & 4U) != 0 ? 3 : 2;
}

KT_EPERIPH_API* EPAP_GetBox() { return g_box; }
int EPAP_GetProtocol(int) { return 1; }
void EPAP_SetWaitCallback(EPAP_WaitCallbackFn callback) { g_waitCallback = callback; }
EPAP_WaitCallbackFn EPAP_GetWaitCallback() { return g_waitCallback; }
void EPAP_SetEchoMode(int mode) { g_echoMode = mode; }
int EPAP_ClearAll() { return -1; }
int EPAP_DisplayMessage(int, const char*, int, int, const char*, int, int) { return PV_PER_ACCES; }
const char* TDSP_GetLastText() { return nullptr; }
int EPAP_SendScriptCommands() { return PV_ALL_FINE; }
int EPAP_DisplayMessageAndReset(int, const char*, int, int, const char*, int) { return 1; }
int EPAP_SelectLanguage(int, const char*, int) { return PV_PER_ACCES; }
KT_PERES* TWEP_FindFunction(KT_EPERIPH_API*, int, int) { return nullptr; }
void TWEP_CloseSerialPorts(KT_EPERIPH_API*) {}

int PAP_NewPAPbox(int resourceId, int station, int, ConsoBox*) {
    if (g_box != nullptr) return 2;
    g_box = new (std::nothrow) KT_EPERIPH_API{};
    if (g_box == nullptr) {
        WSysError("-- ERROR -- PAP_NewPAPbox() : Echec Allocation structure PAP");
        return -1;
    }
    g_box->resourceId = resourceId;
    g_box->station = station;
    return 1;
}

int EPAP_DealRelayMessage(KTX_WSERV*) { return 'P'; }
int EPAP_CreateFunctionProfile(const char*, int, int, const char*) { return PV_ALL_FINE; }
void TWEP_CheckDriverChange(KT_EPERIPH_API*) {}
void TWEP_ReactivatePort(KT_EPERIPH_API*, int) {}

int EPAP_WaitEvent(int, int, char* event) {
    if (event != nullptr) event[0] = '\0';
    return g_box == nullptr ? -1 : PV_PER_ACCES;
}

int TDSP_ShowText(ConsoBox*, KT_TEXT_WINDOW*, const char*, int, int, int, int, int) { return -1; }

int TDSP_GetEntry(ConsoBox*, int, int, int, int, int, char*, const char*, char* key) {
    if (key != nullptr) *key = static_cast<char>(255);
    return -1;
}

int TDSP_WaitKey(int, int, char* key) {
    if (key != nullptr) *key = static_cast<char>(255);
    return -1;
}

int TDSP_SelectItemBasic(ConsoBox*, KT_TEXT_WINDOW*, int, int, int, int, int, int, const char*, const char*,
                         unsigned char* result) {
    if (result != nullptr) *result = 255;
    return -1;
}
