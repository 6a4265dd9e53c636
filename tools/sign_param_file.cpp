// Signs parameter and text files in place: removes a secure record (with
// unscrambling) and an old signature record, appends a fresh signature record
// and, with --secure, scrambles the file and appends a secure record.
// With --crlf, bare LF line ends become CR LF first.
//
// Usage: sign_param_file [--crlf] [--secure] FILE...
// Prints "<file> <signature>" per file; exit code 0 when all were signed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/param_file.h"
#include "tool_help.h"

namespace {

std::string ToCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

int SignOne(const char* path, bool crlf, bool secure) {
    KTDK_FILE* file = FILE_NewFile(path);
    if (file == nullptr) {
        fprintf(stderr, "%s: bad path\n", path);
        return 1;
    }
    int rc = 1;
    if (FILE_OpenReadClose(file) <= 0) {
        fprintf(stderr, "%s: missing, empty or unreadable\n", path);
    } else if (FILE_GetRecordSecure(file) < 0) {
        fprintf(stderr, "%s: unreadable secure record\n", path);
    } else if (FILE_GetRecordSignat(file) == -2) {
        fprintf(stderr, "%s: signature record without its CR LF\n", path);
    } else {
        std::string body(file->content, strnlen(file->content, size_t(file->length)));
        if (crlf) body = ToCrLf(body);
        char signature[8] = {};
        if (FILE_SetFileContent(file, int32_t(body.size()), body.data()) == 1 &&
            FILE_PutRecordSignat2(file, signature, sizeof signature) == 1 &&
            (!secure || FILE_PutRecordSecure(file, 2) == 1) && FILE_OpenWriteClose(file) > 0) {
            printf("%s %s\n", path, signature);
            rc = 0;
        } else {
            fprintf(stderr, "%s: not written\n", path);
        }
    }
    FILE_FreeFile(file);
    return rc;
}

}  // namespace

const char kUsage[] =
    "usage: sign_param_file [--crlf] [--secure] FILE...\n"
    "Signs parameter files in place: the old signature (and secure) record goes, a fresh signature\n"
    "record is appended. --crlf turns bare LF line ends into CR LF first; --secure also scrambles the\n"
    "file and appends a secure record. Prints \"<file> <signature>\" per file; exit code 0 when all\n"
    "were signed, 1 when one was not, 2 without a file.\n";

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    bool crlf = false, secure = false;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--crlf") == 0)
            crlf = true;
        else if (strcmp(argv[i], "--secure") == 0)
            secure = true;
        else
            files.push_back(argv[i]);
    }
    if (files.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int failed = 0;
    for (const char* path : files) failed += SignOne(path, crlf, secure);
    return failed == 0 ? 0 : 1;
}
