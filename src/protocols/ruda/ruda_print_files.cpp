// RUDA printing, terminal files and logs.
#include "protocols/ruda/ruda_print_files.h"

#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_answer.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_extract.h"
#include "protocols/term_files.h"
#include "protocols/term_print.h"

namespace {

// Largest "second|name" text of 155, separator and terminator included.
constexpr size_t kFileCommandMax = 512;
constexpr int kSecondValueMax = 8;

const unsigned char* Text(const char* text) { return reinterpret_cast<const unsigned char*>(text); }

int BuildPrint(const TermPrintRecord* record, unsigned char** apdu, int* length) {
    WSysError("** INFO. ** RUDA_SetCommandPrint() : Mise en place de la commande");
    if (record == nullptr) return 0;
    const unsigned char* text = record->bytes;
    int n = record->length;
    if (record->kind == PRINT_KIND_CUT) {
        text = Text("\n\n");
        n = 2;
    }
    if (text == nullptr || n < 0) return 0;
    // One length byte carries the text: a longer one would print a wrong
    // count of bytes, so it is refused.
    if (n > kRudaShortDataMax) {
        WSysError("-- ERROR -- RUDA_SetCommandPrint() : texte de %d octets, %d au plus par commande", n,
                  kRudaShortDataMax);
        return -1;
    }
    static const unsigned char kLe = 0x00;
    return RUDA_BuildApdu(0xD2, 0xA1, 0x00, 0x00, text, n, &kLe, 0, apdu, length) == RUDA_APDU_BUILT ? 1 : 0;
}

int BuildImage(const char* name, const char* what, unsigned char** apdu, int* length) {
    WSysError("** INFO. ** RUDA_SetCommand%s() : Mise en place de la commande", what);
    RudaBytes data;
    if (name == nullptr || RUDA_AddFileName(data, name) != 0) return 0;
    return RUDA_Request(0xD2, 0xA2, 0x00, 0x00, data.data(), static_cast<int>(data.size()), apdu, length);
}

int BuildWrite(const TermWriteRecord* w, unsigned char** apdu, int* length) {
    if (w == nullptr || w->data == nullptr || w->length <= 0 || w->length >= kRudaExtendedDataMax) return 0;
    RudaBytes data;
    data.reserve(static_cast<size_t>(w->length) + 1);
    data.push_back(static_cast<uint8_t>(w->offset));
    data.insert(data.end(), w->data, w->data + w->length);
    return RUDA_RequestExtended(0x00, 0xD6, static_cast<uint8_t>(0x80 | ((w->offset >> 16) & 0xFF)),
                    static_cast<uint8_t>(w->offset >> 8), data, apdu, length);
}

int BuildFileCommand(const TermFileRecord* file, const char* second, unsigned char** apdu, int* length) {
    if (file == nullptr || file->name == nullptr) return 0;
    std::string data;
    uint8_t p1 = 3;
    if (second != nullptr && second[0] != '\0') {
        data = std::string(second) + '|' + file->name;
        if (data.size() + 1 > kFileCommandMax) return 0;
        p1 = 2;
    } else {
        data = file->name;
    }
    // Up to 511 bytes: the extended form carries what one length byte cannot.
    return RUDA_RequestExtended(0x00, 0xAA, p1, 0x00, RudaBytes(data.begin(), data.end()), apdu, length);
}

int BuildStream(const TermStreamRecord* s, unsigned char** apdu, int* length) {
    if (s == nullptr || s->name == nullptr || s->size == nullptr) return 0;
    RudaBytes inner;
    unsigned char size[4];
    TLV_PutU32BE(size, *s->size);
    if (!RUDA_AppendElement(inner, 0x84, Text(s->name), static_cast<int>(std::strlen(s->name))) ||
        !RUDA_AppendElement(inner, 0x80, size, 4))
        return 0;
    RudaBytes data;
    if (!RUDA_AppendElement(data, 0x6F, inner.data(), static_cast<int>(inner.size()))) return 0;
    return RUDA_RequestExtended(0x00, 0xA5, s->selector == 1 ? 4 : 5, 0x00, data, apdu, length);
}

int BuildStreamData(const uint8_t* bytes, int n, unsigned char** apdu, int* length) {
    if (bytes == nullptr || n <= 0 || n > kRudaExtendedDataMax) return 0;
    auto* out = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(n) + 2));
    if (out == nullptr) return 0;
    out[0] = 0x00;
    out[1] = 0xFF;
    std::memcpy(out + 2, bytes, static_cast<size_t>(n));
    *apdu = out;
    *length = n + 2;
    return 1;
}

int BuildFastReading(const uint32_t* size, const uint32_t* offset, unsigned char** apdu, int* length) {
    if (size == nullptr || offset == nullptr) {
        WSysError("-- ERROR -- RUDA_SetCommandFastReading() : taille du fichier ou offset non recupere");
        return 0;
    }
    WSysError("** INFO. ** RUDA_SetCommandFastReading() : Mise en place de la commande");
    unsigned char a[4], b[4];
    TLV_PutU32BE(a, *size);
    TLV_PutU32BE(b, *offset);
    RudaBytes inner, data;
    if (!RUDA_AppendElement(inner, 0xDFDE7C, a, 4) || !RUDA_AppendElement(inner, 0xDFDE7D, b, 4) ||
        !RUDA_AppendElement(data, 0xE0, inner.data(), static_cast<int>(inner.size())))
        return 0;
    return RUDA_Request(0x00, 0xB1, 0x00, 0x00, data.data(), static_cast<int>(data.size()), apdu, length);
}

// ---- Answers ----

int PrintAnswer(const unsigned char* answer, int length) {
    if (RUDA_GetSw(answer, length) == 0x9000) {
        WSysError("** INFO. ** Impression correctement realisee");
        return PV_ALL_FINE;
    }
    const int first = length > 0 ? answer[0] : 0;
    if (first == 0x8C) {
        WSysError("-- ERROR -- Impression echouee (plus de papier...)");
        return PV_CMD_INTERNAL;
    }
    if (first == 0x02) {
        WSysError("** INFO. ** Mecanisme non reconnu (on n'a pas d'imprimante)");
        return PV_ALL_FINE;
    }
    WSysError("-- ERROR -- Impression echouee pour une raison inconnue %x", first);
    return PV_CMD_INTERNAL;
}

int PrinterStatus(const unsigned char* answer, int length) {
    TlvNode state;
    if (!RUDA_FindElement(RUDA_AnswerData(answer, length), 0xDF31, &state)) return PV_CMD_UNKNOWN;
    return RUDA_LogPrintResult(state.value, state.lg, false);
}

// The 6F template of an answer (false without one).
bool FileTemplate(const unsigned char* answer, int length, TlvNode* t) {
    return RUDA_FindElement(RUDA_AnswerData(answer, length), 0x6F, t);
}

int SelectFile(const unsigned char* answer, int length, int32_t* size) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse Select file : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
        return PV_CMD_INTERNAL;
    }
    if (size == nullptr) return PV_ALL_FINE;
    TlvNode t;
    if (!FileTemplate(answer, length, &t)) return PV_ALL_FINE;
    uint32_t n = 0;
    const int r = RUDA_ElementNumber(t, 0x80, &n);
    if (r < 0) return PV_CMD_INTERNAL;
    if (r > 0) *size = static_cast<int32_t>(n);
    return PV_ALL_FINE;
}

int SwAnswer(const unsigned char* answer, int length, const char* what) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9000) return PV_ALL_FINE;
    if (what != nullptr) WSysError("-- ERROR -- Reponse %s : SW1-SW2 : %02X%02X", what, sw >> 8, sw & 0xFF);
    return PV_CMD_INTERNAL;
}

int StreamUpload(const unsigned char* answer, int length) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw == 0x9000) return PV_ALL_FINE;
    if (sw == 0x6D00) return PV_CMD_ACCES;
    if (sw == 0x9F13) {
        WSysError("@@ DEBUG @@ 9F13 on continue");
        return PV_ALL_FINE;
    }
    WSysError("-- ERROR -- Reponse StreamUpload : SW1-SW2 : %02X%02X", sw >> 8, sw & 0xFF);
    return PV_CMD_INTERNAL;
}

int StreamData(const unsigned char* answer, int length, uint32_t* first, uint8_t* second) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000 && sw != 0x9F13) return PV_CMD_INTERNAL;
    if (first == nullptr) return PV_ALL_FINE;
    *first = 0;
    if (second != nullptr) std::memset(second, 0, kSecondValueMax);
    TlvNode t;
    if (!FileTemplate(answer, length, &t)) return PV_ALL_FINE;
    if (RUDA_ElementNumber(t, 0x80, first) < 0) return PV_CMD_INTERNAL;
    TlvNode value;
    if (RUDA_FindElement(t, 0x88, &value)) {
        if (value.lg > kSecondValueMax) return PV_CMD_INTERNAL;
        if (second != nullptr) std::memcpy(second, value.value, static_cast<size_t>(value.lg));
    }
    return PV_ALL_FINE;
}

int DumpLogs(const unsigned char* answer, int length, uint32_t* size, char* name) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse Dump Logs : SW1-SW2 : %X%X", sw >> 8, sw & 0xFF);
        return PV_CMD_INTERNAL;
    }
    if (size == nullptr || name == nullptr) return PV_CMD_INTERNAL;
    TlvNode t;
    if (!FileTemplate(answer, length, &t)) return PV_CMD_INTERNAL;
    if (RUDA_ElementNumber(t, 0x80, size) != 1) {
        WSysError("-- ERROR -- Reponse Dump Logs : Erreur Extraction longueur du fichier");
        return PV_PROTO_ERROR;
    }
    TlvNode file;
    if (!RUDA_FindElement(t, 0x84, &file) || file.lg > kTermDumpNameMax) {
        WSysError("-- ERROR -- Reponse Dump Logs : Erreur Extraction nom du fichier");
        return PV_CMD_INTERNAL;
    }
    RUDA_CopyText(name, kTermDumpNameMax, file.value, file.lg);
    return PV_ALL_FINE;
}

int FastReading(const unsigned char* answer, int length, unsigned char* buffer, int capacity, int* copied) {
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- Reponse Fast Reading : SW1-SW2 : %X%X", sw >> 8, sw & 0xFF);
        return PV_CMD_INTERNAL;
    }
    if (copied != nullptr) *copied = 0;
    if (buffer == nullptr) return PV_ALL_FINE;
    const int n = length - 2;
    // The caller's buffer bounds the copy: a longer answer is not copied.
    if (n > capacity) {
        WSysError("-- ERROR -- Reponse Fast Reading : %d octets pour un tampon de %d", n, capacity);
        return PV_CMD_INTERNAL;
    }
    if (n > 0) std::memcpy(buffer, answer, static_cast<size_t>(n));
    if (copied != nullptr) *copied = n;
    return PV_ALL_FINE;
}

}  // namespace

int RUDA_BuildPrintFileRequest(int code, va_list args, unsigned char** apdu, int* length) {
    switch (code) {
        case 13:
            return BuildPrint(va_arg(args, const TermPrintRecord*), apdu, length);
        case 15:
            return RUDA_Request(0xD2, 0xA4, 0x00, 0x00, nullptr, 0, apdu, length);
        case 16: {
            const TermPrintRecord* record = va_arg(args, const TermPrintRecord*);
            const char* name = record != nullptr ? reinterpret_cast<const char*>(record->bytes) : nullptr;
            if (record == nullptr) return 0;
            return BuildImage(name, "PrintLogo", apdu, length);
        }
        case 120:
            return BuildImage("TICKETS.BMP", "PrintBitmap", apdu, length);
        case 151:
            WSysError("** INFO. ** RUDA_SetCommandDisconnect() : Mise en place de la commande");
            return RUDA_Request(0xD0, 0x03, 0x00, 0x00, nullptr, 0, apdu, length);
        case 153: {
            const TermFileRecord* file = va_arg(args, const TermFileRecord*);
            if (file == nullptr || file->name == nullptr) return 0;
            const uint8_t p1 = file->p1 != nullptr ? *file->p1 : 5;
            return RUDA_Request(0xDF, 0xA4, p1, 0x00, Text(file->name), static_cast<int>(std::strlen(file->name)), apdu,
                         length);
        }
        case 154:
            return BuildWrite(va_arg(args, const TermWriteRecord*), apdu, length);
        case 155: {
            const TermFileRecord* file = va_arg(args, const TermFileRecord*);
            return BuildFileCommand(file, va_arg(args, const char*), apdu, length);
        }
        case 156: {
            const TermFileRecord* file = va_arg(args, const TermFileRecord*);
            if (file == nullptr || file->name == nullptr) return 0;
            return RUDA_Request(0x00, 0xAB, 0x00, 0x00, Text(file->name), static_cast<int>(std::strlen(file->name)), apdu,
                         length);
        }
        case 157:
            return BuildStream(va_arg(args, const TermStreamRecord*), apdu, length);
        case 158: {
            const uint8_t* bytes = va_arg(args, const uint8_t*);
            return BuildStreamData(bytes, va_arg(args, int), apdu, length);
        }
        case 193: {
            const uint8_t* selector = va_arg(args, const uint8_t*);
            WSysError("** INFO. ** RUDA_SetCommandDumpLogs() : Mise en place de la commande");
            if (selector == nullptr) return 0;
            return RUDA_Request(0xD0, 0x05, 0x01, *selector, nullptr, 0, apdu, length);
        }
        case 194: {
            const uint32_t* size = va_arg(args, const uint32_t*);
            return BuildFastReading(size, va_arg(args, const uint32_t*), apdu, length);
        }
        default:
            return 0;
    }
}

int RUDA_DealPrintFileAnswer(int code, const unsigned char* answer, int length, va_list args) {
    switch (code) {
        case 13:
        case 16:
        case 120:
            return PrintAnswer(answer, length);
        case 15:
            return PrinterStatus(answer, length);
        case 153:
            return SelectFile(answer, length, va_arg(args, int32_t*));
        case 154:
            return SwAnswer(answer, length, "update binary");
        case 155:
        case 156:
            return SwAnswer(answer, length, nullptr);
        case 157:
            return StreamUpload(answer, length);
        case 158: {
            uint32_t* first = va_arg(args, uint32_t*);
            return StreamData(answer, length, first, va_arg(args, uint8_t*));
        }
        case 193: {
            uint32_t* size = va_arg(args, uint32_t*);
            return DumpLogs(answer, length, size, va_arg(args, char*));
        }
        case 194: {
            unsigned char* buffer = va_arg(args, unsigned char*);
            const int capacity = va_arg(args, int);
            return FastReading(answer, length, buffer, capacity, va_arg(args, int*));
        }
        default:
            // 151 has no decoder.
            return PV_CMD_INTERNAL;
    }
}
