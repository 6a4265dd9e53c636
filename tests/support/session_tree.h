// Points an in-process session at a test directory: its main path, and its
// exchange log, which would otherwise be written into the working directory.
#pragma once
#include <cstdio>
#include <string>

#include "app/startup.h"

namespace testsupport {

inline void UseTreeForSession(const std::string& dir) {
    std::snprintf(g_processOptions.mainPath, sizeof g_processOptions.mainPath, "%s", dir.c_str());
    std::snprintf(g_processOptions.exchangeLogName, sizeof g_processOptions.exchangeLogName, "%s",
                  (dir + "/ECHANGES.LOG").c_str());
}

}  // namespace testsupport
