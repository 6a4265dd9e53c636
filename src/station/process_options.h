// The process below the program: the options its command line sets (read by
// the session opening and by the waits that answer the cash register) and
// its end.
#pragma once

constexpr int kPathFieldSize = 101;  // -p and -f: 100 characters

struct ProcessOptions {
    int station;
    int resourceId;
    int language;
    int debugLevel;
    char exchangeLogName[kPathFieldSize];
    int logSizeKb;
    int clientNetType;
    char mainPath[kPathFieldSize];
    int echoMode;
    int generateEvents;
    int offlineLevel;
    int posTimeout;
};

extern ProcessOptions g_processOptions;

// Sets the defaults of the process options and the console work directory.
void InitDefaultOptions();

// Ends the process with the exit code, after flushing the standard streams.
// Static objects are destroyed on the way out (std::exit): the named objects
// of the process (single-instance objects, POS link, events) are closed, and
// those that no other process has open are removed.
[[noreturn]] void EndProcess(int code);
