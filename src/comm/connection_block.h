// Connection blocks: what a message box needs to reach its peer (network
// services and hosts, or the phone numbers, addresses and access of a
// connection script), and, once connected, the network context or the
// communication resource that carries the link. Opens a listening network
// service, or a network client connection that falls back to the second
// service and host; closes the link. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t KTM_COMM_TEXT_SIZE = 81;  // 80 characters and a terminator
constexpr int KTM_COMM_SERVER_BACKLOG = 48;
constexpr size_t KTM_COMM_SERVER_NAME_MAX = 45;

// Connection states.
constexpr int32_t KTM_COMM_NOT_CONNECTED = 0;
constexpr int32_t KTM_COMM_NETWORK = 1;
constexpr int32_t KTM_COMM_DIALLED = 2;

struct KTM_COMM {
    int32_t state;
    int32_t appId;
    int32_t ownerPid;
    int32_t resource;  // network context (state 1) or communication resource (state 2)
    char service1[KTM_COMM_TEXT_SIZE];
    char service2[KTM_COMM_TEXT_SIZE];
    char address1[KTM_COMM_TEXT_SIZE];
    char address2[KTM_COMM_TEXT_SIZE];
    char cmplData[KTM_COMM_TEXT_SIZE];  // SSL arguments of a server, or the access user of a dial
    char password[KTM_COMM_TEXT_SIZE];
    char phone1[KTM_COMM_TEXT_SIZE];
    char phone2[KTM_COMM_TEXT_SIZE];
    int32_t connType;  // network type of a network connection
    int32_t handle;    // network connection handle, -1 when none
    int32_t alternate;  // 1 when the second choice carries the link
    int32_t resConnType;
    int32_t lockHandle;
};

// Milliseconds since local midnight: the stamp of a new named block.
int32_t KTM_StampOfDay();

// A new block named "KT_COMM_<app>_<stamp>" (a stamp of -1 is replaced by
// KTM_StampOfDay and returned); with the clear flag every field gets its
// initial value. Null when it cannot be had.
KTM_COMM* KTM_NewCom(int32_t appId, int clear, int32_t* stamp);
// Releases the block: 0.
int KTM_FreeCom(KTM_COMM* com);

// Setters: 0 (-1 with an error line for a null block). The pair setters put
// the first value into the first field and the second value, or a copy of
// the first when the second is missing or empty, into the second field; a
// value longer than 80 characters refuses the call (-1, nothing changed).
int KTM_NetSetConnType(KTM_COMM* com, int32_t type);
int KTM_SetResource(KTM_COMM* com, int32_t resource, int32_t connType);
int KTM_NetSetServices(KTM_COMM* com, const char* first, const char* second);
int KTM_NetSetAddres(KTM_COMM* com, const char* first, const char* second);
int KTM_NetSetPhone(KTM_COMM* com, const char* first, const char* second);
// User and password: each cleared, then copied when given, not empty and at
// most 80 characters.
int KTM_SetAcces(KTM_COMM* com, const char* user, const char* password);
// cmplData cleared, then copied when not empty and at most 80 characters.
int KTM_SetCmplData(KTM_COMM* com, const char* text);

// Opens the listening service: the network context number; -1 bad block or
// service name (empty or longer than 45 characters); -2 no free context; -3
// the service could not be opened (the context is freed).
int KTM_NetOpenServer(KTM_COMM* com);
// Opens a client connection on the first service and host, else on the
// second (alternate 1): the network context number; -1 bad block or a
// missing service or address; -2 no free context or both attempts failed.
int KTM_NetOpenClient(KTM_COMM* com, const char* clientCert, const char* hostCert, int32_t checkCert,
                      int32_t versionSSL, const char* sslArguments, const char* serverNameIndicator);
// Closes the link: a network connection is closed (abortively with the
// hang-up flag, orderly without it), a listening service is closed; a
// dialled link goes through the dial path. 0 (-1 for a null block). The
// network context is freed by the box.
int KTM_CloseCom(KTM_COMM* com, int hangUp);

// ---------------------------------------------------------------------------
// Dial path: connections dialled by the connection script of a communication
// resource (connection_dial.cpp).
// ---------------------------------------------------------------------------

// Dials phone1/address1, then phone2/address2 when they differ: 1 connected,
// 0 both attempts failed, -1 no resource or lock failure.
int ClientComStart(KTM_COMM* com);
// State-2 part of KTM_CloseCom: hang up when asked, close the port, free and
// unlock the resource.
void KTM_CloseDialledLink(KTM_COMM* com, int hangUp);
// Undoes a dial whose box could not be completed: hang up, close the port,
// free and unlock the resource.
void KTM_AbandonDialledLink(KTM_COMM* com);
