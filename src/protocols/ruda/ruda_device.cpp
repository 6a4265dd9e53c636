// RUDA device control, keys and security.
#include "protocols/ruda/ruda_device.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_answer.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_card.h"
#include "protocols/term_files.h"

int RUDA_BuildResetDeviceRequest(int operation, int first, int second, unsigned char** apdu, int* length) {
    const auto p1 = static_cast<uint8_t>(first);
    const auto p2 = static_cast<uint8_t>(second);
    if (operation == 152)
        return RUDA_BuildApdu(0xD0, 0x00, p1, p2, nullptr, 0, nullptr, 0, apdu, length) == RUDA_APDU_BUILT ? 1 : 0;
    RudaBytes inner;
    if (RUDA_AddDFED0D(inner) != 0) return 0;
    RudaBytes data;
    if (!RUDA_AppendElement(data, 0xE0, inner.data(), static_cast<int>(inner.size()))) return 0;
    return RUDA_BuildApdu(0xD0, 0x0A, p1, p2, data.data(), static_cast<int>(data.size()), nullptr, 0, apdu,
                          length) == RUDA_APDU_BUILT
               ? 1
               : 0;
}

int RUDA_DealResetDeviceAnswer(int operation, const unsigned char* answer, int length, char* serial) {
    const char* what = operation == 102 ? "Soft Ext Reset Device" : "Reset Device";
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse %s : SW1-SW2 : %02X%02X", what, sw >> 8, sw & 0xFF);
        return RUDA_STATUS_INTERNAL;
    }
    if (serial == nullptr) return RUDA_STATUS_DONE;
    // The serial number may stand alone or inside the answer's template.
    TlvNode found;
    if (length <= 2 ||
        TLV_SearchTag(&found, answer, length - 2, 0x9F1E, nullptr) != 1) {
        WSysError("-- ERROR -- Reponse %s : serial number not present", what);
        return RUDA_STATUS_DONE;
    }
    const size_t room = std::strlen(serial);
    const size_t n = found.lg > 0 ? std::min<size_t>(room, static_cast<size_t>(found.lg)) : 0;
    std::memcpy(serial, found.value, n);
    serial[n] = '\0';
    return RUDA_STATUS_DONE;
}

namespace {

constexpr int kKsnLength = 10;
constexpr int kSlotMax = 9;
constexpr int kRsaKeyMax = 8000;
constexpr int kFileNameData = 255;
constexpr int kSecondValueMax = 8;

int TextRequest(uint8_t cla, uint8_t ins, const char* text, unsigned char** apdu, int* length) {
    if (text == nullptr) return 0;
    return RUDA_Request(cla, ins, 0x00, 0x00, reinterpret_cast<const unsigned char*>(text),
                 static_cast<int>(std::strlen(text)), apdu, length);
}

int E0Request(uint8_t ins, uint8_t p1, const RudaBytes& inner, bool extended, unsigned char** apdu, int* length) {
    RudaBytes data;
    if (!RUDA_AppendElement(data, 0xE0, inner.data(), static_cast<int>(inner.size()))) return 0;
    if (extended) return RUDA_RequestExtended(0xDD, ins, p1, 0x00, data, apdu, length);
    return RUDA_Request(0xDD, ins, p1, 0x00, data.data(), static_cast<int>(data.size()), apdu, length);
}

bool EvenHex(const char* text) {
    const size_t n = std::strlen(text);
    if (n % 2 != 0) return false;
    for (size_t i = 0; i < n; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

int BuildSecurityCommand(const char* hex, const char* text, unsigned char** apdu, int* length) {
    if (hex == nullptr || text == nullptr) return 0;
    // The bytes are the digits read in pairs: a text that is not pairs of
    // hexadecimal digits is refused rather than guessed at.
    RudaBytes bytes;
    if (!EvenHex(hex) || !RUDA_HexToBytes(hex, static_cast<int>(std::strlen(hex)), bytes)) {
        WSysError("-- ERROR -- RUDA_SetCommand C422 : donnees hexadecimales incorrectes (%d caracteres)",
                  static_cast<int>(std::strlen(hex)));
        return -1;
    }
    RudaBytes inner, data;
    if (!RUDA_AppendElement(inner, 0xDFEC23, bytes.data(), static_cast<int>(bytes.size())) ||
        !RUDA_AppendElement(inner, 0xDFEC0E, reinterpret_cast<const unsigned char*>(text),
                            static_cast<int>(std::strlen(text))) ||
        !RUDA_AppendElement(data, 0xE0, inner.data(), static_cast<int>(inner.size())))
        return 0;
    return RUDA_Request(0xC4, 0x22, 0x00, 0x00, data.data(), static_cast<int>(data.size()), apdu, length);
}

int BuildAuthenticate(int flag, const AuthRecord* a, int p1, unsigned char** apdu, int* length) {
    if (a == nullptr) return 0;
    RudaBytes inner;
    if (!RUDA_AppendElement(inner, 0xDF831A, a->sent831A, sizeof a->sent831A) ||
        !RUDA_AppendElement(inner, 0xDF8313, a->sent8313, sizeof a->sent8313))
        return 0;
    if (flag != 0) {
        if (a->certificate == nullptr || a->certificateLength <= 0) return 0;
        if (!RUDA_AppendElement(inner, 0xDF8312, a->sent8312, sizeof a->sent8312) ||
            !RUDA_AppendElement(inner, 0xDF8311, a->certificate, a->certificateLength))
            return 0;
    }
    return E0Request(0x21, static_cast<uint8_t>(p1), inner, true, apdu, length);
}

void Sw(int sw, const char* what) { WSysError("-- ERROR -- Reponse %s : SW1-SW2 : %02X%02X", what, sw >> 8, sw & 0xFF); }

int SwOnly(const unsigned char* answer, int length, const char* what) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9000) return PV_ALL_FINE;
    Sw(sw, what);
    return PV_CMD_INTERNAL;
}

// The value of an element of at most `room` bytes: 1 read, 0 absent, -1
// too long.
int Value(const TlvNode& in, unsigned int tag, int room, TlvNode* out) {
    if (!RUDA_FindElement(in, tag, out)) return 0;
    return out->lg <= room ? 1 : -1;
}

int FileInfo(const unsigned char* answer, int length, uint32_t* size, uint8_t* second, int32_t* found) {
    if (size != nullptr) *size = 0;
    if (second != nullptr) std::memset(second, 0, kSecondValueMax);
    if (found != nullptr) *found = 0;
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9F13) return PV_ALL_FINE;
    if (sw != 0x9000) return PV_CMD_INTERNAL;
    if (found != nullptr) *found = 1;
    TlvNode t, v;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0x6F, &t)) return PV_ALL_FINE;
    uint32_t n = 0;
    const int r = RUDA_ElementNumber(t, 0x80, &n);
    if (r < 0) return PV_CMD_INTERNAL;
    if (r > 0 && size != nullptr) *size = n;
    const int s = Value(t, 0x88, kSecondValueMax, &v);
    if (s < 0) return PV_CMD_INTERNAL;
    if (s > 0 && second != nullptr) std::memcpy(second, v.value, static_cast<size_t>(v.lg));
    return PV_ALL_FINE;
}

int FileName(const unsigned char* answer, int length, char* buffer) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) return sw == 0x9F13 ? PV_ALL_FINE : PV_CMD_INTERNAL;
    if (buffer == nullptr) return PV_ALL_FINE;
    std::memset(buffer, 0, kFileNameData + 1);
    TlvNode t, v;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0x6F, &t)) return PV_ALL_FINE;
    const int r = Value(t, 0x84, kFileNameData, &v);
    if (r < 0 || (r > 0 && v.value[0] == 0)) return PV_CMD_INTERNAL;
    if (r > 0) std::memcpy(buffer, v.value, static_cast<size_t>(v.lg));
    return PV_ALL_FINE;
}

int GetData(const unsigned char* answer, int length, unsigned char* buffer, int32_t* size) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        Sw(sw, "Get Data");
        return PV_CMD_INTERNAL;
    }
    if (buffer == nullptr || size == nullptr) return PV_ALL_FINE;
    const int n = length - 2;
    if (n > *size) {
        WSysError("-- ERROR -- Longueur des donnees plus grande que le buffer de reception %d < %d", *size, n);
        return PV_ALL_FINE;
    }
    if (n > 0) std::memcpy(buffer, answer, static_cast<size_t>(n));
    *size = n;
    return PV_ALL_FINE;
}

int SecurityConfig(const unsigned char* answer, int length, uint8_t* record) {
    if (RUDA_GetSw(answer, length) != 0x9000) return PV_CMD_INTERNAL;
    TlvNode e0, v;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealSecurityConfigAnswer Missing tag E0");
        return PV_CMD_INTERNAL;
    }
    if (record == nullptr) return PV_ALL_FINE;
    if (RUDA_FindElement(e0, 0xDF837E, &v) && v.lg == 3)
        std::memcpy(record, v.value, 3);
    else
        std::memset(record, 0, 3);
    return PV_ALL_FINE;
}

int GenerateRsaKey(const unsigned char* answer, int length, unsigned char* buffer, int capacity, int32_t* copied) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        Sw(sw, "GenerateRSAkey");
        return PV_CMD_INTERNAL;
    }
    TlvNode e0, v;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealRUDA_GenerateRSAkey_Answer Missing tag E0");
        return PV_CMD_INTERNAL;
    }
    // The caller's buffer bounds the key as much as the key's own limit.
    if (buffer == nullptr || Value(e0, 0xDF831B, std::min(kRsaKeyMax, capacity), &v) != 1)
        return PV_CMD_INTERNAL;
    std::memcpy(buffer, v.value, static_cast<size_t>(v.lg));
    if (copied != nullptr) *copied = v.lg;
    return PV_ALL_FINE;
}

int Authenticate(const unsigned char* answer, int length, AuthAnswer* out) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x6D00) return PV_CMD_UNKNOWN;
    if (sw != 0x9000) return PV_CMD_INTERNAL;
    TlvNode e0, v;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0xE0, &e0)) {
        WSysError("** INFO. ** RUDA_DealRUDA_Authenticate_Answer Missing tag E0");
        return PV_CMD_INTERNAL;
    }
    if (out == nullptr || out->record == nullptr) return PV_CMD_INTERNAL;
    AuthRecord* a = out->record;
    const auto take = [&](unsigned int tag, int room, uint8_t* field) {
        if (Value(e0, tag, room, &v) != 1) return false;
        std::memcpy(field, v.value, static_cast<size_t>(v.lg));
        return true;
    };
    const auto block = [&]() {
        if (out->buffer == nullptr || Value(e0, 0xDF8314, kAuthBlock, &v) != 1) return false;
        std::memcpy(out->buffer, v.value, static_cast<size_t>(v.lg));
        if (out->length != nullptr) *out->length = v.lg;
        return true;
    };
    if (out->mode != 0) {
        if (!take(0xDF8311, kAuthCertificateMax, a->received8311) || !take(0xDF831D, 8, a->received831D) ||
            !take(0xDF8315, kAuthBlock, a->received8315) || !block())
            return PV_CMD_INTERNAL;
        return PV_ALL_FINE;
    }
    take(0xDF8311, kAuthCertificateMax, a->received8311);
    return block() ? PV_ALL_FINE : PV_CMD_INTERNAL;
}

int AuthenticateVerify(const unsigned char* answer, int length) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        Sw(sw, "AuthenticateVerify");
        return sw == 0x6D00 ? PV_CMD_UNKNOWN : PV_CMD_INTERNAL;
    }
    if (length > 2) {
        WSysError("-- ERROR -- Reponse AuthenticateVerify : reponse mal formatee (possible desynchro)");
        return PV_CMD_INTERNAL;
    }
    return PV_ALL_FINE;
}

int SecurityCommand(const unsigned char* answer, int length, char* buffer, int32_t* copied, int capacity) {
    if (RUDA_GetSw(answer, length) != 0x9000) return PV_CMD_INTERNAL;
    TlvNode v;
    if (buffer == nullptr || capacity <= 0 || !RUDA_FindElement(RUDA_AnswerData(answer, length), 0xDFEC7B, &v) ||
        v.lg + 1 > capacity)
        return PV_CMD_INTERNAL;
    static const unsigned char kEmpty[] = {0x7F, 0x32, 0x98};
    const int n = v.lg == 3 && std::memcmp(v.value, kEmpty, 3) == 0 ? 0 : v.lg;
    std::memcpy(buffer, v.value, static_cast<size_t>(n));
    buffer[n] = '\0';
    if (copied != nullptr) *copied = n;
    return PV_ALL_FINE;
}

bool Valid(const KeySlot& k) {
    if (k.slot > kSlotMax) return false;
    for (uint8_t b : k.ksn)
        if (b != 0) return true;
    return false;
}

int AdeKeysFailed(KeySlot* first, int32_t* count) {
    KeySlotList_Free(first);
    *count = 0;
    return PV_CMD_INTERNAL;
}

}  // namespace

int RUDA_DealGetADEkeysAnswer(const unsigned char* answer, int length, KeySlot* first, int32_t* count,
                              int32_t* flag) {
    if (first == nullptr || count == nullptr) {
        WSysError("-- ERROR -- RUDA_DealSecurityConfigAnswer - nul argument");
        return PV_CMD_INTERNAL;
    }
    KeySlotList_Free(first);
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - Status 0x%02hx", static_cast<unsigned short>(sw));
        *count = 0;
        if (flag != nullptr && sw != 0x9F27) *flag = 1;
        return PV_CMD_INTERNAL;
    }
    *count = 0;
    TlvNode e0;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0xE0, &e0)) return PV_ALL_FINE;
    KeySlot* current = nullptr;
    bool counted = false;
    const unsigned char* at = e0.value;
    const unsigned char* end = e0.value + e0.lg;
    while (at < end) {
        TlvNode n;
        if (TLV_ParseElementEx(&n, at, static_cast<int>(end - at)) != 1 || n.end == nullptr || n.end <= at) break;
        at = n.end;
        if (n.tag == 0xDFEC46) {
            if (n.lg != 1) {
                WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - tag dfec46 : wrong data length %d (should be 1)",
                          n.lg);
                return AdeKeysFailed(first, count);
            }
            if (current != nullptr && !Valid(*current)) {
                WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - got a key index / slot number while previous one "
                          "is not filled yet !");
                return AdeKeysFailed(first, count);
            }
            if (current == nullptr) {
                current = first;
            } else {
                auto* next = static_cast<KeySlot*>(WAlloc(sizeof(KeySlot)));
                if (next == nullptr) return AdeKeysFailed(first, count);
                std::memset(next, 0, sizeof *next);
                current->next = next;
                current = next;
            }
            counted = false;
            current->slot = n.value[0];
            if (current->slot > kSlotMax) {
                WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - Invalid ADE key index %u", current->slot);
                return AdeKeysFailed(first, count);
            }
        } else if (n.tag == 0xDFDF11) {
            if (n.lg != kKsnLength) {
                WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - tag dfdf11 : wrong data length %d (should be %d)",
                          n.lg, kKsnLength);
                return AdeKeysFailed(first, count);
            }
            if (current == nullptr || current->slot > kSlotMax) {
                WSysError("-- ERROR -- RUDA_DealGetADEkeysAnswer - Got a KSN but no associated slot index !");
                return AdeKeysFailed(first, count);
            }
            std::memcpy(current->ksn, n.value, kKsnLength);
            if (Valid(*current) && !counted) {
                counted = true;
                char ksn[2 * kKsnLength + 1] = {};
                WBinToHex(ksn, current->ksn, kKsnLength);
                WSysLog("keys", static_cast<unsigned>(getpid()), WLOG_INFO, __FILE__, __func__, __LINE__,
                        "ADE key found in slot %d KSN [%s]", current->slot, ksn);
            }
        }
    }
    // The count is that of the valid records, each once.
    for (const KeySlot* k = first; k != nullptr; k = k->next)
        if (Valid(*k)) ++*count;
    return PV_ALL_FINE;
}

int RUDA_DealGetSredStatusAnswer(const unsigned char* answer, int length, SredStatus* status) {
    if (status == nullptr) {
        WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer - nul argument");
        return PV_CMD_INTERNAL;
    }
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9000) {
        status->whiteListStatus = 0;
        status->sredStatus = 0;
        std::memset(status->whiteListHash, 0, sizeof status->whiteListHash);
        status->state = '1';
        TlvNode e0;
        if (length < 3 || answer[0] != 0xE0 || TLV_ParseElementEx(&e0, answer, length - 2) != 1 || e0.tag != 0xE0) {
            WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer - Did not find tag E0");
            WSysLogHex("ruda", static_cast<unsigned>(getpid()), WLOG_DEBUG, __FILE__, __func__, __LINE__, answer,
                       static_cast<size_t>(std::max(length, 0)), "Resp sred status");
            return PV_CMD_INTERNAL;
        }
        const unsigned char* at = e0.value;
        const unsigned char* end = e0.value + e0.lg;
        while (at < end) {
            TlvNode n;
            if (TLV_ParseElementEx(&n, at, static_cast<int>(end - at)) != 1 || n.end == nullptr || n.end <= at) break;
            at = n.end;
            switch (n.tag) {
                case 0xDFDB08:
                    if (n.lg == 4) status->whiteListStatus = static_cast<int32_t>(TLV_GetUIntBE(n.value, 4));
                    else WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer / tag e0->dfdb08 (= white list status) "
                                   "is %u bytes long (should be 4)",
                                   static_cast<unsigned>(n.lg));
                    break;
                case 0xDFDB0E:
                    if (n.lg == 4) status->sredStatus = static_cast<int32_t>(TLV_GetUIntBE(n.value, 4));
                    else WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer - tag e0 -> dfdb0e (SRED status) is %u "
                                   "bytes long (should be 4)",
                                   static_cast<unsigned>(n.lg));
                    break;
                case 0xDFDB09:
                    if (n.lg == 32) std::memcpy(status->whiteListHash, n.value, 32);
                    else WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer / tag e0 -> dfdb09 (white list hash) "
                                   "is %u bytes long (should be %u)",
                                   static_cast<unsigned>(n.lg), 32u);
                    break;
                default:
                    WSysError("<< WARN. >> RUDA_DealGetSredStatusAnswer - Unknown tag 0x%x", n.tag);
                    break;
            }
        }
        return PV_ALL_FINE;
    }
    const unsigned raw = static_cast<unsigned>(std::max(length - 2, 0));
    if (sw == 0x9F50) {
        WSysError("** INFO. ** terminal : SRED tampered status 9f50 ; raw data length = %u", raw);
        status->state = '2';
    } else {
        WSysError("-- ERROR -- RUDA_DealGetSredStatusAnswer - Status 0x%02hx ; raw data length = %u",
                  static_cast<unsigned short>(sw), raw);
        status->state = '3';
    }
    TlvNode c4;
    if (raw > 3 && RUDA_FindElement(RUDA_AnswerData(answer, length), 0xC4, &c4)) {
        const std::string text(reinterpret_cast<const char*>(c4.value), static_cast<size_t>(c4.lg));
        WSysError("** INFO. ** SRED status request : RUDA message = <%s>", text.c_str());
    }
    return PV_CMD_INTERNAL;
}

int RUDA_DealCheckEncryption(const unsigned char* answer, int length, int32_t* flag) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9F55 || sw == 0x9F54 || sw == 0x9F53 || sw == 0x9F51) {
        if (flag != nullptr) *flag = 1;
        WSysError("** INFO. ** RUDA_DealCheckEncryption : Echange de cle requis");
    }
    return PV_ALL_FINE;
}

int RUDA_BuildDeviceRequest(int code, va_list args, unsigned char** apdu, int* length) {
    switch (code) {
        case 91: {
            const TermFileRecord* file = va_arg(args, const TermFileRecord*);
            return TextRequest(0xDF, 0xC0, file != nullptr ? file->name : nullptr, apdu, length);
        }
        case 92: {
            const char* name = va_arg(args, const char*);
            return TextRequest(0x00, va_arg(args, int) == 1 ? 0xC3 : 0xC4, name, apdu, length);
        }
        case 172: {
            const unsigned tag = static_cast<unsigned>(va_arg(args, int));
            const uint8_t* data = va_arg(args, const uint8_t*);
            const int n = va_arg(args, int);
            if (data == nullptr && n != 0) return 0;
            return RUDA_Request(0x00, 0xDA, static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag), data, n, apdu, length);
        }
        case 173: {
            const unsigned tag = static_cast<unsigned>(va_arg(args, int));
            return RUDA_Request(0x00, 0xCA, static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag), nullptr, 0, apdu,
                         length);
        }
        case 174:
            return RUDA_Request(0xD0, 0x62, 0x00, 0x00, nullptr, 0, apdu, length);
        case 176: {
            const TermFileRecord* text = va_arg(args, const TermFileRecord*);
            return TextRequest(0xDD, 0x10, text != nullptr ? text->name : nullptr, apdu, length);
        }
        case 96:
        case 97: {
            const char* text = va_arg(args, const char*);
            if (text == nullptr) return 0;
            const size_t n = strnlen(text, 5);
            const uint8_t first = n > 0 ? static_cast<uint8_t>(text[0]) : 0;
            const uint8_t fifth = n > 4 ? static_cast<uint8_t>(text[4]) : 0;
            return code == 96 ? RUDA_Request(0xC4, 0x11, first, fifth, nullptr, 0, apdu, length)
                              : RUDA_Request(0xC4, 0x11, 0x00, first, nullptr, 0, apdu, length);
        }
        case 190:
            return RUDA_Request(0xDD, 0x20, 0x07, 0x00, nullptr, 0, apdu, length);
        case 191: {
            unsigned char value[2];
            TLV_PutU16BE(value, static_cast<uint16_t>(va_arg(args, int)));
            RudaBytes inner;
            if (!RUDA_AppendElement(inner, 0xDF831C, value, 2)) return 0;
            return E0Request(0x23, 0x00, inner, false, apdu, length);
        }
        case 192: {
            const int flag = va_arg(args, int);
            const AuthRecord* record = va_arg(args, const AuthRecord*);
            return BuildAuthenticate(flag, record, va_arg(args, int), apdu, length);
        }
        case 196: {
            const int p1 = va_arg(args, int);
            const uint8_t* a = va_arg(args, const uint8_t*);
            const uint8_t* b = va_arg(args, const uint8_t*);
            if (a == nullptr || b == nullptr) return 0;
            RudaBytes inner;
            if (!RUDA_AppendElement(inner, 0xDF8314, a, kAuthBlock) || !RUDA_AppendElement(inner, 0xDF8315, b, kAuthBlock))
                return 0;
            return E0Request(0x22, static_cast<uint8_t>(p1), inner, true, apdu, length);
        }
        case 197:
            return RUDA_Request(0xDD, 0x10, 0x01, 0x00, nullptr, 0, apdu, length);
        case 186: {
            const char* hex = va_arg(args, const char*);
            return BuildSecurityCommand(hex, va_arg(args, const char*), apdu, length);
        }
        default:
            return 0;
    }
}

int RUDA_DealDeviceAnswer(int code, const unsigned char* answer, int length, va_list args) {
    switch (code) {
        case 91: {
            uint32_t* size = va_arg(args, uint32_t*);
            uint8_t* second = va_arg(args, uint8_t*);
            return FileInfo(answer, length, size, second, va_arg(args, int32_t*));
        }
        case 92:
            return FileName(answer, length, va_arg(args, char*));
        case 172:
            return SwOnly(answer, length, "Put Data");
        case 173: {
            unsigned char* buffer = va_arg(args, unsigned char*);
            return GetData(answer, length, buffer, va_arg(args, int32_t*));
        }
        case 174:
            return PV_ALL_FINE;
        case 176:
            return SwOnly(answer, length, "SetDateTime file");
        case 96:
            return SecurityConfig(answer, length, va_arg(args, uint8_t*));
        case 97: {
            KeySlot* first = va_arg(args, KeySlot*);
            int32_t* count = va_arg(args, int32_t*);
            return RUDA_DealGetADEkeysAnswer(answer, length, first, count, va_arg(args, int32_t*));
        }
        case 190:
            return RUDA_DealGetSredStatusAnswer(answer, length, va_arg(args, SredStatus*));
        case 191: {
            unsigned char* buffer = va_arg(args, unsigned char*);
            const int capacity = va_arg(args, int);
            return GenerateRsaKey(answer, length, buffer, capacity, va_arg(args, int32_t*));
        }
        case 192:
            return Authenticate(answer, length, va_arg(args, AuthAnswer*));
        case 196:
            return AuthenticateVerify(answer, length);
        case 197:
            return RUDA_DealCheckEncryption(answer, length, va_arg(args, int32_t*));
        case 186: {
            char* buffer = va_arg(args, char*);
            int32_t* copied = va_arg(args, int32_t*);
            return SecurityCommand(answer, length, buffer, copied, va_arg(args, int));
        }
        default:
            return PV_CMD_INTERNAL;
    }
}
