#include "transactions/terminal_commands.h"

#include <strings.h>

#include <cstring>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "comm/shared_connections.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "platform/net_socket.h"
#include "protocols/term_print.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "transactions/port_search.h"
#include "transactions/pos_answer.h"

namespace {

constexpr int kReader = 4;
constexpr int kPrinter = 1;
constexpr int kDisplay = 0;
constexpr int kChequeReader = 3;
constexpr size_t kSerialDigits = 12;
constexpr int kRudaProtocol = 16;
constexpr int kLongReadMs = 7000;
constexpr int kLongReadPollMs = 30;
constexpr int kShortFirstLinkTimeoutMs = 50;
constexpr int kEventSliceMs = 200;
// PV_NET_TIMEOUT re-reads allowed to the slow contactless readers, and the
// bound on re-reads of "unknown" and "not yet" answers of a cancel.
constexpr int kCancelTimeoutRereads = 2;
constexpr int kCancelRereadsMax = 50;

TransactionRecord* Record() { return GetTransactionRecord(); }

bool AllZeros(const char* text) { return std::strspn(text, "0") == std::strlen(text); }

// Traces a failed step under its category, clears the script, the status.
int Failed(const char* category, const char* message, int status) {
    TraceLog(TRACE_ERROR, category, message, status);
    EPAP_ClearAll();
    return status;
}

// The link time-outs back to their defaults, or the first at 50 ms.
void DefaultLinkTimeouts() { EPAP_SetLinkTimeouts(kReader, -2, -2, -2, -2, -2, -2, -2); }
void ShortFirstLinkTimeout() { EPAP_SetLinkTimeouts(kReader, kShortFirstLinkTimeoutMs, -2, -2, -2, -2, -2, -2); }

bool KeyAbortArmed(const CardReadRecord* record) {
    return record->keyAbortRequested == 1 && record->keyAbortRequestedByte == 1;
}

// Mode of the card-status command (start or stop); -1 when nothing is sent.
int CardStatusMode(const CardReadRecord* record, bool start) {
    if (Options.ClsOnly == 0) return start ? 1 : 0;
    if (Options.ClsOnly == 1 && KeyAbortArmed(record)) return start ? 4 : 8;
    return -1;
}

bool IsCommand(const char* cd, const char* wanted) { return cd != nullptr && strcasecmp(cd, wanted) == 0; }

bool IsRudaReader() { return EPAP_GetProtocol(kReader) == kRudaProtocol; }

// The socket of the reader's link: the handle itself over TCP, the socket of
// the shared-table entry over TLS (server mode); -1 none.
int TerminalSocket(const ComResource& com) {
    if (com.reseauType != 4) return com.handle;
    WShared& table = WSharedTable();
    if (com.handle < 1 || com.handle >= table.size()) return -1;
    return table.entry(com.handle)->Socket;
}

}  // namespace

int TermCardStatus(CardReadRecord* record) {
    TransactionRecord* r = Record();
    if (record == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    int status = EPAP_SetCommand(kReader, 100, record);
    if (status != 0) return Failed("[CARD_STATUT]", "Formatage des scripts de lecture carte echoue (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[CARD_STATUT]", "Envoi des scripts de lecture carte echoue (%d)", status);
    status = EPAP_GetResult(kReader, 100, record, &r->terminalResultArea, static_cast<int>(Options.ActivateInteroper));
    if (status == PV_NOT_YET || status == PV_CMD_NOTHING) return 0;
    return status;
}

int TermCardStatusOn(CardReadRecord* record) {
    if (record == nullptr) return PV_CMD_INTERNAL;
    const int mode = CardStatusMode(record, true);
    if (mode < 0) return 0;
    record->mode = static_cast<uint8_t>(mode);
    return TermCardStatus(record);
}

int TermCardStatusOff(CardReadRecord* record) {
    if (record == nullptr) return PV_CMD_INTERNAL;
    const int mode = CardStatusMode(record, false);
    if (mode < 0) return 0;
    record->mode = static_cast<uint8_t>(mode);
    const int status = TermCardStatus(record);
    if (status == 0) EPAP_ClearAll();
    return status;
}

int TermAbort(int wait) {
    int status = EPAP_SetCommand(kReader, 14);
    if (status != 0) return Failed("[ABORT]", "Erreur lors du formatage d'un ABORT (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[ABORT]", "Erreur lors de l'envoie d'un ABORT (%d)", status);
    status = EPAP_GetResult(kReader, 14);
    if (status != 0) return Failed("[ABORT]", "Erreur lors de la réception d'un ABORT (%d)", status);
    if (wait >= 1) {
        ShortFirstLinkTimeout();
        status = EPAP_GetResult(kReader, 14);
        DefaultLinkTimeouts();
        if (status != 0) {
            TraceLog(TRACE_INFO, "[ABORT]", "2eme reponse de l'ABORT non recu (non obligatoire) (%d)", status);
            EPAP_ClearAll();
            return status;
        }
    }
    EPAP_ClearAll();
    return 0;
}

int TermPrintLine(const char* text, int length) {
    TermPrintRecord line{PRINT_KIND_TEXT, length, reinterpret_cast<const unsigned char*>(text), 0, 0};
    int status = EPAP_SetCommand(kPrinter, 13, &line);
    if (status != 0)
        return Failed("[PRINT]", "Positonnement de la commande d'ajustement du nombre de colonne echouee (%d)",
                      status);
    status = EPAP_SendScriptCommands();
    if (status == 0) status = EPAP_GetResultEx(kPrinter, 13, kLongReadMs, kLongReadPollMs);
    if (status != 0) return Failed("[PRINT]", "Erreur d'impression (%d)", status);
    EPAP_ClearAll();
    return 0;
}

int TermGetPrintStatus(int value) {
    int status = EPAP_SetCommand(kPrinter, 15);
    if (status != 0) return Failed("[PRINT]", "%d", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[PRINT]", "Erreur GetPrintStatus (%d)", status);
    status = EPAP_GetResult(kPrinter, 15, value);
    EPAP_ClearAll();
    return status;
}

int TermResetDevice(int kind, int option) {
    int status = EPAP_SetCommand(kReader, 152, kind, option);
    if (status != 0) return Failed("[RESET_DEVICE]", "Erreur lors du formatage d'un RESET_DEVICE (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[RESET_DEVICE]", "Erreur lors de l'envoie d'un RESET_DEVICE (%d)", status);
    // The answer carries the terminal's serial number: it is copied over the
    // zeros (up to their length), and kept when the terminal gave one.
    char serial[kSerialNumberMax + 1];
    std::memset(serial, '0', kSerialNumberMax);
    serial[kSerialNumberMax] = '\0';
    status = EPAP_GetResult(kReader, 152, serial);
    if (status != 0) return Failed("[RESET_DEVICE]", "Erreur lors de la reception d'un RESET_DEVICE (%d)", status);
    KeepTerminalSerialNumber(serial);
    EPAP_ClearAll();
    return 0;
}

bool TerminalSerialNumberKnown() {
    const TransactionRecord* r = Record();
    return r != nullptr && r->terminalSerialNumberLength > 0 && !AllZeros(r->terminalSerialNumber);
}

void KeepTerminalSerialNumber(const char* serial) {
    TransactionRecord* r = Record();
    if (r == nullptr || serial == nullptr) return;
    const size_t length = strnlen(serial, kSerialNumberMax);
    if (length == 0 || AllZeros(serial)) return;
    char kept[kSerialNumberMax + 1];
    std::memcpy(kept, serial, length);
    kept[length] = '\0';
    // A short number reads as the terminal's twelve characters, padded with '0'.
    size_t n = length;
    if (n < kSerialDigits) {
        std::memset(kept + n, '0', kSerialDigits - n);
        n = kSerialDigits;
        kept[n] = '\0';
    }
    std::memcpy(r->terminalSerialNumber, kept, n + 1);
    r->terminalSerialNumberLength = static_cast<int32_t>(n);
}

int GetTerminalSerialNumber() {
    TransactionRecord* r = Record();
    if (r == nullptr) return 0;
    std::memset(r->terminalSerialNumber, 0, sizeof r->terminalSerialNumber);
    r->terminalSerialNumberLength = 0;
    // The card reader first, then the display, then the cheque reader.
    char serial[kSerialDigits + 1];
    for (const int function : {kReader, kDisplay, kChequeReader}) {
        if (EPAP_GetSerialNumber(function, serial) == 1 && !AllZeros(serial)) {
            KeepTerminalSerialNumber(serial);
            return 0;
        }
    }
    std::memset(r->terminalSerialNumber, '0', kSerialNumberMax);
    r->terminalSerialNumber[kSerialNumberMax] = '\0';
    r->terminalSerialNumberLength = kSerialNumberMax;
    return 0;
}

int TermPowerCardReader(int on) {
    const char* category = "[POWERCARDREADER_ONOFF]";
    int status = EPAP_SetCommand(kReader, 159, on);
    if (status != 0) return Failed(category, "Erreur lors du formatage d'un POWERCARDREADER_ONOFF (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed(category, "Erreur lors de l'envoie d'un POWERCARDREADER_ONOFF (%d)", status);
    status = EPAP_GetResult(kReader, 159);
    if (status != 0) return Failed(category, "Erreur lors de la reception d'un POWERCARDREADER_ONOFF (%d)", status);
    EPAP_ClearAll();
    return 0;
}

int TermSelectAid() {
    TransactionRecord* r = Record();
    if (r == nullptr) return PV_CMD_INTERNAL;
    int status = EPAP_SetCommand(kReader, 101, &r->terminalResultArea);
    if (status != 0) return Failed("[SELECT_AID]", "Formatage des scripts de Select echoue (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[SELECT_AID]", "Envoi des scripts de Select echoue (%d)", status);
    return 0;
}

int TermSelectAidResult() {
    TransactionRecord* r = Record();
    if (r == nullptr) return PV_CMD_INTERNAL;
    const int status = EPAP_GetResult(kReader, 101, &r->terminalResultArea);
    if (status == PV_NOT_YET)
        TraceLog(TRACE_INFO, "[SELECT_AID]", "Il reste des AID à envoyer");
    else if (status != 0)
        TraceLog(TRACE_ERROR, "[SELECT_AID]", "Echec de la reception des scripts de Select (%d)", status);
    EPAP_ClearAll();
    return status;
}

int TermOpenInitCtl() {
    if (Options.ClsMaximalAmount < 1 || !IsRudaReader()) return 0;
    const char* category = "[OPEN_INIT_CTL]";
    int status = EPAP_SetCommand(kReader, 130);
    if (status != 0) return Failed(category, "Formatage des scripts de OPEN_INIT_CTL echoue (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed(category, "Envoi des scripts de OPEN_INIT_CTL echoue (%d)", status);
    status = EPAP_GetResultEx(kReader, 130, kLongReadMs, kLongReadPollMs);
    if (status != 0) return Failed(category, "Reception des scripts de OPEN_INIT_CTL echoue (%d)", status);
    EPAP_ClearAll();
    return 0;
}

int SetTransactionTypeFromCommand() {
    TransactionRecord* r = Record();
    if (r == nullptr) return 0;
    static const struct {
        const char* cd;
        int type;
    } kTypes[] = {{"c1", 0}, {"c2", 20}, {"c3", 81}, {"c5", 0}, {"c6", 0}, {"c7", 0}, {"cc", 111}};
    for (const auto& t : kTypes)
        if (IsCommand(r->command, t.cd)) {
            r->ctlsTransactionData.type = t.type;
            r->ctlsTransactionData.typePresent = 1;
        }
    return r->ctlsTransactionData.typePresent == 1 ? 1 : 0;
}

int TermStartContactless() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = Record();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    const char* category = "[START_CTL_TRS]";
    SetTransactionTypeFromCommand();
    r->ctlsTransactionData.typePresent = 1;
    int status = EPAP_SetCommand(kReader, 131, &r->ctlsTransactionData, static_cast<int>(Options.ClsMaximalAmount),
                                Options.CountryCode);
    if (status != 0) {
        TraceLog(TRACE_ERROR, category, "Formatage des scripts de START_CTL_TRS echoue (%d)", status);
    } else if ((status = EPAP_SendScriptCommands()) != 0) {
        TraceLog(TRACE_ERROR, category, "Envoi des scripts de START_CTL_TRS echoue (%d)", status);
    } else {
        // Until an event, or the wait fails (a lost link would otherwise
        // keep it going for ever), or the cash register aborts.
        for (;;) {
            char event[8] = {};
            const int waited = EPAP_WaitEvent(kReader, kEventSliceMs, event);
            if (waited == 0 || event[0] == 'A' || c->abortInCallback != 0 || waited != PV_NOT_YET) break;
        }
        status = EPAP_GetResult(kReader, 131, &r->cardReadRecord, &r->terminalResultArea,
                                static_cast<int>(Options.ActivateInteroper));
        if (status == PV_NOT_YET) status = 0;
        if (status != 0)
            TraceLog(TRACE_ERROR, category, "Recuperation des scripts de START_CTL_TRS echoue (%d)", status);
    }
    if (IsCommand(r->command, "c3")) r->ctlsTransactionData.type = 81;
    if (Options.ClsOnly == 0 || (Options.ClsOnly == 1 && KeyAbortArmed(&r->cardReadRecord))) EPAP_ClearAll();
    return status;
}

int TermCancelContactless(int clear) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = Record();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    const char* category = "[CANCEL_CTL_TRS]";
    const auto end = [clear](int status) {
        if (clear != 0) EPAP_ClearAll();
        return status;
    };
    int status = EPAP_SetCommand(kReader, 132);
    if (status != 0) {
        TraceLog(TRACE_ERROR, category, "Formatage des scripts de CANCEL_CTL_TRS echoue (%d)", status);
        return end(status);
    }
    status = EPAP_SendScriptCommands();
    if (status != 0) {
        TraceLog(TRACE_ERROR, category, "Envoi des scripts de CANCEL_CTL_TRS echoue (%d)", status);
        return end(status);
    }
    const bool slowReader = r->terminalModel == kModelLR510 || r->terminalModel == kModelLR531;
    int timeoutRereads = 0;
    for (int reads = 0;; ++reads) {
        status = EPAP_GetResult(kReader, 132, &r->cardReadRecord, &r->terminalResultArea);
        if (c->terminalRecord != nullptr) PortOpen(c->terminalRecord->port);
        if (status == 0) return end(0);
        bool again = status == PV_CMD_UNKNOWN || status == PV_NOT_YET;
        if (status == PV_NET_TIMEOUT && slowReader && timeoutRereads < kCancelTimeoutRereads) {
            ++timeoutRereads;
            again = true;
        }
        // A terminal that keeps answering "not yet" cannot hold the
        // transaction for ever.
        if (!again || reads + 1 >= kCancelRereadsMax) break;
    }
    TraceLog(TRACE_ERROR, category, "Recuperation de la notification de CANCEL_CTL_TRS echoue (%d)", status);
    return end(status);
}

int TermGetInfo(int force, int ctlsRetry) {
    TransactionRecord* r = Record();
    if (r == nullptr) return -1;
    if (force == 0 && r->terminalInfo.identifier[0] != '\0') return 0;
    for (;;) {
        std::memset(&r->terminalInfo, 0, sizeof r->terminalInfo);
        int status = EPAP_SetCommand(kReader, 93, &r->terminalInfo);
        if (status != 0) {
            Failed("[EVENT]", "Creation de la demande d'info echouee (%d)", status);
            return -1;
        }
        EPAP_SendScriptCommands();
        status = EPAP_GetResult(kReader, 93, &r->terminalInfo);
        EPAP_ClearAll();
        if (status != 0) {
            TraceLog(TRACE_ERROR, "[EVENT]", "Lecture de la reponse de demande d'info echouee (%d)", status);
            return -1;
        }
        if (!(Options.ClsMaximalAmount > 0 && ctlsRetry != 0 && r->infoRetried == 0)) break;
        r->infoRetried = 1;
    }
    const TerminalPartInfo& base = r->terminalInfo.parts[0];
    if (base.serialLength > 0) {
        char serial[kSerialDigits + 1];
        std::memcpy(serial, base.serial, kSerialDigits);
        serial[kSerialDigits] = '\0';
        KeepTerminalSerialNumber(serial);
    }
    return 0;
}

int TermBarcodeCommand(int a, int b, int c) {
    int status = EPAP_SetCommand(kReader, 178, a, b, c);
    if (status != 0)
        return Failed("[BARCODE]", "Mise en place du script d'activation code barre echouee (%d)", status);
    status = EPAP_SendScriptCommands();
    if (status != 0) return Failed("[BARCODE]", "Emission du script echouee d'activation code barre (%d)", status);
    return 0;
}

int TermReadBarcode(char* buffer, int wait) {
    if (buffer == nullptr) return PV_CMD_INTERNAL;
    std::memset(buffer, 0, kTermBarcodeBufferSize);
    if (wait == 0) ShortFirstLinkTimeout();
    const int status = EPAP_GetResult(kReader, 178, buffer);
    if (wait == 0) DefaultLinkTimeouts();
    return status;
}

int TermStopBarcodeReader() {
    TraceLog(TRACE_INFO, "[BARCODE]", "Arret du lecteur de codes-barres");
    int status = TermBarcodeCommand(4, 0, 0);
    if (status == 0) {
        char buffer[kTermBarcodeBufferSize];
        status = TermReadBarcode(buffer, 1);
        std::memset(buffer, 0, sizeof buffer);
        if (status == 0) TraceLog(TRACE_INFO, "[BARCODE]", "Arret du lecteur de codes-barres effectue");
    }
    EPAP_ClearAll();
    return status;
}

int TermStartRemovalDetection() {
    TransactionRecord* r = GetTransactionRecord();
    if (Options.ActivateRemovalDetection == 0 || r == nullptr) return 0;
    r->cardReadRecord.mode = 2;
    return TermCardStatus(&r->cardReadRecord);
}

int TermDetectCardPresent(CardReadRecord* record) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = Record();
    if (record == nullptr || c == nullptr || r == nullptr) return 1;
    record->chipOptions = 0x11;
    record->timeoutTenths = 4;
    record->chipRequested = 1;
    record->timeoutEnabled = 1;
    r->echoTimeoutMs = 500;
    c->terminalFunction = kReader;
    EPAP_ClearAll();
    TraceLog(TRACE_INFO, "[CARD]", "Detection carte deja presente");
    const int mode = CardStatusMode(record, true);
    if (mode >= 0) {
        record->mode = static_cast<uint8_t>(mode);
        TermCardStatus(record);
    }
    const bool present = record->presentCount != 0;
    EPAP_ClearAll();
    TermCardStatusOff(record);
    EPAP_ClearAll();
    const int32_t count = record->presentCount;
    std::memset(record, 0, sizeof *record);
    record->presentCount = count;
    return present ? 0 : 1;
}

int TermGetCardResult(int command) {
    TransactionRecord* r = Record();
    if (r == nullptr) return PV_CMD_INTERNAL;
    return EPAP_GetResult(kReader, command, &r->cardReadRecord, &r->terminalResultArea,
                          static_cast<int>(Options.ActivateInteroper), 0);
}

int TermReset(const char* code, int wait) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = Record();
    if (c == nullptr || r == nullptr) return 1;
    if (Options.WaitForPinpad != 0 && r->terminalServerWait != 0) return 0;
    CardReadRecord& card = r->cardReadRecord;
    if (Options.ClsMaximalAmount > r->amount && (r->readerSet & kReaderChip) != 0 &&
        card.technology == CARD_TECH_CONTACTLESS)
        TermCancelContactless(1);
    TermAbort(wait);
    if (IsCommand(r->service, "s4") && IsCommand(r->command, "c18") && c->authorisationMode == 1 && card.status == 1)
        TermCardStatusOff(&card);
    const int kind = code != nullptr && std::strcmp(code, "9002") == 0 ? 1 : 0;
    int option = (Options.Beep & 4) != 0 ? 0x27 : 0x2f;
    if ((Options.Automatic & 2) != 0 && Options.CardRemovalMode != 0 && !IsCommand(r->service, "s4") &&
        card.chipRequested == 1 && ((card.chipOptions & 0x13) == 0x13 || (card.chipOptions & 0x11) == 0x11)) {
        TraceLog(TRACE_INFO, "[RUDA]", "Reset avec retrait carte");
        option += 0x10;
    }
    if (r->waitBeforeReset != 0) plat::SleepMs(2000);
    if (TermResetDevice(kind, option) != 0) {
        TraceLog(TRACE_ERROR, "[RUDA]", " Echec du reset TQ");
        return 1;
    }
    if (Options.ShutdownTerminalWhenTransactionCompleted != 0) TermPowerCardReader(0);
    return 0;
}

int TermCheckSocket() {
    const KT_PERES* resource = TWEP_FindFunction(EPAP_GetBox(), kReader, 1);
    if (resource == nullptr) {
        TraceLog(TRACE_ERROR, "[SOCKET]", "Pas de ressource fonctionnelle recuperee");
        return 0;
    }
    ComResource* com = WCOM_GetResourceByNum(resource->port);
    if (com == nullptr) {
        TraceLog(TRACE_DEBUG, "[SOCKET]", "Impossible de recuperer la ressource de COMM");
        return 0;
    }
    const int fd = TerminalSocket(*com);
    if (plat::SocketSetSendTimeout(fd, 30000) != 0) WSysError("-- ERROR --  Echec setsockopt SO_SNDTIMEO.1");
    const unsigned char zero = 0;
    const int sent = PortEmist(resource->port, &zero, 1, 0);
    if (plat::SocketSetSendTimeout(fd, 0) != 0) WSysError("-- ERROR --  Echec setsockopt SO_SNDTIMEO.2");
    if (sent >= 0) {
        TraceLog(TRACE_DEBUG, "[SOCKET]", "SOCKET toujours OK");
        return 1;
    }
    TraceLog(TRACE_DEBUG, "[SOCKET]", "SOCKET KO");
    return 0;
}

void RecoverTerminalCommunication() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = Record();
    if (c == nullptr || r == nullptr) return;
    int32_t& error = r->terminalInfoStatus;
    if (error != 0 && IsRudaReader()) {
        if (error == PV_PER_ACCES || error == PV_NET_FAILED || error == PV_NET_TIMEOUT) {
            TraceLog(TRACE_WARN, "[CARD/TLP]", "Echec de la communication avec le lecteur");
            if (FindTerminalComPort() <= 0) {
                error = PV_PER_ACCES;
            } else if (IsRudaReader()) {
                error = EPAP_SelectLanguage(kReader, r->terminalLanguageCode, 2000);
            } else {
                error = AbortTransaction("9001", 0);
                plat::SleepMs(2000);
            }
        } else if (error == PV_PROTO_ERROR) {
            TraceLog(TRACE_ERROR, "[CARD]", "Erreur communication lecteur, reboot RUDA");
            TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_REBOOT");
            EPAP_SendControlEx(kReader, "9003", 40000);
            TraceLog(TRACE_INFO, "[CARD]", "Fin reboot RUDA");
            EPAP_ClearAll();
            error = 1;
        }
    }
    if (error == 1 && IsRudaReader()) {
        error = EPAP_SelectLanguage(kReader, r->terminalLanguageCode, 2000);
        return;
    }
    if (error == 0 || error == 1) return;
    KT_PERES* resource = TWEP_FindFunction(EPAP_GetBox(), kReader, 1);
    c->terminalRecord = resource;
    if (resource == nullptr) return;
    const ComResource* com = WCOM_GetResourceByNum(resource->port);
    if (com != nullptr && com->type == WCOM_TYPE_CONNECTED) {
        TraceLog(TRACE_INFO, "[CARD]", "Purge de la messagerie pour cause d'erreur de communication");
        EPAP_PurgeLink(kReader, 3);
    }
}

void CheckAciBypassCommand(const char* cd) {
    if (Options.ACI_ActivateCardReadingBypass != 1) return;
    if (cd == nullptr || *cd == '\0')
        TraceLog(TRACE_WARN, "[ACIBYPASS]", "Commande envoyee par la caisse non connu");
}
