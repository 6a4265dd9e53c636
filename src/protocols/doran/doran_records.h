// Records of the DORAN operations that have no record of their own
// elsewhere: online PIN (70), the two terminal calls (73, 74), terminal
// information (90) and the record exchange (80). Owned by their callers,
// read and written by the DORAN module.
#pragma once
#include <cstdint>

constexpr int kDrnPinDataMax = 64;
constexpr int kDrnPinBlockMax = 64;
constexpr int kDrnCall61AnswerMax = 26;
constexpr int kDrnCall61DataMax = 512;
constexpr int kDrnCall62DataMax = 4097;
constexpr int kDrnInfoListEntries = 9;
constexpr int kDrnInfoLists = 7;
constexpr int kDrnRecordDataMax = 512;

// Online PIN (70).
struct DrnOnlinePinRecord {
    int32_t peripheralFlag;
    char peripheral[5];  // hexadecimal text
    int32_t df848102Length;
    unsigned char df848102[kDrnPinDataMax];
    int32_t df818112Flag;
    uint8_t df818112;
    int32_t df848200Length;  // hexadecimal characters
    char df848200[kDrnPinDataMax + 1];
    int32_t df818113Flag;
    uint8_t df818113;
    int32_t busy;
    int32_t result;
    int32_t pinBlockLength;
    unsigned char pinBlock[kDrnPinBlockMax];
};

// Terminal call 61 (73): its answer DF848B00 comes into the DF848900 area.
struct DrnTerminalCall61Record {
    int32_t peripheralFlag;
    char peripheral[5];
    int32_t busy;
    int32_t result;
    int32_t df848900Length;
    unsigned char df848900[kDrnCall61AnswerMax];
    int32_t df848700Length;
    unsigned char df848700[kDrnCall61DataMax];
    uint8_t df848800;
    uint8_t df848a00;
};

// Terminal call 62 (74): its answer DF848D00 comes into the same area.
struct DrnTerminalCall62Record {
    int32_t peripheralFlag;
    char peripheral[5];
    int32_t busy;
    int32_t result;
    int32_t df848c00Length;
    unsigned char df848c00[kDrnCall62DataMax];
};

// Terminal information (90).
struct DrnInfoText32 {
    int32_t length;
    char text[33];
};
struct DrnInfoText4 {
    int32_t length;
    char text[5];
};
struct DrnInfoNumber {
    int32_t flag;
    uint32_t value;
};
struct DrnTerminalInfoRecord {
    int32_t unused;
    int32_t listMode;
    int32_t busy;
    int32_t result;
    int32_t t9f01Length;
    int32_t t9f01;
    int32_t t9f03Flag;
    int32_t t9f03;
    int32_t t9f05Length;
    char t9f05[13];
    DrnInfoText32 t9f00;
    DrnInfoText32 t9f02;
    DrnInfoText32 t9f1b;
    DrnInfoText32 t9f1c;
    DrnInfoText32 t9f1e;
    DrnInfoNumber t9f20;
    DrnInfoNumber t9f21;
    DrnInfoText4 t9f22;
    DrnInfoText4 t9f27First;
    DrnInfoText4 t9f24;
    DrnInfoNumber t9f25;
    DrnInfoText4 t9f26;
    DrnInfoText4 t9f27Second;
    DrnInfoText4 t9f28;
    DrnInfoNumber t9f30;
    DrnInfoNumber t9f31;
    DrnInfoNumber t9f32;
    DrnInfoNumber t9f33;
    DrnInfoNumber t9f40;
    DrnInfoNumber t9f41;
    int32_t fixedOne;
    int32_t fixedZero;
    DrnInfoNumber t9f42;
    int32_t t9f50Length;
    unsigned char t9f50[24];
    int32_t t9f51Length;
    unsigned char t9f51[8];
    DrnInfoText4 t9f52;
    // In list mode the flag is the first limit and the value the entry
    // limit (at most 9).
    DrnInfoNumber t9f53;
    // List mode: DF828300, DF858302, DF858308, DF85830E, DF858314, DF85831A,
    // DF858320, one place per entry; each length grows by 5 per entry.
    struct {
        int32_t length;
        char entries[kDrnInfoListEntries][5];
    } lists[kDrnInfoLists];
};

// Record exchange (80).
struct DrnRecordExchangeRecord {
    struct {
        int32_t mask;
        int32_t state;
    } services[32];
    int32_t peripheralFlag;
    int32_t peripheral;
    int32_t busy;
    int32_t result;
    int32_t df82810aFlag;
    int32_t df82810a;
    int32_t df828104Flag;
    int32_t df828104;  // sent as DF828104 and DF828102
    int32_t headLength;  // of the DFE08400 head: 4 when set
    unsigned char head[4];
    int32_t df828108Flag;
    int32_t df828108;
    int32_t dataLengthFlag;
    int32_t dataLengthByte;  // n, at most 255, of the request
    int32_t dataFlag;        // the request's data goes while set; the answer's length
    unsigned char data[kDrnRecordDataMax];
    int32_t df828202Flag;
    int32_t df828202;
    int32_t derivedFlag;  // the first two bytes of an answer's DFE08404
    int32_t derived;
};
