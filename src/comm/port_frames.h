// Frames with checksums on a port: PortEmist sends bytes through the port's
// transmitter and closes them with the trailer of a checksum method;
// PortRecest receives one frame with an optional start synchronisation, end
// detection and checksum check, all chosen by one control byte. A resource in
// direct mode sends and receives the bytes raw, with an inactivity time-out.
#pragma once
#include <cstdint>

// Emission methods (add PORT_METHOD_APPEND to add to a buffer the caller
// has started with PortTxCar).
constexpr int PORT_METHOD_NONE = 0;
constexpr int PORT_METHOD_SUM = 1;      // two characters 0x70 + nibble of the sum
constexpr int PORT_METHOD_XOR_FF = 2;   // XOR from 0xFF
constexpr int PORT_METHOD_XOR_00 = 3;   // XOR from 0x00
constexpr int PORT_METHOD_APPEND = 4;

// Reception control byte: method | end << 4 | sync << 6.
constexpr int PORT_END_NONE = 0;
constexpr int PORT_END_ETX = 1;     // ETX, EOT or ETB
constexpr int PORT_END_C1 = 2;      // 0xC1, 0xC2 or 0xC5
constexpr int PORT_END_LENGTH = 3;  // three-digit length after the start
constexpr int PORT_SYNC_NONE = 0;
constexpr int PORT_SYNC_STX = 1;     // STX, EOT, ACK, BEL, NAK or SYN
constexpr int PORT_SYNC_C0 = 2;      // 0xC0, 0xC3, 0xC4 or 0xC5
constexpr int PORT_SYNC_STX_NOBEL = 3;

// Sends the bytes with the trailer of the method: 0 or 'E' / 'P'.
int PortEmist(int port, const void* bytes, uint32_t length, int method);
// Receives one frame into buffer. *length: in, the bytes wanted (and the
// room of the buffer); out, the bytes kept (checksum characters are not
// kept). time: the time of each character read (ms), or in direct mode the
// inactivity time-out in tens of ms. 0 or 'R', 'T', 'P', 'X'.
int PortRecest(int port, void* buffer, uint32_t* length, int control, uint32_t time);
