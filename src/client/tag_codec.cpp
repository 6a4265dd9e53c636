#include "client/tag_codec.h"

#include <cstring>
#include <new>
#include <string>

#include "client/dll_log.h"

namespace znpdll {
namespace {

constexpr std::string_view kEndTag = "{F}";

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// A value shown in a log line: sensitive codes never show theirs.
std::string_view Shown(const char* code, std::string_view value) {
    return IsSensitiveTag(code) ? std::string_view("XXXXXX") : value;
}

}  // namespace

int TagWriter::WriteInit(char* buffer, uint32_t capacity, bool clear) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (buffer == nullptr || capacity == 0) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Initialisation inacceptable (%p) / [%u]", static_cast<void*>(buffer),
                 capacity);
        return -1;
    }
    buffer_ = buffer;
    capacity_ = capacity;
    if (clear) std::memset(buffer_, 0, capacity_);
    log.Logf(instanceId_, "** INFO ** |TAGSET| Intialise (%p) / [%u]", static_cast<void*>(buffer), capacity);
    return 1;
}

int TagWriter::Add(const char* code, std::string_view value, bool allowFull) {
    DllLogger& log = DllLogger::Get();
    const size_t codeLength = std::strlen(code);
    // A code or value holding a separator would make a message that reads
    // back differently: refused.
    if (std::strpbrk(code, "{}") != nullptr || value.find('{') != std::string_view::npos) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable {%s} - Separateur dans l'etiquette ou la valeur",
                 code);
        return -1;
    }
    // Insertion point: the first end tag, else the end of the text (never
    // past the capacity).
    std::string_view text(buffer_, strnlen(buffer_, capacity_));
    size_t insert = text.find(kEndTag);
    if (insert == std::string_view::npos) insert = text.size();
    const size_t needed = insert + 1 + codeLength + 1 + value.size() + kEndTag.size() + 1;
    if (allowFull ? needed > capacity_ : needed >= capacity_) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable {%s} - Capacite du message [%zu / %u]", code,
                 needed, capacity_);
        return -1;
    }
    std::memset(buffer_ + insert, 0, capacity_ - insert);
    char* p = buffer_ + insert;
    *p++ = '{';
    std::memcpy(p, code, codeLength);
    p += codeLength;
    *p++ = '}';
    std::memcpy(p, value.data(), value.size());
    p += value.size();
    std::memcpy(p, kEndTag.data(), kEndTag.size());
    return 1;
}

int TagWriter::SetStringVal(const char* code, const char* value) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (buffer_ == nullptr || code == nullptr || value == nullptr) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable - Adresses (%p / %p / %p)",
                 static_cast<void*>(buffer_), static_cast<const void*>(code), static_cast<const void*>(value));
        return -1;
    }
    if (*code == '\0') {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable - Longueurs de chaine [%u]", 0u);
        return -1;
    }
    if (Add(code, value, false) != 1) return -1;
    log.Logf(instanceId_, "** INFO ** |TAGSET| Ajoute {%s} / [%s]", code, value);
    return 1;
}

int TagWriter::SetStringValHEX(const char* code, const unsigned char* bytes, uint32_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (buffer_ == nullptr || code == nullptr || bytes == nullptr) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable - Adresses (%p / %p / %p)",
                 static_cast<void*>(buffer_), static_cast<const void*>(code), static_cast<const void*>(bytes));
        return -1;
    }
    if (*code == '\0' || count == 0) {
        log.Logf(instanceId_, "-- ERROR -- |TAGSET| Ajout inacceptable {%s} - Longueurs de chaine [%zu / %u]", code,
                 std::strlen(code), count);
        return -1;
    }
    // The hexadecimal text is built before the buffer is touched, so a failed
    // allocation leaves the message as it was.
    std::string hex;
    try {
        hex.resize(static_cast<size_t>(count) * 2);
    } catch (const std::bad_alloc&) {
        log.Log(instanceId_, "!! FATAL !! |TAGSET| Allocation echouee");
        return -1;
    }
    static const char kDigits[] = "0123456789abcdef";
    for (uint32_t i = 0; i < count; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    if (Add(code, hex, true) != 1) return -1;
    log.Logf(instanceId_, "** INFO ** |TAGSET| Ajoute {%s} / [%s]", code, hex.c_str());
    return 1;
}

int TagWriter::GetWriteBuf(char* destination) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (buffer_ == nullptr || destination == nullptr) {
        DllLogger::Get().Logf(instanceId_, "-- ERROR -- |TAGSET| Copie inacceptable (%p / %p)",
                              static_cast<void*>(buffer_), static_cast<void*>(destination));
        return -1;
    }
    const size_t length = strnlen(buffer_, capacity_ - 1);
    std::memmove(destination, buffer_, length);
    destination[length] = '\0';
    return 1;
}

int TagReader::ReadInit(const char* text, uint32_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (text == nullptr || length == 0) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Initialisation inacceptable (%p) / [%u]",
                 static_cast<const void*>(text), length);
        return -1;
    }
    text_ = text;
    textLength_ = strnlen(text, length);
    position_ = 0;
    if (log.IsVerbose()) {
        std::string shown(text, textLength_);
        log.Logf(instanceId_, "** INFO ** |TAGGET| Initialisee (%p) / [%u]: %s", static_cast<const void*>(text), length,
                 shown.c_str());
    }
    return 1;
}

int TagReader::Locate(const char* code, int32_t fromStart, bool hexForm, std::string_view* value, bool optional) {
    DllLogger& log = DllLogger::Get();
    const size_t codeLength = std::strlen(code);
    if (textLength_ == 0 || codeLength == 0) {
        log.Logf(instanceId_,
                 hexForm ? "-- ERROR -- |TAGGET| Extraction inacceptable {%s}  - Longueurs de chaine [%zu / %zu]"
                         : "-- ERROR -- |TAGGET| Extraction inacceptable {%s} - Longueurs de chaine [%zu / %zu]",
                 code, textLength_, codeLength);
        return -1;
    }
    if (fromStart > 0) position_ = 0;
    std::string key;
    try {
        key.reserve(codeLength + 2);
        key += '{';
        key += code;
        key += '}';
    } catch (const std::bad_alloc&) {
        log.Log(instanceId_, "!! FATAL !! |TAGGET| Allocation echouee");
        return -1;
    }
    std::string_view text(text_, textLength_);
    size_t found = position_ <= text.size() ? text.find(key, position_) : std::string_view::npos;
    if (found == std::string_view::npos) {
        log.Logf(instanceId_,
                 optional ? "** INFO ** |TAGGET| Etiquette non trouvee {%s}" : ">> WARNING << |TAGGET| Etiquette non trouvee {%s}",
                 code);
        return -1;
    }
    const size_t start = found + key.size();
    position_ = static_cast<uint32_t>(start);
    size_t end = text.find('{', start);
    if (end == std::string_view::npos) end = text.size();
    if (end == start) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Valeur non trouvee {%s}", code);
        return -1;
    }
    *value = text.substr(start, end - start);
    return 1;
}

int TagReader::FindValue(const char* code, int32_t fromStart, std::string_view* value, bool optional) {
    std::lock_guard<std::mutex> guard(lock_);
    if (text_ == nullptr || code == nullptr || value == nullptr) {
        DllLogger::Get().Logf(instanceId_, "-- ERROR -- |TAGGET| Extraction inacceptable - Adresses (%p / %p / %p)",
                              static_cast<const void*>(text_), static_cast<const void*>(code),
                              static_cast<const void*>(value));
        return -1;
    }
    if (Locate(code, fromStart, false, value, optional) != 1) return -1;
    position_ = static_cast<uint32_t>(value->data() + value->size() - text_);
    return 1;
}

int TagReader::GetStringVal(const char* code, char* destination, int32_t fromStart) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (text_ == nullptr || code == nullptr || destination == nullptr) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Extraction inacceptable - Adresses (%p / %p / %p)",
                 static_cast<const void*>(text_), static_cast<const void*>(code), static_cast<void*>(destination));
        return -1;
    }
    std::string_view value;
    if (Locate(code, fromStart, false, &value) != 1) return -1;
    std::memmove(destination, value.data(), value.size());
    destination[value.size()] = '\0';
    position_ = static_cast<uint32_t>(value.data() + value.size() - text_);
    if (log.IsVerbose()) {
        std::string shown(Shown(code, value));
        log.Logf(instanceId_, "** INFO ** |TAGGET| Extrait {%s} / [%s]", code, shown.c_str());
    }
    return 1;
}

int TagReader::GetStringValHEX(const char* code, unsigned char* destination, uint32_t* count, int32_t fromStart) {
    std::lock_guard<std::mutex> guard(lock_);
    DllLogger& log = DllLogger::Get();
    if (text_ == nullptr || code == nullptr || destination == nullptr || count == nullptr) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Extraction inacceptable - Adresses (%p / %p / %p)",
                 static_cast<const void*>(text_), static_cast<const void*>(code), static_cast<void*>(destination));
        return -1;
    }
    std::string_view value;
    if (Locate(code, fromStart, true, &value) != 1) return -1;
    const size_t n = value.size();
    if (n > 2 * static_cast<size_t>(*count)) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Valeur non logeable {%s} [%zu / %zu]", code, n,
                 2 * static_cast<size_t>(*count));
        return -1;
    }
    // Only whole pairs of hexadecimal digits make bytes.
    bool valid = n % 2 == 0;
    for (size_t i = 0; valid && i < n; ++i) valid = IsHexDigit(value[i]);
    if (!valid) {
        log.Logf(instanceId_, "-- ERROR -- |TAGGET| Valeur non hexadecimale {%s}", code);
        return -1;
    }
    for (size_t i = 0; i < n / 2; ++i)
        destination[i] = static_cast<unsigned char>(HexValue(value[2 * i]) * 16 + HexValue(value[2 * i + 1]));
    *count = static_cast<uint32_t>(n / 2);
    position_ = static_cast<uint32_t>(value.data() + value.size() - text_);
    if (log.IsVerbose()) {
        std::string shown(Shown(code, value));
        log.Logf(instanceId_, "** INFO ** |TAGGET| Extrait {%s} / [%s]", code, shown.c_str());
    }
    return 1;
}

}  // namespace znpdll
