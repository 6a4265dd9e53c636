// Protocol 11 (R7700): a terminal speaking a small text-headed message
// protocol over the P21 link.
//
// Message: command (3 characters: "DEV", "TLV", "SYS", "DAR", "END", "EFT",
// "ACK"), FF, the terminal identifier (6 bytes), status (2 characters, "00"
// unless said), then, when there are data, their length as three decimal
// digits and the data. The operation record (R7700Record) is the first
// argument of every operation, set and get alike:
//
//   2  O_T_DISPLAY        "DEV": display mode byte (low byte of mode) not 0:
//                         "005" '2' 'D' mode 00 00; else "002" '1' 'P'
//   10 O_T_EVENT          "EFT" from the answer area: "000", the two
//                         identification bytes and the one byte as the
//                         identifier; "028" F0 46 05 00 00, 9F21 time, 9C
//                         type, 9F02 amount, 9A date (the amount, date and
//                         time must be hexadecimal digits, else refused)
//   90 O_T_INFO           mode 0 "DAR" "031" system data and fixed bytes;
//                         mode 1 "SYS" "010" "SALVETRO5" 01; other modes
//                         FF, identifier and "00" only
//   91 O_T_FILE_INFO      "END"
//   92 O_T_FILE_NAME      the data area as it stands (dataLength, 0..512)
//   93 O_T_INFO_EXT       "ACK": mode 0 and 3 "00", mode 2 '0' and the
//                         status character, other modes the mode's low byte
//                         and '0'; modes 2 and 3 add "%03d" and the data
//                         (dataLength, 0..512); mode 1 an empty message
//   94 O_T_FILES_VERSION  "TLV" "014" and the tag list
//
// Answers: 2, 10, 93 and 94 copy at most 512 bytes into the answer area
// and their count into answer.length (mode set to 0); 92 copies them into
// the data area (state and the identifier's first four bytes set to 0);
// 0, 1, 3, 4 and 90 are taken without decoding. Main thread only.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "protocols/module_contract.h"
#include "protocols/p21/p21_link.h"

constexpr int R7700_AREA = 512;

struct R7700Answer {
    int32_t length;
    uint8_t bytes[R7700_AREA];
};

// The operation record, fields in the order the terminal's requests use
// them. The answer area, as read by the event request: amount (12
// hexadecimal digits), transaction type (2 decimal characters), date YYMMDD
// and time HHMMSS (6 hexadecimal digits each), two identification bytes,
// one more byte. The system data share their place with the answer.
struct R7700Record {
    int32_t mode;
    int32_t state;  // 0 once a request is built
    char identifier[6];
    int32_t dataLength;
    uint8_t statusChar;
    union {
        uint8_t systemData[14];
        R7700Answer answer;
    };
    uint8_t data[R7700_AREA];
};

// The request of an operation into out (room for the largest: 15 bytes of
// header and 512 data): its length; -1 for an operation the module does
// not build or a record it refuses (a data length outside 0..512, an
// answer area that does not read for the event request).
int R7700_BuildRequest(uint32_t operation, R7700Record* record, unsigned char* out);

// Entry points of the module (module_contract.h). Set: -2 without box or
// resource; -1 for 0, 1, 3 and any code it does not build, without a
// record, or for a refused record; else the frame length. Get: 1 without
// box or resource or for an answer frame that does not read, 2 for a code
// it does not decode. Wait: a byte on the line within a tenth of the time;
// STX gives 0 with 02 00 in event and is held for the receive; another
// byte is held too and gives PV_NOT_YET; nothing: PV_PER_RESET when the
// wait callback asks to stop, else PV_NOT_YET; a line that is gone
// PV_NET_FAILED; the network 0 with 'A' at once.
int R7700_SetCommand(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
int R7700_GetOneResult(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
int R7700_DealAnswer(const unsigned char* payload, int length, R7700Record* record);
int R7700_DealRawAnswer(const unsigned char* payload, int length, R7700Record* record);
int R7700_WaitEvent(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);

// What the script engine binds for protocol 11.
constexpr PapCommandModule kR7700Module = {R7700_SetCommand, R7700_GetOneResult, nullptr, R7700_WaitEvent};
constexpr PapLinkCallbacks kP21Link = {XAS_LinkOpen,    XA_LinkClose,    P21_LinkSend,
                                       P21_LinkReceive, XAS_LinkRequest, XAS_LinkStatus};
