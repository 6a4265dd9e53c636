// Port API: the byte-level use of a communication resource (a "port" is a
// resource number): open and close, the four line-parameter digits
// ("VPSL"), single characters read within a time, one buffered transmitter
// flushed at the port's transmit size and paced by its transmit delay, queue
// counts, output drain, input purges that watch for the PAD clear sequence,
// DTR and flow control. Works through the resource entry points, so serial
// and IP links behave alike. Main thread only.
#pragma once
#include <cstdint>

struct ComResource;

// Results of the character-level operations.
constexpr int PORT_DONE = 0;
constexpr int PORT_EMISSION = 'E';  // emission error, or unknown port for the VPSL operations
constexpr int PORT_CARRIER = 'P';   // carrier lost, read failure, PAD clear sequence seen
constexpr int PORT_TIMEOUT = 'T';   // time-out, or a control call failed
constexpr int PORT_RECEPTION = 'R'; // unknown port on reception
constexpr int PORT_CHECKSUM = 'X';  // checksum mismatch

// Transmitter modes of PortTxCar.
constexpr int PORT_TX_NEW = 0;
constexpr int PORT_TX_APPEND = 1;
constexpr int PORT_TX_APPEND_SEND = 2;
constexpr int PORT_TX_NEW_SEND = 3;
constexpr int PORT_TX_BUFFER_SIZE = 4096;

// Flow-control modes.
constexpr int PORT_FLOW_NONE = 0;
constexpr int PORT_FLOW_CTS = 1;
constexpr int PORT_FLOW_RTS_TOGGLE = 16;
constexpr int PORT_FLOW_RTS_CTS_DSR = 17;

int PortOpen(int port);
int PortClose(int port);
int GetVPSL(int port, char* text);
// Stores the four digits ('?' keeps one) once all four are valid: 0; -1 a
// wrong text (nothing stored); 69 unknown port.
int InitVPSL(int port, const char* text);
int PortVPSL(int port, const char* text);
int PortRxCar(int port, unsigned char* buffer, int timeMs);
// Up to room bytes of what the line holds, waiting at most timeMs for the
// first one: 0 with *got (1 or more) bytes read, 'P' carrier lost or read
// failure, 'T' nothing came in time. Framed receptions read a known count of
// bytes with it, so a block costs one wait and one read instead of one per
// byte.
int PortRxBlock(int port, unsigned char* buffer, int room, int timeMs, int* got);
int PortTxCar(int port, unsigned char byte, int mode);
int PortFlush(int port, int send);
int PortRxTrame(int port, void* buffer, int size);
int PortQueueStatus(int port, int* output, int* input);
int PortWaitTxEmpty(int port, int seconds);
int PortPurgeRx(int port, int seconds);
// Drains the input until the time is up (never longer, however many bytes
// keep coming): 1 when the PAD clear sequence was seen, else 0.
int PortDrainRx(int port, int seconds);
int PortWaitMute(int port, int intervalMs, int seconds);
int PortRaiseDTR(int port);
int PortSetFlowControl(int port, int mode);
int SeqLibPad(unsigned char byte);
ComResource* PortSetCarrierCheck(int port, int value);
int PortGetCarrierCheck(int port);
int PortGetTxSize(int port);
int PortTxDelay(int port, int count);

// For tests: bytes held by the transmitter, and the PAD detector put back
// to its first state.
int PortTxPending();
void SeqLibPadReset();
