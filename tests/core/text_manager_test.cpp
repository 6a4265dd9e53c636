// Text manager: file names by country, fall-back to country 0, the ".wt"
// parser, creation of a missing file, writing items back, system texts and
// the error status.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/param_file.h"
#include "core/text_manager.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TempDir;
using testsupport::TraceCapture;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes body with a valid signature record, signed by the library.
void WriteSigned(const std::string& path, const std::string& body, bool scramble = false) {
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    FILE_SetFileContent(file, int32_t(body.size()), body.data());
    FILE_PutRecordSignat(file);
    if (scramble) FILE_PutRecordSecure(file, 2);
    ASSERT_GT(FILE_OpenWriteClose(file), 0);
    FILE_FreeFile(file);
}

void WriteRaw(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// A manager on a fresh directory.
struct Manager {
    Manager() : m(TEXT_NewTEXTManager()) { TEXT_SetDirectory(m, dir.str().c_str()); }
    ~Manager() { TEXT_FreeTEXTManager(m); }
    std::string Get(const char* family, const char* key) {
        std::string value;
        return TEXT_getValue(m, family, key, &value) == 1 ? value : "<none>";
    }
    TempDir dir;
    TEXT_MANAGER* m;
};

// Runs the test body in a working directory of its own (system texts live
// under ./WTRACES/WSYS).
struct WorkingDirectory {
    WorkingDirectory() : previous(std::filesystem::current_path()) {
        std::filesystem::current_path(dir.path());
    }
    ~WorkingDirectory() { std::filesystem::current_path(previous); }
    TempDir dir;
    std::filesystem::path previous;
};

TEST(TextManagerNames, FamilyAndCountryGiveTheFileName) {
    EXPECT_EQ(TEXT_FormatFileName("posm", 0), "posm_00.wt");
    EXPECT_EQ(TEXT_FormatFileName("posm", 7), "posm_07.wt");
    EXPECT_EQ(TEXT_FormatFileName("posm", 99), "posm_99.wt");
    EXPECT_EQ(TEXT_FormatFileName("posm", 100), "posm_100.wt");
    EXPECT_EQ(TEXT_FormatFileName("posm", 250), "posm_250.wt");

    Manager t;
    WriteSigned(t.dir.file("posm_07.wt"), "[K:seven]\r\n");
    WriteSigned(t.dir.file("posm_250.wt"), "[K:two fifty]\r\n");
    TEXT_SetCountry(t.m, 7);
    EXPECT_EQ(t.Get("posm", "K"), "seven");
    EXPECT_STREQ(TEXT_GetFileName(t.m), "posm_07.wt");
    TEXT_SetCountry(t.m, 250);
    EXPECT_EQ(t.Get("posm", "K"), "two fifty");
    EXPECT_STREQ(TEXT_GetFileName(t.m), "posm_250.wt");
}

TEST(TextManagerNames, FileNamesDifferingInCaseAreFound) {
    Manager t;
    WriteSigned(t.dir.file("POSM_00.WT"), "[K:upper]\r\n");
    EXPECT_EQ(t.Get("posm", "K"), "upper");
    // Written back to the same file, none created beside it.
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "K", "changed"), 1);
    EXPECT_EQ(TEXT_ReSetFileText(t.m), 1);
    EXPECT_FALSE(std::filesystem::exists(t.dir.file("posm_00.wt")));
    EXPECT_NE(ReadAll(t.dir.file("POSM_00.WT")).find("[K:changed]\r\n"), std::string::npos);
}

TEST(TextManagerLookup, FallsBackToCountryZero) {
    Manager t;
    WriteSigned(t.dir.file("posm_33.wt"), "[Local:ici]\r\n");
    WriteSigned(t.dir.file("posm_00.wt"), "[Local:default]\r\n[Only:from zero]\r\n");
    TEXT_SetCountry(t.m, 33);
    EXPECT_EQ(t.Get("posm", "Local"), "ici");
    EXPECT_EQ(t.Get("posm", "Only"), "from zero");
    EXPECT_EQ(t.m->country, 33);
    EXPECT_STREQ(TEXT_GetFileName(t.m), "posm_00.wt");
    EXPECT_EQ(t.Get("posm", "Nowhere"), "<none>");
    EXPECT_EQ(t.m->status, TEXT_STATUS_KEY_NOT_FOUND);
}

TEST(TextManagerLookup, MissingFileIsCreatedWithOnlyASignatureRecord) {
    Manager t;
    TraceCapture capture;
    EXPECT_EQ(t.Get("posm", "Any"), "<none>");
    EXPECT_EQ(t.m->status, TEXT_STATUS_KEY_NOT_FOUND);
    EXPECT_EQ(ReadAll(t.dir.file("posm_00.wt")), "{(C)Talvo_Technologies__File_System:ff00}\r\n");
    // Created in a missing directory: neither read nor created.
    TEXT_SetDirectory(t.m, t.dir.file("absent").c_str());
    EXPECT_EQ(TEXT_OpenFile(t.m, "posm"), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_READ_ERROR);
    EXPECT_EQ(TEXT_GetFile(t.m), nullptr);
    EXPECT_TRUE(capture.Contains("_D___READ ERROR___"));
}

TEST(TextManagerLookup, ArgumentsAndNullManager) {
    Manager t;
    TraceCapture capture;
    std::string value;
    EXPECT_EQ(TEXT_getValue(t.m, "", "K", &value), -1);
    EXPECT_TRUE(capture.Contains("-- ERROR -- TEXT_getValue(): file NULL or empty"));
    EXPECT_EQ(TEXT_getValue(t.m, "posm", nullptr, &value), -1);
    EXPECT_TRUE(capture.Contains("-- ERROR -- TEXT_getValue(): key NULL or empty"));
    EXPECT_EQ(TEXT_SetFile(t.m, nullptr, 3), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_ACCESS_DENIED);
    EXPECT_EQ(TEXT_getValue(nullptr, "posm", "K", &value), -1);
    EXPECT_STREQ(TEXT_GetItemText(nullptr, "K"), "");
    EXPECT_STREQ(TEXT_GetSystemText(nullptr, "K"), "");
    EXPECT_EQ(TEXT_GetFile(nullptr), nullptr);
    EXPECT_TRUE(capture.Contains("-- ERROR -- TEXT_GetItemText(): Null pointer error"));
    EXPECT_EQ(TEXT_SetDirectory(t.m, std::string(501, 'd').c_str()), -1);
    TEXT_SetDirectory(t.m, std::string(490, 'd').c_str());
    EXPECT_EQ(TEXT_OpenFile(t.m, "posm"), -1);
    EXPECT_TRUE(capture.Contains("File path is too long, max. size: 500"));
}

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<std::pair<std::string, std::string>> entries;
    std::string warning;  // "(line:column)" or empty
};

TEST(TextManagerParser, EntriesCommentsBlocksAndSyntaxErrors) {
    const std::vector<ParseCase> cases = {
        {"entries and blanks", "[A:1]\r\n\r\n  \t[B:two words]\r\n", {{"A", "1"}, {"B", "two words"}}, ""},
        {"first entry wins", "[A:first]\r\n[A:second]\r\n", {{"A", "first"}}, ""},
        {"comment starters", "! c\r\n# c\r\n( c\r\n- c\r\n/ c\r\n< c\r\n> c\r\n_ c\r\n[A:1]\r\n",
         {{"A", "1"}}, ""},
        {"rest of the entry line skipped", "[A:1] trailing words\r\n[B:2]\r\n",
         {{"A", "1"}, {"B", "2"}}, ""},
        {"value over several lines", "[A:line one\r\nline two]\r\n", {{"A", "line one\nline two"}}, ""},
        {"value holding a colon", "[A:x:y]\r\n", {{"A", "x:y"}}, ""},
        {"braced blocks", "{sig}\r\n[A:1]{x}\r\n", {{"A", "1"}}, ""},
        {"letter at line start", "[A:1]\r\nB\r\n[C:3]\r\n", {{"A", "1"}}, "(2:1)"},
        {"letter after blanks", "[A:1]\r\n\r\n   x", {{"A", "1"}}, "(3:4)"},
        {"LF inside braces", "[A:1]\r\n{open\r\n}", {{"A", "1"}}, "(2:7)"},
        {"unbalanced brace at the end", "[A:1]\r\n{never closed", {{"A", "1"}}, ""},
        {"key to the end", "[A:1]\r\n[Key", {{"A", "1"}}, "(2:4)"},
        {"value to the end", "[A:1]\r\n[K:v", {{"A", "1"}}, "(2:4)"},
        {"binary byte", std::string("[A:1]\r\n\x80"), {{"A", "1"}}, "(2:1)"},
        {"NUL byte", std::string("[A:1]\r\n\0", 8), {{"A", "1"}}, "(2:1)"},
        {"LF-only lines", "[A:1]\n[B:2]\n", {{"A", "1"}, {"B", "2"}}, ""},
        {"empty", "", {}, ""},
    };
    for (const ParseCase& c : cases) {
        TEXT_MANAGER* m = TEXT_NewTEXTManager();
        TraceCapture capture;
        EXPECT_EQ(TEXT_ParseFile(m, c.text.data(), int32_t(c.text.size()), "dir/f_00.wt"),
                  c.warning.empty() ? 1 : 0)
            << c.name;
        std::vector<std::pair<std::string, std::string>> got(m->keys.begin(), m->keys.end());
        EXPECT_EQ(got, c.entries) << c.name;
        if (c.warning.empty()) {
            EXPECT_FALSE(capture.Contains("TEXT_SetFile: Error")) << c.name;
        } else {
            EXPECT_TRUE(capture.Contains("<< WARN. >> TEXT_SetFile: Error: dir/f_00.wt" + c.warning))
                << c.name;
        }
        TEXT_FreeTEXTManager(m);
    }
}

TEST(TextManagerParser, SyntaxErrorKeepsTheEntriesAboveAndTheLoadGoesOn) {
    Manager t;
    TraceCapture capture;
    WriteSigned(t.dir.file("posm_00.wt"), "[A:1]\r\nOops\r\n[B:2]\r\n");
    EXPECT_EQ(TEXT_OpenFile(t.m, "posm"), 1);
    EXPECT_EQ(t.Get("posm", "A"), "1");
    EXPECT_EQ(t.Get("posm", "B"), "<none>");
    EXPECT_TRUE(capture.Contains("posm_00.wt(2:1)"));
}

TEST(TextManagerFiles, SameDirectoryKeepsTheFileAnotherDropsIt) {
    Manager t;
    WriteSigned(t.dir.file("posm_00.wt"), "[A:1]\r\n");
    ASSERT_EQ(t.Get("posm", "A"), "1");
    KTDK_FILE* loaded = TEXT_GetFile(t.m);
    ASSERT_NE(loaded, nullptr);
    TEXT_SetDirectory(t.m, (t.dir.str() + "/").c_str());
    EXPECT_EQ(TEXT_GetFile(t.m), loaded);
    TempDir other;
    TEXT_SetDirectory(t.m, other.str().c_str());
    EXPECT_EQ(TEXT_GetFile(t.m), nullptr);
    // The file name and the key map stay.
    EXPECT_STREQ(TEXT_GetFileName(t.m), "posm_00.wt");
    EXPECT_EQ(t.m->keys.count("A"), 1u);
}

TEST(TextManagerFiles, ItemWrittenIsSeenAtOnceAndTheFileRewrittenSigned) {
    Manager t;
    WriteSigned(t.dir.file("znpop_00.wt"), "# options\r\n[A:1]\r\n[B:2]\r\n");
    ASSERT_EQ(t.Get("znpop", "A"), "1");
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "A", "one"), 1);
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "C", "3"), 1);
    EXPECT_EQ(t.Get("znpop", "A"), "one");
    EXPECT_EQ(ReadAll(t.dir.file("znpop_00.wt")).find("one"), std::string::npos);
    EXPECT_EQ(TEXT_ReSetFileText(t.m), 1);

    // On disk: the edited lines and one valid signature record.
    KTDK_FILE* file = FILE_NewFile(t.dir.file("znpop_00.wt").c_str());
    ASSERT_GT(FILE_OpenReadClose(file), 0);
    EXPECT_EQ(FILE_GetRecordSignat(file), 1);
    EXPECT_EQ(std::string(file->content, size_t(file->length)),
              "# options\r\n[A:one]\r\n[B:2]\r\n[C:3]\r\n");
    FILE_FreeFile(file);

    // Rewriting twice does not pile records up.
    EXPECT_EQ(t.Get("znpop", "C"), "3");
    EXPECT_EQ(TEXT_ReSetFileText(t.m), 1);
    const std::string disk = ReadAll(t.dir.file("znpop_00.wt"));
    EXPECT_EQ(disk.find("File_System"), disk.rfind("File_System"));

    Manager fresh;
    TEXT_SetDirectory(fresh.m, t.dir.str().c_str());
    EXPECT_EQ(fresh.Get("znpop", "C"), "3");
}

TEST(TextManagerFiles, WriteFailuresSetTheirStatus) {
    Manager t;
    TraceCapture capture;
    EXPECT_EQ(TEXT_ReSetFileText(t.m), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_ACCESS_DENIED);
    EXPECT_TRUE(capture.Contains("Internal structure IOFile is null"));
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "K", "v"), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_ITEM_NOT_WRITTEN);
    EXPECT_TRUE(capture.Contains("FILE_ReplaceStringParam returned an error, desc.:"));
    // A null value is status 1, reported as a corrupted file at level 3.
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "K", nullptr), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_CORRUPTED);
    EXPECT_EQ(t.m->errorLevel, 3);
    EXPECT_STREQ(t.m->errorWord, "_D_CORRUPTED FILE_");
    // The file vanished under a loaded manager: the write fails with status 4.
    WriteSigned(t.dir.file("posm_00.wt"), "[A:1]\r\n");
    ASSERT_EQ(t.Get("posm", "A"), "1");
    std::filesystem::path gone = t.dir.file("gone");
    std::filesystem::create_directory(gone);
    TEXT_GetFile(t.m)->path[0] = '\0';
    strcat(TEXT_GetFile(t.m)->path, (gone / "x" / "posm_00.wt").c_str());
    EXPECT_EQ(TEXT_ReSetFileText(t.m), -1);
    EXPECT_EQ(t.m->status, TEXT_STATUS_WRITE_ERROR);
    // Status 0 clears the error.
    t.m->status = 0;
    EXPECT_EQ(TEXT_SetTextError(t.m), 0);
    EXPECT_STREQ(t.m->errorDescription, "");
}

TEST(TextManagerFiles, SignatureMismatchIsUsedButWarned) {
    Manager t;
    TraceCapture capture;
    WriteRaw(t.dir.file("posm_00.wt"),
             "[A:1]\r\n{(C)Talvo_Technologies__File_System:0000}\r\n");
    EXPECT_EQ(t.Get("posm", "A"), "1");
    EXPECT_TRUE(capture.Contains("<< WARN. >> TEXT_SetFile(): Signature does not match, file: " +
                                 t.dir.file("posm_00.wt")));
}

TEST(TextManagerFiles, ScrambledFilesAreReadAndUnknownKeysRefused) {
    Manager t;
    WriteSigned(t.dir.file("posm_00.wt"), "[Secret:value]\r\n", true);
    EXPECT_EQ(ReadAll(t.dir.file("posm_00.wt")).find("Secret"), std::string::npos);
    EXPECT_EQ(t.Get("posm", "Secret"), "value");

    Manager bad;
    TraceCapture capture;
    WriteRaw(bad.dir.file("posm_00.wt"),
             "[Plain:text]\r\n\r\n{(C)Talvo_Technologies__Secure_System:09}\r\n");
    EXPECT_EQ(TEXT_OpenFile(bad.m, "posm"), 1);
    EXPECT_EQ(bad.m->status, TEXT_STATUS_CORRUPTED);
    EXPECT_TRUE(bad.m->keys.empty());
    EXPECT_TRUE(capture.Contains("Unknown key number"));
    EXPECT_TRUE(capture.Contains("-- ERROR -- File is corrupted, file: posm_00.wt"));
}

TEST(TextManagerItems, ItemTextUsesTheCurrentFamily) {
    Manager t;
    WriteSigned(t.dir.file("posm_00.wt"), "[Hello:Bonjour]\r\n");
    ASSERT_EQ(TEXT_OpenFile(t.m, "posm"), 1);
    EXPECT_STREQ(TEXT_GetItemText(t.m, "Hello"), "Bonjour");
    EXPECT_STREQ(TEXT_GetItemText(t.m, "Absent"), "");
    EXPECT_EQ(TEXT_GetSharedRequest()->family, "posm");
}

TEST(TextManagerSystem, SystemTextsAndTheErrorDescription) {
    WorkingDirectory wd;
    std::filesystem::create_directories("WTRACES/WSYS");
    WriteSigned("WTRACES/WSYS/wmes_00.wt", "[T_FATAL:Erreur fatale]\r\n[T_X:x]\r\n");
    Manager t;
    WriteSigned(t.dir.file("posm_00.wt"), "[A:1]\r\n");
    ASSERT_EQ(t.Get("posm", "A"), "1");
    EXPECT_STREQ(TEXT_GetSystemText(t.m, "T_X"), "x");
    EXPECT_STREQ(t.m->directory, (t.dir.str() + "/").c_str());
    EXPECT_EQ(TEXT_GetFile(t.m), nullptr);

    ASSERT_EQ(t.Get("posm", "A"), "1");
    const std::string loadedName = TEXT_GetFileName(t.m);
    t.m->status = TEXT_STATUS_NO_FILE_OBJECT;
    EXPECT_EQ(TEXT_SetTextError(t.m), 3);
    EXPECT_EQ(std::string(t.m->errorDescription),
              " File: " + t.dir.str() + "/posm_00.wt, Error: Erreur fatale _D_CORRUPTED FILE_");
    // Building the description disturbs neither the file nor its keys.
    EXPECT_NE(TEXT_GetFile(t.m), nullptr);
    EXPECT_EQ(TEXT_GetFileName(t.m), loadedName);
    EXPECT_EQ(t.m->status, TEXT_STATUS_CORRUPTED);
}

TEST(TextManagerSystem, MissingSystemTextsDoNotRecurse) {
    WorkingDirectory wd;  // no WTRACES here
    Manager t;
    TraceCapture capture;
    EXPECT_EQ(TEXT_ReSetItemText(t.m, "K", nullptr), -1);
    EXPECT_EQ(t.m->errorLevel, 3);
    EXPECT_EQ(std::string(t.m->errorDescription).find(", Error:  _D_CORRUPTED FILE_"),
              std::string(t.m->errorDescription).size() - strlen(", Error:  _D_CORRUPTED FILE_"));
    // At level 3 every further error builds its description once.
    EXPECT_EQ(t.Get("posm", "Nothing"), "<none>");
    EXPECT_STREQ(TEXT_GetSystemText(t.m, "T_FATAL"), "");
    EXPECT_LT(capture.count(), 200u);
}

TEST(TextManagerSystem, LongNamesCutTheDescription) {
    WorkingDirectory wd;
    Manager t;
    TEXT_SetDirectory(t.m, (t.dir.str() + "/" + std::string(300, 'd')).c_str());
    t.m->status = TEXT_STATUS_NO_FILE_OBJECT;
    EXPECT_EQ(TEXT_SetTextError(t.m), 3);
    EXPECT_EQ(strlen(t.m->errorDescription), size_t(TEXT_DESCRIPTION_SIZE - 1));
}

}  // namespace
