#include "periph/document.h"

#include "core/helpers.h"
#include "core/trace.h"

KTDOCUMENT* KTDOC_New(KTX_WSERV* stream) {
    auto* document = static_cast<KTDOCUMENT*>(WAlloc(sizeof(KTDOCUMENT)));
    if (document == nullptr) return nullptr;
    document->data = static_cast<char*>(WAlloc(KTDOC_DATA_SIZE));
    document->codec = WAlloc(32768);
    if (document->data == nullptr || document->codec == nullptr) {
        KTDOC_Free(document, 0);
        return nullptr;
    }
    document->stream = stream;
    return document;
}

void KTDOC_Free(KTDOCUMENT* document, int) {
    if (document == nullptr) return;
    WFree(document->codec);
    for (KTDOC_SUB*& sub : document->subDocuments) {
        if (sub == nullptr) continue;
        WFree(sub->elements);
        WFree(sub);
        sub = nullptr;
    }
    WFree(document->data);
    WFree(document);
}

void KTDOC_SetDebug(KTDOCUMENT* document, int flag) {
    if (document != nullptr) document->debug = flag;
}

KTSCRIPT* SCRIPT_New() { return static_cast<KTSCRIPT*>(WAlloc(sizeof(KTSCRIPT))); }

void SCRIPT_Free(KTSCRIPT* script) {
    if (script == nullptr) return;
    WFree(script->file);
    WFree(script);
}

int SCRIPT_SetDebug(KTSCRIPT* script, int level) {
    if (script == nullptr) {
        WSysError("-- ERROR -- SCRIPT_SetDebug : Id incorrect ...");
        return -1;
    }
    script->debug = level;
    return 1;
}
