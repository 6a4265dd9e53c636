#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
using plat::ExitStatus;

namespace {

// Started with ZNP_PROCESS_TEST_CHILD=<fifo>, this test program is a child of
// itself: it installs the terminate handler, reports readiness and blocks.
[[maybe_unused]] const bool g_childMode = [] {
    const char* ready = getenv("ZNP_PROCESS_TEST_CHILD");
    if (!ready) return false;
    if (!plat::InstallTerminateHandler()) _exit(90);
    int fd = open(ready, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, "ready\n", 6) != 6) _exit(91);
    close(fd);
    for (;;) pause();
}();

constexpr int kLongMs = 20000;  // generous bound for a child to react

std::string ProbePath() { return testsupport::BinPath("proc_probe"); }

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// The read end of a FIFO on which a child writes "ready\n".
class ReadyFifo {
public:
    explicit ReadyFifo(const std::string& path) : path_(path) {
        if (mkfifo(path.c_str(), 0600) != 0) return;
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~ReadyFifo() {
        if (fd_ >= 0) close(fd_);
    }
    const std::string& path() const { return path_; }
    bool valid() const { return fd_ >= 0; }
    // True once the child has written its line; false after timeoutMs.
    bool wait(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN)) return false;
        char buf[16];
        return read(fd_, buf, sizeof buf) > 0 && buf[0] == 'r';
    }

private:
    std::string path_;
    int fd_ = -1;
};

struct Report {
    std::vector<std::string> argv;
    std::string cwd;
    bool ok = false;
};

// Reads the report that proc_probe writes.
Report ReadReport(const std::string& file) {
    Report r;
    std::ifstream in(file, std::ios::binary);
    std::string word;
    size_t argc = 0;
    if (!(in >> word >> argc) || word != "argc") return r;
    in.get();
    auto readSized = [&in](std::string& out) {
        size_t len = 0;
        if (!(in >> len) || in.get() != ' ') return false;
        out.assign(len, '\0');
        if (!in.read(out.data(), static_cast<std::streamsize>(len))) return false;
        return in.get() == '\n';
    };
    for (size_t i = 0; i < argc; ++i) {
        std::string a;
        if (!readSized(a)) return r;
        r.argv.push_back(a);
    }
    if (!(in >> word) || word != "cwd" || !readSized(r.cwd)) return r;
    r.ok = true;
    return r;
}

// Runs a command line to its end and returns its exit status.
ExitStatus RunToEnd(const std::string& cmd, const std::string& dir = {},
                    const std::vector<std::string>& env = {}) {
    plat::StartResult s = plat::StartProcess(cmd, dir, env);
    EXPECT_TRUE(s.ok()) << cmd << ": " << strerror(s.error);
    if (!s.ok()) return {};
    EXPECT_TRUE(plat::WaitForExit(s.pid, kLongMs));
    return plat::GetExitCode(s.pid);
}

pid_t NeverExistingPid() {
    std::ifstream in("/proc/sys/kernel/pid_max");
    long max = 0;
    in >> max;
    // pids are below pid_max, so pid_max itself is never a process.
    return max > 0 && max < INT_MAX ? static_cast<pid_t>(max) : INT_MAX;
}

// ---------------------------------------------------------------------------

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> expected;
};

TEST(SplitCommandLine, FollowsTheWindowsRuntimeRules) {
    const std::vector<SplitCase> cases = {
        {"blanks", "a b  c", {"a", "b", "c"}},
        {"tabs and edges", " \t a\t\tb \t", {"a", "b"}},
        {"empty", "", {}},
        {"only blanks", "  \t ", {}},
        {"newline is no separator", "a\nb c", {"a\nb", "c"}},
        {"quoted group", "\"a b\" c", {"a b", "c"}},
        {"quotes inside a word", "a\"b c\"d e", {"ab cd", "e"}},
        {"tab inside quotes", "\"a\tb\"", {"a\tb"}},
        {"empty quoted argument", "a \"\" b", {"a", "", "b"}},
        {"lone empty argument", "\"\"", {""}},
        {"escaped quote", "\\\"a\\\"", {"\"a\""}},
        {"escaped quote inside group", "\"say \\\"hi\\\" now\" x", {"say \"hi\" now", "x"}},
        {"backslashes not before a quote", "a\\\\b c:\\dir\\x", {"a\\\\b", "c:\\dir\\x"}},
        {"trailing backslash", "a\\", {"a\\"}},
        {"2n backslashes then quote", "a\\\\\\\\\"b c\"", {"a\\\\b c"}},
        {"2n+1 backslashes then quote", "a\\\\\\\\\\\"b c", {"a\\\\\"b", "c"}},
        {"two backslashes close a group", "\"a\\\\\" b", {"a\\", "b"}},
        {"double quote inside group", "\"a\"\"b\" c", {"a\"b", "c"}},
        {"double quote keeps the group", "\"a \"\" b\"", {"a \" b"}},
        {"triple quotes", "\"\"\"a\"\"\"", {"\"a\""}},
        {"unterminated group", "\"open a b", {"open a b"}},
        {"quoted option value", "/opt/p/trv_71 -i3 -f\"my log.txt\" -m20",
         {"/opt/p/trv_71", "-i3", "-fmy log.txt", "-m20"}},
        {"NUL ends the text", std::string("a b\0c d", 7), {"a", "b"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(plat::SplitCommandLine(c.text), c.expected) << c.name << ": [" << c.text << "]";
}

// ---------------------------------------------------------------------------

class StartProcessTest : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
};

TEST_F(StartProcessTest, ChildGetsExactArgvAndWorkingDirectory) {
    // A program path with a blank in it, reached through a symbolic link.
    fs::create_directories(tmp.path() / "bin dir");
    const std::string probe = (tmp.path() / "bin dir" / "probe").string();
    fs::create_symlink(ProbePath(), probe);
    const std::string work = (tmp.path() / "work dir").string();
    fs::create_directories(work);
    const std::string report = tmp.file("report.txt");

    struct Case {
        std::string args;  // command line after the program
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"plain words", {"plain", "words"}},
        {"\"with blanks\" -f\"log file.txt\"", {"with blanks", "-flog file.txt"}},
        {"\\\"quoted\\\" \"in \\\"side\\\"\"", {"\"quoted\"", "in \"side\""}},
        {"c:\\dir\\ \"end\\\\\" \\\\\\\"x", {"c:\\dir\\", "end\\", "\\\"x"}},
        {"\"\" \"a\"\"b\" \t tab", {"", "a\"b", "tab"}},
        {"-R{SS}R{SV}s0{F}", {"-R{SS}R{SV}s0{F}"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::remove(report.c_str());
        ExitStatus st = RunToEnd(Quote(probe) + " " + c.args, work, {"ZNP_PROBE_OUT=" + report});
        EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
        EXPECT_EQ(st.code, 0);
        Report r = ReadReport(report);
        ASSERT_TRUE(r.ok);
        ASSERT_FALSE(r.argv.empty());
        EXPECT_EQ(r.argv[0], probe);
        EXPECT_EQ(std::vector<std::string>(r.argv.begin() + 1, r.argv.end()), c.expected);
        EXPECT_EQ(r.cwd, fs::canonical(work).string());
    }
}

TEST_F(StartProcessTest, EmptyWorkDirectoryKeepsOursAndRelativeProgramIsFromOurs) {
    fs::create_directories(tmp.path() / "sub");
    fs::create_symlink(ProbePath(), tmp.path() / "sub" / "probe");
    fs::create_directories(tmp.path() / "other");
    const std::string report = tmp.file("report.txt");
    const fs::path saved = fs::current_path();
    fs::current_path(tmp.path());

    // Relative program with a '/': found from our directory even though the
    // child runs elsewhere.
    ExitStatus st = RunToEnd("sub/probe x", tmp.file("other"), {"ZNP_PROBE_OUT=" + report});
    Report r = ReadReport(report);
    // Empty work directory: the child keeps ours.
    std::remove(report.c_str());
    ExitStatus st2 = RunToEnd("sub/probe y", "", {"ZNP_PROBE_OUT=" + report});
    Report r2 = ReadReport(report);
    fs::current_path(saved);

    EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.cwd, fs::canonical(tmp.path() / "other").string());
    EXPECT_EQ(r.argv, (std::vector<std::string>{"sub/probe", "x"}));
    EXPECT_EQ(st2.kind, ExitStatus::Kind::Exited);
    ASSERT_TRUE(r2.ok);
    EXPECT_EQ(r2.cwd, fs::canonical(tmp.path()).string());
}

TEST_F(StartProcessTest, FailuresGiveAnErrno) {
    const std::string notExec = tmp.file("not_exec");
    std::ofstream(notExec) << "data\n";
    struct Case {
        std::string cmd, dir;
        std::vector<std::string> env;
        int error;
    };
    const std::vector<Case> cases = {
        {"", "", {}, EINVAL},
        {" \t ", "", {}, EINVAL},
        {"\"\" arg", "", {}, EINVAL},
        {"/nonexistent/dir/prog", "", {}, ENOENT},
        {"znp_no_such_program_here", "", {}, ENOENT},
        {notExec, "", {}, EACCES},
        {Quote(ProbePath()), tmp.file("missing dir"), {}, ENOENT},
        {Quote(ProbePath()), "", {"NO_EQUAL_SIGN"}, EINVAL},
        {Quote(ProbePath()), "", {"=value"}, EINVAL},
    };
    for (const Case& c : cases) {
        plat::StartResult s = plat::StartProcess(c.cmd, c.dir, c.env);
        EXPECT_FALSE(s.ok()) << c.cmd;
        EXPECT_EQ(s.error, c.error) << c.cmd << ": " << strerror(s.error);
    }
}

TEST_F(StartProcessTest, EnvironmentAdditionsOverrideAndExtendOurs) {
    ASSERT_EQ(setenv("ZNP_PROC_TEST_OLD", "old", 1), 0);
    const std::string out = tmp.file("env.txt");
    ExitStatus st = RunToEnd("/bin/sh -c \"env > '" + out + "'\"", "",
                             {"ZNP_PROC_TEST_OLD=new", "ZNP_PROC_TEST_ADDED=a b", "ZNP_PROC_TEST_ADDED=c"});
    unsetenv("ZNP_PROC_TEST_OLD");
    EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
    EXPECT_EQ(st.code, 0);
    std::ifstream in(out);
    std::vector<std::string> ours;
    bool path = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ZNP_PROC_TEST_", 0) == 0) ours.push_back(line);
        if (line.rfind("PATH=", 0) == 0) path = true;
    }
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, (std::vector<std::string>{"ZNP_PROC_TEST_ADDED=c", "ZNP_PROC_TEST_OLD=new"}));
    EXPECT_TRUE(path) << "the caller's environment is passed on";
}

// A blocked or ignored signal in the parent must not make the child immune.
TEST_F(StartProcessTest, ChildStartsWithDefaultSignalHandling) {
    struct Case {
        int sig;
        bool ignore;  // ignore it in the parent, else block it
    };
    for (Case c : {Case{SIGTERM, false}, Case{SIGINT, true}, Case{SIGHUP, true}}) {
        SCOPED_TRACE(c.sig);
        ReadyFifo ready(tmp.file("ready" + std::to_string(c.sig)));
        ASSERT_TRUE(ready.valid());
        sigset_t set, old;
        sigemptyset(&set);
        sigaddset(&set, c.sig);
        struct sigaction ign {}, oldAction {};
        ign.sa_handler = SIG_IGN;
        if (c.ignore)
            sigaction(c.sig, &ign, &oldAction);
        else
            pthread_sigmask(SIG_BLOCK, &set, &old);
        plat::StartResult s =
            plat::StartProcess(Quote(ProbePath()) + " --probe-block --probe-ready=" + Quote(ready.path()));
        if (c.ignore)
            sigaction(c.sig, &oldAction, nullptr);
        else
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        ASSERT_TRUE(s.ok());
        ASSERT_TRUE(ready.wait(kLongMs));
        ASSERT_EQ(kill(s.pid, c.sig), 0);
        bool ended = plat::WaitForExit(s.pid, kLongMs);
        if (!ended) kill(s.pid, SIGKILL), plat::WaitForExit(s.pid, kLongMs);
        EXPECT_TRUE(ended);
        ExitStatus st = plat::GetExitCode(s.pid);
        EXPECT_EQ(st.kind, ExitStatus::Kind::Signaled);
        EXPECT_EQ(st.code, c.sig);
    }
}

TEST_F(StartProcessTest, ChildInheritsNoDescriptorsOfOurs) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // deliberately without close-on-exec
    ReadyFifo ready(tmp.file("ready"));
    ASSERT_TRUE(ready.valid());
    plat::StartResult s =
        plat::StartProcess(Quote(ProbePath()) + " --probe-block --probe-ready=" + Quote(ready.path()));
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(ready.wait(kLongMs));
    close(fds[1]);
    // With the child running, the pipe already reads as closed: no copy of its
    // write end lives in the child.
    pollfd p{fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    close(fds[0]);
    kill(s.pid, SIGKILL);
    EXPECT_TRUE(plat::WaitForExit(s.pid, kLongMs));
}

TEST_F(StartProcessTest, DetachedChildHasNullStandardStreams) {
    const std::string out = tmp.file("streams");
    plat::StartResult s = plat::StartProcess(
        "/bin/sh -c \"readlink /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2 > " + out + "\"", {}, {},
        /*detachStdio=*/true);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(plat::WaitForExit(s.pid, kLongMs));
    std::ifstream in(out);
    std::string line;
    std::vector<std::string> targets;
    while (std::getline(in, line)) targets.push_back(line);
    // fd 1 is redirected by the shell itself; 0 and 2 come from the start.
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets[0], "/dev/null");
    EXPECT_EQ(targets[2], "/dev/null");
}

TEST(ProcessKill, KillsOnlyOurOwnUnreapedChild) {
    plat::StartResult s = plat::StartProcess("/bin/sleep 60");
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE(plat::KillChildProcess(1));            // not our child
    EXPECT_FALSE(plat::KillChildProcess(getpid()));     // ourselves
    EXPECT_FALSE(plat::KillChildProcess(0));
    EXPECT_TRUE(plat::KillChildProcess(s.pid));
    ASSERT_TRUE(plat::WaitForExit(s.pid, kLongMs));
    ExitStatus st = plat::GetExitCode(s.pid);
    EXPECT_EQ(st.kind, ExitStatus::Kind::Signaled);
    EXPECT_EQ(st.code, SIGKILL);
    EXPECT_FALSE(plat::KillChildProcess(s.pid));  // reaped: its pid may be reused
}

// ---------------------------------------------------------------------------

TEST(ProcessProbe, ExitCodesSeenByTheParent) {
    struct Case {
        int requested, seen;
        int64_t timeout;
    };
    for (Case c : {Case{0, 0, kLongMs}, Case{3, 3, kLongMs}, Case{-1, 255, -1}, Case{256 + 7, 7, kLongMs}}) {
        SCOPED_TRACE(c.requested);
        plat::StartResult s =
            plat::StartProcess(Quote(ProbePath()) + " --probe-exit=" + std::to_string(c.requested));
        ASSERT_TRUE(s.ok());
        ASSERT_TRUE(plat::WaitForExit(s.pid, c.timeout));
        EXPECT_FALSE(plat::IsRunning(s.pid));
        ExitStatus st = plat::GetExitCode(s.pid);
        EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
        EXPECT_EQ(st.code, c.seen);
        // The status stays available after the child was reaped.
        EXPECT_EQ(plat::GetExitCode(s.pid).code, c.seen);
        EXPECT_TRUE(plat::WaitForExit(s.pid, 0));
    }
}

TEST(ProcessProbe, RunningChildThenKilled) {
    testsupport::TempDir tmp;
    ReadyFifo ready(tmp.file("ready"));
    ASSERT_TRUE(ready.valid());
    plat::StartResult s =
        plat::StartProcess(Quote(ProbePath()) + " --probe-wait --probe-ready=" + Quote(ready.path()));
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE(ready.wait(kLongMs));
    EXPECT_TRUE(plat::IsRunning(s.pid));
    EXPECT_EQ(plat::GetExitCode(s.pid).kind, ExitStatus::Kind::Unknown);
    EXPECT_FALSE(plat::WaitForExit(s.pid, 0));
    EXPECT_FALSE(plat::WaitForExit(s.pid, 30));
    EXPECT_TRUE(plat::IsRunning(s.pid));
    ASSERT_EQ(kill(s.pid, SIGKILL), 0);
    EXPECT_TRUE(plat::WaitForExit(s.pid, kLongMs));
    EXPECT_FALSE(plat::IsRunning(s.pid));
    ExitStatus st = plat::GetExitCode(s.pid);
    EXPECT_EQ(st.kind, ExitStatus::Kind::Signaled);
    EXPECT_EQ(st.code, SIGKILL);
}

TEST(ProcessProbe, PidsThatAreNoProcess) {
    for (pid_t pid : {NeverExistingPid(), static_cast<pid_t>(INT_MAX), 0, -1, -2}) {
        SCOPED_TRACE(pid);
        EXPECT_FALSE(plat::IsRunning(pid));
        EXPECT_EQ(plat::GetExitCode(pid).kind, ExitStatus::Kind::Unknown);
        EXPECT_TRUE(plat::WaitForExit(pid, 0));
        EXPECT_TRUE(plat::WaitForExit(pid, -1));
        EXPECT_FALSE(plat::TerminateProcessWithCode0(pid));
    }
}

// A process that is not our child: running, then a zombie of its own parent,
// which already counts as ended.
TEST(ProcessProbe, ProcessOfAnotherParent) {
    EXPECT_TRUE(plat::IsRunning(getppid()));

    int release[2], report[2], hold[2];
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        close(report[0]);
        close(hold[1]);
        pid_t grandchild = fork();
        if (grandchild == 0) {
            close(release[1]);
            char c;
            while (read(release[0], &c, 1) > 0) {
            }
            _exit(7);
        }
        close(release[0]);
        close(release[1]);
        if (write(report[1], &grandchild, sizeof grandchild) != sizeof grandchild) _exit(1);
        char c;
        while (read(hold[0], &c, 1) > 0) {  // never reaps the grandchild
        }
        _exit(0);
    }
    close(release[0]);
    close(report[1]);
    close(hold[0]);
    pid_t grandchild = -1;
    ASSERT_EQ(read(report[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    close(report[0]);

    EXPECT_TRUE(plat::IsRunning(grandchild));
    EXPECT_FALSE(plat::WaitForExit(grandchild, 0));
    close(release[1]);  // the grandchild ends, a zombie of the middle process
    EXPECT_TRUE(plat::WaitForExit(grandchild, kLongMs));
    EXPECT_FALSE(plat::IsRunning(grandchild));
    EXPECT_EQ(plat::GetExitCode(grandchild).kind, ExitStatus::Kind::Unknown);

    close(hold[1]);
    EXPECT_TRUE(plat::WaitForExit(middle, kLongMs));
    ExitStatus st = plat::GetExitCode(middle);
    EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
    EXPECT_EQ(st.code, 0);
}

// ---------------------------------------------------------------------------

class TerminateTest : public ::testing::Test {
protected:
    // Starts a program file in child mode and waits until it is ready.
    pid_t StartChild(const std::string& program) {
        ReadyFifo ready(tmp.file("ready" + std::to_string(++count_)));
        EXPECT_TRUE(ready.valid());
        plat::StartResult s = plat::StartProcess(Quote(program), "", {"ZNP_PROCESS_TEST_CHILD=" + ready.path()});
        EXPECT_TRUE(s.ok()) << strerror(s.error);
        if (!s.ok()) return -1;
        EXPECT_TRUE(ready.wait(kLongMs));
        return s.pid;
    }
    testsupport::TempDir tmp;
    int count_ = 0;
};

TEST_F(TerminateTest, EndsAProcessOfTheSameProgramFileWithCode0) {
    const std::string self = plat::CurrentProgramPath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(self[0], '/');
    pid_t pid = StartChild(self);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(plat::IsRunning(pid));
    EXPECT_TRUE(plat::TerminateProcessWithCode0(pid));
    ASSERT_TRUE(plat::WaitForExit(pid, kLongMs));
    ExitStatus st = plat::GetExitCode(pid);
    EXPECT_EQ(st.kind, ExitStatus::Kind::Exited);
    EXPECT_EQ(st.code, 0);
    // Once it has ended and been reaped there is nothing left to end.
    EXPECT_FALSE(plat::TerminateProcessWithCode0(pid));
}

TEST_F(TerminateTest, RefusesAnotherProgram) {
    plat::StartResult s = plat::StartProcess("sleep 60");
    ASSERT_TRUE(s.ok()) << strerror(s.error);
    EXPECT_FALSE(plat::TerminateProcessWithCode0(s.pid));
    // Had a SIGTERM been sent it would be the cause of death, not our SIGKILL.
    ASSERT_EQ(kill(s.pid, SIGKILL), 0);
    ASSERT_TRUE(plat::WaitForExit(s.pid, kLongMs));
    ExitStatus st = plat::GetExitCode(s.pid);
    EXPECT_EQ(st.kind, ExitStatus::Kind::Signaled);
    EXPECT_EQ(st.code, SIGKILL);
}

TEST_F(TerminateTest, RefusesACopyOfOurProgramFile) {
    // Same content, another file: not the same program file.
    const std::string copy = tmp.file("copy of test");
    fs::copy_file(plat::CurrentProgramPath(), copy);
    fs::permissions(copy, fs::perms::owner_all);
    pid_t pid = StartChild(copy);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(plat::TerminateProcessWithCode0(pid));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(plat::WaitForExit(pid, kLongMs));
    EXPECT_EQ(plat::GetExitCode(pid).code, SIGKILL);
}

TEST_F(TerminateTest, RefusesOurOwnProcess) {
    // The check runs before any signal: surviving this line is the test.
    EXPECT_FALSE(plat::TerminateProcessWithCode0(plat::CurrentPid()));
    EXPECT_EQ(plat::CurrentPid(), getpid());
}


TEST(ShellCommand, ExitCodesOfTheShell) {
    testsupport::TempDir dir;
    struct Case {
        const char* what;
        std::string line;
        int code;
    } cases[] = {
        {"done", "true", 0},
        {"its own exit code", "exit 7", 7},
        {"command not found", dir.file("none") + " arg", 127},
        {"not executable", "'" + dir.str() + "'", 126},
        {"killed by a signal", "kill -TERM $$", 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        int code = -1;
        EXPECT_TRUE(plat::RunShellCommand(c.line, &code)) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
    }
    int code = 0;
    EXPECT_FALSE(plat::RunShellCommand(std::string("true\0rm", 7), &code));
    EXPECT_EQ(code, EINVAL);
}

// The command reads nothing of ours: its standard input is empty.
TEST(ShellCommand, StandardInputIsEmpty) {
    int code = -1;
    ASSERT_TRUE(plat::RunShellCommand("read line && exit 3; exit 4", &code));
    EXPECT_EQ(code, 4);
}

// A quoted text reaches a program through the shell as one argument,
// exactly.
TEST(ShellCommand, QuotedTextComesBackWhole) {
    testsupport::TempDir dir;
    const std::string out = dir.file("out");
    const char* texts[] = {"plain", "a b  c", "it's", "'", "''", "$(touch x)`touch y`;&|<>*?~#", "", "tab\tnew\nline",
                           "\\back\\"};
    for (const char* text : texts) {
        std::remove(out.c_str());
        int code = -1;
        ASSERT_TRUE(plat::RunShellCommand("cd " + plat::ShellQuote(dir.str()) + " && printf '%s' " + plat::ShellQuote(text) +
                                              " > " + plat::ShellQuote(out),
                                          &code));
        EXPECT_EQ(code, 0) << text;
        std::ifstream in(out, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_EQ(ss.str(), text);
    }
    EXPECT_EQ(plat::ShellQuote("a'b"), "'a'\\''b'");
    EXPECT_FALSE(fs::exists(dir.file("x")));
    EXPECT_FALSE(fs::exists(dir.file("y")));
}

}  // namespace
