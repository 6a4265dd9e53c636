// pos_stub: stands in for the console program in the client library's tests.
// It takes the command line the library passes (-i station, -g events),
// creates the program's message event (unless POS_STUB_NO_EVENT is set) and
// its ready event, which it signals at once, maps
// the station's POS link block and then leaves the mailboxes to the test,
// except for the stop request (SV "s3" with CD "c99"), which it acknowledges
// with "0" before ending with exit code 0 (unless POS_STUB_IGNORE_STOP is
// set). It also ends when its parent goes away.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "tool_help.h"

namespace {

char Load(char* p) { return std::atomic_ref<char>(*p).load(std::memory_order_acquire); }
void Store(char* p, char v) { std::atomic_ref<char>(*p).store(v, std::memory_order_release); }

}  // namespace

namespace {
const char kUsage[] =
    "usage: pos_stub -i<station> [-g<n>] [other options of trv_71, ignored]\n"
    "Stands in for trv_71 in the client library's tests: makes the station's events and POS link block,\n"
    "acknowledges the stop request (s3/c99) and ends; POS_STUB_NO_EVENT and POS_STUB_IGNORE_STOP change that.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    int station = 1;
    int events = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-i", 2) == 0) station = std::atoi(argv[i] + 2);
        if (std::strncmp(argv[i], "-g", 2) == 0) events = std::atoi(argv[i] + 2);
    }
    const pid_t parent = getppid();
    plat::SharedMemory block;
    if (block.Open(poslink::BlockName(station),
                   poslink::kProgramBlockSize, plat::SharedMemory::Mode::OpenOrCreate) != plat::ShmError::None)
        return 2;
    char* base = static_cast<char*>(block.data());
    char* toPos = base + poslink::kToPosMailbox;
    char* fromPos = base + poslink::kFromPosMailbox;

    plat::NamedEvent event;
    char eventName[32];
    std::snprintf(eventName, sizeof eventName, "%s%03d", poslink::kPosMessageEventPrefix, station);
    if (events != 0 && std::getenv("POS_STUB_NO_EVENT") == nullptr && event.Open(eventName) != 0) return 3;
    // Ready at once, as the program is once its session is open.
    plat::NamedEvent ready;
    std::snprintf(eventName, sizeof eventName, "%s%03d", poslink::kClientReadyEventPrefix, station);
    if (event.isOpen() && ready.Open(eventName) == 0) ready.Set();
    const bool ignoreStop = std::getenv("POS_STUB_IGNORE_STOP") != nullptr;

    while (getppid() == parent) {
        if (!ignoreStop && Load(fromPos) == poslink::kStatusPresent) {
            const char* text = fromPos + 1;
            if (std::strstr(text, "{SV}s3{") && std::strstr(text, "{CD}c99{")) {
                Store(fromPos, poslink::kStatusTaken);
                Store(toPos, poslink::kStatusWriting);
                std::memcpy(toPos + 1, "0", 2);
                Store(toPos, poslink::kStatusPresent);
                if (event.isOpen()) event.Set();
                return 0;
            }
        }
        plat::SleepMs(2);
    }
    return 0;
}
