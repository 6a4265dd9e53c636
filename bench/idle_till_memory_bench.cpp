// Memory of idle tills: 32 tills opened through the client library as a
// store runs them, each in its own directory (a copy of the example
// configuration with the spool directory "WOut") with its own program file
// trv_71_<POS>, a hard link to one program file as znp_new_till makes it, so
// that the tills share the program's code. Once every till is open and idle,
// each program's memory is read from /proc/<pid>/smaps_rollup: its private
// memory (Private_Clean + Private_Dirty, what the till alone costs the
// machine), its proportional share (Pss) and what it shares (Shared_*), in
// kilobytes, the median and the largest over the tills. Beside it, measured
// in the same run: the private memory of the smallest program of the
// machine, "sleep" (floor_private_kb).
//
// Run it from the source tree's root: the example configuration is copied
// from ./example.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/config_tree.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"
#include "support/znp_dll_loader.h"

namespace {

constexpr int kTills = 32;

// The kilobyte fields of /proc/<pid>/smaps_rollup; empty when unreadable.
std::map<std::string, double> Rollup(pid_t pid) {
    std::map<std::string, double> fields;
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        double kb = 0;
        std::string unit;
        if (words >> key >> kb >> unit && unit == "kB" && key.back() == ':') fields[key.substr(0, key.size() - 1)] = kb;
    }
    return fields;
}

double PrivateKb(const std::map<std::string, double>& f) {
    const auto get = [&](const char* k) {
        const auto it = f.find(k);
        return it == f.end() ? 0.0 : it->second;
    };
    return get("Private_Clean") + get("Private_Dirty");
}

// The pid of the running process whose program file is `path`, or 0.
pid_t PidOfProgram(const std::string& path) {
    std::error_code ec;
    const std::string wanted = std::filesystem::weakly_canonical(path, ec).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code e;
        const std::string exe = std::filesystem::read_symlink(entry.path() / "exe", e).string();
        if (!e && exe == wanted) return static_cast<pid_t>(std::stoi(name));
    }
    return 0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The floor: the private memory of "sleep", the smallest program at hand.
double FloorPrivateKb() {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) return 0;
    double kb = 0;
    // Once it sleeps, its memory no longer moves.
    for (int i = 0; i < 200 && kb == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ifstream stat("/proc/" + std::to_string(pid) + "/wchan");
        std::string wchan;
        stat >> wchan;
        if (wchan.find("nanosleep") != std::string::npos || wchan.find("hrtimer") != std::string::npos)
            kb = PrivateKb(Rollup(pid));
    }
    if (kb == 0) kb = PrivateKb(Rollup(pid));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return kb;
}

struct OpenTill {
    std::unique_ptr<testsupport::ConfigTree> dir;
    std::string program;
    uint32_t pos = 0;
    uint32_t id = 0;
};

void BM_IdleTillMemory(benchmark::State& state) {
    static testsupport::ZnpDll library;
    static const bool loaded = library.Load();
    if (!loaded) {
        state.SkipWithError("cannot load libznp_dll.so");
        return;
    }
    // One program file for the store, on the same file system as the tills.
    testsupport::TempDir store;
    const std::string installed = store.file("trv_71");
    std::error_code ec;
    std::filesystem::copy_file(testsupport::BinPath("trv_71"), installed, ec);
    if (ec) {
        state.SkipWithError("cannot copy trv_71");
        return;
    }
    std::vector<OpenTill> tills(kTills);
    std::vector<double> privateKb, pssKb, sharedKb;
    for (auto _ : state) {
        for (OpenTill& till : tills) {
            till.dir = std::make_unique<testsupport::ConfigTree>();
            till.pos = testsupport::UniquePosNumber();
            char own[32];
            std::snprintf(own, sizeof own, "trv_71_%03u", till.pos);
            till.program = till.dir->file(own);
            std::filesystem::create_directory(till.dir->file("WOut"), ec);
            std::filesystem::create_hard_link(installed, till.program, ec);
            if (!till.dir->ok() || ec) {
                state.SkipWithError("cannot make the till's directory and its hard link");
                break;
            }
            if (library.OpenStation(&till.id, till.pos, till.program, till.dir->file("ECHANGES.LOG"), 0) != 0) {
                till.id = 0;
                state.SkipWithError("SZelApiOpen failed");
                break;
            }
        }
        // Idle: every program sleeps on its mailbox.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (const OpenTill& till : tills) {
            if (till.id == 0) continue;
            const pid_t pid = PidOfProgram(till.program);
            const auto f = pid > 0 ? Rollup(pid) : std::map<std::string, double>{};
            if (f.empty()) continue;
            privateKb.push_back(PrivateKb(f));
            pssKb.push_back(f.count("Pss") ? f.at("Pss") : 0);
            sharedKb.push_back((f.count("Shared_Clean") ? f.at("Shared_Clean") : 0) +
                               (f.count("Shared_Dirty") ? f.at("Shared_Dirty") : 0));
        }
        for (OpenTill& till : tills)
            if (till.id != 0) library.Close(till.id, 0);
    }
    if (privateKb.size() != tills.size()) {
        if (!state.error_occurred()) state.SkipWithError("a till's memory could not be read");
        return;
    }
    state.counters["tills"] = static_cast<double>(privateKb.size());
    state.counters["private_median_kb"] = Median(privateKb);
    state.counters["private_max_kb"] = *std::max_element(privateKb.begin(), privateKb.end());
    state.counters["pss_median_kb"] = Median(pssKb);
    state.counters["shared_median_kb"] = Median(sharedKb);
    state.counters["floor_private_kb"] = FloorPrivateKb();
}
BENCHMARK(BM_IdleTillMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
