// A recording fake of the terminal script API, installed through the one
// seam of the terminal box (EpapSeam, periph/terminal_box.h) for the life of
// the object: the layers above the terminal (transactions, pad services,
// maintenance) are tested against it without a box, a line or a terminal.
//
// It records every call (operation, function, command, time-out, a copy of
// the arguments made by the copier registered for the command), answers
// with scripted statuses (per operation, in order; 0 when the script runs
// out), fills the caller's result arguments with the writer registered for
// the command, gives scripted events to the event waits, the protocols set
// per function, and keeps the row headers written to it.
#pragma once
#include <cstdarg>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "periph/terminal_box.h"

namespace testsupport {

struct EpapCall {
    explicit EpapCall(std::string name, int fn = -1, int cmd = -1, int timeout = 0)
        : op(std::move(name)), function(fn), command(cmd), timeoutMs(timeout) {}
    std::string op;  // "clear", "set", "send", "results", "get", "getEx", "wait", "protocol", "headers"
    int function = -1;
    int command = -1;
    int timeoutMs = 0;
    std::string args;  // the copier's copy of the arguments
    int status = 0;    // what the call answered
};

class EpapFake : public EpapSeam {
public:
    // Copies a command's arguments (read from the list) into a text.
    using Copier = std::function<std::string(va_list args)>;
    // Writes a command's answer into the caller's result arguments.
    using Writer = std::function<void(va_list args)>;

    EpapFake() : previous_(EPAP_SetSeam(this)) {
        std::memset(commandHeaders, 0, sizeof commandHeaders);
        std::memset(answerHeaders, 0, sizeof answerHeaders);
    }
    ~EpapFake() override { EPAP_SetSeam(previous_); }
    EpapFake(const EpapFake&) = delete;
    EpapFake& operator=(const EpapFake&) = delete;

    // Statuses the next calls of an operation answer, in order.
    void script(const std::string& op, std::vector<int> statuses) {
        for (int s : statuses) statuses_[op].push_back(s);
    }
    // The calls of one operation.
    std::vector<EpapCall> callsOf(const std::string& op) const {
        std::vector<EpapCall> out;
        for (const EpapCall& c : calls)
            if (c.op == op) out.push_back(c);
        return out;
    }

    // The calls but the protocol lookups, as "op command;" ("set 13;send;").
    std::string sequence() const {
        std::string out;
        for (const EpapCall& c : calls)
            if (c.op != "protocol") out += c.op + (c.command >= 0 ? " " + std::to_string(c.command) : "") + ";";
        return out;
    }

    std::map<int, Copier> copiers;           // by command, for "set"
    std::map<int, Writer> writers;           // by command, for "get" and "getEx" answering 0
    std::deque<std::pair<int, char>> events;  // result and letter of each wait; (64, 0) once empty
    std::map<int, int> protocols;            // by function; -1 for a function not set
    std::vector<EpapCall> calls;
    char commandHeaders[PAP_ROWS * PAP_ROW_HEADER];
    char answerHeaders[PAP_ROWS * PAP_ROW_HEADER];

    int clearAll() override { return record(EpapCall("clear")); }
    int setCommand(int function, int command, va_list args) override {
        EpapCall call("set", function, command);
        const auto copier = copiers.find(command);
        if (copier != copiers.end()) {
            va_list copy;
            va_copy(copy, args);
            call.args = copier->second(copy);
            va_end(copy);
        }
        return record(call);
    }
    int sendScript() override { return record(EpapCall("send")); }
    int getScriptResults() override { return record(EpapCall("results")); }
    int getResult(int function, int command, va_list args) override {
        return answer(EpapCall("get", function, command), args);
    }
    int getResultEx(int function, int command, int timeoutMs, int, va_list args) override {
        return answer(EpapCall("getEx", function, command, timeoutMs), args);
    }
    int waitEvent(int function, int timeoutMs, char* event) override {
        std::pair<int, char> next{PV_NOT_YET, 0};
        if (!events.empty()) {
            next = events.front();
            events.pop_front();
        }
        if (event != nullptr) *event = next.second;
        EpapCall call("wait", function, -1, timeoutMs);
        call.status = next.first;
        calls.push_back(call);
        return next.first;
    }
    int getProtocol(int function) override {
        const auto p = protocols.find(function);
        EpapCall call("protocol", function);
        call.status = p != protocols.end() ? p->second : -1;
        calls.push_back(call);
        return call.status;
    }
    int getRowHeaders(bool answers, char* buffer) override {
        std::memcpy(buffer, answers ? answerHeaders : commandHeaders, PAP_ROWS * PAP_ROW_HEADER);
        return 1;
    }
    int setRowHeaders(bool answers, const char* buffer) override {
        std::memcpy(answers ? answerHeaders : commandHeaders, buffer, PAP_ROWS * PAP_ROW_HEADER);
        EpapCall call("headers");
        call.args.assign(buffer, PAP_ROWS * PAP_ROW_HEADER);
        calls.push_back(call);
        return 1;
    }

private:
    int next(const std::string& op) {
        auto& queue = statuses_[op];
        if (queue.empty()) return 0;
        const int s = queue.front();
        queue.pop_front();
        return s;
    }
    int record(EpapCall call) {
        call.status = next(call.op);
        calls.push_back(call);
        return call.status;
    }
    int answer(EpapCall call, va_list args) {
        call.status = next(call.op);
        const auto writer = writers.find(call.command);
        if (call.status == 0 && writer != writers.end()) {
            va_list copy;
            va_copy(copy, args);
            writer->second(copy);
            va_end(copy);
        }
        calls.push_back(call);
        return call.status;
    }

    EpapSeam* previous_;
    std::map<std::string, std::deque<int>> statuses_;
};

}  // namespace testsupport
