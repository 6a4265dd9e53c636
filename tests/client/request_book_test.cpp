// The request book's rules in sequences the program can produce: which
// request a message answers, what a late acknowledgement says, what replaces
// the pending request, and how many messages are held.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/request_book.h"

namespace {

using znpdll::RequestBook;
using Kind = RequestBook::Kind;

std::string Answer(const std::string& sv, const std::string& cd) {
    return "{SS}A{PS}1{SV}" + sv + "{CD}" + cd + "{RS}00{F}";
}

// A request written and acknowledged with `code`, or given up on (-1).
void Request(RequestBook& book, const std::string& sv, const std::string& cd, int code) {
    book.Sent();
    if (code < 0)
        book.AcknowledgementTimedOut(sv, cd);
    else
        book.Acknowledged(sv, cd, code);
}

TEST(RequestBookTest, SortingTable_Mended) {
    struct Case {
        const char* name;
        std::function<void(RequestBook&)> before;
        std::string message;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"the pending request's answer", [](RequestBook& b) { Request(b, "s0", "c1", 0); }, Answer("s0", "c1"),
         Kind::Answer},
        {"same SV, another CD", [](RequestBook& b) { Request(b, "s0", "c1", 0); }, Answer("s0", "c2"), Kind::Other},
        {"nothing pending", [](RequestBook&) {}, Answer("s0", "c1"), Kind::Other},
        {"acknowledgement", [](RequestBook&) {}, "0", Kind::Bare},
        {"empty", [](RequestBook&) {}, "", Kind::Empty},
        {"answer of a request given up on, acknowledged late",
         [](RequestBook& b) {
             Request(b, "s12", "c25", -1);
             b.DropStaleAcknowledgement("0", "DLLSND");
         },
         Answer("s12", "c25"), Kind::Late},
        {"a late 5: no answer follows",
         [](RequestBook& b) {
             Request(b, "s12", "c25", -1);
             b.DropStaleAcknowledgement("5", "DLLSND");
         },
         Answer("s12", "c25"), Kind::Other},
        {"the first of two identical requests answers first",
         [](RequestBook& b) {
             Request(b, "s0", "c1", -1);
             b.DropStaleAcknowledgement("0", "DLLSND");
             Request(b, "s0", "c1", 0);
         },
         Answer("s0", "c1"), Kind::Late},
        {"an abort given up on never swallows the abort answer",
         [](RequestBook& b) {
             Request(b, "s0", "c1", 0);
             Request(b, "s3", "c0", -1);
             b.DropStaleAcknowledgement("0", "DLLSND");
         },
         "{SS}A{SV}s3{CD}c0{RS}33{F}", Kind::Other},
        {"an answer to the program's request leaves the payment pending",
         [](RequestBook& b) {
             Request(b, "s0", "c1", 0);
             Request(b, "s6", "c21", 0);
         },
         Answer("s0", "c1"), Kind::Answer},
        {"a new request replaces the pending one",
         [](RequestBook& b) {
             Request(b, "s0", "c1", 0);
             Request(b, "s12", "c25", 0);
         },
         Answer("s0", "c1"), Kind::Late},
        {"a request refused by the program replaces nothing",
         [](RequestBook& b) {
             Request(b, "s0", "c1", 0);
             Request(b, "s12", "c25", 5);
         },
         Answer("s0", "c1"), Kind::Answer},
        // Once a later request is answered, an earlier one never will be:
        // it no longer catches the answers of requests like it.
        {"a request given up on is forgotten once a later one is answered",
         [](RequestBook& b) {
             Request(b, "s0", "c1", -1);
             b.DropStaleAcknowledgement("0", "DLLSND");
             Request(b, "s12", "c25", 0);
             b.TakeAside(Answer("s12", "c25"), "DLLSND");
             b.PopFront();
             Request(b, "s0", "c1", 0);
         },
         Answer("s0", "c1"), Kind::Answer},
    };
    for (const Case& c : cases) {
        RequestBook book;
        c.before(book);
        EXPECT_EQ(book.Sort(c.message), c.kind) << c.name;
    }
}

TEST(RequestBookTest, HeldMessagesAreBoundedAndTheAnswerKept_Mended) {
    RequestBook book;
    Request(book, "s0", "c1", 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(book.TakeAside("{SS}A{SV}s6{CD}c20{ED}" + std::to_string(i) + "{F}", "DLLSND"), Kind::Other);
        if (i == 3) {
            EXPECT_EQ(book.TakeAside(Answer("s0", "c1"), "DLLSND"), Kind::Answer);
        }
    }
    EXPECT_EQ(book.heldCount(), RequestBook::kMaxKept + 1);
    EXPECT_TRUE(book.HoldsAnswer());
    // The oldest kept are gone; the answer, older than them, stays first.
    EXPECT_EQ(book.PopFront(), Answer("s0", "c1"));
    EXPECT_TRUE(book.pendingService().empty());
    EXPECT_EQ(book.Front(), "{SS}A{SV}s6{CD}c20{ED}12{F}");
}

}  // namespace
