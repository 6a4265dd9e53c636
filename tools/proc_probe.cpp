// Child program for the process tests.
//
// Writes its arguments and its working directory to a report file, then exits
// with a chosen code or blocks until a signal ends it. Options may stand
// anywhere among the arguments (they are reported too):
//   --probe-out=PATH       report file (else the variable ZNP_PROBE_OUT)
//   --probe-exit=N         exit with code N (default 0)
//   --probe-wait           install the terminate handler, then block
//   --probe-block          block with the default signal handling
//   --probe-ready=PATH     once blocking, write "ready\n" to PATH (a FIFO or file)
//   --probe-ready-fd=N     once blocking, write "ready\n" to descriptor N
//
// Report format: "argc <n>\n", then one line per argument "<length> <text>\n",
// then "cwd <length> <path>\n". Lengths make the report exact whatever the
// arguments hold.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "tool_help.h"

namespace {

bool StartsWith(const char* s, const char* prefix, const char** rest) {
    size_t n = strlen(prefix);
    if (strncmp(s, prefix, n) != 0) return false;
    *rest = s + n;
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

namespace {
const char kUsage[] =
    "usage: proc_probe [--probe-out=PATH] [--probe-exit=N] [--probe-wait | --probe-block]\n"
    "                  [--probe-ready=PATH | --probe-ready-fd=N] [ARGUMENT...]\n"
    "Child of the process tests: reports its arguments and working directory, then exits or blocks.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    const char* out = getenv("ZNP_PROBE_OUT");
    const char* readyPath = nullptr;
    int readyFd = -1;
    int exitCode = 0;
    bool wait = false, block = false;
    for (int i = 1; i < argc; ++i) {
        const char* rest = nullptr;
        if (StartsWith(argv[i], "--probe-out=", &rest)) out = rest;
        else if (StartsWith(argv[i], "--probe-exit=", &rest)) exitCode = atoi(rest);
        else if (strcmp(argv[i], "--probe-wait") == 0) wait = true;
        else if (strcmp(argv[i], "--probe-block") == 0) block = true;
        else if (StartsWith(argv[i], "--probe-ready=", &rest)) readyPath = rest;
        else if (StartsWith(argv[i], "--probe-ready-fd=", &rest)) readyFd = atoi(rest);
    }

    if (out && *out) {
        std::string report = "argc " + std::to_string(argc) + "\n";
        for (int i = 0; i < argc; ++i)
            report += std::to_string(strlen(argv[i])) + " " + argv[i] + "\n";
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) strcpy(cwd, "?");
        report += "cwd " + std::to_string(strlen(cwd)) + " " + cwd + "\n";
        int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || !WriteAll(fd, report)) {
            perror("proc_probe: report");
            return 120;
        }
        close(fd);
    }

    if (wait || block) {
        if (wait && !plat::InstallTerminateHandler()) return 121;
        if (readyPath) {
            int fd = open(readyPath, O_WRONLY | O_CLOEXEC);
            if (fd < 0 || !WriteAll(fd, "ready\n")) return 122;
            close(fd);
        }
        if (readyFd >= 0) {
            if (!WriteAll(readyFd, "ready\n")) return 123;
            close(readyFd);
        }
        for (;;) pause();
    }
    return exitCode;
}
