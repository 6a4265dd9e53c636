// Another local user who created a till's shared block or the program's
// event before the till is opened: the opening refuses the object (8) and
// its log names it, whether the object is private to that user or open to
// everybody. The other user is played by a child process that drops root's
// privileges; without root the test is skipped, saying why.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "client/dll_log.h"
#include "client/instance.h"
#include "client/program_side.h"
#include "platform/fork_child.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "support/config_tree.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace {

constexpr uid_t kNobody = 65534;

// A process of another user holding a named object until destroyed.
class ForeignObject {
public:
    // create runs in the child as the other user; true when the object is
    // there. openToAll then opens its files to every user. remove runs in
    // the child when the object is let go.
    ForeignObject(const std::function<bool()>& create, const std::function<void()>& remove,
                  const std::vector<std::string>& files, bool openToAll)
        : child_([&](testsupport::Channel& parent) {
              bool ok = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 && create();
              for (const std::string& f : files)
                  if (ok && openToAll && chmod(("/dev/shm/" + f).c_str(), 0666) != 0) ok = false;
              parent.send(ok ? '1' : '0');
              parent.receive(600000);  // until the parent lets go
              remove();
              return 0;
          }) {
        there_ = child_.receive() == '1';
    }
    ~ForeignObject() {
        child_.send('x');
        child_.wait();
    }
    bool there() const { return there_; }

private:
    testsupport::ForkedChild child_;
    bool there_ = false;
};

struct Case {
    const char* name;
    bool event;      // the program's event, else the till's block
    bool openToAll;  // mode 0666 instead of the other user's 0600
};

TEST(SecondUserTest, ForeignBlockOrEventIsRefused_Mended) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a second local user is simulated by dropping root's privileges; this test does not run as root";
    testsupport::TempDir dir;
    const Case cases[] = {
        {"block private to another user", false, false},
        {"block of another user open to all", false, true},
        {"event private to another user", true, false},
        {"event of another user open to all", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t pos = testsupport::UniquePosNumber();
        const std::string block = poslink::BlockName(pos);
        char event[32];
        std::snprintf(event, sizeof event, "%s%03u", poslink::kPosMessageEventPrefix, pos);
        plat::SharedMemory foreignBlock;
        plat::NamedEvent foreignEvent;
        const std::string name = c.event ? event : block;
        const std::string object = c.event ? name + ".event" : name;
        ForeignObject foreign(
            [&] {
                return c.event ? foreignEvent.Open(event) == 0
                               : foreignBlock.Open(block, poslink::kClientBlockSize,
                                                   plat::SharedMemory::Mode::OpenOrCreate) == plat::ShmError::None;
            },
            [&] {
                // The last user removes the object.
                foreignBlock.Close();
                foreignEvent.Close();
            },
            {object, object + ".users"}, c.openToAll);
        ASSERT_TRUE(foreign.there());
        {
            // Only a platform that refuses another user's objects to root
            // can show the library's refusal.
            plat::SharedMemory probe;
            if (probe.Open(object, 0, plat::SharedMemory::Mode::OpenOnly) == plat::ShmError::None)
                GTEST_SKIP() << "this platform layer lets root open another user's objects; the library's refusal "
                                "shows once it refuses them";
        }
        uint32_t id = 77;
        EXPECT_EQ(clienttest::OpenOnStub(pos, &id, dir.str()), 8);
        EXPECT_EQ(id, 0u);
        const std::string log = testsupport::ReadFileText(dir.str() + "/ZNP_DLL_" + std::to_string(pos) + ".LOG");
        EXPECT_NE(log.find(c.event ? "ERROR - UTIEVT - Evenement " + name + " refuse"
                                   : "ERROR - UTIMEM - Memoire partagee " + name + " refusee"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("CLIENT DEMARRE"), std::string::npos);
    }
    znpdll::DllLogger::Get().Reset();
}

}  // namespace
