// DORAN command module: the wait for the terminal's announcement (least
// behaviour: no announcement).
#include "protocols/doran/doran_module.h"

#include "core/helpers.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"

int DRN_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) return 1;
    if (event != nullptr) *event = 0;
    if (resource->transportKind == PAP_TRANSPORT_NETWORK) return 0;
    // The time the first byte of an event is awaited; no byte is read.
    if (timeoutMs > 0) WSleep(static_cast<uint32_t>(timeoutMs / 10));
    if (PAP_WaitCallbackStops(box)) return PV_PER_RESET;
    return PV_NOT_YET;
}
