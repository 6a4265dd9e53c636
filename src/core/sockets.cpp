// Process preparation for sockets. There is no sockets layer to start on
// Linux; what remains is the once-per-process trace and ignoring SIGPIPE so
// that writing to a closed peer reports EPIPE instead of ending the program.
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

std::atomic<bool> g_socketsStarted{false};

void IgnoreSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int sock_init() {
    if (g_socketsStarted.load()) return 0;
    WSysError("** INFO. ** Initialize WinSock layer");
    IgnoreSigpipe();
    g_socketsStarted.store(true);
    return 0;
}

int SSL_sock_init() {
    IgnoreSigpipe();
    return 0;
}

int sock_close(int socket) { return close(socket); }
