// The document layer's release and debug entry points (the only ones the
// program reaches): null objects, freeing what a document and a script own
// (the sanitizer build checks that nothing leaks), the debug setting.
#include "periph/document.h"

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "support/trace_capture.h"

namespace {

TEST(Document, ScriptDebugOfAMissingScriptIsAnError) {
    testsupport::TraceCapture trace;
    EXPECT_EQ(SCRIPT_SetDebug(nullptr, 2), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- SCRIPT_SetDebug : Id incorrect ..."));
    KTSCRIPT* script = SCRIPT_New();
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(SCRIPT_SetDebug(script, 2), 1);
    EXPECT_EQ(script->debug, 2);
    script->file = WAlloc(100);  // its file object goes with it
    SCRIPT_Free(script);
    SCRIPT_Free(nullptr);
}

TEST(Document, FreeTakesTheCodecAndTheSubDocuments) {
    KTDOCUMENT* document = KTDOC_New(nullptr);
    ASSERT_NE(document, nullptr);
    ASSERT_NE(document->data, nullptr);
    KTDOC_SetDebug(document, 1);
    EXPECT_EQ(document->debug, 1);
    for (int i = 0; i < KTDOC_SUB_DOCUMENTS; i += 3) {
        document->subDocuments[i] = static_cast<KTDOC_SUB*>(WAlloc(sizeof(KTDOC_SUB)));
        ASSERT_NE(document->subDocuments[i], nullptr);
        document->subDocuments[i]->elements = static_cast<char*>(WAlloc(64));
    }
    KTDOC_Free(document, 1);
    KTDOC_Free(nullptr, 1);
    KTDOC_SetDebug(nullptr, 1);
}

}  // namespace
