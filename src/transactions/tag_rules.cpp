#include "transactions/tag_rules.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "station/eft_context.h"
#include "station/options.h"

namespace {

constexpr size_t kRulePartMax = 100;

// Every value of the code in a tag message text.
std::vector<std::string> ValuesOf(const std::string& text, const std::string& code) {
    std::vector<std::string> values;
    const std::string key = "{" + code + "}";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const size_t start = at + key.size();
        const size_t end = text.find('{', start);
        values.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    }
    return values;
}

bool ConditionHolds(const std::string& condition, const std::string& request) {
    size_t at = 0;
    while ((at = condition.find('{', at)) != std::string::npos) {
        const size_t close = condition.find('}', at);
        if (close == std::string::npos) return false;
        const std::string code = condition.substr(at + 1, close - at - 1);
        const size_t next = condition.find('{', close);
        const std::string wanted =
            condition.substr(close + 1, next == std::string::npos ? std::string::npos : next - close - 1);
        at = close;
        if (code.empty() || code == "F") continue;
        if (wanted == "??") {
            if (ValuesOf(request, code).empty()) return false;
            continue;
        }
        bool found = false;
        for (const std::string& v : ValuesOf(request, code))
            if (strcasecmp(v.c_str(), wanted.c_str()) == 0) found = true;
        if (!found) return false;
    }
    return true;
}

}  // namespace

int SelectConditionalAdditionalTags(char* out, int size) {
    const char* rules = Options.ConditionalAdditionalTags;
    if (rules == nullptr || rules[0] == '\0') return -1;
    const EFTCBox* c = GetEftContext();
    const TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr || out == nullptr || size <= 0) return 0;
    const std::string request(c->serverRequest, strnlen(c->serverRequest, sizeof c->serverRequest));
    std::vector<std::string> parts;
    const std::string text(rules);
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find(';', start);
        if (end == std::string::npos) break;
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    size_t used = strnlen(out, static_cast<size_t>(size));
    int copied = 0;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        const std::string& condition = parts[i];
        if (condition.size() > kRulePartMax || parts[i + 1].size() > kRulePartMax) continue;
        if (condition.find(r->service) == std::string::npos || condition.find(r->command) == std::string::npos)
            continue;
        if (!ConditionHolds(condition, request)) continue;
        std::string tags;
        for (char ch : parts[i + 1])
            if (ch != '\r' && ch != '\n') tags += ch;
        if (used + tags.size() + 1 > static_cast<size_t>(size)) return 0;
        std::memcpy(out + used, tags.c_str(), tags.size() + 1);
        used += tags.size();
        copied = 1;
    }
    return copied;
}
