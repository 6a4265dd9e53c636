// The reference of the options files against the program: every key the
// program reads while it loads its options has an entry, every entry is a key
// it reads, the keys it writes back say so, and docs/options.md is the
// document made from the table.
#include "station/option_reference.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app/main_loop.h"
#include "app/startup.h"
#include "station/options.h"
#include "support/config_tree.h"
#include "support/session_tree.h"
#include "support/signed_file.h"
#include "support/station_lock.h"

namespace {

std::set<std::string> g_read;

void Collect(const char* key) { g_read.insert(key); }

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(OptionReference, EveryKeyTheProgramReadsHasAnEntryAndEveryEntryIsRead) {
    testsupport::ConfigTree tree;
    ASSERT_TRUE(tree.ok());
    // Two named loggers: their level keys are read too.
    testsupport::WriteSignedFile(tree.file("WPAF/znpop_00.wt"), {"[LogLoggers:first;second]"});
    InitDefaultOptions();
    g_processOptions.station = testsupport::UniqueStation();
    testsupport::UseTreeForSession(tree.str());
    g_read.clear();
    SetOptionKeyObserver(Collect);
    const int opened = TOC_OpenSession();
    SetOptionKeyObserver(nullptr);
    ASSERT_EQ(opened, 1);
    ShutdownClient();

    for (const std::string& key : g_read)
        EXPECT_NE(FindOptionReference(key.c_str()), nullptr) << key << " is read but has no entry in the reference";
    EXPECT_TRUE(g_read.count("LogLevel-first") == 1 && g_read.count("LogLevel-second") == 1);
    size_t count = 0;
    const OptionReference* table = OptionReferenceTable(&count);
    ASSERT_GT(count, 100u);
    std::set<std::string> entries;
    for (size_t i = 0; i < count; ++i) {
        const std::string key = table[i].key;
        EXPECT_TRUE(entries.insert(key).second) << key << " has two entries";
        const std::string read = key == "LogLevel-<logger>" ? "LogLevel-first" : key;
        EXPECT_EQ(g_read.count(read), 1u) << key << " has an entry but the program does not read it";
        EXPECT_TRUE(std::string(table[i].file) == "znpop" || std::string(table[i].file) == "param") << key;
        EXPECT_NE(std::string(table[i].rule), "") << key;
        EXPECT_NE(std::string(table[i].byDefault), "") << key;
        EXPECT_NE(std::string(table[i].effect), "") << key;
    }
}

// Every key the sources write into the options file (WriteOption, or a text
// update of the item) says in its entry when it is written back.
TEST(OptionReference, KeysTheProgramWritesBackSaySo) {
    const std::regex write(R"re((?:WriteOption\s*\(\s*"|KTS_ReSetItemText\s*\([^,]+,\s*")(\w+)")re");
    std::set<std::string> written;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(ZNP_SOURCE_DIR) + "/src")) {
        if (entry.path().extension() != ".cpp") continue;
        const std::string text = ReadText(entry.path().string());
        for (std::sregex_iterator m(text.begin(), text.end(), write), end; m != end; ++m) written.insert((*m)[1]);
    }
    ASSERT_FALSE(written.empty());
    for (const std::string& key : written) {
        const OptionReference* o = FindOptionReference(key.c_str());
        ASSERT_NE(o, nullptr) << key;
        EXPECT_NE(std::string(o->rewritten), "") << key << " is written back but its entry says never";
    }
}

// docs/options.md is what build/bin/options_doc prints from the table.
TEST(OptionReference, DocumentIsMadeFromTheTable) {
    const std::string path = std::string(ZNP_SOURCE_DIR) + "/docs/options.md";
    const std::string document = ReadText(path);
    const std::string made = OptionReferenceMarkdown();
    EXPECT_EQ(document, made) << path << " differs from the table: run build/bin/options_doc > docs/options.md";
    // Each entry has its row.
    size_t count = 0;
    const OptionReference* table = OptionReferenceTable(&count);
    for (size_t i = 0; i < count; ++i)
        EXPECT_NE(made.find("| `" + std::string(table[i].key) + "` |"), std::string::npos) << table[i].key;
}
