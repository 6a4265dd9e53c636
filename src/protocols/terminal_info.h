// Terminal information records that the terminal-identification operations
// fill: one part record per unit of the terminal, and the information area
// of the transaction record (five parts and a header).
#pragma once
#include <cstdint>

struct TerminalPartInfo {
    int32_t mode;  // set by the caller: 0 system information, 1 contactless reader
    int32_t status;
    int32_t failureMark;
    int32_t filled;
    int32_t kindLetter;
    int32_t modelFound;
    int32_t modelNumber;
    int32_t serialLength;
    char serial[16];
    int32_t identifierLength;
    char identifier[36];
    int32_t applicationVersionLength;
    char applicationVersion[21];
    int32_t osEntry[3];
    int32_t packagesPresent;
    int32_t packageCount;
    int32_t packageCodeBytes;
    int32_t packageCrcBytes;
    char packageTables[4][10][5];
    uint8_t tamperFlag;
    char tamperState[9];
    uint8_t removalFlag;
    char removalState[9];
    uint8_t contactlessAnswered;
    char contactlessKernels[43];
};

struct TerminalInfoArea {
    TerminalPartInfo parts[5];  // 0 the terminal or its base, 1 a second unit, 2 the contactless reader
    int32_t currentPart;
    char modelName[21];
    int32_t identifierLength;
    char identifier[36];  // 9F1C
    int32_t mode;
    int32_t status;
    int32_t failureMark;
    int32_t partsRead;
    uint8_t partFlags[5];
    int32_t secondsSincePowerUp;
};
