// PC console services used at start-up and around the automatic maintenance.
// Least behaviour for now: the settings are kept, no console exists.
#pragma once

struct KT_TEXT_WINDOW;

void KTCONSOL_SetWorkDirectory(const char* base, const char* argument);
void KTCONSOL_SetPrintCommand(const char* text);
void TWI_SetSpoolMaxSize(int sizeKb);
int TWI_GetSpoolMaxSize();
void ISAP_ResetWindowResource(KT_TEXT_WINDOW* window);
void ISAP_SetWindowResource(KT_TEXT_WINDOW* window, int resource);
