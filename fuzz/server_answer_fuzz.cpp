// Fuzz target of the server exchange step's handling of what a payment
// server sends: any bytes as the frame received after a request, routed by
// the step in an open session (a till directory of empty configuration
// files made at start). Whatever the bytes, the step gives one of its
// results, the answer and POS buffers stay terminated within their 10241
// bytes, and the flash fields of the transaction record within theirs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/startup.h"
#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "fuzz_session.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_exchange.h"

namespace {

const uint8_t* g_input = nullptr;
size_t g_size = 0;
int SendAll(void*, void*, uint32_t length, int32_t, int32_t) { return static_cast<int>(length); }

int ReceiveInput(void*, void* frame, uint32_t capacity, int32_t, int32_t) {
    if (g_input == nullptr) return 0;
    const size_t n = g_size < capacity ? g_size : capacity;
    std::memcpy(frame, g_input, n);
    g_input = nullptr;
    return n == 0 ? -2 : static_cast<int>(n);
}

// An open session whose server connection is a message block reading the
// fuzz input.
EFTCBox* Session() {
    static EFTCBox* context = [] {
        EFTCBox* c = OpenFuzzSession("/tmp/znp-fuzz-server-XXXXXX");
        c->logSizeKb = 0;
        auto* annex = static_cast<ANIBox*>(WAlloc(sizeof(ANIBox)));
        annex->box = KTX_NewClientBox(1, 7);
        int32_t stamp = 1;
        annex->box->mess = KTM_NewMess(1, 1, nullptr, 0, &stamp);
        KTM_WPRO* mess = annex->box->mess;
        static int32_t handle = 1;
        mess->BoxType = KTM_BOX_NET;
        mess->TransBox = &handle;
        KTM_BindTransportProtocol(mess, nullptr, nullptr, SendAll, ReceiveInput, nullptr, nullptr);
        c->serverBox = annex;
        Options.DoAddCardInfoInFlash = 1;
        return c;
    }();
    return context;
}

bool Terminated(const char* field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > KTM_FRAME_SIZE) return 0;
    EFTCBox* c = Session();
    TransactionRecord* r = GetTransactionRecord();
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    std::strcpy(c->serverRequest, "{SS}R{PS}7{SV}s2{CD}c19{F}");
    g_input = input;
    g_size = size;
    const int result = TOC_ServerExchangeStep(c);
    Check(result == -1 || result == 0 || result == 1 || result == 11 || result == 21 || result == 31 || result == 80,
          "unexpected result of the step");
    Check(Terminated(c->serverAnswer, sizeof c->serverAnswer), "server answer not terminated");
    Check(Terminated(c->posAnswer, sizeof c->posAnswer), "POS answer not terminated");
    Check(Terminated(c->serverRequest, sizeof c->serverRequest), "server request not terminated");
    Check(r->flashD16[sizeof r->flashD16 - 1] == '\0' && r->flashD3E[sizeof r->flashD3E - 1] == '\0',
          "flash field not terminated");
    return 0;
}
