// Fuzz target of the XPRO descriptor readers: the link's split of any text,
// the open of a link from it, the request mapping with it in rubrique 'S',
// and the terminal box reading it back into a resource. No reading passes
// the text, a context is made only from a whole descriptor, a refused
// address leaves the resource as it was, and every text field read stays
// within its field.
#include <cstdint>
#include <cstring>
#include <string>

#include "comm/message_box.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/terminal_box.h"
#include "protocols/xpro/xpro_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;
    (void)quiet;
    if (size > 4000) return 0;
    // Exactly the input's bytes, with the terminator the readers expect.
    const std::string text(reinterpret_cast<const char*>(input), size);
    const char* c = text.c_str();

    XPRO_FIELDS fields;
    const int whole = XPRO_SplitDescriptor(c, &fields);
    for (const auto& f : fields.field) Check(std::strlen(f) <= XPRO_FIELD_SEARCH, "field beyond 80 characters");

    auto* ctx = static_cast<KT_XPROT*>(XAS_LinkOpen(c));
    Check((ctx != nullptr) == (whole == 1), "a link from a descriptor that is not whole");
    if (ctx != nullptr) {
        Check(std::strlen(ctx->application) <= XPRO_APPLICATION_MAX, "application beyond its field");
        Check(std::strlen(ctx->linkName) <= XPRO_LINK_NAME_MAX, "link name beyond its field");
        Check(std::strlen(ctx->party[0].kerStat) <= XPRO_LABEL_MAX, "label beyond its field");
        // The same text mapped as a request.
        static KTM_HALF halves[2];
        static KTM_WPRO block;
        std::memset(&halves, 0, sizeof halves);
        std::memset(&block, 0, sizeof block);
        block.request = &halves[0];
        block.answer = &halves[1];
        block.TransBox = ctx;
        std::memcpy(halves[0].S, c, std::min(text.size(), KTM_S_MAX));
        halves[0].mLength = static_cast<uint32_t>(size);
        const int mapped = XAS_LinkRequest(&block);
        Check(mapped == -1 || mapped == static_cast<int>(size), "mapped length");
        halves[1].totalLength = static_cast<uint32_t>(size % 64);
        Check(XAS_LinkStatus(&block) == static_cast<int>(size % 64), "answer length");
        XPRO_FIELDS back;
        Check(XPRO_SplitDescriptor(halves[1].S, &back) == 1, "answer descriptor not whole");
        XA_LinkClose(ctx);
    }

    // The box's reading of an answer descriptor.
    KT_PERES resource{};
    std::memcpy(resource.xproAddress, c, std::min(text.size(), sizeof resource.xproAddress - 1));
    std::snprintf(resource.application, sizeof resource.application, "%s", "1000");
    resource.mesStat = 77;
    const int read = TWEP_ParseXproAddress(&resource);
    Check(read == 1 || read == -1, "address result");
    if (read == -1) {
        Check(resource.mesStat == 77, "a refused address changed the resource");
        Check(std::strcmp(resource.application, "1000") == 0, "a refused address changed the application");
    }
    Check(std::strlen(resource.application) <= 4 && std::strlen(resource.kerStat) <= 8 &&
              std::strlen(resource.appStat) <= 8 && std::strlen(resource.dialServiceText) <= 16,
          "text field beyond the record");
    return 0;
}
