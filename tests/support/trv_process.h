// Runs a private copy of trv_71 (a hard link named after the test and the
// test process, so that tests running side by side, in this tree or another,
// never end each other through the single-instance guard, which ends any
// running program of the same file name) with its standard output and error
// in files.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/clock.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"

namespace testsupport {

class TrvProcess {
public:
    // Links the program into dir under the name given.
    TrvProcess(const TempDir& dir, const std::string& name) : dir_(dir.str()) {
        name_ = name + "_" + std::to_string(getpid());
        program_ = dir.file(name_);
        std::error_code ec;
        std::filesystem::create_hard_link(BinPath("trv_71"), program_, ec);
        if (ec) std::filesystem::copy_file(BinPath("trv_71"), program_, ec);
    }
    ~TrvProcess() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    const std::string& program() const { return program_; }
    // The program's file name (its single-instance objects are named after it).
    const std::string& name() const { return name_; }

    pid_t Start(const std::vector<std::string>& args, const std::string& tag = "run") {
        out_ = dir_ + "/" + tag + ".out";
        err_ = dir_ + "/" + tag + ".err";
        ended_ = false;
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program_.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            if (chdir(dir_.c_str()) != 0) _exit(126);
            execv(program_.c_str(), argv.data());
            _exit(127);
        }
        return pid_;
    }

    // Exit code (0-255), -2 when still running after timeoutMs, -3 on a signal.
    int Wait(int64_t timeoutMs = 15000) {
        const int64_t end = plat::MonotonicMs() + timeoutMs;
        int status = 0;
        while (true) {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (plat::MonotonicMs() >= end) return -2;
            usleep(2000);
        }
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
    }

    std::string Out() const { return Read(out_); }
    std::string Err() const { return Read(err_); }
    pid_t pid() const { return pid_; }

private:
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_;
    std::string name_;
    std::string program_;
    std::string out_, err_;
    pid_t pid_ = -1;
    bool ended_ = true;
};

}  // namespace testsupport
