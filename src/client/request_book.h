// What an instance knows of its conversation with the program: the pending
// request (SV and CD of the request acknowledged with 0 whose answer is
// awaited), the requests given up on whose acknowledgement or answer may
// still come late, and the program's messages taken out of the mailbox and
// held for the cash register (the pending request's answer among them).
//
// The program answers in order and every answer carries the SV and CD of its
// request. A message is the answer only when both match the pending request;
// a message matching a request given up on is its late answer and is dropped;
// a one-character message that is not the acknowledgement being awaited is
// the late acknowledgement of a request given up on, and is dropped too.
//
// Not thread-safe: the instance calls it under its lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace znpdll {

class RequestBook {
public:
    static constexpr size_t kMaxKept = 8;  // messages held besides the answer
    static constexpr size_t kMaxLate = 8;  // requests given up on, remembered

    enum class Kind {
        Empty,   // no text
        Bare,    // not a tag message: an acknowledgement
        Answer,  // the pending request's answer
        Late,    // the answer of a request given up on
        Other,   // another message of the program, for the cash register
    };

    void SetInstanceId(uint32_t id) { instanceId_ = id; }

    // SV and CD of a tag message (each empty when absent or longer than 3).
    // (Its read is logged under the instance id, as every tag read.)
    void FieldsOf(std::string_view text, std::string* service, std::string* command) const;
    // How a message stands against the requests.
    Kind Sort(std::string_view text) const;

    // A tag message taken out of the mailbox: the answer is held (in place of
    // an answer held before), another message is held for the cash register
    // (the oldest purged beyond kMaxKept), a late answer is dropped. Its kind.
    Kind TakeAside(std::string text, const char* module);
    // Drops the late answer of a request given up on, with its log lines.
    void DropLate(std::string_view text, const char* module);
    // True while a request given up on still owes its acknowledgement.
    bool OwesAcknowledgement() const;
    // Drops a one-character message that is not the acknowledgement being
    // awaited: the late acknowledgement of the oldest request that owes one
    // (a "0" means that its answer will follow), or a stray one.
    void DropStaleAcknowledgement(std::string_view text, const char* module);

    // A request was written to the program; the calls below are about it.
    void Sent() { ++sequence_; }
    // The acknowledgement of a request did not come in time.
    void AcknowledgementTimedOut(const std::string& service, const std::string& command);
    // The acknowledgement code of a request. A 0 makes the request pending
    // when none is; while one is, a request that has an answer of its own
    // replaces it (the cash register gave up on it: its answer, held or to
    // come, is late), while an abort, a flash information or an answer to a
    // request of the program leaves it pending.
    void Acknowledged(const std::string& service, const std::string& command, int code);

    bool HoldsAnswer() const;
    bool HoldsAny() const { return !held_.empty(); }
    size_t heldCount() const { return held_.size(); }
    const std::string& Front() const { return held_.front().text; }
    // Hands the oldest held message over (the pending request is answered
    // when it was its answer).
    std::string PopFront();
    // A message handed over straight from the mailbox.
    void HandedOver(std::string_view text);
    // Drops every held message (closing).
    void ClearHeld() { held_.clear(); }

    const std::string& pendingService() const { return pendingService_; }
    const std::string& pendingCommand() const { return pendingCommand_; }

private:
    struct Held {
        std::string text;
        bool answer;
    };
    struct GivenUp {
        std::string service;
        std::string command;
        bool acknowledged;  // its "0" came: the answer will follow
        uint64_t sequence;  // when it was sent
    };
    static bool HasAnswerOfItsOwn(std::string_view service);
    bool AnswersPending(std::string_view service, std::string_view command) const;
    void GiveUp(GivenUp request);
    void Purge(std::string_view text, const char* module) const;

    uint32_t instanceId_ = 0;
    uint64_t sequence_ = 0;  // requests written so far
    std::string pendingService_;
    std::string pendingCommand_;
    uint64_t pendingSequence_ = 0;
    std::deque<GivenUp> givenUp_;
    std::deque<Held> held_;
};

}  // namespace znpdll
