// RUDA device control, keys and security through the script engine: the
// requests of the reset, file, data-object, clock, key and authentication
// operations, and what their answers give (key slots, SRED status, keys,
// authentication records), with the bounds of every copy.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "core/trace.h"
#include "protocols/ruda/ruda_device.h"
#include "protocols/term_files.h"
#include "protocols/terminal_info.h"
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

// Extended form: header, 00, two length bytes, data.
Bytes ApduExtended(const std::string& header, const Bytes& data) {
    return Concat({Hex(header), Bytes{0x00, static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())},
                   data});
}

class RudaDevice : public ::testing::Test {
protected:
    testsupport::RudaEngineOps e;
    testsupport::TraceCapture trace;
};

TEST_F(RudaDevice, Requests) {
    const TermFileRecord file{"K.BIN", nullptr};
    const TermFileRecord clock{"20261211153000", nullptr};
    const uint8_t data[] = {0x01, 0x02};
    auto auth = std::make_unique<AuthRecord>();
    std::memset(auth->sent831A, 0xA1, sizeof auth->sent831A);
    std::memset(auth->sent8313, 0x13, sizeof auth->sent8313);
    std::memset(auth->sent8312, 0x12, sizeof auth->sent8312);
    const Bytes certificate(300, 0xCE);
    auth->certificate = certificate.data();
    auth->certificateLength = static_cast<int32_t>(certificate.size());
    const Bytes first(256, 0x14), second(256, 0x15);
    struct Case {
        const char* name;
        std::function<int()> set;
        Bytes request;
    } cases[] = {
        {"reset device", [&] { return e.set(152, 0, 33); }, Hex("D0 00 00 21")},
        {"file information", [&] { return e.set(91, &file); }, ShortApdu("DF C0 00 00", Text("K.BIN"))},
        {"file name, selector 1", [&] { return e.set(92, "K.BIN", 1); }, ShortApdu("00 C3 00 00", Text("K.BIN"))},
        {"file name, other selector", [&] { return e.set(92, "K.BIN", 0); }, ShortApdu("00 C4 00 00", Text("K.BIN"))},
        {"put data", [&] { return e.set(172, 0x9F1A, data, 2); }, Hex("00 DA 9F 1A 02 01 02")},
        {"get data", [&] { return e.set(173, 0xDF10); }, Hex("00 CA DF 10")},
        {"D0 62", [&] { return e.set(174); }, Hex("D0 62 00 00")},
        {"clock", [&] { return e.set(176, &clock); }, ShortApdu("DD 10 00 00", Text("20261211153000"))},
        {"security configuration", [&] { return e.set(96, "ABCDE"); }, Hex("C4 11 41 45")},
        {"key slots", [&] { return e.set(97, "ABCDE"); }, Hex("C4 11 00 41")},
        {"SRED status", [&] { return e.set(190); }, Hex("DD 20 07 00")},
        {"RSA key", [&] { return e.set(191, 0x0800); }, ShortApdu("DD 23 00 00", Element(0xE0, Element(0xDF831C, Hex("08 00"))))},
        {"authenticate without the certificate", [&] { return e.set(192, 0, auth.get(), 3); },
         ShortApdu("DD 21 03 00", Element(0xE0, Concat({Element(0xDF831A, Bytes(10, 0xA1)),
                                                   Element(0xDF8313, Bytes(8, 0x13))})))},
        {"authenticate with the certificate", [&] { return e.set(192, 1, auth.get(), 1); },
         ApduExtended("DD 21 01 00",
                      Element(0xE0, Concat({Element(0xDF831A, Bytes(10, 0xA1)), Element(0xDF8313, Bytes(8, 0x13)),
                                            Element(0xDF8312, Bytes(7, 0x12)), Element(0xDF8311, certificate)})))},
        {"authenticate verify", [&] { return e.set(196, 2, first.data(), second.data()); },
         ApduExtended("DD 22 02 00", Element(0xE0, Concat({Element(0xDF8314, first), Element(0xDF8315, second)})))},
        {"key exchange check", [&] { return e.set(197); }, Hex("DD 10 01 00")},
        {"security command", [&] { return e.set(186, "0aFF", "text"); },
         ShortApdu("C4 22 00 00", Element(0xE0, Concat({Element(0xDFEC23, Hex("0A FF")), Element(0xDFEC0E, Text("text"))})))},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.set(), 0) << c.name;
        EXPECT_EQ(e.sent, c.request) << c.name;
    }
}

TEST_F(RudaDevice, SecurityCommandRefusesTextsThatAreNotHexadecimalPairs_Mended) {
    // An odd count or a letter out of the digits was turned into bytes
    // nobody asked for: the request is refused.
    for (const char* hex : {"7F3", "7G", "0 1"}) {
        EXPECT_EQ(e.set(186, hex, "t"), 1) << hex;
        EXPECT_TRUE(e.sent.empty()) << hex;
    }
    EXPECT_TRUE(trace.Contains("donnees hexadecimales incorrectes (3 caracteres)"));
    EXPECT_EQ(e.set(186, "", "t"), 0);
    EXPECT_FALSE(e.sent.empty());
}

TEST_F(RudaDevice, ResetSerialNumberCopiedOverTheBuffersText) {
    struct Case {
        const char* buffer;
        const char* serial;
        const char* kept;
    } cases[] = {
        {"000000000000", "1234", "1234"},
        {"000000000000", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKL"},
        {"0000", "ABCDEFGH", "ABCD"},
    };
    for (const Case& c : cases) {
        char buffer[32];
        std::strcpy(buffer, c.buffer);
        ASSERT_EQ(e.set(152, 0, 0), 0);
        EXPECT_EQ(e.answer(152, WithSw(Element(0xE0, Element(0x9F1E, Text(c.serial))), 0x9000), buffer), 0);
        EXPECT_STREQ(buffer, c.kept) << c.serial;
    }
}

TEST_F(RudaDevice, FileAnswers) {
    const TermFileRecord file{"K.BIN", nullptr};
    uint32_t size = 7;
    uint8_t second[8];
    int32_t found = 7;
    ASSERT_EQ(e.set(91, &file), 0);
    EXPECT_EQ(e.answer(91, WithSw(Element(0x6F, Concat({Element(0x80, Hex("00 01 00")), Element(0x88, Hex("0102"))})),
                                  0x9000),
                       &size, second, &found),
              0);
    EXPECT_EQ(size, 0x100u);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(Bytes(second, second + 8), Hex("01 02 00 00 00 00 00 00"));
    struct Case {
        const char* name;
        Bytes answer;
        int status;
        int32_t found;
    } cases[] = {
        {"missing file", Hex("9F 13"), 0, 0},
        {"refused", Hex("6A 82"), 1, 0},
        {"second value over 8 bytes", WithSw(Element(0x6F, Element(0x88, Bytes(9, 1))), 0x9000), 1, 1},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(e.set(91, &file), 0);
        EXPECT_EQ(e.answer(91, c.answer, &size, second, &found), c.status) << c.name;
        EXPECT_EQ(found, c.found) << c.name;
    }

    char name[256];
    std::memset(name, 'x', sizeof name);
    ASSERT_EQ(e.set(92, "K.BIN", 1), 0);
    EXPECT_EQ(e.answer(92, WithSw(Element(0x6F, Element(0x84, Text("keys/K.BIN"))), 0x9000), name), 0);
    EXPECT_STREQ(name, "keys/K.BIN");
    ASSERT_EQ(e.set(92, "K.BIN", 1), 0);
    EXPECT_EQ(e.answer(92, WithSw(Element(0x6F, Element(0x84, Hex("00 41"))), 0x9000), name), 1);
    ASSERT_EQ(e.set(92, "K.BIN", 1), 0);
    EXPECT_EQ(e.answer(92, Hex("9F 13"), name), 0);
    ASSERT_EQ(e.set(92, "K.BIN", 1), 0);
    EXPECT_EQ(e.answer(92, Hex("6A 82"), name), 1);
}

TEST_F(RudaDevice, DataObjectAndClockAnswers) {
    unsigned char buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    int32_t size = sizeof buffer;
    // Ten bytes do not fit eight: the message, nothing copied, 0.
    ASSERT_EQ(e.set(173, 0xDF10), 0);
    EXPECT_EQ(e.answer(173, WithSw(Bytes(10, 'd'), 0x9000), buffer, &size), 0);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(size, 8);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Longueur des donnees plus grande que le buffer de reception 8 < 10"));
    ASSERT_EQ(e.set(173, 0xDF10), 0);
    EXPECT_EQ(e.answer(173, WithSw(Text("abc"), 0x9000), buffer, &size), 0);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    struct Case {
        int operation;
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {173, Hex("6A 88"), 1, "-- ERROR -- Reponse Get Data : SW1-SW2 : 6A88"},
        {172, Hex("90 00"), 0, nullptr},
        {172, Hex("6A 80"), 1, "-- ERROR -- Reponse Put Data : SW1-SW2 : 6A80"},
        {176, Hex("90 00"), 0, nullptr},
        {176, Hex("6A 80"), 1, "-- ERROR -- Reponse SetDateTime file : SW1-SW2 : 6A80"},
        {174, Hex("6A 80"), 0, nullptr},
    };
    const TermFileRecord clock{"20261211", nullptr};
    const uint8_t data[] = {1};
    for (const Case& c : cases) {
        const int set = c.operation == 173   ? e.set(173, 0xDF10)
                        : c.operation == 172 ? e.set(172, 0x9F1A, data, 1)
                        : c.operation == 176 ? e.set(176, &clock)
                                             : e.set(174);
        ASSERT_EQ(set, 0);
        EXPECT_EQ(e.answer(c.operation, c.answer, buffer, &size), c.status) << c.operation;
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.line;
        }
    }
}

TEST_F(RudaDevice, SecurityConfiguration) {
    uint8_t record[3] = {9, 9, 9};
    ASSERT_EQ(e.set(96, "ABCDE"), 0);
    EXPECT_EQ(e.answer(96, WithSw(Element(0xE0, Element(0xDF837E, Hex("01 02 03"))), 0x9000), record), 0);
    EXPECT_EQ(Bytes(record, record + 3), Hex("01 02 03"));
    ASSERT_EQ(e.set(96, "ABCDE"), 0);
    EXPECT_EQ(e.answer(96, WithSw(Element(0xE0, Element(0xDF837E, Hex("01 02"))), 0x9000), record), 0);
    EXPECT_EQ(Bytes(record, record + 3), Hex("00 00 00"));
    ASSERT_EQ(e.set(96, "ABCDE"), 0);
    EXPECT_EQ(e.answer(96, WithSw(Element(0xE1, Hex("00")), 0x9000), record), 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** RUDA_DealSecurityConfigAnswer Missing tag E0"));
}

Bytes KeyAnswer(const Bytes& elements) { return WithSw(Element(0xE0, elements), 0x9000); }

TEST_F(RudaDevice, KeySlots) {
    WSysSetLoggerLevel("keys", WLOG_INFO);
    const Bytes ksn3 = Hex("FF FF 98 76 54 32 10 E0 00 01");
    const Bytes ksn5 = Hex("FF FF 98 76 54 32 10 E0 00 05");
    KeySlot first{};
    int32_t count = -1;
    int32_t flag = 0;
    ASSERT_EQ(e.set(97, "A"), 0);
    EXPECT_EQ(e.answer(97,
                       KeyAnswer(Concat({Element(0xDFEC46, Hex("03")), Element(0xDFDF11, ksn3),
                                         Element(0xDFDF11, ksn3), Element(0xDFEC46, Hex("05")),
                                         Element(0xDFDF11, ksn5)})),
                       &first, &count, &flag),
              0);
    // A key serial number given twice counts once.
    EXPECT_EQ(count, 2);
    EXPECT_EQ(first.slot, 3);
    EXPECT_EQ(Bytes(first.ksn, first.ksn + 10), ksn3);
    ASSERT_NE(first.next, nullptr);
    EXPECT_EQ(first.next->slot, 5);
    EXPECT_TRUE(trace.Contains("ADE key found in slot 3 KSN [ffff9876543210e00001]"));
    WSysSetLoggerLevel("keys", WLOG_WARN);

    struct Case {
        const char* name;
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {"a KSN before any slot", KeyAnswer(Element(0xDFDF11, ksn3)), 1,
         "Got a KSN but no associated slot index !"},
        {"slot 10", KeyAnswer(Element(0xDFEC46, Hex("0A"))), 1, "Invalid ADE key index 10"},
        {"slot of two bytes", KeyAnswer(Element(0xDFEC46, Hex("00 03"))), 1,
         "tag dfec46 : wrong data length 2 (should be 1)"},
        {"short KSN", KeyAnswer(Concat({Element(0xDFEC46, Hex("03")), Element(0xDFDF11, Hex("01 02"))})), 1,
         "tag dfdf11 : wrong data length 2 (should be 10)"},
        {"a slot before the previous is filled",
         KeyAnswer(Concat({Element(0xDFEC46, Hex("03")), Element(0xDFEC46, Hex("04"))})), 1,
         "got a key index / slot number while previous one is not filled yet !"},
        {"no template", Hex("90 00"), 0, nullptr},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(e.set(97, "A"), 0);
        EXPECT_EQ(e.answer(97, c.answer, &first, &count, &flag), c.status) << c.name;
        // A failure frees the chain and leaves nothing.
        EXPECT_EQ(count, 0) << c.name;
        EXPECT_EQ(first.slot, 255) << c.name;
        EXPECT_EQ(first.next, nullptr) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.name;
        }
    }
    // The status flag: set by a refusal, except 9F27.
    flag = 0;
    ASSERT_EQ(e.set(97, "A"), 0);
    EXPECT_EQ(e.answer(97, Hex("9F 27"), &first, &count, &flag), 1);
    EXPECT_EQ(flag, 0);
    ASSERT_EQ(e.set(97, "A"), 0);
    EXPECT_EQ(e.answer(97, Hex("6A 82"), &first, &count, &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealGetADEkeysAnswer - Status 0x6a82"));
    ASSERT_EQ(e.set(97, "A"), 0);
    EXPECT_EQ(e.answer(97, Hex("90 00"), static_cast<KeySlot*>(nullptr), &count, &flag), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealSecurityConfigAnswer - nul argument"));
    KeySlotList_Free(&first);
}

TEST_F(RudaDevice, SredStatus) {
    WSysSetLoggerLevel("ruda", WLOG_DEBUG);
    SredStatus status{};
    const Bytes hash(32, 0x48);
    ASSERT_EQ(e.set(190), 0);
    EXPECT_EQ(e.answer(190,
                       WithSw(Element(0xE0, Concat({Element(0xDFDB08, Hex("00 00 00 01")),
                                                    Element(0xDFDB0E, Hex("00 00 00 02")), Element(0xDFDB09, hash),
                                                    Element(0xDF01, Hex("00"))})),
                              0x9000),
                       &status),
              0);
    EXPECT_EQ(status.state, '1');
    EXPECT_EQ(status.whiteListStatus, 1);
    EXPECT_EQ(status.sredStatus, 2);
    EXPECT_EQ(Bytes(status.whiteListHash, status.whiteListHash + 32), hash);
    EXPECT_TRUE(trace.Contains("<< WARN. >> RUDA_DealGetSredStatusAnswer - Unknown tag 0xdf01"));
    struct Case {
        const char* name;
        Bytes answer;
        int status;
        int state;
        const char* line;
    } cases[] = {
        {"no template: dumped", WithSw(Element(0xE1, Hex("01")), 0x9000), 1, '1', "Resp sred status [e1010190"},
        {"wrong hash length", WithSw(Element(0xE0, Element(0xDFDB09, Hex("01"))), 0x9000), 0, '1',
         "dfdb09 (white list hash) is 1 bytes long (should be 32)"},
        {"tampered", Hex("9F 50"), 1, '2', "** INFO. ** terminal : SRED tampered status 9f50 ; raw data length = 0"},
        {"refused with a message", WithSw(Element(0xC4, Text("locked")), 0x6F00), 1, '3',
         "** INFO. ** SRED status request : RUDA message = <locked>"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(e.set(190), 0);
        EXPECT_EQ(e.answer(190, c.answer, &status), c.status) << c.name;
        EXPECT_EQ(status.state, c.state) << c.name;
        EXPECT_TRUE(trace.Contains(c.line)) << c.name;
    }
    EXPECT_TRUE(trace.Contains("RUDA_DealGetSredStatusAnswer - Status 0x6f00 ; raw data length = 8"));
    WSysSetLoggerLevel("ruda", WLOG_WARN);
}

TEST_F(RudaDevice, RsaKeyWithinTheCallersBuffer_Mended) {
    unsigned char buffer[16];
    int32_t length = -1;
    ASSERT_EQ(e.set(191, 0x800), 0);
    EXPECT_EQ(e.answer(191, WithSw(Element(0xE0, Element(0xDF831B, Bytes(16, 0x4B))), 0x9000), buffer,
                       static_cast<int>(sizeof buffer), &length),
              0);
    EXPECT_EQ(length, 16);
    // One byte more than the buffer: not read, never copied past it.
    length = -1;
    ASSERT_EQ(e.set(191, 0x800), 0);
    EXPECT_EQ(e.answer(191, WithSw(Element(0xE0, Element(0xDF831B, Bytes(17, 0x4B))), 0x9000), buffer,
                       static_cast<int>(sizeof buffer), &length),
              1);
    EXPECT_EQ(length, -1);
    ASSERT_EQ(e.set(191, 0x800), 0);
    EXPECT_EQ(e.answer(191, Hex("6A 80"), buffer, 16, &length), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse GenerateRSAkey : SW1-SW2 : 6A80"));
    ASSERT_EQ(e.set(191, 0x800), 0);
    EXPECT_EQ(e.answer(191, WithSw(Element(0xE1, Hex("00")), 0x9000), buffer, 16, &length), 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** RUDA_DealRUDA_GenerateRSAkey_Answer Missing tag E0"));
}

TEST_F(RudaDevice, Authentication) {
    auto record = std::make_unique<AuthRecord>();
    uint8_t block[kAuthBlock];
    int32_t length = 0;
    AuthAnswer full{1, block, &length, record.get()};
    const Bytes all = WithSw(Element(0xE0, Concat({Element(0xDF8311, Bytes(300, 0x11)), Element(0xDF831D, Bytes(8, 0x1D)),
                                                   Element(0xDF8315, Bytes(256, 0x15)),
                                                   Element(0xDF8314, Bytes(100, 0x14))})),
                             0x9000);
    ASSERT_EQ(e.set(192, 0, record.get(), 0), 0);
    EXPECT_EQ(e.answer(192, all, &full), 0);
    EXPECT_EQ(length, 100);
    EXPECT_EQ(record->received8311[299], 0x11);
    EXPECT_EQ(record->received831D[7], 0x1D);
    EXPECT_EQ(record->received8315[255], 0x15);
    // With the mode flag every element is needed; without it, DF8314 only.
    const Bytes only = WithSw(Element(0xE0, Element(0xDF8314, Bytes(4, 0x14))), 0x9000);
    ASSERT_EQ(e.set(192, 0, record.get(), 0), 0);
    EXPECT_EQ(e.answer(192, only, &full), 1);
    AuthAnswer plain{0, block, &length, record.get()};
    ASSERT_EQ(e.set(192, 0, record.get(), 0), 0);
    EXPECT_EQ(e.answer(192, only, &plain), 0);
    EXPECT_EQ(length, 4);
    const Bytes longBlock = WithSw(Element(0xE0, Element(0xDF8314, Bytes(257, 0x14))), 0x9000);
    ASSERT_EQ(e.set(192, 0, record.get(), 0), 0);
    EXPECT_EQ(e.answer(192, longBlock, &plain), 1);
    for (const auto& [answer, status] : {std::pair{Hex("6D 00"), 2}, {Hex("6A 80"), 1}}) {
        ASSERT_EQ(e.set(192, 0, record.get(), 0), 0);
        EXPECT_EQ(e.answer(192, answer, &plain), status);
    }

    const Bytes a(256, 1), b(256, 2);
    struct Case {
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {Hex("90 00"), 0, nullptr},
        {Hex("6D 00"), 2, "-- ERROR -- Reponse AuthenticateVerify : SW1-SW2 : 6D00"},
        {Hex("6A 80"), 1, "-- ERROR -- Reponse AuthenticateVerify : SW1-SW2 : 6A80"},
        {Hex("01 90 00"), 1, "-- ERROR -- Reponse AuthenticateVerify : reponse mal formatee (possible desynchro)"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(e.set(196, 0, a.data(), b.data()), 0);
        EXPECT_EQ(e.answer(196, c.answer), c.status);
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.line;
        }
    }
}

TEST_F(RudaDevice, KeyExchangeCheck) {
    struct Case {
        uint16_t sw;
        int32_t flag;
    } cases[] = {{0x9F54, 1}, {0x9F55, 1}, {0x9F51, 1}, {0x9F53, 1}, {0x9000, 0}, {0x6A80, 0}};
    for (const Case& c : cases) {
        int32_t flag = 0;
        ASSERT_EQ(e.set(197), 0);
        EXPECT_EQ(e.answer(197, WithSw({}, c.sw), &flag), 0) << std::hex << c.sw;
        EXPECT_EQ(flag, c.flag) << std::hex << c.sw;
    }
    EXPECT_TRUE(trace.Contains("** INFO. ** RUDA_DealCheckEncryption : Echange de cle requis"));
}

TEST_F(RudaDevice, SecurityCommandAnswer) {
    char buffer[8];
    int32_t length = -1;
    struct Case {
        const char* name;
        Bytes answer;
        int capacity;
        int status;
        int32_t length;
        const char* text;
    } cases[] = {
        {"text", WithSw(Element(0xDFEC7B, Text("abc")), 0x9000), 8, 0, 3, "abc"},
        {"the empty marker", WithSw(Element(0xDFEC7B, Hex("7F 32 98")), 0x9000), 8, 0, 0, ""},
        {"no room for the terminator", WithSw(Element(0xDFEC7B, Text("abcdefgh")), 0x9000), 8, 1, -1, nullptr},
        {"absent", Hex("90 00"), 8, 1, -1, nullptr},
        {"refused", Hex("6A 80"), 8, 1, -1, nullptr},
    };
    for (const Case& c : cases) {
        length = -1;
        ASSERT_EQ(e.set(186, "01", "t"), 0);
        EXPECT_EQ(e.answer(186, c.answer, buffer, &length, c.capacity), c.status) << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        if (c.text != nullptr) {
            EXPECT_STREQ(buffer, c.text) << c.name;
        }
    }
}

}  // namespace
