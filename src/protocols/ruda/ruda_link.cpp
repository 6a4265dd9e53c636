// RUDA block link: blocks, ciphering, transport marker, receiver, texts.
#include "protocols/ruda/ruda_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/crypto.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr int kInitialCapacity = 128;
constexpr char kTransportMarker[] = "PRTTRSPW";
constexpr int kTransportMarkerText = 8;

bool CardInstruction(uint8_t ins) {
    switch (ins) {
        case 0x20:
        case 0x82:
        case 0x88:
        case 0xA4:
        case 0xB0:
        case 0xB2:
        case 0xC0:
        case 0xFF: return true;
        default: return false;
    }
}

int BlockCount(int length) { return length == 0 ? 1 : (length + kRudaBlockDataMax - 1) / kRudaBlockDataMax; }

}  // namespace

// ---------------------------------------------------------------------------
// Block container
// ---------------------------------------------------------------------------

RUDAMessage* RUDAMessage_new() {
    auto* message = static_cast<RUDAMessage*>(WAlloc(sizeof(RUDAMessage)));
    if (message == nullptr) return nullptr;
    message->buffer = static_cast<unsigned char*>(WAlloc(kInitialCapacity));
    if (message->buffer == nullptr) {
        WFree(message);
        return nullptr;
    }
    message->capacity = kInitialCapacity;
    message->first = message->end = 0;
    message->nad = RUDA_NAD_COMMAND;
    return message;
}

void RUDAMessage_free(RUDAMessage* message) {
    if (message == nullptr) return;
    WFree(message->buffer);
    WFree(message);
}

int RUDAMessage_setCorrectLength(RUDAMessage* message, int needed) {
    if (message == nullptr || needed < 0) return 0;
    if (needed <= message->capacity) return 1;
    long size = kInitialCapacity;
    while (size < needed) size *= 2;
    auto* grown = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(size)));
    if (grown == nullptr) {
        WSysError("-- ERROR -- RUDAMessage_setCorrectLength(): Memory allocation error");
        return 0;
    }
    std::memcpy(grown, message->buffer, static_cast<size_t>(message->end));
    WFree(message->buffer);
    message->buffer = grown;
    message->capacity = static_cast<int>(size);
    return 1;
}

uint8_t RUDA_Lrc(const unsigned char* bytes, int length) {
    uint8_t lrc = 0;
    for (int i = 0; bytes != nullptr && i < length; ++i) lrc ^= bytes[i];
    return lrc;
}

void RUDAMessage_setNAD(RUDAMessage* message, uint8_t nad) {
    if (message == nullptr) return;
    message->nad = nad;
    for (int at = message->first; at + kRudaBlockOverhead <= message->end;) {
        unsigned char* block = message->buffer + at;
        const int len = block[2];
        if (at + kRudaBlockOverhead + len > message->end) break;
        block[0] = nad;
        block[3 + len] = RUDA_Lrc(block, 3 + len);
        at += kRudaBlockOverhead + len;
    }
}

int RUDAMessage_setData(RUDAMessage* message, const unsigned char* data, int length, bool ciphered) {
    if (message == nullptr || length < 0 || (length > 0 && data == nullptr)) return 0;
    const int blocks = BlockCount(length);
    const long total = static_cast<long>(length) + static_cast<long>(blocks) * kRudaBlockOverhead;
    message->first = message->end = 0;
    if (total > 0x7FFFFFFFL || !RUDAMessage_setCorrectLength(message, static_cast<int>(total))) return 0;
    unsigned char* w = message->buffer;
    int left = length;
    for (int i = 0; i < blocks; ++i) {
        const int n = left > kRudaBlockDataMax ? kRudaBlockDataMax : left;
        unsigned char* block = w;
        block[0] = message->nad;
        block[1] = static_cast<unsigned char>((i + 1 < blocks ? RUDA_PCB_MORE : 0) |
                                              (i == 0 && ciphered ? RUDA_PCB_CIPHERED : 0));
        block[2] = static_cast<unsigned char>(n);
        if (n > 0) std::memcpy(block + 3, data, static_cast<size_t>(n));
        block[3 + n] = RUDA_Lrc(block, 3 + n);
        data += n;
        left -= n;
        w += kRudaBlockOverhead + n;
    }
    message->end = static_cast<int>(w - message->buffer);
    if (ciphered)
        WSysError("** INFO. ** RUDAMessage_setData(): Add PCB_CIPHERED_MESSAGE bit, PCB: %d",
                  message->buffer[1]);
    return 1;
}

int RUDAMessage_takeRaw(RUDAMessage* message, const unsigned char* bytes, int length) {
    if (message == nullptr || length < 0 || (length > 0 && bytes == nullptr)) return 0;
    message->first = message->end = 0;
    if (!RUDAMessage_setCorrectLength(message, length)) return 0;
    if (length > 0) std::memcpy(message->buffer, bytes, static_cast<size_t>(length));
    message->end = length;
    return 1;
}

const unsigned char* RUDAMessage_raw(const RUDAMessage* message, int* length) {
    if (message == nullptr) {
        if (length != nullptr) *length = 0;
        return nullptr;
    }
    if (length != nullptr) *length = message->end - message->first;
    return message->buffer + message->first;
}

int RUDAMessage_getData(const RUDAMessage* message, unsigned char* out, int room) {
    if (message == nullptr || out == nullptr || room < 0) return -1;
    int written = 0;
    int at = message->first;
    for (;;) {
        if (at + 3 > message->end) return -1;
        const unsigned char* block = message->buffer + at;
        const int len = block[2];
        if (at + kRudaBlockOverhead + len > message->end) return -1;
        if (written + len > room) return -1;
        std::memcpy(out + written, block + 3, static_cast<size_t>(len));
        written += len;
        at += kRudaBlockOverhead + len;
        if ((block[1] & RUDA_PCB_MORE) == 0) return written;
    }
}

int RUDAMessage_getSw(const RUDAMessage* message) {
    if (message == nullptr) return 0;
    const int room = message->end - message->first;
    if (room <= 0) return 0;
    auto* data = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(room)));
    if (data == nullptr) return 0;
    const int n = RUDAMessage_getData(message, data, room);
    const int sw = n >= 2 ? data[n - 2] * 256 + data[n - 1] : 0;
    WFree(data);
    return sw;
}

int RUDAMessage_isCiphered(const RUDAMessage* message) {
    if (message == nullptr || message->end - message->first < 3) return 0;
    return (message->buffer[message->first + 1] & RUDA_PCB_CIPHERED) != 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

uint8_t RUDA_ChooseNad(const unsigned char* request, int length) {
    if (request == nullptr || length < 1) return RUDA_NAD_COMMAND;
    const uint8_t cla = request[0];
    const int ins = length >= 2 ? request[1] : -1;
    if (cla == 0x00 && ins == 0xFD) return RUDA_NAD_CARD;
    if ((cla >= 0x01 && cla <= 0xBF) || (cla >= 0xE0 && cla <= 0xEF)) return RUDA_NAD_CARD;
    if (cla == 0x00 && ins >= 0 && CardInstruction(static_cast<uint8_t>(ins))) return RUDA_NAD_CARD;
    return RUDA_NAD_COMMAND;
}

RUDAMessage* RUDA_BuildSendBlocks(const unsigned char* request, int length) {
    if (request == nullptr || length < 1) return nullptr;
    RUDAMessage* message = RUDAMessage_new();
    if (message == nullptr) return nullptr;
    const uint8_t nad = RUDA_ChooseNad(request, length);
    message->nad = nad;
    const bool classZero = request[0] == 0x00 && length >= 2;
    int ok = 0;
    if (classZero && request[1] == 0xFF) {
        // Raw pass-through: no block framing.
        ok = RUDAMessage_takeRaw(message, request + 2, length - 2);
    } else if (classZero && (request[1] == 0xFE || request[1] == 0xFD)) {
        ok = RUDAMessage_setData(message, request + 2, length - 2, true);
    } else if (request[0] == 0xDF) {
        // Class DF goes as class 00; the request itself stays as given.
        ok = RUDAMessage_setData(message, request, length, false);
        if (ok) {
            message->buffer[3] = 0x00;
            RUDAMessage_setNAD(message, nad);
        }
    } else {
        ok = RUDAMessage_setData(message, request, length, false);
    }
    if (!ok) {
        RUDAMessage_free(message);
        return nullptr;
    }
    return message;
}

// ---------------------------------------------------------------------------
// Ciphering
// ---------------------------------------------------------------------------

uint32_t RUDA_SequenceNumber(int64_t epochMs) {
    constexpr int64_t kDayMs = 86400000;
    int64_t ms = epochMs % kDayMs;
    if (ms < 0) ms += kDayMs;
    return static_cast<uint32_t>(ms);
}

int RUDA_CipherRequest(const unsigned char* request, int length, int operation,
                       const unsigned char* key, uint32_t sequence, unsigned char* out, int room) {
    if (request == nullptr || key == nullptr || out == nullptr || length < 2 ||
        room < length + kRudaCipherOverhead) {
        WSysError("-- ERROR -- Stream encryption error");
        return -1;
    }
    int body = 0;
    if (operation == 158) {
        // Raw stream data keeps its 00 FF prefix; only what follows is ciphered.
        std::memcpy(out, request, static_cast<size_t>(length));
        body = length - 2;
    } else {
        const uint8_t cla = request[0];
        const bool fd = cla < 0xC0 && (cla != 0x00 || CardInstruction(request[1]));
        out[0] = 0x00;
        out[1] = fd ? 0xFD : 0xFE;
        std::memcpy(out + 2, request, static_cast<size_t>(length));
        if (cla == 0xDF && request[1] == 0xA4) out[2] = 0x00;
        body = length;
    }
    unsigned char* seq = out + 2 + body;
    seq[0] = static_cast<unsigned char>(sequence >> 24);
    seq[1] = static_cast<unsigned char>(sequence >> 16);
    seq[2] = static_cast<unsigned char>(sequence >> 8);
    seq[3] = static_cast<unsigned char>(sequence);
    const int cipher = encryptDesEcb(out + 2, static_cast<size_t>(body) + 4, key,
                                     static_cast<size_t>(room - 2));
    if (cipher < 0) {
        WSysError("-- ERROR -- Stream encryption error");
        return -1;
    }
    return cipher + 2;
}

int RUDA_UnwrapAnswer(unsigned char* payload, int* length, const unsigned char* key, int* ciphered) {
    if (ciphered != nullptr) *ciphered = 0;
    if (payload == nullptr || length == nullptr || *length < kRudaTransportMarkerLength ||
        std::memcmp(payload, kTransportMarker, kTransportMarkerText) != 0)
        return 0;
    const bool isCiphered = payload[8] == 0x01 && (payload[9] & RUDA_PCB_CIPHERED) != 0;
    int n = *length - kRudaTransportMarkerLength;
    std::memmove(payload, payload + kRudaTransportMarkerLength, static_cast<size_t>(n));
    std::memset(payload + n, 0, kRudaTransportMarkerLength);
    if (isCiphered) {
        const int plain = key == nullptr ? -1 : decryptDesCbc(payload, static_cast<size_t>(n), key);
        if (plain < 4) {
            WSysError("-- ERROR -- RUDA_GetOneResult Stream decryption error");
            std::memset(payload, 0, static_cast<size_t>(n));
            *length = 0;
            return -2;
        }
        n = plain;
    }
    if (n >= 2 && payload[0] == 0x9F) {
        switch (payload[1]) {
            case 0x55:
                WSysError("-- ERROR -- SW1SW2 = [9F55] Demande de renouvellement de la Stream Encryption Key");
                break;
            case 0x54: WSysError("-- ERROR -- SW1SW2 = [9F54] Mauvais Sequence Number Envoye"); break;
            case 0x51: WSysError("-- ERROR -- SW1SW2 = [9F51] Commande envoyee en clair au lieu de cryptee"); break;
            case 0x53: WSysError("-- ERROR -- SW1SW2 = [9F53] Stream Encryption Key not set"); break;
            default: break;
        }
    }
    if (isCiphered) {
        std::memset(payload + n - 4, 0, 4);
        n -= 4;
        if (ciphered != nullptr) *ciphered = 1;
    }
    *length = n;
    return 0;
}

// ---------------------------------------------------------------------------
// Receiving
// ---------------------------------------------------------------------------

RudaBlockReceiver::RudaBlockReceiver(RudaReceiverOptions options) : options_(options) {
    if (options_.room < kRudaTransportMarkerLength) options_.room = kRudaTransportMarkerLength;
    answer_ = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(options_.room)));
}

RudaBlockReceiver::~RudaBlockReceiver() {
    if (answer_ != nullptr) {
        std::memset(answer_, 0, static_cast<size_t>(options_.room));
        WFree(answer_);
    }
}

void RudaBlockReceiver::start(int64_t nowMs) {
    if (answer_ != nullptr) std::memset(answer_, 0, static_cast<size_t>(options_.room));
    length_ = have_ = blocks_ = stepCode_ = 0;
    ciphered_ = false;
    lastMs_ = nowMs;
    letter_ = RUDA_LETTER_NONE;
    state_ = answer_ == nullptr ? fail(RUDA_LETTER_SOFT) : State::Waiting;
}

RudaBlockReceiver::State RudaBlockReceiver::fail(char letter) {
    letter_ = letter;
    state_ = State::Failed;
    if (answer_ != nullptr) std::memset(answer_, 0, static_cast<size_t>(options_.room));
    length_ = 0;
    return state_;
}

int RudaBlockReceiver::statusWord() const {
    return length_ >= 2 ? answer_[length_ - 2] * 256 + answer_[length_ - 1] : 0;
}

RudaBlockReceiver::State RudaBlockReceiver::poll(int64_t nowMs) {
    if (state_ != State::Waiting) return state_;
    if (nowMs - lastMs_ <= options_.readTimeoutMs) return state_;
    // Nothing of the header within the wait: no answer; inside a block: broken.
    return fail(have_ < 3 ? RUDA_LETTER_TIMEOUT : RUDA_LETTER_SOFT);
}

void RudaBlockReceiver::endBlock() {
    const uint8_t nad = block_[0];
    const uint8_t pcb = block_[1];
    int n = block_[2];
    const unsigned char* data = block_ + 3;
    ++blocks_;
    stepCode_ = (pcb & RUDA_PCB_STEP) != 0 ? 2 : 1;
    // A card answer may start with an FF 7C prefix of (third byte + 3) bytes;
    // one that claims more than the block holds is not a prefix.
    if (nad == RUDA_NAD_CARD && n >= 3 && data[0] == 0xFF && data[1] == 0x7C && data[2] + 3 <= n) {
        const int drop = data[2] + 3;
        data += drop;
        n -= drop;
    }
    if (blocks_ == 1) {
        ciphered_ = (pcb & RUDA_PCB_CIPHERED) != 0;
        if (options_.transportAdded) {
            std::memcpy(answer_, kTransportMarker, kTransportMarkerText);
            answer_[8] = 0x01;
            answer_[9] = pcb;
            length_ = kRudaTransportMarkerLength;
            WSysError("@@ DEBUG @@ [RUDA] PCB : %x", pcb);
        }
    }
    if (length_ + n > options_.room) {
        fail(RUDA_LETTER_OVERFLOW);
        return;
    }
    std::memcpy(answer_ + length_, data, static_cast<size_t>(n));
    length_ += n;
    have_ = 0;
    if ((pcb & RUDA_PCB_MORE) != 0) return;

    state_ = State::Done;
    const int sw = statusWord();
    if (sw != 0x9000) {
        char text[128];
        WSysError("-- ERROR -- [RUDA] %s", RUDA_DescribeStatusWord(sw, text, sizeof text));
    }
    WSysError("@@ DEBUG @@ Terminal -> Client : SW=%02x-%02x      LG=%d", (sw >> 8) & 0xFF, sw & 0xFF,
              length_);
}

RudaBlockReceiver::State RudaBlockReceiver::feed(const unsigned char* bytes, int count, int64_t nowMs,
                                                 int* consumed) {
    if (consumed != nullptr) *consumed = 0;
    if (poll(nowMs) != State::Waiting || bytes == nullptr || count <= 0) return state_;
    int used = 0;
    while (used < count && state_ == State::Waiting) {
        // The header first, then the rest of the block in one copy.
        if (have_ >= 3 && block_[2] > kRudaBlockDataMax) {
            fail(RUDA_LETTER_SOFT);
            break;
        }
        const int whole = have_ < 3 ? 3 : kRudaBlockOverhead + block_[2];
        const int take = std::min(whole - have_, count - used);
        std::memcpy(block_ + have_, bytes + used, static_cast<size_t>(take));
        have_ += take;
        used += take;
        if (have_ < 3 || have_ < kRudaBlockOverhead + block_[2]) continue;
        const int end = kRudaBlockOverhead + block_[2];
        if (RUDA_Lrc(block_, end - 1) != block_[end - 1]) {
            fail(RUDA_LETTER_CHECK);
            break;
        }
        endBlock();
    }
    lastMs_ = nowMs;
    if (consumed != nullptr) *consumed = used;
    return state_;
}

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

namespace {

struct SwText {
    int sw;
    const char* text;
};

const SwText kSwTexts[] = {
    {0x9000, "No error."},
    {0x9F01, "LRC is invalid in the packet data, received by the terminal."},
    {0x9F0D, "An internal error occurred. Data field of the packet (if present) consists of more details."},
    {0x9F0F, "Invalid INS byte in the packet."},
    {0x9F10, "Invalid P1 byte in the packet."},
    {0x9F11, "Unsupported command received due to hardware limits."},
    {0x9F13, "File cannot be opened."},
    {0x9F14, "Command, received by the terminal, is incorrectly formatted."},
    {0x9F15, "File read error."},
    {0x9F16, "File write error."},
    {0x9F21, "There is an error in the data presented to the terminal."},
    {0x9F22, "A command was received whilst attempting to establish a secure link."},
    {0x9F23, "Smart card missing when attempting to issue a command."},
    {0x9F24, "Command out of sequence."},
    {0x9F25, "Card does not conform to EMV standards. Abort transaction without magnetic stripe fallback."},
    {0x9F26, "Invalid EMV command for the current state."},
    {0x9F27, "Required TLV Object not present in terminal or in the command parameters."},
    {0x9F28, "No mutually supported applications or Non-EMV card."},
    {0x9F29, "Problem building candidate file."},
    {0x9F2A, "Required configuration file missing."},
    {0x9F2B, "EMV Test: 2CL.043.00 - reject card if any Terminal Action Code has an RFU bit set."},
    {0x9F2C, "Application has been rejected by the chip card, Continue with other application if available."},
    {0x9F2D, "Unused at present."},
    {0x9F2E, "Objects missing from ICCDATA.DAT configuration file."},
    {0x9F2F, "Missing TDOL.CFG."},
    {0x9F31, "Collision - more than one contactless card tapped."},
    {0x9F32, "Contactless amount is zero."},
    {0x9F33, "Contactless device requested Chip & PIN transaction."},
    {0x9F34, "Contactless card left in field - remove it to perform next transaction."},
    {0x9F40, "If the Issuer Public Keys has failed to HASH to the provided HASH value."},
    {0x9F41, "Cardholder cancelled at Amount Confirmation stage or PIN Entry stage. Can be merchant abort too."},
    {0x9F42, "A non-zero 'Amount, Other' is present when the card does not support cash-back for this transaction."},
    {0x9F43, "The customer has pressed the cancel key when asked to confirm an application or to select from a list of supported applications."},
    {0x9F50, "Application is blocked due to either failure security check (one or more files specified in SECURE.DAT file is not authenticated) or EMV configuration error."},
    {0x9FFF, "Device is busy."},
    {0x6D00, "Unknown CLA-INS bytes received."},
    {0x6A88, "Parameter(s) P1-P2 are wrong, referenced data not found."},
    {0x9F36, "Please put away the card from CTLS reader."},
};


}  // namespace

const char* RUDA_StatusWordText(int sw) {
    for (const SwText& t : kSwTexts)
        if (t.sw == sw) return t.text;
    return nullptr;
}

const char* RUDA_DescribeStatusWord(int sw, char* out, int size) {
    if (out == nullptr || size <= 0) return "";
    const char* text = RUDA_StatusWordText(sw);
    if (text != nullptr)
        std::snprintf(out, static_cast<size_t>(size), "%s", text);
    else
        std::snprintf(out, static_cast<size_t>(size), "Unknown error %x", sw);
    return out;
}

const char* RUDA_StepLabel(char letter) { return XPRO_StepLabel(letter); }

int RUDA_FormatTransportMessage(char letter, const char* applicationCode, char* out, int size) {
    if (out == nullptr || size <= 0) return 0;
    std::memset(out, 0, static_cast<size_t>(size));
    const char* label = RUDA_StepLabel(letter);
    if (label == nullptr) return 0;
    std::snprintf(out, static_cast<size_t>(size), "[RUDA_Transport():%s:-Step=%d-App=%s]", label,
                  static_cast<int>(letter), applicationCode != nullptr ? applicationCode : "");
    return 1;
}
