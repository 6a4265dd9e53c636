// Tag dictionary: the symbolic name and sensitive flag of every tag code, and
// logATAG, which writes a whole tag message to a logger one entry per line
// without ever writing the value of a sensitive or unknown code.
#pragma once
#include <cstddef>
#include <map>
#include <string>

#include "core/trace.h"

// Loggers under which messages are logged tag by tag (level WLOG_DEBUG).
inline constexpr const char kLoggerEftagRequest[] = "client.eftag.request";
inline constexpr const char kLoggerEftagResponse[] = "client.eftag.response";
inline constexpr const char kLoggerCrossRequest[] = "detectCrossTransaction.request";
inline constexpr const char kLoggerCrossResponse[] = "detectCrossTransaction.response";

// One dictionary entry.
struct TagInfo {
    std::string name;  // EFTAG_ name
    std::string text;  // always empty
    int sensitive;     // 1: the value is never logged
};

// One row of the built-in table the dictionary is made from. A code is
// sensitive when the card-data rules (platform/card_data_rules.h, shared with
// the client library) name it.
struct TagTableRow {
    const char* code;
    const char* name;
    int sensitive;
};

// The built-in table, in dictionary order (the only list of codes).
const TagTableRow* TagTable(size_t* count);
// 1 when the code is in the table with its sensitive flag set, else 0.
int TagIsSensitive(const char* code);

// The process-wide dictionary: empty until the first logATAG (or an explicit
// fill), then every code of the table, in byte order of the codes.
using TagDictionaryMap = std::map<std::string, TagInfo>;
const TagDictionaryMap& GetTagDictionary();
void FillTagDictionary();

// Writes one line per entry of the tag message through WSysLog under the
// logger and level: code, name and value for a known code that is not
// sensitive; code and name for a sensitive one; the code alone for a code the
// dictionary does not know. Nothing at all, not even parsing, when the
// logger's threshold is above the level.
void logATAG(const char* logger, WLogMessageLevel level, const std::string& message);
void logATAG(const char* logger, WLogMessageLevel level, const char* message);
