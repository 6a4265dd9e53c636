// The records the script engine hands the terminal command modules (the
// terminal box and the resource record of a terminal function), the script
// rows of the box that carry the terminal frames, and their constants: what
// the engine (periph/terminal_box.h) and the modules (protocols/<module>/)
// share, so that a module never includes the engine. Main thread only.
#pragma once
#include <cstdint>

struct ConsoBox;
struct KTX_WSERV;
struct KT_XPROT;

constexpr int PAP_ROWS = 10;
constexpr int PAP_ROW_SIZE = 12720;
constexpr int PAP_ROW_HEADER = 19;   // status character through the length digits
constexpr int PAP_FRAME_OFFSET = 15; // the frame within a row
// Largest frame a row holds, and its payload (the answer buffer of the
// command modules: 12700 bytes and a terminator).
constexpr int PAP_FRAME_MAX = PAP_ROW_SIZE - PAP_FRAME_OFFSET;
constexpr int PAP_PAYLOAD_MAX = PAP_FRAME_MAX - 5;
constexpr int PAP_ANSWER_BUFFER = PAP_PAYLOAD_MAX + 1;
constexpr int PAP_RESOURCES = 20;  // regular slots
constexpr int PAP_RELAY_SLOT = 20; // the slot of the server relay
constexpr int PAP_PORTS = 20;
constexpr int PAP_XPRO_SIZE = 101;
constexpr int PAP_WAIT_TEXT = 130;  // buffer of the wait callback

// Transport kinds of a resource.
constexpr int32_t PAP_TRANSPORT_SERIAL = 0;
constexpr int32_t PAP_TRANSPORT_NETWORK = 5;

// Last operation of the box (the DialService character of a resource).
constexpr int32_t PAP_OPERATION_CONTROL = '0';
constexpr int32_t PAP_OPERATION_SET = '2';
constexpr int32_t PAP_OPERATION_READ = '3';

// Row states.
constexpr char PAP_ROW_SET = '1';       // command set / answer expected
constexpr char PAP_ROW_SENT = '2';      // command sent
constexpr char PAP_ROW_ANSWERED = '3';  // answer stored
constexpr char PAP_ROW_READ = '4';      // answer read
// Answer expected on a link whose receive failed: no later answer goes
// there, and reading it reports the link's failure.
constexpr char PAP_ROW_FAILED = 'F';

// MesStat values.
constexpr int32_t PAP_MES_ASK = 0;     // a request for answers (in an answer: none yet)
constexpr int32_t PAP_MES_MORE = 1;    // an answer that further answers follow
constexpr int32_t PAP_MES_FINAL = 2;   // the final answer
constexpr int32_t PAP_MES_FIRST = 10;  // first message of a script, more follow
constexpr int32_t PAP_MES_LAST = 11;   // last message of a script

// Callback that the terminal waits call with a cleared 130-byte buffer; 'S'
// in its first byte asks the wait to stop (PV_PER_RESET).
using EPAP_WaitCallbackFn = void (*)(char* echo);

// Resource record of one terminal function.
struct KT_PERES {
    int32_t inUse;     // active; 0 once a driver change stopped it
    int32_t function;  // 0 to 10 serial, 20 to 30 over the network
    int32_t command;   // operation code being set or read, 0 while answers are received
    int32_t port;      // ResNum: the communication resource
    int32_t transportKind;
    int32_t protocol;
    KTX_WSERV* link;         // client box of the port, shared by the port's resources
    KT_XPROT* linkContext;   // link context of that box; none on the network
    uint8_t answerAnnounced;
    char dialServiceText[17];
    char application[5];
    char appStat[9];
    char kerStat[9];
    int32_t accStat;
    int32_t mesStat;
    char xproAddress[PAP_XPRO_SIZE];
    int32_t keyIndex;
    int32_t dialServiceChar;
    int32_t dialNum;
    // The slot holds a configured device (a stopped one stays configured).
    int32_t configured;
};

// The process-wide terminal peripheral box.
struct KT_EPERIPH_API {
    int32_t resourceId;
    int32_t station;
    char commands[PAP_ROWS][PAP_ROW_SIZE];
    char answers[PAP_ROWS][PAP_ROW_SIZE];
    KT_PERES resources[PAP_RESOURCES + 1];
    char applicationCode[5];
    char dialService[17];
    int32_t sequence;
    int32_t lastOperation;
    int32_t keyIndex;
    int32_t moduleOptions;  // stream encryption of the RUDA link: never set
    unsigned char streamKey[40];
    int32_t appStatus;
    int32_t kernelStatus;
    int32_t accessStatus;
    int32_t transportAdded;
    int32_t lastAnswerCiphered;
    uint8_t selectCardWatch;
    KTX_WSERV* stream;  // message stream of the network resources and the relay
    char netApplication[11];
    EPAP_WaitCallbackFn waitCallback;
    int32_t status;
    int32_t severity;
    char statusText[81];
    int32_t executeMode;
    ConsoBox* console;  // the console the box is bound to (its release frees the box)
};

// Calls the box's wait callback with a cleared buffer of PAP_WAIT_TEXT
// bytes: 1 when it asked to stop ('S' in the first byte), 0 otherwise or
// without a box or callback.
int PAP_WaitCallbackStops(KT_EPERIPH_API* box);
