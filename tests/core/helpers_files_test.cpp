// Path separators, stream size and the file search.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "support/temp_dir.h"

namespace {

TEST(HelpersFiles, SetPathSeparators) {
    char path[] = ".\\WCFG\\sub/file.txt";
    WSetPathSeparators(path);
    EXPECT_STREQ(path, "./WCFG/sub/file.txt");
    WSetPathSeparators(nullptr);
}

TEST(HelpersFiles, StreamSizeKeepsThePosition) {
    testsupport::TempDir dir;
    const std::string path = dir.file("data.bin");
    { std::ofstream(path, std::ios::binary) << std::string(1000, 'x'); }
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 123, SEEK_SET), 0);
    EXPECT_EQ(WGetStreamSize(f), 1000);
    EXPECT_EQ(std::ftell(f), 123);
    std::fclose(f);
    EXPECT_EQ(WGetStreamSize(nullptr), -1);

    // A pipe cannot seek.
    FILE* pipe = popen("true", "r");
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(WGetStreamSize(pipe), -1);
    pclose(pipe);
}

// A directory with files, a subdirectory, a hidden file, a read-only file and
// a name longer than a record holds.
class FindFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Write("Alpha.TXT", 5);
        Write("beta.txt", 1234);
        Write("gamma.dat", 0);
        Write("noext", 7);
        Write(".hidden", 3);
        Write("readonly.txt", 2);
        chmod(dir.file("readonly.txt").c_str(), 0444);
        std::filesystem::create_directory(dir.path() / "sub");
        longName = std::string(255, 'L');
        Write(longName, 9);
    }
    void Write(const std::string& name, size_t size) {
        std::ofstream(dir.file(name), std::ios::binary) << std::string(size, 'z');
    }
    // Every record of a search: name -> record.
    std::map<std::string, WFindRecord> Collect(const std::string& namePattern, int* lastResult) {
        std::map<std::string, WFindRecord> found;
        WFindRecord rec;
        std::string pattern = dir.str() + "/" + namePattern;
        int r = WFindFirst(pattern.c_str(), &rec);
        if (r != 0) {
            *lastResult = r;
            return found;
        }
        do {
            found[rec.name] = rec;
        } while ((r = WFindNext(&rec)) == 0 && found.size() < 100);
        *lastResult = r;
        return found;
    }
    static std::set<std::string> Names(const std::map<std::string, WFindRecord>& found) {
        std::set<std::string> names;
        for (const auto& entry : found) names.insert(entry.first);
        return names;
    }

    testsupport::TempDir dir;
    std::string longName;
};

TEST_F(FindFixture, EveryEntryWithItsAttributes) {
    int last = 0;
    auto found = Collect("*.*", &last);
    EXPECT_EQ(last, 1);  // after the last entry: 1, not -1
    std::string cut(254, 'L');
    EXPECT_EQ(Names(found), (std::set<std::string>{".", "..", "Alpha.TXT", "beta.txt", "gamma.dat", "noext",
                                                   ".hidden", "readonly.txt", "sub", cut}));
    EXPECT_EQ(found["beta.txt"].size, 1234u);
    EXPECT_EQ(found["beta.txt"].attributes, 0);
    EXPECT_EQ(found["sub"].attributes & WFIND_DIRECTORY, WFIND_DIRECTORY);
    EXPECT_EQ(found["."].attributes & (WFIND_DIRECTORY | WFIND_HIDDEN), WFIND_DIRECTORY);
    EXPECT_EQ(found[".."].attributes & (WFIND_DIRECTORY | WFIND_HIDDEN), WFIND_DIRECTORY);
    EXPECT_EQ(found[".hidden"].attributes, WFIND_HIDDEN);
    EXPECT_EQ(found["readonly.txt"].attributes, WFIND_READONLY);
    EXPECT_EQ(found[cut].size, 9u);
    EXPECT_EQ(found[cut].name[254], '\0');

    // A further WFindNext stays at the end.
    WFindRecord rec;
    EXPECT_EQ(WFindNext(&rec), 1);
}

TEST_F(FindFixture, WildcardPatterns) {
    struct Case {
        const char* pattern;
        std::set<std::string> expected;
    };
    const Case cases[] = {
        {"*.txt", {"Alpha.TXT", "beta.txt", "readonly.txt"}},  // letters without case
        {"?eta.*", {"beta.txt"}},
        {"b*", {"beta.txt"}},
        {"BETA.TXT", {"beta.txt"}},
        {"noext.*", {"noext"}},  // a final ".*" may match nothing
        {"*a.d?t", {"gamma.dat"}},
        {"s?b", {"sub"}},
        {".h*", {".hidden"}},
    };
    for (const Case& c : cases) {
        int last = 0;
        EXPECT_EQ(Names(Collect(c.pattern, &last)), c.expected) << c.pattern;
        EXPECT_EQ(last, 1) << c.pattern;
    }
}

TEST_F(FindFixture, NothingMatchingAndBadArguments) {
    WFindRecord rec;
    std::string pattern = dir.str() + "/*.zip";
    EXPECT_EQ(WFindFirst(pattern.c_str(), &rec), 1);
    EXPECT_EQ(WFindNext(&rec), -1);  // no search open
    std::string missing = dir.str() + "/nodir/*.*";
    EXPECT_EQ(WFindFirst(missing.c_str(), &rec), 1);
    EXPECT_EQ(WFindFirst(nullptr, &rec), 1);

    // A null argument leaves an open search alone.
    std::string all = dir.str() + "/*.*";
    ASSERT_EQ(WFindFirst(all.c_str(), &rec), 0);
    EXPECT_EQ(WFindFirst(all.c_str(), nullptr), 1);
    EXPECT_EQ(WFindNext(nullptr), -1);
    EXPECT_EQ(WFindNext(&rec), 0);

    // A search on "/" alone releases the open one.
    EXPECT_EQ(WFindFirst("/", &rec), 1);
    EXPECT_EQ(WFindNext(&rec), -1);
}

TEST_F(FindFixture, NewSearchReplacesTheOpenOne) {
    WFindRecord rec;
    std::string all = dir.str() + "/*.*";
    ASSERT_EQ(WFindFirst(all.c_str(), &rec), 0);
    std::string one = dir.str() + "/gamma.dat";
    ASSERT_EQ(WFindFirst(one.c_str(), &rec), 0);
    EXPECT_STREQ(rec.name, "gamma.dat");
    EXPECT_EQ(rec.size, 0u);
    EXPECT_EQ(WFindNext(&rec), 1);
}

}  // namespace
