// The C exports of the client library: five instance functions and the tag
// functions, each tag function with and without an instance id.
#include "znp_dll.h"

#include "client/dll_log.h"
#include "client/instance.h"

using znpdll::ClientInstance;
using znpdll::DllLogger;
using znpdll::InstanceTable;

namespace {

// The instance of an exported call, after its entry line; null (and the
// "not found" line logged under `module`) when the id is unknown.
std::shared_ptr<ClientInstance> Lookup(uint32_t instanceId, const char* entry, const char* module) {
    DllLogger::Get().Log(instanceId, entry);
    std::shared_ptr<ClientInstance> instance = InstanceTable::Get().Find(instanceId);
    if (!instance)
        DllLogger::Get().Logf(0, "-- ERROR -- |%s| Numero d'instance (%u) inacceptable", module, instanceId);
    return instance;
}

std::shared_ptr<ClientInstance> TagInstance(uint32_t instanceId) {
    std::shared_ptr<ClientInstance> instance = InstanceTable::Get().Find(instanceId);
    if (!instance) DllLogger::Get().Logf(0, "-- ERROR -- |TAGSET| Numero d'instance (%u) inacceptable", instanceId);
    return instance;
}

std::shared_ptr<ClientInstance> DefaultInstance() {
    std::shared_ptr<ClientInstance> instance = InstanceTable::Get().Default();
    if (!instance) DllLogger::Get().Log(0, "-- ERROR -- |TAGSET| Numero d'instance introuvable");
    return instance;
}

}  // namespace

extern "C" {

ZNP_DLL_API int SZelApiOpen(uint32_t* instanceId, uint32_t, uint32_t eventLevel, uint32_t, uint32_t logSwitch,
                            const char* logFileName, uint32_t logSizeKb, uint32_t posNumber, uint32_t languageCode,
                            const char* clientPath, uint32_t echoLevel, uint32_t uxTimeOut, uint32_t offlineLevel,
                            const char* serverPath, uint32_t encryptionLevel, const char* backupPath,
                            uint32_t backupDelay) {
    znpdll::OpenArguments args;
    args.eventLevel = eventLevel;
    args.logSwitch = logSwitch;
    args.logFileName = logFileName;
    args.logSizeKb = logSizeKb;
    args.posNumber = posNumber;
    args.languageCode = languageCode;
    args.clientPath = clientPath;
    args.echoLevel = echoLevel;
    args.uxTimeOut = uxTimeOut;
    args.offlineLevel = offlineLevel;
    args.serverPath = serverPath;
    args.encryptionLevel = encryptionLevel;
    args.backupPath = backupPath;
    args.backupDelay = backupDelay;
    return InstanceTable::Get().Open(instanceId, args);
}

ZNP_DLL_API int SZelApiClose(uint32_t instanceId, uint32_t) { return InstanceTable::Get().Close(instanceId); }

ZNP_DLL_API int SZelApiSendMessage(uint32_t instanceId, const char* service, char* message, const uint32_t* capacity) {
    auto instance = Lookup(instanceId, "_SZelApiSendMessage_", "DLLSND");
    return instance ? instance->SendMessage(service, message, capacity) : 8;
}

ZNP_DLL_API int SZelApiWaitSynchro(uint32_t instanceId, uint32_t timeoutMs) {
    auto instance = Lookup(instanceId, "_SZelApiWaitSynchro_", "DLLWAI");
    return instance ? instance->WaitSynchro(timeoutMs) : 8;
}

ZNP_DLL_API int SZelApiGetMessage(uint32_t instanceId, char* service, char* message, uint32_t* capacity) {
    auto instance = Lookup(instanceId, "_SZelApiGetMessage_", "DLLGET");
    return instance ? instance->GetMessage(service, message, capacity) : 8;
}

ZNP_DLL_API int ATAG_WriteInit(char* buffer, uint32_t capacity) {
    auto instance = DefaultInstance();
    return instance ? instance->writer().WriteInit(buffer, capacity, true) : -1;
}

ZNP_DLL_API int ATAG_SetStringVal(const char* code, const char* value) {
    auto instance = DefaultInstance();
    return instance ? instance->writer().SetStringVal(code, value) : -1;
}

ZNP_DLL_API int ATAG_SetStringValHEX(const char* code, const unsigned char* bytes, uint32_t count) {
    auto instance = DefaultInstance();
    return instance ? instance->writer().SetStringValHEX(code, bytes, count) : -1;
}

ZNP_DLL_API int ATAG_GetWriteBuf(char* destination) {
    auto instance = DefaultInstance();
    return instance ? instance->writer().GetWriteBuf(destination) : -1;
}

ZNP_DLL_API int ATAG_ReadInit(const char* text, uint32_t length) {
    auto instance = DefaultInstance();
    return instance ? instance->reader().ReadInit(text, length) : -1;
}

ZNP_DLL_API int ATAG_GetStringVal(const char* code, char* destination, int32_t fromStart) {
    auto instance = DefaultInstance();
    return instance ? instance->reader().GetStringVal(code, destination, fromStart) : -1;
}

ZNP_DLL_API int ATAG_GetStringValHEX(const char* code, unsigned char* destination, uint32_t* count,
                                     int32_t fromStart) {
    auto instance = DefaultInstance();
    return instance ? instance->reader().GetStringValHEX(code, destination, count, fromStart) : -1;
}

ZNP_DLL_API int ATAG_WriteInitForInstance(uint32_t instanceId, char* buffer, uint32_t capacity) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->writer().WriteInit(buffer, capacity, true) : -1;
}

ZNP_DLL_API int ATAG_SetStringValForInstance(uint32_t instanceId, const char* code, const char* value) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->writer().SetStringVal(code, value) : -1;
}

ZNP_DLL_API int ATAG_SetStringValHEXForInstance(uint32_t instanceId, const char* code, const unsigned char* bytes,
                                                uint32_t count) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->writer().SetStringValHEX(code, bytes, count) : -1;
}

ZNP_DLL_API int ATAG_GetWriteBufForInstance(uint32_t instanceId, char* destination) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->writer().GetWriteBuf(destination) : -1;
}

ZNP_DLL_API int ATAG_ReadInitForInstance(uint32_t instanceId, const char* text, uint32_t length) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->reader().ReadInit(text, length) : -1;
}

ZNP_DLL_API int ATAG_GetStringValForInstance(uint32_t instanceId, const char* code, char* destination,
                                             int32_t fromStart) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->reader().GetStringVal(code, destination, fromStart) : -1;
}

ZNP_DLL_API int ATAG_GetStringValHEXForInstance(uint32_t instanceId, const char* code, unsigned char* destination,
                                                uint32_t* count, int32_t fromStart) {
    auto instance = TagInstance(instanceId);
    return instance ? instance->reader().GetStringValHEX(code, destination, count, fromStart) : -1;
}

}  // extern "C"
