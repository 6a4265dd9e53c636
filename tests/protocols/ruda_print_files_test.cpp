// RUDA printing, terminal files and logs through the script engine: the
// request each operation puts in its row, and what each answer gives the
// caller (status, records, traces).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>
#include <string>

#include "protocols/term_files.h"
#include "protocols/term_print.h"
#include "support/apdu_bytes.h"
#include "support/ruda_engine_ops.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::ShortApdu;
using testsupport::Text;
using testsupport::WithSw;


class RudaPrintFiles : public ::testing::Test {
protected:
    testsupport::RudaEngineOps e;
    testsupport::TraceCapture trace;
};

TEST_F(RudaPrintFiles, PrintRequests) {
    const std::string text255(255, 'x');
    const TermPrintRecord cut{PRINT_KIND_CUT, 0, nullptr, 0, 0};
    const TermPrintRecord two{PRINT_KIND_TEXT, 2, reinterpret_cast<const unsigned char*>("AB"), 0, 0};
    const TermPrintRecord full{PRINT_KIND_TEXT, 255, reinterpret_cast<const unsigned char*>(text255.data()), 0, 0};
    const TermPrintRecord logo{PRINT_KIND_IMAGE, 0, reinterpret_cast<const unsigned char*>("LOGO.BMP"), 0, 0};
    struct Case {
        const char* name;
        int operation;
        const TermPrintRecord* record;
        Bytes request;
    } cases[] = {
        {"cut: two line feeds", 13, &cut, Hex("D2 A1 00 00 02 0A 0A 00")},
        {"text", 13, &two, Hex("D2 A1 00 00 02 41 42 00")},
        {"255 bytes, the most one request carries", 13, &full,
         Concat({Hex("D2 A1 00 00 FF"), Bytes(255, 'x'), Hex("00")})},
        {"logo by its name", 16, &logo, ShortApdu("D2 A2 00 00", Element(0xE0, Element(0xDFA301, Text("LOGO.BMP"))))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(e.set(c.operation, c.record), 0) << c.name;
        EXPECT_EQ(e.sent, c.request) << c.name;
    }
    EXPECT_EQ(e.set(13, static_cast<const TermPrintRecord*>(nullptr)), 0);
    EXPECT_TRUE(e.sent.empty());
    EXPECT_TRUE(trace.Contains("** INFO. ** RUDA_SetCommandPrint() : Mise en place de la commande"));
}

TEST_F(RudaPrintFiles, PrintTextOverOneRequestRefused_Mended) {
    // One length byte cannot say 300: the text is refused, never sent with
    // a length of 300 modulo 256.
    const std::string text(300, 'y');
    const TermPrintRecord record{PRINT_KIND_TEXT, 300, reinterpret_cast<const unsigned char*>(text.data()), 0, 0};
    EXPECT_EQ(e.set(13, &record), 1);
    EXPECT_TRUE(e.sent.empty());
    EXPECT_TRUE(trace.Contains("RUDA_SetCommandPrint() : texte de 300 octets"));
}

TEST_F(RudaPrintFiles, RequestsWithoutArgumentsAndFileRequests) {
    const uint8_t p1 = 4;
    const TermFileRecord file{"www/a.html", nullptr};
    const TermFileRecord fileP1{"F.BIN", &p1};
    const uint8_t three[] = {0xAA, 0xBB, 0xCC};
    const TermWriteRecord write{0x012345, 3, three};
    const uint32_t size = 0x1234;
    const TermStreamRecord stream{1, "A", &size};
    const TermStreamRecord streamOther{2, "A", &size};
    const uint8_t raw[] = {0x01, 0x02};
    const uint8_t selector = 2;
    const uint32_t fileSize = 0x100, offset = 0x20;
    struct Case {
        const char* name;
        std::function<int()> set;
        Bytes request;
    } cases[] = {
        {"printer status", [&] { return e.set(15); }, Hex("D2 A4 00 00")},
        {"bitmap", [&] { return e.set(120); },
         ShortApdu("D2 A2 00 00", Element(0xE0, Element(0xDFA301, Text("TICKETS.BMP"))))},
        {"disconnect", [&] { return e.set(151); }, Hex("D0 03 00 00")},
        {"select without P1", [&] { return e.set(153, &file); }, ShortApdu("DF A4 05 00", Text("www/a.html"))},
        {"select with P1", [&] { return e.set(153, &fileP1); }, ShortApdu("DF A4 04 00", Text("F.BIN"))},
        {"update binary", [&] { return e.set(154, &write); }, Hex("00 D6 81 23 04 45 AA BB CC")},
        {"file command with a second text", [&] { return e.set(155, &fileP1, "v2"); },
         ShortApdu("00 AA 02 00", Text("v2|F.BIN"))},
        {"file command with an empty second text", [&] { return e.set(155, &fileP1, ""); },
         ShortApdu("00 AA 03 00", Text("F.BIN"))},
        {"file command AB", [&] { return e.set(156, &fileP1); }, ShortApdu("00 AB 00 00", Text("F.BIN"))},
        {"stream upload, selector 1", [&] { return e.set(157, &stream); },
         ShortApdu("00 A5 04 00", Element(0x6F, Concat({Element(0x84, Text("A")), Element(0x80, Hex("00 00 12 34"))})))},
        {"stream upload, other selector", [&] { return e.set(157, &streamOther); },
         ShortApdu("00 A5 05 00", Element(0x6F, Concat({Element(0x84, Text("A")), Element(0x80, Hex("00 00 12 34"))})))},
        {"stream data: raw", [&] { return e.set(158, raw, 2); }, Hex("00 FF 01 02")},
        {"dump logs", [&] { return e.set(193, &selector); }, Hex("D0 05 01 02")},
        {"fast reading", [&] { return e.set(194, &fileSize, &offset); },
         ShortApdu("00 B1 00 00", Element(0xE0, Concat({Element(0xDFDE7C, Hex("00 00 01 00")),
                                                    Element(0xDFDE7D, Hex("00 00 00 20"))})))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.set(), 0) << c.name;
        EXPECT_EQ(e.sent, c.request) << c.name;
    }
}

TEST_F(RudaPrintFiles, LongRequestsAndRequestsNotBuilt) {
    // 255 data bytes and the offset's low byte: 256, the extended form.
    const Bytes data(255, 0x5A);
    const TermWriteRecord write{0x000102, 255, data.data()};
    ASSERT_EQ(e.set(154, &write), 0);
    EXPECT_EQ(e.sent, Concat({Hex("00 D6 80 01 00 01 00 02"), data}));

    const TermStreamRecord noSize{1, "A", nullptr};
    const uint32_t size = 1;
    EXPECT_EQ(e.set(157, &noSize), 0);
    EXPECT_EQ(e.set(194, &size, static_cast<const uint32_t*>(nullptr)), 0);
    EXPECT_TRUE(trace.Contains("RUDA_SetCommandFastReading() : taille du fichier ou offset non recupere"));
    EXPECT_EQ(e.set(158, static_cast<const uint8_t*>(nullptr), 0), 0);
    EXPECT_EQ(e.set(193, static_cast<const uint8_t*>(nullptr)), 0);
    EXPECT_EQ(e.set(153, static_cast<const TermFileRecord*>(nullptr)), 0);
    EXPECT_TRUE(e.sent.empty());
}

TEST_F(RudaPrintFiles, FileCommandOver255BytesGoesInTheExtendedForm_Mended) {
    // Up to 511 bytes of "second|name" are allowed: one length byte cannot
    // carry them, the extended form does.
    const std::string second(505, 's');
    const TermFileRecord name{"F.BIN", nullptr};
    ASSERT_EQ(e.set(155, &name, second.c_str()), 0);
    EXPECT_EQ(e.sent, Concat({Hex("00 AA 02 00 00 01 FF"), Text(second + "|F.BIN")}));
    // With its NUL over 512 bytes: nothing sent.
    const std::string longer(506, 's');
    EXPECT_EQ(e.set(155, &name, longer.c_str()), 0);
    EXPECT_TRUE(e.sent.empty());
}

TEST_F(RudaPrintFiles, PrintAnswers) {
    const TermPrintRecord cut{PRINT_KIND_CUT, 0, nullptr, 0, 0};
    const TermPrintRecord logo{PRINT_KIND_IMAGE, 0, reinterpret_cast<const unsigned char*>("LOGO.BMP"), 0, 0};
    struct Case {
        const char* name;
        int operation;
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {"printed", 13, Hex("90 00"), 0, "** INFO. ** Impression correctement realisee"},
        {"paper out", 13, Hex("8C 6F 00"), 1, "-- ERROR -- Impression echouee (plus de papier...)"},
        {"no printer, whatever the status word", 13, Hex("02 6F 00"), 0,
         "** INFO. ** Mecanisme non reconnu (on n'a pas d'imprimante)"},
        {"unknown", 16, Hex("05 6F 00"), 1, "-- ERROR -- Impression echouee pour une raison inconnue 5"},
        {"bitmap printed", 120, Hex("90 00"), 0, "** INFO. ** Impression correctement realisee"},
        {"printer ready", 15, WithSw(Element(0xE0, Element(0xDF31, Hex("00"))), 0x9000), 0,
         "** INFO. ** Impression correctement realisee"},
        {"printing in progress", 15, WithSw(Element(0xE0, Element(0xDF31, Hex("01"))), 0x9000), 0,
         "** INFO. ** Printing in progress"},
        {"paper end", 15, WithSw(Element(0xE0, Element(0xDF31, Hex("04"))), 0x9000), 1,
         "-- ERROR -- Print : Paper end"},
        {"no printer state", 15, WithSw(Element(0xE0, Element(0xDF32, Hex("00"))), 0x9000), 2, nullptr},
    };
    for (const Case& c : cases) {
        testsupport::TraceCapture lines;
        const int set = c.operation == 13   ? e.set(c.operation, &cut)
                        : c.operation == 16 ? e.set(c.operation, &logo)
                                            : e.set(c.operation);
        ASSERT_EQ(set, 0) << c.name;
        EXPECT_EQ(e.answer(c.operation, c.answer, 0), c.status) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(lines.Contains(c.line)) << c.name;
        }
    }
}

TEST_F(RudaPrintFiles, FileAnswers) {
    const TermFileRecord file{"F.BIN", nullptr};
    const Bytes found = WithSw(Element(0x6F, Element(0x80, Hex("00 00 12 34"))), 0x9000);
    int32_t size = -7;
    ASSERT_EQ(e.set(153, &file), 0);
    EXPECT_EQ(e.answer(153, found, &size), 0);
    EXPECT_EQ(size, 0x1234);
    struct Case {
        const char* name;
        Bytes answer;
        int status;
        int32_t size;
    } cases[] = {
        {"missing file", Hex("9F 13"), 1, -7},
        {"size too long to read", WithSw(Element(0x6F, Element(0x80, Hex("01 00 00 12 34"))), 0x9000), 1, -7},
        {"no template", Hex("90 00"), 0, -7},
    };
    for (const Case& c : cases) {
        size = -7;
        ASSERT_EQ(e.set(153, &file), 0);
        EXPECT_EQ(e.answer(153, c.answer, &size), c.status) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
    }
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse Select file : SW1-SW2 : 9F13"));
    ASSERT_EQ(e.set(153, &file), 0);
    EXPECT_EQ(e.answer(153, found, static_cast<int32_t*>(nullptr)), 0);

    const uint8_t one[] = {1};
    const TermWriteRecord write{0, 1, one};
    ASSERT_EQ(e.set(154, &write), 0);
    EXPECT_EQ(e.answer(154, Hex("90 00")), 0);
    ASSERT_EQ(e.set(154, &write), 0);
    EXPECT_EQ(e.answer(154, Hex("6A 82")), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse update binary : SW1-SW2 : 6A82"));
    ASSERT_EQ(e.set(156, &file), 0);
    EXPECT_EQ(e.answer(156, Hex("6A 82")), 1);

    const uint32_t streamSize = 5;
    const TermStreamRecord stream{1, "A", &streamSize};
    for (const auto& [sw, status] : {std::pair{0x9000, 0}, {0x6D00, 16}, {0x9F13, 0}, {0x6A80, 1}}) {
        ASSERT_EQ(e.set(157, &stream), 0);
        EXPECT_EQ(e.answer(157, WithSw({}, static_cast<uint16_t>(sw))), status) << std::hex << sw;
    }
    EXPECT_TRUE(trace.Contains("@@ DEBUG @@ 9F13 on continue"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse StreamUpload : SW1-SW2 : 6A80"));
}

TEST_F(RudaPrintFiles, StreamDataAndLogAnswers) {
    const uint8_t raw[] = {0x01};
    uint32_t first = 9;
    uint8_t second[8];
    std::memset(second, 0xEE, sizeof second);
    ASSERT_EQ(e.set(158, raw, 1), 0);
    EXPECT_EQ(e.answer(158,
                       WithSw(Element(0x6F, Concat({Element(0x80, Hex("01 00")), Element(0x88, Hex("0102030405"))})),
                              0x9F13),
                       &first, second),
              0);
    EXPECT_EQ(first, 0x100u);
    EXPECT_EQ(Bytes(second, second + 8), Hex("01 02 03 04 05 00 00 00"));
    ASSERT_EQ(e.set(158, raw, 1), 0);
    EXPECT_EQ(e.answer(158, WithSw(Element(0x6F, Element(0x88, Bytes(9, 1))), 0x9000), &first, second), 1);
    ASSERT_EQ(e.set(158, raw, 1), 0);
    EXPECT_EQ(e.answer(158, Hex("6F 00"), &first, second), 1);

    const uint8_t selector = 1;
    uint32_t size = 0;
    char name[kTermDumpNameMax + 1];
    const Bytes dump = WithSw(Element(0x6F, Concat({Element(0x80, Hex("00 00 10 00")), Element(0x84, Text("log.txt"))})),
                              0x9000);
    ASSERT_EQ(e.set(193, &selector), 0);
    EXPECT_EQ(e.answer(193, dump, &size, name), 0);
    EXPECT_EQ(size, 0x1000u);
    EXPECT_STREQ(name, "log.txt");
    struct Case {
        const char* name;
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {"refused", Hex("6A 82"), 1, "-- ERROR -- Reponse Dump Logs : SW1-SW2 : 6A82"},
        {"no template", Hex("90 00"), 1, nullptr},
        {"no size", WithSw(Element(0x6F, Element(0x84, Text("log.txt"))), 0x9000), 32,
         "-- ERROR -- Reponse Dump Logs : Erreur Extraction longueur du fichier"},
        {"no name", WithSw(Element(0x6F, Element(0x80, Hex("10"))), 0x9000), 1,
         "-- ERROR -- Reponse Dump Logs : Erreur Extraction nom du fichier"},
        {"name over 400", WithSw(Element(0x6F, Concat({Element(0x80, Hex("10")), Element(0x84, Bytes(401, 'n'))})),
                                 0x9000),
         1, "-- ERROR -- Reponse Dump Logs : Erreur Extraction nom du fichier"},
    };
    for (const Case& c : cases) {
        testsupport::TraceCapture lines;
        ASSERT_EQ(e.set(193, &selector), 0);
        EXPECT_EQ(e.answer(193, c.answer, &size, name), c.status) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(lines.Contains(c.line)) << c.name;
        }
    }
    ASSERT_EQ(e.set(193, &selector), 0);
    EXPECT_EQ(e.answer(193, dump, &size, static_cast<char*>(nullptr)), 1);
}

TEST_F(RudaPrintFiles, FastReadingCopiesWithinTheBuffer_Mended) {
    const uint32_t size = 5, offset = 0;
    unsigned char buffer[16];
    int copied = -1;
    ASSERT_EQ(e.set(194, &size, &offset), 0);
    EXPECT_EQ(e.answer(194, WithSw(Text("hello"), 0x9000), buffer, static_cast<int>(sizeof buffer), &copied), 0);
    EXPECT_EQ(copied, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "hello");

    // An answer longer than the caller's buffer is not copied at all.
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(e.set(194, &size, &offset), 0);
    EXPECT_EQ(e.answer(194, WithSw(Bytes(17, 'z'), 0x9000), buffer, static_cast<int>(sizeof buffer), &copied), 1);
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(buffer[0], 0xEE);
    ASSERT_EQ(e.set(194, &size, &offset), 0);
    EXPECT_EQ(e.answer(194, Hex("6A 82"), buffer, 16, &copied), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse Fast Reading : SW1-SW2 : 6A82"));
}

}  // namespace
