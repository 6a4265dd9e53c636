#include "comm/memory_service.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/trace.h"

namespace {

constexpr uint32_t kClientToServer = 5;
constexpr uint32_t kServerToClient = 20485;
constexpr uint32_t kLengthOffset = 2;
constexpr uint32_t kDataOffset = 8;
constexpr uint8_t kServiceOpen = 2;
constexpr uint8_t kSlotFree = 0;
constexpr uint8_t kSlotRequested = 1;
constexpr uint8_t kSlotAccepted = 2;
constexpr uint8_t kSlotClaimed = 0xFF;  // taken by a client that is still clearing it
constexpr int32_t kClientBase = 100;
constexpr int kConnectPollMs = 50;
constexpr int kPollMs = 10;
constexpr int32_t kWriteWaitMs = 5000;

struct Registered {
    uint8_t* block = nullptr;
    int opens = 0;
};

std::mutex g_registerMutex;
std::map<std::string, Registered> g_register;
std::atomic<uint8_t*> g_known{nullptr};

uint8_t Load(uint8_t* p) { return std::atomic_ref<uint8_t>(*p).load(std::memory_order_acquire); }
void Store(uint8_t* p, uint8_t v) { std::atomic_ref<uint8_t>(*p).store(v, std::memory_order_release); }

uint8_t* ServiceState(uint8_t* block) { return block; }
uint8_t* SlotState(uint8_t* block, int slot) { return block + slot; }
uint8_t* Buffer(uint8_t* block, uint32_t base, int slot) { return block + base + static_cast<uint32_t>(slot) * SHNET_BUFFER_SIZE; }

// The block registered under the name, opened once more; null when none.
uint8_t* Lookup(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_registerMutex);
    auto it = g_register.find(name);
    if (it == g_register.end()) return nullptr;
    ++it->second.opens;
    return it->second.block;
}

// Matches one open of the block; the last one frees it.
void Release(uint8_t* block) {
    std::lock_guard<std::mutex> guard(g_registerMutex);
    for (auto it = g_register.begin(); it != g_register.end(); ++it) {
        if (it->second.block != block) continue;
        if (--it->second.opens <= 0) {
            uint8_t* expected = block;
            g_known.compare_exchange_strong(expected, nullptr);
            WFreeShareMemHeap(block);
            g_register.erase(it);
        }
        return;
    }
}

// Slot of a handle and the buffers it writes into and reads from.
struct HandleSlot {
    int slot = 0;
    uint32_t writeBase = 0;
    uint32_t readBase = 0;
};

bool DecodeHandle(int32_t handle, HandleSlot* out) {
    if (handle > SHNET_LISTEN_HANDLE && handle < SHNET_LISTEN_HANDLE + SHNET_SLOT_COUNT) {
        *out = {handle - SHNET_LISTEN_HANDLE, kServerToClient, kClientToServer};
        return true;
    }
    if (handle > kClientBase && handle < kClientBase + SHNET_SLOT_COUNT) {
        *out = {handle - kClientBase, kClientToServer, kServerToClient};
        return true;
    }
    return false;
}

void ClearBuffers(uint8_t* block, int slot) {
    Store(Buffer(block, kClientToServer, slot), '0');
    Store(Buffer(block, kServerToClient, slot), '0');
}

// Length written at offset 2 of a buffer ("%05u"), or -1.
int StoredLength(const uint8_t* buffer) {
    int value = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        const uint8_t c = buffer[kLengthOffset + i];
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

void WriteLength(uint8_t* buffer, uint32_t length) {
    char text[16];
    std::snprintf(text, sizeof text, "%05u", length % 100000);
    std::memcpy(buffer + kLengthOffset, text, 6);
}

}  // namespace

int SHNET_OpenServer(int32_t* handle, const char* service, int /*backlog*/) {
    if (handle == nullptr || service == nullptr) return -1;
    const std::string name = std::string("WSN_") + service;
    if (uint8_t* existing = Lookup(name)) {
        WSysError("** INFO. ** SHNET_OpenServer : Service Deja Disponible");
        Release(existing);
        return -2;
    }
    auto* block = static_cast<uint8_t*>(WOpenShareMemHeap(name.c_str(), SHNET_BLOCK_SIZE));
    if (block == nullptr) {
        WSysError("-- ERROR -- SHNET_OpenServeur : Echec Allocation MAP");
        return -1;
    }
    std::memset(block, 0, SHNET_BLOCK_SIZE);
    {
        std::lock_guard<std::mutex> guard(g_registerMutex);
        g_register[name] = Registered{block, 1};
    }
    setenv("WSN", name.c_str(), 1);
    Store(ServiceState(block), kServiceOpen);
    g_known.store(block);
    *handle = SHNET_LISTEN_HANDLE;
    return 0;
}

int SHNET_Connect(int32_t* handle, int32_t timeoutMs, int32_t* station) {
    if (handle != nullptr) *handle = -1;
    uint8_t* block = g_known.load();
    if (handle == nullptr || block == nullptr || Load(ServiceState(block)) != kServiceOpen) return -1;
    const WTimeStamp start = WGetTimeStamp();
    for (;;) {
        for (int slot = 1; slot < SHNET_SLOT_COUNT; ++slot) {
            uint8_t expected = kSlotRequested;
            if (std::atomic_ref<uint8_t>(*SlotState(block, slot))
                    .compare_exchange_strong(expected, kSlotAccepted, std::memory_order_acq_rel)) {
                *handle = SHNET_LISTEN_HANDLE + slot;
                if (station != nullptr) *station = slot;
                return 1;
            }
        }
        if (WIsTimeOut(start, timeoutMs)) return 0;
        WSleep(kConnectPollMs);
    }
}

int SHNET_OpenClient(int32_t* handle, const char* service, int32_t timeoutMs) {
    if (handle != nullptr) *handle = -1;
    if (handle == nullptr || service == nullptr) return -1;
    uint8_t* block = Lookup(std::string("WSN_") + service);
    if (block == nullptr) {
        WSysError("<< WARN. >> SHNET_OpenClient : Service Non Ouvert");
        return -1;
    }
    if (Load(ServiceState(block)) != kServiceOpen) {
        Release(block);
        WSysError("** INFO. ** SHNET_OpenClient : Service Non Disponible");
        return -2;
    }
    // A free slot is claimed first (a state the server does not accept),
    // cleared, and only then shown to the server as requested.
    int slot = 0;
    for (int s = 1; s < SHNET_SLOT_COUNT && slot == 0; ++s) {
        uint8_t expected = kSlotFree;
        if (std::atomic_ref<uint8_t>(*SlotState(block, s))
                .compare_exchange_strong(expected, kSlotClaimed, std::memory_order_acq_rel))
            slot = s;
    }
    if (slot == 0) {
        // Every slot carries another client's link: taking one would mix
        // two clients' messages.
        WSysError("<< WARN. >> SHNET_OpenClient : Service sature");
        Release(block);
        return -3;
    }
    ClearBuffers(block, slot);
    Store(SlotState(block, slot), kSlotRequested);
    const WTimeStamp start = WGetTimeStamp();
    uint8_t state = Load(SlotState(block, slot));
    while (state == kSlotRequested && !WIsTimeOut(start, timeoutMs)) {
        WSleep(kPollMs);
        state = Load(SlotState(block, slot));
    }
    if (state == kSlotRequested) {
        // Withdraw the request, unless the server accepts it right now.
        uint8_t expected = kSlotRequested;
        if (std::atomic_ref<uint8_t>(*SlotState(block, slot))
                .compare_exchange_strong(expected, kSlotFree, std::memory_order_acq_rel)) {
            Release(block);
            WSysError("<< WARN. >> SHNET_OpenClient : Connection Time Out : %02x", state);
            return -4;
        }
        state = expected;
    }
    if (state == kSlotAccepted) {
        // The buffers are not cleared again here: the server may already
        // have written its first message.
        g_known.store(block);
        *handle = kClientBase + slot;
        return 0;
    }
    Store(SlotState(block, slot), kSlotFree);
    Release(block);
    WSysError("<< WARN. >> SHNET_OpenClient : Connection Time Out : %02x", state);
    return -4;
}

int SHNET_OpenContext() {
    if (g_known.load() != nullptr) return 1;
    const char* name = std::getenv("WSN");
    uint8_t* block = Lookup(name != nullptr ? name : "WSN_carte");
    if (block == nullptr) {
        WSysError("-- ERROR -- SHNET_OpenContext : Service Non Ouvert");
        return -2;
    }
    g_known.store(block);
    return Load(ServiceState(block)) == kServiceOpen ? 1 : 0;
}

int SHNET_Read(int32_t handle, void* buffer, uint32_t capacity, int peek) {
    if (SHNET_OpenContext() < 0) return -1;
    uint8_t* block = g_known.load();
    HandleSlot hs;
    if (block == nullptr || !DecodeHandle(handle, &hs)) return -1;
    uint8_t* in = Buffer(block, hs.readBase, hs.slot);
    const uint8_t state = Load(in);
    if (state == '0' || state == 0) {
        WSleep(kPollMs);
        return 0;
    }
    const int length = state == '1' ? StoredLength(in) : -1;
    if (length < 0 || static_cast<uint32_t>(length) > SHNET_MAX_MESSAGE) {
        WSysError("-- ERROR -- SHNET_Read : Etat Message Incoherent : ");
        return -1;
    }
    const uint32_t count = static_cast<uint32_t>(length) < capacity ? static_cast<uint32_t>(length) : capacity;
    if (count != 0) {
        if (buffer == nullptr) return -1;
        std::memcpy(buffer, in + kDataOffset, count);
    }
    if (!peek) {
        if (count == static_cast<uint32_t>(length)) {
            Store(in, '0');
        } else {
            // The caller's buffer is smaller than the message: the rest stays
            // for the next read.
            const uint32_t rest = static_cast<uint32_t>(length) - count;
            std::memmove(in + kDataOffset, in + kDataOffset + count, rest);
            WriteLength(in, rest);
        }
    }
    return static_cast<int>(count);
}

int SHNET_Write(int32_t handle, const void* message, uint32_t length) {
    if (SHNET_OpenContext() < 0) return -1;
    uint8_t* block = g_known.load();
    HandleSlot hs;
    if (block == nullptr || !DecodeHandle(handle, &hs)) return -1;
    if (length > SHNET_MAX_MESSAGE) {
        WSysError("-- ERROR -- SHNET_Write : message trop long : %u, max. : %u", length, SHNET_MAX_MESSAGE);
        return -1;
    }
    if (message == nullptr && length != 0) return -1;
    uint8_t* out = Buffer(block, hs.writeBase, hs.slot);
    const WTimeStamp start = WGetTimeStamp();
    uint8_t state = Load(out);
    while (state == '1') {
        if (WIsTimeOut(start, kWriteWaitMs)) return -1;
        WSleep(kPollMs);
        state = Load(out);
    }
    if (state != '0' && state != 0) return -1;
    WriteLength(out, length);
    if (length != 0) std::memcpy(out + kDataOffset, message, length);
    Store(out, '1');
    return static_cast<int>(length);
}

int SHNET_Close(int32_t handle) {
    uint8_t* block = g_known.load();
    if (block == nullptr) return -1;
    if (handle > SHNET_LISTEN_HANDLE && handle < SHNET_LISTEN_HANDLE + SHNET_SLOT_COUNT) {
        Store(SlotState(block, handle - SHNET_LISTEN_HANDLE), kSlotFree);
    } else if (handle == SHNET_LISTEN_HANDLE) {
        Store(ServiceState(block), 0);
        Release(block);
    } else if (handle > kClientBase && handle < kClientBase + SHNET_SLOT_COUNT) {
        Store(SlotState(block, handle - kClientBase), kSlotFree);
        Release(block);
    }
    return 0;
}
