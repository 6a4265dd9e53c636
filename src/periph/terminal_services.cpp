// Services built on the terminal script API that later work builds (the
// display dialogue, the dialogue on the terminal screen and the language
// selection): their least behaviour.
#include "periph/terminal_box.h"

int EPAP_DisplayMessage(int, const char*, int, int, const char*, int, int) { return PV_PER_ACCES; }
const char* TDSP_GetLastText() { return nullptr; }
int EPAP_DisplayMessageAndReset(int, const char*, int, int, const char*, int) { return 1; }
int EPAP_SelectLanguage(int, const char*, int) { return PV_PER_ACCES; }

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

int TDSP_SelectItem(ConsoBox*, KT_TEXT_WINDOW*, int, int, int, int, int, int, const char*, const char*, int,
                    unsigned char* result) {
    if (result != nullptr) *result = 255;
    return -1;
}
