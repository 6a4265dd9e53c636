// Services built on the terminal script API that later work builds (the
// display dialogue, the language selection and the server relay): their
// least behaviour.
#include "periph/terminal_box.h"

int EPAP_DisplayMessage(int, const char*, int, int, const char*, int, int) { return PV_PER_ACCES; }
const char* TDSP_GetLastText() { return nullptr; }
int EPAP_DisplayMessageAndReset(int, const char*, int, int, const char*, int) { return 1; }
int EPAP_SelectLanguage(int, const char*, int) { return PV_PER_ACCES; }
int EPAP_DealRelayMessage(KTX_WSERV*) { return 'P'; }
