// The payment-server side of the NET frame: what an acquirer reads from and
// writes to a message-box link. Written from the wire format, apart from the
// program's own codec, so that a test against it checks the bytes and not
// one implementation against itself.
//
// A frame: four upper-case hexadecimal digits of the total length (header
// included), a NUL, then "<K>" K "<F>", "<S>" S "<F>", "<U>" U "<F>",
// "<A>" A "<F>" for each rubrique present, then "<M>" and the body (to the
// end of the frame), the body scrambled with the key numbered by K.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace netsim {

struct NetMessage {
    std::string K, S, U, A;
    std::string M;  // body, in clear
};

// The frame of a message (body scrambled with K's key; nothing when K names
// no key). Rubriques are written as given, even beyond what a receiver
// accepts. Empty when the total does not fit four hexadecimal digits.
std::string EncodeFrame(const NetMessage& message);

// Decodes one whole frame (header included); nullopt when it is not one.
std::optional<NetMessage> DecodeFrame(const std::string& frame);

// A message body in the program's field encoding of one text ("%B"/"%D"):
// the body's own header (four upper-case hexadecimal digits of its total
// length and a NUL), the text's length in hexadecimal and a NUL, then the
// text. Empty when the total does not fit four digits.
std::string EncodeFieldBody(const std::string& text);
// The text of such a body; nullopt when the body is not one (bad header,
// length or a text running past the total).
std::optional<std::string> DecodeFieldBody(const std::string& body);
// Value of a tag ("{CODE}value") in a tag message; empty when absent.
std::string TagValue(const std::string& message, const std::string& code);

// The five bytes "0000" and NUL that a program writes on the link before it
// closes it, outside any frame.
inline const std::string kClosingMessage("0000\0", 5);

// Cuts frames out of a byte stream fed in pieces of any size.
class FrameAssembler {
public:
    void feed(const char* data, size_t n) { pending_.append(data, n); }
    // True (and the bytes consumed) when the stream goes on with the closing
    // message.
    bool takeClosingMessage();
    // The next whole frame; nullopt when more bytes are needed. A header that
    // is not four hexadecimal digits and a NUL (or a total below 5) makes
    // the stream unreadable: broken() turns true.
    std::optional<std::string> next();
    bool broken() const { return broken_; }
    size_t pendingBytes() const { return pending_.size(); }

private:
    std::string pending_;
    bool broken_ = false;
};

// Hexadecimal text ("30 30 00", "303000", any case, blanks ignored) to
// bytes; nullopt when it is not hexadecimal.
std::optional<std::string> HexToBytes(const std::string& text);
// Bytes to "30 30 00".
std::string BytesToHex(const std::string& bytes);

}  // namespace netsim
