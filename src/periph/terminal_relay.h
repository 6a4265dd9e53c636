// Terminal relay for the payment servers: a server message of application
// "1200" whose rubrique 'S' names a local terminal resource (an XPRO
// descriptor) and whose body is a terminal payload is forwarded to that
// resource's link; the terminal's acknowledgement and answers go back to the
// server on the same message stream. A message with an empty body fetches
// the terminal's answers. The relay slot (resource 20 of the box) stands for
// the server. Main thread, inside the server exchange step.
//
// EPAP_DealRelayMessage (periph/terminal_box.h) is the entry point; these
// are its steps. Every one traces on the "twep" logger and leaves the box's
// status set.
#pragma once
#include "periph/terminal_box.h"
#include "protocols/module_contract.h"

// Time the relay waits for a terminal's announcement before reading its
// answer (resources of Application "1000" whose protocol announces), and
// the length of each wait.
constexpr int PAP_RELAY_ANNOUNCE_WAIT_MS = 20000;
constexpr int PAP_RELAY_EVENT_WAIT_MS = 400;
// Bounds of one fetch: answers the terminal may chain (reply state 1), and
// the time they may take together.
constexpr int PAP_RELAY_MAX_ANSWERS = 64;
constexpr int PAP_RELAY_ANSWER_TIME_MS = 60000;
// The text of a terminal whose phone lines are all busy, PAP_RELAY_BUSY_TEXT,
// is the links' (protocols/module_contract.h).

// One relayed message on the relay slot: 1 when the terminal's reply was
// not to be answered, the MesStat of the last terminal reply, or a negative
// code (-1 no box, -2 no relay slot, -3 refused server message, -5 server
// link failed, -6 reset during the announcement wait, -7 answers beyond the
// bounds; the terminal steps' own codes otherwise).
int TWEP_DealPAPRelayHost(KT_EPERIPH_API* box, KT_PERES* relay);
// Reads the server message of the relay slot's link into the relay slot and
// the local resource it names, and copies its body into that resource's
// link: the local resource, or null (status set). *toSend is the body's
// length, or 1 for Application "9001" and "9002" (control codes with an
// empty body). A descriptor that is not whole, has a field wider than the
// resource record's or is longer than 100 characters, and a body over 12700
// bytes, are refused with PV_PROTO_ERROR before anything is copied.
KT_PERES* TWEP_RelaySrvMesRecv(KT_EPERIPH_API* box, KT_PERES* relay, int* toSend);
// Sends the local link's request to the terminal: the MesStat of the
// terminal's reply, or a negative code.
int TWEP_RelayPeriMesSend(KT_EPERIPH_API* box, KT_PERES* local);
// Reads one answer of the terminal (without waiting): its MesStat, or a
// negative code; *length the answer's length (0 on failure, and the local
// link's answer body emptied).
int TWEP_RelayPeriMesRecv(KT_EPERIPH_API* box, KT_PERES* local, int* length);
// Sends the local resource's descriptor and its link's answer body to the
// server: 1, or a negative code.
int TWEP_RelaySrvMesSend(KT_EPERIPH_API* box, KT_PERES* relay, KT_PERES* local);
