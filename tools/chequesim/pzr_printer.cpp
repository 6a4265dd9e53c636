#include "chequesim/pzr_printer.h"

#include <algorithm>
#include <chrono>

#include "netsim/acquirer.h"

namespace chequesim {

namespace {

const std::string kRead("\x1c\x61\x30\x01", 4);
const std::string kGiveBack("\x1c\x61\x32\x10\x05\x03", 6);
const std::string kPrintStart("\x1d\x28\x47\x02\x00\x30\x04", 7);
const std::string kFeedAndCut("\x0a\x0a\x0a\x0a\x1b\x69", 6);
constexpr size_t kChequePrintLength = 99;

}  // namespace

const std::string kPzrDefaultLine = "A=0012345=000123456789^987654321012/";

std::string PzrHostForm(const std::string& printerLine) {
    std::string out;
    for (char c : printerLine) {
        switch (c) {
            case ' ': break;
            case '#': out += 'C'; break;
            case '/': out += 'B'; break;
            case '=': out += 'D'; break;
            case '>': out += 'E'; break;
            case '^': out += 'F'; break;
            default: out += c; break;
        }
    }
    return out;
}

std::optional<PzrScenario> PzrScenario::Parse(const std::string& text, std::string* error) {
    PzrScenario s;
    const bool read = netsim::ReadScriptLines(
        text, [&](const std::string& line, const std::vector<std::string>& w) -> std::string {
            if (w[0] == "line") {
                auto bytes = linesim::ParseBytes(line.substr(line.find("line") + 4));
                if (!bytes || bytes->empty()) return "line BYTES expected";
                s.lines.push_back(*bytes);
                return {};
            }
            if (w[0] == "no-line") {
                if (w.size() != 1) return "no-line takes nothing";
                s.lines.push_back("@");
                return {};
            }
            if (w[0] == "pause") {
                if (w.size() != 2 || !linesim::ParseCount(w[1], &s.pauseMs)) return "pause MS expected";
                return {};
            }
            if (w[0] == "split") {
                int at = 0;
                if (w.size() < 2 || w.size() > 3 || !linesim::ParseCount(w[1], &at) || at == 0) return "split N [gap=MS] expected";
                s.splitAt = static_cast<size_t>(at);
                if (w.size() == 3 && (w[2].rfind("gap=", 0) != 0 || !linesim::ParseCount(w[2].substr(4), &s.gapMs)))
                    return "split N [gap=MS] expected";
                return {};
            }
            if (w[0] == "silence") {
                s.silence = true;
                return {};
            }
            return "unknown statement '" + w[0] + "'";
        },
        error);
    if (!read) return std::nullopt;
    return s;
}

std::optional<PzrScenario> PzrScenario::FromFile(const std::string& path, std::string* error) {
    const std::optional<std::string> text = linesim::ReadTextFile(path, error);
    if (!text) return std::nullopt;
    return Parse(*text, error);
}

std::vector<PzrCommand> SplitPzrCommands(const std::string& stream) {
    std::vector<PzrCommand> out;
    std::string text;
    auto flushText = [&] {
        if (text.empty()) return;
        out.push_back({PzrCommand::Kind::Text, text});
        text.clear();
    };
    size_t i = 0;
    while (i < stream.size()) {
        const std::string_view rest(stream.data() + i, stream.size() - i);
        PzrCommand c;
        size_t n = 0;
        if (rest.starts_with(kRead)) {
            c.kind = PzrCommand::Kind::Read;
            n = kRead.size();
        } else if (rest.starts_with(kGiveBack)) {
            c.kind = PzrCommand::Kind::GiveBack;
            n = kGiveBack.size();
        } else if (rest.starts_with(kFeedAndCut)) {
            c.kind = PzrCommand::Kind::FeedAndCut;
            n = kFeedAndCut.size();
        } else if (rest.starts_with(kPrintStart)) {
            c.kind = PzrCommand::Kind::ChequePrint;
            n = std::min(kChequePrintLength, rest.size());
        }
        if (n == 0) {
            text += stream[i++];
            continue;
        }
        flushText();
        c.bytes.assign(rest.substr(0, n));
        out.push_back(c);
        i += n;
    }
    flushText();
    return out;
}

const char* PzrKindName(PzrCommand::Kind kind) {
    switch (kind) {
        case PzrCommand::Kind::Read: return "cheque read";
        case PzrCommand::Kind::ChequePrint: return "cheque print";
        case PzrCommand::Kind::GiveBack: return "give back";
        case PzrCommand::Kind::FeedAndCut: return "feed and cut";
        case PzrCommand::Kind::Text: return "ticket text";
    }
    return "?";
}

void PzrPrinterHandler::onBytes(linesim::LineContext& line, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_ += bytes;
    for (;;) {
        const size_t at = stream_.find(kRead, scanned_);
        if (at == std::string::npos) break;
        scanned_ = at + kRead.size();
        answerRead(line);
    }
    // A read cut between two writes is found once its last byte comes.
    if (stream_.size() >= kRead.size()) scanned_ = std::max(scanned_, stream_.size() - kRead.size() + 1);
    changed_.notify_all();
}

void PzrPrinterHandler::answerRead(linesim::LineContext& line) {
    ++reads_;
    if (scenario_.silence) return;
    const std::string answer = scenario_.lines.empty()                   ? kPzrDefaultLine
                               : reads_ <= scenario_.lines.size() ? scenario_.lines[reads_ - 1]
                                                                  : scenario_.lines.back();
    answers_.push_back(answer);
    if (scenario_.splitAt == 0 || scenario_.splitAt >= answer.size()) {
        line.sendLater(answer, scenario_.pauseMs);
        return;
    }
    line.sendLater(answer.substr(0, scenario_.splitAt), scenario_.pauseMs);
    line.sendLater(answer.substr(scenario_.splitAt), scenario_.pauseMs + scenario_.gapMs);
}

std::string PzrPrinterHandler::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_;
}

std::vector<std::string> PzrPrinterHandler::answers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
}

bool PzrPrinterHandler::waitBytes(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return stream_.size() >= n; });
}

PzrSim::PzrSim(PzrScenario scenario)
    : handler_(new PzrPrinterHandler(std::move(scenario))), sim_(std::unique_ptr<linesim::FrameHandler>(handler_)) {}

}  // namespace chequesim
