// What idle tills cost: starts N tills through the client library, as a
// cash-register host does (libznp_dll.so loaded with dlopen, one instance per
// till, each on its own copy of the example configuration and its own copy of
// trv_71), sends nothing for a while, and prints for every program and for
// the host itself the CPU time (share of one core, from
// /proc/<pid>/task/*/schedstat) and the context switches per second (from
// /proc/<pid>/task/*/status: voluntary ones are the wake-ups of a sleeping
// process). Beside them, as the floor of the machine, a child process that
// only sleeps a second at a time is measured over the same period. Then it
// closes the tills.
//
//   idle_tills [--tills N] [--seconds S] [--example DIR] [--program FILE]
//
// Defaults: 1 till, 30 s, ./example, trv_71 of the build that holds this
// program; the library is the one of that build (lib/ beside bin/). Exit code 0 when every till opened and closed, 1
// otherwise, 2 for a bad command line.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/station_lock.h"
#include "support/temp_dir.h"
#include "support/znp_dll_loader.h"
#include "tool_help.h"

namespace {

// CPU nanoseconds and context switches of a process, all its threads.
struct Usage {
    double cpuNs = 0;
    double voluntary = 0;
    double involuntary = 0;
};

double FieldOf(const std::string& status, const char* key) {
    const size_t at = status.find(key);
    return at == std::string::npos ? 0 : std::atof(status.c_str() + at + std::strlen(key));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Usage UsageOf(pid_t pid) {
    Usage u;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return u;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + e->d_name;
        u.cpuNs += std::atof(ReadText(task + "/schedstat").c_str());
        const std::string status = ReadText(task + "/status");
        u.voluntary += FieldOf(status, "voluntary_ctxt_switches:");
        u.involuntary += FieldOf(status, "nonvoluntary_ctxt_switches:");
    }
    closedir(dir);
    return u;
}

std::string DirectoryOfThisProgram() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

// Our child process that runs the program file `path`, or 0.
pid_t ChildRunning(const std::string& path) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path() / "exe", linkError).string() != path) continue;
        // The parent is the second field after the command name in brackets.
        const std::string stat = ReadText(entry.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 4 < stat.size() && std::atoi(stat.c_str() + close + 4) == getpid())
            return static_cast<pid_t>(std::atoi(name.c_str()));
    }
    return 0;
}

void Print(const char* who, pid_t pid, const Usage& a, const Usage& b, double seconds) {
    std::printf("%-10s pid %-7d cpu %7.3f %% of a core  wake-ups %8.1f /s  involuntary %6.1f /s\n", who,
                static_cast<int>(pid), (b.cpuNs - a.cpuNs) / 1e9 / seconds * 100.0, (b.voluntary - a.voluntary) / seconds,
                (b.involuntary - a.involuntary) / seconds);
}

}  // namespace

namespace {
const char kUsage[] =
    "usage: idle_tills [--tills N] [--seconds S] [--example DIR] [--program FILE]\n"
    "Starts N idle tills through the client library and prints what they cost in CPU time and wake-ups.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    int tills = 1;
    double seconds = 30;
    std::string example = "example";
    const std::string here = DirectoryOfThisProgram();
    std::string program = here + "/trv_71";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--tills" && hasValue) tills = std::atoi(argv[++i]);
        else if (arg == "--seconds" && hasValue) seconds = std::atof(argv[++i]);
        else if (arg == "--example" && hasValue) example = argv[++i];
        else if (arg == "--program" && hasValue) program = argv[++i];
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (tills < 1 || tills > 99 || seconds <= 0) {
        std::fprintf(stderr, "idle_tills: 1 to 99 tills, a positive time\n");
        return 2;
    }
    // The loader takes the library of the build whose bin/ holds trv_71.
    setenv("ZNP_BIN_DIR", std::filesystem::path(program).parent_path().c_str(), 1);
    testsupport::ZnpDll dll;
    if (!dll.Load()) {
        std::fprintf(stderr, "idle_tills: %s\n", dll.error.c_str());
        return 1;
    }

    struct Till {
        std::unique_ptr<testsupport::TempDir> dir;
        uint32_t id = 0;
        pid_t pid = 0;
    };
    std::vector<Till> opened;
    bool ok = true;
    for (int n = 0; n < tills; ++n) {
        Till till;
        till.dir = std::make_unique<testsupport::TempDir>();
        std::error_code ec;
        std::filesystem::copy(example, till.dir->str(), std::filesystem::copy_options::recursive, ec);
        // Tills open at the same time need program files of their own names.
        const std::string copy = till.dir->file("trv_71_idle" + std::to_string(n + 1));
        if (!ec) std::filesystem::copy_file(program, copy, ec);
        if (ec) {
            std::fprintf(stderr, "idle_tills: cannot copy %s and %s: %s\n", example.c_str(), program.c_str(),
                         ec.message().c_str());
            ok = false;
            break;
        }
        const uint32_t pos = testsupport::UniquePosNumber();
        const int result = dll.OpenStation(&till.id, pos, copy, till.dir->file("ECHANGES.LOG"), 0);
        if (result != 0) {
            std::fprintf(stderr, "idle_tills: SZelApiOpen for POS %u gave %d\n", pos, result);
            ok = false;
            break;
        }
        till.pid = ChildRunning(copy);
        std::printf("till %2d: POS %u, program pid %d\n", n + 1, pos, static_cast<int>(till.pid));
        opened.push_back(std::move(till));
    }
    if (ok) {
        // The floor: a process that wakes once a second and does nothing.
        const pid_t sleeper = fork();
        if (sleeper == 0) {
            for (;;) sleep(1);
        }
        // Let the start-up settle, then measure a quiet period.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const Usage sleeperBefore = UsageOf(sleeper);
        std::vector<Usage> before;
        for (const Till& t : opened) before.push_back(UsageOf(t.pid));
        const Usage hostBefore = UsageOf(getpid());
        std::printf("idle for %.0f s ...\n", seconds);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const Usage hostAfter = UsageOf(getpid());
        const Usage sleeperAfter = UsageOf(sleeper);
        Usage sumBefore, sumAfter;
        for (size_t i = 0; i < opened.size(); ++i) {
            const Usage after = UsageOf(opened[i].pid);
            const std::string who = "till " + std::to_string(i + 1);
            Print(who.c_str(), opened[i].pid, before[i], after, seconds);
            sumBefore.cpuNs += before[i].cpuNs;
            sumBefore.voluntary += before[i].voluntary;
            sumBefore.involuntary += before[i].involuntary;
            sumAfter.cpuNs += after.cpuNs;
            sumAfter.voluntary += after.voluntary;
            sumAfter.involuntary += after.involuntary;
        }
        if (opened.size() > 1) Print("all tills", 0, sumBefore, sumAfter, seconds);
        Print("host", getpid(), hostBefore, hostAfter, seconds);
        Print("floor", sleeper, sleeperBefore, sleeperAfter, seconds);
        if (sleeper > 0) {
            kill(sleeper, SIGKILL);
            waitpid(sleeper, nullptr, 0);
        }
    }
    for (Till& t : opened)
        if (dll.Close(t.id, 0) != 0) ok = false;
    return ok ? 0 : 1;
}
