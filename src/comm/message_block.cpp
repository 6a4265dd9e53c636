// Message blocks: the two halves, the NET frame codec and the send and
// receive of one exchange.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "comm/comm_services.h"
#include "comm/connection_block.h"
#include "comm/length_prefixed.h"
#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/shared_blocks.h"
#include "core/trace.h"

namespace {

constexpr const char* kLogger = "ktm_wpro";
constexpr uint32_t kTagSize = 3;  // "<K>", "<F>", "<M>" ...

// The failed-receive answer: one process-wide text rewritten by every
// failed receive.
char g_lostLink[5] = "9999";

// A rubrique of a half: its field and the longest value it holds.
struct Rubrique {
    char* field;
    size_t max;
};

bool RubriqueOf(KTM_HALF* half, char letter, Rubrique* out) {
    switch (std::toupper(static_cast<unsigned char>(letter))) {
        case 'K':
            *out = {half->K, KTM_K_MAX};
            return true;
        case 'S':
            *out = {half->S, KTM_S_MAX};
            return true;
        case 'U':
            *out = {half->U, KTM_U_MAX};
            return true;
        case 'A':
            *out = {half->A, KTM_A_MAX};
            return true;
        default:
            return false;
    }
}

void ClearHalf(KTM_HALF* half) {
    std::memset(half->K, 0, sizeof half->K);
    std::memset(half->S, 0, sizeof half->S);
    std::memset(half->U, 0, sizeof half->U);
    std::memset(half->A, 0, sizeof half->A);
    std::memset(half->M, 0, sizeof half->M);
    half->mLength = 0;
}

size_t Find(const uint8_t* data, size_t from, size_t to, std::string_view needle) {
    if (to <= from || to - from < needle.size()) return std::string_view::npos;
    const auto* hit = std::search(data + from, data + to, needle.begin(), needle.end());
    return hit == data + to ? std::string_view::npos : static_cast<size_t>(hit - data);
}

// Key number named by K (as atoi reads it); the scrambler leaves the bytes
// alone for a number that names no key.
int KeyNumber(const char* k) { return std::atoi(k); }

// One rubrique of a received frame: absent (0), decoded (1), or an error
// (negative, the result of NET_MapAnswer).
int DecodeRubrique(const uint8_t* frame, size_t from, size_t to, const char* tag, char* field, size_t max,
                   int missingEnd, const char* tooLong) {
    const size_t open = Find(frame, from, to, tag);
    if (open == std::string_view::npos) return 0;
    const size_t valueStart = open + kTagSize;
    const size_t close = Find(frame, valueStart, to, "<F>");
    if (close == std::string_view::npos) return missingEnd;
    const size_t length = close - valueStart;
    if (length > max) {
        WSysError(tooLong, static_cast<int>(max), static_cast<unsigned>(length));
        return -2;
    }
    std::memset(field, 0, max + 1);
    std::memcpy(field, frame + valueStart, length);
    return 1;
}

}  // namespace

KTM_WPRO* KTM_NewMess(int32_t appId, int clear, const void* initialFrame, uint32_t length, int32_t* stamp) {
    int32_t s = stamp != nullptr ? *stamp : -1;
    if (s == -1) s = KTM_StampOfDay();
    if (stamp != nullptr) *stamp = s;
    auto* block = static_cast<KTM_WPRO*>(WAlloc(sizeof(KTM_WPRO)));
    if (block == nullptr) return nullptr;
    char name[64];
    std::snprintf(name, sizeof name, "%s%03d_%07x", "KT_PRO", appId, static_cast<unsigned>(s));
    auto* halves = static_cast<KTM_HALF*>(WOpenShareMemHeap(name, 2 * sizeof(KTM_HALF)));
    if (halves == nullptr) {
        WFree(block);
        return nullptr;
    }
    block->request = halves;
    block->answer = halves + 1;
    if (clear) {
        ClearHalf(block->request);
        ClearHalf(block->answer);
        block->request->totalLength = 0;
        block->answer->totalLength = 0;
    }
    block->BoxType = KTM_BOX_NONE;
    block->appId = appId;
    block->ownerPid = static_cast<int32_t>(getpid());
    block->id = -1;
    block->timeOut = -1;
    if (initialFrame != nullptr) {
        const uint32_t n = std::min(length, KTM_FRAME_SIZE);
        std::memcpy(block->frame, initialFrame, n);
        block->answer->totalLength = n;
    }
    return block;
}

int KTM_FreeMess(KTM_WPRO* block) {
    if (block == nullptr) return 0;
    if (block->BoxType == KTM_BOX_COM && block->TransBox != nullptr && block->TransClose != nullptr)
        block->TransClose(block->TransBox);
    block->TransBox = nullptr;
    if (block->ownerPid == static_cast<int32_t>(getpid())) block->ownerPid = -1;
    WFreeShareMemHeap(block->request);
    block->request = nullptr;
    block->answer = nullptr;
    WFree(block);
    return 0;
}

int KTM_BindTransportProtocol(KTM_WPRO* block, KTM_TransOpenFn open, KTM_TransCloseFn close, KTM_TransSendFn send,
                              KTM_TransRecvFn recv, KTM_MapRequestFn mapRequest, KTM_MapAnswerFn mapAnswer) {
    if (block == nullptr) {
        WSysError("-- ERROR -- KTM_BindTransportProtocol(): Null pointer error");
        return -1;
    }
    block->TransOpen = open;
    block->TransClose = close;
    block->TransSend = send;
    block->TransRecv = recv;
    block->MapRequest = mapRequest;
    block->MapAnswer = mapAnswer;
    return 1;
}

int KTM_SetTimeOut(KTM_WPRO* block, long milliseconds) {
    if (block == nullptr) {
        WSysError("-- ERROR -- KTM_SetTimeOut(): Null pointer error");
        return -1;
    }
    WLOG(kLogger, WLOG_TRACE, "KTM_SetTimeOut: time: %ld", milliseconds);
    block->timeOut = static_cast<int32_t>(std::clamp<long>(milliseconds, INT32_MIN, INT32_MAX));
    return 0;
}

int KTM_SetWaitMode(KTM_WPRO* block, int32_t value) {
    if (block == nullptr) {
        WSysError("-- ERROR -- KTM_SetWaitMode(): Null pointer error");
        return -1;
    }
    block->waitMode = value;
    return 0;
}

int KTM_SetLastMode(KTM_WPRO* block, int32_t value) {
    if (block == nullptr) {
        WSysError("-- ERROR -- KTM_SetLastMode(): Null pointer error");
        return -1;
    }
    block->lastMode = value;
    return 0;
}

int KTM_PutNextArg(KTM_WPRO* block, char letter, const char* value, int mode) {
    if (block == nullptr || block->request == nullptr) {
        WSysError("-- ERROR -- KTM_PutNextArg() : Erreur Application");
        return -1;
    }
    KTM_HALF* half = block->request;
    const bool replace = mode == 1;
    if (std::toupper(static_cast<unsigned char>(letter)) == 'M') {
        if (!replace) {
            WSysError("-- ERROR -- KTM_PutNextArg() : Erreur Application : Argument Incorrect");
            return -1;
        }
        if (value == nullptr) return static_cast<int>(half->mLength);
        const size_t n = std::strlen(value);
        if (n > KTM_M_MAX) {
            WSysError("-- ERROR -- KTM_PutNextArg() : Argument trop long : <M> %u, max. %u", static_cast<unsigned>(n),
                      static_cast<unsigned>(KTM_M_MAX));
            return -1;
        }
        std::memset(half->M, 0, sizeof half->M);
        std::memcpy(half->M, value, n);
        half->mLength = static_cast<uint32_t>(n);
        return static_cast<int>(n);
    }
    Rubrique r{};
    if (!RubriqueOf(half, letter, &r)) {
        WSysError("-- ERROR -- KTM_PutNextArg() : Erreur Application : Argument Incorrect");
        return -1;
    }
    if (value == nullptr) return static_cast<int>(std::strlen(r.field));
    const size_t current = replace ? 0 : std::strlen(r.field);
    const size_t separator = (!replace && current > 0) ? 1 : 0;
    const size_t n = std::strlen(value);
    if (current + separator + n > r.max) {
        WSysError("-- ERROR -- KTM_PutNextArg() : Argument trop long : <%c> %u, max. %u",
                  std::toupper(static_cast<unsigned char>(letter)), static_cast<unsigned>(current + separator + n),
                  static_cast<unsigned>(r.max));
        return -1;
    }
    if (replace) std::memset(r.field, 0, r.max + 1);
    if (separator) r.field[current] = ':';
    std::memcpy(r.field + current + separator, value, n + 1);
    return static_cast<int>(std::strlen(r.field));
}

int KTM_PutArg(KTM_WPRO* block, char letter, const char* value, int mode) {
    if (block == nullptr) return -1;
    return KTM_PutNextArg(block, letter, value, mode == 1 ? 1 : 0) < 0 ? -1 : 0;
}

const char* KTM_GetRubrique(KTM_WPRO* block, char letter) {
    if (block == nullptr || block->answer == nullptr) {
        WSysError("-- ERROR -- KTM_GetRubrique(): Null pointer error");
        return nullptr;
    }
    if (std::toupper(static_cast<unsigned char>(letter)) == 'M') return reinterpret_cast<const char*>(block->answer->M);
    Rubrique r{};
    if (!RubriqueOf(block->answer, letter, &r)) {
        WSysError("-- ERROR -- KTM_GetRubrique(): Key '%c' not found!", letter);
        return nullptr;
    }
    return r.field;
}

uint8_t* KTM_GetRequestMessage(KTM_WPRO* block) {
    return block != nullptr && block->request != nullptr ? block->request->M : nullptr;
}

uint8_t* KTM_GetAnswerMessage(KTM_WPRO* block) {
    return block != nullptr && block->answer != nullptr ? block->answer->M : nullptr;
}

int NET_MAP_Request(KTM_WPRO* block) {
    if (block == nullptr || block->request == nullptr) {
        WSysError("-- ERROR -- NET_MAP_Request() : Erreur Application");
        return -1;
    }
    KTM_HALF* half = block->request;
    if (half->mLength > KTM_M_MAX) {
        WSysError("-- ERROR -- NET_MAP_Request() : Message <M> too long, max. size: %d, message length: %u",
                  static_cast<int>(KTM_M_MAX), half->mLength);
        return -1;
    }
    std::memset(block->frame, 0, KTM_FRAME_SIZE);
    uint8_t* frame = block->frame;
    uint32_t pos = KTN_HEADER_SIZE;
    std::memset(frame, ' ', KTN_HEADER_SIZE);
    const struct {
        const char* open;
        const char* value;
        size_t max;
    } parts[] = {{"<K>", half->K, KTM_K_MAX}, {"<S>", half->S, KTM_S_MAX}, {"<U>", half->U, KTM_U_MAX},
                 {"<A>", half->A, KTM_A_MAX}};
    for (const auto& p : parts) {
        const size_t n = strnlen(p.value, p.max);
        if (n == 0) continue;
        std::memcpy(frame + pos, p.open, kTagSize);
        std::memcpy(frame + pos + kTagSize, p.value, n);
        std::memcpy(frame + pos + kTagSize + n, "<F>", kTagSize);
        pos += static_cast<uint32_t>(2 * kTagSize + n);
    }
    if (half->mLength > 0) {
        std::memcpy(frame + pos, "<M>", kTagSize);
        pos += kTagSize;
        std::memcpy(frame + pos, half->M, half->mLength);
        if (half->K[0] != '\0') FILE_ScrambleBuffer(frame + pos, static_cast<int32_t>(half->mLength), KeyNumber(half->K), 0);
        pos += half->mLength;
    }
    half->totalLength = pos;
    KTN_WriteHeader(frame, pos);
    return static_cast<int>(pos);
}

int NET_MapAnswer(KTM_WPRO* block, uint32_t n) {
    if (block == nullptr) {
        WSysError("-- ERROR -- NET_MapAnswer(): null parameter : pNet");
        return -1;
    }
    if (block->answer == nullptr || n < KTN_HEADER_SIZE) {
        WSysError("-- ERROR -- NET_MapAnswer(): Erreur Application Aucun Message");
        if (block->answer != nullptr) ClearHalf(block->answer);
        return -1;
    }
    KTM_HALF* half = block->answer;
    if (n > KTM_FRAME_SIZE) {
        WSysError("-- ERROR -- NET_MapAnswer(): Message too long, max. size: %d, message size: %d",
                  static_cast<int>(KTM_FRAME_SIZE), static_cast<int>(std::min<uint32_t>(n, INT32_MAX)));
        ClearHalf(half);
        return -2;
    }
    const uint8_t* frame = block->frame;
    block->frame[n] = 0;
    half->totalLength = n - KTN_HEADER_SIZE;
    // Every rubrique of the answer comes from this frame: nothing of the
    // previous answer survives.
    ClearHalf(half);

    size_t rubriquesEnd = n;
    const size_t m = Find(frame, KTN_HEADER_SIZE, n, "<M>");
    if (m != std::string_view::npos) {
        rubriquesEnd = m;
        const size_t length = n - (m + kTagSize);
        if (length > KTM_M_MAX) {
            WSysError("-- ERROR -- NET_MapAnswer(): Message <M> too long, max. size: %d, message length: %d",
                      static_cast<int>(KTM_M_MAX), static_cast<int>(length));
            ClearHalf(half);
            return -2;
        }
        std::memcpy(half->M, frame + m + kTagSize, length);
        half->mLength = static_cast<uint32_t>(length);
    }
    const struct {
        const char* tag;
        char* field;
        size_t max;
        int missingEnd;
        const char* tooLong;
    } parts[] = {
        {"<K>", half->K, KTM_K_MAX, -3, "-- ERROR -- NET_MapAnswer(): Message <K> too long, max. size: %d, message length: %u"},
        {"<S>", half->S, KTM_S_MAX, -4, "-- ERROR -- NET_MapAnswer(): Message <S> too long, max. size: %d, message length: %u"},
        {"<U>", half->U, KTM_U_MAX, -5, "-- ERROR -- NET_MapAnswer(): Message <U> too long, max. size: %d, message length: %u"},
        {"<A>", half->A, KTM_A_MAX, -3, "-- ERROR -- NET_MapAnswer(): Message <A> too long, max. size: %d, message length: %u"},
    };
    for (const auto& p : parts) {
        const int r = DecodeRubrique(frame, KTN_HEADER_SIZE, rubriquesEnd, p.tag, p.field, p.max, p.missingEnd, p.tooLong);
        if (r < 0) {
            ClearHalf(half);
            return r;
        }
        if (r == 1 && p.field == half->K)
            FILE_ScrambleBuffer(half->M, static_cast<int32_t>(half->mLength), KeyNumber(half->K), 0);
    }
    return static_cast<int>(half->mLength);
}

int COM_MAP_Request(KTM_WPRO* block) {
    if (block == nullptr || block->request == nullptr) {
        WSysError("-- ERROR -- COM_MAP_Request() : Erreur Application");
        return -1;
    }
    std::memset(block->frame, 0, KTM_FRAME_SIZE);
    const int length = block->MapRequest != nullptr ? block->MapRequest(block) : -1;
    block->request->totalLength = static_cast<uint32_t>(length);
    return length;
}

int COM_MapAnswer(KTM_WPRO* block, uint32_t n) {
    if (n == 0xFFFFFFFFu) {
        WSysError("-- ERROR -- COM_MapAnswer(): Message length set to NO_MORE_UINT");
        return -1;
    }
    if (n > KTM_FRAME_SIZE) {
        WSysError("-- ERROR -- COM_MAPAnswer(): Message too long, max. size: %d, message length: %u",
                  static_cast<int>(KTM_FRAME_SIZE), n);
        return -2;
    }
    if (block == nullptr || block->answer == nullptr) {
        WSysError("-- ERROR -- COM_MapAnswer(): No answer message set");
        return -1;
    }
    KTM_HALF* half = block->answer;
    half->totalLength = n;
    block->frame[n] = 0;
    std::memset(half->M, 0, sizeof half->M);
    half->mLength = 0;
    const int length = block->MapAnswer != nullptr ? block->MapAnswer(block) : -1;
    if (length > static_cast<int>(KTM_M_MAX)) {
        WSysError("-- ERROR -- COM_MapAnswer(): Message <M> too long, max. size: %d, message length: %d",
                  static_cast<int>(KTM_M_MAX), length);
        return -2;
    }
    half->mLength = length > 0 ? static_cast<uint32_t>(length) : 0;
    return length;
}

int KTM_MapAnswer(KTM_WPRO* block, uint32_t n) {
    if (block == nullptr) return -1;
    switch (block->BoxType) {
        case KTM_BOX_NET:
            return NET_MapAnswer(block, n);
        case KTM_BOX_COM:
            return COM_MapAnswer(block, n);
        default:
            return -1;
    }
}

int KTM_SomeThingToSend(KTM_WPRO* block) {
    if (block == nullptr) return 0;
    WLOG(kLogger, WLOG_DEBUG, "KTM_SomeThingToSend: type: %d, id: 0x%X, context address: 0x%X", block->BoxType,
         static_cast<unsigned>(block->id), static_cast<unsigned>(reinterpret_cast<uintptr_t>(block)));
    int result = -1;
    if (block->BoxType == KTM_BOX_NET) {
        const int length = NET_MAP_Request(block);
        if (length > 0 && block->TransSend != nullptr) {
            WNetSelectContext(block->id);
            result = block->TransSend(block->TransBox, block->frame, static_cast<uint32_t>(length),
                                      KTM_NET_SEND_TIMEOUT_MS, block->lastMode);
        }
    } else if (block->BoxType == KTM_BOX_COM) {
        // An empty request is a message too (the terminal's control codes
        // "9001" and "9002" travel without a body).
        const int length = COM_MAP_Request(block);
        if (length >= 0 && WCOM_GetResourceByNum(block->id) != nullptr && block->TransBox != nullptr &&
            block->TransSend != nullptr)
            result = block->TransSend(block->TransBox, block->frame, static_cast<uint32_t>(length),
                                      KTM_COM_SEND_TIMEOUT_MS, block->lastMode);
    }
    WLOG(kLogger, WLOG_DEBUG, "KTM_SomeThingToSend: return: %u", static_cast<unsigned>(result));
    return result;
}

const char* KTM_SomeThingReceived(KTM_WPRO* block, uint32_t* receivedLength) {
    if (block == nullptr || block->TransBox == nullptr) {
        WSysError("-- ERROR -- [KTM_SomeThingReceived] ( pNet == NULL || ( pNet->TransBox ) == NULL )");
        return nullptr;
    }
    WLOG(kLogger, WLOG_DEBUG, "KTM_SomeThingReceived: type: %d, id: 0x%X, context address: 0x%X", block->BoxType,
         static_cast<unsigned>(block->id), static_cast<unsigned>(reinterpret_cast<uintptr_t>(block)));
    std::memset(block->frame, 0, sizeof block->frame);
    int length = 0;
    bool received = false;
    if (block->BoxType == KTM_BOX_NET && block->TransRecv != nullptr) {
        WNetSelectContext(block->id);
        length = block->TransRecv(block->TransBox, block->frame, KTM_FRAME_SIZE, block->timeOut, block->waitMode);
        received = true;
    } else if (block->BoxType == KTM_BOX_COM && block->TransRecv != nullptr &&
               WCOM_GetResourceByNum(block->id) != nullptr) {
        length = block->TransRecv(block->TransBox, block->frame, KTM_FRAME_SIZE, block->timeOut, block->waitMode);
        received = true;
    } else {
        WSysError("-- ERROR -- [KTM_SomeThingReceived] Read neither on net(1) nor on com(2) ! pNet->BoxType=%d",
                  block->BoxType);
    }
    if (!received) {
        // No transport to read from: nothing arrived.
        if (receivedLength != nullptr) *receivedLength = 0;
        return nullptr;
    }
    if (receivedLength != nullptr) *receivedLength = static_cast<uint32_t>(length);
    if (length == -1) {
        WSysError("** INFO. ** KTM_SomeThingReceived(): NO_MORE_UINT");
        std::memcpy(g_lostLink, "9999", 5);
        return g_lostLink;
    }
    if (length < 0) {
        WSysError("** INFO. ** KTM_SomeThingReceived(): NO_MORE_SOCK_UINT");
        std::memcpy(g_lostLink, "9999", 5);
        return g_lostLink;
    }
    if (length == 0) {
        WSysError("<< WARN. >> [KTM_SomeThingReceived] *LMes == 0 for box type %d (net=1, com=2)", block->BoxType);
        return nullptr;
    }
    KTM_MapAnswer(block, static_cast<uint32_t>(length));
    const char* a = block->answer != nullptr ? block->answer->A : nullptr;
    WLOG(kLogger, WLOG_DEBUG, "KTM_SomeThingReceived: return: %s", a != nullptr ? a : "(null)");
    return a;
}
