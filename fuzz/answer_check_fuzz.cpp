// Fuzz target of the server answer check and of the cross-transaction
// event on arbitrary answers: the first input byte picks the options, the
// rest is the server answer, checked against a fixed request holding a UUID.
// Whatever the answer, the check gives 0 or 1, the answer stays terminated,
// an accepted answer carries no other UUID, a refused one with an RS queues
// exactly one event whose message is Base64, and the event of any answer
// against the request is empty or a whole tag message.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "fuzz_session.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "transactions/server_messages.h"

namespace {

constexpr char kRequest[] = "{SS}R{PS}7{SV}s0{CD}c1{D10}1500{UUID}0f8fad5b-d9cb-469f-a165-70867728950e{F}";

bool Terminated(const char* field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

bool IsBase64(const std::string& text) {
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
    return text.size() % 4 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static EFTCBox* c = OpenFuzzSession("/tmp/znp-fuzz-answer-XXXXXX");
    if (size < 1 || size > sizeof c->serverAnswer) return 0;
    TransactionRecord* r = GetTransactionRecord();
    std::strcpy(r->service, "s0");
    std::strcpy(r->command, "c1");
    Options.DirectServerConnection = input[0] & 1;
    std::strcpy(c->sentServerRequest, kRequest);
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    std::memcpy(c->serverAnswer, input + 1, size - 1 < sizeof c->serverAnswer - 1 ? size - 1 : sizeof c->serverAnswer - 1);
    const std::string answer(c->serverAnswer);
    ClearEndOfTransactionRequests();

    const int result = CheckServerResponse();
    Check(result == 0 || result == 1, "unexpected result");
    Check(Terminated(c->serverAnswer, sizeof c->serverAnswer), "answer not terminated");
    Check(EndOfTransactionRequests().size() <= 1, "more than one event queued");
    if (result == 1) Check(EndOfTransactionRequests().empty(), "accepted answer queued an event");
    for (const std::string& event : EndOfTransactionRequests()) {
        if (event.empty()) continue;
        const size_t at = event.find("{message}");
        Check(event.rfind("{SV}s10{CD}c47{event-id}20{message}", 0) == 0 && at != std::string::npos,
              "event without its head");
        const std::string message = event.substr(at + 9, event.size() - at - 9 - 3);
        Check(IsBase64(message) && event.compare(event.size() - 3, 3, "{F}") == 0, "event message not Base64");
    }
    const std::string event = BuildCrossTransactionEvent(kRequest, answer.c_str());
    Check(event.empty() || event.compare(event.size() - 3, 3, "{F}") == 0, "event not a whole message");
    ClearEndOfTransactionRequests();
    return 0;
}
