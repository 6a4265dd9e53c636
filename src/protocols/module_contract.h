// What a terminal command module offers the script engine: the operation
// codes callers ask for, the four entry points of a module, the six link
// callbacks of its protocol, and the terminal frame that travels between the
// engine and a module ("%04x" of the payload length plus 5, one NUL byte,
// then the payload); and the services the engine lends the modules.
//
// Modules plug in by protocol number (periph/terminal_exchange.h). Main
// thread only.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "comm/message_box.h"

struct KT_EPERIPH_API;
struct KT_PERES;

// ---------------------------------------------------------------------------
// Operation codes (protocol-neutral)
// ---------------------------------------------------------------------------

constexpr uint32_t O_T_DIALOGUE = 0;
constexpr uint32_t O_T_OPEN_DISPLAY = 1;
constexpr uint32_t O_T_DISPLAY = 2;
constexpr uint32_t O_T_SELECT = 3;
constexpr uint32_t O_T_WDATA = 4;
constexpr uint32_t O_T_WDATA_CONT = 5;
constexpr uint32_t O_T_WDATA_EXT = 9;
constexpr uint32_t O_T_EVENT = 10;
constexpr uint32_t O_T_SELECT_AID = 11;
constexpr uint32_t O_T_CANDIDATES = 12;  // read only: the answer of 10, decoded as 12
constexpr uint32_t O_T_PRINT = 13;
constexpr uint32_t O_T_ABORT = 14;
constexpr uint32_t O_T_PRINT_STATUS = 15;
constexpr uint32_t O_T_PRINT_LOGO = 16;
constexpr uint32_t O_T_EMV_APDU = 31;
constexpr uint32_t O_T_ONLINE_PIN = 70;
constexpr uint32_t O_T_INFO = 90;
constexpr uint32_t O_T_FILE_INFO = 91;
constexpr uint32_t O_T_FILE_NAME = 92;
constexpr uint32_t O_T_INFO_EXT = 93;
constexpr uint32_t O_T_FILES_VERSION = 94;
constexpr uint32_t O_T_TERMINAL_INFO = 95;
constexpr uint32_t O_T_SECURITY_CONFIG = 96;
constexpr uint32_t O_T_ADE_KEYS = 97;
constexpr uint32_t O_T_CARD_STATUT = 100;
constexpr uint32_t O_T_SELECT_AID_CTL = 101;
constexpr uint32_t O_T_SOFT_RESET = 102;
constexpr uint32_t O_T_PRINT_BITMAP = 120;
constexpr uint32_t O_T_OPEN_INIT_CTL = 130;
constexpr uint32_t O_T_START_CTL_TRS = 131;
constexpr uint32_t O_T_CANCEL_CTL_TRS = 132;
constexpr uint32_t O_T_DISCONNECT = 151;
constexpr uint32_t O_T_RESET_DEVICE = 152;
constexpr uint32_t O_T_SELECT_FILE = 153;
constexpr uint32_t O_T_UPDATE_BINARY = 154;
constexpr uint32_t O_T_FILE_AA = 155;
constexpr uint32_t O_T_FILE_AB = 156;
constexpr uint32_t O_T_STREAM_UPLOAD = 157;
constexpr uint32_t O_T_STREAM_DATA = 158;
constexpr uint32_t O_T_POWERCARDREADER_ONOFF = 159;
constexpr uint32_t O_T_DISPLAY_SCREEN = 160;
constexpr uint32_t O_T_DISPLAY_BITMAP = 161;
constexpr uint32_t O_T_DISPLAY_TEXT = 163;
constexpr uint32_t O_T_HTML_PAGE = 165;
constexpr uint32_t O_T_QR_CODE = 166;
constexpr uint32_t O_T_SELECT_LANG = 170;
constexpr uint32_t O_T_GET_LANG_LIST = 171;
constexpr uint32_t O_T_PUT_DATA = 172;
constexpr uint32_t O_T_GET_DATA = 173;
constexpr uint32_t O_T_D062 = 174;
constexpr uint32_t O_T_SET_DATE_TIME = 176;
constexpr uint32_t O_T_BARCODE = 178;
constexpr uint32_t O_T_CARD_INSERTED = 180;
constexpr uint32_t O_T_PREVAL_TRS = 181;
constexpr uint32_t O_T_PREVAL_CONTINUE = 182;
constexpr uint32_t O_T_CONTINUE_TRS = 183;
constexpr uint32_t O_T_SECOND_CONTINUE = 184;
constexpr uint32_t O_T_C422 = 186;
constexpr uint32_t O_T_SRED_STATUS = 190;
constexpr uint32_t O_T_GENERATE_RSA_KEY = 191;
constexpr uint32_t O_T_AUTHENTICATE = 192;
constexpr uint32_t O_T_DUMP_LOGS = 193;
constexpr uint32_t O_T_FAST_READING = 194;
constexpr uint32_t O_T_AUTHENTICATE_VERIFY = 196;
constexpr uint32_t O_T_CHECK_ENCRYPTION = 197;
// Codes of the DORAN module only.
constexpr uint32_t O_T_CARD_2001 = 20;
constexpr uint32_t O_T_EMV_DATA = 30;
constexpr uint32_t O_T_CARD_3001 = 40;
constexpr uint32_t O_T_CARD_4001 = 50;
constexpr uint32_t O_T_CARD_DATA = 51;
constexpr uint32_t O_T_CARD_6001 = 60;
constexpr uint32_t O_T_TERMINAL_CALL_61 = 73;
constexpr uint32_t O_T_TERMINAL_CALL_62 = 74;
constexpr uint32_t O_T_RECORD_EXCHANGE = 80;
constexpr uint32_t O_T_CARD_2002 = 81;
constexpr uint32_t O_T_ECO = 82;
constexpr uint32_t O_T_DORAN_ONLY[] = {O_T_CARD_2001,        O_T_EMV_DATA,         O_T_CARD_3001, O_T_CARD_4001,
                                       O_T_CARD_DATA,        O_T_CARD_6001,        O_T_TERMINAL_CALL_61,
                                       O_T_TERMINAL_CALL_62, O_T_RECORD_EXCHANGE, O_T_CARD_2002, O_T_ECO};

// ---------------------------------------------------------------------------
// Terminal frame
// ---------------------------------------------------------------------------

// Size of the command buffer (one script row) and of the answer buffer.
constexpr int PAP_COMMAND_BUFFER = 12720;
constexpr int PAP_MODULE_ANSWER_BUFFER = 12701;
constexpr int PAP_MODULE_PAYLOAD_MAX = 12700;

// Body a link delivers for a terminal that refused to answer (its phone
// lines are all busy): the text and its terminator, 59 bytes.
constexpr const char* PAP_RELAY_BUSY_TEXT = "Toutes les lignes de votre correspondant sont Occuppees ..";
constexpr int PAP_RELAY_BUSY_LENGTH = 59;

// Writes a request as a frame into a command buffer of PAP_COMMAND_BUFFER
// bytes: the frame length (length + 5); -1 for a request over 12700 bytes
// or without bytes to copy (nothing written).
int PAP_WriteCommandFrame(char* commandBuffer, const unsigned char* request, int length);
// Reads an answer frame of `available` bytes: the payload length is its
// leading hexadecimal number less 5. PV_ALL_FINE with the payload zero-
// padded into answer (PAP_MODULE_ANSWER_BUFFER bytes) and *length set;
// PV_CMD_INTERNAL, answer untouched, when the number is missing, gives a
// length below 0 or above 12700, or runs past the frame's bytes.
int PAP_ReadAnswerFrame(const char* frame, int available, unsigned char* answer, int* length);

// ---------------------------------------------------------------------------
// Entry points of a command module
// ---------------------------------------------------------------------------

// Set: builds the request of the resource's current command into the command
// buffer: the frame length, 0 when no message was built (no row is added),
// -1 unknown code or refused arguments, -2 box or resource missing.
using PapSetFn = int (*)(KT_EPERIPH_API* box, KT_PERES* resource, char* commandBuffer, va_list args);
// Get: decodes an answer frame into the caller's result arguments: a status.
using PapGetFn = int (*)(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args);
// Reset: forgets the kind of the last event request.
using PapResetFn = int (*)(KT_EPERIPH_API* box, KT_PERES* resource);
// Wait event: 0 with *event 'A'; PV_NOT_YET after the time-out;
// PV_PER_RESET when the wait callback asked to stop; 1 box or resource
// missing, or the port cannot be polled.
using PapWaitFn = int (*)(KT_EPERIPH_API* box, KT_PERES* resource, int timeoutMs, char* event);

struct PapCommandModule {
    PapSetFn set;
    PapGetFn get;
    PapResetFn reset;  // may be null
    PapWaitFn waitEvent;  // null: the wait returns 0 at once
};

// The six link callbacks bound to the message block of a link, in the
// binding order.
struct PapLinkCallbacks {
    KTM_TransOpenFn open;
    KTM_TransCloseFn close;
    KTM_TransSendFn send;
    KTM_TransRecvFn recv;
    KTM_MapRequestFn mapRequest;
    KTM_MapAnswerFn mapAnswer;
};

// ---------------------------------------------------------------------------
// Services of the script engine
// ---------------------------------------------------------------------------

// What the engine lends the modules, which never include it. The engine
// (periph/terminal_box.cpp) installs them when it makes its box.
struct PapEngineServices {
    KT_EPERIPH_API* (*box)();                                 // EPAP_GetBox
    int (*rearmAnswerRow)(KT_EPERIPH_API* box, int command);  // TWEP_RearmAnswerRow
    int (*waitEvent)(int function, int timeoutMs, char* event);  // EPAP_WaitEvent
};
// Installs the services (copied); null removes them.
void PAP_SetEngineServices(const PapEngineServices* services);
// The process's terminal box: null before the engine made one.
KT_EPERIPH_API* PAP_EngineBox();
// Re-arms the answer row of a command so that its next answer is read: 1
// re-armed, 0 no row of that command, -1 failure or no engine.
int PAP_EngineRearmAnswerRow(KT_EPERIPH_API* box, int command);
// Waits for an event of a terminal function through the engine: the wait's
// status with *event set; -1 without an engine.
int PAP_EngineWaitEvent(int function, int timeoutMs, char* event);
