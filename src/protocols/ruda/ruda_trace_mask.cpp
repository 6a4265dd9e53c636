// Card data of a RUDA line in the communication trace: the blocks of one
// exchange are joined into their messages (a request, then the answers that
// came back for it), and each message's card data is masked where the
// message says it stands.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "comm/com_channel.h"
#include "core/card_masking.h"
#include "protocols/ruda/ruda_link.h"

namespace {

// One message of the stream: where its data bytes stand in the buffer.
struct BlockMessage {
    std::vector<size_t> at;  // positions of the information bytes, in order
    uint8_t nad = 0;
    bool ciphered = false;
    bool complete = false;  // its last block (PCB bit 0 clear) came
};

// Cuts a stream into blocks (NAD, PCB, LEN, information, LRC) and joins them
// into messages. Bytes that do not make a block end the walk; *walked: the
// bytes that made blocks.
std::vector<BlockMessage> JoinBlocks(const unsigned char* bytes, size_t n, size_t* walked) {
    std::vector<BlockMessage> messages;
    BlockMessage current;
    bool open = false;
    size_t i = 0;
    while (i + 3 <= n) {
        const unsigned char pcb = bytes[i + 1];
        const size_t length = bytes[i + 2];
        if (length > kRudaBlockDataMax || length + kRudaBlockOverhead > n - i) break;
        if (!open) {
            current = BlockMessage{};
            current.nad = bytes[i];
            current.ciphered = (pcb & RUDA_PCB_CIPHERED) != 0;
            open = true;
        }
        for (size_t k = 0; k < length; ++k) current.at.push_back(i + 3 + k);
        i += length + kRudaBlockOverhead;
        if ((pcb & RUDA_PCB_MORE) == 0) {
            current.complete = true;
            messages.push_back(std::move(current));
            open = false;
        }
    }
    if (open) messages.push_back(std::move(current));
    *walked = i;
    return messages;
}

std::vector<unsigned char> Gather(const unsigned char* bytes, const std::vector<size_t>& at, size_t from,
                                  size_t to) {
    std::vector<unsigned char> out;
    for (size_t k = from; k < to; ++k) out.push_back(bytes[at[k]]);
    return out;
}

void Scatter(unsigned char* bytes, const std::vector<size_t>& at, size_t from, std::vector<unsigned char>& data) {
    for (size_t k = 0; k < data.size(); ++k) bytes[at[from + k]] = data[k];
    OPENSSL_cleanse(data.data(), data.size());
}

void Blot(unsigned char* bytes, const std::vector<size_t>& at, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) bytes[at[k]] = kWSysMaskedByte;
}

// What the request of the exchange was.
struct RequestKind {
    bool known = false;     // a whole request in clear was sent
    bool cardData = false;  // its answers carry card data
};

// Requests whose answers carry card data: READ RECORD, READ BINARY, GET
// PROCESSING OPTIONS, the card status and its events, the contactless start.
bool AnswersCardData(unsigned char cla, unsigned char ins) {
    if (ins == 0xB2 || ins == 0xB0 || ins == 0xA8) return true;
    if (cla == 0xD0 && (ins == 0x60 || ins == 0x61)) return true;
    return cla == 0xC0 && ins == 0xA0;
}

// Masks the data field of a request: a VERIFY's whole (its PIN block), the
// card-data elements of any other. A class DF goes as class 00 on the line.
RequestKind MaskRequest(unsigned char* bytes, const BlockMessage& m) {
    RequestKind kind;
    if (!m.complete || m.ciphered || m.at.size() < 4) return kind;
    const unsigned char cla = bytes[m.at[0]];
    const unsigned char ins = bytes[m.at[1]];
    kind.known = true;
    kind.cardData = AnswersCardData(cla, ins);
    if (m.at.size() <= 5) return kind;
    const size_t lc = bytes[m.at[4]];
    const size_t end = std::min(m.at.size(), 5 + lc);
    if (ins == 0x20) {
        Blot(bytes, m.at, 5, end);
        return kind;
    }
    std::vector<unsigned char> data = Gather(bytes, m.at, 5, end);
    if (WSysMaskCardElements(data.data(), data.size())) Scatter(bytes, m.at, 5, data);
    OPENSSL_cleanse(data.data(), data.size());
    return kind;
}

// Masks the data of an answer (its status word kept): its card-data
// elements; all of it when it is not a structure of elements and its request
// asks for card data or is not known.
void MaskAnswer(unsigned char* bytes, const BlockMessage& m, const RequestKind& request) {
    if (m.ciphered) return;  // cipher text shows nothing
    size_t from = 0;
    // An answer of the card's node may begin FF 7C, its length, and bytes
    // that are no part of the card's answer.
    if (m.nad == RUDA_NAD_CARD && m.at.size() >= 3 && bytes[m.at[0]] == 0xFF && bytes[m.at[1]] == 0x7C) {
        const size_t prefix = static_cast<size_t>(bytes[m.at[2]]) + 3;
        if (prefix <= m.at.size()) from = prefix;
    }
    const size_t to = m.complete && m.at.size() >= from + 2 ? m.at.size() - 2 : m.at.size();
    if (to <= from) return;
    std::vector<unsigned char> data = Gather(bytes, m.at, from, to);
    if (WSysMaskCardElements(data.data(), data.size()))
        Scatter(bytes, m.at, from, data);
    else if (request.cardData || !request.known)
        Blot(bytes, m.at, from, to);
    OPENSSL_cleanse(data.data(), data.size());
}

}  // namespace

bool RUDA_MaskTraceExchange(unsigned char* sent, size_t sentLength, unsigned char* received, size_t receivedLength) {
    RequestKind request;
    bool whole = true;
    if (sent != nullptr && sentLength > 0) {
        size_t walked = 0;
        // Every attempt of the request is masked alike; the last one names it.
        for (const BlockMessage& m : JoinBlocks(sent, sentLength, &walked)) request = MaskRequest(sent, m);
        if (walked != sentLength) {
            request = RequestKind{};
            whole = false;
        }
    }
    if (received == nullptr || receivedLength == 0) return whole;
    size_t walked = 0;
    for (const BlockMessage& m : JoinBlocks(received, receivedLength, &walked)) MaskAnswer(received, m, request);
    // Bytes past the last block (a cut block, bytes out of step) cannot be
    // read as blocks: all masked when the request asks for card data.
    if (request.cardData || !request.known)
        for (size_t i = walked; i < receivedLength; ++i) received[i] = kWSysMaskedByte;
    return whole && walked == receivedLength;
}

void RUDA_MaskLineTrace(int port) { WComTraceSetMasker(port, RUDA_MaskTraceExchange); }
