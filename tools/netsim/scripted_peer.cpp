#include "netsim/scripted_peer.h"

#include <chrono>
#include <cstdlib>

#include "netsim/acquirer.h"
#include "netsim/net_frame.h"

namespace netsim {

namespace {

// Bytes of a step: one quoted text, or hexadecimal words.
std::optional<std::string> StepBytes(const std::string& rest) {
    const size_t q = rest.find('"');
    if (q != std::string::npos) {
        const size_t end = rest.rfind('"');
        if (end == q) return std::nullopt;
        return rest.substr(q + 1, end - q - 1);
    }
    return HexToBytes(rest);
}

}  // namespace

std::optional<std::vector<PeerStep>> ParsePeerScript(const std::string& text, std::string* error) {
    std::vector<PeerStep> steps;
    const bool read = ReadScriptLines(
        text,
        [&](const std::string& line, const std::vector<std::string>& words) -> std::string {
            const std::string& verb = words[0];
            const std::string rest = line.substr(line.find(verb) + verb.size());
            PeerStep step;
            bool ok = true;
            if (verb == "send" || verb == "expect") {
                step.kind = verb == "send" ? PeerStep::Kind::Send : PeerStep::Kind::Expect;
                auto bytes = StepBytes(rest);
                ok = bytes.has_value() && !bytes->empty();
                if (ok) step.bytes = *bytes;
            } else if (verb == "expect-count" && words.size() == 2) {
                step.kind = PeerStep::Kind::ExpectCount;
                step.count = std::strtoul(words[1].c_str(), nullptr, 10);
            } else if (verb == "pause" && words.size() == 2) {
                step.kind = PeerStep::Kind::Pause;
                step.ms = std::atoi(words[1].c_str());
            } else if (verb == "close" && words.size() == 1) {
                step.kind = PeerStep::Kind::Close;
            } else if (verb == "reset" && words.size() == 1) {
                step.kind = PeerStep::Kind::Reset;
            } else if (verb == "wait-close" && words.size() == 1) {
                step.kind = PeerStep::Kind::WaitClose;
            } else {
                ok = false;
            }
            if (!ok) return "cannot read '" + line + "'";
            steps.push_back(step);
            return {};
        },
        error);
    if (!read) return std::nullopt;
    return steps;
}

std::string RunPeerScript(Link& link, const std::vector<PeerStep>& steps, std::string* received,
                          int expectTimeoutMs) {
    int index = 0;
    for (const PeerStep& step : steps) {
        ++index;
        const std::string where = "step " + std::to_string(index) + ": ";
        switch (step.kind) {
            case PeerStep::Kind::Send:
                if (!link.sendAll(step.bytes)) return where + "the other side is gone";
                break;
            case PeerStep::Kind::Expect: {
                std::string got;
                const bool all = link.receiveExactly(step.bytes.size(), &got, expectTimeoutMs);
                received->append(got);
                if (!all || got != step.bytes)
                    return where + "expected " + BytesToHex(step.bytes) + ", got " + BytesToHex(got);
                break;
            }
            case PeerStep::Kind::ExpectCount: {
                std::string got;
                const bool all = link.receiveExactly(step.count, &got, expectTimeoutMs);
                received->append(got);
                if (!all) return where + "expected " + std::to_string(step.count) + " bytes, got " +
                                 std::to_string(got.size());
                break;
            }
            case PeerStep::Kind::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case PeerStep::Kind::Close:
                link.close();
                break;
            case PeerStep::Kind::Reset:
                link.reset();
                break;
            case PeerStep::Kind::WaitClose:
                if (!link.waitClosed(expectTimeoutMs, received)) return where + "the other side did not close";
                break;
        }
    }
    return {};
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool ScriptedPeer::start(std::vector<PeerStep> steps, int receiveBuffer) {
    if (!listener_.open(0, 4, receiveBuffer)) return false;
    thread_ = std::thread([this, steps = std::move(steps)] {
        std::unique_ptr<Link> link = listener_.accept(-1, &stop_);
        std::string received;
        const std::string result = link ? RunPeerScript(*link, steps, &received) : "nobody connected";
        {
            std::lock_guard<std::mutex> guard(mutex_);
            result_ = result;
            received_ = received;
            done_ = true;
        }
        finished_.notify_all();
    });
    return true;
}

std::string ScriptedPeer::wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finished_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; }))
        return "not finished";
    return result_;
}

std::string ScriptedPeer::received() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

}  // namespace netsim
