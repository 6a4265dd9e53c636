#include "client/request_book.h"

#include <strings.h>

#include <algorithm>

#include "client/dll_log.h"
#include "client/tag_codec.h"

namespace znpdll {
namespace {

constexpr size_t kMaxField = 3;  // SV and CD values

bool SameIgnoringCase(std::string_view a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

}  // namespace

void RequestBook::FieldsOf(std::string_view text, std::string* service, std::string* command) const {
    service->clear();
    command->clear();
    const std::string copy(text);
    TagReader reader;
    reader.SetInstanceId(instanceId_);
    std::string_view value;
    if (reader.ReadInit(copy.c_str(), static_cast<uint32_t>(copy.size() + 1)) != 1) return;
    if (reader.FindValue("SV", 1, &value) == 1 && value.size() <= kMaxField) service->assign(value);
    if (reader.FindValue("CD", 1, &value) == 1 && value.size() <= kMaxField) command->assign(value);
}

bool RequestBook::HasAnswerOfItsOwn(std::string_view service) {
    // An abort ends the running request (whose answer says so), a flash
    // information gets none, and "s5"/"s6" are the cash register's answers
    // to the program's own requests.
    for (const char* none : {"s3", "s11", "s5", "s6"})
        if (SameIgnoringCase(service, none)) return false;
    return true;
}

bool RequestBook::AnswersPending(std::string_view service, std::string_view command) const {
    return !pendingService_.empty() && service == pendingService_ && command == pendingCommand_;
}

RequestBook::Kind RequestBook::Sort(std::string_view text) const {
    if (text.empty()) return Kind::Empty;
    if (text.front() != '{') return Kind::Bare;
    std::string service, command;
    FieldsOf(text, &service, &command);
    if (!service.empty()) {
        // The program answers in order: a request given up on is answered
        // before any later one with the same SV and CD.
        for (const GivenUp& g : givenUp_)
            if (HasAnswerOfItsOwn(g.service) && g.service == service && g.command == command) return Kind::Late;
        if (AnswersPending(service, command)) return Kind::Answer;
    }
    return Kind::Other;
}

void RequestBook::Purge(std::string_view text, const char* module) const {
    DllLogger& log = DllLogger::Get();
    if (!log.IsVerbose()) return;
    const std::string shown(text);
    log.Logf(instanceId_, "** INFO ** |%s| Purge: %s", module, shown.c_str());
}

RequestBook::Kind RequestBook::TakeAside(std::string text, const char* module) {
    DllLogger& log = DllLogger::Get();
    const Kind kind = Sort(text);
    switch (kind) {
        case Kind::Late:
            DropLate(text, module);
            break;
        case Kind::Answer:
            // Answered in order: whatever was sent before the pending request
            // and is still unanswered will never be.
            std::erase_if(givenUp_, [this](const GivenUp& g) { return g.sequence < pendingSequence_; });
            held_.erase(std::remove_if(held_.begin(), held_.end(), [](const Held& h) { return h.answer; }),
                        held_.end());
            log.Logf(instanceId_, "** INFO ** |%s| Stockage: %s", module, text.c_str());
            held_.push_back(Held{std::move(text), true});
            break;
        case Kind::Other: {
            log.Logf(instanceId_, "** INFO ** |%s| Conserve: %s", module, text.c_str());
            held_.push_back(Held{std::move(text), false});
            const size_t kept = static_cast<size_t>(
                std::count_if(held_.begin(), held_.end(), [](const Held& h) { return !h.answer; }));
            if (kept > kMaxKept) {
                auto oldest = std::find_if(held_.begin(), held_.end(), [](const Held& h) { return !h.answer; });
                Purge(oldest->text, module);
                held_.erase(oldest);
            }
            break;
        }
        default:
            break;
    }
    return kind;
}

void RequestBook::DropLate(std::string_view text, const char* module) {
    std::string service, command;
    FieldsOf(text, &service, &command);
    auto it = std::find_if(givenUp_.begin(), givenUp_.end(), [&](const GivenUp& g) {
        return HasAnswerOfItsOwn(g.service) && g.service == service && g.command == command;
    });
    if (it != givenUp_.end()) givenUp_.erase(it);
    DllLogger::Get().Logf(instanceId_, ">> WARNING << |%s| Reponse tardive ignoree (%s / %s)", module,
                          service.c_str(), command.c_str());
    Purge(text, module);
}

bool RequestBook::OwesAcknowledgement() const {
    return std::any_of(givenUp_.begin(), givenUp_.end(), [](const GivenUp& g) { return !g.acknowledged; });
}

void RequestBook::DropStaleAcknowledgement(std::string_view text, const char* module) {
    auto it = std::find_if(givenUp_.begin(), givenUp_.end(), [](const GivenUp& g) { return !g.acknowledged; });
    if (it != givenUp_.end()) {
        // Taken: its answer follows, unless it has none of its own.
        if (text == "0" && HasAnswerOfItsOwn(it->service))
            it->acknowledged = true;
        else
            givenUp_.erase(it);
    }
    const std::string shown(text);
    DllLogger::Get().Logf(instanceId_, ">> WARNING << |%s| Acquittement tardif ignore: %s", module, shown.c_str());
    Purge(text, module);
}

void RequestBook::GiveUp(GivenUp request) {
    givenUp_.push_back(std::move(request));
    if (givenUp_.size() > kMaxLate) givenUp_.pop_front();
}

void RequestBook::AcknowledgementTimedOut(const std::string& service, const std::string& command) {
    GiveUp(GivenUp{service, command, false, sequence_});
}

void RequestBook::Acknowledged(const std::string& service, const std::string& command, int code) {
    if (code != 0) return;
    if (pendingService_.empty()) {
        pendingService_ = service;
        pendingCommand_ = command;
        pendingSequence_ = sequence_;
        return;
    }
    if (!HasAnswerOfItsOwn(service)) return;
    // A new request replaces the pending one: its answer is late, whether
    // it is already held or still to come.
    auto held = std::find_if(held_.begin(), held_.end(), [](const Held& h) { return h.answer; });
    if (held != held_.end()) {
        DropLate(held->text, "DLLSND");
        held_.erase(held);
    } else {
        GiveUp(GivenUp{pendingService_, pendingCommand_, true, pendingSequence_});
    }
    pendingService_ = service;
    pendingCommand_ = command;
    pendingSequence_ = sequence_;
}

bool RequestBook::HoldsAnswer() const {
    return std::any_of(held_.begin(), held_.end(), [](const Held& h) { return h.answer; });
}

std::string RequestBook::PopFront() {
    std::string text = std::move(held_.front().text);
    held_.pop_front();
    HandedOver(text);
    return text;
}

void RequestBook::HandedOver(std::string_view text) {
    std::string service, command;
    FieldsOf(text, &service, &command);
    if (AnswersPending(service, command)) {
        pendingService_.clear();
        pendingCommand_.clear();
    }
}

}  // namespace znpdll
