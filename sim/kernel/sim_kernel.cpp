// The simulated kernel behind driver/kernel/kernel.h.
#include "sim/kernel/sim_kernel.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "sim/common/optional_lock.h"
#include "sim/kernel/debug_format.h"
#include "sim/pci/fabric.h"

// The kernel objects the driver holds as opaque handles.
struct KernDevice {
    KernDriver* driver = nullptr;
    std::u16string name;
    std::unique_ptr<uint64_t[]> extension;  // 8-byte aligned, as pool memory is
    uint32_t extensionSize = 0;
    uint32_t type = 0;
    uint32_t characteristics = 0;
    uint32_t flags = 0;
    bool exclusive = false;
    bool restricted = false;
};

struct KernDriver {
    KernStatus (*majorFunction[28])(KernDevice*, KernRequest*) = {};
    bool unloadInstalled = false;
    KernDevice* device = nullptr;
};

struct KernRequest {
    uint8_t major = 0;
    uint32_t code = 0;
    uint32_t inputLength = 0;
    uint32_t outputLength = 0;
    void* systemBuffer = nullptr;
    bool hasMdl = false;
    uint16_t mdlFlags = 0;
    void* mdlMappedVa = nullptr;
    void* mdlPages = nullptr;  // the caller's pages as the system sees them
    uint32_t mdlByteCount = 0;
    bool failMdlMapping = false;
    bool mdlMapped = false;
    KernStatus status = 0;
    uint64_t information = 0;
    int completions = 0;
};

namespace sim {
namespace {

constexpr uint8_t kMajorCreate = 0;
constexpr uint8_t kMajorClose = 2;
constexpr uint8_t kMajorRead = 3;
constexpr uint8_t kMajorWrite = 4;
constexpr uint8_t kMajorDeviceControl = 14;
constexpr uint8_t kMajorCleanup = 18;

// Deterministic kernel addresses for I/O-space mappings and views, so that logs that print
// them are the same from run to run.
constexpr uint64_t kIoSpaceBase = 0xFFFFF7E000000000ull;
constexpr uint64_t kViewBase = 0xFFFFA58000000000ull;
constexpr uint64_t kMappingStride = 0x10000ull;

struct Mdl {
    uint64_t ioAddress;
    uint32_t size;
    bool built;
};

struct View {
    uint64_t physical;
    uint32_t size;
};

struct State {
    mutable OptionalLock<std::recursive_mutex> mutex;
    std::atomic<Fabric*> fabric{nullptr};  // read on every port access, without the lock

    std::unique_ptr<KernDriver> driver;
    std::unique_ptr<KernDevice> device;
    std::map<std::u16string, std::u16string> links;
    std::map<Handle, KernDevice*> handles;
    Handle nextHandle = 1;

    int failDeviceAt = 0;
    KernStatus failDeviceStatus = 0;
    int failLinkAt = 0;
    KernStatus failLinkStatus = 0;
    KernStatus failRestrictStatus = 0;

    // Every print since the log was last cleared, rendered when somebody reads it.
    PrintLog prints;

    MappingCounters counters;
    int failAt[3] = {0, 0, 0};
    uint64_t nextMapping = 0;
    std::map<uint64_t, std::pair<uint64_t, uint32_t>> ioSpaces;  // address -> (physical, size)
    std::map<uint64_t, View> views;                              // view base -> physical
    View* lastView = nullptr;  // the view FindView answered last; forgotten at every unmap
    uint64_t lastViewBase = 0;
    // Moves on at every unmap, reset and fabric change: a thread's remembered view (below) is
    // good only while this has not moved.
    std::atomic<uint64_t> viewGeneration{1};
    std::map<Mdl*, std::unique_ptr<Mdl>> mdls;
    std::deque<MapCall> mapCalls;
    void Called(MapCall call) {
        if (mapCalls.size() >= 256) {
            mapCalls.pop_front();
        }
        mapCalls.push_back(call);
    }

    // The attached fabric's RAM as the memory manager would report it; none taken when a test
    // says the ranges could not be had.
    std::vector<KernPhysicalRange> ram;
    bool ramUnknown = false;

    Violations violations;
    int requestsInside = 0;
    uint64_t configPairs = 0;
    // The time of a kernel without a machine: moved on only by the driver's own waits.
    std::atomic<uint64_t> ownClockUs{0};
};

using StateGuard = std::lock_guard<OptionalLock<std::recursive_mutex>>;

State& S() {
    static State state;
    return state;
}

OptionalLock<std::mutex>& RequestLock() {
    static OptionalLock<std::mutex> lock;
    return lock;
}

OptionalLock<std::mutex>& ConfigPortLock() {
    static OptionalLock<std::mutex> lock;
    return lock;
}

// The n-th call from now fails: counts down an armed step.
bool ShouldFail(int& armed) {
    if (armed <= 0) {
        return false;
    }
    return --armed == 0;
}

bool IsError(KernStatus status) {
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

std::u16string FromString(const KernUnicodeString* s) {
    return std::u16string(s->Buffer, s->Length / sizeof(char16_t));
}

// "\\.\NAME" is "\DosDevices\NAME" in the object namespace.
std::u16string DosPath(const std::string& path) {
    std::string name = path;
    if (name.rfind("\\\\.\\", 0) == 0) {
        name = name.substr(4);
    }
    std::u16string out = u"\\DosDevices\\";
    for (char c : name) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return out;
}

// Sends one request to the driver's routine for its major function and checks it was completed
// exactly once.
KernStatus Send(KernDevice* device, KernRequest* request) {
    KernDriver* driver = device->driver;
    auto routine = driver->majorFunction[request->major];
    if (routine == nullptr) {
        return static_cast<KernStatus>(0xC0000010);  // STATUS_INVALID_DEVICE_REQUEST
    }
    const KernStatus returned = routine(device, request);
    if (request->completions != 1 || returned != request->status) {
        sim::StateGuard lock(S().mutex);
        ++S().violations.completedTwice;
    }
    return request->status;
}

View* FindView(uint64_t address, uint64_t* physical) {
    State& s = S();
    // A copy loop walks one view byte by byte: the view of the last access usually answers.
    if (s.lastView != nullptr && address - s.lastViewBase < s.lastView->size) {
        *physical = s.lastView->physical + (address - s.lastViewBase);
        return s.lastView;
    }
    auto it = s.views.upper_bound(address);
    if (it == s.views.begin()) {
        return nullptr;
    }
    --it;
    if (address - it->first >= it->second.size) {
        return nullptr;
    }
    *physical = it->second.physical + (address - it->first);
    s.lastView = &it->second;
    s.lastViewBase = it->first;
    return &it->second;
}

// The view a thread used last, with the fabric behind it. A driver walks one view byte by byte,
// so most accesses are answered here without taking the kernel's lock. View addresses are not
// reused before a reset, and every unmap moves the generation on, so an access through a view
// its own thread has released still goes the long way and is counted.
struct RememberedView {
    uint64_t generation = 0;
    uint64_t base = 0;
    uint64_t size = 0;
    uint64_t physical = 0;
    Fabric* fabric = nullptr;
};
thread_local RememberedView tlsView;

void ForgetViews(State& s) {
    s.lastView = nullptr;
    s.viewGeneration.fetch_add(1, std::memory_order_acq_rel);
}

// Where a device-memory access goes: false (and counted) outside every live view.
bool Route(const volatile void* address, uint64_t* physical, Fabric** fabric) {
    const auto at = reinterpret_cast<uint64_t>(address);
    State& s = S();
    RememberedView& r = tlsView;
    if (r.generation == s.viewGeneration.load(std::memory_order_acquire) && at - r.base < r.size) {
        *physical = r.physical + (at - r.base);
        *fabric = r.fabric;
        return true;
    }
    sim::StateGuard lock(s.mutex);
    const uint64_t generation = s.viewGeneration.load(std::memory_order_acquire);
    View* view = FindView(at, physical);
    if (view == nullptr) {
        ++s.violations.badRegisterAccess;
        return false;
    }
    *fabric = s.fabric.load();
    r = RememberedView{generation, s.lastViewBase, view->size, view->physical, *fabric};
    return true;
}

uint32_t ReadDeviceMemory(const volatile void* address, unsigned size) {
    uint64_t physical = 0;
    Fabric* fabric = nullptr;
    if (!Route(address, &physical, &fabric)) {
        return 0xFFFFFFFFu;
    }
    if (fabric == nullptr) {
        return size == 1 ? 0xFFu : 0xFFFFFFFFu;
    }
    return fabric->ReadPhysical(physical, size);
}

void WriteDeviceMemory(volatile void* address, unsigned size, uint32_t value) {
    uint64_t physical = 0;
    Fabric* fabric = nullptr;
    if (Route(address, &physical, &fabric) && fabric != nullptr) {
        fabric->WritePhysical(physical, size, value);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Kernel: the test's side.

Kernel& Kernel::Get() {
    static Kernel kernel;
    return kernel;
}

void Kernel::Reset() {
    State& s = S();
    {
        sim::StateGuard lock(s.mutex);
        Fabric* fabric = s.fabric.load();
        s.driver.reset();
        s.device.reset();
        s.links.clear();
        s.handles.clear();
        s.nextHandle = 1;
        s.failDeviceAt = s.failLinkAt = 0;
        s.failDeviceStatus = s.failLinkStatus = s.failRestrictStatus = 0;
        s.prints.Clear();
        s.counters = MappingCounters();
        s.failAt[0] = s.failAt[1] = s.failAt[2] = 0;
        s.nextMapping = 0;
        s.ioSpaces.clear();
        s.views.clear();
        ForgetViews(s);
        s.mdls.clear();
        s.mapCalls.clear();
        s.violations = Violations();
        s.requestsInside = 0;
        s.configPairs = 0;
        s.ownClockUs = 0;
        s.ramUnknown = false;
        s.fabric = fabric;
    }
    // A fresh boot serves any number of threads until somebody promises otherwise.
    SetSingleThreaded(false);
}

void Kernel::SetSingleThreaded(bool single) {
    S().mutex.SetSingleThreaded(single);
    sim::RequestLock().SetSingleThreaded(single);
    sim::ConfigPortLock().SetSingleThreaded(single);
}

void Kernel::AttachFabric(Fabric* fabric) {
    sim::StateGuard lock(S().mutex);
    S().fabric = fabric;
    S().ram.clear();
    if (fabric != nullptr) {
        for (const RamRange& r : fabric->Ram()) {
            S().ram.push_back(KernPhysicalRange{r.base, r.size});
        }
    }
    ForgetViews(S());
}

void Kernel::FailSystemRamRanges() {
    sim::StateGuard lock(S().mutex);
    S().ramUnknown = true;
}

Fabric* Kernel::AttachedFabric() const {
    return S().fabric.load();
}

KernStatus Kernel::LoadDriver() {
    State& s = S();
    {
        sim::StateGuard lock(s.mutex);
        s.driver = std::make_unique<KernDriver>();
    }
    const KernStatus status = CorvaxDriverEntry(s.driver.get());
    if (status < 0) {
        // A driver whose entry fails is unloaded without its unload routine.
        sim::StateGuard lock(s.mutex);
        s.driver.reset();
    }
    return status;
}

void Kernel::UnloadDriver() {
    State& s = S();
    if (!s.driver) {
        return;
    }
    if (s.driver->unloadInstalled) {
        CorvaxDriverUnload(s.driver.get());
    }
    sim::StateGuard lock(s.mutex);
    s.handles.clear();
    s.driver.reset();
}

bool Kernel::DriverLoaded() const {
    sim::StateGuard lock(S().mutex);
    return S().driver != nullptr;
}

void* Kernel::ControlDeviceExtension() const {
    sim::StateGuard lock(S().mutex);
    return S().device ? S().device->extension.get() : nullptr;
}

uint32_t Kernel::ControlDeviceFlags() const {
    sim::StateGuard lock(S().mutex);
    return S().device ? S().device->flags : 0;
}

uint32_t Kernel::ControlDeviceCharacteristics() const {
    sim::StateGuard lock(S().mutex);
    return S().device ? S().device->characteristics : 0;
}

uint32_t Kernel::ControlDeviceType() const {
    sim::StateGuard lock(S().mutex);
    return S().device ? S().device->type : 0;
}

bool Kernel::ControlDeviceRestricted() const {
    sim::StateGuard lock(S().mutex);
    return S().device && S().device->restricted;
}

bool Kernel::ControlDeviceExclusive() const {
    sim::StateGuard lock(S().mutex);
    return S().device && S().device->exclusive;
}

uint32_t Kernel::ControlDeviceExtensionSize() const {
    sim::StateGuard lock(S().mutex);
    return S().device ? S().device->extensionSize : 0;
}

int Kernel::DefaultRoutineEntries() const {
    sim::StateGuard lock(S().mutex);
    if (!S().driver) {
        return 0;
    }
    int n = 0;
    for (auto routine : S().driver->majorFunction) {
        n += routine == &CorvaxDefaultDispatch ? 1 : 0;
    }
    return n;
}

bool Kernel::UnloadRoutineInstalled() const {
    sim::StateGuard lock(S().mutex);
    return S().driver && S().driver->unloadInstalled;
}

void Kernel::AddLink(const std::u16string& link, const std::u16string& target) {
    sim::StateGuard lock(S().mutex);
    S().links[link] = target;
}

bool Kernel::LinkExists(const std::u16string& link) const {
    sim::StateGuard lock(S().mutex);
    return S().links.count(link) != 0;
}

std::u16string Kernel::LinkTarget(const std::u16string& link) const {
    sim::StateGuard lock(S().mutex);
    auto it = S().links.find(link);
    return it == S().links.end() ? std::u16string() : it->second;
}

bool Kernel::DeviceExists(const std::u16string& name) const {
    sim::StateGuard lock(S().mutex);
    return S().device && S().device->name == name;
}

size_t Kernel::ObjectCount() const {
    sim::StateGuard lock(S().mutex);
    return S().links.size() + (S().device ? 1 : 0);
}

void Kernel::FailCreateDevice(int nth, KernStatus status) {
    sim::StateGuard lock(S().mutex);
    S().failDeviceAt = nth;
    S().failDeviceStatus = status;
}

void Kernel::FailCreateLink(int nth, KernStatus status) {
    sim::StateGuard lock(S().mutex);
    S().failLinkAt = nth;
    S().failLinkStatus = status;
}

void Kernel::FailRestrictDevice(KernStatus status) {
    sim::StateGuard lock(S().mutex);
    S().failRestrictStatus = status;
}

Handle Kernel::Open(const std::string& path) {
    State& s = S();
    KernDevice* device = nullptr;
    {
        sim::StateGuard lock(s.mutex);
        auto link = s.links.find(DosPath(path));
        if (link == s.links.end() || !s.device || s.device->name != link->second) {
            return kInvalidHandle;
        }
        device = s.device.get();
    }
    KernRequest request;
    request.major = kMajorCreate;
    if (Send(device, &request) < 0) {
        return kInvalidHandle;
    }
    sim::StateGuard lock(s.mutex);
    const Handle handle = s.nextHandle++;
    s.handles[handle] = device;
    return handle;
}

void Kernel::Close(Handle handle) {
    State& s = S();
    KernDevice* device = nullptr;
    {
        sim::StateGuard lock(s.mutex);
        auto it = s.handles.find(handle);
        if (it == s.handles.end()) {
            return;
        }
        device = it->second;
        s.handles.erase(it);
    }
    KernRequest cleanup;
    cleanup.major = kMajorCleanup;
    Send(device, &cleanup);
    KernRequest close;
    close.major = kMajorClose;
    Send(device, &close);
}

namespace {

KernDevice* DeviceOf(Handle handle) {
    sim::StateGuard lock(S().mutex);
    auto it = S().handles.find(handle);
    return it == S().handles.end() ? nullptr : it->second;
}

}  // namespace

IoResult Kernel::DeviceIoControl(Handle handle, uint32_t code, const void* input,
                                 uint32_t inputLength, void* output, uint32_t outputLength,
                                 const IoOptions& options) {
    IoResult result;
    KernDevice* device = DeviceOf(handle);
    if (device == nullptr) {
        result.status = static_cast<KernStatus>(0xC0000008);  // STATUS_INVALID_HANDLE
        return result;
    }
    const uint32_t method = code & 3u;
    KernRequest request;
    request.major = kMajorDeviceControl;
    request.code = code;
    request.inputLength = inputLength;
    request.outputLength = outputLength;

    // Buffers exactly as long as the I/O manager makes them, so that a handler that reaches
    // past its lengths is caught by the address sanitizer.
    std::unique_ptr<uint8_t[]> system;
    std::unique_ptr<uint8_t[]> pages;
    if (method == 0) {
        const uint32_t size = inputLength > outputLength ? inputLength : outputLength;
        if (size > 0) {
            system.reset(new uint8_t[size]);
            std::memset(system.get(), 0, size);
            if (inputLength > 0 && input != nullptr) {
                std::memcpy(system.get(), input, inputLength);
            }
        }
    } else if (method == 1 || method == 2) {
        if (inputLength > 0) {
            system.reset(new uint8_t[inputLength]);
            std::memcpy(system.get(), input, inputLength);
        }
        // The list describes the output buffer, or the shorter part of it a kernel-mode sender
        // chose; the pages are exactly that long.
        const uint32_t listBytes = std::min(outputLength, options.mdlByteCount);
        if (listBytes > 0) {
            pages.reset(new uint8_t[listBytes]);
            std::memcpy(pages.get(), output, listBytes);
            request.hasMdl = true;
            request.mdlByteCount = listBytes;
            request.mdlFlags = options.mdlFlags;
            request.mdlPages = pages.get();
            request.failMdlMapping = options.failMdlMapping;
            if ((options.mdlFlags &
                 (KERN_MDL_MAPPED_TO_SYSTEM_VA | KERN_MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
                request.mdlMappedVa = pages.get();
            }
        }
    }
    request.systemBuffer = system.get();

    Send(device, &request);
    result.status = request.status;
    result.information = request.information;

    if (method == 0) {
        if (!IsError(request.status) && output != nullptr) {
            uint64_t n = request.information;
            if (n > outputLength) {
                sim::StateGuard lock(S().mutex);
                ++S().violations.informationTooLarge;
                n = outputLength;
            }
            if (n > 0) {
                std::memcpy(output, system.get(), static_cast<size_t>(n));
            }
            result.delivered = true;
        }
    } else if (method == 1 || method == 2) {
        // Direct pages are the caller's own: whatever the handler wrote is there, whatever the
        // status.
        if (pages) {
            std::memcpy(output, pages.get(), request.mdlByteCount);
            result.delivered = true;
        }
        if (request.information > outputLength) {
            sim::StateGuard lock(S().mutex);
            ++S().violations.informationTooLarge;
        }
    }
    return result;
}

namespace {

// A read or write request: it carries only a length, which the driver completes at once.
IoResult SendTransfer(Handle handle, uint8_t major, uint32_t length) {
    IoResult result;
    KernDevice* device = DeviceOf(handle);
    if (device == nullptr) {
        result.status = static_cast<KernStatus>(0xC0000008);  // STATUS_INVALID_HANDLE
        return result;
    }
    KernRequest request;
    request.major = major;
    (major == kMajorRead ? request.outputLength : request.inputLength) = length;
    Send(device, &request);
    result.status = request.status;
    result.information = request.information;
    return result;
}

}  // namespace

IoResult Kernel::Read(Handle handle, void* buffer, uint32_t length) {
    return SendTransfer(handle, kMajorRead, length);
}

IoResult Kernel::Write(Handle handle, const void* buffer, uint32_t length) {
    return SendTransfer(handle, kMajorWrite, length);
}

std::vector<std::string> Kernel::Prints() const {
    sim::StateGuard lock(S().mutex);
    std::vector<std::string> prints;
    const std::string& text = S().prints.Text();
    size_t start = 0;
    for (size_t end : S().prints.Ends()) {
        prints.push_back(text.substr(start, end - start));
        start = end;
    }
    return prints;
}

std::vector<std::string> Kernel::LogLines() const {
    sim::StateGuard lock(S().mutex);
    return JoinPrintsIntoLines({S().prints.Text()});
}

void Kernel::ClearLog() {
    sim::StateGuard lock(S().mutex);
    S().prints.Clear();
}

size_t Kernel::PrintCount() const {
    sim::StateGuard lock(S().mutex);
    return S().prints.Count();
}

std::vector<MapCall> Kernel::MappingCalls() const {
    sim::StateGuard lock(S().mutex);
    return {S().mapCalls.begin(), S().mapCalls.end()};
}

MappingCounters Kernel::Mappings() const {
    sim::StateGuard lock(S().mutex);
    return S().counters;
}

void Kernel::FailMapping(MapStep step, int nth) {
    sim::StateGuard lock(S().mutex);
    S().failAt[static_cast<int>(step)] = nth;
}

Violations Kernel::GetViolations() const {
    sim::StateGuard lock(S().mutex);
    return S().violations;
}

uint64_t Kernel::ConfigPairs() const {
    sim::StateGuard lock(S().mutex);
    return S().configPairs;
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// kernel.h: the driver's side.

using sim::S;

extern "C" {

void KernInstallDispatchRoutines(KernDriver* driver) {
    for (auto& routine : driver->majorFunction) {
        routine = &CorvaxDefaultDispatch;
    }
    driver->majorFunction[sim::kMajorDeviceControl] = &CorvaxControlDispatch;
}

void KernInstallUnloadRoutine(KernDriver* driver) {
    driver->unloadInstalled = true;
}

void KernInitUnicodeString(KernUnicodeString* destination, const char16_t* source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) {
        ++n;
    }
    destination->Length = static_cast<uint16_t>(n * sizeof(char16_t));
    destination->MaximumLength = static_cast<uint16_t>((n + 1) * sizeof(char16_t));
    destination->Reserved = 0;
    destination->Buffer = source;
}

KernStatus KernCreateDevice(KernDriver* driver, uint32_t extensionSize,
                            const KernUnicodeString* name, uint32_t deviceType,
                            uint32_t characteristics, uint8_t exclusive, KernDevice** device) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    if (sim::ShouldFail(s.failDeviceAt)) {
        return s.failDeviceStatus;
    }
    if (s.device) {
        return KERN_STATUS_OBJECT_NAME_COLLISION;
    }
    auto created = std::make_unique<KernDevice>();
    created->driver = driver;
    created->name = sim::FromString(name);
    created->extensionSize = extensionSize;
    created->extension.reset(new uint64_t[(extensionSize + 7) / 8]());
    created->type = deviceType;
    created->characteristics = characteristics;
    created->exclusive = exclusive != 0;
    created->flags = KERN_DO_DEVICE_INITIALIZING;
    *device = created.get();
    driver->device = created.get();
    s.device = std::move(created);
    return KERN_STATUS_SUCCESS;
}

KernStatus KernRestrictDeviceToAdministrators(KernDevice* device) {
    sim::StateGuard lock(S().mutex);
    if (S().failRestrictStatus != 0) {
        return S().failRestrictStatus;
    }
    device->restricted = true;
    return KERN_STATUS_SUCCESS;
}

void KernDeleteDevice(KernDevice* device) {
    sim::StateGuard lock(S().mutex);
    if (S().device.get() == device) {
        if (device->driver != nullptr) {
            device->driver->device = nullptr;
        }
        S().device.reset();
    }
}

void* KernDeviceExtension(KernDevice* device) {
    return device->extension.get();
}

KernDevice* KernDriverDevice(KernDriver* driver) {
    return driver->device;
}

void KernSetDeviceFlags(KernDevice* device, uint32_t set, uint32_t clear) {
    sim::StateGuard lock(S().mutex);
    device->flags = (device->flags | set) & ~clear;
}

KernStatus KernCreateSymbolicLink(const KernUnicodeString* link, const KernUnicodeString* target) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    if (sim::ShouldFail(s.failLinkAt)) {
        return s.failLinkStatus;
    }
    const std::u16string name = sim::FromString(link);
    if (s.links.count(name) != 0) {
        return KERN_STATUS_OBJECT_NAME_COLLISION;
    }
    s.links[name] = sim::FromString(target);
    return KERN_STATUS_SUCCESS;
}

KernStatus KernDeleteSymbolicLink(const KernUnicodeString* link) {
    sim::StateGuard lock(S().mutex);
    const bool erased = S().links.erase(sim::FromString(link)) != 0;
    return erased ? KERN_STATUS_SUCCESS : static_cast<KernStatus>(0xC0000034);
}

void KernGetControlParameters(KernRequest* request, KernControlParameters* parameters) {
    parameters->InputLength = request->inputLength;
    parameters->OutputLength = request->outputLength;
    parameters->ControlCode = request->code;
    parameters->Reserved = 0;
    parameters->SystemBuffer = request->systemBuffer;
}

uint8_t KernRequestHasMdl(KernRequest* request) {
    return request->hasMdl ? 1 : 0;
}

uint16_t KernRequestMdlFlags(KernRequest* request) {
    return request->mdlFlags;
}

void* KernRequestMdlMappedSystemVa(KernRequest* request) {
    return request->mdlMappedVa;
}

uint32_t KernRequestMdlByteCount(KernRequest* request) {
    return request->mdlByteCount;
}

void* KernMapRequestMdl(KernRequest* request) {
    sim::StateGuard lock(S().mutex);
    ++S().counters.requestMdlMaps;
    if (!request->hasMdl || request->failMdlMapping) {
        return nullptr;
    }
    request->mdlMapped = true;
    return request->mdlPages;
}

void KernCompleteRequest(KernRequest* request, KernStatus status, uint64_t information) {
    request->status = status;
    request->information = information;
    ++request->completions;
}

void KernRequestLockInitialize(void) {}

void KernRequestLockAcquire(void) {
    sim::RequestLock().lock();
    sim::StateGuard lock(S().mutex);
    if (++S().requestsInside > 1) {
        ++S().violations.concurrentRequests;
    }
}

void KernRequestLockRelease(void) {
    {
        sim::StateGuard lock(S().mutex);
        --S().requestsInside;
    }
    sim::RequestLock().unlock();
}

uint64_t KernConfigPortAcquire(void) {
    sim::ConfigPortLock().lock();
    sim::StateGuard lock(S().mutex);
    ++S().configPairs;
    return 0;
}

void KernConfigPortRelease(uint64_t state) {
    sim::ConfigPortLock().unlock();
}

void KernWritePortUlong(uint16_t port, uint32_t value) {
    sim::Fabric* fabric = sim::Kernel::Get().AttachedFabric();
    if (fabric != nullptr) {
        fabric->WritePort(port, value);
    }
}

uint32_t KernReadPortUlong(uint16_t port) {
    sim::Fabric* fabric = sim::Kernel::Get().AttachedFabric();
    return fabric != nullptr ? fabric->ReadPort(port) : 0xFFFFFFFFu;
}

// The machine's clock: a wait moves it on instead of sleeping, so links train and drives start
// in it exactly as long as the driver waits.
uint64_t KernTimeUs(void) {
    sim::Fabric* fabric = sim::Kernel::Get().AttachedFabric();
    return fabric != nullptr ? fabric->ClockUs() : S().ownClockUs.load();
}

void KernDelayUs(uint32_t us) {
    sim::Fabric* fabric = sim::Kernel::Get().AttachedFabric();
    if (fabric != nullptr) {
        fabric->Wait(us);
    } else {
        S().ownClockUs += us;
    }
}

void KernTakeSystemRamRanges(void) {
    // The ranges follow the attached fabric; nothing to take.
}

const KernPhysicalRange* KernSystemRamRanges(uint32_t* count) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    *count = s.ramUnknown ? 0 : static_cast<uint32_t>(s.ram.size());
    if (s.ramUnknown) {
        return nullptr;
    }
    // Never null when known, even with no range at all.
    static const KernPhysicalRange kNone = {0, 0};
    return s.ram.empty() ? &kNone : s.ram.data();
}

// The simulated kernel has one mapping routine and finds it without a look-up.
void KernFindMappingRoutines(void) {}

void* KernMapIoSpace(uint64_t physicalAddress, uint32_t size) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::MapIoSpace);
    ++s.counters.ioSpaceMaps;
    if (sim::ShouldFail(s.failAt[static_cast<int>(sim::MapStep::IoSpace)]) || size == 0) {
        return nullptr;
    }
    // Device memory never lies in RAM; a mapping of it is refused (and counted by the fabric).
    sim::Fabric* fabric = s.fabric.load();
    if (fabric != nullptr && fabric->RefuseRamMapping(physicalAddress, size)) {
        return nullptr;
    }
    const uint64_t address =
        sim::kIoSpaceBase + (s.nextMapping++) * sim::kMappingStride + (physicalAddress & 0xFFFu);
    s.ioSpaces[address] = {physicalAddress, size};
    ++s.counters.liveIoSpace;
    return reinterpret_cast<void*>(address);
}

void KernUnmapIoSpace(void* address, uint32_t size) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::UnmapIoSpace);
    auto it = s.ioSpaces.find(reinterpret_cast<uint64_t>(address));
    if (it == s.ioSpaces.end() || it->second.second != size) {
        ++s.violations.unbalancedMappings;
        return;
    }
    s.ioSpaces.erase(it);
    --s.counters.liveIoSpace;
}

void* KernAllocateMdl(void* address, uint32_t size) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::AllocateMdl);
    ++s.counters.mdlAllocations;
    if (sim::ShouldFail(s.failAt[static_cast<int>(sim::MapStep::Mdl)])) {
        return nullptr;
    }
    auto mdl = std::make_unique<sim::Mdl>();
    mdl->ioAddress = reinterpret_cast<uint64_t>(address);
    mdl->size = size;
    mdl->built = false;
    sim::Mdl* raw = mdl.get();
    s.mdls[raw] = std::move(mdl);
    ++s.counters.liveMdls;
    return raw;
}

void KernBuildMdlForNonPagedPool(void* mdl) {
    sim::StateGuard lock(S().mutex);
    auto it = S().mdls.find(static_cast<sim::Mdl*>(mdl));
    if (it != S().mdls.end()) {
        it->second->built = true;
    }
}

void* KernMapLockedPages(void* mdl) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::MapView);
    ++s.counters.viewMaps;
    auto it = s.mdls.find(static_cast<sim::Mdl*>(mdl));
    if (it == s.mdls.end() || !it->second->built) {
        ++s.violations.unbalancedMappings;
        return nullptr;
    }
    if (sim::ShouldFail(s.failAt[static_cast<int>(sim::MapStep::View)])) {
        return nullptr;
    }
    auto io = s.ioSpaces.find(it->second->ioAddress);
    if (io == s.ioSpaces.end()) {
        ++s.violations.unbalancedMappings;
        return nullptr;
    }
    // The view starts at the page; the descriptor's byte offset says where the data lies.
    const uint64_t base = sim::kViewBase + (s.nextMapping++) * sim::kMappingStride;
    const uint64_t physicalPage = io->second.first & ~0xFFFull;
    const uint32_t span = static_cast<uint32_t>((io->second.first & 0xFFFu) + it->second->size);
    s.views[base] = sim::View{physicalPage, (span + 0xFFFu) & ~0xFFFu};
    ++s.counters.liveViews;
    return reinterpret_cast<void*>(base);
}

void KernUnmapLockedPages(void* view, void* mdl) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::UnmapView);
    const uint64_t address = reinterpret_cast<uint64_t>(view);
    auto it = s.views.upper_bound(address);
    if (it == s.views.begin()) {
        ++s.violations.unbalancedMappings;
        return;
    }
    --it;
    if (address - it->first >= it->second.size) {
        ++s.violations.unbalancedMappings;
        return;
    }
    s.views.erase(it);
    sim::ForgetViews(s);
    --s.counters.liveViews;
}

uint32_t KernMdlByteOffset(void* mdl) {
    sim::StateGuard lock(S().mutex);
    auto it = S().mdls.find(static_cast<sim::Mdl*>(mdl));
    return it == S().mdls.end() ? 0 : static_cast<uint32_t>(it->second->ioAddress & 0xFFFu);
}

void KernFreeMdl(void* mdl) {
    sim::State& s = S();
    sim::StateGuard lock(s.mutex);
    s.Called(sim::MapCall::FreeMdl);
    if (s.mdls.erase(static_cast<sim::Mdl*>(mdl)) == 0) {
        ++s.violations.unbalancedMappings;
        return;
    }
    --s.counters.liveMdls;
}

uint8_t KernReadRegisterUchar(const volatile void* address) {
    return static_cast<uint8_t>(sim::ReadDeviceMemory(address, 1));
}

void KernWriteRegisterUchar(volatile void* address, uint8_t value) {
    sim::WriteDeviceMemory(address, 1, value);
}

uint32_t KernReadRegisterUlong(const volatile void* address) {
    return sim::ReadDeviceMemory(address, 4);
}

void KernWriteRegisterUlong(volatile void* address, uint32_t value) {
    sim::WriteDeviceMemory(address, 4, value);
}

void KernDebugPrint(const char* format, ...) {
    sim::StateGuard lock(S().mutex);
    va_list args;
    va_start(args, format);
    S().prints.Append(format, args);
    va_end(args);
}

}  // extern "C"
