// Host exchange of the terminal script engine: the command module and the
// link callbacks of each protocol number, one link per serial port (and the
// box's stream for network resources), port switching between devices that
// share a driver, and the messages that carry command rows to the terminal
// and answers back. Main thread only.
#pragma once
#include <cstdarg>

#include "periph/terminal_box.h"
#include "protocols/module_contract.h"

// ---------------------------------------------------------------------------
// Protocols
// ---------------------------------------------------------------------------

// The command module and the link callbacks of a protocol number, or null
// when it has none.
const PapCommandModule* TWEP_GetModule(int protocol);
const PapLinkCallbacks* TWEP_GetLinkCallbacks(int protocol);
// Plugs a module and its link callbacks in under a protocol number (either
// may be null: none); the previous entry is returned through the out
// arguments when given, so a caller can put it back. 1, -1 for a number
// outside 0 to 255.
int TWEP_RegisterProtocol(int protocol, const PapCommandModule* module, const PapLinkCallbacks* link,
                          const PapCommandModule** previousModule = nullptr,
                          const PapLinkCallbacks** previousLink = nullptr);

// Selects the link callbacks of the resource's protocol into the
// process-wide slots: the protocol; -1 for a network resource or a protocol
// without callbacks ("Type de Materiel INCONNU"); -2 without a resource.
int TWEP_SelectTRANS(KT_PERES* resource);
// Binds the selected callbacks to the message block of the resource's link.
int TWEP_BindTRANS(KT_PERES* resource);

// ---------------------------------------------------------------------------
// Links and ports
// ---------------------------------------------------------------------------

// Opens the links not yet open: the number of serial links opened, -1 when
// an opening failed (the other ports are still opened), -2 without a box.
int TWEP_OpenTransports(KT_EPERIPH_API* box);
KTX_WSERV* TWEP_XLocalStart(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_XLocalStop(KT_EPERIPH_API* box, KT_PERES* resource);
KTX_WSERV* TWEP_XNetStart(KT_EPERIPH_API* box, KT_PERES* resource);
void TWEP_XNetStop(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_LockPorts(KT_EPERIPH_API* box);
// Port switching before a command for a serial function: the driver check
// when the port changes, then the port's resources made active again.
void TWEP_SwitchToPort(KT_EPERIPH_API* box, int port);
// Last used and new port (-1 at start); both back to -1.
int TWEP_LastUsedPort();
void TWEP_ResetPortState();
// The line parameters of a serial port applied for the server relay (until
// the port is closed).
bool TWEP_IsRelayPortReady(int port);
void TWEP_SetRelayPortReady(int port);

// ---------------------------------------------------------------------------
// Commands, answers and messages
// ---------------------------------------------------------------------------

int TWEP_SetOneCommand(KT_EPERIPH_API* box, KT_PERES* resource, va_list args);
int TWEP_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, va_list args);
int TWEP_SendScriptCommands(KT_EPERIPH_API* box);
int TWEP_GetScriptAnswers(KT_EPERIPH_API* box);
int TWEP_ScriptFunSend(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_ScriptFunRecv(KT_EPERIPH_API* box, KT_PERES* resource);
int TWEP_HostMesSend(KT_EPERIPH_API* box, KT_PERES* resource, const char* payload, int length, int first,
                     int last);
int TWEP_HostMesRecv(KT_EPERIPH_API* box, KT_PERES* resource, const char** answer, int ask, int wait);
// Puts the resource's XPRO address (rebuilt from its fields) into rubrique
// 'S' and the box's net application into rubrique 'A' of the request half of
// its link.
void TWEP_PutResourceAddress(KT_EPERIPH_API* box, KT_PERES* resource);
// Receive time-out of a serial link's message block (ms); the network
// stream's is 62000.
constexpr int PAP_NET_TIMEOUT_MS = 62000;
