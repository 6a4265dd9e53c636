// Parameter files: loading and checking a signed 500-line file, and looking
// up keys at its start, middle and end; the text manager's load and lookup.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/param_file.h"
#include "core/text_manager.h"

namespace {

// A directory with a signed 500-line "bench_00.wt", removed at exit.
struct BenchFile {
    BenchFile() {
        char tmpl[] = "/tmp/znp-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        dir = tmpl;
        path = dir + "/bench_00.wt";
        std::string body;
        for (int i = 0; i < 500; ++i)
            body += "[Key" + std::to_string(i) + ":value number " + std::to_string(i * 7) + "]\r\n";
        KTDK_FILE* file = FILE_NewFile(path.c_str());
        FILE_SetFileContent(file, int32_t(body.size()), body.data());
        FILE_PutRecordSignat(file);
        FILE_OpenWriteClose(file);
        FILE_FreeFile(file);
    }
    ~BenchFile() { std::filesystem::remove_all(dir); }
    std::string dir, path;
};

BenchFile& Fixture() {
    static BenchFile f;
    return f;
}

void BM_LoadAndCheck(benchmark::State& state) {
    KTDK_FILE* file = FILE_NewFile(Fixture().path.c_str());
    for (auto _ : state) {
        FILE_OpenReadClose(file);
        benchmark::DoNotOptimize(FILE_GetRecordSecure(file));
        benchmark::DoNotOptimize(FILE_GetRecordSignat(file));
    }
    FILE_FreeFile(file);
}
BENCHMARK(BM_LoadAndCheck);

void BM_Search(benchmark::State& state) {
    KTDK_FILE* file = FILE_NewFile(Fixture().path.c_str());
    FILE_OpenReadClose(file);
    const std::string key = "Key" + std::to_string(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(FILE_GetStringParam(file, key.c_str()));
    FILE_FreeFile(file);
}
BENCHMARK(BM_Search)->Arg(0)->Arg(250)->Arg(499);

void BM_TextManagerLoad(benchmark::State& state) {
    TEXT_MANAGER* m = TEXT_NewTEXTManager();
    TEXT_SetDirectory(m, Fixture().dir.c_str());
    for (auto _ : state) {
        TEXT_SetDirectory(m, "");
        TEXT_SetDirectory(m, Fixture().dir.c_str());  // drops the loaded file
        benchmark::DoNotOptimize(TEXT_OpenFile(m, "bench"));
    }
    TEXT_FreeTEXTManager(m);
}
BENCHMARK(BM_TextManagerLoad);

void BM_TextManagerLookup(benchmark::State& state) {
    TEXT_MANAGER* m = TEXT_NewTEXTManager();
    TEXT_SetDirectory(m, Fixture().dir.c_str());
    std::string value;
    for (auto _ : state) benchmark::DoNotOptimize(TEXT_getValue(m, "bench", "Key499", &value));
    TEXT_FreeTEXTManager(m);
}
BENCHMARK(BM_TextManagerLookup);

}  // namespace
