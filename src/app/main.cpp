// trv_71: the console program of one station.
//
// For now it reads its command line and answers a one-shot request (-R)
// itself: the session, the POS link and the request dispatch come later, so
// every request is answered as unsupported (result "36").
#include <cstdio>
#include <cstring>
#include <string>

#include "core/tag_buffer.h"
#include "core/trace.h"
#include "platform/process.h"

namespace {

constexpr const char* kVersion = "13.0.26.000000";

void PrintUsage() {
    std::fputs("\nSYNTAXE D'APPEL:", stdout);
    std::fputs("\n\ttrv_71 [-istationid] [-llangue] [-ddebuglevel] [-ffiletrace] [-mmodulotrace] "
               "[-cclientnettype] [-rresourceid] [-pmainpath] [-eechomode] [-ggenearteevent]",
               stdout);
    std::fflush(stdout);
}

// Answers a request with the station, service and command it named and the
// result "36": no service is available yet.
int AnswerOneShot(const std::string& request) {
    static char in[TAG_MESSAGE_BUFFER_SIZE];
    static char out[TAG_MESSAGE_BUFFER_SIZE];
    std::memset(in, 0, sizeof in);
    std::memcpy(in, request.data(), request.size());
    TAG_InitRead(in, TAG_MESSAGE_MAX_CHARS, 0);

    char ps[16] = "", sv[16] = "", cd[16] = "";
    const bool hasSv = TAG_Get("SV", sv, sizeof sv, 1) == 1;
    const bool hasCd = TAG_Get("CD", cd, sizeof cd, 1) == 1;
    TAG_Get("PS", ps, sizeof ps, 1);

    TAG_InitWrite(out, TAG_MESSAGE_MAX_CHARS, 1);
    TAG_Set("SS", "A");
    if (*ps) TAG_Set("PS", ps);
    if (hasSv) TAG_Set("SV", sv);
    if (hasCd) TAG_Set("CD", cd);
    TAG_Set("RS", "36");
    std::fputs(out, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    plat::InstallTerminateHandler();
    std::string oneShot;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strlen(arg) > TAG_MESSAGE_MAX_CHARS) return 0;
        if (arg[0] != '-') continue;
        if (arg[1] == '?') PrintUsage();
        if (arg[1] == 'R') oneShot = arg + 2;
    }
    WSysError("** INFO. ** trv_71 version %s", kVersion);
    if (!oneShot.empty()) return AnswerOneShot(oneShot);
    WSysError("<< WARN. >> trv_71: no POS link yet, nothing to serve");
    return 0;
}
