// Least behaviour of the TLS forwarders: no TLS link exists.
#include "comm/tls_transport.h"

int32_t OpenServerEx(const char*, int, int8_t, const char*) { return -1; }
int32_t Connect(int32_t, int32_t* station) {
    if (station != nullptr) *station = -1;
    return -1;
}
int32_t OpenClientEx(const char*, const char*, int32_t, const char*, const char*, int32_t, int32_t, const char*,
                     const char*, const std::map<std::string, std::string>&) {
    return -1;
}
int Write(int32_t, const void*, uint32_t) { return -1; }
int Read(int32_t, void*, uint32_t) { return -2; }
int Peek(int32_t, void*, uint32_t) { return -2; }
int DisConnect(int32_t) { return -1; }
int HardDisConnect(int32_t) { return -1; }
