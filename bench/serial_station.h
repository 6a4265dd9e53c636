// A communication table with one serial resource (resource 0) whose
// "Driver" is the given device, at 115,200 baud, as a direct line, and the
// terminal box with the given functions (device name, protocol name) on
// it; everything removed at the end, the port's mutex file included.
#pragma once
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/named_mutex.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

class SerialStation {
public:
    SerialStation(const std::string& device, const std::vector<std::pair<const char*, const char*>>& functions)
        : id_(testsupport::ClaimStation(10000, 10999)) {
        const std::string config = dir_.file("port.cfg");
        ok_ = testsupport::WriteSignedParamFile(config, {"[Driver:" + device + "]", "[Vpsl:8018]"}) &&
              WCOM_CreateContext(id_, 2, 0, 0, 0, 1) == 1 &&
              WCOM_CreateResource(WCOM_TYPE_SERIAL, "", config.c_str(), "") == 0 &&
              WCOM_SetResourceConnType(0, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE) >= 0 &&
              PAP_NewPAPbox(id_, 1, 0, nullptr) == 1;
        for (const auto& [name, protocol] : functions)
            ok_ = ok_ && EPAP_CreateFunctionProfile(name, 0, 0, protocol) == 0;
    }
    ~SerialStation() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
        WCOM_UnlockResource(0);
        char name[64];
        std::snprintf(name, sizeof name, "(null)KT_SEM_COM_%03d%02d", id_, 0);
        plat::NamedMutex::Unlink(name);
    }
    SerialStation(const SerialStation&) = delete;
    SerialStation& operator=(const SerialStation&) = delete;
    bool ok() const { return ok_; }

private:
    int id_;
    testsupport::TempDir dir_;
    bool ok_ = false;
};
