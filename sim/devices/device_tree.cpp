// The simulated device tree: the boundary's functions over simdev::World.
#include "device_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

namespace simdev {

namespace {

constexpr SetupGuid kDiskInterface = {
    0x53F56307u, 0xB6BFu, 0x11D0u, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr uint32_t kCrBufferSmall = 0x1A;
constexpr uint32_t kFileAttributeArchive = 0x20;

// A device information set: the device nodes it held when it was made, in order, and the
// class-install parameters set on each member.
struct SimSet {
    std::optional<SetupGuid> classGuid;
    std::vector<uint32_t> members;
    std::map<uint32_t, ClassInstallParams> params;
};

struct SimModule {
    int unused = 0;
};

World& TheWorld() {
    static World world;
    return world;
}

std::set<SimSet*>& LiveSets() {
    static std::set<SimSet*> sets;
    return sets;
}

uint32_t& NextDevInst() {
    static uint32_t next = 0x100;
    return next;
}

SimModule gNewdev;
SimModule gUpdateFunction;

bool ShouldFail(Call call) {
    World& world = TheWorld();
    uint32_t count = ++world.callCounts[call];
    auto it = world.failures.find(call);
    return it != world.failures.end() && (it->second == 0 || it->second == count);
}

SimSet* ToSet(SetupDevInfoSet handle) {
    auto* set = reinterpret_cast<SimSet*>(handle);
    return LiveSets().count(set) != 0 ? set : nullptr;
}

Device* FindByDevInst(uint32_t devInst) {
    for (Device& device : TheWorld().devices) {
        if (device.devInst == devInst) {
            return &device;
        }
    }
    return nullptr;
}

// The device an element names, provided the element belongs to the set.
Device* Member(SetupDevInfoSet handle, const SetupDevElement* element) {
    SimSet* set = ToSet(handle);
    if (set == nullptr || element == nullptr) {
        return nullptr;
    }
    if (std::find(set->members.begin(), set->members.end(), element->devInst) ==
        set->members.end()) {
        return nullptr;
    }
    return FindByDevInst(element->devInst);
}

std::vector<uint8_t> StringBytes(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

std::optional<std::vector<uint8_t>> PropertyBytes(const Device& device, uint32_t property) {
    switch (property) {
        case SETUP_SPDRP_HARDWAREID: {
            if (device.hardwareIds.empty()) {
                return std::nullopt;
            }
            std::vector<uint8_t> bytes;
            for (const std::string& id : device.hardwareIds) {
                bytes.insert(bytes.end(), id.begin(), id.end());
                bytes.push_back(0);
            }
            bytes.push_back(0);
            return bytes;
        }
        case SETUP_SPDRP_LOCATION_INFORMATION:
            return device.location ? std::optional(StringBytes(*device.location)) : std::nullopt;
        case SETUP_SPDRP_MFG:
            return device.manufacturer ? std::optional(StringBytes(*device.manufacturer))
                                       : std::nullopt;
        case SETUP_SPDRP_DEVICEDESC:
            return device.description ? std::optional(StringBytes(*device.description))
                                      : std::nullopt;
        default:
            return std::nullopt;
    }
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The class and class GUID of an INF's [Version] section.
bool ReadInfVersion(const std::string& content, std::string* className, std::string* classGuid) {
    std::istringstream lines(content);
    std::string line;
    bool inVersion = false;
    while (std::getline(lines, line)) {
        line = Trim(line.substr(0, line.find(';')));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            inVersion = Upper(line) == "[VERSION]";
            continue;
        }
        size_t equals = line.find('=');
        if (!inVersion || equals == std::string::npos) {
            continue;
        }
        std::string key = Upper(Trim(line.substr(0, equals)));
        std::string value = Trim(line.substr(equals + 1));
        if (key == "CLASS") {
            *className = value;
        } else if (key == "CLASSGUID") {
            *classGuid = value;
        }
    }
    return !className->empty();
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && path[2] == '\\') ||
           (path.size() >= 2 && path[0] == '\\' && path[1] == '\\');
}

}  // namespace

World& Tree() {
    return TheWorld();
}

void Reset() {
    for (SimSet* set : LiveSets()) {
        delete set;
    }
    LiveSets().clear();
    TheWorld() = World{};
}

size_t AddDevice(Device device) {
    device.devInst = NextDevInst()++;
    TheWorld().devices.push_back(std::move(device));
    return TheWorld().devices.size() - 1;
}

Device* FindDevice(const std::string& instanceId) {
    for (Device& device : TheWorld().devices) {
        if (device.instanceId == instanceId && device.registered) {
            return &device;
        }
    }
    return nullptr;
}

std::string PciLocation(int bus, int device, int function) {
    char text[64];
    snprintf(text, sizeof(text), "PCI bus %d, device %d, function %d", bus, device, function);
    return text;
}

Device PciDevice(const std::string& instanceId, const std::string& hardwareId, int bus, int device,
                 int function) {
    Device d;
    d.instanceId = instanceId;
    d.hardwareIds = {hardwareId};
    d.location = PciLocation(bus, device, function);
    d.className = "System";
    d.classGuid = ParseGuid("{4d36e97d-e325-11ce-bfc1-08002be10318}");
    return d;
}

SetupGuid ParseGuid(const std::string& text) {
    SetupGuid guid{};
    unsigned int d[11] = {};
    if (sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3],
               &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) == 11) {
        guid.data1 = d[0];
        guid.data2 = static_cast<uint16_t>(d[1]);
        guid.data3 = static_cast<uint16_t>(d[2]);
        for (int i = 0; i < 8; ++i) {
            guid.data4[i] = static_cast<uint8_t>(d[3 + i]);
        }
    }
    return guid;
}

bool SameGuid(const SetupGuid& a, const SetupGuid& b) {
    return memcmp(&a, &b, sizeof(a)) == 0;
}

}  // namespace simdev

using namespace simdev;

extern "C" {

SetupDevInfoSet DiGetClassDevs(const SetupGuid* classGuid, const char* enumerator, uint32_t flags) {
    World& world = TheWorld();
    world.getClassDevsCalls.push_back(
        {classGuid ? std::optional(*classGuid) : std::nullopt, enumerator != nullptr, flags});
    if (ShouldFail(Call::GetClassDevs)) {
        return nullptr;
    }
    auto set = std::make_unique<SimSet>();
    if (classGuid != nullptr) {
        set->classGuid = *classGuid;
    }
    for (const Device& device : world.devices) {
        if (!device.registered || device.removed) {
            continue;
        }
        if ((flags & SETUP_DIGCF_PRESENT) != 0 && !device.present) {
            continue;
        }
        if ((flags & SETUP_DIGCF_DEVICEINTERFACE) != 0) {
            if (classGuid == nullptr || !SameGuid(*classGuid, kDiskInterface) ||
                !device.diskInterface) {
                continue;
            }
        } else if ((flags & SETUP_DIGCF_ALLCLASSES) == 0) {
            if (classGuid == nullptr || !SameGuid(*classGuid, device.classGuid)) {
                continue;
            }
        }
        set->members.push_back(device.devInst);
    }
    ++world.openSets;
    SimSet* raw = set.release();
    LiveSets().insert(raw);
    return reinterpret_cast<SetupDevInfoSet>(raw);
}

int DiEnumDeviceInfo(SetupDevInfoSet handle, uint32_t memberIndex, SetupDevElement* element) {
    SimSet* set = ToSet(handle);
    if (set == nullptr || ShouldFail(Call::EnumDeviceInfo) || memberIndex >= set->members.size()) {
        return 0;
    }
    Device* device = FindByDevInst(set->members[memberIndex]);
    element->classGuid = device->classGuid;
    element->devInst = device->devInst;
    element->reserved = memberIndex;
    return 1;
}

void DiDestroyDeviceInfoList(SetupDevInfoSet handle) {
    SimSet* set = ToSet(handle);
    if (set == nullptr) {
        return;
    }
    // Elements created in this set but never registered go with it.
    World& world = TheWorld();
    for (uint32_t devInst : set->members) {
        world.devices.erase(
            std::remove_if(world.devices.begin(), world.devices.end(),
                           [&](const Device& d) { return d.devInst == devInst && !d.registered; }),
            world.devices.end());
    }
    LiveSets().erase(set);
    delete set;
    --world.openSets;
}

SetupDevInfoSet DiCreateDeviceInfoList(const SetupGuid* classGuid) {
    if (ShouldFail(Call::CreateDeviceInfoList)) {
        return nullptr;
    }
    auto* set = new SimSet;
    if (classGuid != nullptr) {
        set->classGuid = *classGuid;
    }
    LiveSets().insert(set);
    ++TheWorld().openSets;
    return reinterpret_cast<SetupDevInfoSet>(set);
}

int DiCreateDeviceInfo(SetupDevInfoSet handle, const char* deviceName, const SetupGuid* classGuid,
                       const char* description, uint32_t creationFlags, SetupDevElement* element) {
    World& world = TheWorld();
    world.createdDeviceNames.push_back(deviceName ? deviceName : "");
    world.createFlags.push_back(creationFlags);
    SimSet* set = ToSet(handle);
    if (set == nullptr || deviceName == nullptr || ShouldFail(Call::CreateDeviceInfo)) {
        return 0;
    }
    Device device;
    if ((creationFlags & SETUP_DICD_GENERATE_ID) != 0) {
        // The next free root-enumerated instance under the name.
        std::string prefix = "ROOT\\" + Upper(deviceName) + "\\";
        int used = 0;
        for (const Device& d : world.devices) {
            used += d.instanceId.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        char number[8];
        snprintf(number, sizeof(number), "%04d", used);
        device.instanceId = prefix + number;
    } else {
        device.instanceId = deviceName;
    }
    device.className = deviceName;
    device.classGuid = classGuid ? *classGuid : SetupGuid{};
    if (description != nullptr) {
        device.description = description;
    }
    device.registered = false;
    device.started = false;
    size_t index = AddDevice(device);
    const Device& added = world.devices[index];
    set->members.push_back(added.devInst);
    element->classGuid = added.classGuid;
    element->devInst = added.devInst;
    element->reserved = set->members.size() - 1;
    return 1;
}

int DiGetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        uint8_t* buffer, uint32_t bufferSize) {
    Device* device = Member(set, element);
    if (device == nullptr || ShouldFail(Call::GetDeviceProperty)) {
        return 0;
    }
    std::optional<std::vector<uint8_t>> bytes = PropertyBytes(*device, property);
    // Absent, or too large for the caller's buffer (ERROR_INSUFFICIENT_BUFFER): nothing is
    // written.
    if (!bytes || bytes->size() > bufferSize) {
        return 0;
    }
    memcpy(buffer, bytes->data(), bytes->size());
    return 1;
}

int DiSetDeviceProperty(SetupDevInfoSet set, const SetupDevElement* element, uint32_t property,
                        const uint8_t* buffer, uint32_t size) {
    World& world = TheWorld();
    world.propertyWrites.push_back({property, std::vector<uint8_t>(buffer, buffer + size)});
    Device* device = Member(set, element);
    if (device == nullptr || ShouldFail(Call::SetDeviceProperty)) {
        return 0;
    }
    if (property == SETUP_SPDRP_HARDWAREID) {
        device->hardwareIds.clear();
        const char* text = reinterpret_cast<const char*>(buffer);
        for (size_t at = 0; at < size && text[at] != '\0';) {
            size_t length = strnlen(text + at, size - at);
            device->hardwareIds.emplace_back(text + at, length);
            at += length + 1;
        }
    }
    return 1;
}

int DiSetPropChangeParams(SetupDevInfoSet handle, const SetupDevElement* element,
                          uint32_t stateChange, uint32_t scope, uint32_t hwProfile) {
    Device* device = Member(handle, element);
    if (device == nullptr || ShouldFail(Call::SetClassInstallParams)) {
        return 0;
    }
    ToSet(handle)->params[device->devInst] = {SETUP_DIF_PROPERTYCHANGE, stateChange, scope,
                                              hwProfile};
    return 1;
}

int DiSetRemoveParams(SetupDevInfoSet handle, const SetupDevElement* element, uint32_t scope,
                      uint32_t hwProfile) {
    Device* device = Member(handle, element);
    if (device == nullptr || ShouldFail(Call::SetClassInstallParams)) {
        return 0;
    }
    ToSet(handle)->params[device->devInst] = {SETUP_DIF_REMOVE, 0, scope, hwProfile};
    return 1;
}

int DiCallClassInstaller(uint32_t installFunction, SetupDevInfoSet handle,
                         const SetupDevElement* element) {
    Device* device = Member(handle, element);
    if (device == nullptr) {
        return 0;
    }
    SimSet* set = ToSet(handle);
    ClassInstallerCall call;
    call.installFunction = installFunction;
    call.instanceId = device->instanceId;
    auto params = set->params.find(device->devInst);
    if (params != set->params.end()) {
        call.params = params->second;
    }
    bool ok = !ShouldFail(Call::CallClassInstaller);
    if (ok && installFunction == SETUP_DIF_REGISTERDEVICE) {
        device->registered = true;
    } else if (ok && installFunction == SETUP_DIF_PROPERTYCHANGE) {
        // A property change needs its parameters, as on the platform.
        ok = call.params && call.params->installFunction == SETUP_DIF_PROPERTYCHANGE &&
             device->refusedStates.count(call.params->stateChange) == 0;
        if (ok) {
            switch (call.params->stateChange) {
                case SETUP_DICS_ENABLE:
                    device->enabled = true;
                    device->started = true;
                    break;
                case SETUP_DICS_DISABLE:
                    device->enabled = false;
                    device->started = false;
                    break;
                case SETUP_DICS_PROPCHANGE:
                    ++device->propChanges;
                    break;
                case SETUP_DICS_START:
                    device->started = true;
                    break;
                case SETUP_DICS_STOP:
                    device->started = false;
                    break;
                default:
                    ok = false;
            }
        }
    } else if (ok && installFunction == SETUP_DIF_REMOVE) {
        ok = !device->refuseRemove;
        if (ok) {
            device->removed = true;
            device->present = false;
        }
    } else if (ok) {
        ok = false;
    }
    call.succeeded = ok;
    TheWorld().classInstallerCalls.push_back(call);
    return ok ? 1 : 0;
}

int DiGetInfClass(const char* infPath, SetupGuid* classGuid, char* className,
                  uint32_t classNameSize) {
    World& world = TheWorld();
    world.infClassRequests.push_back(infPath);
    if (ShouldFail(Call::GetInfClass)) {
        return 0;
    }
    auto file = world.files.find(infPath);
    std::string name;
    std::string guid;
    if (file == world.files.end() || !ReadInfVersion(file->second, &name, &guid) ||
        name.size() + 1 > classNameSize) {
        return 0;
    }
    memcpy(className, name.c_str(), name.size() + 1);
    *classGuid = ParseGuid(guid);
    return 1;
}

int DiClassGuidsFromName(const char* className, SetupGuid* guidList, uint32_t guidListSize,
                         uint32_t* requiredSize) {
    World& world = TheWorld();
    if (ShouldFail(Call::ClassGuidsFromName)) {
        return 0;
    }
    // Class names compare without regard to case, as the platform's do.
    std::vector<SetupGuid> found;
    for (const SetupClass& c : world.classes) {
        if (Upper(c.name) == Upper(className)) {
            found.push_back(c.guid);
        }
    }
    *requiredSize = static_cast<uint32_t>(found.size());
    if (found.size() > guidListSize) {
        return 0;
    }
    std::copy(found.begin(), found.end(), guidList);
    return 1;
}

uint32_t CmLocateDevNode(uint32_t* devInst, const char* deviceId, uint32_t flags) {
    World& world = TheWorld();
    world.cmCalls.push_back({"locate", 0, flags, deviceId != nullptr});
    if (world.cmLocateResult == SETUP_CR_SUCCESS) {
        *devInst = world.rootDevInst;
    }
    return world.cmLocateResult;
}

uint32_t CmReenumerateDevNode(uint32_t devInst, uint32_t flags) {
    World& world = TheWorld();
    world.cmCalls.push_back({"reenumerate", devInst, flags, false});
    return world.cmReenumerateResult;
}

uint32_t CmGetDeviceId(uint32_t devInst, char* buffer, uint32_t bufferLength, uint32_t flags) {
    Device* device = FindByDevInst(devInst);
    if (device == nullptr) {
        return SETUP_CR_FAILURE;
    }
    switch (device->idAnswer) {
        case Device::IdAnswer::Writes:
            if (device->instanceId.size() + 1 > bufferLength) {
                return kCrBufferSmall;
            }
            memcpy(buffer, device->instanceId.c_str(), device->instanceId.size() + 1);
            return SETUP_CR_SUCCESS;
        case Device::IdAnswer::SucceedsWithoutWriting:
            return SETUP_CR_SUCCESS;
        case Device::IdAnswer::Fails:
            break;
    }
    return SETUP_CR_FAILURE;
}

uint32_t OsGetFullPathName(const char* path, uint32_t bufferLength, char* buffer) {
    World& world = TheWorld();
    world.fullPathRequests.push_back(path);
    if (ShouldFail(Call::GetFullPathName)) {
        return 0;
    }
    std::string full = IsAbsolute(path) ? path : world.currentDirectory + "\\" + path;
    // As the platform does: the size needed (with the terminator) when the buffer is too
    // small, else the length copied.
    if (full.size() + 1 > bufferLength) {
        return static_cast<uint32_t>(full.size() + 1);
    }
    memcpy(buffer, full.c_str(), full.size() + 1);
    return static_cast<uint32_t>(full.size());
}

uint32_t OsGetFileAttributes(const char* path) {
    World& world = TheWorld();
    world.attributeRequests.push_back(path);
    if (ShouldFail(Call::GetFileAttributes) || world.files.count(path) == 0) {
        return SETUP_INVALID_FILE_ATTRIBUTES;
    }
    return kFileAttributeArchive;
}

SetupModule OsLoadLibrary(const char* moduleName) {
    World& world = TheWorld();
    world.loadedModules.push_back(moduleName);
    if (!world.newdevLoadable || Upper(moduleName) != "NEWDEV.DLL") {
        return nullptr;
    }
    ++world.openModules;
    return reinterpret_cast<SetupModule>(&gNewdev);
}

SetupProc OsGetProcAddress(SetupModule module, const char* procName) {
    World& world = TheWorld();
    world.procRequests.push_back(procName);
    if (module != reinterpret_cast<SetupModule>(&gNewdev) || !world.updateFunctionPresent ||
        strcmp(procName, "UpdateDriverForPlugAndPlayDevicesA") != 0) {
        return nullptr;
    }
    return reinterpret_cast<SetupProc>(&gUpdateFunction);
}

void OsFreeLibrary(SetupModule module) {
    if (module == reinterpret_cast<SetupModule>(&gNewdev)) {
        --TheWorld().openModules;
    }
}

int OsCallUpdateDriver(SetupProc updateDriver, const char* hardwareId, const char* fullInfPath,
                       uint32_t installFlags, int32_t* rebootRequired) {
    World& world = TheWorld();
    if (updateDriver != reinterpret_cast<SetupProc>(&gUpdateFunction)) {
        return 0;
    }
    world.updateCalls.push_back({hardwareId, fullInfPath, installFlags, rebootRequired != nullptr,
                                 rebootRequired ? *rebootRequired : -1});
    if (world.updateAsksReboot && rebootRequired != nullptr) {
        *rebootRequired = 1;
    }
    return world.updateResult ? 1 : 0;
}

void OsSleep(uint32_t milliseconds) {
    TheWorld().sleeps.push_back(milliseconds);
}

void OsWriteConsole(const char* text, uint32_t length) {
    TheWorld().console.append(text, length);
}

}  // extern "C"
