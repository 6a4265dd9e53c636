// Fuzz target of the RUDA screen texts: the first byte chooses the
// conversion (Latin-1 to UTF-8, display text to lines, the selection grid
// with columns and rows from the next two bytes, or a whole dialogue record
// built into a request), the rest is the text. Outputs stay within their
// bounds: UTF-8 at most twice the input, the line buffer within its 1024
// characters and always ended, the grid exactly columns x (rows + 1), a
// request's data never above 255 bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "protocols/ruda/ruda_display.h"
#include "protocols/ruda/ruda_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 3 || size > 8000) return 0;
    const uint8_t choice = input[0];
    const unsigned char* text = input + 3;
    const int length = static_cast<int>(size - 3);
    switch (choice % 4) {
        case 0: {
            const std::string out = RUDA_Latin1ToUtf8(text, length);
            Check(out.size() <= 2 * static_cast<size_t>(length), "UTF-8 at most twice the input");
            for (unsigned char c : out) Check(c != 0x80 && c != 0xFF, "no raw high byte left");
            break;
        }
        case 1: {
            RudaLineBuffer lines;
            if ((choice & 0x10) != 0) {  // a title first, as a display may put it
                std::memset(lines.text, ' ', 16);
                lines.count = 16;
                lines.flag = 1;
            }
            RUDA_DisplayTextToLines(&lines, text, length);
            Check(lines.count >= 0 && lines.count <= kRudaLineBufferSize, "line count");
            Check(lines.text[kRudaLineBufferSize] == '\0', "line buffer ended");
            Check(RUDA_LineBufferText(lines).size() <= static_cast<size_t>(kRudaLineBufferSize), "line text");
            break;
        }
        case 2: {
            const int columns = input[1] % 100, rows = input[2] % 100;
            const std::string grid = RUDA_GridLayout(text, length, columns, rows);
            if (columns == 0 || rows == 0)
                Check(grid.empty(), "no grid without columns or rows");
            else
                Check(grid.size() == static_cast<size_t>(columns) * (rows + 1), "grid size");
            break;
        }
        default: {
            // The input as a dialogue record: its kind, then its text area.
            static const int32_t kinds[] = {TERM_DISPLAY_TEXT, TERM_DISPLAY_SELECT, TERM_DISPLAY_ENTRY,
                                            TERM_DISPLAY_KEY_WAIT, TERM_DISPLAY_SECRET_ENTRY, 0};
            TermDisplayBlock block{};
            block.kind = kinds[input[1] % 6];
            block.selectionOption = input[2] % 6;
            const size_t n = std::min<size_t>(static_cast<size_t>(length), sizeof block.text);
            std::memcpy(block.text, text, n);
            block.textLength = static_cast<int32_t>(n);
            unsigned char* apdu = nullptr;
            int apduLength = 0;
            const int built = RUDA_BuildDialogueRequest(&block, &apdu, &apduLength);
            Check(built >= -1 && built <= 1, "builder result");
            if (built == 1) {
                Check(apdu != nullptr && apduLength >= 4 && apduLength <= 4 + 1 + 255, "short request");
                if (apduLength > 4) Check(apdu[4] == apduLength - 5, "Lc matches the data");
            }
            if (apdu != nullptr) WFree(apdu);
            break;
        }
    }
    return 0;
}
