// Fuzz target of the answer decoder of message boxes: any bytes as a
// received NET frame. A decoded answer keeps every rubrique within its field
// (terminated) and its body within M; a refused frame leaves the answer
// empty; a decoded answer built again as a request and decoded once more
// gives the same rubriques and body.
#include <cstdint>
#include <cstring>
#include <string>

#include "comm/message_box.h"
#include "core/trace.h"
#include "fuzz_check.h"

namespace {

KTM_WPRO* Block() {
    static KTM_WPRO* block = [] {
        int32_t stamp = 1;
        return KTM_NewMess(1, 1, nullptr, 0, &stamp);
    }();
    return block;
}

bool Terminated(const char* field, size_t max) { return std::memchr(field, 0, max + 1) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size > KTM_FRAME_SIZE) return 0;
    KTM_WPRO* m = Block();
    Check(m != nullptr, "no message block");
    std::memset(m->frame, 0xA5, sizeof m->frame);
    std::memcpy(m->frame, input, size);
    const int r = NET_MapAnswer(m, static_cast<uint32_t>(size));
    KTM_HALF* a = m->answer;
    Check(Terminated(a->K, KTM_K_MAX) && Terminated(a->S, KTM_S_MAX) && Terminated(a->U, KTM_U_MAX) &&
              Terminated(a->A, KTM_A_MAX),
          "rubrique not terminated within its field");
    if (r < 0) {
        Check(r >= -5, "unknown result");
        Check(a->K[0] == 0 && a->S[0] == 0 && a->U[0] == 0 && a->A[0] == 0 && a->mLength == 0,
              "refused frame left an answer");
        return 0;
    }
    Check(static_cast<uint32_t>(r) == a->mLength && a->mLength <= KTM_M_MAX, "body length");

    // Round trip through the request half, when the rubriques are plain text
    // that holds no tag of its own.
    const std::string k = a->K, s = a->S, u = a->U, t = a->A;
    for (const std::string* v : {&k, &s, &u, &t})
        if (v->find('<') != std::string::npos) return 0;
    const std::string body(reinterpret_cast<char*>(a->M), a->mLength);
    std::memset(m->request, 0, sizeof(KTM_HALF));
    std::strcpy(m->request->K, k.c_str());
    std::strcpy(m->request->S, s.c_str());
    std::strcpy(m->request->U, u.c_str());
    std::strcpy(m->request->A, t.c_str());
    std::memcpy(m->request->M, body.data(), body.size());
    m->request->mLength = static_cast<uint32_t>(body.size());
    const int n = NET_MAP_Request(m);
    Check(n >= 5, "request not built");
    Check(NET_MapAnswer(m, static_cast<uint32_t>(n)) == static_cast<int>(body.size()), "round trip length");
    Check(k == a->K && s == a->S && u == a->U && t == a->A, "round trip rubriques");
    Check(std::memcmp(a->M, body.data(), body.size()) == 0, "round trip body");
    return 0;
}
