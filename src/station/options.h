// Option values of the console program: one process-wide value per key of the
// options files "znpop" and "param", each named by its key.
//
// Both files lie in "WPAF" of the main path and are read through the text
// manager of the per-application box with country 0. Every value starts at
// the default of its key; a reload puts the defaults back before reading
// (keys marked "kept" keep their value when absent).
#pragma once
#include <cstdint>

struct OptionValues {
    // "znpop"
    int PosGuiOptions = 0;
    int LogSize = 0;                     // kept
    int LogCloseLogFileOnEachWrite = 0;  // kept
    int PosTicketMode = 3;
    int SpecialMenu = 0;
    int TouchMode = 0;
    int ManualMode = 0;
    int OfflineMode = 0;
    int OfflinePaymentType = 10;
    int OfflineTotalTrs = -1;
    int OfflineTotalAmount = -1;
    int NumericalCurrency = 978;
    int CurrencyDecimalPosition = 2;
    char AlphabeticalCurrency[4] = "EUR";
    int OfflineTicket = 7;
    long OfflineTimeout = 0;
    unsigned OfflineMsgDisplayTime = 2000;
    long OfflineMaxAmount = 50000;
    long OfflineCTLSMaxAmount = 3000;
    char Enseigne[61] = "";
    int TelechMode = 0;
    int UploadNeeded = 0;
    int ExitAfterUpload = 0;
    char UploadTime[7] = "";
    char UploadDate[9] = "";
    int AbortOnPinPad = 1;
    int DetectionTimeout = 30000;
    int RemovalTimeout = 30000;
    int CheckSpeed = 0;
    int CheckCom = 0;
    int Automatic = 0;
    int Beep = 0;
    int TestCardMode = 0;
    int CardRemovalMode = 1;
    int IsoReadMode = 0;
    int8_t Iso2ControlLevel = 3;
    int Iso2MaximalTries = 0;
    long ClsMaximalAmount = 0;
    int IsConcurrentCheckCard = 0;
    int IsInvisibleCheck = 0;
    int Cmc7MaximalTries = 0;
    int SafeReset = 0;
    int TicketValidationTimeout = 10000;
    char* CardPrintingFormat = nullptr;
    char* AdditionalPrintingFormat = nullptr;
    char* CheckPrintingFormat = nullptr;
    char Beneficiaire[33] = "                                ";
    char Lieu[33] = "                                ";
    int Cmc7Print = 1;
    int CleanTicket = 0;        // 0 off, 1 on, or the decimal value given
    int CleanTicketBefore = 0;  // first number of "n,m"
    int CleanTicketCut = 0;     // second number of "n,m"
    int ConnectedMode = 0;
    char IlotLabel[61] = "";
    int AddPosNumber = 0;
    int ServerIdentifierOffset = 0;
    int ServerIdentifierSize = 0;
    int ClsVersion = 0;
    int ClsOnly = 0;  // kept
    int ClsAffDelai = 0;
    int ExitOnDeathPOS = 0;
    char TransactionNumber[6] = "000";
    char NumTrsMonCaisse[5] = "";
    char* AdditionalTags = nullptr;
    char* ConditionalAdditionalTags = nullptr;
    char* StorageCert = nullptr;
    int TotalMode = 0;
    int MandatoryAmount = 0;
    char* RangePOSForbidden = nullptr;  // kept
    uint8_t ActivateFIRAI = 0;
    uint8_t FIRAIPaymentType = 0;
    int AskCardInsertAfterReboot = 1;
    uint8_t WaitForPinpad = 0;
    uint8_t CheckPaperBeforeStartTrs = 0;
    char IdleBehaviour[10241] = "";
    int TimeBeforeIdleBehaviour = 0;
    uint8_t SelectByClient = 0;
    uint8_t OfflineModeWithSZEL = 0;
    uint8_t DirectServerConnection = 0;
    int ActivateRemovalDetection = 0;
    int ForcedMaintenanceReboot = 0;
    char ThirdServerIlotLabel[61] = "";
    int LoginLogoffRebootLevel = 0;
    uint8_t DoAddCardInfoInFlash = 0;
    uint8_t DoCTLSEuroOnly = 0;
    uint8_t ShutdownTerminalWhenTransactionCompleted = 0;
    uint8_t ISO2ControlBypass = 0;
    uint8_t SwitchTerminal = 0;
    uint8_t IdHardReboot = 0;
    int IsEchoSimulated = 0;
    uint8_t DeactivateOfflineValidation = 0;
    uint8_t OfflineModeInhibitAbort = 0;
    char DeactivateCardRemovalFor[201] = "";
    uint8_t ACI_ActivateCardReadingBypass = 0;
    uint8_t MaintainerTillRight = 0;
    int TalvoTransportBeAdded = 0;
    char TradingNameSpecificBehavior[61] = "";  // kept
    int NetResourceIndexToUse = 0;
    int IsServerCompatibleV2 = 1;
    char LastPOSNumberUsed[8] = "";
    int PhysicalFileNameSearchCalculation = 0;
    int FilesToDownloadLevel = 0;
    int PreventHolderCancelCTLS = 0;
    int OfflineTroncatePANLevel = 0;
    char OfflineFlashInfoBehavior = 'B';
    char OfflineTransactionNumber[4] = "001";
    int ActivateMuteCardRemovalEnd = 0;
    int AskForRemovalIfISO2Deactivated = 0;
    uint8_t ActivateInteroper = 0;
    int TrsUploadNbRetryOnFail = 0;
    int DonationVersion = 0;
    char OfflineTDenial[11] = "DC70B80000";
    int TerminalModelNumber = 0;
    uint8_t SimulCardDetection = 0;
    // "param"
    int NumericalLanguage = 250;
    int CountryCode = 250;
};

// The process-wide option values, read by every part of the program (main
// thread only, no lock).
extern OptionValues Options;

// Reads "znpop" then "param" into Options. 0 when both files were read; 1
// when one could not be opened (the keys of "znpop" already read stay).
int TOC_LoadOptions();

// Writes one key of "znpop" and saves the file (atomically); the result of
// the save (1), -1 when it failed, or 0 without a text manager.
int WriteOption(const char* key, const char* value);

// Every option back to its default, "kept" ones included, heap texts
// released (a new EFT context starts from here).
void ClearOptionValues();

// Each key looked up in the options files goes to the observer (the test of
// the options reference, station/option_reference.h, collects them). Null
// removes it. NoteOptionKeyRead is called by every reader of these files.
using OptionKeyObserver = void (*)(const char* key);
void SetOptionKeyObserver(OptionKeyObserver observer);
void NoteOptionKeyRead(const char* key);

// Called at the end of every successful load, after the files were read;
// tests put scenario values in place with it. Null removes it.
using OptionsLoadHook = void (*)();
void SetOptionsLoadHook(OptionsLoadHook hook);
