// The options files' reference and the document made from it.
#include "station/option_reference.h"

#include <cstring>

namespace {

// Words used by many entries.
#define NOT_USED_OFFLINE "read and kept; offline payments are not built yet, so nothing uses it"
#define NOT_USED_TICKETS "read and kept; ticket printing is not built yet, so nothing uses it"
#define NOT_USED_CHEQUE "read and kept; the cheque path is not built yet, so nothing uses it"

const OptionReference kTable[] = {
    // --- znpop ---------------------------------------------------------
    {"znpop", "PosGuiOptions", "hexadecimal bit mask (\"4C\")", "0",
     "where the dialogues of a payment show: 0x4 the POS texts on the terminal, 0x8 no POS display, 0x10 zone "
     "entry edited by the POS, 0x40 keys and zone entries on the terminal, 0x80 no key or zone entry on the POS, "
     "0x100 selection list shown by the POS, 0x400 selection on the terminal, 0x4000 POS printing in a local "
     "window, 0x8000 no POS printing; sent to the servers as D91. The dialogues moved to the terminal's screen "
     "(0x4, 0x40, 0x400, 0x4000) are not built yet and fail",
     "by an options update (s4/c43) with D91"},
    {"znpop", "LogSize", "decimal, taken when above 0", "kept (the -m size)",
     "size in KB at which the exchange logs, the communication traces and the spool files move to their backup; "
     "also turns the debug level to 1 (the exchange logs on, even after -d0)",
     ""},
    {"znpop", "LogCloseLogFileOnEachWrite", "decimal, taken when above 0", "kept (0)",
     "the exchange logs are closed after each entry (another program may then move them)", ""},
    {"znpop", "PosTicketMode", "decimal, taken when not empty", "3",
     "how tickets go to the cash register; changed by the tag DBV of a request. " NOT_USED_TICKETS, ""},
    {"znpop", "SpecialMenu", "only 1 is taken", "0",
     "1 opens the hidden service menu (key C on the POS display P5 during a terminal wait)", ""},
    {"znpop", "TouchMode", "decimal", "0",
     "1: a touch-screen terminal; the hidden service menu opens once at the card wait (the value then becomes 2 "
     "until the options are read again)",
     ""},
    {"znpop", "ManualMode", "decimal", "0",
     "entries of the hidden service menu: bit 0 manual card entry, bit 1 manual cheque entry (the entries "
     "themselves are not built yet: they end with RS 33)",
     ""},
    {"znpop", "OfflineMode", "decimal", "0", "offline payments (bit 7: forced). " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflinePaymentType", "decimal", "10", "payment type of offline records. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineTotalTrs", "decimal", "-1", "most offline payments stored. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineTotalAmount", "decimal", "-1", "most offline amount stored. " NOT_USED_OFFLINE, ""},
    {"znpop", "NumericalCurrency", "decimal, taken when 0 or more", "978",
     "ISO 4217 number of the currency of offline payments. " NOT_USED_OFFLINE, ""},
    {"znpop", "CurrencyDecimalPosition", "decimal, taken when 0 or more", "2",
     "decimals of amounts on offline tickets. " NOT_USED_OFFLINE, ""},
    {"znpop", "AlphabeticalCurrency", "text, its first 3 characters", "EUR",
     "currency code printed on offline tickets. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineTicket", "decimal", "7", "which offline tickets print. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineTimeout", "decimal, taken when 0 or more", "0",
     "time of the offline decision. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineMsgDisplayTime", "unsigned decimal", "2000",
     "milliseconds the offline messages show. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineMaxAmount", "decimal; 0 counts as absent", "50000",
     "highest amount of an offline payment (minor unit). " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineCTLSMaxAmount", "decimal; 0 counts as absent", "3000",
     "highest amount of an offline contactless payment (minor unit). " NOT_USED_OFFLINE, ""},
    {"znpop", "Enseigne", "text, at most 60 characters (longer: refused with a trace line)", "empty",
     "trading name of the shop; selects private card ranges of offline payments. " NOT_USED_OFFLINE, ""},
    {"znpop", "TelechMode", "decimal", "0",
     "entries of the hidden service menu: bit 0 factory upload, bit 1 normal upload, bit 2 logo upload", ""},
    {"znpop", "UploadNeeded", "decimal", "0",
     "a terminal software upload (maintenance s2/c1c) runs at start-up when not 0; bit 0 asks the factory mode, "
     "which a RUDA terminal refuses (the key is then written back as 0)",
     "at start-up (0, factory mode refused) and after the upload's maintenance (its next step, or 0)"},
    {"znpop", "ExitAfterUpload", "decimal", "0",
     "not 0: the program ends (exit code 255) after a scheduled upload", ""},
    {"znpop", "UploadTime", "exactly 6 digits HHMMSS forming a valid time", "empty",
     "time of day of the scheduled terminal upload", ""},
    {"znpop", "UploadDate", "exactly 8 digits YYYYMMDD forming a valid date", "empty (today)",
     "date of the next scheduled terminal upload", "when the scheduled upload starts (the next day)"},
    {"znpop", "AbortOnPinPad", "decimal", "1",
     "1: the terminal's cancel key ends the card wait (the payment answers RS 35)", ""},
    {"znpop", "DetectionTimeout", "decimal, taken when above 0", "30000",
     "milliseconds the terminal waits for the card (then RS 30); answered as D6H by s4/c42",
     "by an options update (s4/c43) with D6H"},
    {"znpop", "RemovalTimeout", "decimal, taken when above 0", "30000",
     "milliseconds the terminal waits for the card's removal after a payment; answered as D6I by s4/c42",
     "by an options update (s4/c43) with D6I"},
    {"znpop", "CheckSpeed", "decimal", "0",
     "search of the terminal line's speed. Read and kept; the search is not built yet", ""},
    {"znpop", "CheckCom", "decimal", "0",
     "search of the terminal on the serial ports. Read and kept; the search is not built yet", ""},
    {"znpop", "Automatic", "decimal", "0",
     "automatic card handling: bits 0, 2 and 3 set options of the card reader's wait (0x40, 0x20, 0x04), bits 0 "
     "and 3 also leave out the holder prompts on a terminal of another protocol, bit 1 resets the terminal after "
     "the payment instead of waiting for the card's removal",
     ""},
    {"znpop", "Beep", "decimal", "0",
     "the terminal beeps: bit 0 when it waits for the card, bit 1 when it waits for the card's removal, bit 2 at "
     "its reset after a payment",
     ""},
    {"znpop", "TestCardMode", "decimal", "0", "D13 of the server requests that carry none (operating mode)", ""},
    {"znpop", "CardRemovalMode", "0 switches it off", "1",
     "1: after the payment the program waits for the card's removal before it answers", ""},
    {"znpop", "IsoReadMode", "only 1 or 2 are taken", "0",
     "magnetic stripe: 1 the stripe only after the chip failed, 2 the card data comes with the request", ""},
    {"znpop", "Iso2ControlLevel", "decimal, kept as a signed byte (300 gives 44)", "3",
     "checks of a swiped track: bit 0 the card number's check digit (Luhn), bit 1 the expiry; a track that fails "
     "answers RS 11",
     ""},
    {"znpop", "Iso2MaximalTries", "decimal, taken when 0 or more", "0",
     "swipes of a stripe that cannot be read before the payment ends (RS 20 after a chip incident, else 11); 0: "
     "no limit",
     ""},
    {"znpop", "ClsMaximalAmount", "decimal, taken when 0 or more", "0",
     "contactless is offered when the amount (minor unit) is below it; 0: never", ""},
    {"znpop", "IsConcurrentCheckCard", "decimal", "0",
     "a cheque may be read while a card payment (c1, c3) waits. Read; the cheque path is not built yet", ""},
    {"znpop", "IsInvisibleCheck", "decimal", "0", "cheque reading variant. " NOT_USED_CHEQUE, ""},
    {"znpop", "Cmc7MaximalTries", "decimal, taken when 0 or more", "0",
     "tries of a cheque line reading. " NOT_USED_CHEQUE, ""},
    {"znpop", "SafeReset", "decimal, taken when 0 or more", "0",
     "1: the terminal maintenance resets the terminal the safe way", ""},
    {"znpop", "TicketValidationTimeout", "decimal", "10000",
     "milliseconds to validate a ticket. " NOT_USED_TICKETS, ""},
    {"znpop", "CardPrintingFormat", "text", "none", "card ticket format. " NOT_USED_TICKETS, ""},
    {"znpop", "AdditionalPrintingFormat", "text", "none", "additional ticket lines. " NOT_USED_TICKETS, ""},
    {"znpop", "CheckPrintingFormat", "text", "none", "cheque printing format. " NOT_USED_CHEQUE, ""},
    {"znpop", "Beneficiaire", "text, its first 32 characters, padded with blanks", "32 blanks",
     "payee of cheques. " NOT_USED_CHEQUE, ""},
    {"znpop", "Lieu", "text, its first 32 characters, padded with blanks", "32 blanks",
     "place printed on cheques. " NOT_USED_CHEQUE, ""},
    {"znpop", "Cmc7Print", "0 switches it off", "1", "cheque printing. " NOT_USED_CHEQUE, ""},
    {"znpop", "CleanTicket", "\"1\" on, \"0\" off, \"n,m\" on with two numbers, else its decimal value",
     "off (0, 0)", "ticket clean-up. " NOT_USED_TICKETS, ""},
    {"znpop", "ConnectedMode", "decimal", "0",
     "1 keeps the server connection open between payments (a server's cut, message 9999, then answers the next "
     "payment RS 31)",
     ""},
    {"znpop", "IlotLabel", "text, at most 60 characters (longer: refused with a trace line)", "empty",
     "island label, sent to the servers as D7V; a request's D7V replaces it (a label holding card data is "
     "refused)",
     "when a request carries another D7V"},
    {"znpop", "AddPosNumber", "only 1 is taken", "0",
     "1: the island label taken from a request gets \"K\" and the POS number on two digits", ""},
    {"znpop", "ServerIdentifierOffset", "decimal, taken when above 0", "0",
     "position of the server identifier in a request (with ServerIdentifierSize)", ""},
    {"znpop", "ServerIdentifierSize", "decimal, taken when above 0", "0",
     "length of the server identifier in a request: with the offset, selects the network resource by its label",
     ""},
    {"znpop", "ClsVersion", "decimal, taken when above 0", "0",
     "contactless version: above 1 the trace says \"CONTACTLESS STATUS ON\"", ""},
    {"znpop", "ClsOnly", "decimal, taken when 0 or more", "kept (0)",
     "1: contactless only (no chip nor stripe is asked)", ""},
    {"znpop", "ClsAffDelai", "decimal, taken when above 0", "0",
     "milliseconds the contactless PIN prompt shows (above 5000: 3000, also in memory)", ""},
    {"znpop", "ExitOnDeathPOS", "decimal", "0",
     "1: the program ends when the cash register does not take its messages within the time-out (-t)", ""},
    {"znpop", "TransactionNumber", "text, taken when its value is above 0; at most 5 characters", "000",
     "transaction number of contactless payments (D17 of their server requests)",
     "at each card wait that offers contactless (001 to 999, then 001)"},
    {"znpop", "NumTrsMonCaisse", "text, taken when its value is above 0; at most 4 characters", "empty",
     "counter of the payment answers the cash register took (\"%04d\"), sent as D90 when the request has none",
     "at each payment answer the cash register takes, and from a request's D90"},
    {"znpop", "AdditionalTags", "text (tags)", "none", "tag text appended to every card server request", ""},
    {"znpop", "ConditionalAdditionalTags", "text (rules \"...;...*...\")", "none",
     "tags appended to a card server request when its rule matches", ""},
    {"znpop", "StorageCert", "text (a file name)", "none",
     "certificate of the key that protects stored card numbers (enciphered for the built-in key); with it the "
     "enciphered card numbers go to WOut/SP<pos>000.SPO",
     ""},
    {"znpop", "TotalMode", "decimal, taken when 0 or more", "0", "totals mode. " NOT_USED_TICKETS, ""},
    {"znpop", "MandatoryAmount", "only 1 is taken", "0", "1: a payment without D10 answers RS 36", ""},
    {"znpop", "RangePOSForbidden", "text: POS numbers and ranges separated by \";\" (\"1-3;7\")", "kept (none)",
     "POS numbers whose requests answer RS 98; an absent key keeps the list read before", ""},
    {"znpop", "ActivateFIRAI", "decimal, taken when 0 or more; a byte", "0",
     "FIRA payment mode: 127 lets a request without SS \"R\", SV or CD through during a payment (others get '3'), "
     "a negative value keeps the request after its answer",
     ""},
    {"znpop", "FIRAIPaymentType", "decimal, taken when 0 or more; a byte", "0",
     "FIRA payment type: which card technologies keep the chained second exchange", ""},
    {"znpop", "AskCardInsertAfterReboot", "decimal", "1",
     "1: the card is asked again (twice at most) when the card read answers \"not yet\"", ""},
    {"znpop", "WaitForPinpad", "decimal; a byte", "0",
     "1: the terminal connects to the program (server mode, docs/operations.md) and the maintenance indicator "
     "file is kept",
     ""},
    {"znpop", "CheckPaperBeforeStartTrs", "decimal; a byte", "0",
     "printer paper check before a payment. Read; the check is not built yet", ""},
    {"znpop", "IdleBehaviour", "text, at most 10240 characters", "empty",
     "what the terminal does while idle (barcode reading when set)", ""},
    {"znpop", "TimeBeforeIdleBehaviour", "decimal", "0", "milliseconds after a payment before the idle behaviour",
     ""},
    {"znpop", "SelectByClient", "decimal; a byte", "0", "1: the card holder selects the card's application", ""},
    {"znpop", "OfflineModeWithSZEL", "decimal; a byte", "0",
     "the summary (cj) returns to line through the server (s2/rtl). " NOT_USED_OFFLINE, ""},
    {"znpop", "DirectServerConnection", "only 1 is taken; a byte", "0",
     "1: proxy mode, the terminal reads no card and the request goes straight to the server (forced by "
     "DonationVersion 2)",
     ""},
    {"znpop", "ActivateRemovalDetection", "decimal", "0",
     "1: the card's removal is watched during the server dialogue", ""},
    {"znpop", "ForcedMaintenanceReboot", "decimal", "0",
     "forced terminal reboot in maintenance. Read; not used yet", ""},
    {"znpop", "ThirdServerIlotLabel", "text, at most 60 characters (longer: refused)", "empty",
     "island label sent when a payment goes on to the tertiary server", ""},
    {"znpop", "LoginLogoffRebootLevel", "decimal", "0", "terminal reboot kind of login and logoff requests", ""},
    {"znpop", "DoAddCardInfoInFlash", "decimal; a byte", "0",
     "1: a flash information \"fgs\" of the cash register gets D2F and D1A filled with zeros when missing; a "
     "request's DAC sets it",
     ""},
    {"znpop", "DoCTLSEuroOnly", "decimal; a byte", "0", "1: contactless only for payments in euros (D0 978)", ""},
    {"znpop", "LogLevel", "TRACE, INFO, WARN or ERROR", "everything",
     "the lowest level of the program's trace lines (WOut/CA<pos>000.SPO)", ""},
    {"znpop", "LogLoggers", "list of logger names separated by \";\"", "none",
     "named loggers (for example openssl) with a level of their own; the others write warnings and above, or "
     "everything when TALVO.LOG.ENABLED_LOGGERS is in the environment",
     ""},
    {"znpop", "LogLevel-<logger>", "TRACE, INFO, WARN or ERROR (key of at most 80 characters)", "everything",
     "the lowest level of one logger named in LogLoggers", ""},
    {"znpop", "ShutdownTerminalWhenTransactionCompleted", "only 1 is taken; a byte", "0",
     "1: the card reader is powered off after each payment", ""},
    {"znpop", "ISO2ControlBypass", "decimal; a byte", "0",
     "1: the checks of a swiped track are skipped for the private cards", ""},
    {"znpop", "SwitchTerminal", "decimal; a byte", "0", "terminal change. Read; not used yet", ""},
    {"znpop", "IdHardReboot", "decimal; a byte", "0",
     "1: an abort of a control (cn) resets the terminal hard (9002)", ""},
    {"znpop", "IsEchoSimulated", "decimal", "0",
     "1: with echo mode 1 the program shows the payment's result on the cash register itself", ""},
    {"znpop", "DeactivateOfflineValidation", "decimal; a byte", "0",
     "no validation of offline payments. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineModeInhibitAbort", "only 1 is taken; a byte", "0",
     "no abort during an offline payment. " NOT_USED_OFFLINE, ""},
    {"znpop", "DeactivateCardRemovalFor", "text, at most 200 characters", "empty",
     "cases without card removal. Read; the rule is not built yet", ""},
    {"znpop", "ACI_ActivateCardReadingBypass", "decimal; a byte", "0",
     "card-reading bypass: a chip read made of fixed data instead of the terminal's", ""},
    {"znpop", "MaintainerTillRight", "decimal; a byte", "0",
     "the maintainer right of the till, sent as DAY; a request's DAY changes it", ""},
    {"znpop", "TalvoTransportBeAdded", "decimal", "0",
     "a marker on ciphered terminal answers. Read; not used yet", ""},
    {"znpop", "TradingNameSpecificBehavior", "text under 61 characters", "kept (empty)",
     "trading-name specific card checks", ""},
    {"znpop", "NetResourceIndexToUse", "decimal, taken when 0 to 998", "0",
     "network resource of WCFG/net_00.wt in use (docs/operations.md)",
     "when a request selects another resource (LTY or the server identifier)"},
    {"znpop", "IsServerCompatibleV2", "only 0 or 1 are taken", "1",
     "server protocol version 2 of offline uploads. " NOT_USED_OFFLINE, ""},
    {"znpop", "LastPOSNumberUsed", "text, at most 7 characters", "the POS number",
     "POS number in the till's file names when PhysicalFileNameSearchCalculation is set",
     "when a request comes from another POS number (with PhysicalFileNameSearchCalculation)"},
    {"znpop", "PhysicalFileNameSearchCalculation", "decimal; above 1 gives 1", "0",
     "1: the files of the terminal links (LOG_n, SC1_n of com) carry the POS number (\"pinpad_001.cfg\") and are "
     "read again when requests come from another POS number",
     ""},
    {"znpop", "FilesToDownloadLevel", "decimal", "0", "files downloaded in maintenance. Read; not used yet", ""},
    {"znpop", "PreventHolderCancelCTLS", "decimal", "0",
     "not 0: the holder's cancel key during a contactless read waits for the final answer", ""},
    {"znpop", "OfflineTroncatePANLevel", "decimal, taken when 0 or more", "0",
     "card numbers cut on offline tickets. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineFlashInfoBehavior", "its first letter, B or N (any case)", "B",
     "flash information of offline payments. " NOT_USED_OFFLINE, ""},
    {"znpop", "OfflineTransactionNumber", "text, its first 3 characters", "001",
     "number of the next offline payment. " NOT_USED_OFFLINE, "written as 001 at each reading when missing"},
    {"znpop", "ActivateMuteCardRemovalEnd", "decimal, taken when 0 to 2", "0",
     "a mute chip card: 1 ends with RS 20 at once, 2 asks for its removal first", ""},
    {"znpop", "AskForRemovalIfISO2Deactivated", "only 1 is taken", "0",
     "1: a mute card (RS 20) is asked out before the answer", ""},
    {"znpop", "ActivateInteroper", "decimal, as a byte; only 1 sets it", "0",
     "interoperability mode of the card reading answers", ""},
    {"znpop", "TrsUploadNbRetryOnFail", "decimal, taken when 99 or less", "0",
     "retries of the offline upload. " NOT_USED_OFFLINE, ""},
    {"znpop", "DonationVersion", "decimal", "0",
     "micro-donation: sent as MDV when above 0; 2 forces DirectServerConnection to 1 (with a warning)", ""},
    {"znpop", "OfflineTDenial", "text, at most 10 characters", "DC70B80000",
     "terminal action code (denial) of offline EMV. " NOT_USED_OFFLINE, ""},
    {"znpop", "TerminalModelNumber", "decimal", "0", "terminal model of offline records. " NOT_USED_OFFLINE, ""},
    {"znpop", "SimulCardDetection", "decimal; a byte", "0", "simulated card detection. Read; not used yet", ""},
    // --- param ---------------------------------------------------------
    {"param", "NumericalLanguage", "decimal; 40 is read as 250", "250",
     "numeric language of offline records. " NOT_USED_OFFLINE, ""},
    {"param", "CountryCode", "decimal", "250", "country code given to the terminal with a contactless start", ""},
};

#undef NOT_USED_OFFLINE
#undef NOT_USED_TICKETS
#undef NOT_USED_CHEQUE

// A table cell: "|" would end it.
std::string Cell(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '|') out += "\\|";
        else out += *p;
    }
    return out;
}

void AppendTable(std::string& out, const char* file) {
    out += "| key | value | default | what it changes | written back by the program |\n";
    out += "|---|---|---|---|---|\n";
    for (const OptionReference& o : kTable) {
        if (std::strcmp(o.file, file) != 0) continue;
        out += "| `" + std::string(o.key) + "` | " + Cell(o.rule) + " | " + Cell(o.byDefault) + " | " + Cell(o.effect) +
               " | " + (o.rewritten[0] != '\0' ? Cell(o.rewritten) : std::string("-")) + " |\n";
    }
}

}  // namespace

const OptionReference* OptionReferenceTable(size_t* count) {
    if (count != nullptr) *count = sizeof kTable / sizeof kTable[0];
    return kTable;
}

const OptionReference* FindOptionReference(const char* key) {
    if (key == nullptr) return nullptr;
    const bool logger = std::strncmp(key, "LogLevel-", 9) == 0;
    for (const OptionReference& o : kTable)
        if (std::strcmp(o.key, logger ? "LogLevel-<logger>" : key) == 0) return &o;
    return nullptr;
}

std::string OptionReferenceMarkdown() {
    std::string out;
    out +=
        "# Options of a till\n"
        "\n"
        "<!-- Made by build/bin/options_doc from the program's table of options\n"
        "     (src/station/option_reference.cpp); a test fails when they differ. -->\n"
        "\n"
        "The options of a till are in `WPAF/znpop_00.wt` (section \"znpop\") and `WPAF/param_00.wt`\n"
        "(section \"param\") of its directory: one `[Key:value]` line per key, CR LF line ends, and the\n"
        "signature record at the end (`sign_param_file --crlf FILE` after an edit; the program otherwise\n"
        "traces \"Signature does not match\"). The program reads both files when its session opens and reads\n"
        "them again before each request, so a change applies from the next request on. Every value starts\n"
        "from its default at each reading, except those marked \"kept\", which keep the value read before\n"
        "when their key is absent.\n"
        "\n"
        "A key counts as present when its value is not empty. Decimal values are read like the C\n"
        "library's leading-number conversion (blanks, a sign, digits; a text that does not begin with a\n"
        "number reads 0); a value outside a key's accepted range gives the default. A text longer than its\n"
        "field is refused with the trace line \"Option <key> trop longue\" and the key keeps its value.\n"
        "Amounts are in the currency's minor unit (cents for EUR).\n"
        "\n"
        "The last column says when the program writes a key back into `znpop` (the file stays signed). An\n"
        "options update (request s4/c43 with D6H, D6I, D91) writes DetectionTimeout, RemovalTimeout and\n"
        "PosGuiOptions; s4/c42 answers them.\n"
        "\n"
        "## `WPAF/znpop_00.wt`\n"
        "\n";
    AppendTable(out, "znpop");
    out +=
        "\n"
        "## `WPAF/param_00.wt`\n"
        "\n";
    AppendTable(out, "param");
    return out;
}
