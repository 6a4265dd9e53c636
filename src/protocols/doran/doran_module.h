// DORAN command module: the entry points of protocol 2 that other layers
// call. Only the wait for the terminal's announcement is declared here, with
// the least behaviour (no byte of the line is read, so no announcement ever
// comes); the command building and the answer decoding come later.
#pragma once

struct KT_EPERIPH_API;
struct KT_PERES;

// Waits for an event of the terminal (its echo byte on the serial line):
// 0 with *event set, 1 (no box or resource, or a malformed event), 64
// (PV_NOT_YET: nothing came) or 80 (PV_PER_RESET: the wait callback asked
// to stop). A network resource answers 0 at once.
// Least behaviour: nothing comes; the first byte's wait (a tenth of the
// time-out) passes, the wait callback is called, then 64 (80 when the
// callback asked to stop).
int DRN_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);
