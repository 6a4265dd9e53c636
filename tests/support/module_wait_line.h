// The wait of a command module whose device announces its answer with a
// byte on a serial line, on a real line: a terminal resource on a
// pseudo-terminal whose far end sends what the test injects, with a link
// context made for the port, and a box whose wait callback the test sets.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "protocols/module_contract.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_context.h"
#include "support/com_fixture.h"

namespace testsupport {

class ModuleWaitLine {
public:
    ModuleWaitLine(PapWaitFn wait, const std::function<KT_XPROT*(int port)>& makeContext) : wait_(wait) {
        opened = pty.open();
        resource.port = pty.port;
        ctx = makeContext(pty.port);
        resource.linkContext = ctx;
    }
    ~ModuleWaitLine() { XA_LinkClose(ctx); }
    ModuleWaitLine(const ModuleWaitLine&) = delete;
    ModuleWaitLine& operator=(const ModuleWaitLine&) = delete;

    // Bytes to the program, waiting until they can be read.
    void arrive(const std::string& bytes) {
        pty.sim.inject(bytes);
        ASSERT_TRUE(pty.sim.waitQueued(bytes.size(), 5000));
    }
    int wait(char* event, int timeoutMs = 1000) { return wait_(box.get(), &resource, timeoutMs, event); }

    // Wait callbacks: one that asks to stop after filling its whole buffer
    // (as the program's fills its 130-byte text), one that lets the wait go
    // on.
    static void Stop(char* echo) {
        std::memset(echo, 'K', PAP_WAIT_TEXT - 1);
        echo[0] = 'S';
    }
    static void GoOn(char* echo) { echo[0] = 'K'; }

    ComTable table;
    PtyPort pty;
    std::unique_ptr<KT_EPERIPH_API> box = std::make_unique<KT_EPERIPH_API>();
    KT_PERES resource{};
    KT_XPROT* ctx = nullptr;
    int opened = -1;

private:
    PapWaitFn wait_;
};

}  // namespace testsupport
