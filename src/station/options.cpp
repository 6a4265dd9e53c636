// Options files "znpop" and "param" of "WPAF", read key by key into Options.
#include "station/options.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/comm_services.h"
#include "core/dates.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "station/eft_context.h"
#include "station/text_field.h"

OptionValues Options;

namespace {

OptionsLoadHook g_loadHook = nullptr;
OptionKeyObserver g_keyObserver = nullptr;

CSIBox* OptionsBox() {
    EFTCBox* context = GetEftContext();
    return context != nullptr ? context->box : nullptr;
}

// Country 0, directory "WPAF" of the main path, then the file opened with
// parsing and checking. 1, or negative.
int OpenOptionsFile(const char* family) {
    EFTCBox* context = GetEftContext();
    CSIBox* box = OptionsBox();
    if (box == nullptr) return -1;
    KTS_SetCountry(box, 0);
    if (context != nullptr) KTS_SetDirectory(box, EFTOC_GetDirectory(context, "WPAF"));
    return KTS_SetFile(box, family);
}

// The value of a key, or null when absent or empty.
const char* Value(const char* key) {
    NoteOptionKeyRead(key);
    const char* text = KTS_GetItemText(OptionsBox(), key);
    return text != nullptr && *text != '\0' ? text : nullptr;
}

// Leading-number conversion: blanks, a sign, digits; 0 when there is none.
long Decimal(const char* text) {
    if (text == nullptr) return 0;
    const long value = std::strtol(text, nullptr, 10);
    return value;
}

int DecimalInt(const char* text) {
    const long value = Decimal(text);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void FreeText(char*& text) {
    WFree(text);
    text = nullptr;
}

char* HeapCopy(const char* text) {
    const size_t length = std::strlen(text);
    char* copy = static_cast<char*>(WAlloc(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

// Integer key: the decimal value when present, else the value given.
template <typename T>
void ReadDecimal(const char* key, T& field) {
    if (const char* v = Value(key)) field = static_cast<T>(DecimalInt(v));
}

template <typename T, typename Accept>
void ReadDecimalIf(const char* key, T& field, Accept accept) {
    if (const char* v = Value(key)) {
        const long value = Decimal(v);
        if (accept(value)) field = static_cast<T>(value);
    }
}

// Text key of a fixed area: an over-long value is refused with a trace line
// and the field keeps its value.
template <size_t N>
void ReadText(const char* key, char (&field)[N]) {
    const char* v = Value(key);
    if (v == nullptr) return;
    if (std::strlen(v) >= N) {
        TraceLog(TRACE_WARN, "[LOAD]", "Option %s trop longue (%zu caracteres, %zu au plus), ignoree",
                 key, std::strlen(v), N - 1);
        return;
    }
    CopyField(field, v);
}

void ReadHeapText(const char* key, char*& field) {
    if (const char* v = Value(key)) field = HeapCopy(v);
}

// First 32 characters over a field of 32 blanks.
void ReadBlankPadded(const char* key, char (&field)[33]) {
    if (const char* v = Value(key)) {
        std::memset(field, ' ', 32);
        field[32] = '\0';
        std::memcpy(field, v, strnlen(v, 32));
    }
}

void ReadCleanTicket() {
    const char* v = Value("CleanTicket");
    if (v == nullptr) return;
    if (std::strcmp(v, "1") == 0) {
        Options.CleanTicket = 1;
        Options.CleanTicketBefore = 0;
        Options.CleanTicketCut = 0;
    } else if (std::strcmp(v, "0") == 0) {
        Options.CleanTicket = 0;
    } else if (std::strlen(v) > 2 && std::strchr(v, ',') != nullptr) {
        int before = 0, cut = 0;
        if (std::sscanf(v, "%d,%d", &before, &cut) == 2) {
            Options.CleanTicket = 1;
            Options.CleanTicketBefore = before;
            Options.CleanTicketCut = cut;
        } else {
            Options.CleanTicket = DecimalInt(v);
        }
    } else {
        Options.CleanTicket = DecimalInt(v);
    }
}

// Defaults of "znpop" that a reload puts back; "kept" keys and the values set
// elsewhere are restored around the reset.
void ResetZnpopDefaults() {
    const OptionValues old = Options;
    FreeText(Options.CardPrintingFormat);
    FreeText(Options.AdditionalPrintingFormat);
    FreeText(Options.CheckPrintingFormat);
    FreeText(Options.AdditionalTags);
    FreeText(Options.ConditionalAdditionalTags);
    FreeText(Options.StorageCert);
    char* range = Options.RangePOSForbidden;
    Options = OptionValues{};
    Options.LogSize = old.LogSize;
    Options.LogCloseLogFileOnEachWrite = old.LogCloseLogFileOnEachWrite;
    Options.ClsOnly = old.ClsOnly;
    Options.RangePOSForbidden = range;
    CopyField(Options.TradingNameSpecificBehavior, old.TradingNameSpecificBehavior);
    Options.CleanTicketBefore = old.CleanTicketBefore;
    Options.CleanTicketCut = old.CleanTicketCut;
    Options.NumericalLanguage = old.NumericalLanguage;
    Options.CountryCode = old.CountryCode;
}

void DefaultLastPosNumber() {
    const TransactionRecord* record = GetTransactionRecord();
    const EFTCBox* context = GetEftContext();
    if (record != nullptr && record->requestStation[0] != '\0')
        CopyField(Options.LastPOSNumberUsed, record->requestStation);
    else if (record != nullptr && record->station[0] != '\0')
        CopyField(Options.LastPOSNumberUsed, record->station);
    else if (context != nullptr)
        CopyField(Options.LastPOSNumberUsed, std::to_string(context->station).c_str());
}

void ReadZnpop() {
    EFTCBox* context = GetEftContext();
    OptionValues& o = Options;
    if (const char* v = Value("PosGuiOptions")) {
        unsigned mask = 0;
        if (std::sscanf(v, "%X", &mask) == 1) o.PosGuiOptions = static_cast<int>(mask);
    }
    if (const char* v = Value("LogSize"); v != nullptr && DecimalInt(v) > 0) {
        o.LogSize = DecimalInt(v);
        if (context != nullptr) {
            context->logSizeKb = o.LogSize;
            EFTOC_SetDebugLevel(context, 1);
        }
        WComTraceSetMaxSize(o.LogSize);
        TWI_SetSpoolMaxSize(o.LogSize);
    }
    if (const char* v = Value("LogCloseLogFileOnEachWrite"); v != nullptr && DecimalInt(v) > 0) {
        o.LogCloseLogFileOnEachWrite = DecimalInt(v);
        if (context != nullptr) context->exchangeLogCloseEach = 1;
    }
    ReadDecimal("PosTicketMode", o.PosTicketMode);
    ReadDecimalIf("SpecialMenu", o.SpecialMenu, [](long v) { return v == 1; });
    ReadDecimal("TouchMode", o.TouchMode);
    ReadDecimal("ManualMode", o.ManualMode);
    ReadDecimal("OfflineMode", o.OfflineMode);
    ReadDecimal("OfflinePaymentType", o.OfflinePaymentType);
    ReadDecimal("OfflineTotalTrs", o.OfflineTotalTrs);
    ReadDecimal("OfflineTotalAmount", o.OfflineTotalAmount);
    const auto notNegative = [](long v) { return v >= 0; };
    const auto positive = [](long v) { return v > 0; };
    ReadDecimalIf("NumericalCurrency", o.NumericalCurrency, notNegative);
    ReadDecimalIf("CurrencyDecimalPosition", o.CurrencyDecimalPosition, notNegative);
    if (const char* v = Value("AlphabeticalCurrency")) CopyText(o.AlphabeticalCurrency, 4, v);
    ReadDecimal("OfflineTicket", o.OfflineTicket);
    ReadDecimalIf("OfflineTimeout", o.OfflineTimeout, notNegative);
    if (const char* v = Value("OfflineMsgDisplayTime")) {
        unsigned value = 0;
        if (std::sscanf(v, "%u", &value) == 1) o.OfflineMsgDisplayTime = value;
    }
    ReadDecimalIf("OfflineMaxAmount", o.OfflineMaxAmount, [](long v) { return v != 0; });
    ReadDecimalIf("OfflineCTLSMaxAmount", o.OfflineCTLSMaxAmount, [](long v) { return v != 0; });
    ReadText("Enseigne", o.Enseigne);
    ReadDecimal("TelechMode", o.TelechMode);
    ReadDecimal("UploadNeeded", o.UploadNeeded);
    ReadDecimal("ExitAfterUpload", o.ExitAfterUpload);
    if (const char* v = Value("UploadTime"); v != nullptr && std::strlen(v) == 6 && WCheckTime(v) == 1)
        CopyField(o.UploadTime, v);
    if (const char* v = Value("UploadDate"); v != nullptr && std::strlen(v) == 8 && WCheckDate(v) == 1)
        CopyField(o.UploadDate, v);
    ReadDecimal("AbortOnPinPad", o.AbortOnPinPad);
    ReadDecimalIf("DetectionTimeout", o.DetectionTimeout, positive);
    ReadDecimalIf("RemovalTimeout", o.RemovalTimeout, positive);
    ReadDecimal("CheckSpeed", o.CheckSpeed);
    ReadDecimal("CheckCom", o.CheckCom);
    ReadDecimal("Automatic", o.Automatic);
    ReadDecimal("Beep", o.Beep);
    ReadDecimal("TestCardMode", o.TestCardMode);
    if (const char* v = Value("CardRemovalMode"); v != nullptr && Decimal(v) == 0) o.CardRemovalMode = 0;
    ReadDecimalIf("IsoReadMode", o.IsoReadMode, [](long v) { return v == 1 || v == 2; });
    if (const char* v = Value("Iso2ControlLevel"))
        o.Iso2ControlLevel = static_cast<int8_t>(static_cast<uint8_t>(Decimal(v) & 0xFF));
    ReadDecimalIf("Iso2MaximalTries", o.Iso2MaximalTries, notNegative);
    ReadDecimalIf("ClsMaximalAmount", o.ClsMaximalAmount, notNegative);
    ReadDecimal("IsConcurrentCheckCard", o.IsConcurrentCheckCard);
    ReadDecimal("IsInvisibleCheck", o.IsInvisibleCheck);
    ReadDecimalIf("Cmc7MaximalTries", o.Cmc7MaximalTries, notNegative);
    ReadDecimalIf("SafeReset", o.SafeReset, notNegative);
    ReadDecimal("TicketValidationTimeout", o.TicketValidationTimeout);
    ReadHeapText("CardPrintingFormat", o.CardPrintingFormat);
    ReadHeapText("AdditionalPrintingFormat", o.AdditionalPrintingFormat);
    ReadHeapText("CheckPrintingFormat", o.CheckPrintingFormat);
    ReadBlankPadded("Beneficiaire", o.Beneficiaire);
    ReadBlankPadded("Lieu", o.Lieu);
    if (const char* v = Value("Cmc7Print"); v != nullptr && Decimal(v) == 0) o.Cmc7Print = 0;
    ReadCleanTicket();
    ReadDecimal("ConnectedMode", o.ConnectedMode);
    ReadText("IlotLabel", o.IlotLabel);
    ReadDecimalIf("AddPosNumber", o.AddPosNumber, [](long v) { return v == 1; });
    ReadDecimalIf("ServerIdentifierOffset", o.ServerIdentifierOffset, positive);
    ReadDecimalIf("ServerIdentifierSize", o.ServerIdentifierSize, positive);
    ReadDecimalIf("ClsVersion", o.ClsVersion, positive);
    ReadDecimalIf("ClsOnly", o.ClsOnly, notNegative);
    ReadDecimalIf("ClsAffDelai", o.ClsAffDelai, positive);
    ReadDecimal("ExitOnDeathPOS", o.ExitOnDeathPOS);
    if (const char* v = Value("TransactionNumber"); v != nullptr && Decimal(v) > 0)
        ReadText("TransactionNumber", o.TransactionNumber);
    if (const char* v = Value("NumTrsMonCaisse"); v != nullptr && Decimal(v) > 0)
        ReadText("NumTrsMonCaisse", o.NumTrsMonCaisse);
    ReadHeapText("AdditionalTags", o.AdditionalTags);
    ReadHeapText("ConditionalAdditionalTags", o.ConditionalAdditionalTags);
    ReadHeapText("StorageCert", o.StorageCert);
    ReadDecimalIf("TotalMode", o.TotalMode, notNegative);
    ReadDecimalIf("MandatoryAmount", o.MandatoryAmount, [](long v) { return v == 1; });
    if (const char* v = Value("RangePOSForbidden")) {
        // The new copy replaces the old one only when it could be made.
        if (char* copy = HeapCopy(v)) {
            FreeText(o.RangePOSForbidden);
            o.RangePOSForbidden = copy;
        }
    }
    ReadDecimalIf("ActivateFIRAI", o.ActivateFIRAI, notNegative);
    ReadDecimalIf("FIRAIPaymentType", o.FIRAIPaymentType, notNegative);
    ReadDecimal("AskCardInsertAfterReboot", o.AskCardInsertAfterReboot);
    ReadDecimal("WaitForPinpad", o.WaitForPinpad);
    ReadDecimal("CheckPaperBeforeStartTrs", o.CheckPaperBeforeStartTrs);
    ReadText("IdleBehaviour", o.IdleBehaviour);
    ReadDecimal("TimeBeforeIdleBehaviour", o.TimeBeforeIdleBehaviour);
    ReadDecimal("SelectByClient", o.SelectByClient);
    ReadDecimal("OfflineModeWithSZEL", o.OfflineModeWithSZEL);
    ReadDecimalIf("DirectServerConnection", o.DirectServerConnection, [](long v) { return v == 1; });
    ReadDecimal("ActivateRemovalDetection", o.ActivateRemovalDetection);
    ReadDecimal("ForcedMaintenanceReboot", o.ForcedMaintenanceReboot);
    ReadText("ThirdServerIlotLabel", o.ThirdServerIlotLabel);
    ReadDecimal("LoginLogoffRebootLevel", o.LoginLogoffRebootLevel);
    ReadDecimal("DoAddCardInfoInFlash", o.DoAddCardInfoInFlash);
    ReadDecimal("DoCTLSEuroOnly", o.DoCTLSEuroOnly);
    // Logger levels: "LogLevel", "LogLoggers" and "LogLevel-<name>" of this file.
    ConfigureLogLevels();
    ReadDecimalIf("ShutdownTerminalWhenTransactionCompleted", o.ShutdownTerminalWhenTransactionCompleted,
                  [](long v) { return v == 1; });
    ReadDecimal("ISO2ControlBypass", o.ISO2ControlBypass);
    ReadDecimal("SwitchTerminal", o.SwitchTerminal);
    ReadDecimal("IdHardReboot", o.IdHardReboot);
    ReadDecimal("IsEchoSimulated", o.IsEchoSimulated);
    ReadDecimal("DeactivateOfflineValidation", o.DeactivateOfflineValidation);
    ReadDecimalIf("OfflineModeInhibitAbort", o.OfflineModeInhibitAbort, [](long v) { return v == 1; });
    ReadText("DeactivateCardRemovalFor", o.DeactivateCardRemovalFor);
    ReadDecimal("ACI_ActivateCardReadingBypass", o.ACI_ActivateCardReadingBypass);
    ReadDecimal("MaintainerTillRight", o.MaintainerTillRight);
    ReadDecimal("TalvoTransportBeAdded", o.TalvoTransportBeAdded);
    ReadText("TradingNameSpecificBehavior", o.TradingNameSpecificBehavior);
    ReadDecimalIf("NetResourceIndexToUse", o.NetResourceIndexToUse,
                  [](long v) { return v >= 0 && v <= 998; });
    ReadDecimalIf("IsServerCompatibleV2", o.IsServerCompatibleV2, [](long v) { return v == 0 || v == 1; });
    DefaultLastPosNumber();
    ReadText("LastPOSNumberUsed", o.LastPOSNumberUsed);
    if (const char* v = Value("PhysicalFileNameSearchCalculation")) {
        const int value = DecimalInt(v);
        o.PhysicalFileNameSearchCalculation = value > 1 ? 1 : value;
    }
    ReadDecimal("FilesToDownloadLevel", o.FilesToDownloadLevel);
    ReadDecimal("PreventHolderCancelCTLS", o.PreventHolderCancelCTLS);
    ReadDecimalIf("OfflineTroncatePANLevel", o.OfflineTroncatePANLevel, notNegative);
    if (const char* v = Value("OfflineFlashInfoBehavior")) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
        o.OfflineFlashInfoBehavior = c == 'B' || c == 'N' ? c : 'B';
    }
    if (const char* v = Value("OfflineTransactionNumber")) {
        CopyText(o.OfflineTransactionNumber, sizeof o.OfflineTransactionNumber, v);
    } else {
        CopyField(o.OfflineTransactionNumber, "001");
        WriteOption("OfflineTransactionNumber", o.OfflineTransactionNumber);
    }
    ReadDecimalIf("ActivateMuteCardRemovalEnd", o.ActivateMuteCardRemovalEnd,
                  [](long v) { return v >= 0 && v <= 2; });
    ReadDecimalIf("AskForRemovalIfISO2Deactivated", o.AskForRemovalIfISO2Deactivated,
                  [](long v) { return v == 1; });
    if (const char* v = Value("ActivateInteroper"))
        o.ActivateInteroper = static_cast<uint8_t>(Decimal(v) & 0xFF) == 1 ? 1 : 0;
    ReadDecimalIf("TrsUploadNbRetryOnFail", o.TrsUploadNbRetryOnFail, [](long v) { return v <= 99; });
    ReadDecimal("DonationVersion", o.DonationVersion);
    ReadText("OfflineTDenial", o.OfflineTDenial);
    ReadDecimal("TerminalModelNumber", o.TerminalModelNumber);
    ReadDecimal("SimulCardDetection", o.SimulCardDetection);
}

void ReadParam() {
    Options.NumericalLanguage = 250;
    Options.CountryCode = 250;
    ReadDecimal("NumericalLanguage", Options.NumericalLanguage);
    if (Options.NumericalLanguage == 40) Options.NumericalLanguage = 250;
    ReadDecimal("CountryCode", Options.CountryCode);
}

}  // namespace

void SetOptionsLoadHook(OptionsLoadHook hook) { g_loadHook = hook; }

void SetOptionKeyObserver(OptionKeyObserver observer) { g_keyObserver = observer; }

void NoteOptionKeyRead(const char* key) {
    if (g_keyObserver != nullptr && key != nullptr) g_keyObserver(key);
}

void ClearOptionValues() {
    FreeText(Options.CardPrintingFormat);
    FreeText(Options.AdditionalPrintingFormat);
    FreeText(Options.CheckPrintingFormat);
    FreeText(Options.AdditionalTags);
    FreeText(Options.ConditionalAdditionalTags);
    FreeText(Options.StorageCert);
    FreeText(Options.RangePOSForbidden);
    Options = OptionValues{};
}

int TOC_LoadOptions() {
    if (OpenOptionsFile("znpop") < 0) return 1;
    ResetZnpopDefaults();
    ReadZnpop();
    if (Options.DonationVersion == 2 && Options.DirectServerConnection != 1) {
        TraceLog(TRACE_WARN, "[LOAD]", "Forcage Direct Serveur connexion a 1 car Donation v2");
        Options.DirectServerConnection = 1;
    }
    if (OpenOptionsFile("param") < 0) return 1;
    ReadParam();
    if (g_loadHook != nullptr) g_loadHook();
    return 0;
}

int WriteOption(const char* key, const char* value) {
    CSIBox* box = OptionsBox();
    if (box == nullptr || box->textManager == nullptr) return 0;
    if (OpenOptionsFile("znpop") < 0) return -1;
    if (KTS_ReSetItemText(box, key, value) < 0) return 0;
    return KTS_ReSetFileText(box);
}
