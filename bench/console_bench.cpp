// The PC console: bytes written for a full-screen repaint against the 4,000
// bytes of the cell image, the delay from a key byte on the terminal to its
// key code, and the wake-ups of a key wait that gets no key (none
// expected: it sleeps until its end).
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/helpers.h"
#include "latency_counters.h"
#include "periph/console_keys.h"
#include "periph/console_render.h"
#include "periph/console_windows.h"
#include "platform/console_keyboard.h"

namespace {

// A console with its own video block, its 23 x 78 window on the PC console,
// drawn into a pipe as into a terminal.
class Screen {
public:
    Screen() {
        KTCONSOL_SetWorkDirectory("/tmp", nullptr);
        console = KTCONSOL_NewConso(1, 1, "BENCH", nullptr, nullptr);
        console->video = block.data();
        window = KTCONSOL_FindFenetre(console, "BENCH");
        window->resource = 41;
        std::snprintf(window->title, sizeof window->title, "%s", "CAISSE 01");
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        WVideoSetOutput(fds[1]);
    }
    ~Screen() {
        WVideoSetOutput(-1);
        console->video = nullptr;
        KTCONSOL_FreeConso(console);
        close(fds[0]);
        close(fds[1]);
    }
    // Bytes drawn since the last call.
    size_t Drain() {
        size_t total = 0;
        char buf[16384];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
        return total;
    }
    // Window text of iteration n: its first changedLines lines (of 23) are
    // different in every cell from those of the iteration before.
    void Fill(uint64_t n, int changedLines) {
        for (int line = 0; line < 23; ++line) {
            const uint64_t stamp = line < changedLines ? n : 0;
            std::string text = "\x1bP";
            text += static_cast<char>(line + 1);
            text += static_cast<char>(1);
            for (int column = 0; column < 78; ++column)
                text += static_cast<char>(stamp % 2 == 0 ? 'a' + (line + column) % 26 : 0xC0 + (line + column) % 32);
            TWI_WriteText(window, text.c_str(), 0);
        }
    }

    std::vector<unsigned char> block = std::vector<unsigned char>(KTTD_VIDEO_BYTES, 0);
    ConsoBox* console = nullptr;
    KT_TEXT_WINDOW* window = nullptr;
    int fds[2] = {-1, -1};
};

// The whole 23 x 78 window shown again with changedLines of its 23 lines
// new (0: the first drawing of a terminal, every cell drawn).
void BM_FullScreenRepaint(benchmark::State& state) {
    const int changed = static_cast<int>(state.range(0));
    Screen screen;
    screen.Fill(0, 23);
    KTTD_ShowWindow(screen.console, screen.window);
    screen.Drain();
    uint64_t n = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        ++n;
        if (changed == 0) {
            WVideoSetOutput(screen.fds[1]);  // a terminal whose content is not known: all drawn
            screen.Fill(n, 23);
        } else {
            screen.Fill(n, changed);
        }
        KTTD_ShowWindow(screen.console, screen.window);
        bytes += screen.Drain();
    }
    state.counters["bytes_per_repaint"] = static_cast<double>(bytes) / static_cast<double>(n);
    state.counters["image_bytes"] = KTTD_CELL_BYTES;
}
BENCHMARK(BM_FullScreenRepaint)->Arg(0)->Arg(23)->Arg(1)->ArgName("changed_lines");

// A terminal (pseudo-terminal in raw mode) as the key input; a writer
// thread types one keystroke each time the reader waits.
class Terminal {
public:
    Terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        plat::SetKeyInput(slave);
    }
    ~Terminal() {
        plat::SetKeyWaitHook(nullptr, nullptr);
        plat::SetKeyInput(-1);
        close(slave);
        close(master);
    }
    int master = -1, slave = -1;
};

// Key byte written on the terminal to key code handed out by the key wait.
void BM_KeyByteToKeyCode(benchmark::State& state) {
    const std::string key = state.range(0) == 0 ? std::string("a") : std::string("\x1b[A");
    Terminal terminal;
    std::mutex m;
    std::condition_variable cv;
    bool waiting = false, stop = false;
    std::atomic<int64_t> sentNs{0};
    std::thread writer([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return waiting || stop; });
            if (stop) return;
            waiting = false;
            sentNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
            ssize_t n = write(terminal.master, key.data(), key.size());
            (void)n;
        }
    });
    struct Hook {
        std::mutex* m;
        std::condition_variable* cv;
        bool* waiting;
    } hook{&m, &cv, &waiting};
    plat::SetKeyWaitHook(
        [](void* p) {
            auto* h = static_cast<Hook*>(p);
            std::lock_guard<std::mutex> guard(*h->m);
            *h->waiting = true;
            h->cv->notify_one();
        },
        &hook);
    std::vector<double> micros;
    for (auto _ : state) {
        unsigned char code = 0;
        if (KTTD_WaitKey(5, 1, &code) != 1) state.SkipWithError("no key");
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        micros.push_back(static_cast<double>(now - sentNs.load()) / 1000.0);
    }
    {
        std::lock_guard<std::mutex> guard(m);
        stop = true;
        cv.notify_one();
    }
    writer.join();
    ReportLatency(state, micros);
}
BENCHMARK(BM_KeyByteToKeyCode)->Arg(0)->Arg(1)->ArgName("sequence")->UseRealTime();

// A one-second key wait without a key: wake-ups before its end (by the
// keyboard's count and by the thread's voluntary context switches).
void BM_IdleKeyWait(benchmark::State& state) {
    Terminal terminal;
    uint64_t wakeups = 0;
    long switches = 0;
    int64_t waits = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        const uint64_t counted = plat::KeyWaitWakeups();
        unsigned char code = 0;
        KTTD_WaitKey(1, 1, &code);
        wakeups += plat::KeyWaitWakeups() - counted;
        getrusage(RUSAGE_THREAD, &after);
        switches += after.ru_nvcsw - before.ru_nvcsw;
        ++waits;
    }
    state.counters["wakeups"] = static_cast<double>(wakeups) / static_cast<double>(waits);
    state.counters["voluntary_switches"] = static_cast<double>(switches) / static_cast<double>(waits);
}
BENCHMARK(BM_IdleKeyWait)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
