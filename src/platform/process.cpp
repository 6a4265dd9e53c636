#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/console_keyboard.h"
#include "platform/name_release.h"

extern char** environ;

namespace plat {
namespace {

// Exit statuses of the children reaped by the probes, until asked for.
std::mutex g_reapedMutex;
std::unordered_map<pid_t, int> g_reaped;

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

std::string ReadLink(const std::string& path) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        if (buf.size() >= 65536) return {};
        buf.resize(buf.size() * 2);
    }
}

// State letter of /proc/<pid>/stat ('R', 'S', 'Z' ...), or 0 when unreadable.
char ProcState(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    // "pid (comm) S ...": the command may itself hold ')', so take the last one.
    const char* close_paren = strrchr(buf, ')');
    if (!close_paren || close_paren[1] != ' ') return 0;
    return close_paren[2];
}

// Same program file: same device and inode, or the same path when either
// file cannot be examined.
bool SameProgramFile(pid_t pid) {
    std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    struct stat theirs {}, ours {};
    if (stat(exe.c_str(), &theirs) == 0 && stat("/proc/self/exe", &ours) == 0)
        return theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
    std::string theirPath = ReadLink(exe);
    std::string ourPath = ReadLink("/proc/self/exe");
    return !theirPath.empty() && theirPath == ourPath;
}

std::atomic<TerminateNotice> g_terminateNotice{nullptr};

// Ends the process with exit code 0: tells who asked (the notice, when one is
// set), gives up the names of the named objects no other process uses, then
// _exit. Only async-signal-safe calls.
// File actions and attributes of a child: empty signal mask, default
// dispositions. rc is the first failure (0 when ready); both are released
// with the object.
struct SpawnSetup {
    SpawnSetup() {
        rc = posix_spawn_file_actions_init(&actions);
        if (rc != 0) return;
        actionsMade = true;
        rc = posix_spawnattr_init(&attr);
        if (rc != 0) return;
        attrMade = true;
        sigset_t emptyMask, allSignals;
        sigemptyset(&emptyMask);
        sigfillset(&allSignals);
        rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &emptyMask);
        if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &allSignals);
    }
    ~SpawnSetup() {
        if (attrMade) posix_spawnattr_destroy(&attr);
        if (actionsMade) posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actionsMade = false, attrMade = false;
    int rc = 0;
};

void TerminateHandler(int, siginfo_t* info, void*) {
    const pid_t sender = info != nullptr && info->si_code == SI_USER ? info->si_pid : 0;
    if (TerminateNotice notice = g_terminateNotice.load(std::memory_order_acquire)) notice(sender);
    ReleaseRegisteredNames();
    RestoreConsoleForExit();
    _exit(0);
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view text) {
    std::vector<std::string> args;
    std::string current;
    bool inArg = false;     // an argument has started (even an empty "")
    bool inQuotes = false;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] != '\0') {
        char c = text[i];
        if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inArg) {
                args.push_back(std::move(current));
                current.clear();
                inArg = false;
            }
            ++i;
            continue;
        }
        inArg = true;
        if (c == '\\') {
            size_t count = 0;
            while (i < n && text[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < n && text[i] == '"') {
                current.append(count / 2, '\\');
                if (count % 2 == 1) {
                    current.push_back('"');
                    ++i;
                }
                // even count: the quote is handled as a quote on the next turn
            } else {
                current.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (inQuotes && i + 1 < n && text[i + 1] == '"') {
                current.push_back('"');
                i += 2;
                continue;
            }
            inQuotes = !inQuotes;
            ++i;
            continue;
        }
        current.push_back(c);
        ++i;
    }
    if (inArg) args.push_back(std::move(current));
    return args;
}

StartResult StartProcess(std::string_view commandLine, const std::string& workDir,
                         const std::vector<std::string>& envAdditions, bool detachStdio) {
    StartResult result;
    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty() || args[0].empty()) {
        result.error = EINVAL;
        return result;
    }
    for (const std::string& entry : envAdditions) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0 || entry.find('\0') != std::string::npos) {
            result.error = EINVAL;
            return result;
        }
    }
    if (workDir.find('\0') != std::string::npos) {
        result.error = EINVAL;
        return result;
    }

    // The program is found from the caller's directory, not the child's.
    std::string program = args[0];
    const bool searchPath = program.find('/') == std::string::npos;
    if (!searchPath && program[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            result.error = errno;
            return result;
        }
        program = std::string(cwd) + "/" + program;
    }

    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Caller's environment, each addition replacing entries of the same name
    // (a name given twice: the last one wins).
    std::vector<std::string> envStore;
    for (char** e = environ; e && *e; ++e) envStore.emplace_back(*e);
    for (const std::string& add : envAdditions) {
        std::string_view name = std::string_view(add).substr(0, add.find('='));
        std::erase_if(envStore, [name](const std::string& entry) {
            return std::string_view(entry).substr(0, entry.find('=')) == name;
        });
        envStore.push_back(add);
    }
    std::vector<char*> envp;
    envp.reserve(envStore.size() + 1);
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    SpawnSetup spawn;
    posix_spawn_file_actions_t& actions = spawn.actions;
    posix_spawnattr_t& attr = spawn.attr;
    int rc = spawn.rc;
    if (rc == 0 && !workDir.empty()) rc = posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    // A detached child reads and writes nothing of ours: its standard
    // streams are /dev/null (a program started without a visible console).
    for (int fd = 0; detachStdio && rc == 0 && fd <= 2; ++fd)
        rc = posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    // The child gets none of our descriptors except the standard ones.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = -1;
    if (rc == 0) {
        if (searchPath)
            rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
        else
            rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    }

    if (rc != 0) {
        result.error = rc;
        return result;
    }
    {
        // A status kept for an earlier child with the same pid is stale now.
        std::lock_guard<std::mutex> lock(g_reapedMutex);
        g_reaped.erase(pid);
    }
    result.pid = pid;
    return result;
}

bool IsRunning(pid_t pid) {
    if (pid <= 0) return false;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid) {
        std::lock_guard<std::mutex> lock(g_reapedMutex);
        g_reaped[pid] = status;
        return false;
    }
    if (r == 0) {
        std::lock_guard<std::mutex> lock(g_reapedMutex);
        g_reaped.erase(pid);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(g_reapedMutex);
        if (g_reaped.count(pid)) return false;
    }
    // Not our child: it exists when it can be signalled (or we may not), and
    // a zombie waiting for its own parent has ended all the same.
    if (kill(pid, 0) != 0 && errno != EPERM) return false;
    char state = ProcState(pid);
    return state != 'Z' && state != 'X';
}

ExitStatus GetExitCode(pid_t pid) {
    ExitStatus out;
    if (pid <= 0) return out;
    IsRunning(pid);  // reaps the child when it has ended
    std::lock_guard<std::mutex> lock(g_reapedMutex);
    auto it = g_reaped.find(pid);
    if (it == g_reaped.end()) return out;
    if (WIFEXITED(it->second)) {
        out.kind = ExitStatus::Kind::Exited;
        out.code = WEXITSTATUS(it->second);
    } else if (WIFSIGNALED(it->second)) {
        out.kind = ExitStatus::Kind::Signaled;
        out.code = WTERMSIG(it->second);
    }
    return out;
}

bool WaitForExit(pid_t pid, int64_t timeoutMs) {
    if (!IsRunning(pid)) return true;
    if (timeoutMs == 0) return false;
    const int64_t deadline = timeoutMs < 0 ? INT64_MAX : RealMonotonicMs() + timeoutMs;
    int fd = PidfdOpen(pid);
    if (fd >= 0) {
        // The descriptor becomes readable when the process ends.
        for (;;) {
            int wait = -1;
            if (timeoutMs >= 0) {
                int64_t left = deadline - RealMonotonicMs();
                if (left <= 0) break;
                wait = static_cast<int>(left > INT_MAX ? INT_MAX : left);
            }
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, wait);
            if (r > 0) break;
            if (r < 0 && errno != EINTR) break;
        }
        close(fd);
        return !IsRunning(pid);
    }
    // No process descriptors here: probe every 2 ms.
    for (;;) {
        if (!IsRunning(pid)) return true;
        int64_t left = deadline - RealMonotonicMs();
        if (left <= 0) return false;
        poll(nullptr, 0, static_cast<int>(left < 2 ? left : 2));
    }
}

bool RunShellCommand(const std::string& line, int* exitCode) {
    int ignored = 0;
    if (exitCode == nullptr) exitCode = &ignored;
    if (line.find('\0') != std::string::npos) {
        *exitCode = EINVAL;
        return false;
    }
    SpawnSetup spawn;
    posix_spawn_file_actions_t& actions = spawn.actions;
    int rc = spawn.rc;
    // A command never reads the console's keyboard.
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::string shell = "sh", option = "-c", command = line;
    char* argv[] = {shell.data(), option.data(), command.data(), nullptr};
    pid_t pid = -1;
    if (rc == 0) rc = posix_spawn(&pid, "/bin/sh", &actions, &spawn.attr, argv, environ);
    if (rc != 0) {
        *exitCode = rc;
        return false;
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid) {
        *exitCode = errno;
        return false;
    }
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
    return true;
}

std::string ShellQuote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

bool KillChildProcess(pid_t pid) {
    if (pid <= 0 || pid == getpid()) return false;
    // Only a child not yet reaped: its pid cannot have been reused.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return kill(pid, SIGKILL) == 0;
}

bool TerminateProcessWithCode0(pid_t pid) {
    if (pid <= 0 || pid == getpid()) return false;
    // Hold the process by a descriptor while checking it, so that the signal
    // cannot reach another process that took the same pid in between.
    int fd = PidfdOpen(pid);
    if (fd < 0 && errno == ESRCH) return false;
    bool sent = false;
    if (SameProgramFile(pid)) {
#ifdef SYS_pidfd_send_signal
        if (fd >= 0)
            sent = syscall(SYS_pidfd_send_signal, fd, SIGTERM, nullptr, 0) == 0;
        else
#endif
            sent = kill(pid, SIGTERM) == 0;
    }
    if (fd >= 0) close(fd);
    return sent;
}

bool InstallTerminateHandler() {
    struct sigaction sa {};
    sa.sa_sigaction = TerminateHandler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGTERM, &sa, nullptr) != 0) return false;
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    return pthread_sigmask(SIG_UNBLOCK, &term, nullptr) == 0;
}

void SetTerminateNotice(TerminateNotice notice) { g_terminateNotice.store(notice, std::memory_order_release); }

std::string CurrentProgramPath() { return ReadLink("/proc/self/exe"); }

pid_t CurrentPid() { return getpid(); }

}  // namespace plat
