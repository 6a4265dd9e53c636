// The process options and the end of the process.
#include "station/process_options.h"

#include <cstdio>
#include <cstdlib>

#include "comm/com_channel.h"
#include "periph/console_windows.h"

ProcessOptions g_processOptions;

void EndProcess(int code) {
    // The records of the last terminal exchanges are held until written.
    WComTraceCloseAll();
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(code);
}

void InitDefaultOptions() {
    ProcessOptions& o = g_processOptions;
    o = ProcessOptions{};
    o.station = 1;
    o.resourceId = 1;
    o.language = 0;
    o.debugLevel = 1;
    std::snprintf(o.exchangeLogName, sizeof o.exchangeLogName, "%s", "ECHANGES.LOG");
    o.logSizeKb = 4096;
    o.clientNetType = 0;
    std::snprintf(o.mainPath, sizeof o.mainPath, "%s", ".");
    o.echoMode = 0;
    o.generateEvents = 0;
    o.offlineLevel = 0;
    o.posTimeout = 5;
    KTCONSOL_SetWorkDirectory(".", nullptr);
    KTCONSOL_SetPrintCommand("");
}
