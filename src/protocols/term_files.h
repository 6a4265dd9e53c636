// Records of the terminal file operations that a caller hands the terminal
// script engine (select, write, stream upload).
#pragma once
#include <cstdint>

// A file by its name; for the select (153) also a pointer to its P1 byte
// (null: 5).
struct TermFileRecord {
    const char* name;
    const uint8_t* p1;
};

// A piece of a file at an offset (154): 24 bits of the offset are sent.
struct TermWriteRecord {
    uint32_t offset;
    int32_t length;
    const uint8_t* data;
};

// A streamed upload's announcement (157): selector 1 or other, file name,
// size (null: missing).
struct TermStreamRecord {
    int32_t selector;
    const char* name;
    const uint32_t* size;
};

// Room of the log-dump file name (193): 400 characters and a NUL.
constexpr int kTermDumpNameMax = 400;
