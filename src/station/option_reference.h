// The reference of the options files: one entry per key the program reads
// from "znpop" and "param" of "WPAF", with how its value is read, its
// default, what it changes and whether the program writes it back.
// docs/options.md is made from it (build/bin/options_doc), and a test holds
// that every key the program reads has its entry and every entry is read.
#pragma once
#include <cstddef>
#include <string>

struct OptionReference {
    const char* file;       // "znpop" or "param"
    const char* key;        // "LogLevel-<logger>" stands for one key per logger
    const char* rule;       // how the value is read
    const char* byDefault;  // the value without the key (or with an unusable one)
    const char* effect;     // what it changes
    const char* rewritten;  // when the program writes it back; "" when never
};

// The entries, in the order the program reads them.
const OptionReference* OptionReferenceTable(size_t* count);

// The entry of a key (a "LogLevel-..." key gives the "LogLevel-<logger>"
// entry); null when the key has none.
const OptionReference* FindOptionReference(const char* key);

// docs/options.md: the whole document, made from the table.
std::string OptionReferenceMarkdown();
