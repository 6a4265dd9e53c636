// Peripheral context: what the program builds at session opening from the
// "com", "dsp", "prn" and "med" files of "WCFG" to reach its peripherals:
// the communication resources of the station's links, the console windows of
// the displays and printers, the terminal functions with their protocols, and
// the station-specific names of the physical files. Main thread only.
#pragma once
#include <cstddef>

struct EFTCBox;

constexpr int TOC_COM_ENTRIES = 2;
constexpr int TOC_DSP_ENTRIES = 2;
constexpr int TOC_PRN_ENTRIES = 2;
constexpr int TOC_MED_ENTRIES = 10;
constexpr int TOC_CUT_MAX = 30;  // bytes of a paper-cut sequence
// Longest file name built from "com" (what a communication resource takes).
constexpr int TOC_COM_NAME_MAX = 74;

// 1 built; -1 no context or a section failed with -1; -3 no "WCFG"
// directory; -4 the communication context was not created; otherwise the
// negative result of a box creation, of a file selection or of a section.
int TOC_MakePeripheralContext(EFTCBox* context);
// The "com" entries of the current file of the box: the number handled (0
// to 2), -1 no context or a resource could not be created. With the reload
// flag the resources made at start-up take their new file names.
int TOC_LoadComResources(EFTCBox* context, int reload);
// Entries handled; -2 a function without window, -4 the window was not
// made, -1 the interface resource or the terminal function was refused.
int TOC_LoadDisplayWindows(EFTCBox* context);
int TOC_LoadPrinterWindows(EFTCBox* context);
// Functions handled (0 to 10); -1 a terminal function was refused.
int TOC_LoadTerminalFunctions(EFTCBox* context);
// Window of a function name ("V5" ...) or null; *resource gets its number
// on a match only.
const char* TOC_GetZoneOfFunction(const char* function, int* resource);
// Screen position of a window (1, 1 for an unknown name).
void TOC_GetZonePosition(const char* window, int* row, int* column);
// The station-specific physical name of a file: 1 written; -1 it does not
// fit the target (which is left empty).
int TOC_MakePhysicalFileName(const char* name, char* target, size_t size);
// Index (0 to 998) of the network resource whose label LTY in "net" holds
// the label; without label, the option NetResourceIndexToUse. -1 a type
// other than 1, no "net" file or no such label; -3 no "WCFG" directory.
int TOC_getResourceIndexToUse(EFTCBox* context, const char* label, int type);
// Closes the communication trace of the resource that serves a terminal
// function (the RUDA protocol keeps its own). The log buffer of the
// terminal resource is not built yet.
void ResetPeripheralComLog(int function);
// Stands for the operations that always succeed.
int ReturnOne();
