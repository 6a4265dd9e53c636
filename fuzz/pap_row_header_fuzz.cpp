// Fuzz target of the script rows: any bytes as a row header and as the
// headers of a whole table written back through the row-header front end,
// then every table operation of the engine over them (next command of a
// link, answer stored, answer taken, answer state, re-arming). Nothing reads
// or writes past a row, and a command frame taken lies inside its row.
#include <cstdint>
#include <cstring>

#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/terminal_box.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    static bool made = false;
    if (!made) {
        made = PAP_NewPAPbox(1, 1, 0, nullptr) == 1;
        EPAP_CreateFunctionProfile("EFT_DSP", 0, 0, "RUDA");
        EPAP_CreateFunctionProfile("EFT_CAM_1", 0, 0, "RUDA");
    }
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr || size < 1) return 0;

    char row[PAP_ROW_HEADER + 1] = {};
    std::memcpy(row, input, std::min<size_t>(size, PAP_ROW_HEADER));
    PapRowHeader h{};
    TWEP_ParseRowHeader(row, &h);

    char headers[PAP_ROWS * PAP_ROW_HEADER] = {};
    std::memcpy(headers, input, std::min(size, sizeof headers));
    EPAP_ClearAll();
    box->sequence = input[0] % 128;
    EPAP_SetCommandRowHeaders(headers);
    EPAP_SetAnswerRowHeaders(headers);

    KT_PERES* display = TWEP_FindFunction(box, 0, 1);
    KT_PERES* card = TWEP_FindFunction(box, 4, 1);
    for (KT_PERES* r : {display, card}) {
        int length = 0, last = 0;
        const char* frame = TWEP_GetCommandScriptMes(box, r, &length, &last);
        if (frame != nullptr) {
            Check(frame >= &box->commands[0][0] && frame < &box->commands[PAP_ROWS - 1][PAP_ROW_SIZE],
                  "frame outside the table");
            Check(length >= 0 && length <= 0xFFFF, "frame length");
        }
        static const char answer[] = "0008\0abc";
        TWEP_SetAnswerScriptMes(box, r, 8, answer);
        r->command = h.command;
        TWEP_GetAnswerState(box, r);
        for (int i = 0; i < PAP_ROWS + 1; ++i) {
            const char* a = TWEP_GetAnswerScriptMes(box, r, &length, &last);
            if (a == nullptr || last) break;
        }
        TWEP_RearmAnswerRow(box, h.command);
        TWEP_FailExpectedAnswers(box, r);
    }
    TWEP_IsAllScriptSent(box);
    TWEP_IsAllScriptReceived(box);
    return 0;
}
