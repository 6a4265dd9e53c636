// The EFT context: the one record that ties a station's run together, the
// transaction record of the transaction in progress, the few process-wide
// switches the payment logic reads, and their accessors. The program opens
// the session (TOC_OpenSession, app/startup.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/helpers.h"
#include "protocols/card_records.h"
#include "protocols/pot.h"
#include "protocols/terminal_info.h"
#include "station/net_resources.h"
#include "station/server_box.h"

struct KT_TEXT_WINDOW;
struct PosLinkHandle;
struct KT_EPERIPH_API;
struct KT_PERES;
class FunctionalTest_Req;

constexpr int kPosBufferSize = 10241;  // 10240 characters and a terminator

struct EFTCBox {
    char name[20];
    int32_t resourceId;
    int32_t station;
    CSIBox* box;
    int32_t processId;
    char alertSource[40];
    char alertMessage[200];
    int32_t alertLevel;
    int32_t timerStart;
    int32_t timerDuration;
    char mainPath[101];
    char applicationCode[21];
    char currentZone[20];
    int32_t consoleResource;
    int32_t debugLevel;
    PosLinkHandle* posLink;
    char posRequest[kPosBufferSize];
    char sentServerRequest[kPosBufferSize];
    char transactionRequest[kPosBufferSize];
    char posCommand[kPosBufferSize];
    char posAnswer[kPosBufferSize];
    int32_t posEventFlag;
    int32_t posTimeout;
    int32_t loopState;
    int32_t posLanguage;
    int32_t terminalLanguage;
    NetResource netResources[kNetResourceCount];
    ANIBox* serverBox;
    char serverRequest[kPosBufferSize];
    char serverAnswer[kPosBufferSize];
    // A flash information of the cash register that came while the server
    // request buffer held the transaction's request: sent at the next
    // exchange, before that request.
    char pendingPosFlash[kPosBufferSize];
    int32_t connectionState;
    int32_t silenceAllowed;
    int32_t netResourceIndex;
    int32_t comContextId;
    int32_t terminalFunction;
    int32_t echoMode;
    int32_t logSizeKb;
    char exchangeLogName[101];
    uint8_t exchangeLogCloseEach;
    FILE* posLogFile;
    FILE* serverLogFile;
    int32_t authorisationMode;
    int32_t isoFallback;
    int32_t abortBookkeeping;
    int32_t abortCode;
    int32_t abortInhibition;
    uint8_t abortInCallback;
    int32_t transactionType;
    uint8_t printerProtocolFlag;
    uint8_t pinpadProtocolClass;
    int8_t padSetupDone;
    uint8_t readerSlots[3];
    uint8_t isoReadFailures;
    uint8_t chequeReadFailures;
    int32_t ctlsIsoFailures;
    int32_t comResources[2];
    KT_EPERIPH_API* papBox;
    KT_PERES* terminalRecord;
    FunctionalTest_Req* runningRequestTest;
    // Card reading and request settings the terminal layers read.
    int32_t ticketTag;      // TT of the request, 1 to 3
    int32_t dataCapture;
    uint8_t chequeReaderPrepared;
};

// Names the terminal layers use for fields of the context, and the fields
// that hold them here:
//   waitAborted          abortInCallback   (set when an abort came during a terminal wait)
//   abortForbidden       abortInhibition   (only the value 1 refuses an abort of the cash register)
//   terminalPort         terminalRecord    (the terminal function record last looked up)
//   mediaReaderProtocol  pinpadProtocolClass
//   padSetup             padSetupDone
//   lastServerRequest    sentServerRequest  (the last card request built for the server)
//   savedPosRequest      transactionRequest (the POS request as received)

struct TransactionRecord {
    char station[5];
    char service[5];
    char command[5];
    char resultCode[5];
    int32_t posAnswerState;
    int32_t step;
    int32_t terminalModel;
    int32_t processingMode;
    uint8_t resetRequired;  // the terminal is reset at the end (the card reader was armed, a relay used it)
    char e6[21];
    char e7[21];
    char replyService[6];
    char replyCommand[6];
    int32_t currentServer;
    int32_t serverEnabled[4];
    int32_t flashLevel;
    int32_t showConnectionWait;
    int32_t terminalInfoStatus;
    char terminalLanguageCode[4];
    char requestStation[8];
    uint8_t countForPos;
    int32_t maintenanceInProgress;
    int32_t maintenanceNotified;
    int32_t terminalRebootRequested;
    uint8_t serverMessageSeen;
    uint8_t serverRetry;         // a server failed before sending anything
    uint8_t serverUsedTerminal;  // the server drove the terminal (relay, flash D16)
    char flashD16[3];            // D16 of the last flash information
    char flashD3E[5];            // D3E of the last flash information
    uint8_t echoTimedOut;
    int32_t rebootKind;
    int32_t echoTimeoutMs;
    int32_t keepAliveSec;
    int32_t lastFlashState;
    char titleId[51];
    int8_t barcodeActive;
    uint8_t manualEntryActive;
    // Card fields captured from the chip data (protected card number).
    char cardNumber[21];
    int32_t cardNumberLength;
    char expiryDate[11];
    int32_t expiryDateLength;
    char serviceCode[6];
    int32_t serviceCodeLength;
    char trackRest[41];
    int32_t flowCounter;     // card flow: counter cleared at session opening
    char cardFlowMarker;     // card flow: one-character field cleared by the error answer
    // Card reading and card data of the transaction, filled by the terminal
    // protocols.
    POT pot;
    // Its mode selects the action of the card-status command (2 = start
    // card-removal detection).
    CardReadRecord cardReadRecord;
    TerminalResultArea terminalResultArea;
    CtlsTransactionData ctlsTransactionData;
    // Card transaction (reading phase in processingMode, card-read state in
    // the context's authorisationMode).
    uint32_t readerSet;           // kReaderChip, kReaderStripe, both or none
    uint8_t insertionRetries;     // re-insertions asked, at most 2
    uint8_t reconnecting;         // the server link was lost during the authorisation
    uint8_t ticketCancel;         // the ticket could not be printed
    uint8_t isoOnlyPrompt;
    uint8_t muteCardEnd;
    uint8_t proxyInhibited;
    uint8_t ctlsRetryPending;
    char cardIncident[3];         // D48: "1" chip incident, "2" track not read
    int32_t clientMode;           // ECM "1"
    int32_t cardDataFromRequest;
    int32_t amountPresent;        // D10 and D0 both in the request
    int32_t currencyPresent;
    int32_t amount;               // D10
    int32_t currency;             // D0
    int32_t ctlsStartResult;
    int32_t dataCaptureBits;
    char d8y[21];
    char transactionDate[9];
    char transactionTime[7];
    // Terminal command layer: what the terminal said of itself, the
    // server-mode wait, the reset pause and the card settings the reset and
    // the contactless commands read.
    TerminalInfoArea terminalInfo;
    int32_t infoRetried;              // the information was asked again once for the contactless reader
    uint8_t terminalServerWait;       // the terminal has not connected yet (server mode)
    uint8_t waitBeforeReset;          // pause 2 s before a terminal reset
    // The terminal's serial number (MF of the server requests): from its
    // identification, its reset answers or asked for; 36 '0' when the
    // terminal gave none.
    char terminalSerialNumber[37];
    int32_t terminalSerialNumberLength;
    int32_t terminalServerSocket;     // listening socket of the server mode, 0 none
    // Server dialogue: the answer came, the contactless non-completion
    // reason (MTNA) and where D90 came from (16 the request, 1 the stored
    // counter).
    uint8_t answerReceived;
    uint8_t nonCompletionReason;
    int32_t posCounterOrigin;
};

constexpr uint32_t kReaderChip = 0x80000000u;    // chip and contactless
constexpr uint32_t kReaderStripe = 0x00800000u;  // magnetic stripe
constexpr uint32_t kReaderBoth = kReaderChip | kReaderStripe;

// The process-wide context (null before the session and after the shutdown)
// and transaction record (null until the session opens).
EFTCBox* GetEftContext();
void SetEftContext(EFTCBox* context);
TransactionRecord* GetTransactionRecord();
// Makes the transaction record current (the session opening does, before
// anything reads it): the record.
TransactionRecord* OpenTransactionRecord();
// Wipes the captured card fields of the transaction record (card number,
// expiry date, service code, rest of the track and their lengths), so that
// the next card is captured. Done for every request read at idle.
void ClearCardTrackFields();
// Clears the card-data record, the card-read record, the result area and the
// contactless data of the transaction record, with the card areas of the
// terminal protocols. Done at each transaction start.
void ClearCardRecords();

// Process-wide offline level (option -o).
extern int OfflineLevel;

// 1 when the current request is a card request, 0 for a cheque request.
extern unsigned char CardMode;
void SetChequeMode();

// What the main loop keeps from its start-up and between transactions:
// window "P5" and the resource it had, and the idle time stamp (set at the
// end of each transaction).
struct LoopStartupState {
    KT_TEXT_WINDOW* p5Window = nullptr;
    int p5Resource = 0;
    WTimeStamp idleStamp;
};
LoopStartupState& GetLoopStartupState();

EFTCBox* NewEftoc(int resourceId, int station);
int EFTOC_SetMainPath(EFTCBox* context, const char* path);
const char* EFTOC_GetDirectory(EFTCBox* context, const char* name);
// The same into the caller's buffer: out, or null (out emptied) when the
// context has no path or the whole does not fit.
const char* EFTOC_GetDirectory(EFTCBox* context, const char* name, char* out, size_t size);
int EFTOC_SetApplicationCode(EFTCBox* context, const char* code);
int EFTOC_SetCurrentZone(EFTCBox* context, const char* name);
int EFTOC_SetTraceZone(const char* name);
const char* EFTOC_GetTraceZone();
int EFTOC_SetLanguages(EFTCBox* context, int posLanguage, int terminalLanguage);
int EFTOC_SetEchoMode(EFTCBox* context);
int EFTOC_SetPosEventFlag(EFTCBox* context, int flag);
int EFTOC_SetOfflineLevel(EFTCBox* context, int level);
int EFTOC_StartTimer(EFTCBox* context, int seconds);
int EFTOC_TimerExpired(EFTCBox* context);
int EFTOC_SetDebugLevel(EFTCBox* context, int level);
int EFTOC_SetExchangeLog(EFTCBox* context, int sizeKb, const char* name);
int EFTOC_GetPadSetupFlag();
int EFTOC_CloseExchangeLogs();
void EFTOC_RestartPrinterSpool();
int EFTOC_SetAlert(EFTCBox* context, const char* source, int level);
int EFTOC_Close(EFTCBox* context);
