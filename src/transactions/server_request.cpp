#include "transactions/server_request.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/card_masking.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "core/uuid_text.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/text_field.h"
#include "transactions/pos_answer.h"
#include "transactions/tag_rules.h"

namespace {

constexpr const char* kCardTitles[] = {"ZNP_DSP_TITLE_DEBIT", "ZNP_DSP_TITLE_CREDIT", "ZNP_DSP_TITLE_CANCEL",
                                       "ZNP_DSP_TITLE_CONTROL", "ZNP_DSP_TITLE_LOYALTY"};
// The fixed head of the specific titles ("ZNP_DSP_TITLE_SPECIFIC_%s_OPTION%s").
constexpr const char kSpecificTitleHead[] = "ZNP_DSP_TITLE_SPECIFIC_";

int Fail(const char* message) {
    TraceLog(TRACE_ERROR, "[SERVER]", "%s", message);
    return 1;
}

bool CardTitle(const char* title) {
    for (const char* t : kCardTitles)
        if (std::strcmp(title, t) == 0) return true;
    return std::strncmp(title, kSpecificTitleHead, sizeof kSpecificTitleHead - 1) == 0;
}

bool ReaderSpeaksRuda() { return EPAP_GetProtocol(4) == 16; }

std::string Hex(const unsigned char* bytes, int length, bool lower) {
    static const char* kUpper = "0123456789ABCDEF";
    static const char* kLower = "0123456789abcdef";
    const char* digits = lower ? kLower : kUpper;
    std::string out;
    for (int i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

// Writes a hexadecimal tag of a bounded byte field, when not empty.
bool PutHex(const char* code, const unsigned char* bytes, int32_t length, size_t capacity, bool lower) {
    if (length <= 0) return true;
    const int n = static_cast<size_t>(length) > capacity ? static_cast<int>(capacity) : length;
    return TAG_Set(code, Hex(bytes, n, lower).c_str()) == 1;
}

std::string LocalTimeText() {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
    return text;
}

}  // namespace

int AdvanceTransactionNumber() {
    int number = std::atoi(Options.TransactionNumber) + 1;
    if (number >= 1000 || number <= 0) number = 1;
    char text[16];
    std::snprintf(text, sizeof text, "%03d", number);
    CopyField(Options.TransactionNumber, text);
    WriteOption("TransactionNumber", Options.TransactionNumber);
    return number;
}

int AddCandidateListTags() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return 1;
    const TerminalResultArea& a = r->terminalResultArea;
    const int technology = r->cardReadRecord.technology;
    if (a.candidateCount <= 0 || (technology != 4 && technology != 5 && technology != CARD_TECH_CONTACTLESS))
        return 0;
    const bool contactless = technology == CARD_TECH_CONTACTLESS;
    const auto& ctls = r->cardReadRecord.ctlsData;
    const int ctlsLength = ctls.length < 0 ? 0 : (ctls.length > kCtlsDataMax ? kCtlsDataMax : ctls.length);
    const bool apiOptional =
        contactless && ctlsLength >= 2 && ctls.bytes[ctlsLength - 2] == 0x9F && ctls.bytes[ctlsLength - 1] == 0x28;
    const int count = a.candidateCount < kResultCandidates ? a.candidateCount : kResultCandidates;
    // The card numbers the tracks hold are masked in every trace before a tag holds them.
    if (a.ctlsTrack2[0] != '\0') RegisterLogMasking(nullptr, a.ctlsTrack2, 0);
    for (int i = 0; i < count; ++i) {
        const auto& p = a.perCandidate[i];
        if (p.track2Length > 0) {
            const int n = p.track2Length > 100 ? 100 : p.track2Length;
            RegisterLogMasking(nullptr, Hex(p.track2, n, false).c_str(), 0);
        }
        if (a.candidates[i][0] == '\0' || TAG_Set("MD838", a.candidates[i]) != 1)
            return Fail("Creation de la requete serveur : AID manquant");
        // Counts are "not below i": candidate i (from 0) needs a count of i or more.
        if (a.applicationCodeCount < i || TAG_Set("TC4", a.applicationCodes[i]) != 1)
            return Fail("Creation de la requete serveur : Code Application manquant");
        if (a.priorityCount < i || TAG_SetInt("MD861", a.priorities[i]) != 1) {
            if (!apiOptional) return Fail("Creation de la requete serveur : API manquant");
            TraceLog(TRACE_WARN, "[SERVER]", "Creation de la requete serveur : API manquant mais optionnel");
        }
        if (a.codeTableCount >= i && TAG_SetInt("MD907", a.codeTables[i]) != 1)
            return Fail("Creation de la requete serveur : ICTI manquant");
        if (a.labelCount >= i && a.labels[i][0] != '\0' && TAG_Set("MD892", a.labels[i]) != 1)
            return Fail("Creation de la requete serveur : Application Label manquant");
        if (a.preferredNameCount >= i && a.preferredNames[i][0] != '\0' && TAG_Set("MD891", a.preferredNames[i]) != 1)
            return Fail("Creation de la requete serveur : Preferred Name absent manquant");
        if (a.pdolCount >= i && a.pdols[i][0] != '\0' && TAG_Set("MD864", a.pdols[i]) != 1)
            return Fail("Creation de la requete serveur : PDOL manquante");
        if (a.fciCount >= i && a.fciDiscretionary[i][0] != '\0' && TAG_Set("BF0C", a.fciDiscretionary[i]) != 1)
            return Fail("Creation de la requete serveur : BF0C manquant");
        bool ok = true;
        if (contactless && ReaderSpeaksRuda()) {
            const unsigned char status = ctls.outcome;
            ok = TAG_Set("CSRS", Hex(&status, 1, true).c_str()) == 1 &&
                 PutHex("CSALL", ctls.bytes, ctlsLength, kCtlsDataMax, true) &&
                 (a.ctlsTrack1[0] == '\0' ||
                  TAG_Set("D6J", Hex(reinterpret_cast<const unsigned char*>(a.ctlsTrack1),
                                     static_cast<int>(strnlen(a.ctlsTrack1, sizeof a.ctlsTrack1)), true)
                                     .c_str()) == 1) &&
                 (a.ctlsTrack2[0] == '\0' || TAG_Set("D2F", a.ctlsTrack2) == 1);
        } else {
            if (p.gpoLength > 0) {
                TAG_Disable("TC1");
                ok = TAG_Set("TC1", "10") == 1 && PutHex("CSGPO", p.gpo, p.gpoLength, sizeof p.gpo, true);
            }
            ok = ok && PutHex("CSRED", p.readRecord, p.readRecordLength, sizeof p.readRecord, true) &&
                 PutHex("CSGAC", p.generateAc, p.generateAcLength, sizeof p.generateAc, true) &&
                 PutHex("CSPDOL", p.pdolData, p.pdolDataLength, sizeof p.pdolData, true) &&
                 PutHex("CSCDOL", p.cdolData, p.cdolDataLength, sizeof p.cdolData, true) &&
                 PutHex("D6J", p.track1, p.track1Length, sizeof p.track1, true) &&
                 PutHex("D2F", p.track2, p.track2Length, sizeof p.track2, false) &&
                 PutHex("CSSUP", p.supplement, p.supplementLength, sizeof p.supplement, false);
        }
        if (!ok) return Fail("Echec mise en place de la liste des candidats");
    }
    return 0;
}

int BuildServerRequest() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 1;
    CardReadRecord& card = r->cardReadRecord;
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    if (c->serverRequest[0] == '\0') {
        std::memcpy(c->serverRequest, c->transactionRequest, sizeof c->serverRequest);
        c->serverRequest[sizeof c->serverRequest - 1] = '\0';
    }
    // A chip or contactless read's card data is masked in every trace before anything is traced.
    if (card.technology == CARD_TECH_CHIP || card.technology == 5 || card.technology == CARD_TECH_CONTACTLESS) {
        card.eventData[sizeof card.eventData - 1] = '\0';
        if (card.eventData[0] != '\0') RegisterLogMasking(nullptr, card.eventData, 0);
    }
    if (LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) != 1)
        return Fail("Echec creation de la requete serveur");
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s_%s", kProgramVersion, kProgramBuildDate);
    if (TAG_Set("ZNP", stamp) != 1) return 1;
    if (Options.AdditionalTags != nullptr && Options.AdditionalTags[0] != '\0' &&
        TAG_Append(Options.AdditionalTags) != 1)
        return 1;
    const char* rules = Options.ConditionalAdditionalTags;
    if (rules != nullptr && std::strchr(rules, ';') != nullptr && std::strchr(rules, '*') != nullptr) {
        char produced[101] = "";
        const int selected = SelectConditionalAdditionalTags(produced, sizeof produced);
        if (selected == -1) return 1;
        if (LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) != 1) return 1;
        if (selected > 0 && TAG_Append(produced) != 1) return 1;
    }
    if (TAG_Replace("LT", LocalTimeText().c_str()) != 1) return 1;
    UuidHolder uuid = CreateUuidString();
    if (!uuid || TAG_Replace("UUID", uuid.get()) != 1)
        TraceLog(TRACE_ERROR, "[SERVER]", "Echec de mise en place d'un UUID");
    if (CardTitle(r->titleId) && AddCardDataTags() != 0) return Fail("Echec mise en place des infos cartes");
    if (AddCandidateListTags() != 0) return Fail("Echec mise en place de la liste des candidats");
    const int technology = card.technology;
    if (ReaderSpeaksRuda() && card.p2peLength > 0 && technology >= 1 && technology <= 3 &&
        !PutHex("P2PE", card.p2peData, card.p2peLength, sizeof card.p2peData, true))
        return 1;
    if (TAG_SetInt("ME", c->echoMode) != 1 || TAG_SetInt("D3F", c->isoFallback) != 1 ||
        TAG_SetInt("TT", c->ticketTag) != 1)
        return 1;
    if (TAG_InitRead(c->serverRequest, sizeof c->serverRequest, 0) != 1) return 1;
    if (TAG_GetLength("D13") < 0 && TAG_SetInt("D13", Options.TestCardMode) != 1) return 1;
    if (AddSerialNumberTag() != 0) return Fail("Echec mise en place du numéro de serie");
    char d90[sizeof Options.NumTrsMonCaisse] = "";
    if (TAG_Get("D90", d90, sizeof d90, 1) == 1) {
        CopyField(Options.NumTrsMonCaisse, d90);
        r->posCounterOrigin = 16;
    } else if (Options.NumTrsMonCaisse[0] != '\0') {
        if (TAG_Set("D90", Options.NumTrsMonCaisse) != 1) return 1;
        r->posCounterOrigin = 1;
    }
    if (technology == CARD_TECH_CONTACTLESS) {
        char d17[32];
        std::snprintf(d17, sizeof d17, "%03d%s", std::atoi(Options.TransactionNumber), Options.TransactionNumber);
        if (TAG_Set("D17", d17) != 1) return 1;
    }
    if (r->nonCompletionReason != 0 && TAG_SetInt("MTNA", r->nonCompletionReason) != 1) return 1;
    if (r->clientMode != 0 && TAG_Set("ECM", "1") != 1) return 1;
    if (Options.DonationVersion > 0 && TAG_SetInt("MDV", Options.DonationVersion) != 1) return 1;
    std::memcpy(c->sentServerRequest, c->serverRequest, TAG_MESSAGE_MAX_CHARS);
    c->sentServerRequest[TAG_MESSAGE_MAX_CHARS] = '\0';
    return 0;
}
