#include "comm/port_frames.h"

#include <algorithm>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"

namespace {

constexpr const char* kLogger = "comtrace";
constexpr int kRawWriteIdleMs = 1000;
constexpr unsigned char STX = 0x02, ETX = 0x03, EOT = 0x04, ACK = 0x06, BEL = 0x07, NAK = 0x15, SYN = 0x16,
                        ETB = 0x17;

bool IsSync(int mode, unsigned char c) {
    switch (mode) {
        case PORT_SYNC_STX: return c == STX || c == EOT || c == ACK || c == BEL || c == NAK || c == SYN;
        case PORT_SYNC_C0: return c == 0xC0 || c == 0xC3 || c == 0xC4 || c == 0xC5;
        case PORT_SYNC_STX_NOBEL: return c == STX || c == EOT || c == ACK || c == NAK || c == SYN;
        default: return false;
    }
}

int RawEmission(int port, const unsigned char* bytes, uint32_t length) {
    uint32_t written = 0;
    WTimeStamp idle = WGetTimeStamp();
    while (written < length) {
        const int n = WComWrite2(port, bytes + written, static_cast<int>(length - written));
        if (n < 0) return PORT_CARRIER;
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            idle = WGetTimeStamp();
        } else if (WIsTimeOut(idle, kRawWriteIdleMs)) {
            return PORT_CARRIER;
        }
    }
    return PORT_DONE;
}

int RawReception(int port, unsigned char* buffer, uint32_t* length, uint32_t time) {
    const uint32_t wanted = *length;
    const int64_t idleLimit = static_cast<int64_t>(time) * 10;
    uint32_t got = 0;
    int64_t lastProgress = plat::MonotonicMs();
    while (got < wanted) {
        const int n = WComRead2(port, buffer + got, static_cast<int>(wanted - got));
        if (n < 0) return PORT_CARRIER;
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            lastProgress = plat::MonotonicMs();
            continue;
        }
        const int64_t left = lastProgress + idleLimit - plat::MonotonicMs();
        if (left <= 0) {
            *length = got;
            return PORT_TIMEOUT;
        }
        // Nothing came within the channel's own read time: wait on the line
        // for what is left of the inactivity time.
        if (WComWaitInput2(port, static_cast<int>(left)) < 0) WSleep(static_cast<uint32_t>(left));
    }
    *length = got;
    return PORT_DONE;
}

// One character of a framed reception: 0, or the letter that ends it.
int ReadCharacter(int port, unsigned char* into, uint32_t time) {
    const int r = PortRxCar(port, into, static_cast<int>(time));
    if (r != PORT_DONE) return r;
    return SeqLibPad(*into) == 1 ? PORT_CARRIER : PORT_DONE;
}

}  // namespace

int PortEmist(int port, const void* data, uint32_t length, int method) {
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) return PORT_EMISSION;
    WLOG(kLogger, WLOG_DEBUG, "PortEmist: port: %d, data length: %u, direct mode: %d", port, length, r->directMode);
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (r->directMode != 0) return RawEmission(port, bytes, length);

    PortRaiseDTR(port);
    if (WCOM_IsSerialResource(port) == 1 && PortPurgeRx(port, 2) == 1) return PORT_EMISSION;
    const bool append = (method & PORT_METHOD_APPEND) != 0;
    method &= ~PORT_METHOD_APPEND;
    unsigned char xorValue = method == PORT_METHOD_XOR_FF ? 0xFF : 0x00;
    unsigned char sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        xorValue ^= bytes[i];
        sum = static_cast<unsigned char>(sum + bytes[i]);
        const int mode = i > 0 || append ? PORT_TX_APPEND : PORT_TX_NEW;
        const int result = PortTxCar(port, bytes[i], mode);
        if (result != PORT_DONE) return result;
    }
    switch (method) {
        case PORT_METHOD_NONE: return PortFlush(port, length > 0 || append ? 1 : 0);
        case PORT_METHOD_SUM: {
            const int first = PortTxCar(port, static_cast<unsigned char>(0x70 + ((sum >> 4) & 0x0F)), PORT_TX_APPEND);
            const int second = PortTxCar(port, static_cast<unsigned char>(0x70 + (sum & 0x0F)), PORT_TX_APPEND_SEND);
            return first != PORT_DONE ? first : second;
        }
        case PORT_METHOD_XOR_FF:
        case PORT_METHOD_XOR_00: return PortTxCar(port, xorValue, PORT_TX_APPEND_SEND);
        default:
            WSysError("-- ERROR -- PortEmist(): Checksum method is not supported: %u (should be 0, 1, 2 or 3)",
                      static_cast<unsigned>(method));
            return PORT_EMISSION;
    }
}

int PortRecest(int port, void* data, uint32_t* length, int control, uint32_t time) {
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) return PORT_RECEPTION;
    WLOG(kLogger, WLOG_DEBUG, "PortRecest: port: %d, lrc: %d, time: %u, direct mode: %u", port, control, time,
         static_cast<unsigned>(r->directMode));
    if (data == nullptr || length == nullptr) return PORT_RECEPTION;
    auto* buffer = static_cast<unsigned char*>(data);
    if (r->directMode != 0) return RawReception(port, buffer, length, time);

    const int method = control & 0x0F;
    const int endMode = (control >> 4) & 3;
    const int sync = (control >> 6) & 3;
    const uint32_t room = *length;
    // An unsupported method could never be checked: refused before a byte
    // is taken from the line.
    if (method > PORT_METHOD_XOR_00) {
        WSysError("-- ERROR -- PortRecest(): Checksum method is not supported: %u (should be 0, 1, 2 or 3)",
                  static_cast<unsigned>(control));
        *length = 0;
        return PORT_CHECKSUM;
    }
    if (sync != PORT_SYNC_NONE && room == 0) {
        *length = 0;
        return PORT_CHECKSUM;
    }
    unsigned char xorValue = method == PORT_METHOD_XOR_FF ? 0xFF : 0x00;
    unsigned char sum = 0;
    PortRaiseDTR(port);

    uint32_t kept = 0;
    bool eotStarted = false;
    if (sync != PORT_SYNC_NONE) {
        for (;;) {
            const int result = ReadCharacter(port, &buffer[0], time);
            if (result != PORT_DONE) {
                *length = 0;
                return result;
            }
            if (IsSync(sync, buffer[0])) break;
        }
        xorValue ^= buffer[0];
        sum = buffer[0];
        eotStarted = buffer[0] == EOT;
        kept = 1;
    }

    const uint32_t header = kept + 3;
    uint32_t wanted = room;
    bool lengthRead = false;
    bool ended = false;
    // Without an end byte to look for, the count of bytes still to come is
    // known (the whole frame, or the length field first): they are read as
    // the line holds them. An end byte is looked for one byte at a time, so
    // that nothing past it is taken from the line; so is a line watched for
    // the PAD clear sequence (a line that is not has nothing to feed it).
    const bool byBlock = endMode == PORT_END_NONE || endMode == PORT_END_LENGTH;
    const ComResource* current = WCOM_CurrentResource();
    const bool padWatched = current != nullptr && current->padClearDetection > 0;
    uint32_t held = kept;  // bytes in the buffer read from the line so far
    while (kept < wanted && !ended) {
        if (held == kept) {
            int result = PORT_DONE;
            if (byBlock && !padWatched) {
                const uint32_t next = endMode == PORT_END_LENGTH && !lengthRead ? std::min(wanted, header) : wanted;
                int got = 0;
                result = PortRxBlock(port, &buffer[kept], static_cast<int>(next - kept), static_cast<int>(time), &got);
                held += static_cast<uint32_t>(got);
            } else {
                result = ReadCharacter(port, &buffer[kept], time);
                if (result == PORT_DONE) ++held;
            }
            if (result != PORT_DONE) {
                *length = kept;
                return result;
            }
        }
        const unsigned char c = buffer[kept++];
        xorValue ^= c;
        sum = static_cast<unsigned char>(sum + c);
        if (endMode == PORT_END_ETX) {
            const bool terminator = c == ETX || c == EOT || c == ETB;
            if (eotStarted && !terminator) {
                *length = kept;
                return c == '{' ? PORT_DONE : PORT_CHECKSUM;
            }
            ended = terminator;
        } else if (endMode == PORT_END_C1) {
            ended = c == 0xC1 || c == 0xC2 || c == 0xC5;
        } else if (endMode == PORT_END_LENGTH && !lengthRead && kept == header) {
            // Three digits after the start give the frame's length less one;
            // a frame that would not fit the caller's room is refused.
            lengthRead = true;
            const uint32_t announced = (buffer[kept - 3] & 0x0F) * 100u + (buffer[kept - 2] & 0x0F) * 10u +
                                       (buffer[kept - 1] & 0x0F) + 1u;
            if (announced > room || announced < kept) {
                *length = kept;
                return PORT_CHECKSUM;
            }
            wanted = announced;
        }
    }
    *length = kept;

    // The checksum goes into a variable of its own, never into the buffer.
    switch (method) {
        case PORT_METHOD_SUM: {
            unsigned char high = 0, low = 0;
            int result = ReadCharacter(port, &high, time);
            if (result == PORT_DONE) result = ReadCharacter(port, &low, time);
            if (result != PORT_DONE) return result;
            if (high != 0x70 + ((sum >> 4) & 0x0F) || low != 0x70 + (sum & 0x0F)) return PORT_CHECKSUM;
            return PORT_DONE;
        }
        case PORT_METHOD_XOR_FF:
        case PORT_METHOD_XOR_00: {
            unsigned char check = 0;
            const int result = ReadCharacter(port, &check, time);
            if (result != PORT_DONE) return result;
            return (check & 0x7F) == (xorValue & 0x7F) ? PORT_DONE : PORT_CHECKSUM;
        }
        default: return PORT_DONE;
    }
}
