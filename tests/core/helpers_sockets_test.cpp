// Socket preparation: the once-per-process trace and SIGPIPE ignored.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "core/trace.h"
#include "support/trace_capture.h"

namespace {

int CountInitTraces() {
    int n = 0;
    for (const auto& line : testsupport::TraceCapture::lines())
        if (line.find("Initialize WinSock layer") != std::string::npos) ++n;
    return n;
}

// Runs body in a child process (fresh process-wide state); its exit code.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Writes to a socket whose peer is closed: 0 when the write failed with EPIPE.
int WriteToClosedPeer() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 2;
    sock_close(fds[1]);
    ssize_t n = write(fds[0], "x", 1);
    int err = errno;
    sock_close(fds[0]);
    return (n < 0 && err == EPIPE) ? 0 : 3;
}

TEST(HelpersSockets, WithoutPreparationAClosedPeerKillsTheProcess) {
    // Shows what the preparation protects against.
    EXPECT_EQ(InChild([] { return WriteToClosedPeer(); }), 1000 + SIGPIPE);
}

TEST(HelpersSockets, SockInitTracesOnceAndMakesClosedPeersGiveEpipe) {
    int code = InChild([] {
        testsupport::TraceCapture trace;
        if (sock_init() != 0 || sock_init() != 0) return 10;
        if (CountInitTraces() != 1) return 11;
        return WriteToClosedPeer();
    });
    EXPECT_EQ(code, 0);
}

TEST(HelpersSockets, SslSockInitPreparesWithoutTheTrace) {
    int code = InChild([] {
        testsupport::TraceCapture trace;
        if (SSL_sock_init() != 0 || SSL_sock_init() != 0) return 10;
        if (CountInitTraces() != 0) return 11;
        return WriteToClosedPeer();
    });
    EXPECT_EQ(code, 0);
}

TEST(HelpersSockets, SockCloseReportsTheCloseResult) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(sock_close(fds[0]), 0);
    EXPECT_EQ(sock_close(fds[1]), 0);
    EXPECT_EQ(sock_close(fds[1]), -1);  // already closed
    EXPECT_EQ(sock_close(-1), -1);
}

}  // namespace
