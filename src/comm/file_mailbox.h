// File-mailbox transport (network type 3): a client and a server that share
// a directory exchange messages through small files.
//
// The directory is the environment variable "BALDIR" ("." when unset). The
// service file (named after the service, 33 bytes) holds a state byte (0
// closed, 1 ready, 2 a client announced itself) and the announcing client's
// name. Each client has a mailbox file named after it (its "HOSTNAME"),
// 2048 bytes, with one message slot: waiting flag, alive flag, two direction
// marks, a 16-bit little-endian length and the message. Each side reads only
// what the other side wrote; the writer waits for the slot to be free, the
// reader frees it. Every read-modify-write of a record holds an exclusive
// lock on the file, so the two parties never interleave inside one.
//
// Handles: low 16 bits the entry in the process's mailbox table (0 the
// listening service, 1 to 49 connections); third byte 1 and fourth byte 2
// for a client's connection, 2 and 1 for a server's accepted connection.
// Files are created with mode 0600.
#pragma once
#include <cstdint>

constexpr int WBAL_TABLE_SIZE = 50;
constexpr int WBAL_PATH_SIZE = 80;
constexpr int WBAL_SERVICE_RECORD_SIZE = 33;
constexpr int WBAL_CLIENT_NAME_MAX = 31;
constexpr int WBAL_MAILBOX_SIZE = 2048;
constexpr int WBAL_SLOT_HEADER_SIZE = 6;
// Largest message: its length must fit the 16-bit field.
constexpr uint32_t WBAL_MAX_MESSAGE = 0xFFFF;

// Makes the listening service: 0 with handle 0, or -1. The three values are
// not used.
int WBalMake(int32_t* handle, const char* service, int unused1, int unused2, int unused3);
// Accepts a client that announced itself within timeoutMs: 0 with the
// connection handle and the client's name, or -1 (handle -1).
int WBalConnect(int32_t* handle, const char* service, int32_t timeoutMs, char* clientName, int32_t nameSize);
// Opens a client connection to the service (mode: no other flags than
// 0x8100): 0 with the connection handle, or -1.
int WBalOpen(int32_t* handle, const char* service, int mode, int32_t timeoutMs);
// The length when written; 0 while the slot still holds a message; -1 when
// the link is closed, the handle invalid or the length above 65535.
int WBalWrite(int32_t handle, const void* message, uint32_t length);
// Bytes read (at most the capacity; a longer message keeps its rest in the
// slot for the next read), 0 when nothing waits for this side, -1 when the
// link is closed or the handle invalid.
int WBalRead(int32_t handle, void* buffer, uint32_t capacity);
// As WBalRead, leaving the message in place.
int WBalPeek(int32_t handle, void* buffer, uint32_t capacity);
// Marks the link (or the service) closed, closes and deletes its file and
// clears its entry: 0, or -1 when the entry cannot be selected.
int WBalDelete(int32_t handle);
// Closes the entry's descriptor; for the service entry also releases the
// mailbox table (closing every connection still open). 0, or -1.
int WBalClose(int32_t handle);

// Selects entry index of the process's table (made first when there is
// none): the index, or -1.
int InitMemoBAL(const char* service, int index);
// Stores the path in the selected entry, or with search first selects a free
// connection entry (empty, or the same path with no open file): the index,
// or -1.
int SetMemoBAL(const char* path, int search);
