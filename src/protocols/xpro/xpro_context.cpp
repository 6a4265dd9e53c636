// Link context, XPRO descriptor, step labels and the shared link callbacks.
#include "protocols/xpro/xpro_context.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/trace.h"

const int32_t XPRO_CREATION_TIMEOUTS[7] = {50, 2000, 10, 80, 50, 800, 600};
const int32_t XPRO_RUDA_TIMEOUTS[7] = {300, 2000, 10, 80, 50, 800, 600};

namespace {

constexpr const char* kEmptyLabel = "________";

struct LetterLabel {
    int letter;
    const char* label;
};
constexpr LetterLabel kLabels[] = {
    {'B', "_X_SOFT_"}, {'D', "_X_TRAM_"}, {'E', "_X_EMIS_"}, {'F', "_X_OVER_"},
    {'H', "_X_ECHO_"}, {'I', "_XOTHER_"}, {'P', "_X_DCD__"}, {'R', "_X_RECV_"},
    {'S', "_X_SYNT_"}, {'T', "_X_TIME_"}, {'X', "_X_CORR_"},
};

// Copies at most max characters of text (stopping at its end) into a field
// of max + 1 bytes, cleared first.
void CopyUpTo(char* field, int max, const char* text) {
    std::memset(field, 0, static_cast<size_t>(max) + 1);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, static_cast<size_t>(max)));
}

KT_XPARTY* Side(KT_XPROT* ctx) {
    if (ctx == nullptr || (ctx->side != 1 && ctx->side != 2)) return nullptr;
    return &ctx->party[ctx->side - 1];
}

int SetLabel(char* field, const char* text) {
    std::memset(field, 0, XPRO_LABEL_MAX + 1);
    if (text == nullptr) return 1;
    const size_t n = strnlen(text, XPRO_LABEL_MAX + 1);
    if (n > static_cast<size_t>(XPRO_LABEL_MAX)) return -1;
    std::memcpy(field, text, n);
    return 1;
}

// The step namer of one link: the label of the step letter into the label
// of the chosen party block, and the step text.
int NameStep(KT_XPROT* ctx, const char* name, int partyIndex) {
    if (ctx == nullptr) return -1;
    const char* label = XPRO_StepLabel(ctx->stepLetter);
    std::memset(ctx->stepText, 0, sizeof ctx->stepText);
    if (label == nullptr) return 0;
    KT_XPARTY& party = ctx->party[partyIndex];
    char* target = ctx->stepLetter == 'S' ? party.appStat : party.kerStat;
    SetLabel(target, label);
    std::snprintf(ctx->stepText, sizeof ctx->stepText, "[%s():%s:-Step=%d-App=%s]", name, label,
                  static_cast<int>(ctx->stepLetter), ctx->application);
    return 1;
}

}  // namespace

void XPRO_MapRequestFields(KT_XPROT* ctx, const XPRO_FIELDS& f) {
    XPRO_SetMode(ctx, std::atoi(f.field[0]));
    XPRO_SetExchangeNumber(ctx, std::atoi(f.field[1]));
    XPRO_SetApplication(ctx, f.field[2]);
    XPRO_SetLinkName(ctx, f.field[3]);
    XPRO_SetKeyIndex(ctx, std::atoi(f.field[5]));
    XPRO_SetKerStat(ctx, f.field[6]);
    XPRO_SetAppStat(ctx, f.field[7]);
    XPRO_SetAccStat(ctx, std::atoi(f.field[8]));
    XPRO_SetStatus(ctx, std::atoi(f.field[9]));
}

int XPRO_SplitDescriptor(const char* text, XPRO_FIELDS* fields) {
    if (text == nullptr || fields == nullptr) return 0;
    std::memset(fields, 0, sizeof *fields);
    const size_t total = std::strlen(text);
    size_t prefix = 0;
    while (prefix < total && prefix < static_cast<size_t>(XPRO_FIELD_SEARCH) && text[prefix] != '/') ++prefix;
    if (prefix >= total || text[prefix] != '/') return 0;
    if (WCompareNString(text, "XPRO", 1, 4) != 1 || prefix != 4) return 0;
    size_t pos = prefix + 1;
    for (int i = 0; i < XPRO_FIELD_COUNT; ++i) {
        if (pos >= total) return 0;
        size_t end = pos;
        while (end < total && end - pos < static_cast<size_t>(XPRO_FIELD_SEARCH) && text[end] != '/') ++end;
        const size_t length = end - pos;
        std::memcpy(fields->field[i], text + pos, length);
        if (end >= total) return 0;  // the text ends inside this field
        pos = end + 1;               // past the '/' or past the 80 characters
    }
    return 1;
}

KT_XPROT* XPRO_NewXProt(int mode, const char* application, const char* linkName, int port) {
    auto* ctx = static_cast<KT_XPROT*>(WAlloc(sizeof(KT_XPROT)));
    if (ctx == nullptr) return nullptr;
    std::memset(ctx->linkName, '0', XPRO_LINK_NAME_MAX);
    std::memset(ctx->application, '0', XPRO_APPLICATION_MAX);
    ctx->phase = XPRO_PHASE_IDLE;
    std::memcpy(ctx->timeouts, XPRO_CREATION_TIMEOUTS, sizeof ctx->timeouts);
    XPRO_ClearStepLabels(ctx);
    ctx->party[0].accStat = 100;
    ctx->party[1].accStat = 100;
    std::snprintf(ctx->netApplication, sizeof ctx->netApplication, "%s", "1210");
    ctx->side = 1;
    ctx->mode = mode;
    if (linkName != nullptr) XPRO_SetLinkName(ctx, linkName);
    if (application != nullptr) XPRO_SetApplication(ctx, application);
    ctx->port = port;
    return ctx;
}

void XA_LinkClose(void* context) {
    if (context != nullptr) WFree(context);
}

int XPRO_SetStatus(KT_XPROT* ctx, int value) {
    if (ctx == nullptr) return -1;
    ctx->status = value;
    return 1;
}

int XPRO_GetStatus(const KT_XPROT* ctx) { return ctx != nullptr ? ctx->status : -1; }

int XPRO_SetPort(KT_XPROT* ctx, int port) {
    if (ctx == nullptr) return -1;
    ctx->port = port;
    return 1;
}

int XPRO_SetSide(KT_XPROT* ctx, int side) {
    if (ctx == nullptr) return -1;
    ctx->side = static_cast<uint8_t>(side);
    return 1;
}

int XPRO_SetLinkName(KT_XPROT* ctx, const char* text) {
    if (ctx == nullptr) return -1;
    CopyUpTo(ctx->linkName, XPRO_LINK_NAME_MAX, text);
    return 1;
}

int XPRO_SetApplication(KT_XPROT* ctx, const char* text) {
    if (ctx == nullptr) return -1;
    CopyUpTo(ctx->application, XPRO_APPLICATION_MAX, text);
    return 1;
}

int XPRO_SetKeyIndex(KT_XPROT* ctx, int value) {
    if (ctx == nullptr) return -1;
    ctx->keyIndex = value;
    return 1;
}

int XPRO_SetMode(KT_XPROT* ctx, int value) {
    if (ctx == nullptr) return -1;
    ctx->mode = value;
    return 1;
}

int XPRO_SetDirection(KT_XPROT* ctx, int kind) {
    KT_XPARTY* p = Side(ctx);
    if (p == nullptr) return -1;
    p->direction = ctx->mode + (kind == 2 ? 1 : 0);
    return 1;
}

int XPRO_SetExchangeNumber(KT_XPROT* ctx, int value) {
    KT_XPARTY* p = Side(ctx);
    if (p == nullptr) return -1;
    p->exchangeNumber = value % 256;
    return 1;
}

int XPRO_GetExchangeNumber(const KT_XPROT* ctx) {
    const KT_XPARTY* p = Side(const_cast<KT_XPROT*>(ctx));
    return p != nullptr ? p->exchangeNumber : -1;
}

int XPRO_SetAppStat(KT_XPROT* ctx, const char* text) {
    KT_XPARTY* p = Side(ctx);
    return p != nullptr ? SetLabel(p->appStat, text) : -1;
}

int XPRO_SetKerStat(KT_XPROT* ctx, const char* text) {
    KT_XPARTY* p = Side(ctx);
    return p != nullptr ? SetLabel(p->kerStat, text) : -1;
}

int XPRO_SetAccStat(KT_XPROT* ctx, int value) {
    KT_XPARTY* p = Side(ctx);
    if (p == nullptr) return -1;
    p->accStat = value;
    return 1;
}

int XPRO_ResetSequence(KT_XPROT* ctx) {
    if (Side(ctx) == nullptr) return -1;
    (ctx->side == 1 ? ctx->sequence1 : ctx->sequence2) = 0;
    return 1;
}

KT_XPROT* XPRO_NextSequence(KT_XPROT* ctx) {
    if (Side(ctx) == nullptr) return nullptr;
    uint8_t& counter = ctx->side == 1 ? ctx->sequence1 : ctx->sequence2;
    counter = static_cast<uint8_t>(counter + 1);
    return ctx;
}

int XPRO_SetStep(KT_XPROT* ctx, int letter) {
    if (ctx == nullptr) return -1;
    ctx->frameKind = letter;
    return 0;
}

int XPRO_ClearStepLabels(KT_XPROT* ctx) {
    if (ctx == nullptr) return -1;
    std::memset(ctx->stepText, 0, sizeof ctx->stepText);
    for (KT_XPARTY& p : ctx->party) {
        SetLabel(p.appStat, kEmptyLabel);
        SetLabel(p.kerStat, kEmptyLabel);
    }
    ctx->stepLetter = 0;
    return 1;
}

int XPRO_SetTimeOuts(KTX_WSERV* box, int t0, int t1, int t2, int t3, int t4, int t5, int t6) {
    if (box == nullptr || box->mess == nullptr || box->mess->TransBox == nullptr) return -1;
    auto* ctx = static_cast<KT_XPROT*>(box->mess->TransBox);
    const int values[7] = {t0, t1, t2, t3, t4, t5, t6};
    for (int i = 0; i < 7; ++i) {
        if (values[i] >= 0)
            ctx->timeouts[i] = values[i];
        else if (values[i] == -2)
            ctx->timeouts[i] = XPRO_RUDA_TIMEOUTS[i];
    }
    return 1;
}

const char* XPRO_StepLabel(int letter) {
    for (const LetterLabel& l : kLabels)
        if (l.letter == letter) return l.label;
    return nullptr;
}

int P21_Transport(KT_XPROT* ctx) { return NameStep(ctx, "P21_Transport", 0); }
int XAS_SetStepName(KT_XPROT* ctx) { return NameStep(ctx, "XA_Transport", 0); }
int XA_SetStepName(KT_XPROT* ctx) {
    if (ctx == nullptr) return -1;
    return NameStep(ctx, "XA_Transport", ctx->side == 2 ? 1 : 0);
}
int RUDA_Transport(KT_XPROT* ctx) { return NameStep(ctx, "RUDA_Transport", 0); }

void* XAS_LinkOpen(const char* description) {
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(description, &f) != 1) {
        WSysError("-- ERROR -- XAS_LinkOpen() : descripteur incorrect");
        return nullptr;
    }
    KT_XPROT* ctx = XPRO_NewXProt(std::atoi(f.field[0]), f.field[2], f.field[3], std::atoi(f.field[4]));
    if (ctx == nullptr) return nullptr;
    XPRO_SetExchangeNumber(ctx, std::atoi(f.field[1]));
    XPRO_SetAppStat(ctx, f.field[7]);
    XPRO_SetKerStat(ctx, f.field[6]);
    XPRO_SetAccStat(ctx, std::atoi(f.field[8]));
    return ctx;
}

int XAS_LinkRequest(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr || block->request == nullptr) return -1;
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* request = block->request;
    // The body is checked before anything of the request is taken.
    const uint32_t length = request->mLength;
    if (length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX) || length > KTM_FRAME_SIZE) {
        WSysError("-- ERROR -- XAS_LinkRequest() : message trop long (%u octets, max. %d)", length, XPRO_PAYLOAD_MAX);
        return -1;
    }
    XPRO_FIELDS f;
    const bool whole = XPRO_SplitDescriptor(request->S, &f) == 1;
    if (!whole) {
        WSysError("-- ERROR -- XAS_LinkRequest() : descripteur incorrect");
        return -1;
    }
    if (request->A[0] != '\0') CopyUpTo(ctx->netApplication, XPRO_NET_APPLICATION_SIZE - 1, request->A);
    XPRO_MapRequestFields(ctx, f);
    std::memcpy(block->frame, request->M, length);
    return static_cast<int>(length);
}

int XPRO_WriteDescriptor(const KT_XPROT* ctx, char* out, int room) {
    if (ctx == nullptr || out == nullptr || room <= 0) return -1;
    const KT_XPARTY& t = ctx->party[1];
    const int n = std::snprintf(out, static_cast<size_t>(room), "XPRO/%d/%03d/%s/%s/%03d/%03d/%s/%s/%03d/%02d/",
                                ctx->mode, t.exchangeNumber, ctx->application, ctx->linkName, ctx->port,
                                ctx->keyIndex, t.kerStat, t.appStat, t.accStat, ctx->status);
    return n < room ? n : room - 1;
}

int XAS_LinkStatus(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr || block->answer == nullptr) return -1;
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* answer = block->answer;
    const uint32_t length = answer->totalLength;
    if (length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX) || length > KTM_M_MAX) {
        // Nothing of an answer that does not fit is delivered, not even the
        // rubriques of the previous one.
        std::memset(answer->S, 0, sizeof answer->S);
        std::memset(answer->A, 0, sizeof answer->A);
        WSysError("-- ERROR -- XAS_LinkStatus() : reponse trop longue (%u octets, max. %d)", length, XPRO_PAYLOAD_MAX);
        return -1;
    }
    CopyUpTo(answer->A, static_cast<int>(KTM_A_MAX), ctx->netApplication);
    std::memset(answer->S, 0, sizeof answer->S);
    XPRO_WriteDescriptor(ctx, answer->S, static_cast<int>(sizeof answer->S));
    std::memcpy(answer->M, block->frame, length);
    answer->mLength = length;
    return static_cast<int>(length);
}
