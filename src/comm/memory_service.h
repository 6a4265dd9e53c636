// In-memory transport (network type 1): a server and its clients that reach
// the same named memory block exchange messages through its fixed slots.
//
// The service block "WSN_<service>" (40975 bytes) holds the service state (2
// open, 0 closed), the connection state of slots 1 to 4 (0 free, 1 requested
// by a client, 2 accepted) and two 4096-byte buffers per slot, one each way.
// A buffer holds a state ('0' or NUL empty, '1' a message waits), the length
// as "%05u" and NUL at offset 2, and up to 4088 message bytes from offset 8.
// Handles: 200 the listening service, 200 + slot a server-side connection,
// 100 + slot a client-side connection.
//
// Blocks are private to the process (the private-heap variant of the shared
// blocks); the transport keeps its own register of blocks by name. Server and
// clients run on different threads of one process: the state bytes are read
// with acquire and written with release ordering, the data before its state.
#pragma once
#include <cstdint>

constexpr uint32_t SHNET_BLOCK_SIZE = 40975;
constexpr int SHNET_SLOT_COUNT = 5;
constexpr uint32_t SHNET_BUFFER_SIZE = 4096;
constexpr uint32_t SHNET_MAX_MESSAGE = 4088;
constexpr int32_t SHNET_LISTEN_HANDLE = 200;

// 0 with handle 200; -2 when the service block exists already; -1 when it
// cannot be allocated.
int SHNET_OpenServer(int32_t* handle, const char* service, int backlog);
// 1 with a server-side handle and the slot number as station; 0 when no
// client asked within the time-out; -1 when there is no open service.
int SHNET_Connect(int32_t* handle, int32_t timeoutMs, int32_t* station);
// 0 with a client-side handle; -1 no service block; -2 service not open; -3
// every slot taken; -4 not accepted in time.
int SHNET_OpenClient(int32_t* handle, const char* service, int32_t timeoutMs);
// 1 when a service block is known or found open, 0 when found but not open,
// -2 when not found.
int SHNET_OpenContext();
// Message length (at most the capacity; a longer message keeps its rest for
// the next read), 0 when nothing waits (after 10 ms), -1 on an invalid
// handle, no block or an inconsistent buffer.
int SHNET_Read(int32_t handle, void* buffer, uint32_t capacity, int peek);
// The length written; -1 on an invalid handle, no block, a length above
// 4088, an inconsistent buffer, or when the previous message was not taken
// within 5000 ms.
int SHNET_Write(int32_t handle, const void* message, uint32_t length);
// Frees the slot of a connection, or closes the service: 0; -1 when no block
// is known.
int SHNET_Close(int32_t handle);
