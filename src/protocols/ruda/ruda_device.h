// RUDA device control, keys and security: resetting the terminal and
// reading its serial number (152, 102), terminal files (91, 92), data
// objects (172, 173), the clock (176), a request without data (174), the
// security configuration (96), the key slots (97), the SRED status (190),
// RSA key generation and mutual authentication (191, 192, 196), the
// key-exchange check (197) and a security command with data (186).
//
// Arguments the set reads after the operation code, and those the get reads:
//   152/102 set: int first, int second      get: char* serial-number text (or null)
//   91      set: const TermFileRecord*      get: uint32_t* size, uint8_t* second (8 bytes), int32_t* found
//   92      set: const char* name, int selector   get: char* buffer (256 bytes)
//   172     set: int tag, const uint8_t* data, int length   get: none
//   173     set: int tag                    get: unsigned char* buffer, int32_t* size (in: room, out: copied)
//   174     set: none                       get: none (not decoded)
//   176     set: const TermFileRecord* (its name: the date and time text)   get: none
//   96      set: const char* text           get: uint8_t* record (3 bytes)
//   97      set: const char* text           get: KeySlot* first, int32_t* count, int32_t* flag (or null)
//   190     set: none                       get: SredStatus*
//   191     set: int value                  get: unsigned char* buffer, int capacity, int32_t* length
//   192     set: int flag, const AuthRecord*, int p1   get: AuthAnswer*
//   196     set: int p1, const uint8_t* first, const uint8_t* second (256 bytes each)   get: none
//   197     set: none                       get: int32_t* flag
//   186     set: const char* hex, const char* text   get: char* buffer, int32_t* length, int capacity
#pragma once
#include <cstdarg>

#include "protocols/terminal_info.h"

// Operation 152 (first, second: D0 00 first second) and 102 (D0 0A first
// second with E0 { DFED0D = 07 00 }). 1 built (*apdu allocated with WAlloc),
// 0 not built.
int RUDA_BuildResetDeviceRequest(int operation, int first, int second, unsigned char** apdu, int* length);

// The answer of 152 or 102. A status word other than 9000 gives 1. With a
// serial-number buffer, the terminal's serial number 9F1E is copied over the
// buffer's current text, at most as many characters as that text has, and
// the text ends after the copy. 0 otherwise.
int RUDA_DealResetDeviceAnswer(int operation, const unsigned char* answer, int length, char* serial);

// 1 built, 0 none, -1 refused (a security command whose first text is not
// an even count of hexadecimal digits).
int RUDA_BuildDeviceRequest(int code, va_list args, unsigned char** apdu, int* length);
int RUDA_DealDeviceAnswer(int code, const unsigned char* answer, int length, va_list args);

int RUDA_DealGetADEkeysAnswer(const unsigned char* answer, int length, KeySlot* first, int32_t* count,
                              int32_t* flag);
int RUDA_DealGetSredStatusAnswer(const unsigned char* answer, int length, SredStatus* status);
int RUDA_DealCheckEncryption(const unsigned char* answer, int length, int32_t* flag);
