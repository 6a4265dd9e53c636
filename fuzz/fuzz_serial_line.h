// One communication table with one serial resource on a fake device, open,
// for the fuzz targets that read a line: made once per target, under a
// context id of its own. The trace's error lines are switched off (they
// would only slow the target down).
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "comm/com_resources.h"
#include "core/trace.h"
#include "support/serial_fake.h"

struct FuzzSerialLine {
    explicit FuzzSerialLine(int contextId) {
        WSysSetTraceHook(nullptr);
        char pattern[] = "/tmp/znp-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        const std::string directory = pattern;
        const std::string config = directory + "/line.cfg";
        FILE* f = std::fopen(config.c_str(), "wb");
        std::fputs("[Driver:/dev/fuzz]\r\n[Vpsl:4018]\r\n", f);
        std::fclose(f);
        if (WCOM_CreateContext(contextId, 1, 0, 0, 0, 0) != 1) std::abort();
        port = WCOM_CreateResource(1, "", config.c_str(), "");
        const bool opened = port == 0 && WComOpen2(port) == 0;
        // The configuration is read at the opening only: nothing stays behind.
        std::error_code ec;
        std::filesystem::remove_all(directory, ec);
        if (!opened) std::abort();
    }
    testsupport::ScopedFakeSerial fake;
    int port = -1;
};
