// The client library as a cash-register application sees it: loaded with
// dlopen from the build's lib directory, its exports looked up by name.
#pragma once
#include <dlfcn.h>

#include <cstdint>
#include <string>

#include "support/temp_dir.h"

namespace testsupport {

struct ZnpDll {
    void* handle = nullptr;
    std::string error;
    int (*Open)(uint32_t*, uint32_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, uint32_t, uint32_t,
                const char*, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*, uint32_t) = nullptr;
    int (*Close)(uint32_t, uint32_t) = nullptr;
    int (*Send)(uint32_t, const char*, char*, const uint32_t*) = nullptr;
    int (*Wait)(uint32_t, uint32_t) = nullptr;
    int (*Get)(uint32_t, char*, char*, uint32_t*) = nullptr;
    int (*WriteInit)(uint32_t, char*, uint32_t) = nullptr;
    int (*SetStringVal)(uint32_t, const char*, const char*) = nullptr;
    int (*ReadInit)(uint32_t, const char*, uint32_t) = nullptr;
    int (*GetStringVal)(uint32_t, const char*, char*, int32_t) = nullptr;
    int (*DefaultReadInit)(const char*, uint32_t) = nullptr;
    int (*DefaultGetStringVal)(const char*, char*, int32_t) = nullptr;

    // Opening for POS number pos with programPath as client path and the
    // library log in logName's directory; the result of SZelApiOpen.
    int OpenStation(uint32_t* id, uint32_t pos, const std::string& programPath, const std::string& logName,
                    uint32_t logSwitch = 1) const {
        return Open(id, 0, 0, 0, logSwitch, logName.c_str(), 0, pos, 0, programPath.c_str(), 0, 0, 0, "", 0, "", 0);
    }

    // True when the library is loaded and every export was found.
    bool Load() {
        handle = dlopen(BinPath("../lib/libznp_dll.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            error = why ? why : "dlopen failed";
            return false;
        }
        Bind(Open, "SZelApiOpen");
        Bind(Close, "SZelApiClose");
        Bind(Send, "SZelApiSendMessage");
        Bind(Wait, "SZelApiWaitSynchro");
        Bind(Get, "SZelApiGetMessage");
        Bind(WriteInit, "ATAG_WriteInitForInstance");
        Bind(SetStringVal, "ATAG_SetStringValForInstance");
        Bind(ReadInit, "ATAG_ReadInitForInstance");
        Bind(GetStringVal, "ATAG_GetStringValForInstance");
        Bind(DefaultReadInit, "ATAG_ReadInit");
        Bind(DefaultGetStringVal, "ATAG_GetStringVal");
        return error.empty();
    }

private:
    template <typename F>
    void Bind(F*& f, const char* name) {
        f = reinterpret_cast<F*>(dlsym(handle, name));
        if (f == nullptr && error.empty()) error = std::string("missing export ") + name;
    }
};

}  // namespace testsupport
