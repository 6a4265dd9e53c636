// Interface-peripheral box: the process's script box of the interface
// peripherals (PC and POS screens and printers, the terminal's screen and
// printer as windows).
//
// Least behaviour for now: no interface box is kept and window resources are
// accepted without being bound.
#pragma once

struct ConsoBox;
struct KT_TEXT_WINDOW;

// Creates the interface box of a console: 1 created, 2 it exists already,
// -1 no memory. Least behaviour: 1, nothing kept.
int SAP_NewSAPbox(ConsoBox* console);
// Finds or creates the interface resource of the window's resource number:
// the PV_ status. Least behaviour: PV_ALL_FINE, nothing bound.
int ISAP_OpenWindowResource(KT_TEXT_WINDOW* window);
