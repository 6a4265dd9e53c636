// Protocol-11 command module: requests and answers of the R7700 terminal.
#include "protocols/p21/r7700_module.h"

#include <cstdio>
#include <cstring>

#include "core/trace.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_control.h"

namespace {

constexpr unsigned char kStx = 0x02;
// Header (command, FF, identifier, status), length digits and the largest
// data area.
constexpr int kRequestRoom = 15 + R7700_AREA;

unsigned char g_request[kRequestRoom];
unsigned char g_answer[PAP_MODULE_ANSWER_BUFFER];

// Offsets of the answer area read by the event request.
constexpr int kAmountAt = 0;    // 12 hexadecimal digits
constexpr int kTypeAt = 12;     // 2 characters
constexpr int kDateAt = 14;     // YYMMDD, hexadecimal digits
constexpr int kTimeAt = 20;     // HHMMSS, hexadecimal digits
constexpr int kIdentAt = 26;    // two identification bytes, then one byte

class Writer {
public:
    explicit Writer(unsigned char* out) : out_(out) {}
    void bytes(const void* p, int n) {
        std::memcpy(out_ + n_, p, static_cast<size_t>(n));
        n_ += n;
    }
    void text(const char* s) { bytes(s, static_cast<int>(std::strlen(s))); }
    void byte(unsigned char c) { out_[n_++] = c; }
    void list(std::initializer_list<unsigned char> l) {
        for (unsigned char c : l) byte(c);
    }
    // Command, FF, the record's identifier and two status characters.
    void head(const char* command, const R7700Record& r, char s0, char s1) {
        text(command);
        byte(0xFF);
        bytes(r.identifier, sizeof r.identifier);
        byte(static_cast<unsigned char>(s0));
        byte(static_cast<unsigned char>(s1));
    }
    void digits3(int value) {
        char d[8];
        std::snprintf(d, sizeof d, "%03d", value);
        bytes(d, 3);
    }
    int length() const { return n_; }

private:
    unsigned char* out_;
    int n_ = 0;
};

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// count bytes from 2 x count hexadecimal digits; false at the first that
// is not one.
bool FromHex(const uint8_t* digits, int count, unsigned char* out) {
    for (int i = 0; i < count; ++i) {
        const int high = HexValue(digits[2 * i]);
        const int low = HexValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

bool DataLengthFits(const R7700Record& r) { return r.dataLength >= 0 && r.dataLength <= R7700_AREA; }

int EventRequest(const R7700Record& r, Writer& w) {
    unsigned char amount[6], date[3], time[3];
    const uint8_t* area = r.answer.bytes;
    if (!FromHex(area + kAmountAt, 6, amount) || !FromHex(area + kDateAt, 3, date) ||
        !FromHex(area + kTimeAt, 3, time)) {
        WSysError("-- ERROR -- R7700_SetCommand : montant, date ou heure non hexadecimal, requete EFT refusee");
        return -1;
    }
    // The first character x 16 plus the second less '0', modulo 256.
    const auto type = static_cast<unsigned char>(area[kTypeAt] * 16 + area[kTypeAt + 1] - '0');
    w.text("EFT");
    w.byte(0xFF);
    w.text("000");
    w.bytes(area + kIdentAt, 3);
    w.text("00");
    w.text("028");
    w.list({0xF0, 0x46, 0x05, 0x00, 0x00});
    w.list({0x9F, 0x21, 0x03});
    w.bytes(time, 3);
    w.list({0x9C, 0x01, type});
    w.list({0x9F, 0x02, 0x06});
    w.bytes(amount, 6);
    w.list({0x9A, 0x03});
    w.bytes(date, 3);
    return w.length();
}

int InfoRequest(const R7700Record& r, Writer& w) {
    switch (r.mode) {
        case 0:
            w.head("DAR", r, '0', '0');
            w.text("031");
            w.bytes(r.systemData, sizeof r.systemData);
            w.list({0xF0, 0x46, 0x05, 0x00, 0x00});
            w.text("201010S");
            w.list({0x00, 0x04});
            w.text("110");
            return w.length();
        case 1:
            w.head("SYS", r, '0', '0');
            w.text("010");
            w.text("SALVETRO5");
            w.byte(0x01);
            return w.length();
        default:
            // No command: FF, the identifier and "00".
            w.byte(0xFF);
            w.bytes(r.identifier, sizeof r.identifier);
            w.text("00");
            return w.length();
    }
}

int InfoExtRequest(const R7700Record& r, Writer& w) {
    if (!DataLengthFits(r)) {
        WSysError("-- ERROR -- R7700_SetCommand : longueur de donnees refusee (%d, max. %d)", r.dataLength, R7700_AREA);
        return -1;
    }
    switch (r.mode) {
        case 1: return 0;  // an empty message
        case 0: w.head("ACK", r, '0', '0'); return w.length();
        case 2: w.head("ACK", r, '0', static_cast<char>(r.statusChar)); break;
        case 3: w.head("ACK", r, '0', '0'); break;
        default: w.head("ACK", r, static_cast<char>(r.mode & 0xFF), '0'); return w.length();
    }
    if (r.dataLength != 0) {
        w.digits3(r.dataLength);
        w.bytes(r.data, r.dataLength);
    }
    return w.length();
}

R7700Record* RecordArgument(va_list args) { return va_arg(args, R7700Record*); }

}  // namespace

int R7700_BuildRequest(uint32_t operation, R7700Record* record, unsigned char* out) {
    if (record == nullptr || out == nullptr) return -1;
    Writer w(out);
    const R7700Record& r = *record;
    switch (operation) {
        case O_T_DISPLAY: {
            const auto displayMode = static_cast<unsigned char>(r.mode & 0xFF);
            w.head("DEV", r, '0', '0');
            if (displayMode != 0) {
                w.text("005");
                w.list({'2', 'D', displayMode, 0x00, 0x00});
            } else {
                w.text("002");
                w.list({'1', 'P'});
            }
            return w.length();
        }
        case O_T_EVENT: return EventRequest(r, w);
        case O_T_INFO: return InfoRequest(r, w);
        case O_T_FILE_INFO: w.head("END", r, '0', '0'); return w.length();
        case O_T_FILE_NAME:
            if (!DataLengthFits(r)) {
                WSysError("-- ERROR -- R7700_SetCommand : longueur de donnees refusee (%d, max. %d)", r.dataLength,
                          R7700_AREA);
                return -1;
            }
            w.bytes(r.data, r.dataLength);
            return w.length();
        case O_T_INFO_EXT: return InfoExtRequest(r, w);
        case O_T_FILES_VERSION:
            w.head("TLV", r, '0', '0');
            w.text("014");
            w.list({0x84, 0x9F, 0x12, 0x50, 0x5F, 0x34, 0x9F, 0x07, 0x9F, 0x0D, 0x9F, 0x0E, 0x9F, 0x0F});
            return w.length();
        default: return -1;
    }
}

int R7700_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args) {
    if (box == nullptr || resource == nullptr) return -2;
    const auto operation = static_cast<uint32_t>(resource->command);
    switch (operation) {
        case O_T_DISPLAY:
        case O_T_EVENT:
        case O_T_INFO:
        case O_T_FILE_INFO:
        case O_T_FILE_NAME:
        case O_T_INFO_EXT:
        case O_T_FILES_VERSION: break;
        default: return -1;
    }
    R7700Record* record = RecordArgument(args);
    if (record == nullptr) return -1;
    std::memset(g_request, 0, sizeof g_request);
    const int length = R7700_BuildRequest(operation, record, g_request);
    if (length < 0) return -1;
    record->state = 0;
    const int frame = PAP_WriteCommandFrame(commandBuffer, g_request, length);
    std::memset(g_request, 0, sizeof g_request);
    return frame;
}

int R7700_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, g_answer, &length) != PV_ALL_FINE) {
        WSysError("-- ERROR -- R7700_GetOneResult : reponse illisible (%d octets annonces)", length);
        return PV_CMD_INTERNAL;
    }
    switch (static_cast<uint32_t>(resource->command)) {
        case O_T_DIALOGUE:
        case O_T_OPEN_DISPLAY:
        case O_T_SELECT:
        case O_T_WDATA:
        case O_T_INFO: return PV_ALL_FINE;
        case O_T_DISPLAY:
        case O_T_EVENT:
        case O_T_INFO_EXT:
        case O_T_FILES_VERSION: return R7700_DealAnswer(g_answer, length, RecordArgument(args));
        case O_T_FILE_NAME: return R7700_DealRawAnswer(g_answer, length, RecordArgument(args));
        default: return PV_CMD_UNKNOWN;
    }
}

int R7700_DealAnswer(const unsigned char* payload, int length, R7700Record* record) {
    if (record == nullptr || payload == nullptr || length < 0) return 1;
    const int n = length < R7700_AREA ? length : R7700_AREA;
    record->mode = 0;
    std::memcpy(record->answer.bytes, payload, static_cast<size_t>(n));
    record->answer.length = n;
    return 0;
}

int R7700_DealRawAnswer(const unsigned char* payload, int length, R7700Record* record) {
    if (record == nullptr || payload == nullptr || length < 0) return 1;
    const int n = length < R7700_AREA ? length : R7700_AREA;
    std::memset(record->data, 0, sizeof record->data);
    std::memcpy(record->data, payload, static_cast<size_t>(n));
    // The state and the word after it (the identifier's first four bytes).
    record->state = 0;
    std::memset(record->identifier, 0, 4);
    return 0;
}

int R7700_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event) {
    if (box == nullptr || resource == nullptr) return 1;
    if (XPRO_NetworkEvent(resource, event)) return 0;
    unsigned char byte = 0;
    const int waited = XPRO_WaitLineByte(box, resource, timeoutMs, &byte);
    if (waited != 0) return waited;
    // The byte is the start of what the next receive reads.
    XPRO_HoldByte(resource->linkContext, byte);
    if (byte != kStx) return PV_NOT_YET;
    if (event != nullptr) {
        event[0] = static_cast<char>(kStx);
        event[1] = 0;
    }
    return 0;
}
