// Message boxes: the unit of message exchange with a remote party, a payment
// server over the network (type 1) or a terminal over a link that the
// script services drive (type 2).
//
// A box (KTX_WSERV) carries a connection block (KTM_COMM) and a message
// block (KTM_WPRO). The message block holds a request half and an answer
// half, each of five rubriques K, S, U, A and M. The caller fills the request
// half; the box turns it into one frame and hands it to the transport; a
// received frame is decoded back into the answer half. Boxes keep no
// correlation between a request and its answer: a receive returns whatever
// frame comes next, routed by the caller on the A rubrique, "9999" for a
// lost link, or null when nothing arrived.
//
// The NET frame of a network box: the length-prefixed header, then "<K>" K
// "<F>", "<S>" S "<F>", "<U>" U "<F>", "<A>" A "<F>" for each rubrique that
// is not empty, then "<M>" and the body, scrambled with the key numbered by
// K, when the body is not empty. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

struct KTM_COMM;

// Longest value of each rubrique (each field holds one more byte for the
// terminator).
constexpr size_t KTM_K_MAX = 128;
constexpr size_t KTM_S_MAX = 1024;
constexpr size_t KTM_U_MAX = 32;
constexpr size_t KTM_A_MAX = 10;
constexpr size_t KTM_M_MAX = 38144;
// Wire buffer of a message block.
constexpr uint32_t KTM_FRAME_SIZE = 65536;

constexpr int32_t KTM_BOX_NONE = 0;
constexpr int32_t KTM_BOX_NET = 1;
constexpr int32_t KTM_BOX_COM = 2;

// Send time-outs handed to TransSend.
constexpr int32_t KTM_NET_SEND_TIMEOUT_MS = 1000;
constexpr int32_t KTM_COM_SEND_TIMEOUT_MS = 2000;

// One half of a message block.
struct KTM_HALF {
    char K[KTM_K_MAX + 1];
    char S[KTM_S_MAX + 1];
    char U[KTM_U_MAX + 1];
    char A[KTM_A_MAX + 1];
    uint8_t M[KTM_M_MAX];
    uint32_t totalLength;  // last frame built from (header included) or decoded into (header excluded) it
    uint32_t mLength;      // bytes in M
};

struct KTM_WPRO;

// Transport callbacks of a message block.
using KTM_TransOpenFn = void* (*)(const char* description);
using KTM_TransSendFn = int (*)(void* transport, void* frame, uint32_t length, int32_t timeoutMs, int32_t lastMode);
using KTM_TransRecvFn = int (*)(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs,
                                int32_t waitMode);
using KTM_TransCloseFn = void (*)(void* transport);
using KTM_MapRequestFn = int (*)(KTM_WPRO* block);
using KTM_MapAnswerFn = int (*)(KTM_WPRO* block);

struct KTM_WPRO {
    int32_t BoxType;
    int32_t appId;
    int32_t ownerPid;
    int32_t id;       // network context (type 1) or communication resource (type 2)
    void* TransBox;   // type 1: the connection block's handle; type 2: what TransOpen returned
    KTM_TransOpenFn TransOpen;
    KTM_TransSendFn TransSend;
    KTM_TransRecvFn TransRecv;
    KTM_TransCloseFn TransClose;
    KTM_MapRequestFn MapRequest;
    KTM_MapAnswerFn MapAnswer;
    uint8_t frame[KTM_FRAME_SIZE + 1];
    uint32_t LMes;
    KTM_HALF* request;
    KTM_HALF* answer;
    int32_t timeOut;
    int32_t waitMode;
    int32_t lastMode;
};

// ---------------------------------------------------------------------------
// Message block
// ---------------------------------------------------------------------------

// A new block whose two halves are one block named "KT_PRO<app>_<stamp>" (a
// stamp of -1 is replaced by the milliseconds since local midnight and
// returned). An initial frame is copied into the frame buffer and its length
// kept as the answer half's totalLength. Null when it cannot be had.
KTM_WPRO* KTM_NewMess(int32_t appId, int clear, const void* initialFrame, uint32_t length, int32_t* stamp);
// Closes the transport of a type-2 block, then releases everything: 0.
int KTM_FreeMess(KTM_WPRO* block);
int KTM_BindTransportProtocol(KTM_WPRO* block, KTM_TransOpenFn open, KTM_TransCloseFn close,
                              KTM_TransSendFn send, KTM_TransRecvFn recv, KTM_MapRequestFn mapRequest,
                              KTM_MapAnswerFn mapAnswer);
int KTM_SetTimeOut(KTM_WPRO* block, long milliseconds);
int KTM_SetWaitMode(KTM_WPRO* block, int32_t value);
int KTM_SetLastMode(KTM_WPRO* block, int32_t value);
// Rubrique of the request half (letters in either case): mode 1 replaces it
// (M then holds the value as text), any other mode appends ":" and the value
// to a rubrique that is not empty. A value that does not fit its rubrique is
// refused. The rubrique's length, or -1.
int KTM_PutNextArg(KTM_WPRO* block, char letter, const char* value, int mode);
// Same; 0 when done, -1 otherwise.
int KTM_PutArg(KTM_WPRO* block, char letter, const char* value, int mode);
// Rubrique of the answer half (M: its bytes), or null.
const char* KTM_GetRubrique(KTM_WPRO* block, char letter);
uint8_t* KTM_GetRequestMessage(KTM_WPRO* block);
uint8_t* KTM_GetAnswerMessage(KTM_WPRO* block);

// Frame building and decoding.
// NET frame of the request half into the frame buffer: its length, or -1.
int NET_MAP_Request(KTM_WPRO* block);
// Decodes a received NET frame of length n into the answer half, which is
// cleared first: every rubrique comes from this frame alone. mLength; -1 no
// block, no answer half or too short; -2 too long (frame or a rubrique); -3
// K or A without its "<F>"; -4 S without it; -5 U without it. A refused
// frame leaves the answer half empty.
int NET_MapAnswer(KTM_WPRO* block, uint32_t n);
int COM_MAP_Request(KTM_WPRO* block);
int COM_MapAnswer(KTM_WPRO* block, uint32_t n);
int KTM_MapAnswer(KTM_WPRO* block, uint32_t n);

// Builds and sends the request: bytes sent, -1 on failure, 0 for a null block.
int KTM_SomeThingToSend(KTM_WPRO* block);
// Receives the next frame: the answer's A rubrique, "9999" when the link
// failed, null when nothing arrived in time.
const char* KTM_SomeThingReceived(KTM_WPRO* block, uint32_t* receivedLength);

// ---------------------------------------------------------------------------
// Boxes
// ---------------------------------------------------------------------------

struct KTX_WSERV {
    int32_t appId;
    int32_t comStamp;
    KTM_COMM* com;
    int32_t messStamp;
    KTM_WPRO* mess;
};

struct KTX_WSERV_CAPS;
using KTX_CapsReceiveFn = const char* (*)(KTX_WSERV_CAPS* caps, int32_t waitMode);
using KTX_CapsSendFn = int (*)(KTX_WSERV_CAPS* caps, int32_t lastMode);

struct KTX_WSERV_CAPS {
    KTX_WSERV* box;
    KTX_CapsReceiveFn receive;
    KTX_CapsSendFn send;
};

// A server box (no connection or message block yet), or null.
KTX_WSERV* KTX_NewBox(int32_t appId, int32_t kind);
// Opens the listening service of a server box: the network context number,
// or a negative value (the box keeps no connection block then).
int KTX_ServerNetStart(KTX_WSERV* box, int32_t serviceIndex, int32_t netType, const char* serviceName,
                       const char* cmplData);
// Frees the message block, closes the link (abortively with the hang-up
// flag), frees the network context and the connection block, releases the
// box: 0 (-1 for null).
int KTX_FreeBox(KTX_WSERV* box, int hangUp);
KTX_WSERV* KTX_NewClientBox(int32_t appId, int32_t clone);
// Opens a network client box: the network context number; -1 connection
// failed; -3 no message block. A failed start leaves no connection block,
// context or socket behind.
int KTX_ClientNetStart(KTX_WSERV* box, int32_t netType, const char* service1, const char* service2,
                       const char* host1, const char* host2, const char* clientCert, const char* hostCert,
                       int32_t checkCert, int32_t versionSSL, const char* sslArguments,
                       const char* serverNameIndicator);
// Opens a terminal-link box over a dialled communication resource: the
// resource number, or -1, -2, -3, -4.
int KTX_ClientComStart(KTX_WSERV* box, int32_t resource, int32_t connType, const char* phone1, const char* phone2,
                       const char* address1, const char* address2, const char* user, const char* password,
                       KTM_TransOpenFn open, KTM_TransCloseFn close, KTM_TransSendFn send, KTM_TransRecvFn recv,
                       KTM_MapRequestFn mapRequest, KTM_MapAnswerFn mapAnswer);
// Process-wide transport description handed to TransOpen: 1 for a text of 1
// to 1024 characters, else -1 with the description emptied.
int KTX_SetTransDescription(const char* text);
const char* KTX_GetTransDescription();
int KTX_SetTimeOutAndModes(KTX_WSERV* box, long timeOut, int32_t waitMode, int32_t lastMode);
int KTX_SomeThingToSend(KTM_WPRO* block, int32_t lastMode);
const char* KTX_SomeThingReceived(KTM_WPRO* block, int32_t waitMode);
// Closes a client box: frees its message block, closes the link, frees the
// network context and the connection block, releases the box: 0 (-1 null).
int KTX_ClientDisconnect(KTX_WSERV* box, int hangUp);
int KTX_CloseClientBox(KTX_WSERV* box, int hangUp);
KTX_WSERV_CAPS* KTX_WSERV_NewCaps(KTX_WSERV* box);
int KTX_WSERV_FreeCaps(KTX_WSERV_CAPS* caps);
const char* KTX_CapsSomeThingReceived(KTX_WSERV_CAPS* caps, int32_t waitMode);
int KTX_CapsSomeThingToSend(KTX_WSERV_CAPS* caps, int32_t lastMode);
