// Files and HTML pages of a RUDA terminal: whether a file is on the
// terminal, and a page shown with its answer read back. Both address the
// function they are given, never whatever resource was used last.
#include <cstdint>
#include <string>

#include "core/trace.h"
#include "periph/terminal_box.h"
#include "protocols/html_page.h"
#include "protocols/pv_status.h"
#include "protocols/term_files.h"

namespace {

constexpr int kRudaProtocol = 16;
constexpr int kSelectFileCommand = 153;
constexpr int kHtmlPageCommand = 165;
constexpr int kFileReadMs = 2000;
constexpr int kFilePollMs = 30;
constexpr int kPagePollMs = 200;
constexpr uint8_t kSelectExistence = 4;
constexpr int32_t kNoSize = -1;

bool HasTerminal() { return EPAP_GetBox() != nullptr || EPAP_GetSeam() != nullptr; }

void UpdateStatus() { TWEP_UpdateStatus(EPAP_GetBox(), EPAP_CurrentResource()); }

// The file check of a RUDA function: 0 present, -1 missing, else the
// failing status. The terminal tells a file's size with it; an answer
// without one means the file is not there.
int CheckRudaFile(int function, const char* path) {
    WSysError("@@ DEBUG @@ Check html file existence %s", path);
    const TermFileRecord file{path, &kSelectExistence};
    int32_t size = kNoSize;
    int status = EPAP_SetCommand(function, kSelectFileCommand, &file);
    if (status == 0) status = EPAP_SendScriptCommands();
    if (status == 0) status = EPAP_GetResultEx(function, kSelectFileCommand, kFileReadMs, kFilePollMs, &size);
    EPAP_ClearAll();
    if (status != 0) {
        WSysError("@@ DEBUG @@ Erreur acces fichier %s", path);
        UpdateStatus();
        return status;
    }
    if (size == kNoSize) {
        WSysError("@@ DEBUG @@ File %s is not in the terminal ", path);
        return -1;
    }
    UpdateStatus();
    return 0;
}

}  // namespace

int EPAP_CheckTerminalFile(int function, const char* path) {
    if (!HasTerminal() || path == nullptr) return -1;
    const int protocol = EPAP_GetProtocol(function);
    if (protocol != kRudaProtocol) return -1;
    return CheckRudaFile(function, path);
}

int EPAP_CheckHtmlFile(int function, const char* name) {
    if (name == nullptr) return -1;
    return EPAP_CheckTerminalFile(function, (std::string("www/") + name).c_str());
}

int EPAP_DisplayHtmlPage(int function, const HtmlPageRequest* request, HtmlPageResponse* response, int timeoutMs,
                         int checkFile) {
    if (!HasTerminal()) return -1;
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) return -2;
    if (protocol != kRudaProtocol || request == nullptr) return -1;
    if (checkFile != 0) {
        const std::string path = "www/" + request->getPageName();
        if (CheckRudaFile(function, path.c_str()) != 0) {
            WSysError("@@ DEBUG @@ Erreur acces fichier %s", path.c_str());
            return -1;
        }
    }
    int status = EPAP_SetCommand(function, kHtmlPageCommand, request);
    if (status == 0) status = EPAP_SendScriptCommands();
    if (status == 0) status = EPAP_GetResultEx(function, kHtmlPageCommand, timeoutMs, kPagePollMs, response);
    EPAP_ClearAll();
    UpdateStatus();
    return status;
}
