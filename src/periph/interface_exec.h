// Execution of an interface script: the local executors (PC console, spool
// files, POS GUI, terminal screen), the host side that sends remote commands
// and collects their answers, and the client side that takes the commands of
// a remote host, runs them and sends the answers back.
//
// On the wire (rubriques of the stream's message block): 'A' the net
// application ("1210"), 'S' the XSAP address with the message state, M one
// script row: "%c_%03d_%04x_%04x" ('1', the number as the receiver sees it,
// the command type, 0) with the payload copied from byte 11 over the last
// four digits; the answer request is an empty body with message state 4.
// The host sends its number minus 20; the client answers with its own.
// Main thread only.
#pragma once
#include <cstddef>

#include "periph/interface_box.h"

// Buffers of the executors: text (DISPLAY, TEXT, DATUM field), entry format,
// selection title. A field that does not fit (with its NUL) is refused.
constexpr int TWIP_TEXT_BUFFER = 129;
constexpr int TWIP_FORMAT_BUFFER = 50;
constexpr int TWIP_TITLE_BUFFER = 80;

// One command payload decoded.
struct TwipCommand {
    int type;
    long timeout;       // TOUCH, DATUM, SELEC (seconds)
    int values[5];      // DISPLAY: rows, columns, line, 0, first-line flag; TEXT: its five numbers
    int flush;          // TOUCH
    int row, column;    // DATUM
    int rows, columns;  // SELEC
    int count, itemWidth, firstShown;
    int trailing;       // DISPLAY attribute, SELEC option; -1 when the payload has none
    int textLength;
    char text[TWIP_TEXT_BUFFER];
    int formatLength;
    char format[TWIP_FORMAT_BUFFER];
    int titleLength;
    char title[TWIP_TITLE_BUFFER];
    int itemsLength;
    char items[SAP_PAYLOAD_MAX];
};
// Decodes a payload of size bytes (its own total must lie within them): 0;
// 1 nothing decodes; 16 a text over its buffer or items short of count x
// width; 2 a type without a decoder.
int TWIP_DecodeCommand(int type, const void* payload, size_t size, TwipCommand* out);

// One answer payload decoded: status, then the key or item and the entered
// text by type.
struct TwipAnswer {
    int status;
    int key;  // 255 when the answer has none
    int textLength;
    char text[SAP_ENTRY_SIZE];
};
// The fields decoded (at least the status), or -1; a DATUM text over 80
// characters is not copied (textLength tells).
int TWIP_DecodeAnswer(int type, const void* payload, size_t size, TwipAnswer* out);

// Host side: runs the local rows and sends the remote ones still '1':
// SAP_GenStat.
int TWIP_HostSendScriptCommands(KT_IPERIPH_API* box);
// Runs one local command by the resource's command type: SAP_GenStat.
int TWIP_ExecuteLocalCommand(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
// Executors: 0 done, 16 the executor failed, 1 the answer could not be
// stored or a precondition is missing.
int TWIP_ExecDISPLAY(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
int TWIP_ExecTEXT(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
int TWIP_ExecTOUCH(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
int TWIP_ExecDATUM(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
int TWIP_ExecSELEC(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload);
// Sends one command to the remote side: SAP_GenStat; mesStat gets the
// message state sent.
int TWIP_ServerSendOneCommand(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload, int length, int first,
                              int last, int* mesStat);
// Asks for and stores the remote answers: SAP_GenStat.
int TWIP_ServerGetScriptAnswers(KT_IPERIPH_API* box);
// Receives one answer message (sending the answer request first with the
// flag): SAP_GenStat (1, 32, 33 or 34 on failure).
int TWIP_ServerDealOneAnswer(KT_IPERIPH_API* box, KT_PIRES* resource, int sendRequest, int waitMode,
                             int* mesStat);
// Client side: decodes the received message of the resource's stream: 0, or
// the failure status.
int TWIP_ClientDealOneCommand(KT_IPERIPH_API* box, KT_PIRES* resource, int* length, void* reserved, int* mesStat);
// Sends one answer: the message state sent; -1, -2, -3 on failure.
int TWIP_ClientSendOneAnswer(KT_IPERIPH_API* box, KT_PIRES* resource, const char* payload, int length, int first,
                             int last);
// Sends every stored answer back: SAP_GenStat, 33 on a failed send, -2 nulls.
int TWIP_ClientSendScriptAnswers(KT_IPERIPH_API* box, KT_PIRES* resource);

// The console's dialogue that the executors of the PC console and of the
// spool files run (declared here for the engine; the console builds them).
int KTTD_DisplayLine(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first,
                     int attribute);
int KTTD_PageOutput(ConsoBox* console, KT_TEXT_WINDOW* window, const char* text, int line, int first);
int KTTD_WaitKey(int seconds, int flush, unsigned char* key);
int KTTD_GetEntry(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int row, int column, int width,
                  char* field, const char* format, unsigned char* key);
int TWI_SpoolSystemOut(KT_TEXT_WINDOW* window, const char* format);
const char* TWI_GetLineEnd(const KT_TEXT_WINDOW* window);
