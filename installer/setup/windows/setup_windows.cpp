// The device-installation boundary over SetupAPI, the configuration manager and newdev.dll.
// Each function is a direct call; the only work here is converting records and handles.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cstring>

#include "../setup_api.h"

static_assert(sizeof(SetupGuid) == sizeof(GUID), "GUID layout");
static_assert(SETUP_DIGCF_PRESENT == DIGCF_PRESENT && SETUP_DIGCF_ALLCLASSES == DIGCF_ALLCLASSES &&
                  SETUP_DIGCF_DEVICEINTERFACE == DIGCF_DEVICEINTERFACE,
              "DIGCF values");
static_assert(SETUP_DIF_REMOVE == DIF_REMOVE && SETUP_DIF_PROPERTYCHANGE == DIF_PROPERTYCHANGE &&
                  SETUP_DIF_REGISTERDEVICE == DIF_REGISTERDEVICE,
              "DIF values");
static_assert(SETUP_DICS_ENABLE == DICS_ENABLE && SETUP_DICS_DISABLE == DICS_DISABLE &&
                  SETUP_DICS_PROPCHANGE == DICS_PROPCHANGE && SETUP_DICS_START == DICS_START &&
                  SETUP_DICS_STOP == DICS_STOP &&
                  SETUP_DICS_FLAG_CONFIGSPECIFIC == DICS_FLAG_CONFIGSPECIFIC &&
                  SETUP_DI_REMOVEDEVICE_GLOBAL == DI_REMOVEDEVICE_GLOBAL,
              "DICS values");
static_assert(SETUP_SPDRP_DEVICEDESC == SPDRP_DEVICEDESC &&
                  SETUP_SPDRP_HARDWAREID == SPDRP_HARDWAREID && SETUP_SPDRP_MFG == SPDRP_MFG &&
                  SETUP_SPDRP_LOCATION_INFORMATION == SPDRP_LOCATION_INFORMATION,
              "SPDRP values");
static_assert(SETUP_DICD_GENERATE_ID == DICD_GENERATE_ID && SETUP_CR_SUCCESS == CR_SUCCESS &&
                  SETUP_CR_FAILURE == CR_FAILURE &&
                  SETUP_CM_LOCATE_DEVNODE_NORMAL == CM_LOCATE_DEVNODE_NORMAL &&
                  SETUP_CM_REENUMERATE_SYNCHRONOUS == CM_REENUMERATE_SYNCHRONOUS &&
                  SETUP_CM_REENUMERATE_ASYNCHRONOUS == CM_REENUMERATE_ASYNCHRONOUS,
              "configuration manager values");
static_assert(SETUP_INVALID_FILE_ATTRIBUTES == INVALID_FILE_ATTRIBUTES &&
                  SETUP_MAX_PATH == MAX_PATH && SETUP_MAX_CLASS_NAME_LEN == MAX_CLASS_NAME_LEN,
              "file and size values");

namespace {

// INSTALLFLAG_FORCE and the published signature of UpdateDriverForPlugAndPlayDevicesA; the
// program never links newdev, so its header is not needed.
constexpr DWORD kInstallFlagForce = 0x00000001;
static_assert(SETUP_INSTALLFLAG_FORCE == kInstallFlagForce, "INSTALLFLAG_FORCE");
using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);

HDEVINFO ToHandle(SetupDevInfoSet set) {
    return set == nullptr ? INVALID_HANDLE_VALUE : reinterpret_cast<HDEVINFO>(set);
}

SetupDevInfoSet FromHandle(HDEVINFO handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<SetupDevInfoSet>(handle);
}

const GUID* ToGuid(const SetupGuid* guid) {
    return reinterpret_cast<const GUID*>(guid);
}

SP_DEVINFO_DATA ToData(const SetupDevElement* element) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    memcpy(&data.ClassGuid, &element->classGuid, sizeof(GUID));
    data.DevInst = element->devInst;
    data.Reserved = static_cast<ULONG_PTR>(element->reserved);
    return data;
}

void FromData(const SP_DEVINFO_DATA& data, SetupDevElement* element) {
    memcpy(&element->classGuid, &data.ClassGuid, sizeof(GUID));
    element->devInst = data.DevInst;
    element->reserved = static_cast<uint64_t>(data.Reserved);
}

}  // namespace

extern "C" {

SetupDevInfoSet DiGetClassDevs(const SetupGuid* classGuid, const char* enumerator, uint32_t flags) {
    return FromHandle(SetupDiGetClassDevsA(ToGuid(classGuid), enumerator, nullptr, flags));
}

int DiEnumDeviceInfo(SetupDevInfoSet set, uint32_t memberIndex, SetupDevElement* element) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInfo(ToHandle(set), memberIndex, &data)) {
        return 0;
    }
    FromData(data, element);
    return 1;
}

void DiDestroyDeviceInfoList(SetupDevInfoSet set) {
    SetupDiDestroyDeviceInfoList(ToHandle(set));
}

SetupDevInfoSet DiCreateDeviceInfoList(const SetupGuid* classGuid) {
    return FromHandle(SetupDiCreateDeviceInfoList(ToGuid(classGuid), nullptr));
}

int DiCreateDeviceInfo(SetupDevInfoSet set, const char* deviceName, const SetupGuid* classGuid,
                       const char* description, uint32_t creationFlags, SetupDevElement* element) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiCreateDeviceInfoA(ToHandle(set), deviceName, ToGuid(classGuid), description,
                                  nullptr, creationFlags, &data)) {
        return 0;
    }
    FromData(data, element);
    return 1;
}

int DiGetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        uint8_t* buffer, uint32_t bufferSize) {
    SP_DEVINFO_DATA data = ToData(element);
    return SetupDiGetDeviceRegistryPropertyA(ToHandle(set), &data, property, nullptr, buffer,
                                             bufferSize, nullptr)
               ? 1
               : 0;
}

int DiSetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        const uint8_t* buffer, uint32_t size) {
    SP_DEVINFO_DATA data = ToData(element);
    return SetupDiSetDeviceRegistryPropertyA(ToHandle(set), &data, property, buffer, size) ? 1 : 0;
}

int DiSetPropChangeParams(SetupDevInfoSet set, const SetupDevElement* element, uint32_t stateChange,
                          uint32_t scope, uint32_t hwProfile) {
    SP_DEVINFO_DATA data = ToData(element);
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = scope;
    params.HwProfile = hwProfile;
    return SetupDiSetClassInstallParamsA(ToHandle(set), &data, &params.ClassInstallHeader,
                                         sizeof(params))
               ? 1
               : 0;
}

int DiSetRemoveParams(SetupDevInfoSet set, const SetupDevElement* element, uint32_t scope,
                      uint32_t hwProfile) {
    SP_DEVINFO_DATA data = ToData(element);
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = scope;
    params.HwProfile = hwProfile;
    return SetupDiSetClassInstallParamsA(ToHandle(set), &data, &params.ClassInstallHeader,
                                         sizeof(params))
               ? 1
               : 0;
}

int DiCallClassInstaller(uint32_t installFunction, SetupDevInfoSet set,
                         const SetupDevElement* element) {
    SP_DEVINFO_DATA data = ToData(element);
    return SetupDiCallClassInstaller(installFunction, ToHandle(set), &data) ? 1 : 0;
}

int DiGetInfClass(const char* infPath, SetupGuid* classGuid, char* className,
                  uint32_t classNameSize) {
    return SetupDiGetINFClassA(infPath, reinterpret_cast<GUID*>(classGuid), className,
                               classNameSize, nullptr)
               ? 1
               : 0;
}

int DiClassGuidsFromName(const char* className, SetupGuid* guidList, uint32_t guidListSize,
                         uint32_t* requiredSize) {
    DWORD required = *requiredSize;
    BOOL ok = SetupDiClassGuidsFromNameExA(className, reinterpret_cast<GUID*>(guidList),
                                           guidListSize, &required, nullptr, nullptr);
    *requiredSize = required;
    return ok ? 1 : 0;
}

uint32_t CmLocateDevNode(uint32_t* devInst, const char* deviceId, uint32_t flags) {
    DEVINST node = 0;
    CONFIGRET result = CM_Locate_DevNodeA(&node, const_cast<char*>(deviceId), flags);
    *devInst = node;
    return result;
}

uint32_t CmReenumerateDevNode(uint32_t devInst, uint32_t flags) {
    return CM_Reenumerate_DevNode(devInst, flags);
}

uint32_t CmGetDeviceId(uint32_t devInst, char* buffer, uint32_t bufferLength, uint32_t flags) {
    return CM_Get_Device_ID_ExA(devInst, buffer, bufferLength, flags, nullptr);
}

uint32_t OsGetFullPathName(const char* path, uint32_t bufferLength, char* buffer) {
    return GetFullPathNameA(path, bufferLength, buffer, nullptr);
}

uint32_t OsGetFileAttributes(const char* path) {
    return GetFileAttributesA(path);
}

SetupModule OsLoadLibrary(const char* moduleName) {
    return reinterpret_cast<SetupModule>(LoadLibraryA(moduleName));
}

SetupProc OsGetProcAddress(SetupModule module, const char* procName) {
    // Through the generic function type, which converts to any other without a warning.
    auto proc =
        reinterpret_cast<void (*)()>(GetProcAddress(reinterpret_cast<HMODULE>(module), procName));
    return reinterpret_cast<SetupProc>(proc);
}

void OsFreeLibrary(SetupModule module) {
    FreeLibrary(reinterpret_cast<HMODULE>(module));
}

int OsCallUpdateDriver(SetupProc updateDriver, const char* hardwareId, const char* fullInfPath,
                       uint32_t installFlags, int32_t* rebootRequired) {
    auto update = reinterpret_cast<UpdateDriverFn>(reinterpret_cast<void (*)()>(updateDriver));
    BOOL reboot = *rebootRequired;
    BOOL ok = update(nullptr, hardwareId, fullInfPath, installFlags, &reboot);
    *rebootRequired = reboot;
    return ok ? 1 : 0;
}

void OsSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}

void OsWriteConsole(const char* text, uint32_t length) {
    printf("%.*s", static_cast<int>(length), text);
    // The countdown overwrites its own line once a second; show each count as it is written.
    fflush(stdout);
}

}  // extern "C"
