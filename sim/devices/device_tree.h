// A simulated device tree behind the device-installation boundary (installer/setup/setup_api.h):
// devices with their properties and state, the sets the tool obtains, the class installer's
// calls as they were asked for, INF files, newdev.dll, the configuration manager, the clock and
// the console. Tests arrange a tree, run the tool's code, then look at what it asked and wrote.
#ifndef SIM_DEVICES_DEVICE_TREE_H
#define SIM_DEVICES_DEVICE_TREE_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "setup/setup_api.h"

namespace simdev {

struct Device {
    std::string instanceId;
    SetupGuid classGuid{};
    std::string className;
    std::vector<std::string> hardwareIds;  // stored as the platform's multi-string
    std::optional<std::string> location;
    std::optional<std::string> manufacturer;
    std::optional<std::string> description;
    bool present = true;
    bool enabled = true;
    bool started = true;
    bool diskInterface = false;
    bool removed = false;
    bool registered = true;  // false while a created element waits for DIF_REGISTERDEVICE
    uint32_t propChanges = 0;
    // State changes (DICS_*) the class installer refuses for this device, and removal.
    std::set<uint32_t> refusedStates;
    bool refuseRemove = false;
    // How CM_Get_Device_ID answers for this device.
    enum class IdAnswer { Writes, SucceedsWithoutWriting, Fails } idAnswer = IdAnswer::Writes;
    uint32_t devInst = 0;  // assigned by the tree
};

// The boundary calls that can be made to fail.
enum class Call {
    GetClassDevs,
    EnumDeviceInfo,
    GetDeviceProperty,
    SetDeviceProperty,
    SetClassInstallParams,
    CallClassInstaller,
    CreateDeviceInfoList,
    CreateDeviceInfo,
    GetInfClass,
    ClassGuidsFromName,
    GetFullPathName,
    GetFileAttributes,
};

struct ClassInstallParams {
    uint32_t installFunction = 0;  // DIF_PROPERTYCHANGE or DIF_REMOVE
    uint32_t stateChange = 0;      // propchange only
    uint32_t scope = 0;
    uint32_t hwProfile = 0;
};

struct ClassInstallerCall {
    uint32_t installFunction = 0;
    std::string instanceId;
    std::optional<ClassInstallParams> params;  // what was set on the element before the call
    bool succeeded = false;
};

struct GetClassDevsCall {
    std::optional<SetupGuid> classGuid;
    bool enumeratorGiven = false;
    uint32_t flags = 0;
};

struct PropertyWrite {
    uint32_t property = 0;
    std::vector<uint8_t> bytes;
};

struct UpdateCall {
    std::string hardwareId;
    std::string fullInfPath;
    uint32_t installFlags = 0;
    bool rebootFlagGiven = false;
    int32_t rebootFlagBefore = -1;
};

struct CmCall {
    std::string what;  // "locate", "reenumerate"
    uint32_t devInst = 0;
    uint32_t flags = 0;
    bool deviceIdGiven = false;
};

struct SetupClass {
    std::string name;
    SetupGuid guid{};
};

struct World {
    std::vector<Device> devices;
    std::vector<SetupClass> classes;
    std::map<std::string, std::string> files;  // full path -> content
    std::string currentDirectory = "C:\\work";

    // Failure injection: a call listed here fails at its n-th use (1-based), or every time
    // with n = 0.
    std::map<Call, uint32_t> failures;
    std::map<Call, uint32_t> callCounts;

    bool newdevLoadable = true;
    bool updateFunctionPresent = true;
    bool updateResult = true;
    bool updateAsksReboot = false;
    uint32_t cmLocateResult = SETUP_CR_SUCCESS;
    uint32_t cmReenumerateResult = SETUP_CR_SUCCESS;
    uint32_t rootDevInst = 1;

    // What the tool asked for and wrote.
    std::string console;
    std::vector<uint32_t> sleeps;
    std::vector<ClassInstallerCall> classInstallerCalls;
    std::vector<GetClassDevsCall> getClassDevsCalls;
    std::vector<PropertyWrite> propertyWrites;
    std::vector<UpdateCall> updateCalls;
    std::vector<CmCall> cmCalls;
    std::vector<std::string> fullPathRequests;
    std::vector<std::string> attributeRequests;
    std::vector<std::string> infClassRequests;
    std::vector<std::string> createdDeviceNames;
    std::vector<uint32_t> createFlags;
    std::vector<std::string> loadedModules;
    std::vector<std::string> procRequests;
    int openSets = 0;
    int openModules = 0;
};

// The one tree the boundary works on; Reset() gives an empty one.
World& Tree();
void Reset();

// Adds a device (assigning its device node number) and returns its index.
size_t AddDevice(Device device);
// A registered device by instance ID, or nullptr.
Device* FindDevice(const std::string& instanceId);
// Convenience for PCI functions: "PCI\VEN_vvvv&DEV_dddd..." and the location text Windows keeps.
Device PciDevice(const std::string& instanceId, const std::string& hardwareId, int bus, int device,
                 int function);
std::string PciLocation(int bus, int device, int function);

SetupGuid ParseGuid(const std::string& text);
bool SameGuid(const SetupGuid& a, const SetupGuid& b);

}  // namespace simdev

#endif  // SIM_DEVICES_DEVICE_TREE_H
