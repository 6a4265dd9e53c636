// UUID texts.
#include "core/uuid_text.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/uuid.h"

UuidHolder CreateUuidString() {
    const std::string text = plat::NewUuidText();
    if (text.size() != 36) return nullptr;
    UuidHolder holder(new (std::nothrow) char[text.size() + 1]);
    if (holder) std::memcpy(holder.get(), text.c_str(), text.size() + 1);
    return holder;
}

void FreeUuidString(UuidHolder& holder) { holder.reset(); }
