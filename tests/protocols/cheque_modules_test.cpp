// The cheque-reader modules of protocols 6, 7 and 8 without a line: the
// requests each builds (exact bytes), and the decoding of the answers into
// the card-read record by the kind of the last request.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "protocols/cheque/cheque_modules.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"
#include "support/cheque_operation.h"

namespace {

using BuildFn = const unsigned char* (*)(CardReadRecord*, int*);
using DealFn = int (*)(const unsigned char*, int, CardReadRecord*);

CardReadRecord Cheque(uint8_t options, const std::string& text = "") { return testsupport::ChequeRecord(options, text); }

// The request a builder makes ("<none>" when it builds none).
std::string Request(BuildFn build, CardReadRecord* r) {
    int length = -1;
    const unsigned char* bytes = build(r, &length);
    if (bytes == nullptr) return "<none>";
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

struct Protocol {
    const char* name;
    BuildFn build;
    DealFn deal;
    int (*reset)();
    int (*lastKind)();
};
const Protocol kD5500{"D5500", D5500_BuildRequest, D5500_DealAnswer, D5500_ResetCommand, D5500_LastKind};
const Protocol kM4400{"M4400", M4400_BuildRequest, M4400_DealAnswer, M4400_ResetCommand, M4400_LastKind};
const Protocol kOlvar{"OLVAR", OLVAR_BuildRequest, OLVAR_DealAnswer, OLVAR_ResetCommand, OLVAR_LastKind};

// Decodes an answer after a request of the given options was built.
int Answer(const Protocol& p, uint8_t options, const std::string& answer, CardReadRecord* r) {
    CardReadRecord request = Cheque(options, "X*1*");
    int length = 0;
    EXPECT_NE(p.build(&request, &length), nullptr);
    *r = Cheque(options);
    r->status = 77;  // left as it was unless the decoder sets it
    return p.deal(reinterpret_cast<const unsigned char*>(answer.data()), static_cast<int>(answer.size()), r);
}

const std::string kHostLine = "D0012345D000123456789F987654321012B";

}  // namespace

TEST(ChequeRequests, ByProtocolAndOptions) {
    const std::string text = "AB*CD*";
    const std::string line80 = "AB" + std::string(74, ' ') + "*CD*";
    const std::string line70 = "AB" + std::string(64, ' ') + "*CD*";
    struct Case {
        const Protocol* p;
        uint8_t options;
        std::string request;
        int kind;
    };
    const Case cases[] = {
        {&kD5500, 0x10, "100", CHQ_KIND_READ},
        {&kD5500, 0x11, "100", CHQ_KIND_READ},
        {&kD5500, 0x20, "010e0000" + line80, CHQ_KIND_PRINT},
        {&kD5500, 0x40, "000", CHQ_KIND_GIVE_BACK},
        {&kD5500, 0x30, "", CHQ_KIND_NONE},
        {&kD5500, 0x00, "", CHQ_KIND_NONE},
        {&kM4400, 0x10, "910", CHQ_KIND_READ},
        {&kM4400, 0x21, "w080" + line80, CHQ_KIND_PRINT},
        {&kM4400, 0x40, "8", CHQ_KIND_GIVE_BACK},
        {&kM4400, 0x80, "", CHQ_KIND_NONE},
        {&kOlvar, 0x10, "42?", CHQ_KIND_READ},
        {&kOlvar, 0x11, "42", CHQ_KIND_READ},
        {&kOlvar, 0x20, "19e" + line70, CHQ_KIND_PRINT},
        {&kOlvar, 0x21, "9e" + line70, CHQ_KIND_PRINT},
        {&kOlvar, 0x41, "4", CHQ_KIND_GIVE_BACK},
        {&kOlvar, 0x30, "", CHQ_KIND_NONE},
    };
    for (const Case& c : cases) {
        CardReadRecord r = Cheque(c.options, text);
        r.busy = 9;
        EXPECT_EQ(Request(c.p->build, &r), c.request) << c.p->name << " " << int{c.options};
        EXPECT_EQ(r.busy, 0) << c.p->name << " " << int{c.options};
        EXPECT_EQ(r.chequeOptions, c.options & 0xF0) << "the low nibble is cleared once built";
        EXPECT_EQ(c.p->lastKind(), c.kind) << c.p->name << " " << int{c.options};
    }
    // The request sizes of the device documentation.
    CardReadRecord r = Cheque(0x20, text);
    EXPECT_EQ(Request(D5500_BuildRequest, &r).size(), 88u);
    r = Cheque(0x20, text);
    EXPECT_EQ(Request(M4400_BuildRequest, &r).size(), 84u);
    r = Cheque(0x20, text);
    EXPECT_EQ(Request(OLVAR_BuildRequest, &r).size(), 73u);
}

// Nothing is built without a cheque asked for, nor for a print text without
// a '*': the busy word stays 1 and the options are left alone.
TEST(ChequeRequests, NothingBuilt) {
    for (const Protocol* p : {&kD5500, &kM4400, &kOlvar}) {
        CardReadRecord idle = Cheque(0x11);
        idle.chequeRequested = 0;
        EXPECT_EQ(Request(p->build, &idle), "<none>") << p->name;
        EXPECT_EQ(idle.busy, 1);
        EXPECT_EQ(idle.chequeOptions, 0x11);
        int length = 5;
        EXPECT_EQ(p->build(nullptr, &length), nullptr);
        EXPECT_EQ(length, 0);
    }
}

TEST(ChequeRequests, PrintTextWithoutStarIsRefused_Mended) {
    for (const Protocol* p : {&kD5500, &kM4400, &kOlvar}) {
        CardReadRecord r = Cheque(0x21, "PAYEZ SANS ETOILE");
        EXPECT_EQ(Request(p->build, &r), "<none>") << p->name;
        EXPECT_EQ(r.busy, 1);
        EXPECT_EQ(r.chequeOptions, 0x21);
    }
}

// A starred part wider than the line keeps its last characters, the
// closing '*' in the last column (the print line's rule, on each width).
TEST(ChequeRequests, StarredPartWiderThanTheLine_Mended) {
    const std::string text = "*" + std::string(90, '9') + "*";
    CardReadRecord r = Cheque(0x20, text);
    const std::string request = Request(M4400_BuildRequest, &r);
    EXPECT_EQ(request, "w080" + text.substr(text.size() - 80));
    r = Cheque(0x21, text);
    EXPECT_EQ(Request(OLVAR_BuildRequest, &r), "9e" + text.substr(text.size() - 70));
}

// Protocol 6: accepted when the answer starts with the head of the last
// request's kind and "10"; a read's line from offset 7 in host form.
TEST(ChequeAnswers, D5500) {
    struct Case {
        uint8_t options;
        std::string answer;
        int32_t status, errorSource, technology;
        std::string line;
    };
    const Case cases[] = {
        {0x10, "1401035<0012345<000123456789>987654321012: ", 0x4000, 0, 0, kHostLine},
        {0x10, "1401035<0012345<000123456789>987654321012:", 0x4000, 0, 0, kHostLine},  // no space
        {0x10, "1401035", 0x4000, 0, 0, ""},
        {0x10, "14010XX:;<=> trailing", 0x4000, 0, 0, "BCDEF"},
        {0x10, "14020", 2, 2, 0, ""},   // refused by the reader
        {0x10, "01010", 2, 2, 0, ""},   // a print's answer to a read
        {0x20, "01010", 0, 0, CARD_TECH_CHEQUE, ""},
        {0x40, "04010", 0, 0, CARD_TECH_CHEQUE, ""},
        {0x40, "0401", 2, 2, 0, ""},    // too short
        {0x30, "14010", 2, 2, 0, ""},   // no request kind
    };
    for (const Case& c : cases) {
        CardReadRecord r;
        EXPECT_EQ(Answer(kD5500, c.options, c.answer, &r), 0) << c.answer;
        EXPECT_EQ(r.busy, 0);
        EXPECT_EQ(r.answerValid, 1) << c.answer;
        EXPECT_EQ(r.presentCount, 1);
        EXPECT_EQ(r.status, c.status) << c.answer;
        EXPECT_EQ(r.errorSource, c.errorSource) << c.answer;
        EXPECT_EQ(r.technology, c.technology) << c.answer;
        EXPECT_STREQ(r.eventData, c.line.c_str()) << c.answer;
        EXPECT_EQ(r.eventLength, static_cast<int32_t>(c.line.size()));
    }
    // A line of more than 100 characters fills eventData and no more.
    CardReadRecord r;
    Answer(kD5500, 0x10, "14010" "99" + std::string(150, '7'), &r);
    EXPECT_EQ(r.eventLength, 100);
    EXPECT_EQ(std::strlen(r.eventData), 100u);
}

// Protocol 7: '9' only after a read, 'A' only after a print, '1' after any;
// the mapping is one pass (':' becomes '?', never 'F').
TEST(ChequeAnswers, M4400) {
    struct Case {
        uint8_t options;
        std::string answer;
        int result;
        int32_t status, errorSource;
        std::string line;
    };
    const Case cases[] = {
        {0x10, "935=0012345=000123456789?987654321012;", 0, 0x4000, 0, kHostLine},
        {0x10, "905:;<=>?", 0, 0x4000, 0, "?BCDE"},
        {0x10, "903123 45", 0, 0x4000, 0, "123"},   // n bounds the copy
        {0x10, "99912", 0, 0x4000, 0, "12"},       // n past the text (Mended)
        {0x10, "910123 456", 0, 0x4000, 0, "123"},  // the first space ends it
        {0x10, "900123", 0, 0x4000, 0, ""},
        {0x10, "1", 0, 2, 2, ""},
        {0x10, "A0", 1, 77, 255, ""},   // not after a read
        {0x20, "A0", 0, 0, 0, ""},
        {0x20, "A5", 0, 2, 0, ""},
        {0x20, "A", 0, 2, 0, ""},
        {0x20, "935123", 1, 77, 255, ""},  // a line after a print
        {0x40, "1", 0, 2, 2, ""},
        {0x40, "", 1, 77, 255, ""},
    };
    for (const Case& c : cases) {
        CardReadRecord r;
        EXPECT_EQ(Answer(kM4400, c.options, c.answer, &r), c.result) << c.answer;
        EXPECT_EQ(r.busy, c.result) << c.answer;
        EXPECT_EQ(r.answerValid, c.result == 0 ? 1 : 0) << c.answer;
        EXPECT_EQ(r.status, c.status) << c.answer;
        EXPECT_EQ(r.errorSource, c.errorSource) << c.answer;
        EXPECT_STREQ(r.eventData, c.line.c_str()) << c.answer;
        EXPECT_EQ(r.eventLength, static_cast<int32_t>(c.line.size())) << c.answer;
    }
    CardReadRecord r;
    Answer(kM4400, 0x20, "A0", &r);
    EXPECT_EQ(r.technology, CARD_TECH_CHEQUE);
    EXPECT_EQ(r.dataValid, 1);
}

// Protocol 8: a space says busy (16); the second character gives the error
// source; a read's line from offset 14, a 34-character one with its 'D'.
TEST(ChequeAnswers, Olvar) {
    struct Case {
        uint8_t options;
        std::string answer;
        int result;
        int32_t status, errorSource, answerValid;
        std::string line;
    };
    const std::string device34 = "0012345C000123456789E987654321012A";
    const Case cases[] = {
        {0x10, "x01" + std::string(11, '0') + device34, 0, 0x4000, 0, 1, kHostLine},
        {0x10, "x01" + std::string(11, '0') + "ACE", 0, 0x4000, 0, 1, "BDF"},
        {0x10, "x01", 0, 0x4000, 0, 1, ""},          // shorter than 14: empty line
        {0x10, "x00", 0, 1, 10, 1, ""},              // no line read
        {0x10, "x1", 0, 0x4000, 2, 0, ""},
        {0x10, "x7", 0, 0x4000, 10, 0, ""},
        {0x10, " ", OLVAR_BUSY, 77, 255, 0, ""},
        {0x20, "x0", 0, 0, 0, 1, ""},
        {0x40, "x1", 0, 77, 2, 0, ""},
        {0x30, "x0", 0, 2, 2, 1, ""},
    };
    for (const Case& c : cases) {
        CardReadRecord r;
        EXPECT_EQ(Answer(kOlvar, c.options, c.answer, &r), c.result) << c.answer;
        EXPECT_EQ(r.busy, c.result) << c.answer;
        EXPECT_EQ(r.status, c.status) << c.answer;
        EXPECT_EQ(r.errorSource, c.errorSource) << c.answer;
        EXPECT_EQ(r.answerValid, c.answerValid) << c.answer;
        EXPECT_STREQ(r.eventData, c.line.c_str()) << c.answer;
        EXPECT_EQ(r.eventLength, static_cast<int32_t>(c.line.size())) << c.answer;
    }
}

TEST(ChequeAnswers, OlvarLongLineStopsAtTheRecord_Mended) {
    CardReadRecord r;
    EXPECT_EQ(Answer(kOlvar, 0x10, "x01" + std::string(11, '0') + std::string(150, 'A'), &r), 0);
    EXPECT_EQ(r.eventLength, 100);
    EXPECT_EQ(std::string(r.eventData), std::string(100, 'B'));
}

// The reset entries forget the last request's kind: a line after a reset
// is not accepted by protocol 7, refused by 6, and no kind for 8.
TEST(ChequeAnswers, ResetForgetsTheKind) {
    CardReadRecord r = Cheque(0x10);
    for (const Protocol* p : {&kD5500, &kM4400, &kOlvar}) {
        r = Cheque(0x10);
        int length = 0;
        ASSERT_NE(p->build(&r, &length), nullptr);
        EXPECT_EQ(p->lastKind(), CHQ_KIND_READ);
        EXPECT_EQ(p->reset(), 0);
        EXPECT_EQ(p->lastKind(), CHQ_KIND_NONE) << p->name;
    }
    r = Cheque(0x10);
    EXPECT_EQ(M4400_DealAnswer(reinterpret_cast<const unsigned char*>("935123"), 6, &r), 1);
    EXPECT_EQ(r.busy, 1);
    EXPECT_EQ(D5500_DealAnswer(reinterpret_cast<const unsigned char*>("1401035123"), 10, &r), 0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(OLVAR_DealAnswer(reinterpret_cast<const unsigned char*>("x01"), 3, &r), 0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.errorSource, 2);
    EXPECT_EQ(D5500_DealAnswer(nullptr, 0, nullptr), 1);
}

// An answer is read as text up to its first NUL, never past its length.
TEST(ChequeAnswers, TextEndsAtNulOrLength) {
    CardReadRecord r;
    Answer(kM4400, 0x10, std::string("935123\0" "456", 10), &r);
    EXPECT_STREQ(r.eventData, "123");
    CardReadRecord request = Cheque(0x10);
    int length = 0;
    ASSERT_NE(M4400_BuildRequest(&request, &length), nullptr);
    r = Cheque(0x10);
    const std::string text = "935123456";
    EXPECT_EQ(M4400_DealAnswer(reinterpret_cast<const unsigned char*>(text.data()), 5, &r), 0);
    EXPECT_STREQ(r.eventData, "12");
}

// The entry points the engine calls: frames in, statuses out.
TEST(ChequeModules, EntryPoints) {
    auto box = std::make_unique<KT_EPERIPH_API>();
    auto resource = std::make_unique<KT_PERES>();
    KT_PERES* res = resource.get();
    struct Call {
        static int Set(const PapCommandModule& m, KT_EPERIPH_API* b, KT_PERES* r, char* buffer, ...) {
            va_list args;
            va_start(args, buffer);
            const int n = m.set(b, r, buffer, args);
            va_end(args);
            return n;
        }
        static int Get(const PapCommandModule& m, KT_EPERIPH_API* b, KT_PERES* r, const char* frame, ...) {
            va_list args;
            va_start(args, frame);
            const int n = m.get(b, r, frame, args);
            va_end(args);
            return n;
        }
    };
    static char buffer[PAP_COMMAND_BUFFER];
    CardReadRecord record = Cheque(0x10);
    res->command = static_cast<int32_t>(O_T_EVENT);
    EXPECT_EQ(Call::Set(kM4400Module, box.get(), res, buffer, &record), 8);
    EXPECT_EQ(std::string(buffer, 8), std::string("0008\0" "910", 8));
    EXPECT_EQ(Call::Set(kM4400Module, nullptr, res, buffer, &record), -2);
    EXPECT_EQ(Call::Set(kM4400Module, box.get(), res, buffer, nullptr), -1);
    res->command = 13;
    EXPECT_EQ(Call::Set(kM4400Module, box.get(), res, buffer, &record), -1);
    EXPECT_EQ(Call::Get(kM4400Module, box.get(), res, "0007\0" "10", &record), PV_CMD_UNKNOWN);
    res->command = static_cast<int32_t>(O_T_EVENT);
    EXPECT_EQ(Call::Get(kM4400Module, box.get(), res, "000a\0" "90312", &record), 0);
    EXPECT_STREQ(record.eventData, "12");
    EXPECT_EQ(Call::Get(kM4400Module, box.get(), res, "zzzz\0", &record), PV_CMD_INTERNAL);
    EXPECT_EQ(Call::Get(kM4400Module, nullptr, res, "0007\0" "10", &record), PV_CMD_INTERNAL);
}
