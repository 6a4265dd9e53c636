// A console with the interface engine's box, as the program makes them: the
// console of a station, its SAP box on a given stream, windows bound to
// interface resources; and recording executors of the POS GUI whose
// answers the test chooses. Everything goes with the fixture (box, console,
// executors), whatever the test did.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/length_prefixed.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/interface_exec.h"
#include "periph/interface_script.h"

namespace testsupport {

// What the POS GUI executors were given and what they answer.
struct PosGuiRecorder {
    struct Call {
        std::string kind;  // "display", "key", "entry", "selection", "spool"
        std::string text;  // line, field on entry, or title
        int timeoutMs = 0;
        int a = 0, b = 0, c = 0, d = 0;
    };
    std::vector<Call> calls;
    int result = 1;          // what every executor returns
    char key = 'V';          // key and entry executors
    std::string entered;     // what the entry leaves in the field
    unsigned choice = 1;     // selection

    static PosGuiRecorder& Get() {
        static PosGuiRecorder recorder;
        return recorder;
    }
    static int Display(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int lines, int width, int row, int, int clear,
                       int) {
        Get().calls.push_back({"display", text, 0, lines, width, row, clear});
        return Get().result;
    }
    static int Key(int timeoutMs, int flush, char* key) {
        Get().calls.push_back({"key", "", timeoutMs, flush});
        *key = Get().key;
        return Get().result;
    }
    static int Entry(ConsoBox*, KT_TEXT_WINDOW*, int timeoutMs, int row, int column, int length, char* zone,
                     const char*, char* key) {
        Get().calls.push_back({"entry", zone, timeoutMs, row, column, length});
        std::memcpy(zone, Get().entered.c_str(), Get().entered.size() + 1);
        *key = Get().key;
        return Get().result;
    }
    static int Selection(ConsoBox*, KT_TEXT_WINDOW*, int timeoutMs, int rows, int width, int count, int itemSize,
                         int, const char* title, const char*, unsigned* choice) {
        Get().calls.push_back({"selection", title, timeoutMs, rows, width, count, itemSize});
        *choice = Get().choice;
        return Get().result;
    }
    static int Spool(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int lines, int width, int row, int, int clear) {
        Get().calls.push_back({"spool", text, 0, lines, width, row, clear});
        return Get().result;
    }
    void Install() {
        *this = PosGuiRecorder{};
        static const PosGuiExecutors executors{Display, Key, Entry, Selection, Spool};
        ISAP_SetPosGuiExecutors(&executors);
    }
};

class InterfaceConsole : public ::testing::Test {
public:
    // The stream of the box (null: none).
    virtual KTX_WSERV* Stream() { return nullptr; }
    void SetUp() override {
        console = KTCONSOL_NewConso(1, 1, "TEST", Stream(), nullptr);
        ASSERT_NE(console, nullptr);
        ASSERT_EQ(SAP_NewSAPbox(Stream(), console, 1, 1, 0), 1);
        box = SAP_GetBox();
        KTCONSOL_SetTimeout(console, 30);
    }
    void TearDown() override {
        SAP_FreeSAPbox();
        ISAP_SetPosGuiExecutors(nullptr);
        KTCONSOL_FreeConso(console);
    }
    // A window bound to its interface resource.
    KT_TEXT_WINDOW* Window(const char* name, int resource, int rows, int columns) {
        if (KTCONSOL_AddFenetre(console, name, rows, columns) != 1) return nullptr;
        KTCONSOL_SetFenetreResource(console, name, resource);
        KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
        return ISAP_OpenWindowResource(w) == 0 ? w : nullptr;
    }
    KT_PIRES* ResourceOf(const KT_TEXT_WINDOW* w) { return TWIP_FindResourceByWindow(box, w); }

    ConsoBox* console = nullptr;
    KT_IPERIPH_API* box = nullptr;
};

// A payload written with the field encoder.
template <typename... Args>
std::string Payload(const char* format, Args... args) {
    uint8_t buffer[1024];
    const int n = TWIP_ReseauPrintf(buffer, sizeof buffer, format, args...);
    return n < 0 ? std::string() : std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
}

// Stores a command of the type for the resource.
inline int StoreCommand(KT_IPERIPH_API* box, KT_PIRES* r, int type, const std::string& payload, int clear = 0) {
    r->command = type;
    return TWIP_SetCommandScriptMes(box, r, clear, static_cast<int>(payload.size()), payload.data());
}

// Status of an answer row (its payload's first field), -1 when it has none.
inline int AnswerStatus(const KT_IPERIPH_API* box, int row) {
    const char* r = box->SAP_Answers[row];
    if (r[0] != TWIP_ANSWERED && r[0] != TWIP_READ && r[0] != TWIP_SENT) return -1;
    int status = -1;
    return TWIP_ReseauScanf(r + SAP_ROW_HEADER, "%X", &status) == 1 ? status : -1;
}

}  // namespace testsupport
