// RUDA terminal information through the script engine: the model table, the
// version CRC (checked against Python's binascii), system information (90)
// of QX, QT and two-unit terminals and their contactless reader, the
// identification into the transaction's information area (93), the file
// versions (94) and the full description (95) with its chains.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/trace.h"
#include "protocols/ruda/ruda_terminal_info.h"
#include "protocols/terminal_info.h"
#include "support/apdu_bytes.h"
#include "support/base64_command.h"
#include "support/ruda_engine_ops.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::Text;
using testsupport::WithSw;

std::string Package(const TerminalPartInfo& p, int column, int entry) { return p.packageTables[column][entry]; }
std::string OsCode(const TerminalPartInfo& p) { return std::string(reinterpret_cast<const char*>(&p.osEntry[1]), 4); }

// The CRC of Python's binascii (CRC-CCITT from an initial value), an
// implementation apart from ours.
std::string PythonCrc(const std::string& text) {
    const std::string command =
        "python3 -c 'import binascii,sys; print(\"%04X\" % binascii.crc_hqx(sys.argv[1].encode(), 0x1D0F))' '" +
        text + "'";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[64];
        while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

class RudaTerminalInfo : public ::testing::Test {
protected:
    void SetUp() override {
        part = std::make_unique<TerminalPartInfo>();
        info = std::make_unique<TerminalInfoArea>();
    }
    // Operation 90 of a part in `mode`, answered with `answer`.
    int Info90(const Bytes& answer, int mode = 0) {
        part->mode = mode;
        if (e.set(90, part.get()) != 0 || e.sent.empty()) return testsupport::RudaEngineOps::kNoRow;
        return e.answer(90, answer, part.get());
    }
    int Info93(const Bytes& answer, int mode = 0) {
        info->mode = mode;
        if (e.set(93, info.get()) != 0 || e.sent.empty()) return testsupport::RudaEngineOps::kNoRow;
        return e.answer(93, answer, info.get());
    }
    testsupport::RudaEngineOps e;
    testsupport::TraceCapture trace;
    std::unique_ptr<TerminalPartInfo> part;
    std::unique_ptr<TerminalInfoArea> info;
};

TEST_F(RudaTerminalInfo, ModelTable) {
    struct Case {
        const char* name;
        const char* family;
        int result;
        int number;
    } cases[] = {
        {"TQ202", "QT", 1, 200},     {"TQ202", "QX", 1, 600},      {"TQ202AMBO", "QT", 1, 210},
        {"tq202ambo", "QX", 1, 610}, {"Y900H", "QX", 1, 700},      {"Y645-9999", "QX", 1, 740},
        {"Y645-9999", "QT", 1, 740}, {"TQ20", "QT", -1, 0},        {"LR530", "QT", -1, 0},
        {"Y645", "QX", -1, 0},       {"TQ202X", "QT", -1, 0},      {"Y300", "QX", 1, 790},
    };
    for (const Case& c : cases) {
        int number = 0;
        EXPECT_EQ(RUDA_GetModelNumber(c.name, static_cast<int>(std::strlen(c.name)), c.family, &number), c.result)
            << c.name << " " << c.family;
        EXPECT_EQ(number, c.number) << c.name << " " << c.family;
    }
    int number = 0;
    // The given length bounds the name: "TQ202AMBO" over 5 is TQ202.
    EXPECT_EQ(RUDA_GetModelNumber("TQ202AMBO", 5, "QT", &number), 1);
    EXPECT_EQ(number, 200);
}

TEST_F(RudaTerminalInfo, VersionCrc) {
    struct Case {
        const char* text;
        const char* four;
        const char* plain;
    } cases[] = {
        {"ABC", "2898", "2898"}, {"abc", "8CDA", "8CDA"}, {"", "1D0F", "1D0F"}, {"123456789", "E5CC", "E5CC"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RUDA_VersionCrcText(c.text, true), c.four) << c.text;
        EXPECT_EQ(RUDA_VersionCrcText(c.text, false), c.plain) << c.text;
    }
    for (const char* text : {"01.02.03", "RELEASE-20240101", "TQ-CTLS-9.9", "QT0123456789", "ABC"})
        EXPECT_EQ(RUDA_VersionCrcText(text, true), PythonCrc(text)) << text;
    // "%X" drops the leading zeros that "%04X" keeps.
    for (int i = 0; i < 400; ++i) {
        const std::string text = "v" + std::to_string(i);
        const uint16_t crc = RUDA_VersionCrc(text.c_str());
        if (crc >= 0x1000) continue;
        char four[8], plain[8];
        std::snprintf(four, sizeof four, "%04X", crc);
        std::snprintf(plain, sizeof plain, "%X", crc);
        EXPECT_EQ(RUDA_VersionCrcText(text, true), four);
        EXPECT_EQ(RUDA_VersionCrcText(text, false), plain);
        return;
    }
    ADD_FAILURE() << "no short CRC among the texts";
}

TEST_F(RudaTerminalInfo, RequestsByMode) {
    struct Case {
        int operation;
        int mode;
        Bytes request;
    } cases[] = {
        {90, 0, Hex("D0 00 00 01")}, {90, 1, Hex("C0 00 FF 00")}, {90, 2, {}},
        {93, 0, Hex("D0 00 00 01")}, {93, 1, Hex("C0 00 FF 00")}, {93, -1, {}},
    };
    for (const Case& c : cases) {
        part->mode = c.mode;
        info->mode = c.mode;
        EXPECT_EQ(c.operation == 90 ? e.set(90, part.get()) : e.set(93, info.get()), 0);
        EXPECT_EQ(e.sent, c.request) << c.operation << " mode " << c.mode;
    }
    ASSERT_EQ(e.set(94), 0);
    EXPECT_EQ(e.sent, Hex("D0 01 00 00"));
    ASSERT_EQ(e.set(95), 0);
    EXPECT_EQ(e.sent, Hex("D0 00 00 01"));
    EXPECT_EQ(e.set(90, static_cast<TerminalPartInfo*>(nullptr)), 0);
    EXPECT_TRUE(e.sent.empty());
}

// A QX terminal: family from DF8109, OS version from the second DF7F (its
// last 8 characters), the OS extension, the states, the application.
Bytes QxAnswer(const std::string& os) {
    const Bytes ee = Element(
        0xEE, Concat({Element(0xDF8109, Text("M/RT 4.1")), Element(0xDF0D, Text("TQ202")),
                      Element(0xDF7F, Text("QX-kernel")), Element(0xDF7F, Text(os)),
                      Element(0xDF8106, Text("TQCE-EXT")), Element(0xDF8107, Text("1.0-2_3")),
                      Element(0xDF8101, Text("intact")), Element(0xDF8102, Text("closed"))}));
    const Bytes ef = Element(0xEF, Concat({Element(0xDF0D, Text("RELEASE")), Element(0xDF7F, Text("01.02.03"))}));
    return WithSw(Concat({Element(0x9F1E, Text("12345")), Element(0x9F1C, Text("TID0001")), ee, ef}), 0x9000);
}

TEST_F(RudaTerminalInfo, SystemInformationOfAQxTerminal) {
    EXPECT_EQ(Info90(QxAnswer("release-20240101")), 0);
    EXPECT_EQ(part->status, 0);
    EXPECT_EQ(part->filled, 1);
    EXPECT_EQ(part->kindLetter, 'm');
    EXPECT_EQ(std::string(part->serial), "123450000000");
    EXPECT_EQ(std::string(part->identifier), "TID0001");
    EXPECT_EQ(part->modelNumber, 600);
    EXPECT_EQ(part->osEntry[0], 4);
    EXPECT_EQ(OsCode(*part), PythonCrc("20240101"));
    // OS extension first, then the application.
    ASSERT_EQ(part->packageCount, 2);
    EXPECT_EQ(Package(*part, 0, 0), "0001");
    EXPECT_EQ(Package(*part, 1, 0), RUDA_VersionCrcText("1023", false).substr(0, 4));
    EXPECT_EQ(Package(*part, 2, 0), "0000");
    EXPECT_EQ(Package(*part, 3, 0), "109 ");
    EXPECT_EQ(Package(*part, 0, 1), "2801");
    EXPECT_EQ(Package(*part, 1, 1), PythonCrc("01.02.03"));
    EXPECT_EQ(Package(*part, 2, 1), "531");
    EXPECT_EQ(std::string(part->applicationVersion), "01.02.03");
    EXPECT_EQ(part->tamperFlag, 1);
    EXPECT_EQ(std::string(part->tamperState), "intact");
    EXPECT_EQ(std::string(part->removalState), "closed");
    EXPECT_TRUE(trace.Contains("** INFO. ** OS type [M/RT]"));
    EXPECT_TRUE(trace.Contains("** INFO. ** Statut de la violabilite : 'intact' (0X69)"));
    EXPECT_TRUE(trace.Contains("** INFO. ** Modele [TQ202]"));
    EXPECT_TRUE(trace.Contains("** INFO. ** Num modele [600]"));

    // A short version is padded on the left to 8.
    *part = TerminalPartInfo{};
    EXPECT_EQ(Info90(QxAnswer("r-42")), 0);
    EXPECT_EQ(OsCode(*part), PythonCrc("0000R-42"));
}

TEST_F(RudaTerminalInfo, SystemInformationRefusals) {
    EXPECT_EQ(Info90(QxAnswer("release-")), 1);
    EXPECT_EQ(part->status, 1);
    EXPECT_EQ(part->failureMark, 255);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Format version OS non conforme"));

    // The key-exchange status words end the read at once, the record as it
    // was cleared.
    *part = TerminalPartInfo{};
    part->status = 7;
    part->failureMark = 9;
    EXPECT_EQ(Info90(Hex("9F 55")), 0);
    EXPECT_EQ(part->status, 0);
    EXPECT_EQ(part->failureMark, 0);
    EXPECT_EQ(part->filled, 0);
    EXPECT_EQ(part->packageCount, 0);
    EXPECT_EQ(Info90(Hex("6A 82")), -1);
}

TEST_F(RudaTerminalInfo, SystemInformationOfAQtBaseWithItsAmboUnit) {
    const Bytes base = Element(0xEE, Concat({Element(0xDF8109, Text("uMa")), Element(0xDF0D, Text("TQ202")),
                                             Element(0xDF7F, Text("QT0123456789")),
                                             Element(0xDF8106, Text("OS_DATE")),
                                             Element(0xDF8107, Text("2024-03-15 12:00"))}));
    const Bytes unit = Element(0xEE, Element(0xDF0D, Text("Ambo")));
    EXPECT_EQ(Info90(WithSw(Concat({base, unit}), 0x9000)), 0);
    EXPECT_EQ(part->modelNumber, 210);
    EXPECT_EQ(OsCode(*part), PythonCrc("678920240315"));
    EXPECT_TRUE(trace.Contains("** INFO. ** Base [AMBO]"));
    EXPECT_TRUE(trace.Contains("** INFO. ** OS type [Kolix]"));
}

TEST_F(RudaTerminalInfo, ContactlessReaderAndTheDump) {
    WSysSetLoggerLevel("rudaterminfodump", WLOG_TRACE);
    part->modelNumber = 600;
    const Bytes answer =
        WithSw(Element(0xE1, Concat({Element(0xDFC022, Text("tq-ctls-1.2-3")), Element(0xDFC028, Text("K1 K2-K3"))})),
               0x9000);
    EXPECT_EQ(Info90(answer, 1), 0);
    ASSERT_EQ(part->packageCount, 1);
    EXPECT_EQ(Package(*part, 0, 0), "7001");
    EXPECT_EQ(Package(*part, 1, 0), RUDA_VersionCrcText("123", false).substr(0, 4));
    EXPECT_EQ(std::string(part->contactlessKernels), "K1K2K3");
    // The whole answer goes to the dump logger in Base64.
    std::string dumped;
    for (const std::string& line : trace.Snapshot()) {
        const size_t at = line.find(", data: ");
        if (line.find("rudaterminfodump") != std::string::npos && at != std::string::npos) {
            dumped = line.substr(at + 8);
            while (!dumped.empty() && (dumped.back() == '\n' || dumped.back() == ' ')) dumped.pop_back();
        }
    }
    WSysSetLoggerLevel("rudaterminfodump", WLOG_WARN);
    const std::string decoded = testsupport::Base64DecodeWithCommand(dumped);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), answer);

    // No reader: the CRC FFFF; a model below 600 reads no kernels.
    *part = TerminalPartInfo{};
    part->modelNumber = 200;
    EXPECT_EQ(Info90(Hex("9F 11"), 1), 0);
    EXPECT_EQ(Package(*part, 1, 0), "FFFF");
    EXPECT_TRUE(trace.Contains("** INFO. ** Ctls absent ou ne repondant pas"));
    *part = TerminalPartInfo{};
    part->modelNumber = 200;
    EXPECT_EQ(Info90(answer, 1), 0);
    EXPECT_STREQ(part->contactlessKernels, "");
}

TEST_F(RudaTerminalInfo, IdentificationOfATwoUnitTerminal) {
    const Bytes first = Element(0xEE, Concat({Element(0xDF0D, Text("LR510")), Element(0x9F1E, Text("PINPAD01")),
                                              Element(0xDF7F, Text("QX-os-00000042")),
                                              Element(0xDF8101, Text("a tamper text of thirty chars!"))}));
    const Bytes second = Element(0xEE, Concat({Element(0xDF0D, Text("LR520")), Element(0x9F1E, Text("BASE0002")),
                                               Element(0xDF7F, Text("01234567LR520-OS-VERSION-ABCDEF")),
                                               Element(0xDFEC1F, Hex("00 00 0E 8D"))}));
    const Bytes ef = Element(0xEF, Concat({Element(0xDF0D, Text("RELEASE")), Element(0xDF7F, Text("5.3.1"))}));
    ASSERT_EQ(Info93(WithSw(Concat({Element(0x9F1C, Text("TID-LR")), first, second, ef}), 0x9000)), 0);
    EXPECT_EQ(info->partsRead, 2);
    EXPECT_EQ(info->partFlags[0], 1);
    EXPECT_EQ(info->partFlags[1], 1);
    EXPECT_EQ(info->currentPart, 1);
    EXPECT_STREQ(info->modelName, "LR520");
    EXPECT_EQ(info->twoReaders, 1);
    EXPECT_EQ(info->modelReadings, 2);
    EXPECT_STREQ(info->identifier, "TID-LR");
    EXPECT_EQ(std::string(info->parts[0].serial), "PINPAD010000");
    EXPECT_EQ(info->parts[0].modelNumber, 640);
    EXPECT_EQ(OsCode(info->parts[0]), RUDA_VersionCrcText("00000042", false).substr(0, 4));
    // The tamper text is cut to its 8 characters.
    EXPECT_STREQ(info->parts[0].tamperState, "a tamper");
    EXPECT_EQ(info->secondsSincePowerUp, 3725);
    EXPECT_TRUE(trace.Contains("** INFO. ** Temps depuis reboot : 1h 2m 5s"));
    EXPECT_EQ(std::string(info->parts[1].serial), "BASE00020000");
    EXPECT_EQ(info->parts[1].modelNumber, 650);
    // An LR520's version is the 18 characters from the ninth.
    EXPECT_EQ(OsCode(info->parts[1]), RUDA_VersionCrcText("LR520-OS-VERSION-A", false).substr(0, 4));
    EXPECT_STREQ(info->parts[1].applicationVersion, "5.3.1");
    ASSERT_EQ(info->parts[1].packageCount, 1);
    EXPECT_EQ(Package(info->parts[1], 0, 0), "2801");
}

TEST_F(RudaTerminalInfo, IdentificationOfOneUnitAndItsContactlessReader) {
    const Bytes ee = Element(0xEE, Concat({Element(0xDF0D, Text("Ambo\n")), Element(0xDF7F, Text("QT-9876"))}));
    ASSERT_EQ(Info93(WithSw(Concat({Element(0x9F1E, Text("FIRSTLEVEL1234")), ee}), 0x9000)), 0);
    // "Ambo" is a second unit; without its own 9F1E the first-level one,
    // cut to 12.
    EXPECT_EQ(info->currentPart, 1);
    EXPECT_STREQ(info->modelName, "Ambo");
    EXPECT_EQ(std::string(info->parts[1].serial), "FIRSTLEVEL12");
    EXPECT_EQ(info->parts[1].filled, 1);

    EXPECT_EQ(Info93(Hex("9F 11"), 1), 0);
    EXPECT_EQ(info->currentPart, 2);
    EXPECT_EQ(info->parts[2].contactlessAnswered, 1);
    EXPECT_EQ(info->partFlags[2], 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** Pas de reponse du contactless"));
    EXPECT_EQ(Info93(Hex("6A 82"), 0), -1);
    EXPECT_EQ(Info93(WithSw(Element(0xEE, Element(0xDF7F, Text("x"))), 0x9000)), 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** DF0D absent dans ce tag EE"));
}

TEST_F(RudaTerminalInfo, IdentificationKeepsItsCurrentPartWithinTheParts_Mended) {
    // A current part beyond the five (left by the caller) is read as the
    // base's, whatever the answer: nothing is written past the parts.
    for (const Bytes& answer : {Hex("6A 82"), WithSw(Element(0xEF, Concat({Element(0xDF0D, Text("RELEASE")),
                                                                            Element(0xDF7F, Text("1.0"))})),
                                                     0x9000)}) {
        *info = TerminalInfoArea{};
        info->currentPart = 7;
        Info93(answer);
        EXPECT_EQ(info->currentPart, 0);
    }
    EXPECT_STREQ(info->parts[0].applicationVersion, "1.0");
}

TEST_F(RudaTerminalInfo, PackageTableHoldsTenEntries_Mended) {
    for (int i = 0; i < kTermInfoPackages; ++i) EXPECT_TRUE(RUDA_AddPackage(part.get(), "2801", "ABCD", "531"));
    EXPECT_FALSE(RUDA_AddPackage(part.get(), "7001", "FFFF", "531"));
    EXPECT_EQ(part->packageCount, kTermInfoPackages);
    EXPECT_EQ(part->packageCodeBytes, 50);
    EXPECT_EQ(Package(*part, 0, kTermInfoPackages - 1), "2801");
    // An answer adding more finds the table full and leaves it whole.
    part->modelNumber = 600;
    EXPECT_EQ(Info90(WithSw(Element(0xE1, Element(0xDFC022, Text("1"))), 0x9000), 1), 0);
    EXPECT_EQ(part->packageCount, kTermInfoPackages);
}

TEST_F(RudaTerminalInfo, FileVersionTextsCutToTheirFields_Mended) {
    FileVersionEntry first{};
    const Bytes answer = WithSw(
        Concat({Element(0xED, Concat({Element(0xDF0D, Text("boot.bin")), Element(0xDF7F, Text("1.0"))})),
                Element(0xED, Concat({Element(0xDF0D, Bytes(40, 'n')), Element(0xDF7F, Text("2.0"))})),
                Element(0xED, Element(0xDF0D, Text("orphan"))), Element(0xED, Element(0xDF7F, Text("3.0")))}),
        0x9000);
    ASSERT_EQ(e.set(94), 0);
    EXPECT_EQ(e.answer(94, answer, &first), 0);
    EXPECT_STREQ(first.name, "boot.bin");
    EXPECT_STREQ(first.version, "1.0");
    ASSERT_NE(first.next, nullptr);
    EXPECT_EQ(std::string(first.next->name), std::string(32, 'n'));
    EXPECT_STREQ(first.next->version, "2.0");
    EXPECT_EQ(first.next->next, nullptr);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealFilesVersionAnswer - Did not find any tag DF7F after tag DF0D"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealFilesVersionAnswer - Did not find any tag DF0D under tag ED"));
    // A second answer frees the chain first.
    ASSERT_EQ(e.set(94), 0);
    EXPECT_EQ(e.answer(94, Hex("6A 82"), &first), -1);
    EXPECT_EQ(first.next, nullptr);
    EXPECT_STREQ(first.name, "");
    ASSERT_EQ(e.set(94), 0);
    EXPECT_EQ(e.answer(94, answer, static_cast<FileVersionEntry*>(nullptr)), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- : RUDA_DealFilesVersionAnswer - argument nul !"));
}

TEST_F(RudaTerminalInfo, FullDescription) {
    auto d = std::make_unique<TerminalDescription>();
    CleanupTerminalInfo(d.get());
    const Bytes hardware = Element(
        0xEE, Concat({Element(0x9F1E, Text("SER000000001")), Element(0xDF0D, Text("TQ202")),
                      Element(0xDF7F, Bytes(40, 'v')), Element(0xDF8101, Hex("01")), Element(0xDF8102, Hex("00")),
                      Element(0xDF8106, Text("libc")), Element(0xDF8107, Text("2.1")),
                      Element(0xDF8108, Text("Architecture")), Element(0xDF8109, Text("MRT")),
                      Element(0xDFEC1F, Hex("00 01 51 80")), Element(0xDF01, Hex("00"))}));
    const Bytes second = Element(0xEE, Element(0xDF0D, Text("AMBO")));
    const Bytes application =
        Element(0xEF, Concat({Element(0xDF0D, Text("REVISION")), Element(0xDF7F, Text("9.9")),
                              Element(0xDF0D, Text("EMV")), Element(0xDF7F, Text("4.3")),
                              Element(0xDF8106, Text("Kolix")), Element(0xDF8107, Text("7")),
                              Element(0xDF8106, Text("crypto")), Element(0xDF8107, Text("1.1"))}));
    const Bytes sred = Element(0xEF, Concat({Element(0xDF8106, Text("sredlib")), Element(0xDF8107, Text("0.9"))}));
    const Bytes answer =
        WithSw(Concat({hardware, second, application, sred, Element(0x9F1C, Text("TERMINAL-ID-TOO-LONG")),
                       Element(0xDFA21D, Hex("08 00")), Element(0xDFA21E, Hex("01")), Element(0xDF02, Hex("00"))}),
               0x9000);
    ASSERT_EQ(e.set(95), 0);
    EXPECT_EQ(e.answer(95, answer, d.get()), 0);
    EXPECT_EQ(d->states[1], '1');
    EXPECT_STREQ(d->hardware.serial, "SER000000001");
    EXPECT_STREQ(d->hardware.name, "TQ202");
    EXPECT_EQ(std::string(d->hardware.version), std::string(32, 'v'));
    EXPECT_EQ(d->hardware.tamper, 1);
    EXPECT_EQ(d->hardware.removal, 0);
    EXPECT_STREQ(d->hardware.osName, "MRT");
    EXPECT_STREQ(d->hardware.osFamily, "QT");
    EXPECT_EQ(d->hardware.secondsSincePowerUp, 86400u);
    ASSERT_NE(d->hardware.libraries, nullptr);
    EXPECT_STREQ(d->hardware.libraries->name, "libc");
    ASSERT_NE(d->hardware.next, nullptr);
    EXPECT_STREQ(d->hardware.next->name, "AMBO");
    EXPECT_STREQ(d->applicationVersion, "9.9");
    ASSERT_NE(d->modules, nullptr);
    EXPECT_STREQ(d->modules->name, "EMV");
    ASSERT_NE(d->modules->libraries, nullptr);
    ASSERT_NE(d->modules->libraries->next, nullptr);
    EXPECT_STREQ(d->modules->libraries->next->name, "crypto");
    EXPECT_STREQ(d->sredName, "sredlib");
    EXPECT_STREQ(d->identifier, "TERMINAL-ID-");
    EXPECT_EQ(d->flagA21E, 1);
    EXPECT_TRUE(trace.Contains("Hardware information - Terminal version is 40 bytes long ; can copy only 32 bytes"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- Hardware information - Unknown tag <df01> inside a <ee> template"));
    EXPECT_TRUE(trace.Contains("<< WARN. >> RUDA_DealTerminalInfoAnswer - unknown tag df02"));
    EXPECT_TRUE(trace.Contains("1 days, 0 hours, 0 minutes and 0 seconds"));
    // The OS family was known from the hardware: no Kolix guess.
    EXPECT_FALSE(trace.Contains("assume it is Kolix"));
    CleanupTerminalInfo(d.get());
    EXPECT_EQ(d->hardware.next, nullptr);
    EXPECT_EQ(d->modules, nullptr);
    EXPECT_EQ(d->states[2], 'Z');
}

TEST_F(RudaTerminalInfo, TwoByteChainedSizeReadAsTwoBytes_Mended) {
    auto d = std::make_unique<TerminalDescription>();
    CleanupTerminalInfo(d.get());
    struct Case {
        Bytes value;
        int32_t size;
    } cases[] = {{Hex("08 00"), 0x800}, {Hex("00 00 10 00"), 0x1000}, {Hex("01 02 03"), 0}};
    for (const Case& c : cases) {
        ASSERT_EQ(e.set(95), 0);
        EXPECT_EQ(e.answer(95, WithSw(Element(0xDFA21D, c.value), 0x9000), d.get()), 0);
        EXPECT_EQ(d->maxChainedSize, c.size);
    }
    EXPECT_TRUE(trace.Contains("tag dfa21d is 3 bytes long (should be 4, accept 2)"));
    ASSERT_EQ(e.set(95), 0);
    EXPECT_EQ(e.answer(95, Hex("6A 82"), d.get()), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealTerminalInfoAnswer - Status 0x6a82"));
    CleanupTerminalInfo(d.get());
}

}  // namespace
