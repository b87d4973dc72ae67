// Installing a driver package: a new root-enumerated device node of the INF's class with the
// given hardware ID, then the INF's driver through the update function of newdev.dll.
#include <cstring>

#include "setup_handles.h"
#include "tolvane.h"

namespace tolvane {

namespace {

constexpr const char* kNewdevModule = "newdev.dll";
constexpr const char* kUpdateFunction = "UpdateDriverForPlugAndPlayDevicesA";
constexpr uint32_t kHardwareIdListSize = 260;
constexpr uint32_t kHardwareIdMaxChars = 256;

bool ResolvePath(const char* path, char (&fullPath)[SETUP_MAX_PATH]) {
    uint32_t length = OsGetFullPathName(path, SETUP_MAX_PATH, fullPath);
    return length != 0 && length < SETUP_MAX_PATH;
}

}  // namespace

int32_t UpdateDriver(const char* hardwareId, const char* infPath) {
    char fullPath[SETUP_MAX_PATH] = {};
    if (!ResolvePath(infPath, fullPath)) {
        Print("Driver update GetFullPathName() fail \n\r");
        return kFailure;
    }
    if (OsGetFileAttributes(fullPath) == SETUP_INVALID_FILE_ATTRIBUTES) {
        Print("Driver update GetFileAttributes() fail \n\r");
        return kFailure;
    }
    LoadedModule newdev(OsLoadLibrary(kNewdevModule));
    if (!newdev.valid()) {
        return kFailure;
    }
    SetupProc updateDriver = OsGetProcAddress(newdev.get(), kUpdateFunction);
    if (updateDriver == nullptr) {
        Print("Driver update GetProcAddress() fail \n\r");
        return kFailure;
    }
    // Whether the update asks for a reboot is left to the user; it changes nothing here.
    int32_t rebootRequired = 0;
    if (!OsCallUpdateDriver(updateDriver, hardwareId, fullPath, SETUP_INSTALLFLAG_FORCE,
                            &rebootRequired)) {
        Print("Driver update UpdateFn() fail \n\r");
        return kFailure;
    }
    return kSuccess;
}

int32_t InstallDriver(const char* hardwareId, const char* infPath) {
    char fullPath[SETUP_MAX_PATH] = {};
    if (!ResolvePath(infPath, fullPath)) {
        Print("Driver install GetFullPathName() fail \n\r");
        return kFailure;
    }
    SetupGuid classGuid{};
    char className[SETUP_MAX_CLASS_NAME_LEN] = {};
    if (!DiGetInfClass(fullPath, &classGuid, className, SETUP_MAX_CLASS_NAME_LEN)) {
        Print("Driver install SetupDiGetINFClass() fail \n\r");
        return kFailure;
    }
    DevInfoSet set(DiCreateDeviceInfoList(&classGuid));
    if (!set.valid()) {
        Print("Driver install SetupDiCreateDeviceInfoList() fail \n\r");
        return kFailure;
    }
    // The system generates a root-enumerated instance ID under the class name.
    SetupDevElement element{};
    if (!DiCreateDeviceInfo(set.get(), className, &classGuid, nullptr, SETUP_DICD_GENERATE_ID,
                            &element)) {
        Print("Driver install SetupDiCreateDeviceInfo() fail \n\r");
        return kFailure;
    }
    // A multi-string of one entry: the zero fill supplies its terminator and the list's final
    // empty string. The length is that of the copy, so an ID cut to 256 characters never
    // makes the call read past the buffer.
    uint8_t hardwareIdList[kHardwareIdListSize] = {};
    size_t copied = strnlen(hardwareId, kHardwareIdMaxChars);
    memcpy(hardwareIdList, hardwareId, copied);
    if (!DiSetDeviceProperty(set.get(), &element, SETUP_SPDRP_HARDWAREID, hardwareIdList,
                             static_cast<uint32_t>(copied + 2))) {
        Print("Driver install SetupDiSetDeviceRegistryProperty() fail \n\r");
        return kFailure;
    }
    if (!DiCallClassInstaller(SETUP_DIF_REGISTERDEVICE, set.get(), &element)) {
        Print("Driver install SetupDiCallClassInstaller() fail \n\r");
        return kFailure;
    }
    // The update works on the operands as typed: the whole hardware ID, the unresolved path.
    return UpdateDriver(hardwareId, infPath);
}

}  // namespace tolvane
