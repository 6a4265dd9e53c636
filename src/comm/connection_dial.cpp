// Dial path of the connection blocks: connections dialled over a
// communication resource by its connection script (modems, pads, direct
// links prepared by a script).
#include <strings.h>

#include "comm/com_resources.h"
#include "comm/connection_block.h"
#include "comm/connection_script.h"
#include "comm/port_api.h"
#include "core/trace.h"

int ClientComStart(KTM_COMM* com) {
    if (com == nullptr) return -1;
    if (WCOM_GetResourceByNum(com->resource) == nullptr) {
        WSysError("-- ERROR -- ClientComStart : Echec Obtention Ressource: 0x%X", static_cast<unsigned>(com->resource));
        return -1;
    }
    com->state = KTM_COMM_DIALLED;
    com->alternate = 0;
    com->lockHandle = WCOM_LockResource(com->resource);
    if (com->lockHandle < 0) return -1;
    if (PhoneCall(com->resource, com->phone1, com->address1, com->cmplData, com->password) >= 0) return 1;
    if (strcasecmp(com->phone1, com->phone2) != 0 || strcasecmp(com->address1, com->address2) != 0) {
        com->alternate = 1;
        if (PhoneCall(com->resource, com->phone2, com->address2, com->cmplData, com->password) >= 0) return 1;
    }
    WCOM_UnlockResource(com->resource);
    return 0;
}

void KTM_CloseDialledLink(KTM_COMM* com, int hangUp) {
    if (com == nullptr || WCOM_GetResourceByNum(com->resource) == nullptr) return;
    if (hangUp) PhoneHangUp(com->resource);
    PortClose(com->resource);
    WCOM_FreeResource(com->resource);
    WCOM_UnlockResource(com->resource);
}

void KTM_AbandonDialledLink(KTM_COMM* com) {
    if (com == nullptr || WCOM_GetResourceByNum(com->resource) == nullptr) return;
    PhoneHangUp(com->resource);
    PortClose(com->resource);
    WCOM_FreeResource(com->resource);
    WCOM_UnlockResource(com->resource);
}
