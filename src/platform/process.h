// Processes: command-line splitting, starting a program, probing and waiting
// for it, and the "end with exit code 0" request between two processes of the
// same program file.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Splits a command-line text into arguments with the Windows C runtime rules:
// blanks and tabs separate; double quotes group (and may make an empty
// argument); 2n backslashes before a quote give n backslashes and the quote
// toggles grouping, 2n+1 give n backslashes and a literal quote; backslashes
// elsewhere are literal; "" inside a quoted group is a literal quote and the
// group goes on. A NUL ends the text.
std::vector<std::string> SplitCommandLine(std::string_view text);

// Result of StartProcess: the child's pid, or the errno that stopped it.
struct StartResult {
    pid_t pid = -1;
    int error = 0;
    bool ok() const { return error == 0 && pid > 0; }
};

// Starts a program from a command-line text (split as above; the first word is
// the program, searched in PATH when it holds no '/', and a relative path with
// a '/' is taken from the caller's current directory). workDir, when not empty,
// becomes the child's current directory. envAdditions are "NAME=value" entries
// put over a copy of the caller's environment. The child starts with an empty
// signal mask, default signal dispositions and no descriptors but 0, 1 and 2;
// with detachStdio those three are /dev/null instead of ours.
StartResult StartProcess(std::string_view commandLine, const std::string& workDir = {},
                         const std::vector<std::string>& envAdditions = {}, bool detachStdio = false);

// Runs a command line through "/bin/sh -c" (standard input from /dev/null,
// output and errors ours, no other descriptor) and waits for it to end.
// True when the shell ran: *exitCode is then its exit code (127 or 126 when
// the shell could not find or run the command; 128 + the signal for a
// command killed by one). False when the shell could not be started (the
// errno value in *exitCode).
bool RunShellCommand(const std::string& line, int* exitCode);
// The text between single quotes for the shell, each quote inside written
// as '\'' so that the shell reads the text back whole, whatever it holds.
std::string ShellQuote(std::string_view text);

// How a process ended, as far as this process knows.
struct ExitStatus {
    enum class Kind { Unknown, Exited, Signaled };
    Kind kind = Kind::Unknown;
    int code = 0;  // exit code 0..255 (exit(-1) reads 255), or the signal number
};

// True while the process exists and has not ended. Our own children are probed
// with waitpid(WNOHANG), which reaps them and keeps their status for
// GetExitCode; other processes with kill(pid, 0), a zombie counting as ended.
// A pid <= 0 is never running.
bool IsRunning(pid_t pid);

// Status of one of our children that has ended (it is reaped here if needed);
// Kind::Unknown while it runs, or for a process that is not our child.
ExitStatus GetExitCode(pid_t pid);

// Waits until the process ends or timeoutMs elapses (a negative time-out waits
// without limit). True when it has ended.
bool WaitForExit(pid_t pid, int64_t timeoutMs);

// Asks process pid to end with exit code 0 (SIGTERM, which the program's
// handler turns into an end with exit code 0), but only when it runs the same program file as
// this process (/proc/<pid>/exe against /proc/self/exe, by device and inode,
// else by path). Refuses, doing nothing, for any other process, for pid <= 0
// and for this process itself. True when the signal was sent.
bool TerminateProcessWithCode0(pid_t pid);

// Kills one of our own children that has not been reaped yet (SIGKILL); it
// still has to be waited for. Refuses any other pid. True when sent.
bool KillChildProcess(pid_t pid);

// Installs the SIGTERM handler that ends the program at once with exit code
// 0, and unblocks SIGTERM in the calling thread. True when installed. The
// handler first calls the notice set with SetTerminateNotice (with the pid of
// the process that sent the signal, 0 when not known), then removes the
// names of the named objects that the process alone has open
// (ReleaseRegisteredNames, name_release.h), puts the console's terminal
// back (RestoreConsoleForExit, console_keyboard.h), then calls _exit(0).
bool InstallTerminateHandler();
// Called by the SIGTERM handler before the process ends; it must use
// async-signal-safe calls only. Null: none.
using TerminateNotice = void (*)(pid_t sender);
void SetTerminateNotice(TerminateNotice notice);

// Full path of the running program file (empty when it cannot be read).
std::string CurrentProgramPath();
pid_t CurrentPid();

}  // namespace plat
