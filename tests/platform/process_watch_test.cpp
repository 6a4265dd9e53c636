// Process descriptors: the end of a watched process is seen, and a process is
// asked to end only when it runs a program file of the given name.
#include "platform/process_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/fork_child.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using testsupport::Channel;
using testsupport::ForkedChild;

namespace {

constexpr int64_t kLongMs = 10000;

// True once HasEnded says so, looking until kLongMs have passed.
bool SeenEnded(const plat::WatchedProcess& watch) {
    const int64_t end = plat::RealMonotonicMs() + kLongMs;
    while (!watch.HasEnded()) {
        if (plat::RealMonotonicMs() >= end) return false;
        usleep(1000);
    }
    return true;
}

TEST(WatchedProcess, EndOfTheProcessIsSeenBeforeAndWithoutItsReaping) {
    ForkedChild child([](Channel& ch) { return ch.receive(60000) == 'q' ? 0 : 1; });
    ASSERT_TRUE(child.started());
    plat::WatchedProcess watch;
    ASSERT_EQ(watch.Watch(child.pid()), 0);
    EXPECT_TRUE(watch.watching());
    EXPECT_EQ(watch.pid(), child.pid());
    EXPECT_FALSE(watch.HasEnded());
    child.send('q');
    EXPECT_TRUE(SeenEnded(watch));  // a zombie counts as ended
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(watch.HasEnded());
    watch.Stop();
    EXPECT_FALSE(watch.watching());
    EXPECT_FALSE(watch.HasEnded());
    // Nothing to watch: a pid that is no process, or none.
    EXPECT_EQ(watch.Watch(child.pid()), ESRCH);
    EXPECT_EQ(watch.Watch(0), EINVAL);
    EXPECT_FALSE(watch.watching());
}

TEST(WatchedProcess, ParentOfAProcessIsWatchedUntilItEnds) {
    // A middle process starts a child that watches its parent; the middle
    // process then ends, and the child reports what it sees.
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        close(report[0]);
        int go[2];
        if (pipe(go) != 0) _exit(1);
        const pid_t watcher = fork();
        if (watcher == 0) {
            close(go[1]);
            plat::WatchedProcess parent;
            const char started = parent.WatchParent() == 0 && !parent.HasEnded() ? 'w' : 'x';
            if (write(report[1], &started, 1) != 1) _exit(1);
            char c;
            while (read(go[0], &c, 1) > 0) {  // the middle process ends: EOF
            }
            const char ended = SeenEnded(parent) ? 'e' : 'x';
            if (write(report[1], &ended, 1) != 1) _exit(1);
            _exit(0);
        }
        close(go[0]);
        for (;;) pause();  // alive until killed
    }
    close(report[1]);
    char c = 0;
    ASSERT_EQ(read(report[0], &c, 1), 1);
    EXPECT_EQ(c, 'w');
    ASSERT_EQ(kill(middle, SIGKILL), 0);
    ASSERT_EQ(waitpid(middle, nullptr, 0), middle);
    c = 0;
    ASSERT_EQ(read(report[0], &c, 1), 1);
    EXPECT_EQ(c, 'e');
    close(report[0]);
}

class TerminateNamedTest : public ::testing::Test {
protected:
    // Starts a copy of the probe program under that name in its own
    // directory, waiting until it has installed its terminate handler.
    pid_t Start(const std::string& dir, const std::string& name) {
        fs::create_directories(tmp.path() / dir);
        const std::string program = (tmp.path() / dir / name).string();
        if (!fs::exists(program)) fs::copy_file(testsupport::BinPath("proc_probe"), program);
        int ready[2];
        if (pipe(ready) != 0) return -1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            dup2(ready[1], 3);
            execl(program.c_str(), program.c_str(), "--probe-wait", "--probe-ready-fd=3", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        char buf[8];
        const bool ok = read(ready[0], buf, sizeof buf) > 0;
        close(ready[0]);
        EXPECT_TRUE(ok) << program;
        return pid;
    }
    // Exit code 0-255, or 128 + the signal.
    static int Reap(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    testsupport::TempDir tmp;
};

TEST_F(TerminateNamedTest, EndsOnlyAProcessOfThatFileName) {
    // The same file name in another directory is the same program.
    const pid_t sameName = Start("a", "znp_named_probe");
    ASSERT_GT(sameName, 0);
    EXPECT_EQ(plat::ProgramFileNameOf(sameName), "znp_named_probe");
    EXPECT_TRUE(plat::TerminateProcessNamed(sameName, "znp_named_probe"));
    EXPECT_EQ(Reap(sameName), 0);  // its handler ends it with exit code 0

    // A process whose file has another name (as a pid reused by another
    // program would) is left alone.
    const pid_t otherName = Start("b", "znp_other_probe");
    ASSERT_GT(otherName, 0);
    EXPECT_FALSE(plat::TerminateProcessNamed(otherName, "znp_named_probe"));
    EXPECT_FALSE(plat::TerminateProcessNamed(otherName, "znp_other"));
    ASSERT_EQ(kill(otherName, SIGKILL), 0);
    EXPECT_EQ(Reap(otherName), 128 + SIGKILL);  // had SIGTERM been sent, it would have exited 0

    // Ended, reaped, not a process, or this process: refused.
    EXPECT_FALSE(plat::TerminateProcessNamed(sameName, "znp_named_probe"));
    EXPECT_FALSE(plat::TerminateProcessNamed(0, "znp_named_probe"));
    EXPECT_FALSE(plat::TerminateProcessNamed(getpid(), plat::ProgramFileNameOf(getpid())));
    EXPECT_EQ(plat::ProgramFileNameOf(0), "");
}

}  // namespace
