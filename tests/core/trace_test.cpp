// Trace and log core: levels, banners, thresholds, hook, serialisation,
// log-file rotation, standard-error dump and OpenSSL error queue.
#include "core/trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/config_tree.h"
#include "support/temp_dir.h"

extern char** environ;

using testsupport::ReadFileText;

namespace {

constexpr const char* kEnvVar = "TALVO.LOG.ENABLED_LOGGERS";
const char* const kStampPattern = R"(\[\d\d-\d\d/\d\d:\d\d:\d\d,\d\d\d\]:)";

// Lines received by the capturing hook (the hook runs under the trace lock).
std::vector<std::string> g_lines;
int CaptureHook(const char* text) {
    g_lines.emplace_back(text);
    return 0;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Installs the capturing hook; restores the previous hook and the default
// thresholds afterwards. Tests use logger names of their own.
class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = WSysGetTraceHook();
        g_lines.clear();
        WSysSetTraceHook(CaptureHook);
    }
    void TearDown() override {
        WSysSetTraceHook(previous_);
        WSysInitLoggerLevels(WSysProcessLoggerLevels());
        g_lines.clear();
    }
    WSysTraceHook previous_ = nullptr;
};

// Redirects file descriptor 2 into a file for the lifetime of the object.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return ReadFileText(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

TEST(TraceLevel, BannersAreExactlyElevenCaseSensitiveCharacters) {
    struct Case {
        const char* text;
        WLogMessageLevel level;
    } cases[] = {
        {"## TRACE ##", WLOG_TRACE},
        {"@@ DEBUG @@", WLOG_DEBUG},
        {"** INFO. **", WLOG_INFO},
        {"<< WARN. >>", WLOG_WARN},
        {"-- ERROR --", WLOG_ERROR},
        {"!! FATAL !!", WLOG_FATAL},
        {"-- ERROR -- HeapFree(): echec free heap ", WLOG_ERROR},
        {"!! FATAL !!%s", WLOG_FATAL},
        {"-- ERROR -", WLOG_UNKNOWN},   // ten characters
        {"## TRACE #", WLOG_UNKNOWN},   // ten characters
        {"@@ TRACE @@", WLOG_UNKNOWN},  // written by WSysLog, not recognised
        {"-- error --", WLOG_UNKNOWN},
        {"** Info. **", WLOG_UNKNOWN},
        {" -- ERROR --", WLOG_UNKNOWN},
        {"%s", WLOG_UNKNOWN},
        {"", WLOG_UNKNOWN},
        {nullptr, WLOG_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WSysTraceLevel(c.text), c.level) << (c.text ? c.text : "(null)");
    }
}

TEST_F(TraceTest, WSysLogWritesTheBannerOfItsLevel) {
    WSysSetLoggerLevel("banner.test", WLOG_UNKNOWN);
    struct Case {
        WLogMessageLevel level;
        const char* banner;
    } cases[] = {
        {WLOG_TRACE, "@@ TRACE @@"}, {WLOG_DEBUG, "@@ DEBUG @@"}, {WLOG_INFO, "** INFO. **"},
        {WLOG_WARN, "<< WARN. >>"},  {WLOG_ERROR, "-- ERROR --"}, {WLOG_FATAL, "!! FATAL !!"},
        {12345, "?? UNKN. ??"},      {0, "?? UNKN. ??"},          {WLOG_UNKNOWN, "?? UNKN. ??"},
        {60000, "?? UNKN. ??"},
    };
    for (const Case& c : cases) {
        g_lines.clear();
        WLOG("banner.test", c.level, "value %d", 7);
        ASSERT_EQ(g_lines.size(), 1u) << c.level;
        EXPECT_EQ(g_lines[0], std::string(c.banner) + " [banner.test] value 7");
    }
    // An unrecognised level is stopped by any threshold but the lowest.
    WSysSetLoggerLevel("banner.test", WLOG_TRACE);
    g_lines.clear();
    WLOG("banner.test", WLOG_UNKNOWN, "dropped");
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(TraceTest, LoggerNameAndHexLabelAreNeverFormats) {
    WSysSetLoggerLevel("%s%n%s", WLOG_UNKNOWN);
    WLOG("%s%n%s", WLOG_INFO, "hello %d", 5);
    WSysSetLoggerLevel("hex.test", WLOG_UNKNOWN);
    const unsigned char data[] = {0x00, 0xFF, 0x10, 0xAB};
    WLOG_HEX("hex.test", WLOG_WARN, data, sizeof data, "%s%n%s label");
    WLOG_HEX("hex.test", WLOG_WARN, nullptr, 0, "empty");
    WLOG_HEX("hex.test", WLOG_WARN, nullptr, 3, "null data with a length is refused");
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[0], "** INFO. ** [%s%n%s] hello 5");
    EXPECT_EQ(g_lines[1], "<< WARN. >> [hex.test] %s%n%s label [00ff10ab]");
    EXPECT_EQ(g_lines[2], "<< WARN. >> [hex.test] empty []");
}

TEST_F(TraceTest, LinesAreCutAt10239Characters) {
    const std::string longText(20000, 'x');
    WSysError("** INFO. ** %s", longText.c_str());
    WSysSetLoggerLevel(longText.c_str(), WLOG_UNKNOWN);
    WSysLog(longText.c_str(), 1, WLOG_INFO, __FILE__, __func__, __LINE__, "message %s", "tail");
    WSysSetLoggerLevel("cut.hex", WLOG_UNKNOWN);
    const std::vector<unsigned char> bytes(8000, 0x5A);
    WLOG_HEX("cut.hex", WLOG_INFO, bytes.data(), bytes.size(), "big");
    ASSERT_EQ(g_lines.size(), 3u);
    for (const std::string& line : g_lines) EXPECT_EQ(line.size(), 10239u);
    EXPECT_EQ(g_lines[0].substr(0, 12), "** INFO. ** ");
    EXPECT_EQ(g_lines[1].substr(0, 13), "** INFO. ** [");
    EXPECT_EQ(g_lines[1].find("message"), std::string::npos);
    EXPECT_EQ(g_lines[2].substr(0, 31), "** INFO. ** [cut.hex] big [5a5a");
}

TEST_F(TraceTest, WSysErrorFiltersOnTheBannerOfItsFormat) {
    // Default: "wsyserror" lets everything through, unrecognised banners too.
    WSysError("plain text %d", 1);
    WSysError("%s message", "-- ERROR --");
    WSysError("-- ERROR -- HeapFree(): echec free heap %d", 3);
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[0], "plain text 1");
    EXPECT_EQ(g_lines[1], "-- ERROR -- message");
    EXPECT_EQ(g_lines[2], "-- ERROR -- HeapFree(): echec free heap 3");

    // Any named level stops the lowest level, whatever the arguments print.
    g_lines.clear();
    WSysSetErrorLevel(WLOG_TRACE);
    WSysError("plain text %d", 1);
    WSysError("%s message", "-- ERROR --");
    WSysError("## TRACE ## kept");
    WSysSetErrorLevel(WLOG_WARN);
    WSysError("** INFO. ** dropped");
    WSysError("<< WARN. >> kept");
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "## TRACE ## kept");
    EXPECT_EQ(g_lines[1], "<< WARN. >> kept");
}

TEST(TraceThresholds, EnabledInFollowsEntryThenRoot) {
    WSysLoggerLevels rootOnly{{"root", WLOG_WARN}};
    WSysLoggerLevels own{{"root", WLOG_WARN}, {"a", WLOG_TRACE}, {"b", WLOG_UNKNOWN}};
    WSysLoggerLevels noRoot{{"a", WLOG_INFO}};
    struct Case {
        const WSysLoggerLevels* table;
        const char* logger;
        WLogMessageLevel level;
        bool enabled;
    } cases[] = {
        {&rootOnly, "x", WLOG_INFO, false},       {&rootOnly, "x", WLOG_WARN, true},
        {&rootOnly, "x", 29999, false},           {&rootOnly, nullptr, WLOG_FATAL, false},
        {&own, "a", WLOG_TRACE, true},            {&own, "a", WLOG_UNKNOWN, false},
        {&own, "b", WLOG_UNKNOWN, true},          {&own, "A", WLOG_INFO, false},  // byte compare
        {&noRoot, "a", WLOG_INFO, true},          {&noRoot, "z", WLOG_FATAL, false},
        {nullptr, "a", WLOG_FATAL, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WSysLoggerEnabledIn(c.table, c.logger, c.level), c.enabled)
            << (c.logger ? c.logger : "(null)") << " " << c.level;
    }

    WSysLoggerLevels table;
    WSysSetLevelIn(&table, nullptr, WLOG_INFO);
    EXPECT_TRUE(table.empty());
    WSysSetLevelIn(&table, "n", WLOG_INFO);
    WSysSetLevelIn(&table, "n", WLOG_ERROR);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table["n"], WLOG_ERROR);
}

TEST(TraceThresholds, DefaultsAndEnvironmentVariable) {
    const char* before = std::getenv(kEnvVar);
    std::string saved = before ? before : "";

    unsetenv(kEnvVar);
    WSysLoggerLevels plain;
    WSysInitLoggerLevels(&plain);
    EXPECT_EQ(plain, (WSysLoggerLevels{{"root", WLOG_WARN}, {"wsyserror", WLOG_UNKNOWN}}));
    EXPECT_FALSE(WSysLoggerEnabledIn(&plain, "no.entry", WLOG_INFO));
    EXPECT_TRUE(WSysLoggerEnabledIn(&plain, "no.entry", WLOG_WARN));
    EXPECT_TRUE(WSysLoggerEnabledIn(&plain, "wsyserror", WLOG_UNKNOWN));

    setenv(kEnvVar, "", 1);  // any value, even empty
    WSysLoggerLevels opened;
    WSysInitLoggerLevels(&opened);
    EXPECT_EQ(opened, (WSysLoggerLevels{{"root", WLOG_UNKNOWN}, {"wsyserror", WLOG_UNKNOWN}}));
    EXPECT_TRUE(WSysLoggerEnabledIn(&opened, "no.entry", WLOG_INFO));
    EXPECT_TRUE(WSysLoggerEnabledIn(&opened, "no.entry", WLOG_WARN));

    if (before) setenv(kEnvVar, saved.c_str(), 1); else unsetenv(kEnvVar);
}

// Runs in this process and in a child started with the variable set: the
// table created before main follows the environment of the process start.
TEST(TraceStartup, ProcessTableFollowsEnvironment) {
    ASSERT_NE(WSysProcessLoggerLevels(), nullptr);
    const bool opened = std::getenv(kEnvVar) != nullptr;
    EXPECT_EQ(WSysLoggerEnabled("startup.no.entry", WLOG_INFO), opened);
    EXPECT_TRUE(WSysLoggerEnabled("startup.no.entry", WLOG_WARN));
    EXPECT_TRUE(WSysLoggerEnabled("wsyserror", WLOG_UNKNOWN));
}

TEST(TraceStartup, ChildStartedWithVariableLetsRootLoggersThrough) {
    testsupport::TempDir dir;
    const std::string out = dir.file("child.txt");
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "TALVO.LOG.ENABLED_LOGGERS=", 26) != 0) env.emplace_back(*e);
    }
    env.emplace_back(std::string(kEnvVar) + "=1");
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=TraceStartup.ProcessTableFollowsEnvironment";
    char* argv[] = {self.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    std::string text = ReadFileText(out);
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
}

TEST(TraceHook, HookAtLoadIsDumpMessage) {
    EXPECT_EQ(WSysGetTraceHook(), &WSysDumpMessage);
}

TEST_F(TraceTest, NullHookFormatsNothing) {
    EXPECT_EQ(WSysSetTraceHook(nullptr), 1);
    EXPECT_EQ(WSysGetTraceHook(), nullptr);
    WSysSetLoggerLevel("null.hook", WLOG_UNKNOWN);
    int errorCount = -1, logCount = -1;
    WSysError("** INFO. ** abc%n", &errorCount);
    WLOG("null.hook", WLOG_INFO, "abc%n", &logCount);
    EXPECT_EQ(errorCount, -1);
    EXPECT_EQ(logCount, -1);

    // The same calls with a hook do format.
    WSysSetTraceHook(CaptureHook);
    WSysError("** INFO. ** abc%n", &errorCount);
    WLOG("null.hook", WLOG_INFO, "abc%n", &logCount);
    EXPECT_EQ(errorCount, 15);
    EXPECT_EQ(logCount, 3);
    EXPECT_EQ(g_lines.size(), 2u);
}

std::vector<std::string> g_second;
int SecondHook(const char* text) {
    g_second.emplace_back(text);
    return 0;
}
int g_reentered = 0;
int ReentrantHook(const char* text) {
    g_lines.emplace_back(text);
    if (g_reentered++ == 0) WSysError("** INFO. ** from inside the hook");
    return 0;
}

TEST_F(TraceTest, OneHookReceivesEveryLine) {
    WSysSetLoggerLevel("hook.test", WLOG_UNKNOWN);
    WSysError("-- ERROR -- first");
    WLOG("hook.test", WLOG_DEBUG, "second");
    WSysError("third %s", "line");
    ASSERT_EQ(g_lines, (std::vector<std::string>{"-- ERROR -- first", "@@ DEBUG @@ [hook.test] second",
                                                 "third line"}));
    g_second.clear();
    EXPECT_EQ(WSysSetTraceHook(SecondHook), 1);
    WSysError("fourth");
    EXPECT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_second, std::vector<std::string>{"fourth"});

    // A hook that traces again on the same thread does not block.
    g_lines.clear();
    g_reentered = 0;
    WSysSetTraceHook(ReentrantHook);
    WSysError("** INFO. ** outer");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"** INFO. ** outer", "** INFO. ** from inside the hook"}));
}

// Hook that notices concurrent calls and copies slowly, byte by byte.
std::atomic<bool> g_inHook{false};
std::atomic<int> g_overlaps{0};
int SerialHook(const char* text) {
    if (g_inHook.exchange(true)) g_overlaps++;
    std::string copy;
    for (const char* p = text; *p; ++p) copy.push_back(*p);
    g_lines.push_back(std::move(copy));
    g_inHook.store(false);
    return 0;
}

TEST_F(TraceTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8, kLines = 1000;
    WSysSetLoggerLevel("mt.logger", WLOG_UNKNOWN);
    WSysSetTraceHook(SerialHook);
    g_overlaps = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(200, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                if (i % 2) WLOG("mt.logger", WLOG_INFO, "thread %d line %d %s", t, i, payload.c_str());
                else WSysError("** INFO. ** [mt.logger] thread %d line %d %s", t, i, payload.c_str());
            }
        });
    }
    for (std::thread& th : threads) th.join();
    WSysSetTraceHook(CaptureHook);

    EXPECT_EQ(g_overlaps.load(), 0);
    ASSERT_EQ(g_lines.size(), static_cast<size_t>(kThreads * kLines));
    std::set<std::pair<int, int>> seen;
    std::vector<int> next(kThreads, 0);
    const std::regex shape(R"(\*\* INFO\. \*\* \[mt\.logger\] thread (\d) line (\d+) ([a-h]{200}))");
    for (const std::string& line : g_lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(m[3].str(), std::string(200, static_cast<char>('a' + t)));
        EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
        seen.insert({t, i});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(TraceTest, ThresholdsChangeWhileOtherThreadsTrace) {
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    WSysLoggerLevels privateTable;
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([w, &privateTable] {
            for (int i = 0; i < 3000; ++i) {
                std::string name = "race.w" + std::to_string(w) + "." + std::to_string(i % 97);
                WSysSetLoggerLevel(name.c_str(), i % 2 ? WLOG_INFO : WLOG_ERROR);
                WSysSetLoggerLevel("race.target", i % 2 ? WLOG_INFO : WLOG_ERROR);
                WSysSetLevelIn(&privateTable, name.c_str(), WLOG_WARN);
                if (i % 500 == 0) WSysSetErrorLevel(i % 1000 ? WLOG_UNKNOWN : WLOG_TRACE);
            }
        });
    }
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([r, &stop, &written, &privateTable] {
            int n = 0;
            while (!stop.load()) {
                WLOG("race.target", WLOG_WARN, "reader %d n=%d", r, n++);
                WSysError("## TRACE ## reader %d", r);
                if (WSysLoggerEnabledIn(&privateTable, "race.w0.1", WLOG_WARN)) written++;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    stop = true;
    for (std::thread& th : readers) th.join();

    const std::regex shape(R"((<< WARN\. >> \[race\.target\] reader \d n=\d+)|(## TRACE ## reader \d))");
    for (const std::string& line : g_lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_EQ(privateTable.size(), 3u * 97u);
    // Last writes decide: "race.target" ends at WLOG_INFO or WLOG_ERROR.
    g_lines.clear();
    WSysSetLoggerLevel("race.target", WLOG_ERROR);
    WLOG("race.target", WLOG_WARN, "dropped");
    EXPECT_TRUE(g_lines.empty());
}

class LogFileTest : public ::testing::Test {
protected:
    testsupport::TempDir dir_;
    std::string path_ = dir_.file("TRACE.LOG");
    std::string backup_ = dir_.file("TRACE.SPB");
};

TEST_F(LogFileTest, SizeEqualToLimitIsAppendedTo) {
    const std::string old(100, 'o');
    WriteFile(path_, old);
    {
        WSysLogFile file(path_.c_str(), 100);
        file.log("hello");
        EXPECT_TRUE(file.isOpen());
    }
    std::string text = ReadFileText(path_);
    EXPECT_TRUE(std::regex_match(text, std::regex(old + kStampPattern + "hello\r\n"))) << text;
    EXPECT_FALSE(std::filesystem::exists(backup_));
}

TEST_F(LogFileTest, OneByteBeyondLimitRotatesOnNextOpen) {
    const std::string old(101, 'o');
    WriteFile(path_, old);
    WriteFile(backup_, "older backup");
    {
        WSysLogFile file(path_.c_str(), 100);
        file.log("hello");
        file.log("again");
    }
    EXPECT_EQ(ReadFileText(backup_), old);
    std::string text = ReadFileText(path_);
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kStampPattern) +
                                                  R"(\*\* INFO\. \*\* New log\r\n)" + kStampPattern +
                                                  "hello\r\n" + kStampPattern + "again\r\n")))
        << text;
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogFileTest, GrowthWhileOpenRotatesOnlyAtTheNextOpen) {
    WSysLogFile file(path_.c_str(), 40);
    for (int i = 0; i < 5; ++i) file.log("a line of some length");
    EXPECT_FALSE(std::filesystem::exists(backup_));
    const std::string grown = ReadFileText(path_);
    file.close();
    EXPECT_FALSE(file.isOpen());
    file.log("after reopen");
    file.close();
    EXPECT_EQ(ReadFileText(backup_), grown);
    std::string text = ReadFileText(path_);
    EXPECT_NE(text.find("]:** INFO. ** New log\r\n"), std::string::npos);
    EXPECT_NE(text.find("]:after reopen\r\n"), std::string::npos);
}

TEST_F(LogFileTest, NewFileIsPrivateAndUnopenableFileIsSkipped) {
    {
        WSysLogFile file(path_.c_str(), 1000);
        file.log("x");
    }
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string missing = dir_.file("no/such/dir/TRACE.LOG");
    WSysLogFile bad(missing.c_str(), 1000);
    bad.log("lost");
    bad.writeLine("\x1BHlost");
    EXPECT_FALSE(bad.isOpen());
    EXPECT_FALSE(std::filesystem::exists(missing));
    WSysLogFile none(nullptr, 1000);
    none.log("lost");
    EXPECT_FALSE(none.isOpen());
}

// A file written line after line stays open between lines: each line is in
// the file at once, a file moved or removed from outside is followed by a new
// one at its path, one grown past the limit rotates before the next line,
// and while its directory is missing no line is written until it appears.
TEST_F(LogFileTest, AKeptFileFollowsItsPath) {
    WSysLogFile file(path_.c_str(), 120);
    const auto line = [&](const char* text) {
        ASSERT_TRUE(file.openKept()) << text;
        file.writeLine(text);
    };
    line("un");
    EXPECT_TRUE(std::regex_match(ReadFileText(path_), std::regex(std::string(kStampPattern) + "un\r\n")));
    const std::string moved = dir_.file("moved.LOG");
    ASSERT_EQ(std::rename(path_.c_str(), moved.c_str()), 0);
    line("deux");
    EXPECT_TRUE(std::regex_match(ReadFileText(moved), std::regex(std::string(kStampPattern) + "un\r\n")));
    EXPECT_TRUE(std::regex_match(ReadFileText(path_), std::regex(std::string(kStampPattern) + "deux\r\n")));
    ASSERT_EQ(std::remove(path_.c_str()), 0);
    line("trois");
    EXPECT_TRUE(std::regex_match(ReadFileText(path_), std::regex(std::string(kStampPattern) + "trois\r\n")));
    line("quatre, assez long pour depasser la limite du fichier de trace");
    line("cinq, toujours dans le fichier plein");  // 120 bytes not passed when it was looked at
    line("six");
    EXPECT_NE(ReadFileText(backup_).find("cinq, toujours"), std::string::npos);
    EXPECT_NE(ReadFileText(path_).find("New log"), std::string::npos);
    EXPECT_NE(ReadFileText(path_).find("]:six\r\n"), std::string::npos);

    const std::string directory = dir_.file("WOut");
    WSysLogFile later((directory + "/TRACE.LOG").c_str(), 1000);
    EXPECT_FALSE(later.openKept());
    EXPECT_FALSE(later.openKept());
    ASSERT_TRUE(std::filesystem::create_directory(directory));
    ASSERT_TRUE(later.openKept());
    later.writeLine("sept");
    EXPECT_NE(ReadFileText(directory + "/TRACE.LOG").find("]:sept\r\n"), std::string::npos);
}

TEST_F(LogFileTest, FailedRenameKeepsAppendingToTheOldFile) {
    const std::string old(200, 'o');
    WriteFile(path_, old);
    // A non-empty directory in the backup's place can be neither deleted nor replaced.
    std::filesystem::create_directory(backup_);
    WriteFile(backup_ + "/keep", "k");
    {
        WSysLogFile file(path_.c_str(), 100);
        file.log("still here");
    }
    std::string text = ReadFileText(path_);
    EXPECT_TRUE(std::regex_match(text, std::regex(old + kStampPattern + "still here\r\n"))) << text;
}

TEST_F(LogFileTest, EscapeHLinesAreWrittenRaw) {
    {
        WSysLogFile file(path_.c_str(), 100000);
        file.log("\x1BHraw line");
        file.log("\x1BH");
        file.log("\x1B");
        file.log("\x1BXnot raw");
        file.log(nullptr);
        file.writeLine(nullptr);
        file.writeStamped("stamped");
    }
    std::string text = ReadFileText(path_);
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string("raw line\r\n\r\n") + kStampPattern +
                                                  "\x1B\r\n" + kStampPattern + "\x1BXnot raw\r\n" +
                                                  kStampPattern + "stamped\r\n")))
        << text;
}

TEST_F(LogFileTest, BackupNameReplacesLastThreeCharacters) {
    const std::string log = dir_.file("ECHANGES.LOG");
    WriteFile(log, "12345");
    {
        WSysLogFile file(log.c_str(), 4);
        file.log("x");
    }
    EXPECT_EQ(ReadFileText(dir_.file("ECHANGES.SPB")), "12345");
}

TEST(TraceDump, WritesTheMessageBetweenBannersToStderr) {
    testsupport::TempDir dir;
    WSysResetDumpMessageCounter();
    StderrCapture capture(dir.file("stderr.txt"));
    EXPECT_EQ(WSysDumpMessage("hello"), 0);
    WSysError("-- ERROR -- through the load hook %d", 2);  // default hook
    std::string text = capture.text();
    std::string expected = std::string("\n\n===== MESSAGE        -0- ========>>\n") + kStampPattern +
                           "hello\n\n\n===== End Of MESSAGE -0- ========\n"
                           "\n\n===== MESSAGE        -1- ========>>\n" +
                           kStampPattern +
                           "-- ERROR -- through the load hook 2\n\n\n===== End Of MESSAGE -1- ========\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
    EXPECT_EQ(WSysDumpMessageCounter(), 2);
}

TEST(TraceDump, CounterWrapsToZeroAfter32000Messages) {
    testsupport::TempDir dir;
    WSysResetDumpMessageCounter();
    {
        StderrCapture capture("/dev/null");
        for (int i = 0; i < 31999; ++i) WSysDumpMessage("m");
    }
    EXPECT_EQ(WSysDumpMessageCounter(), 31999);
    StderrCapture capture(dir.file("last.txt"));
    WSysDumpMessage("last");
    std::string text = capture.text();
    EXPECT_NE(text.find("-31999- ========>>"), std::string::npos) << text;
    EXPECT_NE(text.find("End Of MESSAGE -31999-"), std::string::npos) << text;
    EXPECT_EQ(WSysDumpMessageCounter(), 0);
}

TEST_F(TraceTest, OpenSslErrorQueueIsWrittenAndEmptied) {
    ERR_clear_error();
    WSysSetLoggerLevel("openssl", WLOG_ERROR);
    const int reasons[] = {ERR_R_PASSED_NULL_PARAMETER, ERR_R_INTERNAL_ERROR, ERR_R_PASSED_INVALID_ARGUMENT};
    std::vector<std::string> expected;
    for (int reason : reasons) {
        ERR_raise(ERR_LIB_EVP, reason);
        unsigned long code = ERR_peek_last_error();
        char text[256] = {};
        ERR_error_string_n(code, text, sizeof text);
        expected.push_back("-- ERROR -- [openssl] code: " + std::to_string(static_cast<int>(code)) +
                           ", message: " + text);
    }
    EXPECT_EQ(OpenSSLHelper_logErrorStack(), 0);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(g_lines, expected);

    // Filtered out, the queue is emptied all the same.
    g_lines.clear();
    WSysSetLoggerLevel("openssl", WLOG_FATAL);
    ERR_raise(ERR_LIB_EVP, ERR_R_INTERNAL_ERROR);
    EXPECT_EQ(OpenSSLHelper_logErrorStack(), 0);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_TRUE(g_lines.empty());
    EXPECT_EQ(OpenSSLHelper_logErrorStack(), 0);  // empty queue: nothing
    EXPECT_TRUE(g_lines.empty());
}

}  // namespace
