// Console settings kept for the consoles made later.
#include "periph/console_windows.h"

#include <string>

namespace {
std::string g_spoolDirectory;
std::string g_printCommands[2];
int g_spoolMaxSizeKb = 0;
}  // namespace

void KTCONSOL_SetWorkDirectory(const char* base, const char* argument) {
    g_spoolDirectory = std::string(base ? base : ".") + "/WOut";
    g_printCommands[0] = argument ? argument : "";
    g_printCommands[1] = argument ? argument : "";
}

void KTCONSOL_SetPrintCommand(const char* text) { g_printCommands[0] = text ? text : ""; }

void TWI_SetSpoolMaxSize(int sizeKb) {
    if (sizeKb != 0) g_spoolMaxSizeKb = sizeKb;
}

int TWI_GetSpoolMaxSize() { return g_spoolMaxSizeKb; }

void ISAP_ResetWindowResource(KT_TEXT_WINDOW*) {}
void ISAP_SetWindowResource(KT_TEXT_WINDOW*, int) {}
