// Document layer: the named documents and script objects that a program
// could exchange with a remote application. Nothing in this program makes
// one: the per-application box has a field for one document and one script
// object, and only its release and its debug setting reach them, so this is
// the layer's release and debug part (no exchange, no semantic layer).
#pragma once
#include <cstdint>

struct KTX_WSERV;

constexpr int KTDOC_NAME_SIZE = 26;
constexpr int KTDOC_DATA_SIZE = 24576;
constexpr int KTDOC_SUB_DOCUMENTS = 10;

// One sub-document: its element list.
struct KTDOC_SUB {
    char* elements;
};

struct KTDOCUMENT {
    char documentName[KTDOC_NAME_SIZE];
    char elementName[KTDOC_NAME_SIZE];
    char type[KTDOC_NAME_SIZE];  // "INFO", "ACTION", "DATA", "VERSION", "AJOUTE", "STOP"
    char answerFlag[6];          // "TRUE" or "FALSE"
    char* data;                  // KTDOC_DATA_SIZE bytes of NUL-separated lines
    int32_t current;             // index of the current sub-document
    KTDOC_SUB* subDocuments[KTDOC_SUB_DOCUMENTS];
    KTX_WSERV* stream;
    void* codec;                 // the request/answer text codec's buffer
    int32_t status;              // 1 refused, 2 command refused, 4 broken pipe, 8 time-out
    char errorText[200];
    int32_t debug;
};

struct KTSCRIPT {
    void* file;  // its file object
    int32_t debug;
};

// Makes an empty document on a stream (its data area and codec buffer), or
// null.
KTDOCUMENT* KTDOC_New(KTX_WSERV* stream);
// Frees the codec, the sub-documents and the document; null does nothing.
// A stop message is not sent (this program has no exchange of documents).
void KTDOC_Free(KTDOCUMENT* document, int sendStop);
void KTDOC_SetDebug(KTDOCUMENT* document, int flag);
// Makes an empty script object, or null.
KTSCRIPT* SCRIPT_New();
// Frees its file object and itself; null does nothing.
void SCRIPT_Free(KTSCRIPT* script);
// 1, or "-- ERROR -- SCRIPT_SetDebug : Id incorrect ..." and -1 for null.
int SCRIPT_SetDebug(KTSCRIPT* script, int level);
