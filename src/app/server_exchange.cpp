// POS poll step and shutdown of the EFT context.
#include "app/server_exchange.h"

#include <cstring>
#include <string>

#include "app/eft_context.h"
#include "app/pos_link.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "transactions/barcode.h"

int ZelDiaPoll(EFTCBox* context) {
    if (context == nullptr) return -1;
    int result = 0;
    if (context->posAnswer[0] != '\0') {
        const int length = static_cast<int>(strnlen(context->posAnswer, sizeof context->posAnswer - 1));
        if (ZelDiaWrite(context->posAnswer, length, context->posLink, context->posEventFlag,
                        context->posTimeout) <= 0) {
            std::memset(context->posAnswer, 0, sizeof context->posAnswer);
            return -1;
        }
        result = 1;
        if (length == 1) TraceLog(TRACE_INFO, "[TRV_71]", "Acquittement requete: %s", context->posAnswer);
        if (context->debugLevel != 0)
            LogExchange(0, context->posAnswer, context->exchangeLogName, context->logSizeKb);
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
    }
    if (context->posRequest[0] == '\0') {
        const int read = ZelDiaRead(context->posRequest, sizeof context->posRequest, context->posLink, 10);
        if (read < 0) return -1;
        if (read > 0) {
            result += 10;
            if (context->debugLevel != 0)
                LogExchange(1, context->posRequest, context->exchangeLogName, context->logSizeKb);
        }
    }
    if (result == 0 && context->posCommand[0] != '\0') {
        std::memcpy(context->posRequest, context->posCommand, sizeof context->posRequest);
        context->posRequest[sizeof context->posRequest - 1] = '\0';
        std::memset(context->posCommand, 0, sizeof context->posCommand);
        if (context->debugLevel != 0)
            LogExchange(1, context->posRequest, context->exchangeLogName, context->logSizeKb);
        return 10;
    }
    return result;
}

int EFTOC_CheckTimeout(EFTCBox* context) {
    if (context == nullptr || EFTOC_TimerExpired(context) != 1) return 0;
    TraceLog(TRACE_ERROR, "[TRV_71]", "Delai alloue a l'application prinicpale expire");
    return 1;
}

int EFTOC_Shutdown(EFTCBox* context) {
    if (context == nullptr) return 1;
    const TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && record->barcodeActive >= 1) TermStopBarcodeReader();
    ZelDiaClose(context->posLink);
    context->posLink = nullptr;
    TWEP_CloseSerialPorts(context->papBox);
    if (context->debugLevel != 0) {
        const std::string hashes = std::string(80, '#') + "\n";
        LogExchange(0, hashes.c_str(), context->exchangeLogName, context->logSizeKb);
        TraceFrontWriteLine("** INFO. ** ##########################################\n");
    }
    EFTOC_Close(context);
    return 1;
}
