// Runs a program (searched in PATH) with an argument vector, no shell, and
// waits for it. Standard input, output and error can be files.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

// Exit code of the program, or -1 when it could not be started or did not
// exit normally. Empty paths leave the stream as it is (error defaults to
// /dev/null so expected failures stay quiet).
inline int RunProgram(const std::vector<std::string>& args, const std::string& stdinPath = {},
                      const std::string& stdoutPath = {},
                      const std::string& stderrPath = "/dev/null") {
    if (args.empty()) return -1;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdinPath.empty())
        posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    if (!stdoutPath.empty())
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!stderrPath.empty())
        posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
