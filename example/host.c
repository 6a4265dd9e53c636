/* A complete cash-register client of libznp_dll, in C.
 *
 * It opens an instance for one till (the library starts trv_71), sends an
 * abort while nothing runs, sends a request that needs no payment terminal
 * (SV s12, CD c25), waits for its answer, takes it, reads its result code RS
 * with the tag functions, and closes the instance. Given an amount, it also
 * takes a card payment of that amount in euros (SV s0, CD c1, D10 the amount
 * in cents, D0 978) and prints every tag of its answer, then starts a second
 * payment and aborts it while the till waits for the card (SV s3, CD c0:
 * that payment ends with RS 33). Requests that the program itself sends to
 * the cash register while a request runs (displays, key and zone entries,
 * selections) are shown and answered on the way.
 *
 *   host CLIENT_PATH POS_NUMBER LOG_FILE [AMOUNT_IN_CENTS]
 *
 * CLIENT_PATH is the till's directory (holding its own program file
 * trv_71_<POS_NUMBER on 3 digits>, made by znp_new_till, and its
 * configuration tree) or the full path of its program file; LOG_FILE names the logs (use
 * an absolute path: see docs/integration.md). The exit code is 0 when every
 * step went as expected, 1 when one failed, 2 for a bad command line.
 *
 * Build: cc host.c $(pkg-config --cflags --libs znp_dll)
 * (with PKG_CONFIG_PATH=<prefix>/lib/pkgconfig for an installation outside
 * the system's directories). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "znp_dll.h"

/* How long to wait for an answer: WAIT_STEP_MS per SZelApiWaitSynchro call,
 * WAIT_STEPS calls at most. */
#define WAIT_STEP_MS 1000u
#define WAIT_STEPS 60
/* The aborted payment: the cashier cancels when no answer came within this
 * time (the till then waits for the card). */
#define ABORT_AFTER_MS 1500u

/* What the acknowledgement of a request (not an abort) means. Codes 1, 3, 5
 * and 8 are also results of the library itself (see znp_dll.h); the
 * program acknowledges only an abort with 1. */
static const char* acknowledgement_text(int ack) {
    switch (ack) {
        case 0: return "taken, the answer follows";
        case 1: return "program not running";
        case 3: return "unusable request";
        case 5: return "refused at this moment, or not acknowledged in time";
        case 6: return "abort refused";
        case 8: return "no memory in the program, or library error";
        default: return "unexpected";
    }
}

static const char* result_text(const char* rs) {
    static const struct {
        const char* code;
        const char* text;
    } codes[] = {
        {"00", "accepted"},
        {"01", "done (answered without a transaction, or accepted)"},
        {"02", "accepted"},
        {"03", "accepted"},
        {"10", "nothing to upload"},
        {"11", "done in part, or cancelled"},
        {"20", "mute card"},
        {"21", "card reading refused by the terminal"},
        {"30", "time exceeded"},
        {"31", "network failure"},
        {"32", "terminal unreachable"},
        {"33", "aborted"},
        {"34", "terminal protocol failure"},
        {"35", "card removed"},
        {"36", "bad or unsupported request"},
        {"37", "server answer does not match the request"},
        {"38", "link with the cash register failed"},
        {"98", "till refused"},
        {"99", "other error"},
    };
    size_t i;
    for (i = 0; i < sizeof codes / sizeof codes[0]; ++i)
        if (strcmp(codes[i].code, rs) == 0) return codes[i].text;
    return "unknown code";
}

/* What the tags of a payment's answer hold, and what a cash register does
 * with them (docs/integration.md, "Card payment"). */
static const char* answer_tag_text(const char* code) {
    static const struct {
        const char* code;
        const char* text;
    } tags[] = {
        {"ZNP", "version of the program"},
        {"SS", "A: an answer"},
        {"PS", "the till (POS number)"},
        {"SV", "service of the request"},
        {"CD", "command of the request"},
        {"RS", "result code: below 10 the payment is accepted"},
        {"D1A", "card number, masked by the server: print it"},
        {"D18", "card expiry (YYMM)"},
        {"D15", "how the card was read (2: chip)"},
        {"D16", "transaction type given by the server: store it"},
        {"D3E", "transaction number given by the server: store it"},
        {"D17", "sequence number of the transaction: store it"},
        {"D3L", "ticket text of the server: print it, never log it"},
        {"D48", "card incident (1 chip, 2 track)"},
        {"UUID", "identifier of the server request: store it"},
        {"VWAY", "server that answered (1 principal, 2 backup, 3 tertiary)"},
        {"SNI", "server name of that server (empty over TCP)"},
    };
    size_t i;
    for (i = 0; i < sizeof tags / sizeof tags[0]; ++i)
        if (strcmp(tags[i].code, code) == 0) return tags[i].text;
    return "set by the server";
}

/* Prints each "{CODE}value" entry of a tag message on a line of its own. */
static void print_tags(const char* message) {
    const char* p = message;
    while ((p = strchr(p, '{')) != NULL) {
        const char* close = strchr(p, '}');
        const char* next;
        char code[32];
        size_t length;
        if (close == NULL) break;
        length = (size_t)(close - p - 1);
        if (length == 0 || length >= sizeof code) break;
        memcpy(code, p + 1, length);
        code[length] = '\0';
        if (strcmp(code, "F") == 0) break;
        next = strchr(close + 1, '{');
        length = next != NULL ? (size_t)(next - close - 1) : strlen(close + 1);
        printf("  tag %-4s %-24.*s %s\n", code, (int)length, close + 1, answer_tag_text(code));
        p = close + 1;
    }
}

/* Builds a tag message of the given SV and CD (and one more tag when code is
 * not null) in buffer; 1 when done. */
static int build(uint32_t id, char* buffer, uint32_t size, const char* sv, const char* cd, const char* code,
                 const char* value) {
    return ATAG_WriteInitForInstance(id, buffer, size) == 1 && ATAG_SetStringValForInstance(id, "SV", sv) == 1 &&
           ATAG_SetStringValForInstance(id, "CD", cd) == 1 &&
           (code == NULL || ATAG_SetStringValForInstance(id, code, value) == 1);
}

/* Reads one tag of the message bound to the instance's reader into value
 * (ZNP_DLL_MESSAGE_SIZE bytes); an absent tag gives an empty text. */
static void read_tag(uint32_t id, const char* code, char* value) {
    if (ATAG_GetStringValForInstance(id, code, value, 1) != 1) value[0] = '\0';
}

/* A request of the program to the cash register (SS "A", SV s6 or s5): shows
 * it and, for the key, zone and selection requests, sends the answer back
 * with the same SV and CD. 1 when handled. */
static int answer_program_request(uint32_t id, const char* message, uint32_t length) {
    static char cd[ZNP_DLL_MESSAGE_SIZE], text[ZNP_DLL_MESSAGE_SIZE], reply[ZNP_DLL_MESSAGE_SIZE];
    const uint32_t capacity = sizeof reply;
    int built = 0;
    int ack;
    if (ATAG_ReadInitForInstance(id, message, length + 1) != 1) return 0;
    read_tag(id, "CD", cd);
    read_tag(id, strcmp(cd, "c27") == 0 ? "D34" : "ED", text); /* D34: copy of the terminal's screen */
    if (strcmp(cd, "c20") == 0 || strcmp(cd, "c43") == 0 || strcmp(cd, "c27") == 0) {
        /* Display, print or display echo: nothing goes back. */
        printf("  program asks to %s: %s\n", strcmp(cd, "c43") == 0 ? "print" : "display", text);
        return 1;
    }
    if (strcmp(cd, "c21") == 0) {
        printf("  program asks for a key: answering V (validate)\n");
        built = build(id, reply, capacity, "s6", "c21", "EF", "V");
    } else if (strcmp(cd, "c22") == 0) {
        /* This host has no keyboard: the entry is abandoned (anything but a
         * value starting with V). */
        printf("  program asks for a zone entry: answering A (abandon)\n");
        built = build(id, reply, capacity, "s6", "c22", "EL", "A");
    } else if (strcmp(cd, "c44") == 0) {
        printf("  program asks for a selection: answering item 1\n");
        built = build(id, reply, capacity, "s6", "c44", "EK", "1");
    } else {
        printf("  program message not handled here (CD %s): %s\n", cd, message);
        return 1;
    }
    if (!built) {
        fprintf(stderr, "host: the answer to the program could not be built\n");
        return 0;
    }
    ack = SZelApiSendMessage(id, "s6", reply, &capacity);
    printf("  answer sent: %s (%d)\n", acknowledgement_text(ack), ack);
    return ack == 0;
}

/* Sends the abort of the running request (SV s3, CD c0): 0 when the program
 * took it (its refusal, 6, also comes back as 0 for an abort). */
static int send_abort(uint32_t id) {
    static char request[ZNP_DLL_MESSAGE_SIZE];
    const uint32_t capacity = sizeof request;
    if (!build(id, request, capacity, "s3", "c0", NULL, NULL)) return -1;
    return SZelApiSendMessage(id, "s3", request, &capacity);
}

/* Sends one request whose answer follows (acknowledgement 0), waits for the
 * answer, takes it and checks its result code. A payment carries the amount
 * (amount not NULL: D10 in cents, D0 978 for the euro) and gets every tag of
 * its answer printed; with abort_after_ms the request is aborted when no
 * answer came within that time, and RS 33 is then the expected result.
 * Returns 1 when the answer came with a result code below 10 (success), or
 * with RS 33 after an abort. */
static int run_request_ex(uint32_t id, const char* sv, const char* cd, const char* amount, unsigned abort_after_ms) {
    static char request[ZNP_DLL_MESSAGE_SIZE], answer[ZNP_DLL_MESSAGE_SIZE], rs[ZNP_DLL_MESSAGE_SIZE],
        answer_cd[ZNP_DLL_MESSAGE_SIZE];
    const uint32_t capacity = sizeof request;
    char service[8];
    int ack, steps, result;

    int aborted = 0;

    if (!build(id, request, capacity, sv, cd, NULL, NULL) ||
        (amount != NULL && (ATAG_SetStringValForInstance(id, "D10", amount) != 1 ||
                            ATAG_SetStringValForInstance(id, "D0", "978") != 1))) {
        fprintf(stderr, "host: request %s/%s could not be built\n", sv, cd);
        return 0;
    }
    ack = SZelApiSendMessage(id, sv, request, &capacity);
    printf("request %s/%s: %s (%d)\n", sv, cd, acknowledgement_text(ack), ack);
    printf("  sent: %s\n", request);
    if (ack != 0) return 0;

    for (steps = 0; steps < WAIT_STEPS;) {
        uint32_t length = sizeof answer;
        result = SZelApiWaitSynchro(id, abort_after_ms != 0 && !aborted ? abort_after_ms : WAIT_STEP_MS);
        if (result == 7 && abort_after_ms != 0 && !aborted) {
            /* Still no answer: the till waits for the card. The cashier
             * cancels; the answer then comes with RS 33. */
            aborted = 1;
            result = send_abort(id);
            printf("  abort while the till waits for the card: %s (%d)\n",
                   result == 0 ? "taken, the payment ends with RS 33" : "refused", result);
            if (result != 0) return 0;
            continue;
        }
        if (result == 7) { /* nothing yet */
            ++steps;
            continue;
        }
        if (result != 0) {
            printf("  wait: %s (%d)\n", result == 1 ? "program not running" : "error", result);
            return 0;
        }
        result = SZelApiGetMessage(id, service, answer, &length);
        if (result != 0) {
            printf("  take: failed (%d)\n", result);
            return 0;
        }
        if (strcmp(service, sv) != 0) {
            /* Not our answer: a request of the program. */
            if (!answer_program_request(id, answer, length)) return 0;
            continue;
        }
        printf("  answer: %s\n", answer);
        if (ATAG_ReadInitForInstance(id, answer, length + 1) != 1) return 0;
        read_tag(id, "CD", answer_cd);
        read_tag(id, "RS", rs);
        if (strcmp(answer_cd, cd) != 0) {
            printf("  the answer is for CD %s, not %s\n", answer_cd, cd);
            return 0;
        }
        if (rs[0] == '\0') {
            printf("  the answer has no result code RS\n");
            return 0;
        }
        printf("  result code RS %s: %s\n", rs, result_text(rs));
        if (amount != NULL) print_tags(answer);
        if (abort_after_ms != 0) {
            if (!aborted) printf("  the payment ended before the abort\n");
            return aborted && strcmp(rs, "33") == 0;
        }
        return atoi(rs) < 10;
    }
    printf("  no answer within %u ms\n", WAIT_STEP_MS * WAIT_STEPS);
    return 0;
}

static int run_request(uint32_t id, const char* sv, const char* cd) { return run_request_ex(id, sv, cd, NULL, 0); }

/* Sends an abort while nothing runs: the program answers 1, nothing to
 * abort. 1 is also the library's "program not running"; a wait of 0 ms
 * tells them apart (7, nothing to take, while the program runs). Had a
 * request been running, the abort would get 0 and that request's answer
 * would come with RS 33. */
static int abort_while_idle(uint32_t id) {
    static char request[ZNP_DLL_MESSAGE_SIZE];
    const uint32_t capacity = sizeof request;
    int ack, running;
    if (!build(id, request, capacity, "s3", "c0", NULL, NULL)) return 0;
    ack = SZelApiSendMessage(id, "s3", request, &capacity);
    if (ack != 1) {
        printf("abort while idle: %s (%d)\n", acknowledgement_text(ack), ack);
        return 0;
    }
    running = SZelApiWaitSynchro(id, 0) == 7;
    printf("abort while idle: %s (1)\n", running ? "nothing to abort" : "program not running");
    return running;
}

int main(int argc, char** argv) {
    uint32_t id = 0;
    unsigned long pos;
    char* end = NULL;
    int rc, ok = 1;

    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: %s CLIENT_PATH POS_NUMBER LOG_FILE [AMOUNT_IN_CENTS]\n", argv[0]);
        return 2;
    }
    if (argc == 5 && (strspn(argv[4], "0123456789") != strlen(argv[4]) || strlen(argv[4]) == 0 ||
                      strlen(argv[4]) > 12)) {
        fprintf(stderr, "host: AMOUNT_IN_CENTS must be digits (1234 for 12.34 EUR)\n");
        return 2;
    }
    pos = strtoul(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || pos < 1 || pos > 999) {
        fprintf(stderr, "host: POS_NUMBER must be 1 to 999\n");
        return 2;
    }

    printf("libznp_dll %s\n", ZNP_DLL_VERSION);
    /* Log on, 4096 KB logs, language 0, echo 0, acknowledgement time-out 5 s
     * (0), offline level 0; the other arguments are only logged. */
    rc = SZelApiOpen(&id, 0, 0, 0, 1, argv[3], 4096, (uint32_t)pos, 0, argv[1], 0, 0, 0, "", 0, "", 0);
    printf("open POS %lu: %s (%d, instance %u)\n", pos, rc == 0 ? "done" : "failed", rc, id);
    if (rc != 0) return 1;

    ok = abort_while_idle(id) && ok;
    ok = run_request(id, "s12", "c25") && ok;
    if (argc == 5) {
        printf("card payment of %s cents (EUR):\n", argv[4]);
        ok = run_request_ex(id, "s0", "c1", argv[4], 0) && ok;
        printf("card payment aborted while the till waits for the card:\n");
        ok = run_request_ex(id, "s0", "c1", argv[4], ABORT_AFTER_MS) && ok;
    }

    rc = SZelApiClose(id, 0);
    printf("close: %s (%d)\n", rc == 0 ? "done" : "failed", rc);
    ok = rc == 0 && ok;
    printf("%s\n", ok ? "all steps passed" : "a step failed");
    return ok ? 0 : 1;
}
