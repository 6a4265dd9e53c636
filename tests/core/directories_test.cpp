// File search with full paths, file deletion and size, directory check and
// directory removal, on real files in a temporary directory.
#include "core/directories.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/trace.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& path, const std::string& content = "data") {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Every full path of a search, first to last.
std::set<std::string> Listing(const std::string& dir, const char* pattern) {
    std::set<std::string> paths;
    for (const char* p = WFindFirstFile(dir.c_str(), pattern); p != nullptr; p = WFindNextFile())
        paths.insert(p);
    return paths;
}

using testsupport::TraceCapture;

bool Contains(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
}

// A directory path of exactly `length` characters under base (created with
// its parents).
std::string DirOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;  // minus the '/'
        size_t take = std::min<size_t>(room, 40);
        // Never leave room for only a '/' and an empty name.
        if (room > take && room - take < 2) take = room - 2;
        path += "/" + std::string(take, 'd');
    }
    fs::create_directories(path);
    EXPECT_EQ(path.size(), length);
    return path;
}

// ---------------------------------------------------------------------------
// WCheckDirectory
// ---------------------------------------------------------------------------

TEST(DirectoriesTest, CheckDirectoryExistsCreatesAndFindsFiles) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.file("WCFG");
    EXPECT_EQ(WCheckDirectory(dir.c_str(), 0), -2);
    EXPECT_FALSE(Exists(dir));
    EXPECT_EQ(WCheckDirectory(dir.c_str(), 1), 2);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(WCheckDirectory(dir.c_str(), 0), 1);
    EXPECT_EQ(WCheckDirectory(dir.c_str(), 1), 1);
    EXPECT_EQ(WCheckDirectory((dir + "/").c_str(), 0), 1);

    // An existing file of that name counts as found.
    const std::string file = tmp.file("options.txt");
    WriteFile(file);
    EXPECT_EQ(WCheckDirectory(file.c_str(), 0), 1);
    EXPECT_EQ(WCheckDirectory(file.c_str(), 1), 1);
    EXPECT_TRUE(fs::is_regular_file(file));

    // A parent that does not exist: creation fails, the search decides.
    EXPECT_EQ(WCheckDirectory(tmp.file("none/sub").c_str(), 1), -2);
    EXPECT_EQ(WCheckDirectory(nullptr, 1), -1);
}

// The search compares names without case; the file system does not. Only
// the exact name counts as found, and can then be created.
TEST(DirectoriesTest, CheckDirectoryNeedsTheExactName) {
    testsupport::TempDir tmp;
    fs::create_directory(tmp.file("wcfg"));
    EXPECT_EQ(WCheckDirectory(tmp.file("WCFG").c_str(), 0), -2);
    EXPECT_EQ(WCheckDirectory(tmp.file("WCFG").c_str(), 1), 2);
    EXPECT_TRUE(fs::is_directory(tmp.file("WCFG")));
    // A wildcard in the path is a name, not a pattern.
    EXPECT_EQ(WCheckDirectory(tmp.file("*").c_str(), 0), -2);
}

TEST(DirectoriesTest, CheckDirectoryRefusesOverlongPath) {
    testsupport::TempDir tmp;
    const std::string fits = DirOfLength(tmp.str(), WSEARCH_PATH_MAX);
    EXPECT_EQ(WCheckDirectory(fits.c_str(), 0), 1);
    const std::string parent = DirOfLength(tmp.str() + "/p", WSEARCH_PATH_MAX - 4);
    const std::string tooLong = parent + "/abcd";  // 120 characters
    ASSERT_EQ(tooLong.size(), static_cast<size_t>(WSEARCH_PATH_MAX + 1));
    EXPECT_EQ(WCheckDirectory(tooLong.c_str(), 1), -1);
    EXPECT_FALSE(Exists(tooLong));
}

// ---------------------------------------------------------------------------
// WFindFirstFile / WFindNextFile
// ---------------------------------------------------------------------------

TEST(DirectoriesTest, SearchListsFullPathsIncludingDotEntries) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.str();
    WriteFile(dir + "/a.txt");
    WriteFile(dir + "/b");
    fs::create_directory(dir + "/sub");
    const std::set<std::string> want = {dir + "/.", dir + "/..", dir + "/a.txt", dir + "/b",
                                        dir + "/sub"};
    EXPECT_EQ(Listing(dir, "*.*"), want);
    EXPECT_EQ(Listing(dir, "*.txt"), std::set<std::string>{dir + "/a.txt"});
    EXPECT_EQ(Listing(dir, "nothing*"), std::set<std::string>{});
    // After the last entry the search stays at its end.
    EXPECT_EQ(WFindNextFile(), nullptr);
}

TEST(DirectoriesTest, SearchRefusesBadArguments) {
    testsupport::TempDir tmp;
    EXPECT_EQ(WFindFirstFile(nullptr, "*.*"), nullptr);
    EXPECT_EQ(WFindFirstFile("", "*.*"), nullptr);
    EXPECT_EQ(WFindFirstFile(tmp.str().c_str(), nullptr), nullptr);
    EXPECT_EQ(WFindFirstFile(tmp.file("missing").c_str(), "*.*"), nullptr);
}

// WCheckDirectory restarts the one search of the process: a walk that calls
// it in between ends instead of returning paths of another search.
TEST(DirectoriesTest, RestartedSearchEndsTheWalk) {
    testsupport::TempDir tmp;
    for (const char* name : {"1", "2", "3"}) WriteFile(tmp.file(name));
    ASSERT_NE(WFindFirstFile(tmp.str().c_str(), "*.*"), nullptr);
    EXPECT_EQ(WCheckDirectory(tmp.file("1").c_str(), 0), 1);
    EXPECT_EQ(WFindNextFile(), nullptr);
}

TEST(DirectoriesTest, SearchNeverWritesPastItsAreas) {
    testsupport::TempDir tmp;
    // A directory of 99 characters is taken, one of 100 refused.
    const std::string dir99 = DirOfLength(tmp.str() + "/a", WSEARCH_DIRECTORY_MAX);
    const std::string dir100 = DirOfLength(tmp.str() + "/b", WSEARCH_DIRECTORY_MAX + 1);
    WriteFile(dir100 + "/f");
    EXPECT_EQ(WFindFirstFile(dir100.c_str(), "*.*"), nullptr);

    // In the 99-character directory, names up to 19 characters fit in the
    // 119 of a full path; longer ones are skipped, never cut.
    const std::string fits(19, 'n');
    const std::string tooLong(20, 'n');
    WriteFile(dir99 + "/" + fits);
    WriteFile(dir99 + "/" + tooLong);
    WriteFile(dir99 + "/" + tooLong + "x");
    const std::set<std::string> want = {dir99 + "/.", dir99 + "/..", dir99 + "/" + fits};
    EXPECT_EQ(Listing(dir99, "*.*"), want);
    // Only over-long entries match: nothing is returned.
    EXPECT_EQ(WFindFirstFile(dir99.c_str(), (tooLong + "*").c_str()), nullptr);

    // A pattern that makes the search text longer than 119 is refused.
    EXPECT_EQ(WFindFirstFile(dir99.c_str(), (std::string(19, '?') + "*").c_str()), nullptr);
    EXPECT_NE(WFindFirstFile(dir99.c_str(), std::string(19, '?').c_str()), nullptr);
}

// ---------------------------------------------------------------------------
// WDeleteFile / WGetFileSize
// ---------------------------------------------------------------------------

TEST(DirectoriesTest, DeleteFile) {
    testsupport::TempDir tmp;
    WriteFile(tmp.file("one"));
    WriteFile(tmp.file("two"));
    fs::create_directory(tmp.file("sub"));
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), "one"), 1);
    EXPECT_FALSE(Exists(tmp.file("one")));
    EXPECT_EQ(WDeleteFile(nullptr, tmp.file("two").c_str()), 1);
    EXPECT_FALSE(Exists(tmp.file("two")));
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), "one"), -1);
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), "sub"), -1);
    EXPECT_TRUE(fs::is_directory(tmp.file("sub")));
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), nullptr), -1);
}

// A path longer than 199 characters is refused: cut at 199 it would name
// another file, which must survive.
TEST(DirectoriesTest, DeleteFileRefusesOverlongPath) {
    testsupport::TempDir tmp;
    const size_t nameLength = WDELETE_PATH_MAX - tmp.str().size() - 1;
    const std::string name(nameLength, 'f');
    WriteFile(tmp.file(name));
    ASSERT_EQ((tmp.str() + "/" + name).size(), static_cast<size_t>(WDELETE_PATH_MAX));
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), (name + "zz").c_str()), -1);
    EXPECT_EQ(WDeleteFile(nullptr, (tmp.file(name) + "z").c_str()), -1);
    EXPECT_TRUE(Exists(tmp.file(name)));
    EXPECT_EQ(WDeleteFile(tmp.str().c_str(), name.c_str()), 1);
    EXPECT_FALSE(Exists(tmp.file(name)));
}

TEST(DirectoriesTest, GetFileSize) {
    testsupport::TempDir tmp;
    WriteFile(tmp.file("big"), std::string(70000, 'z'));
    WriteFile(tmp.file("empty"), "");
    EXPECT_EQ(WGetFileSize(tmp.file("big").c_str()), 70000);
    EXPECT_EQ(WGetFileSize(tmp.file("empty").c_str()), 0);
    EXPECT_EQ(WGetFileSize(tmp.file("missing").c_str()), -1);
    EXPECT_EQ(WGetFileSize(tmp.str().c_str()), -1);
    EXPECT_EQ(WGetFileSize(nullptr), -1);
}

// ---------------------------------------------------------------------------
// WSysRemoveDirectoryEx / WSysRemoveDirectory
// ---------------------------------------------------------------------------

const char kWarn[] = "<< WARN. >> WSysRemoveDirectoryEx() : ";
const char kError[] = "-- ERROR -- WSysRemoveDirectoryEx() : unable to supress ";

TEST(DirectoriesTest, RemoveEmptiesAndRemovesDirectory) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.file("spool");
    fs::create_directory(dir);
    for (const char* name : {"a.txt", "b", ".hidden"}) WriteFile(dir + "/" + name);

    TraceCapture trace;
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 0, 1), 1);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));
    for (const char* name : {"c", "d"}) WriteFile(dir + "/" + name);
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 1, 1), 1);
    EXPECT_FALSE(Exists(dir));
    EXPECT_TRUE(TraceCapture::lines().empty());
}

TEST(DirectoriesTest, RemoveWithSubdirectoryWarnsThenFails) {
    testsupport::TempDir tmp;
    const std::string dir = tmp.file("work");
    fs::create_directories(dir + "/sub");
    WriteFile(dir + "/f1");
    WriteFile(dir + "/f2.dat");
    WriteFile(dir + "/sub/inner");

    TraceCapture trace;
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 1, 1), 0);
    EXPECT_FALSE(Exists(dir + "/f1"));
    EXPECT_FALSE(Exists(dir + "/f2.dat"));
    EXPECT_TRUE(Exists(dir + "/sub/inner"));  // subdirectories are left alone
    const auto& lines = TraceCapture::lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(Contains(lines[0], kWarn + dir + " is not a directory")) << lines[0];
    EXPECT_TRUE(Contains(lines[1], kError + dir)) << lines[1];

    // Messages off: the same result, nothing traced.
    TraceCapture quiet;
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 1, 0), 0);
    EXPECT_TRUE(TraceCapture::lines().empty());
    // WSysRemoveDirectory reports 1 whatever happened, with messages on.
    EXPECT_EQ(WSysRemoveDirectory(dir.c_str(), 1), 1);
    EXPECT_EQ(TraceCapture::lines().size(), 2u);
    EXPECT_TRUE(Exists(dir + "/sub/inner"));
}

TEST(DirectoriesTest, RemoveOfAFileDeletesItAsAFile) {
    testsupport::TempDir tmp;
    const std::string file = tmp.file("plain");
    WriteFile(file);
    TraceCapture trace;
    EXPECT_EQ(WSysRemoveDirectoryEx(file.c_str(), 1, 1), 1);
    EXPECT_FALSE(Exists(file));
    ASSERT_EQ(TraceCapture::lines().size(), 1u);
    EXPECT_TRUE(Contains(TraceCapture::lines()[0], kWarn + file + " is not a directory"));
    // Missing: warning, then error.
    EXPECT_EQ(WSysRemoveDirectoryEx(file.c_str(), 1, 1), 0);
    EXPECT_EQ(TraceCapture::lines().size(), 3u);
}

TEST(DirectoriesTest, RemoveRefusesNullAndOverlongDirectory) {
    testsupport::TempDir tmp;
    EXPECT_EQ(WSysRemoveDirectoryEx(nullptr, 1, 1), 0);
    const std::string dir = DirOfLength(tmp.str(), WSEARCH_DIRECTORY_MAX + 1);
    WriteFile(dir + "/keep");
    TraceCapture trace;
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 1, 1), 0);
    EXPECT_TRUE(Exists(dir + "/keep"));
    ASSERT_EQ(TraceCapture::lines().size(), 1u);
    EXPECT_TRUE(Contains(TraceCapture::lines()[0], kError + dir));
}

// Symbolic links inside the directory are removed as links, never followed:
// their targets (a file, a full directory) stay untouched.
TEST(DirectoriesTest, RemoveNeverFollowsLinksInside) {
    testsupport::TempDir tmp;
    const std::string outside = tmp.file("outside");
    fs::create_directories(outside + "/deep");
    WriteFile(outside + "/target.txt", "keep me");
    WriteFile(outside + "/deep/inner", "keep me too");

    const std::string dir = tmp.file("victim");
    fs::create_directory(dir);
    WriteFile(dir + "/own");
    ASSERT_EQ(symlink((outside + "/target.txt").c_str(), (dir + "/file-link").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dir + "/dir-link").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/none").c_str(), (dir + "/dangling").c_str()), 0);

    TraceCapture trace;
    EXPECT_EQ(WSysRemoveDirectoryEx(dir.c_str(), 1, 1), 1);
    EXPECT_FALSE(Exists(dir));
    EXPECT_TRUE(TraceCapture::lines().empty());
    EXPECT_EQ(WGetFileSize((outside + "/target.txt").c_str()), 7);
    EXPECT_EQ(WGetFileSize((outside + "/deep/inner").c_str()), 11);
}

// A directory given as a symbolic link is not emptied: with the remove flag
// the link itself goes (it is "not a directory"), the target stays whole.
TEST(DirectoriesTest, RemoveOfALinkedDirectoryKeepsTheTarget) {
    testsupport::TempDir tmp;
    const std::string target = tmp.file("real");
    fs::create_directory(target);
    WriteFile(target + "/precious");

    for (const std::string suffix : {"", "/"}) {
        const std::string link = tmp.file("link");
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        const std::string arg = link + suffix;
        TraceCapture trace;
        EXPECT_EQ(WSysRemoveDirectoryEx(arg.c_str(), 0, 1), 1) << arg;
        EXPECT_TRUE(Exists(target + "/precious")) << arg;
        EXPECT_TRUE(Exists(link)) << arg;

        EXPECT_EQ(WSysRemoveDirectoryEx(arg.c_str(), 1, 1), 1) << arg;
        EXPECT_FALSE(Exists(link)) << arg;
        EXPECT_TRUE(Exists(target + "/precious")) << arg;
        ASSERT_EQ(TraceCapture::lines().size(), 1u) << arg;
        EXPECT_TRUE(Contains(TraceCapture::lines()[0], kWarn + arg + " is not a directory"));
    }
}

}  // namespace
