#include "transactions/server_messages.h"

#include <strings.h>

#include <cstring>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "protocols/pv_status.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/text_field.h"
#include "transactions/manual_entry.h"

namespace {

std::vector<std::string>& Queue() {
    static std::vector<std::string> queue;
    return queue;
}

// A private reader over a copy of a tag message (the process reader and
// writer stay untouched); false when the text holds no whole message.
struct PrivateTags {
    ATAG_BUFFER tags;
    std::string text;
    bool ok = false;
    explicit PrivateTags(const char* message) {
        ATAG_Init(&tags);
        if (message == nullptr) return;
        text.assign(message, strnlen(message, TAG_MESSAGE_MAX_CHARS));
        if (text.find("{F}") == std::string::npos) return;
        text.resize(TAG_MESSAGE_BUFFER_SIZE, '\0');
        ok = ATAG_InitRead(&tags, text.data(), TAG_MESSAGE_BUFFER_SIZE, 0) == 1;
    }
    // The value of the first occurrence, or nullopt-like false.
    bool get(const char* code, std::string* value) {
        static thread_local char out[TAG_MESSAGE_BUFFER_SIZE];
        if (ATAG_Get(&tags, code, out, sizeof out, 1) != 1) return false;
        *value = out;
        return true;
    }
};

constexpr const char* kComparedTags[] = {"UUID"};
constexpr const char* kEventTags[] = {"PS", "CD", "D10", "UUID", "D7V", "RS"};

// The event tags of a message in their order, under "<prefix>:<code>".
bool AppendEventTags(const char* message, const char* prefix, std::string* out) {
    PrivateTags t(message);
    if (!t.ok) return false;
    ATAG_InitRead(&t.tags, t.text.data(), TAG_MESSAGE_BUFFER_SIZE, 0);
    static thread_local char code[TAG_MESSAGE_BUFFER_SIZE], value[TAG_MESSAGE_BUFFER_SIZE];
    for (;;) {
        const int got = ATAG_GetNext(&t.tags, code, sizeof code, value, sizeof value);
        if (got != 1) break;
        for (const char* wanted : kEventTags)
            if (std::strcmp(code, wanted) == 0) *out += "{" + std::string(prefix) + ":" + code + "}" + value;
    }
    return true;
}

// Two decimal digits: anything else would reach the cash register as a
// result code it cannot read.
bool IsResultCode(const char* rs) {
    return std::strlen(rs) == 2 && rs[0] >= '0' && rs[0] <= '9' && rs[1] >= '0' && rs[1] <= '9';
}

// Replaces the first value of a code where it stands, so that the tags keep
// their order.
void ReplaceInPlace(char* message, size_t size, const char* code, const char* value) {
    std::string text(message, strnlen(message, size - 1));
    const std::string key = std::string("{") + code + "}";
    const size_t at = text.find(key);
    if (at == std::string::npos) return;
    const size_t start = at + key.size();
    const size_t end = text.find('{', start);
    text.replace(start, (end == std::string::npos ? text.size() : end) - start, value);
    if (text.size() >= size) return;
    std::memcpy(message, text.c_str(), text.size() + 1);
}

// Shows a text id on "P5" under the transaction title.
void ShowOnP5(const char* textId) {
    const TransactionRecord* r = GetTransactionRecord();
    TOC_DisplayById("P5", r != nullptr ? r->titleId : nullptr, textId);
}

// Adds D12 and, when the first card-event text exists, D1R (no card-event
// text is kept by the card reading yet).
bool AddLanguageTags() {
    const EFTCBox* c = GetEftContext();
    return TAG_SetInt("D12", c != nullptr ? c->posLanguage : 0) == 1;
}

}  // namespace

void QueueEndOfTransactionRequest(const std::string& text) { Queue().push_back(text); }
const std::vector<std::string>& EndOfTransactionRequests() { return Queue(); }
void ClearEndOfTransactionRequests() { Queue().clear(); }

std::string JoinStrings(const std::vector<std::string>& texts, const char* separator) {
    std::string joined;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i != 0) joined += separator != nullptr ? separator : "";
        joined += texts[i];
    }
    return joined;
}

void ReportTerminalResult(int status) {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr || status == 0xFFFF) return;
    switch (status) {
        case PV_ALL_FINE:
            CopyField(r->resultCode, "01");
            return;
        case PV_APP_UNKNOWN:
            CopyField(r->resultCode, "99");
            ShowOnP5("ZNP_DSP_USER_APP_ISO_TRACK_NOT_READ");
            HTML_DisplayMessage("talvo/xxdmess.html", "ZNP_DSP_HOLDER_APP_ISO_TRACK_NOT_READ", "error");
            return;
        case PV_PER_UNKNOWN:
        case PV_PROTO_ERROR:
            CopyField(r->resultCode, "34");
            ShowOnP5("ZNP_DSP_USER_SYS_ERR_PINPAD_FAILURE");
            r->resetRequired = 0;
            return;
        case PV_PER_ACCES:
            CopyField(r->resultCode, "32");
            ShowOnP5("ZNP_DSP_USER_SYS_ERR_PINPAD_FAILURE");
            WSleep(4000);
            r->resetRequired = 0;
            return;
        case PV_NET_FAILED:
        case PV_NET_TIMEOUT:
            CopyField(r->resultCode, "31");
            ShowOnP5("ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
            return;
        case PV_NOT_YET:
            CopyField(r->resultCode, "30");
            return;
        case PV_CTL_ERROR:
            CopyField(r->resultCode, "99");
            return;
        case PV_CMD_VERIF_NF:
            CopyField(r->resultCode, "11");
            return;
        case PV_CMD_MUTE_CARD:
            CopyField(r->resultCode, "20");
            r->step = 1;
            r->processingMode = 4;
            return;
        default:
            CopyField(r->resultCode, "99");
            ShowOnP5("ZNP_DSP_USER_SYS_ERR_UNKNOWN");
            return;
    }
}

int CompareRequestResponseTags(const char* request, const char* answer, std::vector<std::string>* differing) {
    PrivateTags req(request), ans(answer);
    int differ = 0;
    for (const char* code : kComparedTags) {
        std::string a;
        if (!req.ok || !ans.ok || !req.get(code, &a)) continue;
        // Every occurrence in the answer must be the request's: an answer
        // carrying a second, other UUID is not this transaction's either.
        bool differs = false;
        const std::string key = std::string("{") + code + "}";
        for (size_t at = ans.text.find(key); at != std::string::npos; at = ans.text.find(key, at + 1)) {
            const size_t start = at + key.size();
            const size_t end = ans.text.find('{', start);
            std::string b = ans.text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            b.resize(strnlen(b.c_str(), b.size()));
            if (b != a) differs = true;
        }
        if (differs) {
            differ = 1;
            if (differing != nullptr) differing->push_back(code);
        }
    }
    return differ;
}

std::string BuildCrossTransactionEvent(const char* request, const char* answer) {
    std::string text;
    if (!AppendEventTags(request, "R", &text) || !AppendEventTags(answer, "A", &text)) return {};
    return "{SV}s10{CD}c47{event-id}20{message}" + WBase64Encode(text) + "{F}";
}

int CheckServerResponse() {
    EFTCBox* c = GetEftContext();
    const TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    c->serverAnswer[sizeof c->serverAnswer - 1] = '\0';
    if (TAG_InitRead(c->serverAnswer, TAG_MESSAGE_MAX_CHARS, 0) != 1 ||
        std::strstr(c->serverAnswer, "{F}") == nullptr)
        return 0;
    if (Options.DirectServerConnection != 1) {
        char ss[8] = "", sv[8] = "", cd[8] = "", rs[8] = "";
        const bool ok = TAG_Get("SS", ss, sizeof ss, 1) == 1 && strcasecmp(ss, "A") == 0 &&
                        TAG_Get("SV", sv, sizeof sv, 1) == 1 && std::strcmp(sv, r->service) == 0 &&
                        TAG_Get("CD", cd, sizeof cd, 1) == 1 && std::strcmp(cd, r->command) == 0 &&
                        TAG_Get("RS", rs, sizeof rs, 1) == 1 && IsResultCode(rs);
        if (!ok) {
            TraceLog(TRACE_ERROR, "[SRV]", "Erreur de syntaxe de la reponse du serveur %s", c->serverAnswer);
            return 0;
        }
    }
    const char* request = c->sentServerRequest;
    std::vector<std::string> differing;
    if (CompareRequestResponseTags(request, c->serverAnswer, &differing) == 0) {
        TraceLog(TRACE_INFO, "[SRV]", "Reponse du serveur recu");
        logATAG(kLoggerEftagResponse, WLOG_DEBUG, c->serverAnswer);
        return 1;
    }
    TraceLog(TRACE_ERROR, "[SRV]", "Incoherence entre la requete initiale et la reponse du serveur, tags: %s",
             JoinStrings(differing, ", ").c_str());
    logATAG(kLoggerCrossRequest, WLOG_DEBUG, request);
    logATAG(kLoggerCrossResponse, WLOG_DEBUG, c->serverAnswer);
    TAG_InitRead(c->serverAnswer, TAG_MESSAGE_MAX_CHARS, 0);
    if (TAG_GetLength("RS") >= 0) {
        TraceLog(TRACE_WARN, "[SRV]", "Transformation du code reponse en eftag_result_srv_syntax (%d)", 37);
        ReplaceInPlace(c->serverAnswer, sizeof c->serverAnswer, "RS", "37");
        QueueEndOfTransactionRequest(BuildCrossTransactionEvent(request, c->serverAnswer));
    }
    return 0;
}

int BuildDirectModeRequest(int flag) {
    EFTCBox* c = GetEftContext();
    const TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 1;
    bool ok = true;
    if (flag == 0) {
        std::memset(c->serverRequest, 0, sizeof c->serverRequest);
        ok = LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1 && TAG_Set("SV", r->service) == 1 &&
             TAG_Set("CD", r->command) == 1 && TAG_SetLong("D10", r->amount) == 1 &&
             TAG_SetInt("D0", r->currency) == 1 && TAG_Set("E7", r->e7) == 1 && TAG_Set("PS", r->station) == 1 &&
             TAG_Set("SS", "R") == 1 && TAG_Set("D16", "A2") == 1 && TAG_Set("D15", "0") == 1 &&
             TAG_Set("D2F", "9999999999999999999D1212") == 1;
    } else {
        ok = LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1;
    }
    return ok && AddLanguageTags() ? 0 : 1;
}

int BuildCancelRequest(int flag, const char* d16, const char* sequence, const char* islandLabel, int currency,
                       int amount, const char* e7) {
    EFTCBox* c = GetEftContext();
    const TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 1;
    auto text = [](const char* s) { return s != nullptr ? s : ""; };
    bool ok = true;
    if (flag == 0) {
        std::memset(c->serverRequest, 0, sizeof c->serverRequest);
        ok = LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1 && TAG_Set("SV", r->service) == 1 &&
             TAG_Set("CD", r->command) == 1 && TAG_SetLong("D10", amount) == 1 && TAG_SetInt("D0", currency) == 1 &&
             (r->e7[0] == '\0' || TAG_Set("E7", r->e7) == 1) &&
             TAG_Set("PS", r->requestStation[0] != '\0' ? r->requestStation : r->station) == 1 &&
             TAG_Set("SS", "R") == 1 && TAG_Set("D16", text(d16)) == 1 && TAG_Set("D9R", text(sequence)) == 1 &&
             TAG_Set("D7V", text(islandLabel)) == 1 && TAG_Set("DAN", "1") == 1 && TAG_Set("E7", text(e7)) == 1 &&
             TAG_Set("D15", "0") == 1;
    } else {
        ok = LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1;
    }
    return ok && AddLanguageTags() ? 0 : 1;
}
