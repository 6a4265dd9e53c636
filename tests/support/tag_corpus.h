// The shared corpus of tag messages (tests/data/tag_corpus): each NAME.msg
// holds one message, NAME.expected its entries in order as CODE=value lines.
// Read by the tests of both tag codecs so that they agree on one corpus.
#pragma once
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct TagCorpusEntry {
    std::string name;
    std::string message;
    std::vector<std::pair<std::string, std::string>> entries;  // code, value
};

inline std::vector<TagCorpusEntry> LoadTagCorpus() {
    std::vector<TagCorpusEntry> corpus;
    const std::filesystem::path dir = std::filesystem::path(ZNP_SOURCE_DIR) / "tests/data/tag_corpus";
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        if (file.path().extension() != ".msg") continue;
        TagCorpusEntry e;
        e.name = file.path().stem().string();
        std::ifstream msg(file.path(), std::ios::binary);
        std::ostringstream text;
        text << msg.rdbuf();
        e.message = text.str();
        std::ifstream expected(std::filesystem::path(file.path()).replace_extension(".expected"));
        for (std::string line; std::getline(expected, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) e.entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
        corpus.push_back(std::move(e));
    }
    std::sort(corpus.begin(), corpus.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return corpus;
}

// An even number of lower-case hexadecimal digits: a byte value.
inline bool LooksLikeBytes(const std::string& value) {
    return !value.empty() && value.size() % 2 == 0 &&
           std::all_of(value.begin(), value.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

inline std::vector<unsigned char> HexBytes(const std::string& hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace testsupport
