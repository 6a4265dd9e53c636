/* znp_dll.h - client library of the card-payment middleware (libznp_dll.so).
 *
 * The cash-register application links this library. Each opened instance
 * starts one console program trv_71 for one till (POS number) and talks to
 * it through a shared mailbox pair: requests go out as tag messages, each is
 * acknowledged at once by a one-digit code, and the final answer comes back
 * later as a tag message carrying a two-digit result code (tag RS).
 *
 * Calling order for one request:
 *   1. build the request with ATAG_WriteInitForInstance and
 *      ATAG_SetStringValForInstance (SV service, CD command, data tags);
 *   2. SZelApiSendMessage: returns the program's acknowledgement, 0 when the
 *      request was taken and a final answer will follow;
 *   3. SZelApiWaitSynchro until it returns 0 (7 means "nothing yet");
 *   4. SZelApiGetMessage takes the answer (or a request of the program to the
 *      cash register, told apart by its SV);
 *   5. ATAG_ReadInitForInstance and ATAG_GetStringValForInstance read RS and
 *      the other tags of the answer.
 * docs/integration.md gives the requests, acknowledgements and result codes.
 *
 * Results of the instance functions (SZelApi...):
 *   0  done
 *   1  program not running or not started
 *   2  bad argument or buffer too small (SZelApiGetMessage)
 *   3  unusable message (SZelApiSendMessage)
 *   5  busy (another call of the instance held it for 10 s), mailbox still
 *      full, or no acknowledgement within the time-out
 *   7  no message (SZelApiWaitSynchro, SZelApiGetMessage)
 *   8  error, or instance id not found
 * SZelApiSendMessage returns the program's acknowledgement code instead when
 * it got one: 0 taken, 1 abort while nothing runs, 3 unusable request during
 * a transaction, 5 wrong moment or refused, 6 abort refused, 8 no memory.
 * Acknowledgements 1, 3, 5 and 8 share their numbers with the library's own
 * results above: after SZelApiSendMessage, 5 means "refused by the program"
 * or "not acknowledged in time" alike.
 *
 * Results of the tag functions (ATAG_...): 1 done, -1 failure.
 *
 * Tag message: entries "{CODE}value" closed by "{F}", at most 10240
 * characters; a value runs to the next "{" and can never hold one; byte
 * values are written as lower-case hexadecimal pairs.
 *
 * Buffers: a message buffer of ZNP_DLL_MESSAGE_SIZE bytes holds any message
 * and its terminator.
 *
 * Threads: the library starts no thread; every call runs on the caller's.
 * These may run at the same time from any threads:
 *   - calls on different instances;
 *   - SZelApiOpen and SZelApiClose (they take turns inside the library);
 *   - SZelApiSendMessage, SZelApiWaitSynchro and SZelApiGetMessage of one
 *     instance: they take turns (a call waits up to 10 s for the one in
 *     progress, then gives up with 5, or 7 for SZelApiWaitSynchro);
 *   - SZelApiClose of an instance and a call on it on another thread: that
 *     call ends at once with 1, and later calls with the id get 8;
 *   - the tag functions of one instance: each call sees one whole binding
 *     and never writes or reads past the buffer or text of that binding.
 * These must be serialised by the caller: the tag functions of one instance
 * share one writer and one reader (binding and position), so building one
 * message (ATAG_WriteInit..., ATAG_SetStringVal..., ATAG_GetWriteBuf...) or
 * reading one (ATAG_ReadInit..., ATAG_GetStringVal...) is one sequence per
 * instance at a time: another thread binding in between makes the next call
 * act on its buffer (and a destination sized for your binding may then be
 * too small). Use one instance per thread, or a lock around each sequence. */
#ifndef ZNP_DLL_H
#define ZNP_DLL_H

#include <stdint.h>

/* Version of this interface; the shared library's file name carries it
 * (libznp_dll.so.MAJOR is the run-time name, libznp_dll.so.MAJOR.MINOR.PATCH
 * the file). A new major number is a change that existing callers may need
 * to follow. */
#define ZNP_DLL_VERSION_MAJOR 13
#define ZNP_DLL_VERSION_MINOR 0
#define ZNP_DLL_VERSION_PATCH 26
#define ZNP_DLL_VERSION "13.0.26"
/* One number for comparisons: MAJOR * 10000 + MINOR * 100 + PATCH. */
#define ZNP_DLL_VERSION_NUMBER \
    (ZNP_DLL_VERSION_MAJOR * 10000 + ZNP_DLL_VERSION_MINOR * 100 + ZNP_DLL_VERSION_PATCH)

/* Size of a buffer that holds any message: 10240 characters and the
 * terminator. */
#define ZNP_DLL_MESSAGE_SIZE 10241

#if defined(__GNUC__)
#define ZNP_DLL_API __attribute__((visibility("default")))
#else
#define ZNP_DLL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Instance functions ------------------------------------------------ */

/* Opens an instance for one till: creates (or reopens and clears) the till's
 * mailbox pair, starts trv_71 in its client directory and waits until the
 * program is ready (its session open), at most about 10 s. Arguments:
 *   instanceId      out: the new instance id (1, 2, ...); 0 until it is open
 *   reserved1       ignored
 *   eventLevel      written to the library log only
 *   reserved2       ignored
 *   logSwitch       non-zero: the library writes its log (see logFileName)
 *   logFileName     the directory part is where the library writes
 *                   ZNP_DLL_<pos>.LOG (no directory: the host's current
 *                   directory); the program receives the whole name for its
 *                   exchange logs (<name without extension>.POS and .SRV,
 *                   relative to the client directory). Use an absolute path.
 *   logSizeKb       rotation size of the program's logs in KB; also that of
 *                   the library log when above 2048 (default 4096)
 *   posNumber       the till, 1 to 999; names the mailbox pair and the
 *                   program's station
 *   languageCode    country number of the program's text files (0: posm_00)
 *   clientPath      a directory holding the program file "trv_71" and its
 *                   configuration tree, or the full path of a program file
 *                   (its directory then holds the configuration); at most
 *                   255 characters. The program runs in that directory.
 *   echoLevel       terminal echo mode handed to the program (0 usual)
 *   uxTimeOut       seconds to wait for an acknowledgement (0: 5 s); the
 *                   program also waits at least 5 s for the cash register to
 *                   take each message
 *   offlineLevel    offline level handed to the program (0 usual)
 *   serverPath, encryptionLevel, backupPath, backupDelay
 *                   written to the library log only
 * Results: 0 open; 1 null instanceId, or the program could not be started,
 * or it ended before it was ready (returned as soon as it ends; the library
 * log gives its path and exit status); 8 POS number outside 1..999, 99
 * instances already open, or the mailbox pair or the program's event could
 * not be opened (also when either exists already and belongs to another
 * user or is open to others: the log names it). */
ZNP_DLL_API int SZelApiOpen(uint32_t* instanceId, uint32_t reserved1, uint32_t eventLevel, uint32_t reserved2,
                            uint32_t logSwitch, const char* logFileName, uint32_t logSizeKb, uint32_t posNumber,
                            uint32_t languageCode, const char* clientPath, uint32_t echoLevel, uint32_t uxTimeOut,
                            uint32_t offlineLevel, const char* serverPath, uint32_t encryptionLevel,
                            const char* backupPath, uint32_t backupDelay);

/* Closes an instance: ends a call in progress on it (that call returns 1),
 * sends the stop request (SV s3, CD c99) when the program still runs, lets
 * it end (killing it after a grace period), and releases the mailbox pair.
 * Messages not yet taken are dropped. Other openings and closings do not
 * wait for the program to end. reserved is ignored. Results: 0 closed; 8 id
 * not found. */
ZNP_DLL_API int SZelApiClose(uint32_t instanceId, uint32_t reserved);

/* Sends a request and waits for its acknowledgement.
 *   service   the request's SV value ("s12"); "s3" marks an abort or stop
 *   message   the request, a tag message holding at least SV (SV, CD and PS
 *             values of at most 3 characters). Modified in place: SS "R" and,
 *             when missing, PS (the POS number) are appended, so the buffer
 *             holds the message as sent afterwards.
 *   capacity  the message buffer's size in bytes; it needs room for the two
 *             added tags (ZNP_DLL_MESSAGE_SIZE always has).
 * Results: the acknowledgement (0 taken: wait for the answer; 1 abort while
 * nothing runs; 3, 5, 6, 8: refused, see docs/integration.md); 0 also for an
 * abort sent while an answer waits to be taken (nothing is sent) and for an
 * abort refused with 6 ("s3" only); library results 1 program not running
 * (also as soon as it ends during the wait), 3 null or empty argument, no SV
 * or a value too long, 5 busy, mailbox still full or not acknowledged within
 * the time-out (counted from the send), 8 id not found, no room for the
 * added tags, or read error.
 * Only the acknowledgement written after this request counts: a message
 * already waiting is taken aside first, and the late acknowledgement or
 * answer of an earlier request (one not acknowledged in time, or replaced by
 * a later request) is dropped, never taken for this one's. A request
 * acknowledged with 0 becomes the one whose answer is awaited; it replaces
 * an earlier one still awaited unless it is an abort (s3), a flash
 * information (s11) or an answer to a request of the program (s5, s6). */
ZNP_DLL_API int SZelApiSendMessage(uint32_t instanceId, const char* service, char* message,
                                   const uint32_t* capacity);

/* Waits up to timeoutMs milliseconds for a message of the program: the
 * answer to the pending request (its SV and CD both match the request's) or
 * a request of the program. Results: 0 a message is ready for
 * SZelApiGetMessage; 7 nothing within the time-out (call again); 1 program
 * not running, also as soon as it ends during the wait (an answer already
 * received is still reported with 0); 8 id not found or read error. */
ZNP_DLL_API int SZelApiWaitSynchro(uint32_t instanceId, uint32_t timeoutMs);

/* Takes the message that SZelApiWaitSynchro reported.
 *   service   out: the message's SV value and its terminator; at least 4
 *             bytes (empty when the message has no SV)
 *   message   out: the message and its terminator
 *   capacity  in: the message buffer's size in bytes, terminator included;
 *             out: the length of the message copied (terminator excluded)
 * Results: 0 taken; 2 null argument, or the message does not fit (it stays
 * available: call again with a larger buffer); 5 busy; 7 no message;
 * 1 program not running and nothing received; 8 id not found or read
 * error. */
ZNP_DLL_API int SZelApiGetMessage(uint32_t instanceId, char* service, char* message, uint32_t* capacity);

/* ---- Tag functions ------------------------------------------------------
 * Each instance has one tag writer and one tag reader. The ...ForInstance
 * forms name the instance; the short forms act on the default instance: the
 * one opened last (before any opening, an unopened instance for POS number
 * 1 is created for them; once the default instance is closed they fail
 * until the next opening). Neither the writer nor the reader copies the
 * caller's buffer: keep it alive while it is bound. All return 1 when done
 * and -1 on failure (instance not found, null or empty argument, no room). */

/* Binds the writer to buffer (capacity bytes) and clears the buffer. */
ZNP_DLL_API int ATAG_WriteInit(char* buffer, uint32_t capacity);
/* Adds "{code}value" before the end tag. The code must not be empty; the
 * value may be; neither may hold "{" (nor the code "}"). The finished text
 * must stay within capacity - 2 characters. */
ZNP_DLL_API int ATAG_SetStringVal(const char* code, const char* value);
/* Adds count bytes as lower-case hexadecimal pairs (2 * count characters);
 * count must not be 0. The finished text must stay within capacity - 1
 * characters. */
ZNP_DLL_API int ATAG_SetStringValHEX(const char* code, const unsigned char* bytes, uint32_t count);
/* Copies the written message and its terminator to destination, which needs
 * room for the capacity given to ATAG_WriteInit. */
ZNP_DLL_API int ATAG_GetWriteBuf(char* destination);
/* Binds the reader to a message: text is read up to its terminator or length
 * bytes, whichever comes first; the read position goes back to the start. */
ZNP_DLL_API int ATAG_ReadInit(const char* text, uint32_t length);
/* Copies the value of code and a terminator to destination. fromStart > 0
 * searches from the start of the message; 0 or less continues after the
 * value read last, so repeated calls return the successive occurrences of a
 * repeated code. destination needs room for the longest value of the
 * message: ZNP_DLL_MESSAGE_SIZE bytes always suffice. -1 also when the code
 * is absent or its value empty. */
ZNP_DLL_API int ATAG_GetStringVal(const char* code, char* destination, int32_t fromStart);
/* Decodes the hexadecimal value of code into bytes. *count: in, the
 * destination's capacity in bytes; out, the number of bytes decoded. -1 also
 * when the value is longer than 2 * *count digits, is not made of whole
 * hexadecimal pairs, or is absent. fromStart as for ATAG_GetStringVal. */
ZNP_DLL_API int ATAG_GetStringValHEX(const char* code, unsigned char* destination, uint32_t* count,
                                     int32_t fromStart);

/* The same seven functions on the instance named by instanceId. */
ZNP_DLL_API int ATAG_WriteInitForInstance(uint32_t instanceId, char* buffer, uint32_t capacity);
ZNP_DLL_API int ATAG_SetStringValForInstance(uint32_t instanceId, const char* code, const char* value);
ZNP_DLL_API int ATAG_SetStringValHEXForInstance(uint32_t instanceId, const char* code, const unsigned char* bytes,
                                                uint32_t count);
ZNP_DLL_API int ATAG_GetWriteBufForInstance(uint32_t instanceId, char* destination);
ZNP_DLL_API int ATAG_ReadInitForInstance(uint32_t instanceId, const char* text, uint32_t length);
ZNP_DLL_API int ATAG_GetStringValForInstance(uint32_t instanceId, const char* code, char* destination,
                                             int32_t fromStart);
ZNP_DLL_API int ATAG_GetStringValHEXForInstance(uint32_t instanceId, const char* code, unsigned char* destination,
                                                uint32_t* count, int32_t fromStart);

#ifdef __cplusplus
}
#endif

#endif /* ZNP_DLL_H */
