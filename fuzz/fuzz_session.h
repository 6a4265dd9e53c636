// An open session of the console program for the fuzz targets: a till
// directory of empty configuration files made under /tmp at the first call
// and removed at exit, debug level 0, no trace lines.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/startup.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "station/eft_context.h"

inline std::string& FuzzSessionDirectory() {
    static std::string dir;
    return dir;
}

inline void RemoveFuzzSessionDirectory() {
    std::error_code ec;
    if (!FuzzSessionDirectory().empty()) std::filesystem::remove_all(FuzzSessionDirectory(), ec);
}

// Opens the session of station 7 in a new directory named after the
// template ("/tmp/znp-fuzz-...-XXXXXX").
inline EFTCBox* OpenFuzzSession(const char* directoryTemplate) {
    std::string dir = directoryTemplate;
    Check(mkdtemp(dir.data()) != nullptr, "no temporary directory");
    FuzzSessionDirectory() = dir;
    std::atexit(RemoveFuzzSessionDirectory);
    for (const char* sub : {"WCFG", "WPAF", "WTXT", "WOut"}) std::filesystem::create_directory(dir + "/" + sub);
    InitDefaultOptions();
    g_processOptions.debugLevel = 0;
    g_processOptions.station = 7;
    std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", dir.c_str());
    Check(TOC_OpenSession() == 1, "session not opened");
    WSysSetTraceHook(nullptr);  // the trace lines would only slow it down
    return GetEftContext();
}
