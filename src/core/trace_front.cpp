// Application trace, exchange log and log options on top of the trace core
// and the card-data masking.
#include "core/trace_front.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "core/card_masking.h"
#include "core/helpers.h"
#include "platform/private_file.h"
#include "core/tag_buffer.h"
#include "platform/card_data_rules.h"
#include "platform/clock.h"

namespace {

int g_debugLevel = 1;
TraceZoneWriterFn g_zoneWriter = nullptr;
TraceZoneWriterFn g_standardHook = nullptr;
TraceFrontBinding g_binding;
// Streams used while the program binds none.
FILE* g_ownLogFiles[2] = {nullptr, nullptr};

constexpr size_t kBlockSize = TAG_MESSAGE_BUFFER_SIZE;
constexpr size_t kCategoryWidth = 15;

const char* Banner(int kind) {
    switch (kind) {
        case TRACE_ERROR: return "-- ERROR --";
        case TRACE_WARN: return "<< WARN. >>";
        case TRACE_DEBUG: return "@@ DEBUG @@";
        default: return "** INFO. **";
    }
}

// The private tag buffers of TraceLog and LogExchange, set up on first use.
ATAG_BUFFER* PrivateTags(ATAG_BUFFER& tags, bool& ready) {
    if (!ready) {
        ATAG_Init(&tags);
        ready = true;
    }
    return &tags;
}

// Clears and gives back a private-heap block that held message text.
void Release(char* block) {
    if (block == nullptr) return;
    OPENSSL_cleanse(block, kBlockSize);
    WFree(block);
}

// Registers the "D2F" value of a text as a clear track 2.
void RegisterTrackOf(ATAG_BUFFER* tags, const char* text) {
    ATAG_InitRead(tags, const_cast<char*>(text), static_cast<uint32_t>(std::strlen(text) + 1), 0);
    char track[kExchangeCardValueMax + 1] = {};
    if (ATAG_Get(tags, "D2F", track, sizeof track, 1) == 1) RegisterLogMasking(nullptr, track, 0);
    OPENSSL_cleanse(track, sizeof track);
    tags->readBuffer = nullptr;
}

FILE** LogSlot(int side) {
    if (g_binding.exchangeLogSlot != nullptr) {
        if (FILE** slot = g_binding.exchangeLogSlot(side)) return slot;
    }
    return &g_ownLogFiles[side];
}

// --- masking of a message copy ---------------------------------------------

std::string Key(const char* code) { return std::string("{") + code + "}"; }

// Every value of the code loses its characters; the code stays.
void RemoveValues(char* text, const char* code) {
    const std::string key = Key(code);
    char* p = std::strstr(text, key.c_str());
    while (p != nullptr) {
        char* value = p + key.size();
        char* end = std::strchr(value, '{');
        if (end == nullptr) end = value + std::strlen(value);
        std::memmove(value, end, std::strlen(end) + 1);
        p = std::strstr(value, key.c_str());
    }
}

// Every value of the code keeps its first character; the others become "-".
void MaskManualEntry(char* text, const char* code) {
    const std::string key = Key(code);
    for (char* p = std::strstr(text, key.c_str()); p != nullptr; p = std::strstr(p, key.c_str())) {
        p += key.size();
        char* end = std::strchr(p, '{');
        const size_t length = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (length > 1) std::memset(p + 1, '-', length - 1);
        p += length;
    }
}

// A value keyed by hand: the first "EL" value of the message, masked, moves
// to the end of the copy (in front of its end tag); any other "EL" value is
// masked where it stands. A copy without end tag is masked in place.
void MaskManualEntryValue(ATAG_BUFFER* tags, char* copy) {
    char value[kBlockSize];
    if (ATAG_Get(tags, "EL", value, sizeof value, 1) == 1 && std::strstr(copy, "{F}") != nullptr) {
        const size_t length = std::strlen(value);
        if (length > 1) std::memset(value + 1, '-', length - 1);
        ATAG_InitWrite(tags, copy, static_cast<uint32_t>(kBlockSize), 0);
        ATAG_Replace(tags, "EL", value);
        tags->writeBuffer = nullptr;
    }
    OPENSSL_cleanse(value, sizeof value);
    MaskManualEntry(copy, "EL");
}

// Registers a card number unless it is empty or only "0" characters.
void AddCardNumber(const char* number, bool display = false) {
    if (number[0] == '\0' || std::strspn(number, "0") == std::strlen(number)) return;
    if (display)
        RegisterLogMaskingDisplay(number);
    else
        RegisterLogMasking(number, nullptr, 0);
}

// Every display text ("ED" and "DISP_TEXT" entries) that holds a digit
// gives its digits, joined (at most kExchangeCardValueMax), as a card number.
void AddDisplayDigits(const char* text) {
    for (const char* open = std::strchr(text, '{'); open != nullptr;) {
        const char* close = std::strchr(open + 1, '}');
        if (close == nullptr) break;
        const char* value = close + 1;
        const char* end = std::strchr(value, '{');
        if (end == nullptr) end = value + std::strlen(value);
        const carddata::SensitiveTag* tag =
            carddata::FindSensitiveTag(std::string_view(open + 1, size_t(close - open - 1)));
        if (tag != nullptr && tag->rule == carddata::TagRule::Display) {
            char digits[kExchangeCardValueMax + 1];
            size_t count = 0;
            for (const char* c = value; c < end && count < kExchangeCardValueMax; ++c)
                if (std::isdigit(static_cast<unsigned char>(*c))) digits[count++] = *c;
            digits[count] = '\0';
            AddCardNumber(digits, /*display=*/true);
            OPENSSL_cleanse(digits, sizeof digits);
        }
        open = *end == '{' ? end : nullptr;
    }
}

// Registers the card values of the message with the trace masking: its card
// numbers (one trailing "F" dropped), its tracks (with the card numbers they
// hold) and the digits of its display texts. Values too long to be card data
// are not registered: the tag list blots them out.
void RegisterCardValues(ATAG_BUFFER* tags, const char* copy) {
    // Display digits are registered as such: they never push a card value
    // out of the masking table.
    AddDisplayDigits(copy);
    char value[kExchangeCardValueMax + 1];
    for (const carddata::SensitiveTag& tag : carddata::SensitiveTags()) {
        if (tag.rule != carddata::TagRule::CardNumber && tag.rule != carddata::TagRule::Track) continue;
        if (ATAG_Get(tags, tag.code, value, sizeof value, 1) != 1) continue;
        if (tag.rule == carddata::TagRule::CardNumber) {
            const size_t n = std::strlen(value);
            if (n > 0 && value[n - 1] == 'F') value[n - 1] = '\0';
            AddCardNumber(value);
        } else if (value[0] != '\0') {
            RegisterLogMasking(nullptr, value, 0);
        }
    }
    OPENSSL_cleanse(value, sizeof value);
}

void MaskCopy(ATAG_BUFFER* tags, char* copy) {
    // Tickets lose their text.
    for (const carddata::SensitiveTag& tag : carddata::SensitiveTags())
        if (tag.rule == carddata::TagRule::Ticket) RemoveValues(copy, tag.code);
    if (g_binding.manualEntryActive != nullptr && g_binding.manualEntryActive() != 0)
        MaskManualEntryValue(tags, copy);
    // Sensitive values, registered values, card numbers copied elsewhere and
    // any Luhn card number.
    WSysMaskLine(copy, kBlockSize - 1);
}

void FormatStamp(int type, char* out, size_t size) {
    const int64_t now = plat::RealtimeMs();
    const time_t seconds = static_cast<time_t>(now / 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    const char* label = "";
    if (type == EXCHANGE_TO_POS || type == EXCHANGE_TO_SERVER) label = "\t(ZNP) ";
    else if (type == EXCHANGE_FROM_POS) label = "\t(POS) ";
    else if (type == EXCHANGE_FROM_SERVER) label = "\t(SRV) ";
    std::snprintf(out, size, "\n[%02d/%02d] [%02d:%02d:%02d,%03d]%s", local.tm_mday,
                  local.tm_mon + 1, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now % 1000), label);
}

// Opens a log file for appending; a new file is private to the user.
FILE* OpenAppend(const char* path) { return plat::OpenPrivateFile(path, true); }

}  // namespace

// ---------------------------------------------------------------------------
// Binding and settings
// ---------------------------------------------------------------------------

void TraceFrontBind(const TraceFrontBinding& binding) { g_binding = binding; }

void TraceFrontSetOptionReader(const char* (*readOption)(const char* key)) {
    g_binding.readOption = readOption;
}

void TraceFrontCloseExchangeLogs() {
    for (int side = 0; side < 2; ++side) {
        for (FILE** slot : {LogSlot(side), &g_ownLogFiles[side]}) {
            if (*slot != nullptr) std::fclose(*slot);
            *slot = nullptr;
        }
    }
}

void TraceFrontSetDebugLevel(int level) { g_debugLevel = level; }

void TraceFrontSetZoneWriter(TraceZoneWriterFn writer, TraceZoneWriterFn standardHook) {
    g_zoneWriter = writer;
    g_standardHook = standardHook;
}

// ---------------------------------------------------------------------------
// Application trace
// ---------------------------------------------------------------------------

void TraceFrontWriteLine(const char* line) {
    if (line == nullptr) return;
    // The line is the format: double every '%' so it is written as it stands.
    std::string format;
    format.reserve(std::strlen(line) + 16);
    for (const char* p = line; *p != '\0'; ++p) {
        format.push_back(*p);
        if (*p == '%') format.push_back('%');
    }
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_zoneWriter);
    WSysError(format.c_str(), 0);  // NOLINT: the format holds no conversion
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_standardHook);
}

void TraceFrontWriteRecord(const char* head, const char* text) {
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_zoneWriter);
    WSysWriteRecord(head, text);
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_standardHook);
}

size_t TraceLogHead(int kind, const char* category, char* out, size_t size) {
    const char* banner = Banner(kind);
    const size_t bannerLength = std::strlen(banner);
    const size_t headLength = bannerLength + kCategoryWidth + 6;
    if (out == nullptr || size <= headLength) return 0;
    std::memcpy(out, banner, bannerLength);
    char* field = out + bannerLength;
    std::memset(field, ' ', kCategoryWidth);
    const char* cat = category != nullptr ? category : "";
    const size_t length = strnlen(cat, kCategoryWidth);
    std::memcpy(field + (kCategoryWidth - length) / 2, cat, length);
    std::memcpy(field + kCategoryWidth, ">>>>> ", 7);
    return headLength;
}

void TraceLog(int kind, const char* category, const char* format, ...) {
    static ATAG_BUFFER tags;
    static bool tagsReady = false;
    ATAG_BUFFER* tagBuffer = PrivateTags(tags, tagsReady);
    if (g_debugLevel == 0 || format == nullptr) return;

    char* line = static_cast<char*>(WAlloc(kBlockSize));
    char* message = static_cast<char*>(WAlloc(kBlockSize));
    if (line == nullptr || message == nullptr) {
        if (line != nullptr) WFree(line);
        if (message != nullptr) WFree(message);
        return;
    }
    TraceLogHead(kind, category, line, kBlockSize);

    va_list args;
    va_start(args, format);
    std::vsnprintf(message, kBlockSize, format, args);
    va_end(args);

    // A track 2 handed over in the text is masked from now on.
    RegisterTrackOf(tagBuffer, format);
    RegisterTrackOf(tagBuffer, message);

    const size_t used = std::strlen(line);
    std::snprintf(line + used, TAG_MESSAGE_MAX_CHARS + 1 - used, "%s", message);
    TraceFrontWriteLine(line);
    Release(message);
    Release(line);
}

// ---------------------------------------------------------------------------
// Log options
// ---------------------------------------------------------------------------

WLogMessageLevel ParseLogLevel(const char* word) {
    if (word == nullptr) return WLOG_UNKNOWN;
    if (std::strcmp(word, "INFO") == 0) return WLOG_INFO;
    if (std::strcmp(word, "WARN") == 0) return WLOG_WARN;
    if (std::strcmp(word, "ERROR") == 0) return WLOG_ERROR;
    if (std::strcmp(word, "TRACE") == 0) return WLOG_TRACE;
    return WLOG_UNKNOWN;
}

void ConfigureLogLevels() {
    auto read = [](const char* key) -> std::string {
        const char* value = g_binding.readOption != nullptr ? g_binding.readOption(key) : nullptr;
        return value != nullptr ? std::string(value) : std::string();
    };
    const std::string level = read("LogLevel");
    WSysSetErrorLevel(level.empty() ? WLOG_UNKNOWN : ParseLogLevel(level.c_str()));

    const std::string loggers = read("LogLoggers");
    if (loggers.empty()) return;
    size_t start = 0;
    while (start <= loggers.size()) {
        size_t end = loggers.find(';', start);
        if (end == std::string::npos) end = loggers.size();
        const std::string name = loggers.substr(start, end - start);
        const std::string key = "LogLevel-" + name;
        // Keys are bounded: a longer name is not a logger of ours.
        if (key.size() <= kLogLevelKeyMax) {
            const std::string value = read(key.c_str());
            WSysSetLoggerLevel(name.c_str(),
                               value.empty() ? WLOG_UNKNOWN : ParseLogLevel(value.c_str()));
        } else {
            WSysError("<< WARN. >> ConfigureLogLevels(): nom de logger trop long ignore");
        }
        start = end + 1;
    }
}

// ---------------------------------------------------------------------------
// Exchange log
// ---------------------------------------------------------------------------

int ExchangeLogFileNames(const char* name, int type, char* file, char* backup, size_t size) {
    if (file != nullptr && size > 0) file[0] = '\0';
    if (backup != nullptr && size > 0) backup[0] = '\0';
    if (name == nullptr || name[0] == '\0' || file == nullptr || backup == nullptr) return -1;
    const size_t nameLength = strnlen(name, kExchangeLogNameMax + 1);
    if (nameLength > kExchangeLogNameMax) return -1;
    // The extension is cut at the last "." of the file name (not of a
    // directory above it).
    const char* slash = std::strrchr(name, '/');
    const char* dot = std::strrchr(name, '.');
    const size_t base = dot != nullptr && (slash == nullptr || dot > slash)
                            ? static_cast<size_t>(dot - name)
                            : nameLength;
    if (base > kExchangeLogBaseMax) return -1;
    const bool pos = type < EXCHANGE_TO_SERVER;
    const int a = std::snprintf(file, size, "%.*s.%s", static_cast<int>(base), name, pos ? "POS" : "SRV");
    const int b = std::snprintf(backup, size, "%.*s_%s.BAK", static_cast<int>(base), name,
                                pos ? "POS" : "SRV");
    if (a < 0 || b < 0 || static_cast<size_t>(a) >= size || static_cast<size_t>(b) >= size) {
        file[0] = backup[0] = '\0';
        return -1;
    }
    return 1;
}

void WriteExchangeLog(int type, const char* stampAndLabel, const char* text, const char* name,
                      int limitKb) {
    if (name == nullptr || name[0] == '\0' || limitKb == 0) return;
    char file[kExchangeLogNameMax + 16];
    char backup[kExchangeLogNameMax + 16];
    if (ExchangeLogFileNames(name, type, file, backup, sizeof file) != 1) return;
    FILE** slot = LogSlot(type < EXCHANGE_TO_SERVER ? 0 : 1);
    if (*slot == nullptr) *slot = OpenAppend(file);
    if (*slot == nullptr) return;
    std::fprintf(*slot, "%s%s", stampAndLabel != nullptr ? stampAndLabel : "",
                 text != nullptr ? text : "");
    std::fflush(*slot);
    // The stream stays open between entries; one that no longer writes the
    // file of that name (moved or removed from outside) is closed, and the
    // next entry opens the file again.
    struct stat st {};
    struct stat own {};
    const bool named = ::stat(file, &st) == 0;
    const bool same = named && fstat(fileno(*slot), &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino;
    if (!same || (g_binding.closeEachWrite != nullptr && g_binding.closeEachWrite() != 0))
        TraceFrontCloseExchangeLogs();
    const long long size = named ? static_cast<long long>(st.st_size) : 0;
    if (size / 1024 >= limitKb) {
        TraceFrontCloseExchangeLogs();
        ::unlink(backup);
        ::rename(file, backup);
    }
}

void LogExchange(int type, const char* message, const char* name, int limitKb) {
    static ATAG_BUFFER tags;
    static bool tagsReady = false;
    ATAG_BUFFER* tagBuffer = PrivateTags(tags, tagsReady);
    if (message == nullptr || message[0] == '\0' || name == nullptr || name[0] == '\0' ||
        limitKb == 0)
        return;

    char* copy = static_cast<char*>(WAlloc(kBlockSize));
    if (copy == nullptr) return;
    std::memcpy(copy, message, strnlen(message, TAG_MESSAGE_MAX_CHARS));
    ATAG_InitRead(tagBuffer, copy, static_cast<uint32_t>(kBlockSize), 0);
    RegisterCardValues(tagBuffer, copy);

    char stamp[64];
    FormatStamp(type, stamp, sizeof stamp);
    MaskCopy(tagBuffer, copy);
    tagBuffer->readBuffer = nullptr;
    WriteExchangeLog(type, stamp, copy, name, limitKb);
    Release(copy);
}
