#include "transactions/card_checks.h"

#include <cctype>
#include <cstring>
#include <string>

#include "core/card_masking.h"
#include "core/dates.h"
#include "core/trace_front.h"
#include "station/eft_context.h"
#include "station/options.h"

namespace {

constexpr int kRangeDigits = 19;

struct CardRange {
    const char* low;
    const char* high;
};

constexpr CardRange kQyRanges[] = {
    {"0009990300000000000", "0009990399999999999"}, {"0009990900000000000", "0009990999999999999"},
    {"6012840000000000000", "6012849999999999999"}, {"6272620000000000000", "6272629999999999999"},
    {"6274763000000000000", "6274763999999999999"}, {"6361720000000000000", "6361729999999999999"},
    {"6364510000000000000", "6364519999999999999"}, {"7004130000000000000", "7004139999999999999"},
    {"7027130000000000000", "7027139999999999999"}, {"9250002831200000000", "9250002831299999999"},
    {"9250002832100000000", "9250002832199999999"}, {"9250002833000000000", "9250002833999999999"},
    {"9250002834000000000", "9250002834099999999"}, {"9250002836000000000", "9250002836099999999"},
    {"9250002836100000000", "9250002836199999999"}, {"9250002836200000000", "9250002836299999999"},
    {"9250002836300000000", "9250002836399999999"}, {"9250002836400000000", "9250002836499999999"},
    {"9250002836600000000", "9250002836699999999"}, {nullptr, nullptr},
};
constexpr CardRange kDuremontRanges[] = {
    {"3060050000000000000", "3060059999999999999"},
    {"6272620000000000000", "6272629999999999999"},
    {"6059080000000000000", "6059089999999999999"},
    {nullptr, nullptr},
};
constexpr CardRange kPerlanRanges[] = {
    {"5032020000000000000", "5032029999999999999"},
    {nullptr, nullptr},
};

std::string Upper(const char* text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

const CardRange* ChooseTable(int forceQy) {
    const std::string behaviour = Upper(Options.TradingNameSpecificBehavior);
    if (forceQy != 0 || behaviour.find("QY") != std::string::npos) return kQyRanges;
    if (behaviour.find("DUREMONT") != std::string::npos) return kDuremontRanges;
    if (behaviour.find("PERLAN") != std::string::npos) return kPerlanRanges;
    return nullptr;
}

// Failure of the track check: a private card still passes.
int Refuse(bool isPrivate) { return isPrivate ? 1 : 0; }

}  // namespace

int IsPrivateCard(const char* card, int forceQy) {
    const CardRange* table = ChooseTable(forceQy);
    if (table == nullptr || card == nullptr) return 1;
    if (*card == 'B') ++card;
    std::string number(card, strnlen(card, kRangeDigits));
    const size_t cut = number.find_first_of("DF");
    if (cut != std::string::npos) number.resize(cut);
    std::string low = number, high = number;
    low.resize(kRangeDigits, '0');
    high.resize(kRangeDigits, '9');
    for (const CardRange* row = table; row->low != nullptr; ++row)
        if (low >= row->low && high <= row->high) return 0;
    return 1;
}

int CheckLuhn() {
    const TransactionRecord* r = GetTransactionRecord();
    const char* number = r != nullptr ? r->cardNumber : "";
    const size_t length = strnlen(number, sizeof r->cardNumber);
    if (length == 0) {
        TraceLog(TRACE_ERROR, "[LUHN]", "Numero porteur inconnu");
        return 1;
    }
    int sum = 0;
    bool doubled = true;
    for (size_t i = length - 1; i-- > 0;) {
        const int digit = number[i] - '0';
        if (digit < 0 || digit > 9) {
            TraceLog(TRACE_ERROR, "[LUHN]", "Cle incorrecte");
            return 1;
        }
        int value = doubled ? digit * 2 : digit;
        if (value > 9) value -= 9;
        sum += value;
        doubled = !doubled;
    }
    const int expected = (10 - sum % 10) % 10;
    if (number[length - 1] - '0' != expected) {
        TraceLog(TRACE_ERROR, "[LUHN]", "Cle incorrecte");
        return 1;
    }
    return 0;
}

int CheckIso2Track() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return 0;
    CardReadRecord& card = r->cardReadRecord;
    char* track = card.eventData;
    const size_t textLength = strnlen(track, sizeof card.eventData);
    // The track text is always ended within its field before anything reads it.
    track[textLength < sizeof card.eventData ? textLength : sizeof card.eventData - 1] = '\0';

    RegisterLogMasking(nullptr, track, 0);
    {
        char shown[sizeof card.eventData];
        std::memcpy(shown, track, sizeof shown);
        if (char* f = std::strchr(shown, 'F')) *f = '\0';
        MaskTrack2(shown, 0, 0);
        TraceLog(TRACE_INFO, "[ISO2]", "Track: %s", shown);
    }
    const bool isPrivate = Options.ISO2ControlBypass == 1 && IsPrivateCard(track, 1) == 0;

    const int32_t length = card.eventLength;
    if (length <= 0 || length > 40) {
        TraceLog(TRACE_ERROR, "[ISO2]", "Piste de longueur %u", static_cast<unsigned>(length));
        return Refuse(isPrivate);
    }
    ClearCardTrackFields();
    const size_t walk = static_cast<size_t>(length) < textLength ? static_cast<size_t>(length) : textLength;
    bool sentinel = false, separator = false;
    size_t numberLength = 0, afterLength = 0;
    char after[41] = "";
    for (size_t i = 0; i < walk; ++i) {
        const char c = track[i];
        if (c == 'B' && !separator) {
            sentinel = true;
            continue;
        }
        if (c == 'D' && !separator) {
            separator = true;
            continue;
        }
        if (c == 'F' && separator) break;
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!allowed) {
            TraceLog(TRACE_ERROR, "[ISO2]", "Caractere %c incorrect en position %u",
                     std::isprint(static_cast<unsigned char>(c)) ? c : '?', static_cast<unsigned>(i + 1));
            return Refuse(isPrivate);
        }
        if (separator) {
            if (afterLength < sizeof after - 1) after[afterLength++] = c;
            continue;
        }
        if (numberLength == 20) {
            TraceLog(TRACE_ERROR, "[ISO2]", "Numero porteur de taille incorrecte");
            if (!isPrivate) return 0;
            // A private card keeps its first digits (at most 19) and the track
            // gets its separator there.
            size_t kept = 0;
            while (kept < kRangeDigits && r->cardNumber[kept] >= '0' && r->cardNumber[kept] <= '9') ++kept;
            r->cardNumber[kept] = '\0';
            r->cardNumberLength = static_cast<int32_t>(kept);
            const size_t at = kept + (sentinel ? 1 : 0);
            if (at < sizeof card.eventData - 1) track[at] = 'D';
            RegisterLogMasking(r->cardNumber, nullptr, 0);
            return 1;
        }
        r->cardNumber[numberLength++] = c;
        r->cardNumber[numberLength] = '\0';
        // Kept with the number: a private card accepted at a later failure
        // leaves both as they are.
        r->cardNumberLength = static_cast<int32_t>(numberLength);
    }
    r->cardNumberLength = static_cast<int32_t>(numberLength);
    const size_t expiry = afterLength < 4 ? afterLength : 4;
    std::memcpy(r->expiryDate, after, expiry);
    r->expiryDate[expiry] = '\0';
    r->expiryDateLength = static_cast<int32_t>(expiry);
    const size_t service = afterLength > 4 ? (afterLength - 4 < 3 ? afterLength - 4 : 3) : 0;
    std::memcpy(r->serviceCode, after + 4 * (afterLength >= 4), service);
    r->serviceCode[service] = '\0';
    r->serviceCodeLength = static_cast<int32_t>(service);
    if (afterLength > 7) {
        const size_t rest = afterLength - 7 < sizeof r->trackRest - 1 ? afterLength - 7 : sizeof r->trackRest - 1;
        std::memcpy(r->trackRest, after + 7, rest);
        r->trackRest[rest] = '\0';
    }
    if (numberLength > 0) RegisterLogMasking(r->cardNumber, nullptr, 0);

    const bool serviceNeeded = card.technology != CARD_TECH_KEYBOARD;
    if (!separator || expiry != 4 || (serviceNeeded && service != 3)) {
        TraceLog(TRACE_ERROR, "[ISO2]", "Format incorrect");
        return Refuse(isPrivate);
    }
    if ((Options.Iso2ControlLevel & 1) != 0 && CheckLuhn() != 0) return Refuse(isPrivate);
    if ((Options.Iso2ControlLevel & 2) != 0) {
        char date[9];
        std::memcpy(date, "20", 2);
        std::memcpy(date + 2, r->expiryDate, 4);
        std::memcpy(date + 6, "01", 3);
        if (WCheckDate(date) != 1) {
            TraceLog(TRACE_ERROR, "[ISO2]", "Date d'expiration incorrecte");
            return Refuse(isPrivate);
        }
    }
    return 1;
}
