// The wait callback of the terminal box as the command modules' waits call it.
#include "protocols/terminal_frame.h"

int PAP_WaitCallbackStops(KT_EPERIPH_API* box) {
    if (box == nullptr || box->waitCallback == nullptr) return 0;
    char text[PAP_WAIT_TEXT] = {};
    box->waitCallback(text);
    return text[0] == 'S' ? 1 : 0;
}
