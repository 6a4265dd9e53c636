#include "comm/connection_script.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

constexpr const char* kControlLogger = "con_eapi";
constexpr const char* kScriptLogger = "coscript";
constexpr const char* kMediaList = "DIRECT:0, ANALOGIC:10, B_CHANEL:20, D_CHANEL:30";
constexpr const char* kAdapterList = "__PHONE:1, EBA_PHONE:2, EMA_PHONE:3";
constexpr const char* kHiddenPassword = "***";
constexpr int kReadChunk = 200;
constexpr int kCollectMax = 800;

char g_command[SCRIPT_COMMAND_MAX + 1];
char g_argument[SCRIPT_ARGUMENT_MAX + 1];
int g_timeout = SCRIPT_DEFAULT_TIMEOUT;
bool g_complement = false;
int g_complementStart = 0;
int g_complementEnd = 0;

const char* MediaName(int media) {
    switch (media) {
        case WCOM_MEDIA_DIRECT: return "DIRECT";
        case WCOM_MEDIA_ANALOGIC: return "ANALOGIC";
        case WCOM_MEDIA_B_CHANEL: return "B_CHANEL";
        case WCOM_MEDIA_D_CHANEL: return "D_CHANEL";
        default: return nullptr;
    }
}

const char* AdapterName(int adapter) {
    switch (adapter) {
        case WCOM_ADAPTER_PHONE: return "__PHONE";
        case WCOM_ADAPTER_EBA: return "EBA_PHONE";
        case WCOM_ADAPTER_EMA: return "EMA_PHONE";
        default: return nullptr;
    }
}

int64_t NowSeconds() { return plat::MonotonicMs() / 1000; }

const char* PathOf(const KTDK_FILE* script) { return script != nullptr ? script->path : ""; }

// Text up to its first blank, or without trailing blanks; 80 characters at most.
std::string UpToBlank(const char* text) {
    if (text == nullptr) return {};
    std::string s(text, std::strcspn(text, " "));
    return s.substr(0, SCRIPT_VAR_TEXT - 1);
}
std::string TrimmedRight(const char* text) {
    if (text == nullptr) return {};
    std::string s(text);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s.substr(0, SCRIPT_VAR_TEXT - 1);
}

void SetVar(ScriptVar* v, const char* name, const std::string& value) {
    std::snprintf(v->name, sizeof v->name, "%s", name);
    std::snprintf(v->value, sizeof v->value, "%s", value.c_str());
}

// Matcher of one wait: follows the pattern over the bytes as they come, so
// that an occurrence is found wherever it starts, overlapping a false start
// included.
class Matcher {
public:
    explicit Matcher(std::string pattern) : pattern_(std::move(pattern)), fail_(pattern_.size(), 0) {
        for (size_t i = 1, k = 0; i < pattern_.size(); ++i) {
            while (k > 0 && pattern_[i] != pattern_[k]) k = fail_[k - 1];
            if (pattern_[i] == pattern_[k]) ++k;
            fail_[i] = k;
        }
    }
    bool feed(char c) {
        if (pattern_.empty()) return false;
        while (state_ > 0 && c != pattern_[state_]) state_ = fail_[state_ - 1];
        if (c == pattern_[state_]) ++state_;
        if (state_ == pattern_.size()) {
            state_ = fail_[state_ - 1];
            return true;
        }
        return false;
    }

private:
    std::string pattern_;
    std::vector<size_t> fail_;
    size_t state_ = 0;
};

// Reads what waits (at most `limit` bytes) into out: the count, -1 on a
// read failure.
int ReadWaiting(int port, unsigned char* out, int limit) {
    int output = 0, input = 0;
    PortQueueStatus(port, &output, &input);
    const int n = std::min(input, limit);
    if (n <= 0) return 0;
    return PortRxTrame(port, out, n);
}

// Waits for input, at most until the end (whole seconds); on a link that
// cannot be waited on, looks again after 2 ms.
void WaitUntil(int port, int64_t endSeconds) {
    const int64_t left = endSeconds * 1000 - plat::MonotonicMs();
    if (left > 0 && WComWaitInput2(port, static_cast<int>(left)) < 0) WSleep(2);
}

// The shared loop of the two waits for a byte sequence.
int WaitForSequence(int port, int seconds, const std::string& pattern, bool lower, bool emptyGivesZero) {
    const int64_t end = NowSeconds() + seconds;
    if (NowSeconds() >= end) return -1;
    Matcher matcher(pattern);
    unsigned char buffer[kReadChunk];
    for (;;) {
        const int n = ReadWaiting(port, buffer, kReadChunk);
        if (n < 0) return -1;
        if (lower)
            for (int i = 0; i < n && buffer[i] != 0; ++i) buffer[i] = static_cast<unsigned char>(std::tolower(buffer[i]));
        if (emptyGivesZero) return 0;
        for (int i = 0; i < n; ++i) {
            const char c = static_cast<char>(lower ? (buffer[i] & 0x7F) : buffer[i]);
            if (matcher.feed(c)) return 1;
        }
        // What came during the last wait is read before the time is up.
        if (NowSeconds() >= end) return -1;
        WaitUntil(port, end);
    }
}

// Collects what arrives into one area of at most 800 bytes (started again
// when full) until check answers non-zero or the time is up.
template <typename Check>
int Collect(int port, int seconds, bool clearBit7, Check check) {
    const int64_t end = NowSeconds() + seconds;
    std::string collected;
    unsigned char buffer[kCollectMax];
    if (NowSeconds() >= end) return -1;
    for (;;) {
        const int n = ReadWaiting(port, buffer, kCollectMax);
        if (n < 0) return -1;
        if (collected.size() + static_cast<size_t>(n) > kCollectMax) collected.clear();
        for (int i = 0; i < n; ++i) collected.push_back(static_cast<char>(clearBit7 ? buffer[i] & 0x7F : buffer[i]));
        const int verdict = check(collected);
        if (verdict != 0) return verdict;
        if (NowSeconds() >= end) return -1;
        WaitUntil(port, end);
    }
}

std::string Lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A result line is the word itself or the word followed by a blank
// ("CONNECT 9600", "LIB 00").
bool IsResultWord(const std::string& line, const char* word) {
    const size_t n = std::strlen(word);
    return line.compare(0, n, word) == 0 && (line.size() == n || line[n] == ' ');
}

// Hayes verdict of the collected answer: -1 when any line is a failure word,
// else 1 when any is a success word, else 0 (echoes and other lines count
// for nothing).
int HayesVerdict(const std::string& collected) {
    static const char* const kFailure[] = {"error", "err", "lib", "no carrier", "no dialtone", "busy", "no answer"};
    static const char* const kSuccess[] = {"ok", "connect", "open", "com"};
    std::vector<std::string> lines;
    std::string line;
    for (char c : collected) {
        if (c == '\r' || c == '\n' || c == '\0') {
            if (!line.empty()) lines.push_back(Lowered(line));
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(Lowered(line));
    for (std::string& l : lines) {
        while (!l.empty() && l.front() == ' ') l.erase(l.begin());
        while (!l.empty() && l.back() == ' ') l.pop_back();
    }
    for (const std::string& l : lines)
        for (const char* w : kFailure)
            if (IsResultWord(l, w)) return -1;
    for (const std::string& l : lines)
        for (const char* w : kSuccess)
            if (IsResultWord(l, w)) return 1;
    return 0;
}

// Sends a text with its end; traceText is what the trace shows of it.
int SendCommand(int port, const std::string& text, int end, const char* traceText) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMSendCommand: command: %s, cr: %d", traceText, end);
    std::string out = text;
    if (end == SCRIPT_END_CR) out += "\r";
    if (end == SCRIPT_END_LF) out += "\n";
    if (end == SCRIPT_END_CRLF) out += "\r\n";
    if (g_complement) {
        const int stop = std::min<int>(g_complementEnd, static_cast<int>(out.size()));
        for (int i = std::max(0, g_complementStart); i < stop; ++i)
            if (static_cast<unsigned char>(out[static_cast<size_t>(i)]) == 0xFF) out[static_cast<size_t>(i)] = '\0';
        g_complement = false;
        g_complementStart = g_complementEnd = 0;
    }
    PortPurgeRx(port, 2);
    if (PortEmist(port, out.data(), static_cast<uint32_t>(out.size()), PORT_METHOD_NONE) != PORT_DONE) return -1;
    PortWaitTxEmpty(port, 2);
    return 1;
}

int SendHexCommand(int port, const std::string& hex, int end, const char* traceText) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMSendHexCommand: command: %s, cr: %d", traceText, end);
    std::string digits = hex;
    if (end == SCRIPT_END_CR) digits += "0D";
    if (end == SCRIPT_END_LF) digits += "0A";
    if (end == SCRIPT_END_CRLF) digits += "0D0A";
    if (digits.size() % 2 != 0) {
        WSysError("-- ERROR -- WCOMSendHexCommand(): Command must contain an even number of hexadecimal digits, "
                  "command: %s",
                  traceText);
        return -1;
    }
    std::vector<unsigned char> bytes(digits.size() / 2 + 1);
    WHexToBin(bytes.data(), digits.c_str(), static_cast<int32_t>(digits.size() / 2));
    const int saved = WCOM_GetPadDoubleFF(port);
    WCOM_SetPadDoubleFF(port, 0);
    PortPurgeRx(port, 2);
    int result = -1;
    if (PortEmist(port, bytes.data(), static_cast<uint32_t>(digits.size() / 2), PORT_METHOD_NONE) == PORT_DONE) {
        PortWaitTxEmpty(port, 2);
        result = 1;
    }
    WCOM_SetPadDoubleFF(port, saved);
    return result;
}

// '#' and two hexadecimal digits stand for one byte.
std::string DecodeDiese(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The argument as hexadecimal text: "#hh" keeps hh, every other character
// becomes its two digits.
std::string DieseToHex(const std::string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && i + 2 < text.size()) {
            out += text.substr(i + 1, 2);
            i += 2;
        } else {
            const auto c = static_cast<unsigned char>(text[i]);
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 0x0F]);
        }
    }
    return out;
}

// Runs a program from the script: its words as they stand, no shell.
void RunProgram(const char* commandLine) {
    const plat::StartResult started = plat::StartProcess(commandLine);
    if (!started.ok()) {
        WSysError("<< WARN. >> WCOMPlayScript(): FEXEC failed to start: %s, errno: %d", commandLine, started.error);
        return;
    }
    plat::WaitForExit(started.pid, -1);
}

// Substitution of the "VSEND" family: false when it failed. The send that
// follows traces the argument as written, with its placeholders: values
// (the password among them) never reach a trace line.
bool Substitute(int count, ScriptVar* variables) {
    if (variables == nullptr || count <= 0 || WCOMCountPlaceholders() > count) return true;
    for (int i = 0; i < count; ++i)
        if (WCOMSubstituteVariable(&variables[i]) < 0) return false;
    return true;
}

enum class Step { Next, End };

}  // namespace

const char* WCOMCurrentCommand() { return g_command; }
const char* WCOMCurrentArgument() { return g_argument; }
void WCOMSetCurrentArgument(const char* argument) {
    std::snprintf(g_argument, sizeof g_argument, "%s", argument != nullptr ? argument : "");
}
int WCOMCurrentTimeout() { return g_timeout; }

int WCOMFindSection(KTDK_FILE* script, const char* key, int first) {
    if (script == nullptr || key == nullptr) return -2;
    const char* line = first ? FILE_GetStringParam(script, key) : FILE_GetNextStringParam(script, key);
    return line != nullptr ? 1 : -2;
}

int WCOMGetNextCommand(KTDK_FILE* script) {
    if (script == nullptr) return -1;
    FILE_SetSemantique(script, "[", "]\r\n");
    const char* found = FILE_GetNextMessage(script);
    if (found == nullptr) return -1;
    const std::string line(found);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return -2;
    if (colon > SCRIPT_COMMAND_MAX) return -3;
    if (line.size() - colon - 1 > SCRIPT_ARGUMENT_MAX) return -4;
    std::snprintf(g_command, sizeof g_command, "%s", line.substr(0, colon).c_str());
    std::snprintf(g_argument, sizeof g_argument, "%s", line.substr(colon + 1).c_str());
    return 1;
}

int WCOMCountPlaceholders() {
    int n = 0;
    for (const char* p = std::strstr(g_argument, "(_"); p != nullptr; p = std::strstr(p + 2, "(_")) ++n;
    return n;
}

int WCOMSubstituteVariable(const ScriptVar* variable) {
    if (g_argument[0] == '\0' || variable == nullptr) return -1;
    const std::string placeholder = std::string("(_") + variable->name + "_)";
    const std::string argument(g_argument);
    const size_t at = argument.find(placeholder);
    if (at == std::string::npos) return 0;
    std::string result = argument.substr(0, at);
    if (strcasecmp(variable->value, "<-") == 0) {
        if (!result.empty()) result.pop_back();
    } else {
        if (strcasecmp(variable->name, "ComplementData") == 0) {
            g_complement = true;
            g_complementStart = static_cast<int>(result.size());
        }
        result += variable->value;
        g_complementEnd = static_cast<int>(result.size());
    }
    result += argument.substr(at + placeholder.size());
    // A result that the argument cannot hold fails the command, never cut.
    if (result.size() > SCRIPT_ARGUMENT_MAX) {
        WSysError("-- ERROR -- WCOMSubstituteVariable(): argument too long after substitution (%d, max. %d), "
                  "command: %s",
                  static_cast<int>(result.size()), SCRIPT_ARGUMENT_MAX, g_command);
        return -1;
    }
    std::snprintf(g_argument, sizeof g_argument, "%s", result.c_str());
    return 1;
}

int WCOMHasComplementData(int count, const ScriptVar* variables) {
    if (variables == nullptr) return 0;
    for (int i = 0; i < count; ++i)
        if (strcasecmp(variables[i].name, "ComplementData") == 0) return variables[i].value[0] != '\0' ? 1 : 0;
    return 0;
}

int WCOMSendCommand(int port, const char* text, int end) {
    if (text == nullptr) return -1;
    return SendCommand(port, text, end, text);
}

int WCOMSendHexCommand(int port, const char* hex, int end) {
    if (hex == nullptr) return -1;
    return SendHexCommand(port, hex, end, hex);
}

int WCOMWaitForMess(int port, int seconds, char* text) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMWaitForMess: tempo: %u", static_cast<unsigned>(seconds));
    if (text == nullptr) return 0;
    for (char* p = text; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return WaitForSequence(port, seconds, text, true, text[0] == '\0');
}

int WCOMWaitForHexMess(int port, int seconds, const unsigned char* bytes, int count) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMWaitForHexMess: tempo: %u", static_cast<unsigned>(seconds));
    if (bytes == nullptr) return 0;
    const std::string pattern(reinterpret_cast<const char*>(bytes), static_cast<size_t>(std::max(count, 0)));
    return WaitForSequence(port, seconds, pattern, false, count <= 0);
}

int WCOMWaitForHayes(int port, int seconds) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMWaitForHayes: tempo: %u", static_cast<unsigned>(seconds));
    return Collect(port, seconds, true, HayesVerdict);
}

int WCOMWaitForPad(int port, int seconds) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMWaitForPad: tempo: %u", static_cast<unsigned>(seconds));
    static const char* const kAnswers[] = {">", "*", "ok", "open", "username", "password", "reset", "clr", "\r\n"};
    return Collect(port, seconds, false, [](const std::string& collected) {
        if (collected.empty()) return 0;
        const std::string text = Lowered(collected);
        for (const char* a : kAnswers)
            if (text.find(a) != std::string::npos) return 1;
        return 0;
    });
}

int WCOM_waitForRegex(int port, int seconds, const char* pattern) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOM_waitForRegex: tempo: %u, message: %s", static_cast<unsigned>(seconds),
         pattern != nullptr ? pattern : "");
    if (seconds > 0) {
        unsigned char buffer[kReadChunk];
        const int n = ReadWaiting(port, buffer, kReadChunk);
        if (n < 0) WLOG(kScriptLogger, WLOG_DEBUG, "WCOM_waitForRegex: PortRxTrame: %d", n);
    }
    WLOG(kScriptLogger, WLOG_ERROR, "WCOM_waitForRegexMessageAnalysis: Not implemented on KESSALIB CLIENT (without QT)");
    return -1;
}

int WCOMPlayScript(int port, KTDK_FILE* script, int count, ScriptVar* variables) {
    WLOG(kScriptLogger, WLOG_DEBUG, "WCOMPlayScript: file: %s", PathOf(script));
    int result = -1;
    g_timeout = SCRIPT_DEFAULT_TIMEOUT;
    for (;;) {
        if (WCOMGetNextCommand(script) < 0) break;
        WLOG(kScriptLogger, WLOG_DEBUG, "WCOMPlayScript: command: %s", g_command);
        const std::string command(g_command);
        auto is = [&](const char* name) { return strcasecmp(command.c_str(), name) == 0; };
        Step step = Step::Next;
        if (is("END")) {
            return 1;
        } else if (is("SOFT")) {
            result = 2;
            step = Step::End;
        } else if (is("OPEN")) {
            if (PortVPSL(port, g_argument) != 0) step = Step::End;
        } else if (is("CLOSE")) {
            PortClose(port);
        } else if (is("DELAY")) {
            WSleep(static_cast<uint32_t>(std::max(0, std::atoi(g_argument))) * 1000u);
        } else if (is("DELAYMS")) {
            WSleep(static_cast<uint32_t>(std::max(0, std::atoi(g_argument))));
        } else if (is("TIMEOUT")) {
            g_timeout = std::atoi(g_argument);
        } else if (is("CLEAR")) {
            PortPurgeRx(port, g_timeout);
        } else if (is("FEXEC")) {
            RunProgram(g_argument);
        } else if (is("ALWAYSDISCO")) {
            result = -2;
        } else if (is("WAITMUTE")) {
            int interval = 0, seconds = 0;
            std::sscanf(g_argument, "%d %d", &interval, &seconds);
            g_timeout = interval;
            PortWaitMute(port, interval, seconds);
        } else if (is("SRECV")) {
            if (WCOMWaitForMess(port, g_timeout, g_argument) == -1) step = Step::End;
        } else if (is("SDIESERECV")) {
            if (g_argument[0] != '\0') {
                const std::string bytes = DecodeDiese(g_argument);
                WCOMWaitForHexMess(port, g_timeout, reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<int>(bytes.size()));
            }
        } else if (is("HAYESRECV")) {
            if (WCOMWaitForHayes(port, g_timeout) == -1) step = Step::End;
        } else if (is("REGEXRECV")) {
            WCOM_waitForRegex(port, g_timeout, g_argument);
            step = Step::End;
        } else if (is("PADRECV")) {
            if (WCOMWaitForPad(port, g_timeout) == -1) step = Step::End;
        } else if (is("SSEND")) {
            if (WCOMSendCommand(port, g_argument, SCRIPT_END_CR) == -1) step = Step::End;
        } else if (is("HEXSEND")) {
            if (WCOMSendHexCommand(port, g_argument, SCRIPT_END_NONE) == -1) step = Step::End;
        } else if (is("VSEND") || is("VSENDNOCR") || is("VSENDHEX") || is("VSENDDIESE") || is("VSEND_CPL") ||
                   is("VSEND_NOCPL")) {
            const bool skip = (is("VSEND_CPL") && WCOMHasComplementData(count, variables) != 1) ||
                              (is("VSEND_NOCPL") && WCOMHasComplementData(count, variables) != 0);
            if (!skip) {
                const std::string written(g_argument);
                if (!Substitute(count, variables)) {
                    step = Step::End;
                } else if (is("VSENDHEX")) {
                    if (SendHexCommand(port, g_argument, SCRIPT_END_NONE, written.c_str()) == -1) step = Step::End;
                } else if (is("VSENDDIESE")) {
                    if (SendHexCommand(port, DieseToHex(g_argument), SCRIPT_END_NONE, written.c_str()) == -1)
                        step = Step::End;
                } else if (g_argument[0] != '\0') {
                    const int end = is("VSENDNOCR") ? SCRIPT_END_NONE : SCRIPT_END_CR;
                    if (SendCommand(port, g_argument, end, written.c_str()) == -1) step = Step::End;
                }
            }
        }
        if (step == Step::End) break;
    }
    if (g_command[0] == '\0') return result;
    if (script != nullptr)
        WSysError("<< WARN. >> Error while processing script on command: %s, script file name: %s", g_command,
                  script->path);
    else
        WSysError("<< WARN. >> Error while processing script on command: %s", g_command);
    return result;
}

void WCOMBuildPhoneVariables(const char* phone, const char* address, const char* data, const char* password,
                             ScriptVar variables[6]) {
    const std::string complement = TrimmedRight(data);
    std::string octal, hexa;
    for (unsigned char c : complement) {
        char piece[8];
        std::snprintf(piece, sizeof piece, "\\%03o", c);
        if (octal.size() + 4 <= SCRIPT_VAR_TEXT - 1) octal += piece;
        std::snprintf(piece, sizeof piece, "%02x", c);
        if (hexa.size() + 2 <= SCRIPT_VAR_TEXT - 1) hexa += piece;
    }
    const std::string pass = TrimmedRight(password);
    SetVar(&variables[0], "PhoneNumber", UpToBlank(phone));
    SetVar(&variables[1], "X25Adress", UpToBlank(address));
    SetVar(&variables[2], "ComplementData", complement);
    SetVar(&variables[3], "ComplementDataOctal", octal);
    SetVar(&variables[4], "ComplementDataHexa", hexa);
    SetVar(&variables[5], "PassWord", pass.empty() ? std::string("<-") : pass);
}

int PrePhoneCall(int port, KTDK_FILE* script, int media, int adapter, int count, ScriptVar* variables) {
    if (script == nullptr) {
        WSysError("-- ERROR -- PrePhoneCall(): Null pointer error");
        return -2;
    }
    WLOG(kControlLogger, WLOG_DEBUG, "PrePhoneCall: file: %s", script->path);
    const char* mediaName = MediaName(media);
    if (mediaName == nullptr) {
        WSysError("-- ERROR -- PrePhoneCall(): Unsupported media: %d, supported list: %s", media, kMediaList);
        return -2;
    }
    const char* adapterName = AdapterName(adapter);
    if (adapterName == nullptr) {
        WSysError("-- ERROR -- PrePhoneCall(): Unsupported adapter: %d, supported list: %s)", adapter, kAdapterList);
        return -2;
    }
    if (WCOMFindSection(script, mediaName, 1) < 0 || WCOMFindSection(script, adapterName, 0) < 0 ||
        WCOMFindSection(script, "PRE_CONNECT", 0) < 0)
        return -2;
    const int result = WCOMPlayScript(port, script, count, variables);
    if (result < 0) WSysError("-- ERROR -- PrePhoneCall(): WCOMPlayScript returned an error: %d", result);
    return result;
}

int PhoneCall(int port, const char* phone, const char* address, const char* data, const char* password) {
    const bool hasPassword = password != nullptr && password[0] != '\0';
    WLOG(kControlLogger, WLOG_DEBUG, "PhoneCall: port: %d, phone: %s, address: %s, data: %s, password: %s", port,
         phone != nullptr ? phone : "", address != nullptr ? address : "", data != nullptr ? data : "",
         hasPassword ? kHiddenPassword : "");
    ScriptVar variables[6];
    WCOMBuildPhoneVariables(phone, address, data, password, variables);
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) {
        WSysError("-- ERROR -- WPhoneCall(): Failed to retrieve resource: %d, WCOM_GetResourceByNum returned a null "
                  "pointer",
                  port);
        return -1;
    }
    const int media = WCOM_GetResourceMedia(port);
    const int adapter = WCOM_GetResourceAdapter(port);
    KTDK_FILE* script = WCOM_GetConnectionConfig(port);
    r = WCOM_GetResourceByNum(port);
    auto done = [&](int result) {
        FILE_FreeFile(script);
        return result;
    };
    if (adapter == WCOM_ADAPTER_NONE) return done(1);
    if (script != nullptr) PrePhoneCall(port, script, media, adapter, 6, variables);
    if (adapter == WCOM_ADAPTER_PHONE && media == WCOM_MEDIA_DIRECT && script == nullptr)
        return done(PhoneDirectIPChange(port, phone, address));
    if (PortVPSL(port, "?018") != 0) {
        WSysError("-- ERROR -- WPhoneCall(): PortVPSL failed, port: %d", port);
        return done(-2);
    }
    if (script == nullptr) {
        WSysError("-- ERROR -- WPhoneCall(): Connection failed, port: %d, configuration file: %s", port, r->scriptFile);
        return done(-2);
    }
    const char* mediaName = MediaName(media);
    if (mediaName == nullptr) {
        WSysError("-- ERROR -- WPhoneCall(): Unsupported media: %d (%s), port: %d, configuration file: %s", media,
                  kMediaList, port, r->scriptFile);
        return done(-2);
    }
    const char* adapterName = AdapterName(adapter);
    if (adapterName == nullptr) {
        WSysError("-- ERROR -- WPhoneCall(): Unsupported adapter: %d (%s), port: %d, configuration file: %s", adapter,
                  kAdapterList, port, r->scriptFile);
        return done(-2);
    }
    if (WCOMFindSection(script, mediaName, 1) < 0) {
        WSysError("-- ERROR -- WPhoneCall(): Missing field '%s' in file '%s'", mediaName, r->scriptFile);
        return done(-2);
    }
    if (WCOMFindSection(script, adapterName, 0) < 0) {
        WSysError("** INFO. ** WPhoneCall(): Missing field '%s' in file '%s'", adapterName, r->scriptFile);
        return done(-2);
    }
    if (r->lockState < 0 && WCOMFindSection(script, "INIT", 0) > 0 && WCOMPlayScript(port, script, 0, nullptr) < 0)
        return done(-2);
    if (WCOMFindSection(script, "CONNECT", 0) < 0) {
        WSysError("** INFO. ** WPhoneCall(): Missing field '%s' in file '%s'", "CONNECT", r->scriptFile);
        return done(-2);
    }
    if (WCOM_IsSerialResource(port) == 1) PortSetFlowControl(port, PORT_FLOW_RTS_TOGGLE);
    const int played = WCOMPlayScript(port, script, 6, variables);
    if (played == 2 && adapter == WCOM_ADAPTER_EBA) return done(WEBACall(port, nullptr, address, data, password));
    if (played >= 0) {
        if (adapter == WCOM_ADAPTER_PHONE && media == WCOM_MEDIA_DIRECT)
            return done(PhoneDirectIPChange(port, phone, address));
        return done(1);
    }
    if (played == -2 && WCOMFindSection(script, "DISCONNECT", 0) > 0) WCOMPlayScript(port, script, 0, nullptr);
    if (ComResource* again = WCOM_GetResourceByNum(port)) again->lockState = -1;
    return done(-1);
}

int PhoneHangUp(int port) {
    WLOG(kControlLogger, WLOG_DEBUG, "PhoneHangUp: port: %d", port);
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) {
        WSysError("-- ERROR -- WPhoneHang : Echec Obtention Ressource %d", port);
        return -1;
    }
    const int adapter = WCOM_GetResourceAdapter(port);
    if (adapter == WCOM_ADAPTER_PHONE) return 1;
    const int media = WCOM_GetResourceMedia(port);
    KTDK_FILE* script = WCOM_GetConnectionConfig(port);
    r = WCOM_GetResourceByNum(port);
    auto done = [&](int result) {
        FILE_FreeFile(script);
        return result;
    };
    if (script == nullptr) {
        WSysError("-- ERROR -- WPhoneHang : Echec Obtention Connection Config File %d:%s", port, r->scriptFile);
        return done(-2);
    }
    const char* mediaName = MediaName(media);
    if (mediaName == nullptr) {
        WSysError("** INFO. ** WPhoneHang : Echec Obtention Media Type %d:%s", media, r->scriptFile);
        return done(-2);
    }
    const char* adapterName = adapter == WCOM_ADAPTER_EBA || adapter == WCOM_ADAPTER_EMA ? AdapterName(adapter) : nullptr;
    if (adapterName == nullptr) {
        WSysError("-- ERROR -- WPhoneHang : Echec Obtention Adaptateur Type %d:%s", adapter, r->scriptFile);
        return done(-2);
    }
    if (WCOMFindSection(script, mediaName, 1) < 0) {
        WSysError("<< WARN. >> WPhoneHang : Media Type:%s non Traite ds Fichier:%s", mediaName, r->scriptFile);
        return done(-2);
    }
    if (WCOMFindSection(script, adapterName, 0) < 0 || WCOMFindSection(script, "DISCONNECT", 0) < 0) {
        WSysError("<< WARN. >> WPhoneHang : Appel Type:%s non Traite ds Fichier:%s", adapterName, r->scriptFile);
        return done(-2);
    }
    return done(WCOMPlayScript(port, script, 0, nullptr) < 0 ? -1 : 1);
}

int PhoneDirectIPChange(int port, const char* host, const char* service) {
    WLOG(kControlLogger, WLOG_DEBUG, "PhoneDirectIPChange: port: %d, phone: %s, address: %s", port,
         host != nullptr ? host : "", service != nullptr ? service : "");
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) return -1;
    const int type = r->type;
    std::vector<std::pair<std::string, std::string>> pairs;
    if (type == WCOM_TYPE_IP_CLIENT || type == WCOM_TYPE_IP_SERVER || type == WCOM_TYPE_CONNECTED) {
        const std::string h = UpToBlank(host);
        const std::string s = UpToBlank(service);
        if (!h.empty()) {
            pairs.emplace_back("Host1", h);
            pairs.emplace_back("Host2", h);
        }
        if (!s.empty()) {
            pairs.emplace_back("Service1", s);
            pairs.emplace_back("Service2", s);
        }
    }
    if (!pairs.empty()) {
        int result;
        if (type == WCOM_TYPE_CONNECTED) {
            result = WComOpen2(port);
        } else {
            WComClose2(port);
            result = WCOM_UpdatePhysicalConfig(port, pairs);
            if (result == 1) result = WComOpen2(port);
        }
        if (result < 0) return -1;
    }
    r = WCOM_GetResourceByNum(port);
    int result = 1;
    if (r != nullptr && r->handle != -1) {
        const int vpsl = PortVPSL(port, "????");
        if (vpsl != 0) {
            WSysError("-- ERROR -- PhoneDirectIPChange: PortVPSL failed, port: %d", port);
            if (vpsl < 0) result = -1;
        }
    }
    return result;
}

int WEBACall(int port, const char* phone, const char* address, const char* data, const char* password) {
    constexpr int kWait = 5;
    const std::string dial = UpToBlank(phone);
    const std::string x25 = UpToBlank(address);
    const std::string complement = TrimmedRight(data);
    const std::string pass = TrimmedRight(password);
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) {
        WSysError("-- ERROR -- WEBACall : Echec Obtention Ressource %d", port);
        return -1;
    }
    if (!dial.empty()) {
        r->connectionType -= 1;
        const int dialled = PhoneCall(port, dial.c_str(), "", "", "");
        if (ComResource* again = WCOM_GetResourceByNum(port)) again->connectionType += 1;
        if (dialled < 0) return dialled;
    }
    PortVPSL(port, "?217");
    WSleep(100);
    WSleep(500);
    unsigned char one = 0;
    PortRxCar(port, &one, 1000);
    PortPurgeRx(port, kWait);

    SendCommand(port, "SET1:0,2:0,3:0,4:8,5:0\r", SCRIPT_END_NONE, "SET1:0,2:0,3:0,4:8,5:0\r");
    char lineEnd[] = "\r\n";
    if (WCOMWaitForMess(port, kWait, lineEnd) != 1) return -3;
    PortPurgeRx(port, kWait);

    std::string call = x25;
    if (!complement.empty()) call += "D" + complement;
    SendCommand(port, call, SCRIPT_END_CR, call.c_str());
    if (WCOMWaitForHayes(port, 10) == -1) return -5;
    PortPurgeRx(port, kWait);

    if (!pass.empty()) {
        bool accepted = false;
        for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
            SendCommand(port, pass, SCRIPT_END_CR, kHiddenPassword);
            char answer[] = "\r\n\a\t";
            accepted = WCOMWaitForMess(port, kWait, answer) == 1;
        }
        if (!accepted) return -6;
    }
    PortPurgeRx(port, kWait);
    PortPurgeRx(port, kWait);
    return 1;
}
