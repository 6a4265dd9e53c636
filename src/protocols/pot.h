// The card-data record `POT` of one transaction: the EMV services asked of
// the terminal with their states, busy and result, then one slot per card or
// terminal data element. Filled by the DORAN EMV exchange and by the RUDA EMV
// level-2 layer (both through the loader of doran_emv.h); read by the
// transaction steps. The transaction record holds it; its owner clears it at
// every transaction start (POT_StartTransaction).
//
// Slot convention: the first int is 0 when the element is absent, kPotAsked
// when it is asked for and not yet received, otherwise the length of the value
// (characters for text slots, bytes for byte slots) or 1 for number slots.
// Each slot type states its capacity once; every writer refuses a value that
// does not fit it.
#pragma once
#include <cstdint>

constexpr int32_t kPotAsked = 0xFFFF;
// Issuer application data element present with no value.
constexpr int32_t kPotEmptyPresent = 0xF000;
constexpr int kPotServiceCount = 32;
constexpr int kPotRecordListMax = 10;

// Text slot (hexadecimal text or plain characters) of at most N characters,
// always followed by a NUL.
template <int N>
struct PotText {
    static constexpr int kCapacity = N;
    int32_t length;
    char text[N + 1];
};

// Byte slot of at most N bytes (a zero byte behind the value).
template <int N>
struct PotBytes {
    static constexpr int kCapacity = N;
    int32_t length;
    unsigned char bytes[N + 1];
};

// Number slot: flag (0 absent, kPotAsked asked, 1 present) and value.
struct PotNumber {
    int32_t flag;
    int64_t value;
};

// Number slot that also keeps the byte length of the element read.
struct PotNumberLen {
    int32_t flag;
    int64_t value;
    int32_t byteLength;
};

// Records of DF808D00 / DF808E00: 8 characters and two numbers each.
struct PotRecordList {
    int32_t flag;  // 0 absent, kPotAsked asked, else the number of records
    int32_t count;
    struct Entry {
        char text[9];
        int32_t first;
        int32_t second;
    } entries[kPotRecordListMax];
};

// Slots of the DORAN card operations that the EMV slots above do not hold,
// each keyed by its element's tag (the operations' request slots, which the
// caller fills, and their answer slots). A short slot holds up to 149
// characters or bytes, a long one up to 1024.
constexpr int kPotCardShortSlots = 160;
constexpr int kPotCardLongSlots = 8;
constexpr int kPotCardShortText = 149;
constexpr int kPotCardLongText = 1024;
template <int N>
struct PotCardSlot {
    static constexpr int kCapacity = N;
    uint32_t tag;     // 0: a free slot
    int32_t length;   // as the other slots: 0 absent, kPotAsked asked, else the length (1 for numbers)
    int64_t value;    // number slots
    char text[N + 1];
};
struct PotCardOps {
    PotCardSlot<kPotCardShortText> shortSlots[kPotCardShortSlots];
    PotCardSlot<kPotCardLongText> longSlots[kPotCardLongSlots];
};

struct PotServicePair {
    int32_t mask;   // bits naming the data groups wanted
    int32_t state;  // outcome; the first pair is the RUDA step register
};

// EMV service bits of the masks and of the answered flags.
constexpr int32_t POT_SERVICE_AIP_AFL = 0x4;
constexpr int32_t POT_SERVICE_CARD_DATA = 0x8;
constexpr int32_t POT_SERVICE_DYNAMIC_AUTH = 0x10;
constexpr int32_t POT_SERVICE_PIN_TRY = 0x20;
constexpr int32_t POT_SERVICE_ATC = 0x40;
constexpr int32_t POT_SERVICE_9F13 = 0x80;
constexpr int32_t POT_SERVICE_PIN_TRY_2 = 0x200;
constexpr int32_t POT_SERVICE_FIRST_AC = 0x400;
constexpr int32_t POT_SERVICE_RECORDS_8D = 0x1000;
constexpr int32_t POT_SERVICE_SECOND_AC = 0x2000;
constexpr int32_t POT_SERVICE_RECORDS_8E = 0x4000;
constexpr int32_t POT_SERVICE_INTERNAL_AUTH = 0x20000;
constexpr int32_t POT_SERVICE_KEEP_AUTH_BUFFER = 0x80000;
// Service state the terminal gives for data still to come.
constexpr int32_t POT_STATE_PENDING = 26;
// Service state of inconsistent data.
constexpr int32_t POT_STATE_INCONSISTENT = 21;

struct POT {
    int32_t unused;
    PotServicePair services[kPotServiceCount];
    int32_t busy;
    int32_t result;

    // ---- Request slots (sent by the DORAN EMV request when set) ----
    int32_t peripheralFlag;
    char peripheral[5];
    PotText<32> selectedAid;  // DF808700; the RUDA SELECT sends it as well
    PotNumber df828200;
    PotText<64> df808500;
    PotText<64> df808600;
    PotText<64> df84820c;
    PotNumber df81820f;
    PotNumber df818210;
    PotNumber amount;  // DF848202, and 9F02 of the RUDA requests
    PotBytes<64> df848208;
    PotNumber df818211;
    PotNumber df828214;
    PotText<64> df808b00;
    PotNumber df818212;
    PotText<64> df808800;
    int32_t oneShotFlag;  // DF808C00 and DF818228 go once
    PotText<64> df808c00;
    PotNumber df818228;
    PotText<64> df808900;
    PotText<64> df808a00;
    PotNumber df828216;
    PotNumber df82821c;
    PotNumber df818229;
    PotNumber df82821e;

    // ---- Answer slots, in the order of the loader table ----
    PotNumber status;  // DF828100
    PotText<4> aip;
    PotText<252> afl;
    PotText<6> expiryDate;
    PotText<20> pan;
    PotText<4> applicationVersion;  // 9F08
    PotBytes<29> tag9f24;
    PotText<12> tag9f19;
    PotBytes<4> tag9f25;
    PotText<256> cdol1;  // raw bytes while the CDOL flag is set
    PotText<256> cdol2;
    PotText<256> pdol;
    PotText<40> track2Equivalent;
    PotNumberLen tag9f14;
    PotNumberLen tag9f23;
    PotNumber tag9f42;
    PotNumber tag9f44;
    PotText<100> tag9f05;
    PotText<6> effectiveDate;
    PotNumberLen panSequenceNumber;
    PotText<100> tag9f07;
    PotBytes<26> cardholderName;
    PotBytes<45> tag9f0b;
    PotText<512> cvmList;
    PotText<64> tag9f63;
    PotText<10> iacDefault;  // 9F0D
    PotText<10> iacDenial;   // 9F0E
    PotText<10> iacOnline;   // 9F0F
    PotNumber countryCode;   // 5F28
    PotText<4> serviceCode;  // 5F30
    PotText<256> tdol;
    PotText<256> ddol;
    PotNumber currencyCodes9f3b[4];
    PotNumber exponents9f43[4];
    PotText<2> caKeyIndex;
    PotBytes<256> tag9f2d;
    PotText<6> tag9f2e;
    PotText<84> tag9f2f;
    PotText<496> tag9f46;
    PotText<6> tag9f47;
    PotText<84> tag9f48;
    PotText<496> issuerKeyCertificate;  // 90
    PotText<6> tag9f32;
    PotText<72> issuerKeyRemainder;  // 92
    PotBytes<50> tag9f1f;
    PotText<50> tag9f20;
    PotText<496> signedStaticData;  // 93
    PotText<64> tag9f4a;
    PotText<4> df858106;
    PotBytes<8> df809100;
    PotText<496> df809000;  // also the signed dynamic data 9F4B
    PotNumber df81811a;     // the RUDA layer's PIN try counter
    PotText<16> cryptogram1;
    PotText<2> cryptogramInfo1;
    PotText<16> cryptogram2;
    PotText<2> cryptogramInfo2;
    PotNumberLen atc;
    PotNumberLen tag9f13;
    PotText<100> issuerApplicationData;
    PotRecordList records8d;
    PotRecordList records8e;

    // ---- Slots of the RUDA layer ----
    PotNumber transactionType;   // 9C
    PotNumber currencyCode;      // 5F2A
    PotNumber currencyExponent;  // 5F36
    PotText<8> transactionDate;  // YYYYMMDD
    PotText<6> transactionTime;  // HHMMSS
    PotNumber terminalType;      // 9F35
    PotText<10> terminalCapabilities;  // 9F33, upper case
    PotText<10> cvmResults;            // 9F34
    PotText<10> tvr;                   // 95
    PotText<10> tsi;                   // 9B
    PotNumber unpredictableNumber;     // 9F37
    PotText<30> cardholderNameHex;     // 5F20 of the prevalidation answers
    PotText<80> ff7cDf837f;
    PotText<512> ff7fDfdf10;
    PotText<80> ff7fDfdf11;
    PotText<32> ff7fDfdf12;
    PotText<512> pdolData;
    PotText<512> cdolData;
    PotText<512> ddolData;
    PotText<2048> hashInput;
    int32_t hashFlag;
    int32_t hashPosition;  // byte offset of the hash inside the CDOL data
    PotText<64> issuerAuthenticationData;  // 91
    PotNumber authorisationMode;           // 64, 128 or 0
    PotBytes<64> c2Data;
    PotBytes<16> authorisationCode;  // 89
    PotBytes<4> responseCode;        // 8A
    PotBytes<44> applicationLabel;   // 50
    PotBytes<44> secondLabel;        // label of the PIN request, when set
    PotNumber dfa20e;
    PotNumber dfa215;
    int32_t pdolWanted;

    // ---- Slots of the DORAN card operations ----
    PotCardOps cardOps;
};

// Clears the record and every module area that belongs to the card of the
// transaction (the offline-authentication buffer of the DORAN loader and the
// read-records area of the RUDA layer). Called at each transaction start.
void POT_StartTransaction(POT* pot);
