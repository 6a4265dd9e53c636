/* A client of every export of the installed library, built from the
 * installed header alone with -Wall -Wextra -pedantic -Werror, as C and as
 * C++ (all_exports.cpp includes this file). Linking it proves every
 * declaration reaches the library under its C name; running it checks the
 * calls that need no program: refusals of bad arguments and unknown
 * instances, and a tag message written and read back through the default
 * instance. Exit code 0 when every check held; otherwise the failed check is
 * printed. */
#include <stdio.h>
#include <string.h>

#include "znp_dll.h"

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                           \
        }                                                                       \
    } while (0)

static char buffer[ZNP_DLL_MESSAGE_SIZE];
static char text[ZNP_DLL_MESSAGE_SIZE];
static char value[ZNP_DLL_MESSAGE_SIZE];

int main(void) {
    const unsigned char bytes[4] = {0x0a, 0x1b, 0xc2, 0xff};
    unsigned char decoded[4];
    uint32_t count = 0;
    uint32_t id = 5;
    uint32_t capacity = sizeof buffer;
    const uint32_t sendCapacity = sizeof buffer;
    const uint32_t unknown = 998;
    char service[4];
    char version[32];

    /* The version macros agree with each other. */
    sprintf(version, "%d.%d.%d", ZNP_DLL_VERSION_MAJOR, ZNP_DLL_VERSION_MINOR, ZNP_DLL_VERSION_PATCH);
    CHECK(strcmp(version, ZNP_DLL_VERSION) == 0);
    CHECK(ZNP_DLL_VERSION_NUMBER ==
          ZNP_DLL_VERSION_MAJOR * 10000 + ZNP_DLL_VERSION_MINOR * 100 + ZNP_DLL_VERSION_PATCH);

    /* Openings refused before anything is started: a POS number outside
     * 1..999, and no place for the instance id. */
    CHECK(SZelApiOpen(&id, 0, 0, 0, 0, "", 0, 0, 0, "/", 0, 0, 0, "", 0, "", 0) == 8);
    CHECK(SZelApiOpen(&id, 0, 0, 0, 0, "", 0, 1000, 0, "/", 0, 0, 0, "", 0, "", 0) == 8);
    CHECK(SZelApiOpen(NULL, 0, 0, 0, 0, "", 0, 1, 0, "/", 0, 0, 0, "", 0, "", 0) == 1);

    /* Calls on an instance that does not exist. */
    strcpy(buffer, "{SV}s12{CD}c25{F}");
    CHECK(SZelApiSendMessage(unknown, "s12", buffer, &sendCapacity) == 8);
    CHECK(SZelApiWaitSynchro(unknown, 0) == 8);
    CHECK(SZelApiGetMessage(unknown, service, buffer, &capacity) == 8);
    CHECK(SZelApiClose(unknown, 0) == 8);
    CHECK(ATAG_WriteInitForInstance(unknown, buffer, sizeof buffer) == -1);
    CHECK(ATAG_SetStringValForInstance(unknown, "SV", "s12") == -1);
    CHECK(ATAG_SetStringValHEXForInstance(unknown, "D99", bytes, sizeof bytes) == -1);
    CHECK(ATAG_GetWriteBufForInstance(unknown, text) == -1);
    CHECK(ATAG_ReadInitForInstance(unknown, buffer, sizeof buffer) == -1);
    CHECK(ATAG_GetStringValForInstance(unknown, "SV", value, 1) == -1);
    count = sizeof decoded;
    CHECK(ATAG_GetStringValHEXForInstance(unknown, "D99", decoded, &count, 1) == -1);

    /* A message written and read back through the default instance. */
    CHECK(ATAG_WriteInit(buffer, sizeof buffer) == 1);
    CHECK(ATAG_SetStringVal("SV", "s12") == 1);
    CHECK(ATAG_SetStringVal("CD", "c25") == 1);
    CHECK(ATAG_SetStringValHEX("D99", bytes, sizeof bytes) == 1);
    CHECK(ATAG_SetStringVal("ED", "a{b") == -1); /* a value never holds "{" */
    CHECK(ATAG_SetStringVal("", "x") == -1);
    CHECK(ATAG_GetWriteBuf(text) == 1);
    CHECK(strcmp(text, "{SV}s12{CD}c25{D99}0a1bc2ff{F}") == 0);

    CHECK(ATAG_ReadInit(text, (uint32_t)strlen(text) + 1) == 1);
    CHECK(ATAG_GetStringVal("CD", value, 1) == 1);
    CHECK(strcmp(value, "c25") == 0);
    CHECK(ATAG_GetStringVal("SV", value, 1) == 1);
    CHECK(strcmp(value, "s12") == 0);
    CHECK(ATAG_GetStringVal("SV", value, 0) == -1); /* no second SV */
    CHECK(ATAG_GetStringVal("RS", value, 1) == -1);
    count = 3;
    CHECK(ATAG_GetStringValHEX("D99", decoded, &count, 1) == -1); /* 8 digits do not fit 3 bytes */
    count = sizeof decoded;
    CHECK(ATAG_GetStringValHEX("D99", decoded, &count, 1) == 1);
    CHECK(count == 4);
    CHECK(memcmp(decoded, bytes, sizeof bytes) == 0);
    return 0;
}
