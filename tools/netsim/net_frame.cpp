#include "netsim/net_frame.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/param_file.h"

namespace netsim {

namespace {

void Scramble(std::string& body, const std::string& key) {
    if (body.empty() || key.empty()) return;
    FILE_ScrambleBuffer(body.data(), static_cast<int32_t>(body.size()), std::atoi(key.c_str()), 0);
}

// Total announced by an own header, or -1.
long HeaderTotal(const std::string& bytes) {
    if (bytes.size() < 5 || bytes[4] != '\0') return -1;
    long total = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
        if (!std::isxdigit(c)) return -1;
        total = total * 16 + (std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10);
    }
    return total;
}

}  // namespace

std::string EncodeFrame(const NetMessage& message) {
    std::string body;
    const std::pair<const char*, const std::string*> parts[] = {
        {"K", &message.K}, {"S", &message.S}, {"U", &message.U}, {"A", &message.A}};
    for (const auto& [letter, value] : parts) {
        if (value->empty()) continue;
        body += std::string("<") + letter + ">" + *value + "<F>";
    }
    if (!message.M.empty()) {
        std::string m = message.M;
        Scramble(m, message.K);
        body += "<M>" + m;
    }
    const size_t total = body.size() + 5;
    if (total > 0xFFFF) return {};
    char header[8];
    std::snprintf(header, sizeof header, "%04zX", total);
    return std::string(header, 4) + std::string(1, '\0') + body;
}

std::optional<NetMessage> DecodeFrame(const std::string& frame) {
    const long total = HeaderTotal(frame);
    if (total < 5 || static_cast<size_t>(total) != frame.size()) return std::nullopt;
    NetMessage out;
    const std::string body = frame.substr(5);
    const size_t m = body.find("<M>");
    const std::string rubriques = m == std::string::npos ? body : body.substr(0, m);
    const std::pair<const char*, std::string*> parts[] = {{"<K>", &out.K}, {"<S>", &out.S}, {"<U>", &out.U}, {"<A>", &out.A}};
    for (const auto& [tag, value] : parts) {
        const size_t open = rubriques.find(tag);
        if (open == std::string::npos) continue;
        const size_t close = rubriques.find("<F>", open + 3);
        if (close == std::string::npos) return std::nullopt;
        *value = rubriques.substr(open + 3, close - open - 3);
    }
    if (m != std::string::npos) {
        out.M = body.substr(m + 3);
        Scramble(out.M, out.K);
    }
    return out;
}

std::string EncodeFieldBody(const std::string& text) {
    char length[16];
    std::snprintf(length, sizeof length, "%zX", text.size());
    const std::string fields = std::string(length) + std::string(1, '\0') + text;
    const size_t total = fields.size() + 5;
    if (total > 0xFFFF) return {};
    char header[8];
    std::snprintf(header, sizeof header, "%04zX", total);
    return std::string(header, 4) + std::string(1, '\0') + fields;
}

std::optional<std::string> DecodeFieldBody(const std::string& body) {
    const long total = HeaderTotal(body);
    if (total < 5 || static_cast<size_t>(total) > body.size()) return std::nullopt;
    const size_t nul = body.find('\0', 5);
    if (nul == std::string::npos || nul == 5 || nul >= static_cast<size_t>(total)) return std::nullopt;
    const std::string digits = body.substr(5, nul - 5);
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const unsigned long length = std::strtoul(digits.c_str(), nullptr, 16);
    if (nul + 1 + length > static_cast<size_t>(total)) return std::nullopt;
    return body.substr(nul + 1, length);
}

std::string TagValue(const std::string& message, const std::string& code) {
    const std::string key = "{" + code + "}";
    const size_t at = message.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    const size_t end = message.find('{', start);
    return message.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool FrameAssembler::takeClosingMessage() {
    if (broken_ || pending_.compare(0, kClosingMessage.size(), kClosingMessage) != 0) return false;
    pending_.erase(0, kClosingMessage.size());
    return true;
}

std::optional<std::string> FrameAssembler::next() {
    if (broken_ || pending_.size() < 5) return std::nullopt;
    const long total = HeaderTotal(pending_);
    if (total < 5) {
        broken_ = true;
        return std::nullopt;
    }
    if (pending_.size() < static_cast<size_t>(total)) return std::nullopt;
    std::string frame = pending_.substr(0, static_cast<size_t>(total));
    pending_.erase(0, static_cast<size_t>(total));
    return frame;
}

std::optional<std::string> HexToBytes(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2)
        out += static_cast<char>(std::strtol(digits.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

std::string BytesToHex(const std::string& bytes) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(bytes[i]));
        if (i) out += ' ';
        out += two;
    }
    return out;
}

}  // namespace netsim
