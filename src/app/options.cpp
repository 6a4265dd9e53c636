// Option values and their defaults. The options files themselves are not read
// yet: a load puts the defaults back.
#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/eft_context.h"

OptionValues Options;

namespace {

OptionsLoadHook g_loadHook = nullptr;

void FreeText(char*& text) {
    std::free(text);
    text = nullptr;
}

}  // namespace

void SetOptionsLoadHook(OptionsLoadHook hook) { g_loadHook = hook; }

int TOC_LoadOptions() {
    // Values that a reload keeps when their key is absent.
    const int logSize = Options.LogSize;
    const int closeEach = Options.LogCloseLogFileOnEachWrite;
    const int clsOnly = Options.ClsOnly;
    char* range = Options.RangePOSForbidden;
    char trading[sizeof Options.TradingNameSpecificBehavior];
    std::memcpy(trading, Options.TradingNameSpecificBehavior, sizeof trading);

    FreeText(Options.CardPrintingFormat);
    FreeText(Options.AdditionalPrintingFormat);
    FreeText(Options.CheckPrintingFormat);
    FreeText(Options.AdditionalTags);
    FreeText(Options.ConditionalAdditionalTags);
    FreeText(Options.StorageCert);
    Options = OptionValues{};

    Options.LogSize = logSize;
    Options.LogCloseLogFileOnEachWrite = closeEach;
    Options.ClsOnly = clsOnly;
    Options.RangePOSForbidden = range;
    std::memcpy(Options.TradingNameSpecificBehavior, trading, sizeof trading);

    // LastPOSNumberUsed: the PS text of the transaction record, else the station.
    const TransactionRecord* record = GetTransactionRecord();
    const EFTCBox* context = GetEftContext();
    if (record != nullptr && record->station[0] != '\0') {
        std::snprintf(Options.LastPOSNumberUsed, sizeof Options.LastPOSNumberUsed, "%s",
                      record->station);
    } else if (context != nullptr) {
        std::snprintf(Options.LastPOSNumberUsed, sizeof Options.LastPOSNumberUsed, "%d",
                      context->station);
    }
    if (g_loadHook != nullptr) g_loadHook();
    return 0;
}

int WriteOption(const char* key, const char* value) {
    (void)key;
    (void)value;
    return 0;
}
