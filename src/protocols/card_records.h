// Records of card reading that the terminal protocols fill and the
// transaction steps read: the card-read record (argument of every card,
// cheque, event and contactless command), the result area of the
// application-list and card operations, and the transaction data handed to a
// contactless start. The transaction record holds one of each.
#pragma once
#include <cstdint>

constexpr int kCardEventDataMax = 100;
constexpr int kCardTrack1Max = 100;
constexpr int kCardTrack3Max = 150;
constexpr int kCtlsDataMax = 1024;
constexpr int kCardP2peMax = 512;
constexpr int kCardChipSlots = 5;  // chip readers of a terminal, each with its option byte

// Technology codes of CardReadRecord::technology.
constexpr int32_t CARD_TECH_KEYBOARD = 0;
constexpr int32_t CARD_TECH_ISO1 = 1;
constexpr int32_t CARD_TECH_ISO2 = 2;
constexpr int32_t CARD_TECH_ISO3 = 3;
constexpr int32_t CARD_TECH_CHIP = 4;
constexpr int32_t CARD_TECH_CHEQUE = 7;
constexpr int32_t CARD_TECH_BARCODE = 9;
constexpr int32_t CARD_TECH_CONTACTLESS = 10;

struct CardReadRecord {
    int32_t busy;
    int32_t errorSource;
    int32_t chipRequested;
    uint8_t chipOptions;  // the first chip slot's options
    uint8_t otherChipOptions[kCardChipSlots - 1];
    int32_t isoRequested;
    uint8_t isoOptions;
    int32_t chequeRequested;
    uint8_t chequeOptions;
    int32_t keyAbortRequested;
    uint8_t keyAbortRequestedByte;
    int32_t timeoutEnabled;
    int32_t timeoutTenths;
    int32_t answerValid;
    int32_t status;
    uint8_t statusFlags;
    int32_t presentCount;
    int32_t technology;
    int32_t dataValid;
    int32_t origin;
    int32_t eventLength;
    char eventData[kCardEventDataMax + 1];
    int32_t track1Length;
    char track1Data[kCardTrack1Max + 1];
    int32_t track3Length;
    char track3Data[kCardTrack3Max + 1];
    uint8_t mode;  // 0 stop, 1 start, 2 removal detection, 4 contactless start, 8 contactless stop
    struct {
        int32_t length;  // of the bytes after the outcome byte
        uint8_t outcome;
        unsigned char bytes[kCtlsDataMax];
    } ctlsData;
    int32_t p2peLength;
    unsigned char p2peData[kCardP2peMax];
};

constexpr int kResultCandidates = 10;
constexpr int kResultAidMax = 40;
constexpr int kResultLabelMax = 40;
constexpr int kResultPdolMax = 512;
constexpr int kResultFciMax = 256;
constexpr int kResultCtlsTrackMax = 100;
constexpr int kResultFf7fMax = 257;

struct TerminalResultArea {
    int32_t busy;
    int32_t result;
    int32_t candidateCount;
    char candidates[kResultCandidates][kResultAidMax + 1];
    int32_t kernelCount;
    char kernels[kResultCandidates][11];
    int32_t priorityCount;
    int32_t priorities[kResultCandidates];
    struct {
        int32_t length;  // 0 empty, 2 set
        char code[2];
    } languages[4];
    int32_t codeTableCount;
    int32_t codeTables[kResultCandidates];
    int32_t labelCount;
    char labels[kResultCandidates][kResultLabelMax + 1];
    int32_t preferredNameCount;
    char preferredNames[kResultCandidates][kResultLabelMax + 1];
    int32_t pdolCount;
    char pdols[kResultCandidates][kResultPdolMax + 1];
    int32_t fciCount;
    char fciDiscretionary[kResultCandidates][kResultFciMax + 1];
    struct {
        int32_t gpoLength;
        unsigned char gpo[257];
        int32_t readRecordLength;
        unsigned char readRecord[1025];
        int32_t generateAcLength;
        unsigned char generateAc[257];
        int32_t pdolDataLength;
        unsigned char pdolData[513];
        int32_t cdolDataLength;
        unsigned char cdolData[513];
        int32_t track1Length;
        unsigned char track1[101];
        int32_t track2Length;
        unsigned char track2[101];
        int32_t supplementLength;
        unsigned char supplement[513];
    } perCandidate[kResultCandidates];
    int32_t applicationCodeCount;
    char applicationCodes[kResultCandidates][5];
    int32_t ctlsTrack1Length;
    char ctlsTrack1[kResultCtlsTrackMax + 1];
    int32_t ctlsTrack2Length;  // the track-2 image
    char ctlsTrack2[kResultCtlsTrackMax + 1];
    int32_t ff7fLength;
    unsigned char ff7f[kResultFf7fMax];
    int32_t peripheralFlag;
    char peripheralCode[5];
};

// Transaction data of a contactless start.
struct CtlsTransactionData {
    int32_t typePresent;
    int32_t type;
    int32_t amountPresent;
    int64_t amount;  // cents
    int32_t currencyPresent;
    int32_t currency;
    char date[9];  // YYYYMMDD
    char time[7];  // HHMMSS
};
