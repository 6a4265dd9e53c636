// RUDA device control: resetting the terminal and reading its serial number.
#include "protocols/ruda/ruda_device.h"

#include <algorithm>
#include <cstring>

#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_card.h"

int RUDA_BuildResetDeviceRequest(int operation, int first, int second, unsigned char** apdu, int* length) {
    const auto p1 = static_cast<uint8_t>(first);
    const auto p2 = static_cast<uint8_t>(second);
    if (operation == 152)
        return RUDA_BuildApdu(0xD0, 0x00, p1, p2, nullptr, 0, nullptr, 0, apdu, length) == RUDA_APDU_BUILT ? 1 : 0;
    RudaBytes inner;
    if (RUDA_AddDFED0D(inner) != 0) return 0;
    RudaBytes data;
    if (!RUDA_AppendElement(data, 0xE0, inner.data(), static_cast<int>(inner.size()))) return 0;
    return RUDA_BuildApdu(0xD0, 0x0A, p1, p2, data.data(), static_cast<int>(data.size()), nullptr, 0, apdu,
                          length) == RUDA_APDU_BUILT
               ? 1
               : 0;
}

int RUDA_DealResetDeviceAnswer(int operation, const unsigned char* answer, int length, char* serial) {
    const char* what = operation == 102 ? "Soft Ext Reset Device" : "Reset Device";
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse %s : SW1-SW2 : %02X%02X", what, sw >> 8, sw & 0xFF);
        return RUDA_STATUS_INTERNAL;
    }
    if (serial == nullptr) return RUDA_STATUS_DONE;
    // The serial number may stand alone or inside the answer's template.
    TlvNode found;
    if (length <= 2 ||
        TLV_SearchTag(&found, answer, length - 2, 0x9F1E, nullptr) != 1) {
        WSysError("-- ERROR -- Reponse %s : serial number not present", what);
        return RUDA_STATUS_DONE;
    }
    const size_t room = std::strlen(serial);
    const size_t n = found.lg > 0 ? std::min<size_t>(room, static_cast<size_t>(found.lg)) : 0;
    std::memcpy(serial, found.value, n);
    serial[n] = '\0';
    return RUDA_STATUS_DONE;
}
