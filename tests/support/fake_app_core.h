// A fake of the application core as the terminal layers meet it: the wait
// callback (armed, it writes 'S' into the echo text from its n-th call on),
// the pad set-up flag, and recorders of the POS dialogue calls with their
// scripted results. Install the callback with EPAP_SetWaitCallback; the
// recorders take the arguments of the application core's Pos* operations.
#pragma once
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace testsupport {

class FakeAppCore {
public:
    static FakeAppCore& Get() {
        static FakeAppCore core;
        return core;
    }
    // Puts everything back as new.
    void reset() { *this = FakeAppCore(); }

    // The wait callback of the terminal waits.
    static void WaitCallback(char* echo) { Get().waited(echo); }
    // From the call after `calls` more calls on, the callback writes 'S'.
    void armStop(int calls = 0) {
        stopAfter_ = waitCalls + calls;
        armed_ = true;
    }
    void disarm() { armed_ = false; }

    // The pad set-up byte of the context (1 once the line set-up codes went
    // to the pad).
    int padSetupFlag = 0;

    // POS dialogue recorders: each call is kept as a line of text; the
    // result is the next scripted one (0 when none is left, 255 for keys).
    int PosDisplayText(const char* text, int lines, int width, int lineIndex, int firstLine, int attribute) {
        char line[64];
        std::snprintf(line, sizeof line, "display %d %d %d %d %d ", lines, width, lineIndex, firstLine, attribute);
        posCalls.push_back(line + std::string(text != nullptr ? text : ""));
        return nextResult(0);
    }
    int PosWaitKey(int timeoutMs, int flush, char* key) {
        posCalls.push_back("key " + std::to_string(timeoutMs) + " " + std::to_string(flush));
        const int k = keys.empty() ? 255 : static_cast<unsigned char>(keys.front());
        if (!keys.empty()) keys.pop_front();
        if (key != nullptr) *key = static_cast<char>(k);
        return k;
    }
    int PosWaitZoneEntry(int timeoutMs, int row, int column, int width, char* field, const char* format, char* key) {
        posCalls.push_back("entry " + std::to_string(timeoutMs) + " " + std::to_string(row) + " " +
                           std::to_string(column) + " " + std::to_string(width) + " " + (format ? format : ""));
        if (field != nullptr && !entries.empty()) {
            std::snprintf(field, static_cast<size_t>(width) + 1, "%s", entries.front().c_str());
            entries.pop_front();
        }
        if (key != nullptr) *key = 'V';
        return nextResult(0);
    }
    int PosWaitSelection(int timeoutMs, int itemCount, const char* title, int* item) {
        posCalls.push_back("select " + std::to_string(timeoutMs) + " " + std::to_string(itemCount) + " " +
                           (title ? title : ""));
        const int result = nextResult(0);
        if (item != nullptr) *item = result;
        return result;
    }
    int PosDisplayPaymentResult(const char* rs) {
        posCalls.push_back(std::string("payment ") + (rs ? rs : ""));
        return nextResult(0);
    }

    int waitCalls = 0;
    std::vector<std::string> posCalls;
    std::deque<int> posResults;
    std::deque<char> keys;
    std::deque<std::string> entries;

private:
    void waited(char* echo) {
        ++waitCalls;
        if (echo != nullptr && armed_ && waitCalls > stopAfter_) echo[0] = 'S';
    }
    int nextResult(int fallback) {
        if (posResults.empty()) return fallback;
        const int r = posResults.front();
        posResults.pop_front();
        return r;
    }

    bool armed_ = false;
    int stopAfter_ = 0;
};

}  // namespace testsupport
