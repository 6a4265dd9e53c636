// A keyboard for in-process tests of the console: a pipe read as the
// console's key input. Keys can be typed at once (typeNow) or queued: each
// time a key wait is about to sleep, the next queued keystroke bytes are
// typed (so that the flush at the start of every key wait cannot drop
// them). When the queue is empty the wait simply times out, or, with
// endWhenEmpty, the input is closed (the dialogue sees no keyboard).
// Everything is put back when the object goes.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <string>

#include "platform/console_keyboard.h"

namespace testsupport {

class ScriptedKeys {
public:
    ScriptedKeys() {
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        plat::SetKeyInput(fds_[0]);
        plat::SetKeyWaitHook(&ScriptedKeys::OnWait, this);
    }
    ~ScriptedKeys() {
        plat::SetKeyWaitHook(nullptr, nullptr);
        plat::SetKeyInput(-1);
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    ScriptedKeys(const ScriptedKeys&) = delete;
    ScriptedKeys& operator=(const ScriptedKeys&) = delete;

    // Bytes typed into the input now.
    void typeNow(const std::string& bytes) {
        if (fds_[1] >= 0 && !bytes.empty()) {
            ssize_t n = write(fds_[1], bytes.data(), bytes.size());
            (void)n;
        }
    }
    // One keystroke (its bytes) typed at a later key wait, in order.
    void queue(const std::string& bytes) { queue_.push_back(bytes); }
    // Several keystrokes of one byte each.
    void queueEach(const std::string& bytes) {
        for (char c : bytes) queue_.push_back(std::string(1, c));
    }
    // Once the queue is empty, the next wait finds the input closed.
    void endWhenEmpty() { endWhenEmpty_ = true; }
    // Called at every wait, before the next key is typed (to look at what
    // the dialogue shows while it waits).
    void atEachWait(std::function<void()> look) { look_ = std::move(look); }

    // Waits that slept so far, and those that found the queue empty.
    int waits() const { return waits_; }
    int idleWaits() const { return idleWaits_; }
    size_t left() const { return queue_.size(); }

private:
    static void OnWait(void* context) {
        auto* self = static_cast<ScriptedKeys*>(context);
        ++self->waits_;
        if (self->look_) self->look_();
        if (self->queue_.empty()) {
            ++self->idleWaits_;
            if (self->endWhenEmpty_ && self->fds_[1] >= 0) {
                close(self->fds_[1]);
                self->fds_[1] = -1;
            }
            return;
        }
        const std::string next = self->queue_.front();
        self->queue_.pop_front();
        self->typeNow(next);
    }

    int fds_[2] = {-1, -1};
    std::deque<std::string> queue_;
    bool endWhenEmpty_ = false;
    std::function<void()> look_;
    int waits_ = 0;
    int idleWaits_ = 0;
};

}  // namespace testsupport
