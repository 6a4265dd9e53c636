// Fields of the dialogue record's text area.
#include "protocols/terminal_display.h"

#include <cstring>

std::string_view TermDisplay_Field(const TermDisplayBlock& block, int n) {
    const char* p = block.text;
    const char* end = block.text + kTermDisplayTextMax;
    for (int i = 0; i < n; ++i) {
        const void* nul = std::memchr(p, '\0', static_cast<size_t>(end - p));
        if (nul == nullptr) return {};
        p = static_cast<const char*>(nul) + 1;
        if (p >= end) return {};
    }
    const void* nul = std::memchr(p, '\0', static_cast<size_t>(end - p));
    const char* stop = nul != nullptr ? static_cast<const char*>(nul) : end;
    return {p, static_cast<size_t>(stop - p)};
}

bool TermDisplay_SetFields(TermDisplayBlock* block, const std::vector<std::string>& fields) {
    if (block == nullptr) return false;
    size_t total = 0;
    for (const std::string& f : fields) total += f.size() + 1;
    if (total > static_cast<size_t>(kTermDisplayTextMax)) return false;
    std::memset(block->text, 0, sizeof block->text);
    size_t at = 0;
    for (const std::string& f : fields) {
        std::memcpy(block->text + at, f.data(), f.size());
        at += f.size() + 1;
    }
    block->textLength = static_cast<int32_t>(total);
    return true;
}
