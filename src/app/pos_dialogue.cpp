// Display, print, key, entry and selection requests to the cash register.
#include "app/pos_dialogue.h"

#include <openssl/crypto.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/entry_format.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/server_box.h"
#include "station/server_exchange.h"
#include "station/trace_binding.h"
#include "transactions/manual_entry.h"
#include "transactions/pos_answer.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

namespace {

constexpr int kRudaProtocol = 16;
constexpr int kTerminalWaitCapMs = 99800;
constexpr const char* kCategory = "[POS]";
constexpr const char* kTerminalCategory = "[L_POS]";

// Texts collected for the terminal-screen variants.
struct Collection {
    std::string text;
    int capacity = 0;  // characters
    int width = 0;
    int count = 0;
};
Collection g_collection;
// Response mode handed from a zone entry to the key waits it runs.
int g_responseMode = 0;

bool Eq(const char* a, const char* b) { return a != nullptr && strcasecmp(a, b) == 0; }

bool RudaTerminal() { return EPAP_GetProtocol(4) == kRudaProtocol; }

// 0 without the word "RESP" in the format; with it 2 when the till has the
// maintainer's right, else 1.
int ResponseModeOf(const char* format) {
    if (format == nullptr || std::strstr(format, "RESP") == nullptr) return 0;
    return Options.MaintainerTillRight == 1 ? 2 : 1;
}

// A byte of a position (1-based on the wire): never 0, which would end the
// text.
char PositionByte(int zeroBased) { return static_cast<char>(std::clamp(zeroBased + 1, 1, 255)); }

// Writes a request of the work area to the cash register; true when written.
bool WriteRequest(EFTCBox* c, const char* area) {
    const int length = static_cast<int>(strnlen(area, kPosBufferSize - 1));
    return ZelDiaWrite(area, length, c->posLink, c->posEventFlag, c->posTimeout) > 0;
}

// Logs a request sent to the cash register (type 0) when the debug level
// asks for it; with mask the value of ED is logged as '-' characters.
void LogRequest(EFTCBox* c, const char* area, bool mask, size_t maskedLength) {
    if (c->debugLevel == 0) return;
    if (!mask) {
        LogExchange(EXCHANGE_TO_POS, area, c->exchangeLogName, c->logSizeKb);
        return;
    }
    std::vector<char> copy(area, area + strnlen(area, kPosBufferSize - 1));
    copy.resize(kPosBufferSize, '\0');
    const std::string dashes(maskedLength, '-');
    if (TAG_InitWrite(copy.data(), kPosBufferSize, 0) == 1 && TAG_Replace("ED", dashes.c_str()) == 1)
        LogExchange(EXCHANGE_TO_POS, copy.data(), c->exchangeLogName, c->logSizeKb);
    OPENSSL_cleanse(copy.data(), copy.size());
}

// The area of a dialogue request: 10241 bytes from the private heap.
struct WorkArea {
    char* data = static_cast<char*>(WAlloc(kPosBufferSize));
    ~WorkArea() {
        if (data != nullptr) {
            OPENSSL_cleanse(data, kPosBufferSize);
            WFree(data);
        }
    }
};

// Builds the simulated echo of a text (SV "s5", CD "c27", D34) in the area.
bool BuildEcho(char* area, const char* text, int row, int column, bool clear) {
    std::string d34 = clear ? "\x1BH" : "";
    d34 += "\x1BP";
    d34 += PositionByte(row);
    d34 += PositionByte(column);
    d34 += text;
    return BuildPosAnswer(area, kPosBufferSize, "s5", "c27") == 1 && TAG_Set("D34", d34.c_str()) == 1;
}

// --- the answer wait ---------------------------------------------------------

struct WaitTexts {
    const char* cd;
    const char* dialogueFailed;
    const char* sendFailed;
    int graceMs;
};

enum class WaitEnd { Answer, OtherRequest, Failed };

// The request built by build into posAnswer is written by the next poll and
// its answer awaited (time-out plus the grace). The answer's text goes into
// answer. An abort or stop of the cash register sets abortCode (1 or 2).
template <typename Build>
WaitEnd AwaitAnswer(EFTCBox* c, const WaitTexts& texts, int timeoutMs, Build build, std::vector<char>* answer) {
    int phase = 1;
    bool firstRemovalCheck = true;
    WTimeStamp sent = WGetTimeStamp();
    for (;;) {
        const int poll = ZelDiaPoll(c);
        if (poll < 0) {
            TraceLog(TRACE_ERROR, kCategory, "%s", texts.dialogueFailed);
            return WaitEnd::Failed;
        }
        if (poll == 0) {
            WSleep(10);
            if (phase == 1) {
                phase = 2;
            } else if (phase == 2) {
                std::memset(c->posRequest, 0, sizeof c->posRequest);
                TraceLog(TRACE_ERROR, kCategory, "%s", texts.sendFailed);
                return WaitEnd::Failed;
            }
        } else if (poll >= 10) {
            phase = 1;
        } else if (phase == 2) {
            phase = 3;  // the request was written
        }
        if (phase == 2) {
            if (!build(c)) return WaitEnd::Failed;
            sent = WGetTimeStamp();
        } else if (phase == 3) {
            if (Options.ActivateRemovalDetection != 0) {
                const int card = PosCheckCardRemoval(firstRemovalCheck ? 1 : 0);
                firstRemovalCheck = false;
                if (card < 0) return WaitEnd::Failed;
            }
            if (WIsTimeOut(sent, timeoutMs + texts.graceMs) == 1) {
                TraceLog(TRACE_WARN, kCategory, "Pas de reponse de la caisse (%s) dans le delai", texts.cd);
                return WaitEnd::Failed;
            }
        } else if (phase == 1 && c->posRequest[0] != '\0') {
            if (TAG_InitRead(c->posRequest, sizeof c->posRequest, 0) != 1) return WaitEnd::OtherRequest;
            const char* ss = TAG_GetString("SS", 1);
            const bool request = ss != nullptr && std::strcmp(ss, "R") == 0;
            const std::string sv = TAG_GetString("SV", 1) != nullptr ? TAG_GetString("SV", 1) : "";
            const std::string cd = TAG_GetString("CD", 1) != nullptr ? TAG_GetString("CD", 1) : "";
            if (request && Eq(sv.c_str(), "s6") && Eq(cd.c_str(), texts.cd)) {
                answer->assign(c->posRequest, c->posRequest + strnlen(c->posRequest, sizeof c->posRequest - 1));
                answer->push_back('\0');
                return WaitEnd::Answer;
            }
            if (Eq(sv.c_str(), "s3") && (Eq(cd.c_str(), "c0") || Eq(cd.c_str(), "c99"))) {
                c->abortCode = Eq(cd.c_str(), "c99") ? 2 : 1;
                TraceLog(TRACE_INFO, kCategory, "%s demande pendant un dialogue avec la caisse",
                         c->abortCode == 2 ? "Arret" : "Abandon");
                return WaitEnd::Failed;
            }
            return WaitEnd::OtherRequest;
        }
    }
}

// End of a wait: the buffers are cleared; the answer is acknowledged with
// "0", another request is refused with '5' (it would otherwise wait for an
// answer that never comes).
void EndWait(EFTCBox* c, WaitEnd end) {
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    if (end == WaitEnd::Answer) {
        c->posEventFlag = 0;
        SendPosResult(0);
        c->posEventFlag = 1;
    } else if (end == WaitEnd::OtherRequest) {
        TraceLog(TRACE_WARN, kCategory,
                 "Le message provenant de la caisse ne sera pas traite car recu au mauvais moment.");
        SendPosResult(5);
    }
}

// The value of a tag of the answer, or "" when absent.
std::string AnswerValue(std::vector<char>& answer, const char* code) {
    if (answer.empty() || TAG_InitRead(answer.data(), static_cast<uint32_t>(answer.size()), 0) != 1) return {};
    const char* value = TAG_GetString(code, 1);
    return value != nullptr ? value : "";
}

void Wipe(std::vector<char>& answer) {
    if (!answer.empty()) OPENSSL_cleanse(answer.data(), answer.size());
    answer.clear();
}

// Stops the card-status supervision started by a wait and puts back the two
// fields of the card-read record it changed.
struct RemovalWatch {
    bool active = Options.ActivateRemovalDetection != 0;
    uint8_t mode = 0;
    uint8_t chipOptions = 0;
    RemovalWatch() {
        if (TransactionRecord* r = GetTransactionRecord()) {
            mode = r->cardReadRecord.mode;
            chipOptions = r->cardReadRecord.chipOptions;
        }
    }
    void Stop() {
        if (!active) return;
        TransactionRecord* r = GetTransactionRecord();
        if (r == nullptr) return;
        TermCardStatusOff(&r->cardReadRecord);
        EPAP_ClearAll();
        r->cardReadRecord.mode = mode;
        r->cardReadRecord.chipOptions = chipOptions;
    }
};

char NormaliseKey(char key) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(key)));
    if ((upper >= '0' && upper <= '9') || upper == 'C' || upper == 'F' || upper == 'V') return upper;
    return 'A';
}

// --- terminal-screen variants --------------------------------------------------

// Shows the collected texts on the terminal window "E5" under a title.
void ShowCollectedTexts(EFTCBox* c, const char* title) {
    KT_TEXT_WINDOW* e5 = KTS_GetWindow(c->box, "E5");
    const int rows = e5 != nullptr ? e5->rows : 2;
    const int columns = e5 != nullptr ? e5->columns : 16;
    std::string text = "\x1BH";
    const int base = rows > 3 ? 2 : 1;
    if (rows > 3) text += std::string("\x1BP\x01\x01") + title;
    const Collection& col = g_collection;
    const int slice = col.count > 0 ? col.capacity / col.count : 0;
    const int shown = std::min(slice, columns);
    for (int i = 0; i < col.count && shown > 0; ++i) {
        std::string piece = static_cast<size_t>(i * slice) < col.text.size()
                                ? col.text.substr(static_cast<size_t>(i * slice), static_cast<size_t>(slice))
                                : std::string();
        piece.resize(static_cast<size_t>(shown), ' ');
        text += "\x1BP";
        text += PositionByte(i + base - 1);
        text += '\x01';
        text += piece;
    }
    const int status = TDSP_ShowText(c->box != nullptr ? c->box->console : nullptr, e5, text.c_str(), 1, columns, 0,
                                     0, 1);
    if (status < 0) {
        TraceLog(TRACE_ERROR, kTerminalCategory, "Mise en place du script d'affichage echouee (%d)", status);
        EPAP_ClearAll();
    }
}

int TerminalKey(EFTCBox* c, int timeoutMs, char* key) {
    ShowCollectedTexts(c, " Saisie touche");
    const int result = TDSP_WaitKey(std::min(timeoutMs, kTerminalWaitCapMs), 0, key);
    if (result >= 0)
        TraceLog(TRACE_INFO, kTerminalCategory, "Derniere touche saisie = %c", *key);
    else
        TraceLog(TRACE_ERROR, kTerminalCategory, "Saisie echouee");
    return result;
}

int TerminalZone(EFTCBox* c, int timeoutMs, int row, int column, int length, char* zone, const char* format,
                 char* key) {
    ShowCollectedTexts(c, " Saisie nombre");
    const int result = TDSP_GetEntry(c->box != nullptr ? c->box->console : nullptr, 0,
                                     std::min(timeoutMs, kTerminalWaitCapMs), row, column, length, zone, format, key);
    if (result >= 0) {
        for (int i = 0; i < length && zone[i] != '\0'; ++i)
            zone[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(zone[i])));
        if (char* v = std::strchr(zone, 'V')) *v = '\0';
        TraceLog(TRACE_INFO, kTerminalCategory, "Derniere touche saisie = %c", *key);
    } else {
        TraceLog(TRACE_ERROR, kTerminalCategory, "Saisie echouee");
    }
    return result;
}

// A list of more than three items goes in pages of three followed by
// "Suite", which shows the next page (after the last, the first).
int TerminalSelection(EFTCBox* c, KT_TEXT_WINDOW* window, int timeoutMs, int count, int itemSize,
                      int terminalParameter, const char* title, const char* items, unsigned* choice) {
    ShowCollectedTexts(c, " Choix");
    ConsoBox* console = c->box != nullptr ? c->box->console : nullptr;
    const int wait = std::min(timeoutMs, kTerminalWaitCapMs);
    *choice = 0;
    int result = 0;
    if (count <= 3) {
        unsigned char picked = 255;
        result = TDSP_SelectItemBasic(console, window, wait, 0, 0, count, itemSize, terminalParameter, title, items,
                                      &picked);
        if (result >= 0 && picked >= 1 && picked <= count) *choice = picked;
    } else {
        const int columns = window != nullptr ? window->columns : 16;
        const int width = std::max(5, columns - 1);
        const int stride = width + 1;
        for (int first = 0, pages = 0; pages <= (count + 2) / 3; ++pages) {
            const int onPage = std::min(3, count - first);
            std::vector<char> page(static_cast<size_t>((onPage + 1) * stride + 1), '\0');
            for (int i = 0; i < onPage; ++i)
                std::snprintf(page.data() + i * stride, static_cast<size_t>(stride), "%.*s", width,
                              items + static_cast<size_t>(first + i) * itemSize);
            std::snprintf(page.data() + onPage * stride, static_cast<size_t>(stride), "%s", "Suite");
            unsigned char picked = 255;
            result = TDSP_SelectItemBasic(console, window, wait, 0, 0, onPage + 1, stride, 0, title, page.data(),
                                          &picked);
            if (result < 0 || picked < 1 || picked > onPage + 1) break;
            if (picked <= onPage) {
                *choice = static_cast<unsigned>(first + picked);
                break;
            }
            first = first + 3 < count ? first + 3 : 0;
        }
    }
    if (result >= 0)
        TraceLog(TRACE_INFO, kTerminalCategory, "Choix selectionne = %u", *choice);
    else
        TraceLog(TRACE_ERROR, kTerminalCategory, "Selection echouee");
    return result;
}

// The item of a list (its text ends within itemSize bytes).
std::string ItemText(const char* items, int itemSize, int index) {
    const char* item = items + static_cast<size_t>(index) * itemSize;
    return std::string(item, strnlen(item, static_cast<size_t>(itemSize)));
}

std::string Upper(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

std::string Lower(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

}  // namespace

int PosCollectText(const char* text, int lines, int width, int clear) {
    if (text == nullptr || lines <= 0 || width <= 0 || lines > 1000 || width > 4096) return -1;
    Collection& col = g_collection;
    if (clear != 0 || col.capacity == 0) {
        col = Collection{};
        col.capacity = lines * width;
        col.width = width;
        col.text.reserve(static_cast<size_t>(col.capacity));
    }
    std::string piece(text, strnlen(text, static_cast<size_t>(col.capacity) + 1));
    if (piece.size() < static_cast<size_t>(col.width)) piece.resize(static_cast<size_t>(col.width), ' ');
    if (col.text.size() + piece.size() > static_cast<size_t>(col.capacity)) return -1;
    col.text += piece;
    ++col.count;
    return 1;
}

int PosDisplayText(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                   int column, int clear, int mask) {
    if (console == nullptr || window == nullptr || text == nullptr) {
        TraceLog(TRACE_ERROR, kCategory, "Contexte d'affichage inconnu (%p / %p / %p)", static_cast<void*>(console),
                 static_cast<void*>(window), static_cast<const void*>(text));
        return -1;
    }
    if ((Options.PosGuiOptions & 0x8) != 0) {
        TraceLog(TRACE_ERROR, kCategory, "Affichage inhibe (POS GUI OPTIONS a 8)");
        return 1;
    }
    if ((Options.PosGuiOptions & 0x4) != 0) {
        if (RudaTerminal()) return TDSP_ShowText(console, window, text, lines, width, row, 0, clear);
        if (PosCollectText(text, lines, width, clear) < 0) return -1;
    }
    EFTCBox* c = GetEftContext();
    WorkArea area;
    if (c == nullptr || area.data == nullptr || BuildPosAnswer(area.data, kPosBufferSize, "s6", "c20") != 1 ||
        TAG_SetInt("E9", lines) != 1 || TAG_SetInt("E8", width) != 1 || TAG_SetInt("EB", row) != 1 ||
        TAG_SetInt("EA", column) != 1 || TAG_SetInt("EC", clear != 0 ? 1 : 0) != 1 || TAG_Set("ED", text) != 1) {
        TraceLog(TRACE_ERROR, kCategory, "Preparation de la requete d'affichage echouee");
        return -1;
    }
    if (!WriteRequest(c, area.data)) {
        TraceLog(TRACE_ERROR, kCategory, "Emission de la requete d'affichage echouee");
        return -1;
    }
    const size_t length = std::strlen(text);
    LogRequest(c, area.data, mask == 1, length);
    if ((c->echoMode & 1) != 0 && Options.IsEchoSimulated == 1) {
        if (!BuildEcho(area.data, text, row, column, clear != 0) || !WriteRequest(c, area.data)) {
            TraceLog(TRACE_ERROR, kCategory, "Emission de la requete d'echo d'affichage echouee");
            return -1;
        }
        if (c->debugLevel != 0) {
            if (mask == 1) {
                const std::string hidden(length, '-');
                BuildEcho(area.data, hidden.c_str(), row, column, clear != 0);
            }
            LogExchange(EXCHANGE_TO_POS, area.data, c->exchangeLogName, c->logSizeKb);
        }
    }
    return 1;
}

int PosLocalSPOOL(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int lines, int width, int row,
                  int column, int clear) {
    if (console == nullptr || window == nullptr || text == nullptr) {
        WSysError("-- ERROR -- [PosLocalSPOOL] --> Contexte d'impression inconnu");
        return -1;
    }
    if ((Options.PosGuiOptions & 0x8000) != 0) return 1;
    if (RudaTerminal() && (Options.PosGuiOptions & 0x4000) != 0)
        return KTTD_SpoolPage(console, window, text, lines, width, row, column, clear);
    EFTCBox* c = GetEftContext();
    WorkArea area;
    if (c == nullptr || area.data == nullptr) {
        WSysError("-- ERROR -- [PosLocalSPOOL] --> Contexte de dialogue TPV non cree");
        return -1;
    }
    if (BuildPosAnswer(area.data, kPosBufferSize, "s6", "c43") != 1 || TAG_SetInt("E9", lines) != 1 ||
        TAG_SetInt("E8", width) != 1 || TAG_SetInt("EB", row) != 1 || TAG_SetInt("EA", column) != 1 ||
        TAG_SetInt("EC", clear != 0 ? 1 : 0) != 1 || TAG_Set("ED", text) != 1) {
        WSysError("-- ERROR -- [PosLocalSPOOL] --> Construction echouee");
        return -1;
    }
    if (!WriteRequest(c, area.data)) {
        WSysError("-- ERROR -- [PosLocalSPOOL] --> Envoi echoue");
        return -1;
    }
    LogRequest(c, area.data, false, 0);
    return 1;
}

int PosDisplayPaymentResult(int resultCode) {
    EFTCBox* c = GetEftContext();
    WorkArea area;
    const char* text = resultCode <= 9 ? "PAIEMENT ACCEPTE" : "PAIEMENT REFUSE";
    if (c == nullptr || area.data == nullptr || !BuildEcho(area.data, text, 0, 0, true) ||
        !WriteRequest(c, area.data)) {
        TraceLog(TRACE_ERROR, kCategory, "Emission de la requete d'echo d'affichage echouee");
        return -1;
    }
    LogRequest(c, area.data, false, 0);
    return 0;
}

int PosWaitKey(int timeoutMs, int terminalFlag, char* key) {
    if (key == nullptr) {
        TraceLog(TRACE_ERROR, kCategory, "Contexte de saisie d'une touche inconnu");
        return -1;
    }
    *key = 'A';
    if ((Options.PosGuiOptions & 0x80) != 0) {
        TraceLog(TRACE_ERROR, kCategory, "Saisie touche inhibee (POS GUI OPTIONS a 8)");
        return -1;
    }
    EFTCBox* c = GetEftContext();
    if (c == nullptr) return -1;
    if ((Options.PosGuiOptions & 0x40) != 0) {
        if (RudaTerminal()) return TDSP_WaitKey(timeoutMs, terminalFlag, key);
        return TerminalKey(c, timeoutMs, key);
    }
    RemovalWatch removal;
    const WaitTexts texts{"c21", "Dialogue TPV echoue en saisie d'une touche",
                          "Emission requete de saisie d'une touche echouee", 250};
    const int mode = g_responseMode;
    std::vector<char> answer;
    const WaitEnd end = AwaitAnswer(
        c, texts, timeoutMs,
        [&](EFTCBox* ctx) {
            return BuildPosAnswer(ctx->posAnswer, sizeof ctx->posAnswer, "s6", "c21") == 1 &&
                   TAG_SetLong("EE", timeoutMs / 1000) == 1 && TAG_SetInt("EP", mode) == 1;
        },
        &answer);
    int result = end == WaitEnd::Failed ? -1 : 0;
    if (end == WaitEnd::Answer) {
        // Only the first character of EF is a key.
        const std::string value = AnswerValue(answer, "EF");
        if (!value.empty()) {
            *key = value[0];
            result = 1;
        }
    }
    Wipe(answer);
    EndWait(c, end);
    if (result < 1) *key = 'A';
    *key = NormaliseKey(*key);
    TraceLog(TRACE_INFO, kCategory, "Touche saisie (%c)", *key);
    removal.Stop();
    return result;
}

int PosWaitZoneEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int row, int column, int length,
                     char* zone, const char* format, char* key) {
    if (zone == nullptr || key == nullptr || length < 0) {
        TraceLog(TRACE_ERROR, kCategory, "Contexte de saisie d'une zone inconnu (%p / %p / %d)",
                 static_cast<void*>(zone), static_cast<void*>(key), length);
        return -1;
    }
    *key = 'A';
    if ((Options.PosGuiOptions & 0x80) != 0) {
        TraceLog(TRACE_ERROR, kCategory, "Saisie inhibee (POS GUI OPTIONS a 8)");
        return -1;
    }
    EFTCBox* c = GetEftContext();
    if (c == nullptr) return -1;
    if ((Options.PosGuiOptions & 0x40) != 0) {
        if (RudaTerminal())
            return TDSP_GetEntry(console, 0, timeoutMs, row, column, length, zone, format, key);
        return TerminalZone(c, timeoutMs, row, column, length, zone, format, key);
    }
    const char* words = format != nullptr ? format : "";
    int minimum = 0;
    if (std::strstr(words, "TOT") != nullptr) {
        minimum = length;
    } else if (const char* min = std::strstr(words, "MIN");
               min != nullptr && std::isdigit(static_cast<unsigned char>(min[3])) &&
               std::isdigit(static_cast<unsigned char>(min[4]))) {
        minimum = (min[3] - '0') * 10 + (min[4] - '0');
    } else if (std::strstr(words, "OBL") != nullptr) {
        minimum = 1;
    }
    const bool secret = std::strstr(words, "SECRET") != nullptr;
    const int mode = ResponseModeOf(words);

    if (length == 0) {
        g_responseMode = mode;
        const int result = PosWaitKey(timeoutMs, 0, key);
        g_responseMode = 0;
        if (result == 1) {
            zone[0] = *key;
            zone[1] = '\0';
        }
        return result;
    }

    RemovalWatch removal;
    if ((Options.PosGuiOptions & 0x10) == 0) {
        KttdEntryFormat entry{};
        KTTD_ParseEntryFormat(&entry, words);
        zone[length] = '\0';
        if (zone[0] == '\0') std::memset(zone, '_', static_cast<size_t>(length));
        for (int i = static_cast<int>(std::strlen(zone)); i < length; ++i) zone[i] = '_';
        int cursor = 0;
        while (cursor < length && zone[cursor] != '_') ++cursor;
        g_responseMode = mode;
        for (;;) {
            std::string shown(zone, static_cast<size_t>(length));
            if (secret)
                for (int i = 0; i < cursor; ++i) shown[static_cast<size_t>(i)] = '*';
            if (PosDisplayText(console, window, shown.c_str(), 1, length, row - 1, column, 0, secret ? 1 : 0) < 0) {
                TraceLog(TRACE_ERROR, kCategory, "Rafraichissement d'affichage de saisie TPV echoue");
                g_responseMode = 0;
                *key = 'A';
                return -1;
            }
            char typed = 'A';
            if (PosWaitKey(timeoutMs, 0, &typed) < 0) {
                TraceLog(TRACE_ERROR, kCategory, "Saisie d'une touche de la zone echouee");
                g_responseMode = 0;
                *key = 'A';
                return -1;
            }
            if (typed >= '0' && typed <= '9') {
                if (cursor < length && KTTD_IsEntryCharValid(&entry, &typed) == 1) {
                    KTTD_InsertEntryChar(zone, cursor, length, 0, typed);
                    ++cursor;
                }
                continue;
            }
            if (typed == 'C' && cursor > 0) {
                KTTD_DeleteEntryChar(zone, --cursor, length);
                continue;
            }
            if (typed == 'V') {
                if (KTTD_IsEntryComplete(&entry, zone, length) != 1) continue;
                for (int i = 0; i < length; ++i)
                    if (zone[i] == '_') zone[i] = ' ';
                zone[length] = '\0';
                *key = 'V';
                break;
            }
            TraceLog(TRACE_ERROR, kCategory, "Saisie d'une touche de la zone abandonnee");
            g_responseMode = 0;
            *key = 'A';
            return -1;
        }
        g_responseMode = 0;
    } else {
        std::memset(zone, ' ', static_cast<size_t>(length));
        zone[length] = '\0';
        const WaitTexts texts{"c22", "Dialogue TPV echoue en saisie d'une zone",
                              "Emission requete de saisie d'une zone echouee", 250};
        std::vector<char> answer;
        SetPosSecretEntryAwaited(secret);
        const WaitEnd end = AwaitAnswer(
            c, texts, timeoutMs,
            [&](EFTCBox* ctx) {
                return BuildPosAnswer(ctx->posAnswer, sizeof ctx->posAnswer, "s6", "c22") == 1 &&
                       TAG_SetInt("EM", length) == 1 && TAG_SetInt("EN", minimum) == 1 &&
                       TAG_SetInt("EO", secret ? 1 : 0) == 1 && TAG_SetInt("EP", mode) == 1 &&
                       TAG_SetLong("EE", timeoutMs / 1000) == 1;
            },
            &answer);
        SetPosSecretEntryAwaited(false);
        std::string value = end == WaitEnd::Answer ? AnswerValue(answer, "EL") : std::string();
        Wipe(answer);
        EndWait(c, end);
        if (!value.empty() && (value[0] == 'V' || value[0] == 'v')) {
            // The entry is cut at the zone's length.
            const size_t taken = std::min(value.size() - 1, static_cast<size_t>(length));
            std::memcpy(zone, value.data() + 1, taken);
            zone[taken] = '\0';
            *key = 'V';
        }
        OPENSSL_cleanse(value.data(), value.size());
    }
    const std::string traced = secret ? std::string(std::strlen(zone), '*') : std::string(zone);
    TraceLog(TRACE_INFO, kCategory, "Zone saisie (%s / %c)", traced.c_str(), *key);
    removal.Stop();
    return 1;
}

int PosWaitSelection(ConsoBox* console, KT_TEXT_WINDOW* window, int timeoutMs, int rows, int width, int count,
                     int itemSize, int terminalParameter, const char* title, const char* items,
                     unsigned* choice) {
    if (items == nullptr || choice == nullptr) {
        TraceLog(TRACE_ERROR, kCategory, "Contexte de selection inconnu (%p / %p)", static_cast<const void*>(items),
                 static_cast<void*>(choice));
        return -1;
    }
    *choice = 0;
    EFTCBox* c = GetEftContext();
    if (timeoutMs < 2000 || c == nullptr || count <= 0 || itemSize <= 0) return -1;
    if ((Options.PosGuiOptions & 0x400) != 0) {
        if (RudaTerminal()) {
            unsigned char picked = 255;
            const int result = TDSP_SelectItemBasic(console, window, timeoutMs, 0, 0, count, itemSize,
                                                    terminalParameter, title, items, &picked);
            *choice = picked >= 1 && picked <= count ? picked : 0;
            return result;
        }
        return TerminalSelection(c, window, timeoutMs, count, itemSize, terminalParameter, title, items, choice);
    }
    RemovalWatch removal;
    if ((Options.PosGuiOptions & 0x100) == 0) {
        const bool titled = title != nullptr && title[0] != '\0';
        if (titled && PosDisplayText(console, window, Lower(title).c_str(), rows, width, 0, 0, 1, 0) < 0) {
            TraceLog(TRACE_ERROR, kCategory, "Affichage du titre de selection echoue");
            return -1;
        }
        const int firstRow = titled && rows >= 3 ? 1 : 0;
        const int visible = std::max(1, rows - firstRow);
        int top = 0;
        int cursor = 0;  // item under the cursor
        for (;;) {
            for (int line = 0; line < visible && top + line < count; ++line) {
                const int index = top + line;
                std::string shown = (index == cursor ? ">" : " ") +
                                    Upper(ItemText(items, itemSize, index)).substr(0, static_cast<size_t>(
                                                                                           std::max(0, width - 1)));
                if (PosDisplayText(console, window, shown.c_str(), rows, width, firstRow + line, 0,
                                   !titled && line == 0 ? 1 : 0, 0) < 0) {
                    TraceLog(TRACE_ERROR, kCategory, "Affichage de choix echoue");
                    return -1;
                }
            }
            char typed = 'A';
            if (PosWaitKey(timeoutMs, 0, &typed) < 0) {
                TraceLog(TRACE_ERROR, kCategory, "Saisie d'une touche de selection echouee");
                return -1;
            }
            if (typed == 'C' || typed == 'F') {
                cursor = cursor + 1 < count ? cursor + 1 : 0;
                if (cursor == 0) top = 0;
                else if (cursor >= top + visible) top = cursor - visible + 1;
                continue;
            }
            if (typed == 'V') {
                *choice = static_cast<unsigned>(cursor + 1);
                break;
            }
            TraceLog(TRACE_ERROR, kCategory, "Saisie d'une touche selection abandonnee");
            return -1;
        }
    } else {
        const char* format = items + static_cast<size_t>(count) * itemSize;
        const int mode = ResponseModeOf(format);
        const auto build = [&](EFTCBox* ctx) {
            if (BuildPosAnswer(ctx->posAnswer, sizeof ctx->posAnswer, "s6", "c44") != 1 ||
                TAG_SetInt("E8", itemSize) != 1 || TAG_SetInt("E9", count) != 1 || TAG_SetInt("EA", 0) != 1 ||
                TAG_SetInt("EB", 0) != 1 || TAG_Set("EJ", title != nullptr ? title : "") != 1 ||
                TAG_SetLong("EE", timeoutMs / 1000 - 1) != 1)
                return false;
            for (int n = 1; n <= count; ++n) {
                char word[16];
                std::snprintf(word, sizeof word, "RESP%03d", n);
                const int itemMode = mode != 0 && std::strstr(format, word) != nullptr ? mode : 0;
                if (TAG_SetInt("EK", n) != 1 || TAG_Set("ED", ItemText(items, itemSize, n - 1).c_str()) != 1 ||
                    (itemMode != 0 && TAG_SetInt("EP", itemMode) != 1))
                    return false;
            }
            return true;
        };
        if (!build(c)) {
            std::memset(c->posAnswer, 0, sizeof c->posAnswer);
            TraceLog(TRACE_ERROR, kCategory, "Construction requete de selection echouee");
            return -1;
        }
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
        const WaitTexts texts{"c44", "Dialogue TPV echoue en selection", "Emission requete de selection echouee",
                              500};
        std::vector<char> answer;
        const WaitEnd end = AwaitAnswer(c, texts, timeoutMs, build, &answer);
        if (end == WaitEnd::Answer) {
            // The choice is an item number of the list, else none.
            const std::string value = AnswerValue(answer, "EK");
            char* rest = nullptr;
            const long number = std::strtol(value.c_str(), &rest, 10);
            if (!value.empty() && rest != nullptr && *rest == '\0' && number >= 1 && number <= count)
                *choice = static_cast<unsigned>(number);
        }
        Wipe(answer);
        EPAP_ClearAll();
        EndWait(c, end);
    }
    TraceLog(TRACE_INFO, kCategory, "Selection effectuee (%u)", *choice);
    removal.Stop();
    return 1;
}

int PosCheckCardRemoval(int first) {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return -1;
    int card = 0;
    if (first != 0) {
        EPAP_ClearAll();
        card = TermCardStatusOn(&r->cardReadRecord);
    } else {
        char event[kTerminalEchoSize] = {};
        EPAP_SetWaitCallback(nullptr);
        const int status = WaitTerminalEvent(4, 200, event);
        EPAP_SetWaitCallback(WaitCallback);
        if (status != 0 || event[0] != 'A') return 1;
        card = TermGetCardResult(100);
    }
    if (card == '@' || card == 'a') {
        EPAP_ClearAll();
        TraceLog(TRACE_ERROR, kTerminalCategory, "Carte arrachee lors d'une IHM sur la caisse");
        HTML_DisplayMessage("talvo/xxdmess.html", "ZNP_DSP_HOLDER_U_CARD_ERR_REMOVED", "error");
        return -1;
    }
    const CardReadRecord& record = r->cardReadRecord;
    if (card == 0 && !(record.answerValid != 0 && record.technology == 4 && record.status != 0)) return 1;
    TraceLog(TRACE_ERROR, kTerminalCategory, "Probleme avec la carte lors d'une IHM sur la caisse");
    return -1;
}
