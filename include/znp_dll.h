/* Client library of the card-payment middleware: the cash-register side of
 * the link with the console program trv_71.
 *
 * Instance functions return 0 when done, 1 program not running or not
 * started, 2 bad argument or buffer too small, 3 unusable message, 5 busy or
 * not acknowledged, 7 no message, 8 error or instance not found;
 * SZelApiSendMessage otherwise returns the program's acknowledgement code.
 * Tag functions return 1 when done, -1 on failure. Functions without an
 * instance id act on the default instance (the last one opened). */
#ifndef ZNP_DLL_H
#define ZNP_DLL_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZNP_DLL_API __attribute__((visibility("default")))
#else
#define ZNP_DLL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

ZNP_DLL_API int SZelApiOpen(uint32_t* instanceId, uint32_t reserved1, uint32_t eventLevel, uint32_t reserved2,
                uint32_t logSwitch, const char* logFileName, uint32_t logSizeKb, uint32_t posNumber,
                uint32_t languageCode, const char* clientPath, uint32_t echoLevel, uint32_t uxTimeOut,
                uint32_t offlineLevel, const char* serverPath, uint32_t encryptionLevel, const char* backupPath,
                uint32_t backupDelay);
ZNP_DLL_API int SZelApiClose(uint32_t instanceId, uint32_t reserved);
/* message: a tag message in a buffer of *capacity bytes; SS "R" and, when
 * missing, PS are added to it in place. */
ZNP_DLL_API int SZelApiSendMessage(uint32_t instanceId, const char* service, char* message, const uint32_t* capacity);
ZNP_DLL_API int SZelApiWaitSynchro(uint32_t instanceId, uint32_t timeoutMs);
/* service: at least 4 bytes. *capacity: in, the message buffer's size in
 * bytes (terminator included); out, the length of the message copied. */
ZNP_DLL_API int SZelApiGetMessage(uint32_t instanceId, char* service, char* message, uint32_t* capacity);

ZNP_DLL_API int ATAG_WriteInit(char* buffer, uint32_t capacity);
ZNP_DLL_API int ATAG_SetStringVal(const char* code, const char* value);
ZNP_DLL_API int ATAG_SetStringValHEX(const char* code, const unsigned char* bytes, uint32_t count);
ZNP_DLL_API int ATAG_GetWriteBuf(char* destination);
ZNP_DLL_API int ATAG_ReadInit(const char* text, uint32_t length);
/* destination: room for the longest value of the message (at most 10240
 * characters and the terminator). */
ZNP_DLL_API int ATAG_GetStringVal(const char* code, char* destination, int32_t fromStart);
/* *count: in, the destination's capacity in bytes; out, bytes decoded. */
ZNP_DLL_API int ATAG_GetStringValHEX(const char* code, unsigned char* destination, uint32_t* count, int32_t fromStart);

ZNP_DLL_API int ATAG_WriteInitForInstance(uint32_t instanceId, char* buffer, uint32_t capacity);
ZNP_DLL_API int ATAG_SetStringValForInstance(uint32_t instanceId, const char* code, const char* value);
ZNP_DLL_API int ATAG_SetStringValHEXForInstance(uint32_t instanceId, const char* code, const unsigned char* bytes,
                                    uint32_t count);
ZNP_DLL_API int ATAG_GetWriteBufForInstance(uint32_t instanceId, char* destination);
ZNP_DLL_API int ATAG_ReadInitForInstance(uint32_t instanceId, const char* text, uint32_t length);
ZNP_DLL_API int ATAG_GetStringValForInstance(uint32_t instanceId, const char* code, char* destination, int32_t fromStart);
ZNP_DLL_API int ATAG_GetStringValHEXForInstance(uint32_t instanceId, const char* code, unsigned char* destination,
                                    uint32_t* count, int32_t fromStart);

#ifdef __cplusplus
}
#endif

#endif /* ZNP_DLL_H */
