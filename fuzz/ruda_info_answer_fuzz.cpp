// Fuzz target of the terminal information answers: the first byte chooses
// the decoder (system information by mode and model, identification by mode
// and current part, file versions, full description), the rest is the
// terminal's answer with its status word. Texts stay within their fields
// and end with a NUL, the part index and the package table keep their
// bounds, and every chain is released.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "protocols/ruda/ruda_terminal_info.h"

namespace {

bool Ended(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void CheckPart(const TerminalPartInfo& p) {
    Check(p.packageCount >= 0 && p.packageCount <= kTermInfoPackages, "package count");
    Check(p.packageCodeBytes == p.packageCount * 5 || p.packageCount == 0, "package bytes");
    for (int column = 0; column < 4; ++column)
        for (int entry = 0; entry < kTermInfoPackages; ++entry)
            Check(Ended(p.packageTables[column][entry], 5), "package entry");
    Check(Ended(p.serial, sizeof p.serial), "serial");
    Check(p.serialLength >= 0 && p.serialLength <= kTermInfoSerial, "serial length");
    Check(Ended(p.identifier, sizeof p.identifier), "identifier");
    Check(Ended(p.applicationVersion, sizeof p.applicationVersion), "application version");
    Check(p.applicationVersionLength >= 0 && p.applicationVersionLength < 21, "application version length");
    Check(Ended(p.tamperState, sizeof p.tamperState) && Ended(p.removalState, sizeof p.removalState), "states");
    Check(Ended(p.contactlessKernels, sizeof p.contactlessKernels), "kernels");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    if (size < 1 || size > 20000) return 0;
    const uint8_t choice = input[0];
    std::vector<unsigned char> answer(input + 1, input + size);
    const int length = static_cast<int>(answer.size());
    switch (choice & 0x03) {
        case 0: {
            auto part = std::make_unique<TerminalPartInfo>();
            part->mode = (choice >> 2) & 0x03;
            part->modelNumber = (choice & 0x10) != 0 ? 600 : 200;
            RUDA_DealINFOAnswer(answer.data(), length, part.get());
            CheckPart(*part);
            break;
        }
        case 1: {
            auto info = std::make_unique<TerminalInfoArea>();
            info->mode = (choice >> 2) & 0x01;
            info->currentPart = (choice >> 3) & 0x07;  // 5 to 7 are outside the parts
            info->parts[0].modelNumber = (choice & 0x40) != 0 ? 640 : 0;
            RUDA_DealInfoExtAnswer(answer.data(), length, info.get());
            Check(info->currentPart >= 0 && info->currentPart <= 4, "current part");
            Check(Ended(info->modelName, sizeof info->modelName), "model name");
            Check(Ended(info->identifier, sizeof info->identifier), "identifier");
            for (const TerminalPartInfo& p : info->parts) CheckPart(p);
            break;
        }
        case 2: {
            FileVersionEntry first{};
            RUDA_DealFilesVersionAnswer(answer.data(), length, &first);
            for (const FileVersionEntry* e = &first; e != nullptr; e = e->next)
                Check(Ended(e->name, sizeof e->name) && Ended(e->version, sizeof e->version), "file version");
            FileVersionList_Free(&first);
            break;
        }
        default: {
            auto d = std::make_unique<TerminalDescription>();
            CleanupTerminalInfo(d.get());
            RUDA_DealTerminalInfoAnswer(answer.data(), length, d.get());
            for (const HardwareRecord* h = &d->hardware; h != nullptr; h = h->next)
                Check(Ended(h->name, sizeof h->name) && Ended(h->version, sizeof h->version) &&
                          Ended(h->serial, sizeof h->serial) && Ended(h->osName, sizeof h->osName),
                      "hardware texts");
            Check(Ended(d->identifier, sizeof d->identifier), "identifier");
            CleanupTerminalInfo(d.get());
            break;
        }
    }
    return 0;
}
