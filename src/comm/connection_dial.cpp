// Dial path of the connection blocks: connections dialled over a
// communication resource by its connection script (modems, pads, direct
// links prepared by a script).
//
// NOT BUILT YET. This file is the seam the dial path fills in once the
// communication resources, the port API and the connection scripts exist:
//   ClientComStart        - take the resource (it must exist, else
//                           "-- ERROR -- ClientComStart : Echec Obtention
//                           Ressource: 0x%X" and -1), state 2, alternate 0,
//                           lock it into lockHandle (-1 on failure), run the
//                           connection script with phone1/address1 and the
//                           access (1 when it succeeds), then once more with
//                           phone2/address2 when either pair differs without
//                           regard to case (alternate 1), else unlock, 0.
//   KTM_CloseDialledLink  - when the resource still exists: play the
//                           script's disconnection section when hangUp is
//                           set, close the port, free and unlock the resource.
//   KTM_AbandonDialledLink- hang up, free and unlock the resource.
// Until then no resource can be dialled: ClientComStart reports that no
// resource is there and fails, and a block never reaches state 2.
#include "comm/comm_services.h"
#include "comm/connection_block.h"
#include "core/trace.h"

int ClientComStart(KTM_COMM* com) {
    if (com == nullptr) return -1;
    if (WCOM_GetResourceByNum(com->resource) == nullptr)
        WSysError("-- ERROR -- ClientComStart : Echec Obtention Ressource: 0x%X", static_cast<unsigned>(com->resource));
    return -1;
}

void KTM_CloseDialledLink(KTM_COMM*, int) {}

void KTM_AbandonDialledLink(KTM_COMM*) {}
