// Link context shared by the terminal links, and the XPRO descriptor that
// travels between the terminal script engine and a link.
//
// A link context (KT_XPROT) is made by the open callback of a link when its
// message block starts, handed to every send, receive and mapping callback,
// and freed by the close callback. The descriptor is slash-separated text:
// "XPRO/" then ten fields each closed by '/': DialService (mode), DialNum
// (exchange number), Application, DialService text (link name), ResNum
// (port), KeyIndex, KerStat, AppStat, AccStat, MesStat (exchange status).
// The engine writes it into rubrique 'S' of each request; the link reads it
// when it opens and when it maps a request, and writes its own back into
// rubrique 'S' of the answer. Main thread only.
#pragma once
#include <cstdint>

struct KTM_WPRO;
struct KTX_WSERV;

constexpr int XPRO_FRAME_SIZE = 8193;
constexpr int XPRO_STEP_TEXT_SIZE = 81;
constexpr int XPRO_LINK_NAME_MAX = 16;
constexpr int XPRO_APPLICATION_MAX = 4;
constexpr int XPRO_LABEL_MAX = 8;
constexpr int XPRO_NET_APPLICATION_SIZE = 11;
constexpr int XPRO_FIELD_SEARCH = 80;  // a field's '/' is searched this far
constexpr int XPRO_FIELD_COUNT = 10;
// Largest terminal payload a link carries (the answer buffer of the command
// modules holds 12700 bytes and a terminator).
constexpr int XPRO_PAYLOAD_MAX = 12700;

// Phases of a link.
constexpr int32_t XPRO_PHASE_IDLE = 10;
constexpr int32_t XPRO_PHASE_SENDING = 13;
constexpr int32_t XPRO_PHASE_RECEIVING = 14;
// Phases of the XA link only: opening to send or to receive, closing as
// responder or initiator, sender paused (SYN), waiting for the resume (BEL).
constexpr int32_t XPRO_PHASE_OPENING_SEND = 11;
constexpr int32_t XPRO_PHASE_OPENING_RECEIVE = 12;
constexpr int32_t XPRO_PHASE_CLOSING_RESPONDER = 15;
constexpr int32_t XPRO_PHASE_CLOSING_INITIATOR = 16;
constexpr int32_t XPRO_PHASE_PAUSED = 17;
constexpr int32_t XPRO_PHASE_WAITING_BEL = 19;

struct KT_XPARTY {
    int32_t direction;
    int32_t exchangeNumber;  // remainder by 256, sign kept
    char appStat[XPRO_LABEL_MAX + 1];
    char kerStat[XPRO_LABEL_MAX + 1];
    int32_t accStat;
};

struct KT_XPROT {
    int32_t timeouts[7];  // t0 to t6, milliseconds
    unsigned char sendFrame[XPRO_FRAME_SIZE];
    unsigned char receiveFrame[XPRO_FRAME_SIZE];
    char stepText[XPRO_STEP_TEXT_SIZE];
    uint8_t side;  // 1 own (host) block, 2 terminal block
    char linkName[XPRO_LINK_NAME_MAX + 1];
    char application[XPRO_APPLICATION_MAX + 1];
    int32_t keyIndex;
    int32_t mode;
    KT_XPARTY party[2];  // [0] host, [1] terminal
    int32_t status;      // MesStat: 0 at creation, -1 during an exchange, 2 after a good one
    uint8_t sequence2;
    uint8_t sequence1;
    int32_t phase;
    int32_t frameKind;
    int32_t byteTimeout;
    int32_t stepLetter;
    int32_t port;
    int32_t flags;
    uint8_t expectBareAck;
    char netApplication[XPRO_NET_APPLICATION_SIZE];
    // 1 while receiveFrame[0] holds a byte that a wait took off the line
    // ahead of the next receive (xpro_control.h).
    uint8_t held;
};

// Default time-outs: of a new context, and of a RUDA context (also what
// XPRO_SetTimeOuts takes for -2).
extern const int32_t XPRO_CREATION_TIMEOUTS[7];
extern const int32_t XPRO_RUDA_TIMEOUTS[7];

// ---------------------------------------------------------------------------
// Descriptor text
// ---------------------------------------------------------------------------

// The ten fields of a descriptor, each as it stands (at most 80
// characters).
struct XPRO_FIELDS {
    char field[XPRO_FIELD_COUNT][XPRO_FIELD_SEARCH + 1];
};

// Splits a descriptor: the text up to the first '/' (searched within 80
// characters) must read "XPRO" in any case; each field runs to the next '/'
// within 80 characters of its start, or is those 80 characters and the next
// one begins 81 characters further on. The reading never passes the text's
// end. 1 with the ten fields; 0 when the text is missing, does not begin
// with "XPRO" or ends before its tenth field is closed.
int XPRO_SplitDescriptor(const char* text, XPRO_FIELDS* fields);

// ---------------------------------------------------------------------------
// Creation and accessors (each 1, or -1 without a context; the ones of a
// side also -1 when the side is neither 1 nor 2)
// ---------------------------------------------------------------------------

// A new zeroed context with the creation defaults: link name and
// application code of '0' characters, labels "________", AccStat 100 on
// both sides, network application "1210", side 1, phase 10, the given mode,
// then the link name and application code when given, and the port. Null
// when memory fails.
KT_XPROT* XPRO_NewXProt(int mode, const char* application, const char* linkName, int port);
// Close callback of the links: frees the context (nothing for null).
void XA_LinkClose(void* context);

int XPRO_SetStatus(KT_XPROT* ctx, int value);
int XPRO_GetStatus(const KT_XPROT* ctx);
int XPRO_SetPort(KT_XPROT* ctx, int port);
int XPRO_SetSide(KT_XPROT* ctx, int side);
// Copies at most 16 (link name) or 4 (application) characters of the text,
// stopping at its end; the rest of the field stays NUL.
int XPRO_SetLinkName(KT_XPROT* ctx, const char* text);
int XPRO_SetApplication(KT_XPROT* ctx, const char* text);
int XPRO_SetKeyIndex(KT_XPROT* ctx, int value);
int XPRO_SetMode(KT_XPROT* ctx, int value);
int XPRO_SetDirection(KT_XPROT* ctx, int kind);
int XPRO_SetExchangeNumber(KT_XPROT* ctx, int value);
int XPRO_GetExchangeNumber(const KT_XPROT* ctx);
// A label of more than 8 characters leaves the field empty: -1.
int XPRO_SetAppStat(KT_XPROT* ctx, const char* text);
int XPRO_SetKerStat(KT_XPROT* ctx, const char* text);
int XPRO_SetAccStat(KT_XPROT* ctx, int value);
int XPRO_ResetSequence(KT_XPROT* ctx);
// The context, or null without one.
KT_XPROT* XPRO_NextSequence(KT_XPROT* ctx);
// Frame kind: 0, or -1 without a context.
int XPRO_SetStep(KT_XPROT* ctx, int letter);
int XPRO_ClearStepLabels(KT_XPROT* ctx);
// Time-outs of the link context of a message box: a value of 0 or more is
// stored, -2 takes the RUDA default of that time-out, other negative values
// keep the current one. -1 when the box has no link context, else 1.
int XPRO_SetTimeOuts(KTX_WSERV* box, int t0, int t1, int t2, int t3, int t4, int t5, int t6);

// ---------------------------------------------------------------------------
// Step labels
// ---------------------------------------------------------------------------

// The 8-character label of a step letter ("_X_TIME_" for 'T' ...), or null
// for a letter without one ('L', 0 and any letter not in the table).
const char* XPRO_StepLabel(int letter);
// The step namers of the links: the label of the context's step letter into
// AppStat ('S') or KerStat (others) of party block 1 (of the current side
// for XA_SetStepName), and the step text "[<name>():<label>:-Step=<letter>-
// App=<application>]". 1 when the letter has a label; 0 with the step text
// cleared when not; -1 without a context.
int P21_Transport(KT_XPROT* ctx);
int XAS_SetStepName(KT_XPROT* ctx);
int XA_SetStepName(KT_XPROT* ctx);
int RUDA_Transport(KT_XPROT* ctx);

// ---------------------------------------------------------------------------
// Link callbacks shared by the P21, simple-frame and RUDA links
// ---------------------------------------------------------------------------

// Open callback: a context from fields 1 to 9 of a descriptor (field 6 is
// skipped), or null when the text is not a whole descriptor.
void* XAS_LinkOpen(const char* description);
// Fields 1 to 4 and 6 to 10 of a request descriptor into the context (the
// port, field 5, stays the one opened).
void XPRO_MapRequestFields(KT_XPROT* ctx, const XPRO_FIELDS& fields);
// Request mapping: the network application from rubrique 'A' (when not
// empty), the fields of rubrique 'S' (the port stays the one opened), then
// the request body into the block's send area. The body's length, or -1
// (no context, no request, a descriptor that is not whole, or a body over
// the terminal payload or the send area, refused before any copy).
int XAS_LinkRequest(KTM_WPRO* block);
// Answer mapping: the network application into rubrique 'A', the answer
// descriptor into rubrique 'S', the received bytes into rubrique 'M'. The
// answer's length, or -1.
int XAS_LinkStatus(KTM_WPRO* block);
// The answer descriptor of a context into out (room of at least 1025
// bytes): its length.
int XPRO_WriteDescriptor(const KT_XPROT* ctx, char* out, int room);
