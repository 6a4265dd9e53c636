// TLS transport (network type 4 of the network dispatch): the forwarders that
// the dispatch calls on the current TLS transport object.
//
// Not built yet: no TLS connection can be opened. The opens and the accept
// fail (-1), reads and peeks report a failed link (-2), writes and closes
// fail (-1). Handles are entries of the shared connection table, not sockets.
#pragma once
#include <cstdint>
#include <map>
#include <string>

int32_t OpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments);
int32_t Connect(int32_t listenHandle, int32_t* station);
int32_t OpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                     const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                     const char* sslArguments, const std::map<std::string, std::string>& sslArgumentMap);
int Write(int32_t handle, const void* data, uint32_t length);
int Read(int32_t handle, void* buffer, uint32_t capacity);
int Peek(int32_t handle, void* buffer, uint32_t capacity);
int DisConnect(int32_t handle);
int HardDisConnect(int32_t handle);
