// A second local user for the tests of private named objects: a forked
// process that drops its privileges to the user "nobody" (65534) and runs a
// function there. Only a test running as root can do that; the others skip.
#pragma once
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testsupport {

constexpr uid_t kOtherUid = 65534;
constexpr gid_t kOtherGid = 65534;

// Empty when a second user can be played here, else why not.
inline std::string OtherUserUnavailable() {
    if (geteuid() != 0)
        return "a second local user is simulated by dropping root privileges; this test does not run as root";
    return {};
}

// Runs body as the other user in a child process; its result is the child's
// exit code (100 + errno when the privileges could not be dropped, -1 when
// the child did not exit normally).
inline int RunAsOtherUser(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kOtherGid) != 0 || setuid(kOtherUid) != 0) _exit(100 + errno);
        int rc = 99;
        try {
            rc = body();
        } catch (...) {
            rc = 98;
        }
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
