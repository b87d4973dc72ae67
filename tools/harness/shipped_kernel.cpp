// The emulated kernel behind the shipped image: ntoskrnl's routines as ms_abi functions, the
// I/O manager, the mapping of device memory, and the trap handler for privileged instructions.
#include "tools/harness/shipped_kernel.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "sim/kernel/debug_format.h"
#include "sim/pci/fabric.h"
#include "tools/harness/nt_layout.h"
#include "tools/harness/pe_image.h"
#include "tools/harness/x86_decode.h"

#define MS_ABI __attribute__((ms_abi))

namespace harness {

namespace {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000D);
constexpr int32_t kStatusInvalidDeviceRequest = static_cast<int32_t>(0xC0000010);
constexpr int32_t kStatusInvalidHandle = static_cast<int32_t>(0xC0000008);
constexpr int32_t kStatusObjectNameCollision = static_cast<int32_t>(0xC0000035);
constexpr int32_t kStatusObjectNameNotFound = static_cast<int32_t>(0xC0000034);
constexpr int32_t kStatusUnknownRevision = static_cast<int32_t>(0xC0000058);
constexpr int32_t kStatusAllottedSpaceExceeded = static_cast<int32_t>(0xC0000099);
constexpr int32_t kStatusPending = 0x00000103;
constexpr uint8_t kPassiveLevel = 0;
constexpr uint8_t kApcLevel = 1;
constexpr uint8_t kDispatchLevel = 2;
constexpr uint64_t kPage = 4096;
constexpr uint32_t kFileAllAccess = 0x001F01FF;
constexpr uint16_t kSeDaclPresent = 0x0004;
constexpr uint32_t kDaclSecurityInformation = 0x00000004;
// The arena the I/O-space mappings and views are carved from, never reused while it lasts, so
// that a stale pointer into a released view still faults.
constexpr uint64_t kArenaSize = 64ull << 30;
constexpr uint64_t kSlotAlignment = 64 * 1024;

bool IsError(int32_t status) {
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

uint64_t RoundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

// Memory the kernel hands the driver, with its last byte against an inaccessible page, so that
// the driver reaching past it faults at once as the special pool makes it fault on Windows.
class GuardedBlock {
  public:
    GuardedBlock() = default;
    explicit GuardedBlock(size_t size, size_t alignment = 1) {
        if (size == 0) {
            return;
        }
        span_ = RoundUp(size, kPage) + kPage;
        void* m = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            throw std::bad_alloc();
        }
        mapping_ = static_cast<uint8_t*>(m);
        mprotect(mapping_ + span_ - kPage, kPage, PROT_NONE);
        data_ = mapping_ + span_ - kPage - RoundUp(size, alignment);
    }
    ~GuardedBlock() {
        if (mapping_ != nullptr) {
            munmap(mapping_, span_);
        }
    }
    GuardedBlock(GuardedBlock&& other) noexcept { *this = std::move(other); }
    GuardedBlock& operator=(GuardedBlock&& other) noexcept {
        std::swap(mapping_, other.mapping_);
        std::swap(span_, other.span_);
        std::swap(data_, other.data_);
        return *this;
    }
    uint8_t* Data() const { return data_; }
    bool Covers(uint64_t address) const {
        return mapping_ != nullptr && address >= reinterpret_cast<uint64_t>(mapping_) &&
               address - reinterpret_cast<uint64_t>(mapping_) < span_;
    }

  private:
    uint8_t* mapping_ = nullptr;
    size_t span_ = 0;
    uint8_t* data_ = nullptr;
};

// A stretch of the arena standing for device memory.
struct Region {
    enum class Kind { IoSpace, View };
    Kind kind = Kind::IoSpace;
    uint64_t base = 0;             // slot start (page aligned)
    uint64_t span = 0;             // bytes of pages
    uint64_t physical = 0;         // I/O space: the physical address of base
    std::vector<uint64_t> frames;  // view: the physical page of each page
    uint32_t size = 0;             // I/O space: the size asked for, to check the unmap
    uint64_t returned = 0;         // the address handed out
};

struct MdlRecord {
    GuardedBlock memory;
    bool built = false;
    bool request = false;  // describes a caller's pages (METHOD_*_DIRECT)
    uint8_t* callerPages = nullptr;
};

struct Device {
    GuardedBlock memory;  // DEVICE_OBJECT then its extension
    std::u16string name;
    bool restricted = false;
};

struct Mutex {
    int holds = 0;
};

// What a device-memory mapping may ask for: one of the five base protections MmMapIoSpaceEx
// knows, with at most one caching attribute.
bool ValidIoProtection(uint32_t protect) {
    const uint32_t base = protect & 0xFF;
    const uint32_t caching = protect & ~0xFFu;
    const bool knownBase = base == nt::kPageReadOnly || base == nt::kPageReadWrite ||
                           base == nt::kPageExecute || base == nt::kPageExecuteRead ||
                           base == nt::kPageExecuteReadWrite;
    return knownBase &&
           (caching == 0 || caching == nt::kPageNoCache || caching == nt::kPageWriteCombine);
}

bool ExecutableProtection(uint32_t protect) {
    return (protect & (nt::kPageExecute | nt::kPageExecuteRead | nt::kPageExecuteReadWrite)) != 0;
}

// Non-paged pool without the no-execute bit is executable; paged pool never is on x64.
bool ExecutablePoolType(uint32_t type) {
    return (type & nt::kNonPagedPoolNx) == 0 && (type & nt::kPoolTypePaged) == 0;
}

std::string Hex(uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

}  // namespace

struct ShippedKernel::State {
    sim::Fabric* fabric = nullptr;
    std::unique_ptr<PeImage> image;
    GuardedBlock driverMemory;  // DRIVER_OBJECT and its extension
    nt::DriverObject* driver = nullptr;
    bool loaded = false;
    std::vector<uint16_t> driverName;
    std::vector<uint16_t> registryPath;
    nt::UnicodeString registryPathString{};

    std::map<uint64_t, std::unique_ptr<Device>> devices;  // by DEVICE_OBJECT address
    std::map<std::u16string, std::u16string> links;
    std::map<int, nt::DeviceObject*> handles;
    int nextHandle = 1;

    std::vector<std::string> prints;
    std::vector<std::string> violations;

    uint8_t* arena = nullptr;
    uint64_t arenaNext = 0;
    std::map<uint64_t, Region> regions;  // by base
    std::map<uint64_t, std::unique_ptr<MdlRecord>> mdls;
    MappingCounters counters;

    std::map<uint64_t, Mutex> mutexes;
    uint8_t irql = kPassiveLevel;
    nt::Irp* currentIrp = nullptr;
    int completions = 0;
    std::map<uint64_t, int> spinLocksHeld;
    std::map<uint64_t, GuardedBlock> pool;  // by the address handed out

    // Each broken rule once: a fault repeated by every request would bury the others.
    void Violation(const std::string& text) {
        if (std::find(violations.begin(), violations.end(), text) == violations.end()) {
            violations.push_back(text);
        }
    }
};

namespace {

using State = ShippedKernel::State;
State* g_state = nullptr;
struct sigaction g_previousSegv;

ShippedKernel::State& K() {
    return *g_state;
}

std::u16string FromUnicode(const nt::UnicodeString* s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

std::vector<uint16_t> Wide(const std::string& s) {
    std::vector<uint16_t> out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

void RequireIrqlAtMost(uint8_t most, const char* routine) {
    if (K().irql > most) {
        K().Violation(std::string(routine) + " called at IRQL " + std::to_string(K().irql));
    }
}

Region* FindRegion(uint64_t address) {
    auto& regions = K().regions;
    auto it = regions.upper_bound(address);
    if (it == regions.begin()) {
        return nullptr;
    }
    --it;
    return address - it->first < it->second.span ? &it->second : nullptr;
}

// A fresh slot of the arena for a region of `span` bytes of pages.
uint64_t TakeSlot(uint64_t span) {
    State& s = K();
    const uint64_t need = RoundUp(span, kSlotAlignment) + kSlotAlignment;  // a gap between slots
    if (s.arenaNext + need > kArenaSize) {
        s.arenaNext = 0;
    }
    const uint64_t base = reinterpret_cast<uint64_t>(s.arena) + s.arenaNext;
    s.arenaNext += need;
    return base;
}

nt::Mdl* AllocateMdlRecord(void* va, uint32_t length, bool request) {
    const uint64_t address = reinterpret_cast<uint64_t>(va);
    const uint64_t pages = (((address & (kPage - 1)) + length + kPage - 1) / kPage);
    const size_t bytes = sizeof(nt::Mdl) + pages * sizeof(uint64_t);
    auto record = std::make_unique<MdlRecord>();
    record->memory = GuardedBlock(bytes, 8);
    record->request = request;
    auto* mdl = reinterpret_cast<nt::Mdl*>(record->memory.Data());
    std::memset(mdl, 0, bytes);
    mdl->Size = static_cast<int16_t>(bytes);
    mdl->StartVa = reinterpret_cast<void*>(address & ~(kPage - 1));
    mdl->ByteOffset = static_cast<uint32_t>(address & (kPage - 1));
    mdl->ByteCount = length;
    K().mdls[reinterpret_cast<uint64_t>(mdl)] = std::move(record);
    return mdl;
}

uint64_t* MdlFrames(nt::Mdl* mdl) {
    return reinterpret_cast<uint64_t*>(mdl + 1);
}

// ---------------------------------------------------------------------------------------------
// ntoskrnl.exe

MS_ABI void* IoAllocateMdl(void* va, uint32_t length, uint8_t secondary, uint8_t chargeQuota,
                           nt::Irp* irp) {
    RequireIrqlAtMost(kDispatchLevel, "IoAllocateMdl");
    if (secondary != 0 || irp != nullptr) {
        K().Violation("IoAllocateMdl with a request to attach to");
    }
    ++K().counters.mdlAllocations;
    ++K().counters.liveMdls;
    return AllocateMdlRecord(va, length, false);
}

MS_ABI void IoFreeMdl(nt::Mdl* mdl) {
    auto it = K().mdls.find(reinterpret_cast<uint64_t>(mdl));
    if (it == K().mdls.end() || it->second->request) {
        K().Violation("IoFreeMdl of a descriptor list the driver does not own");
        return;
    }
    if ((mdl->MdlFlags & nt::kMdlMappedToSystemVa) != 0 &&
        (mdl->MdlFlags & nt::kMdlSourceIsNonpagedPool) == 0) {
        K().Violation("IoFreeMdl of a descriptor list whose view is still mapped");
    }
    K().mdls.erase(it);
    --K().counters.liveMdls;
}

MS_ABI int32_t IoCreateDevice(nt::DriverObject* driver, uint32_t extensionSize,
                              nt::UnicodeString* name, uint32_t deviceType,
                              uint32_t characteristics, uint8_t exclusive,
                              nt::DeviceObject** created) {
    RequireIrqlAtMost(kPassiveLevel, "IoCreateDevice");
    State& s = K();
    const std::u16string text = FromUnicode(name);
    for (const auto& d : s.devices) {
        if (!text.empty() && d.second->name == text) {
            return kStatusObjectNameCollision;
        }
    }
    auto device = std::make_unique<Device>();
    const size_t extension = RoundUp(extensionSize, 16);
    device->memory = GuardedBlock(sizeof(nt::DeviceObject) + extension, 16);
    device->name = text;
    auto* object = reinterpret_cast<nt::DeviceObject*>(device->memory.Data());
    std::memset(object, 0, sizeof(nt::DeviceObject) + extension);
    object->Type = nt::kIoTypeDevice;
    object->Size = static_cast<uint16_t>(sizeof(nt::DeviceObject) + extensionSize);
    object->Driver = driver;
    object->Flags = nt::kDoDeviceInitializing | (exclusive ? 0x8u : 0u);
    object->Characteristics = characteristics;
    object->DeviceType = deviceType;
    object->StackSize = 1;
    object->DeviceExtension = extensionSize != 0 ? object + 1 : nullptr;
    object->NextDevice = driver->DeviceObjectList;
    driver->DeviceObjectList = object;
    s.devices[reinterpret_cast<uint64_t>(object)] = std::move(device);
    *created = object;
    return kStatusSuccess;
}

MS_ABI void IoDeleteDevice(nt::DeviceObject* device) {
    State& s = K();
    auto it = s.devices.find(reinterpret_cast<uint64_t>(device));
    if (it == s.devices.end()) {
        s.Violation("IoDeleteDevice of an object that is not a device");
        return;
    }
    nt::DeviceObject** link = &device->Driver->DeviceObjectList;
    while (*link != nullptr && *link != device) {
        link = &(*link)->NextDevice;
    }
    if (*link == device) {
        *link = device->NextDevice;
    }
    for (auto h = s.handles.begin(); h != s.handles.end();) {
        h = h->second == device ? s.handles.erase(h) : std::next(h);
    }
    s.devices.erase(it);
}

MS_ABI int32_t IoCreateSymbolicLink(nt::UnicodeString* link, nt::UnicodeString* target) {
    RequireIrqlAtMost(kPassiveLevel, "IoCreateSymbolicLink");
    const std::u16string name = FromUnicode(link);
    if (K().links.count(name) != 0) {
        return kStatusObjectNameCollision;
    }
    K().links[name] = FromUnicode(target);
    return kStatusSuccess;
}

MS_ABI int32_t IoDeleteSymbolicLink(nt::UnicodeString* link) {
    RequireIrqlAtMost(kPassiveLevel, "IoDeleteSymbolicLink");
    return K().links.erase(FromUnicode(link)) != 0 ? kStatusSuccess : kStatusObjectNameNotFound;
}

MS_ABI void IofCompleteRequest(nt::Irp* irp, int8_t boost) {
    RequireIrqlAtMost(kDispatchLevel, "IoCompleteRequest");
    if (irp != K().currentIrp) {
        K().Violation("IoCompleteRequest of a request the driver was not given");
        return;
    }
    if (irp->IoStatus.Status == kStatusPending) {
        K().Violation("a request completed with STATUS_PENDING");
    }
    ++K().completions;
}

MS_ABI void KeInitializeMutex(void* mutex, uint32_t level) {
    std::memset(mutex, 0, nt::kMutexSize);
    K().mutexes[reinterpret_cast<uint64_t>(mutex)] = Mutex();
}

MS_ABI int32_t KeWaitForSingleObject(void* object, int32_t reason, int8_t mode, uint8_t alertable,
                                     int64_t* timeout) {
    RequireIrqlAtMost(kApcLevel, "KeWaitForSingleObject");
    auto it = K().mutexes.find(reinterpret_cast<uint64_t>(object));
    if (it == K().mutexes.end()) {
        K().Violation("KeWaitForSingleObject on an object that is not an initialised mutex");
        return kStatusInvalidParameter;
    }
    // One thread sends every request here; a mutex is recursive for its owner.
    ++it->second.holds;
    return kStatusSuccess;
}

MS_ABI int32_t KeReleaseMutex(void* mutex, uint8_t wait) {
    auto it = K().mutexes.find(reinterpret_cast<uint64_t>(mutex));
    if (it == K().mutexes.end() || it->second.holds == 0) {
        K().Violation("KeReleaseMutex of a mutex the caller does not own");
        return 0;
    }
    --it->second.holds;
    return 0;
}

MS_ABI void KeAcquireSpinLockAtDpcLevel(uint64_t* lock) {
    if (K().irql < kDispatchLevel) {
        K().Violation("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
    }
    if (__atomic_exchange_n(lock, 1, __ATOMIC_ACQUIRE) != 0) {
        // Only one thread runs here: a held lock would spin for ever.
        K().Violation("KeAcquireSpinLockAtDpcLevel of a lock already held (deadlock)");
    }
    ++K().spinLocksHeld[reinterpret_cast<uint64_t>(lock)];
}

MS_ABI void KeReleaseSpinLockFromDpcLevel(uint64_t* lock) {
    if (__atomic_exchange_n(lock, 0, __ATOMIC_RELEASE) == 0) {
        K().Violation("KeReleaseSpinLockFromDpcLevel of a lock that is not held");
    }
    if (--K().spinLocksHeld[reinterpret_cast<uint64_t>(lock)] == 0) {
        K().spinLocksHeld.erase(reinterpret_cast<uint64_t>(lock));
    }
}

// Time is the machine's: a wait moves its clock on instead of sleeping, as the host build's
// kernel does, so both builds see links train and drives start at the same moments.
MS_ABI int32_t KeDelayExecutionThread(int8_t mode, uint8_t alertable, int64_t* interval) {
    RequireIrqlAtMost(kApcLevel, "KeDelayExecutionThread");
    if (interval == nullptr || *interval > 0) {
        // An absolute time would name the system's clock, which this machine does not keep.
        K().Violation("KeDelayExecutionThread without a relative interval");
        return kStatusInvalidParameter;
    }
    K().fabric->Wait(static_cast<uint64_t>(-*interval) / 10);
    return kStatusSuccess;
}

// A 1 MHz counter: the machine's clock in microseconds.
MS_ABI int64_t KeQueryPerformanceCounter(int64_t* frequency) {
    if (frequency != nullptr) {
        *frequency = 1000000;
    }
    return static_cast<int64_t>(K().fabric->ClockUs());
}

void* MapIoSpace(int64_t physical, uint64_t size) {
    State& s = K();
    ++s.counters.ioSpaceMaps;
    if (size == 0) {
        return nullptr;
    }
    // Device memory never lies in RAM: the mapping is refused, and the driver should never
    // have asked for it.
    if (s.fabric->RefuseRamMapping(static_cast<uint64_t>(physical), size)) {
        char text[96];
        std::snprintf(text, sizeof(text), "a mapping of RAM at 0x%llX",
                      static_cast<unsigned long long>(physical));
        s.Violation(text);
        return nullptr;
    }
    Region region;
    region.kind = Region::Kind::IoSpace;
    region.physical = static_cast<uint64_t>(physical) & ~(kPage - 1);
    region.span = RoundUp((static_cast<uint64_t>(physical) & (kPage - 1)) + size, kPage);
    region.size = static_cast<uint32_t>(size);
    region.base = TakeSlot(region.span);
    region.returned = region.base + (static_cast<uint64_t>(physical) & (kPage - 1));
    s.regions[region.base] = region;
    ++s.counters.liveIoSpace;
    return reinterpret_cast<void*>(region.returned);
}

// Windows 10 still has it, but its mappings are executable, which memory integrity forbids.
MS_ABI void* MmMapIoSpace(int64_t physical, uint64_t size, int32_t cacheType) {
    RequireIrqlAtMost(kDispatchLevel, "MmMapIoSpace");
    K().Violation("an executable mapping: MmMapIoSpace, whose mappings are executable");
    return MapIoSpace(physical, size);
}

MS_ABI void* MmMapIoSpaceEx(int64_t physical, uint64_t size, uint32_t protect) {
    RequireIrqlAtMost(kDispatchLevel, "MmMapIoSpaceEx");
    if (!ValidIoProtection(protect)) {
        K().Violation("MmMapIoSpaceEx with an invalid protection " + Hex(protect));
        return nullptr;
    }
    if (ExecutableProtection(protect)) {
        K().Violation("an executable mapping: MmMapIoSpaceEx with protection " + Hex(protect));
    }
    return MapIoSpace(physical, size);
}

MS_ABI void MmUnmapIoSpace(void* address, uint64_t size) {
    RequireIrqlAtMost(kDispatchLevel, "MmUnmapIoSpace");
    Region* region = FindRegion(reinterpret_cast<uint64_t>(address));
    if (region == nullptr || region->kind != Region::Kind::IoSpace ||
        region->returned != reinterpret_cast<uint64_t>(address) || region->size != size) {
        K().Violation("MmUnmapIoSpace of something MmMapIoSpace did not return");
        return;
    }
    K().regions.erase(region->base);
    --K().counters.liveIoSpace;
}

MS_ABI void MmBuildMdlForNonPagedPool(nt::Mdl* mdl) {
    auto it = K().mdls.find(reinterpret_cast<uint64_t>(mdl));
    if (it == K().mdls.end()) {
        K().Violation("MmBuildMdlForNonPagedPool of an unknown descriptor list");
        return;
    }
    const uint64_t va = reinterpret_cast<uint64_t>(mdl->StartVa) + mdl->ByteOffset;
    Region* region = FindRegion(va);
    const uint64_t pages = (mdl->ByteOffset + mdl->ByteCount + kPage - 1) / kPage;
    for (uint64_t p = 0; p < pages; ++p) {
        const uint64_t page = reinterpret_cast<uint64_t>(mdl->StartVa) + p * kPage;
        Region* r = FindRegion(page);
        if (r == nullptr || r->kind != Region::Kind::IoSpace) {
            K().Violation("MmBuildMdlForNonPagedPool over memory that is not mapped I/O space");
            return;
        }
        MdlFrames(mdl)[p] = (r->physical + (page - r->base)) / kPage;
    }
    mdl->MappedSystemVa = reinterpret_cast<void*>(va);
    mdl->MdlFlags = static_cast<int16_t>(mdl->MdlFlags | nt::kMdlSourceIsNonpagedPool |
                                         (region != nullptr ? nt::kMdlIoSpace : 0));
    it->second->built = true;
}

MS_ABI void* MmMapLockedPagesSpecifyCache(nt::Mdl* mdl, int8_t mode, int32_t cacheType,
                                          void* requested, uint32_t bugCheck, uint32_t priority) {
    RequireIrqlAtMost(kDispatchLevel, "MmMapLockedPagesSpecifyCache");
    State& s = K();
    auto it = s.mdls.find(reinterpret_cast<uint64_t>(mdl));
    if (it == s.mdls.end()) {
        s.Violation("MmMapLockedPagesSpecifyCache of an unknown descriptor list");
        return nullptr;
    }
    if (mode != 0 || requested != nullptr || bugCheck != 0) {
        s.Violation("MmMapLockedPagesSpecifyCache other than a kernel view without bug check");
    }
    if ((priority & nt::kMdlMappingNoExecute) == 0) {
        s.Violation(
            "an executable mapping: MmMapLockedPagesSpecifyCache without MdlMappingNoExecute "
            "(priority " +
            Hex(priority) + ")");
    }
    if (it->second->request) {
        // The caller's locked pages: the system view is this process's own copy of them.
        ++s.counters.requestMdlMaps;
        mdl->MappedSystemVa = it->second->callerPages;
        mdl->MdlFlags = static_cast<int16_t>(mdl->MdlFlags | nt::kMdlMappedToSystemVa);
        return it->second->callerPages;
    }
    ++s.counters.viewMaps;
    if (!it->second->built) {
        s.Violation("MmMapLockedPagesSpecifyCache of a descriptor list without its pages");
        return nullptr;
    }
    Region region;
    region.kind = Region::Kind::View;
    const uint64_t pages = (mdl->ByteOffset + mdl->ByteCount + kPage - 1) / kPage;
    region.frames.assign(MdlFrames(mdl), MdlFrames(mdl) + pages);
    region.span = pages * kPage;
    region.base = TakeSlot(region.span);
    region.returned = region.base + mdl->ByteOffset;
    s.regions[region.base] = region;
    ++s.counters.liveViews;
    mdl->MappedSystemVa = reinterpret_cast<void*>(region.returned);
    mdl->MdlFlags = static_cast<int16_t>(mdl->MdlFlags | nt::kMdlMappedToSystemVa);
    return reinterpret_cast<void*>(region.returned);
}

MS_ABI void MmUnmapLockedPages(void* address, nt::Mdl* mdl) {
    RequireIrqlAtMost(kDispatchLevel, "MmUnmapLockedPages");
    Region* region = FindRegion(reinterpret_cast<uint64_t>(address));
    if (region == nullptr || region->kind != Region::Kind::View) {
        K().Violation("MmUnmapLockedPages of something that is not a view");
        return;
    }
    K().regions.erase(region->base);
    --K().counters.liveViews;
    mdl->MdlFlags = static_cast<int16_t>(mdl->MdlFlags & ~nt::kMdlMappedToSystemVa);
}

// Security: the records the driver builds are checked, and the device remembers whether it
// ended up open to SYSTEM and Administrators only.
constexpr uint8_t kSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr uint8_t kAdminsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

struct SeExportsBlock {
    alignas(8) uint8_t bytes[nt::kSeExportsSize];
};
SeExportsBlock g_seExports;
void* g_seExportsPointer = nullptr;  // the data export SeExports: a PSE_EXPORTS

uint32_t SidLength(const uint8_t* sid) {
    return 8 + 4u * sid[1];
}

MS_ABI uint32_t RtlLengthSid(const uint8_t* sid) {
    return SidLength(sid);
}

MS_ABI int32_t RtlCreateAcl(uint8_t* acl, uint32_t length, uint32_t revision) {
    if (length < 8 || length > 0xFFFF || revision < 2 || revision > 4) {
        return kStatusInvalidParameter;
    }
    std::memset(acl, 0, 8);
    acl[0] = static_cast<uint8_t>(revision);
    acl[2] = static_cast<uint8_t>(length);
    acl[3] = static_cast<uint8_t>(length >> 8);
    return kStatusSuccess;
}

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

MS_ABI int32_t RtlAddAccessAllowedAce(uint8_t* acl, uint32_t revision, uint32_t mask,
                                      const uint8_t* sid) {
    const uint16_t size = Get16(acl + 2);
    const uint16_t count = Get16(acl + 4);
    uint32_t used = 8;
    for (uint16_t i = 0; i < count; ++i) {
        used += Get16(acl + used + 2);
    }
    const uint32_t aceSize = 8 + SidLength(sid);
    if (used + aceSize > size) {
        return kStatusAllottedSpaceExceeded;
    }
    uint8_t* ace = acl + used;
    ace[0] = 0;  // ACCESS_ALLOWED_ACE_TYPE
    ace[1] = 0;
    ace[2] = static_cast<uint8_t>(aceSize);
    ace[3] = static_cast<uint8_t>(aceSize >> 8);
    std::memcpy(ace + 4, &mask, 4);
    std::memcpy(ace + 8, sid, SidLength(sid));
    acl[4] = static_cast<uint8_t>(count + 1);
    acl[5] = static_cast<uint8_t>((count + 1) >> 8);
    return kStatusSuccess;
}

MS_ABI int32_t RtlCreateSecurityDescriptor(uint8_t* descriptor, uint32_t revision) {
    if (revision != 1) {
        return kStatusUnknownRevision;
    }
    std::memset(descriptor, 0, 40);
    descriptor[0] = 1;
    return kStatusSuccess;
}

MS_ABI int32_t RtlSetDaclSecurityDescriptor(uint8_t* descriptor, uint8_t present, uint8_t* dacl,
                                            uint8_t defaulted) {
    if (descriptor[0] != 1) {
        return kStatusUnknownRevision;
    }
    uint16_t control = Get16(descriptor + 2);
    control = present ? (control | kSeDaclPresent) : (control & ~kSeDaclPresent);
    descriptor[2] = static_cast<uint8_t>(control);
    descriptor[3] = static_cast<uint8_t>(control >> 8);
    std::memcpy(descriptor + 32, &dacl, sizeof(dacl));
    return kStatusSuccess;
}

MS_ABI int32_t ObSetSecurityObjectByPointer(void* object, uint32_t information,
                                            const uint8_t* descriptor) {
    RequireIrqlAtMost(kPassiveLevel, "ObSetSecurityObjectByPointer");
    auto it = K().devices.find(reinterpret_cast<uint64_t>(object));
    if (it == K().devices.end() || information != kDaclSecurityInformation ||
        descriptor == nullptr || descriptor[0] != 1 ||
        (Get16(descriptor + 2) & kSeDaclPresent) == 0) {
        return kStatusInvalidParameter;
    }
    const uint8_t* acl = nullptr;
    std::memcpy(&acl, descriptor + 32, sizeof(acl));
    if (acl == nullptr) {
        return kStatusInvalidParameter;
    }
    // Exactly full access for SYSTEM and for Administrators, nothing for anyone else.
    bool system = false;
    bool admins = false;
    uint32_t at = 8;
    for (uint16_t i = 0; i < Get16(acl + 4); ++i) {
        const uint8_t* ace = acl + at;
        uint32_t mask = 0;
        std::memcpy(&mask, ace + 4, 4);
        const uint8_t* sid = ace + 8;
        if (ace[0] != 0 || mask != kFileAllAccess) {
            return kStatusInvalidParameter;
        }
        if (std::memcmp(sid, kSystemSid, sizeof(kSystemSid)) == 0) {
            system = true;
        } else if (std::memcmp(sid, kAdminsSid, sizeof(kAdminsSid)) == 0) {
            admins = true;
        } else {
            return kStatusInvalidParameter;
        }
        at += Get16(ace + 2);
    }
    it->second->restricted = system && admins;
    return kStatusSuccess;
}

MS_ABI void RtlInitUnicodeString(nt::UnicodeString* destination, const uint16_t* source) {
    size_t n = 0;
    while (source != nullptr && source[n] != 0) {
        ++n;
    }
    destination->Length = static_cast<uint16_t>(n * 2);
    destination->MaximumLength = static_cast<uint16_t>(source != nullptr ? n * 2 + 2 : 0);
    destination->Buffer = const_cast<uint16_t*>(source);
}

// Pool: every block against a guard page; an executable pool type breaks memory integrity.
void* AllocatePool(uint64_t size) {
    if (size == 0) {
        return nullptr;
    }
    GuardedBlock block(size, 16);
    void* address = block.Data();
    K().pool[reinterpret_cast<uint64_t>(address)] = std::move(block);
    return address;
}

MS_ABI void* ExAllocatePoolWithTag(uint32_t type, uint64_t size, uint32_t tag) {
    RequireIrqlAtMost(kDispatchLevel, "ExAllocatePoolWithTag");
    if (ExecutablePoolType(type)) {
        K().Violation("an allocation from executable pool: ExAllocatePoolWithTag of pool type " +
                      std::to_string(type));
    }
    return AllocatePool(size);
}

MS_ABI void* ExAllocatePool2(uint64_t flags, uint64_t size, uint32_t tag) {
    RequireIrqlAtMost(kDispatchLevel, "ExAllocatePool2");
    if ((flags & nt::kPoolFlagNonPagedExecute) != 0) {
        K().Violation(
            "an allocation from executable pool: ExAllocatePool2 with POOL_FLAG_NON_PAGED_EXECUTE");
    }
    return AllocatePool(size);
}

MS_ABI void ExFreePoolWithTag(void* address, uint32_t tag) {
    RequireIrqlAtMost(kDispatchLevel, "ExFreePoolWithTag");
    if (K().pool.erase(reinterpret_cast<uint64_t>(address)) == 0) {
        K().Violation("ExFreePoolWithTag of memory the pool did not hand out");
    }
}

MS_ABI void ExFreePool(void* address) {
    RequireIrqlAtMost(kDispatchLevel, "ExFreePool");
    if (K().pool.erase(reinterpret_cast<uint64_t>(address)) == 0) {
        K().Violation("ExFreePool of memory the pool did not hand out");
    }
}

// The machine's RAM as a pool block of ranges ending in an all-zero entry; the caller frees it.
MS_ABI void* MmGetPhysicalMemoryRanges() {
    RequireIrqlAtMost(kPassiveLevel, "MmGetPhysicalMemoryRanges");
    const std::vector<sim::RamRange>& ram = K().fabric->Ram();
    auto* entries = static_cast<uint64_t*>(AllocatePool((ram.size() + 1) * 2 * sizeof(uint64_t)));
    for (size_t i = 0; i < ram.size(); ++i) {
        entries[2 * i] = ram[i].base;
        entries[2 * i + 1] = ram[i].size;
    }
    entries[2 * ram.size()] = 0;
    entries[2 * ram.size() + 1] = 0;
    return entries;
}

MS_ABI void* MmGetSystemRoutineAddress(nt::UnicodeString* name);

MS_ABI void* Memcpy(void* destination, const void* source, size_t size) {
    return std::memcpy(destination, source, size);
}

MS_ABI void* Memset(void* destination, int value, size_t size) {
    return std::memset(destination, value, size);
}

// The x64 Windows va_list is a pointer to 8-byte argument slots. A System V va_list whose
// register areas are used up reads every argument from its overflow area in 8-byte steps, so
// pointing that area at the slots lets the host build's own formatter read them unchanged.
struct SysVListTag {
    uint32_t gpOffset;
    uint32_t fpOffset;
    void* overflowArea;
    void* registerArea;
};
static_assert(sizeof(SysVListTag) == sizeof(va_list), "System V x86-64 va_list");

MS_ABI uint32_t VDbgPrintEx(uint32_t component, uint32_t level, const char* format, char* args) {
    va_list list;
    const SysVListTag tag = {48, 176, args, nullptr};
    std::memcpy(&list[0], &tag, sizeof(tag));
    K().prints.push_back(sim::FormatDebugPrint(format, list));
    return kStatusSuccess;
}

// What every major function points at before the driver says otherwise.
MS_ABI int32_t InvalidDeviceRequest(nt::DeviceObject* device, nt::Irp* irp) {
    irp->IoStatus.Status = kStatusInvalidDeviceRequest;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, 0);
    return kStatusInvalidDeviceRequest;
}

struct Export {
    const char* name;
    void* address;
};

const Export* Exports(size_t* count) {
    static const Export table[] = {
        {"ExAllocatePool2", reinterpret_cast<void*>(&ExAllocatePool2)},
        {"ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag)},
        {"ExFreePool", reinterpret_cast<void*>(&ExFreePool)},
        {"ExFreePoolWithTag", reinterpret_cast<void*>(&ExFreePoolWithTag)},
        {"IoAllocateMdl", reinterpret_cast<void*>(&IoAllocateMdl)},
        {"IoCreateDevice", reinterpret_cast<void*>(&IoCreateDevice)},
        {"IoCreateSymbolicLink", reinterpret_cast<void*>(&IoCreateSymbolicLink)},
        {"IoDeleteDevice", reinterpret_cast<void*>(&IoDeleteDevice)},
        {"IoDeleteSymbolicLink", reinterpret_cast<void*>(&IoDeleteSymbolicLink)},
        {"IoFreeMdl", reinterpret_cast<void*>(&IoFreeMdl)},
        {"IofCompleteRequest", reinterpret_cast<void*>(&IofCompleteRequest)},
        {"KeAcquireSpinLockAtDpcLevel", reinterpret_cast<void*>(&KeAcquireSpinLockAtDpcLevel)},
        {"KeDelayExecutionThread", reinterpret_cast<void*>(&KeDelayExecutionThread)},
        {"KeInitializeMutex", reinterpret_cast<void*>(&KeInitializeMutex)},
        {"KeReleaseMutex", reinterpret_cast<void*>(&KeReleaseMutex)},
        {"KeReleaseSpinLockFromDpcLevel", reinterpret_cast<void*>(&KeReleaseSpinLockFromDpcLevel)},
        {"KeWaitForSingleObject", reinterpret_cast<void*>(&KeWaitForSingleObject)},
        {"MmBuildMdlForNonPagedPool", reinterpret_cast<void*>(&MmBuildMdlForNonPagedPool)},
        {"MmGetPhysicalMemoryRanges", reinterpret_cast<void*>(&MmGetPhysicalMemoryRanges)},
        {"MmGetSystemRoutineAddress", reinterpret_cast<void*>(&MmGetSystemRoutineAddress)},
        {"MmMapIoSpace", reinterpret_cast<void*>(&MmMapIoSpace)},
        {"MmMapIoSpaceEx", reinterpret_cast<void*>(&MmMapIoSpaceEx)},
        {"MmMapLockedPagesSpecifyCache", reinterpret_cast<void*>(&MmMapLockedPagesSpecifyCache)},
        {"MmUnmapIoSpace", reinterpret_cast<void*>(&MmUnmapIoSpace)},
        {"MmUnmapLockedPages", reinterpret_cast<void*>(&MmUnmapLockedPages)},
        {"ObSetSecurityObjectByPointer", reinterpret_cast<void*>(&ObSetSecurityObjectByPointer)},
        {"RtlAddAccessAllowedAce", reinterpret_cast<void*>(&RtlAddAccessAllowedAce)},
        {"RtlCreateAcl", reinterpret_cast<void*>(&RtlCreateAcl)},
        {"RtlCreateSecurityDescriptor", reinterpret_cast<void*>(&RtlCreateSecurityDescriptor)},
        {"RtlInitUnicodeString", reinterpret_cast<void*>(&RtlInitUnicodeString)},
        {"RtlLengthSid", reinterpret_cast<void*>(&RtlLengthSid)},
        {"RtlSetDaclSecurityDescriptor", reinterpret_cast<void*>(&RtlSetDaclSecurityDescriptor)},
        {"SeExports", &g_seExportsPointer},
        {"memcpy", reinterpret_cast<void*>(&Memcpy)},
        {"memset", reinterpret_cast<void*>(&Memset)},
        {"vDbgPrintEx", reinterpret_cast<void*>(&VDbgPrintEx)},
    };
    *count = sizeof(table) / sizeof(table[0]);
    return table;
}

void* Lookup(const std::string& name) {
    size_t count = 0;
    const Export* table = Exports(&count);
    for (size_t i = 0; i < count; ++i) {
        if (name == table[i].name) {
            return table[i].address;
        }
    }
    return nullptr;
}

// A routine the harness lacks would be there on Windows: the run would go another way than it
// does here, so the look-up is refused as loudly as an import the loader cannot bind.
MS_ABI void* MmGetSystemRoutineAddress(nt::UnicodeString* name) {
    RequireIrqlAtMost(kPassiveLevel, "MmGetSystemRoutineAddress");
    std::string text;
    for (char16_t c : FromUnicode(name)) {
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    void* address = Lookup(text);
    if (address == nullptr) {
        K().Violation("MmGetSystemRoutineAddress of " + text +
                      ", which the harness does not implement");
    }
    return address;
}

void* Resolve(const ImportName& import) {
    std::string module = import.module;
    for (char& c : module) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (module == "hal.dll") {
        // The driver's port and IRQL accesses are inline; only the clock comes from here.
        return import.name == "KeQueryPerformanceCounter"
                   ? reinterpret_cast<void*>(&KeQueryPerformanceCounter)
                   : nullptr;
    }
    if (module != "ntoskrnl.exe") {
        return nullptr;
    }
    return Lookup(import.name);
}

// ---------------------------------------------------------------------------------------------
// The trap handler.

const int kGregs[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                        REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// Stops the run as a bug check stops Windows, naming the instruction by its place in the image,
// its bytes and its disassembly, and the address it touched.
[[noreturn]] void BugCheck(const ucontext_t* context, const char* what, uint64_t address) {
    const uint64_t rip = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
    const uint64_t base = reinterpret_cast<uint64_t>(K().image->Base());
    char instruction[192];
    DescribeInstruction(reinterpret_cast<const uint8_t*>(rip), base + K().image->Size() - rip,
                        instruction, sizeof(instruction));
    char text[384];
    const int n = std::snprintf(text, sizeof(text),
                                "corvax.sys stopped the machine: %s at corvax.sys+0x%llX: %s "
                                "(address 0x%llX)\n",
                                what, static_cast<unsigned long long>(rip - base), instruction,
                                static_cast<unsigned long long>(address));
    if (n > 0) {
        ssize_t ignored = write(STDERR_FILENO, text, static_cast<size_t>(n));
        (void)ignored;
    }
    _exit(70);
}

// The physical address behind a trapped access: an I/O-space mapping covers one contiguous
// range (the system address of a non-paged descriptor list is that mapping itself); a view
// follows the page numbers its descriptor list holds.
uint64_t PhysicalOf(const Region* region, uint64_t address) {
    const uint64_t offset = address - region->base;
    if (region->kind == Region::Kind::IoSpace) {
        return region->physical + offset;
    }
    return region->frames[offset / kPage] * kPage + (offset & (kPage - 1));
}

uint64_t ReadDevice(Region* region, uint64_t address, unsigned size) {
    return K().fabric->ReadPhysical(PhysicalOf(region, address), size);
}

void WriteDevice(Region* region, uint64_t address, unsigned size, uint32_t value) {
    K().fabric->WritePhysical(PhysicalOf(region, address), size, value);
}

// Writes what a load or an `in` brought, `in.size` bytes, into the register operand: extended
// to the operand's width first, then merged as the processor merges a result of that width.
void SetRegister(greg_t* gregs, const Instruction& in, uint64_t value) {
    if (in.size < 8) {
        const unsigned bits = in.size * 8;
        value &= (1ull << bits) - 1;
        if (in.signExtend && (value >> (bits - 1)) != 0) {
            value |= ~0ull << bits;
        }
    }
    greg_t& r = gregs[kGregs[in.reg]];
    uint64_t old = static_cast<uint64_t>(r);
    switch (in.regSize) {
        case 8:
            old = value;
            break;
        case 4:
            old = value & 0xFFFFFFFFu;  // a 32-bit result clears the upper half
            break;
        case 2:
            old = (old & ~0xFFFFull) | (value & 0xFFFF);
            break;
        default:
            old = in.highByte ? (old & ~0xFF00ull) | ((value & 0xFF) << 8)
                              : (old & ~0xFFull) | (value & 0xFF);
            break;
    }
    r = static_cast<greg_t>(old);
}

uint64_t GetRegister(const greg_t* gregs, const Instruction& in) {
    const uint64_t r = static_cast<uint64_t>(gregs[kGregs[in.reg]]);
    return in.highByte ? (r >> 8) & 0xFF : r;
}

void OnSegv(int signal, siginfo_t* info, void* raw) {
    auto* context = static_cast<ucontext_t*>(raw);
    greg_t* gregs = context->uc_mcontext.gregs;
    const uint64_t rip = static_cast<uint64_t>(gregs[REG_RIP]);
    if (g_state == nullptr || !g_state->image || !g_state->image->Contains(rip)) {
        // Not the driver: give the fault back to whoever handled it before (the sanitizer's
        // report, or the default action) by running the instruction again under it.
        sigaction(SIGSEGV, &g_previousSegv, nullptr);
        return;
    }
    const uint64_t end = reinterpret_cast<uint64_t>(K().image->Base()) + K().image->Size();
    const Instruction in = Decode(reinterpret_cast<const uint8_t*>(rip), end - rip);
    const uint64_t address = reinterpret_cast<uint64_t>(info->si_addr);
    switch (in.kind) {
        case Instruction::Kind::PortIn:
        case Instruction::Kind::PortOut: {
            const uint16_t port = static_cast<uint16_t>(
                in.portInDx ? static_cast<uint64_t>(gregs[REG_RDX]) & 0xFFFF : in.value);
            if (in.size != 4) {
                // The configuration mechanism has dword ports only.
                K().Violation("a port access of " + std::to_string(in.size) + " bytes at port " +
                              std::to_string(port));
                if (in.kind == Instruction::Kind::PortIn) {
                    SetRegister(gregs, in, 0xFFFFFFFFu);
                }
            } else if (in.kind == Instruction::Kind::PortIn) {
                SetRegister(gregs, in, K().fabric->ReadPort(port));
            } else {
                K().fabric->WritePort(port, static_cast<uint32_t>(gregs[REG_RAX]));
            }
            break;
        }
        case Instruction::Kind::Cr8Read:
            SetRegister(gregs, in, K().irql);
            break;
        case Instruction::Kind::Cr8Write:
            K().irql = static_cast<uint8_t>(GetRegister(gregs, in) & 0xF);
            break;
        case Instruction::Kind::Load:
        case Instruction::Kind::Store: {
            Region* region = FindRegion(address);
            if (region == nullptr) {
                const uint64_t arena = reinterpret_cast<uint64_t>(K().arena);
                BugCheck(context,
                         address - arena < kArenaSize
                             ? "access to device memory that is no longer mapped"
                             : "access violation",
                         address);
            }
            if (in.size != 1 && in.size != 2 && in.size != 4) {
                BugCheck(context, "an 8-byte device-memory access", address);
            }
            if (in.kind == Instruction::Kind::Load) {
                SetRegister(gregs, in, ReadDevice(region, address, in.size));
            } else {
                const uint64_t value = in.immediate ? in.value : GetRegister(gregs, in);
                WriteDevice(region, address, in.size, static_cast<uint32_t>(value));
            }
            break;
        }
        case Instruction::Kind::Unknown:
            if (FindRegion(address) != nullptr) {
                BugCheck(context, "an instruction the harness cannot emulate on device memory",
                         address);
            }
            // A general-protection fault (a privileged instruction) comes without an address.
            BugCheck(context,
                     info->si_code == SI_KERNEL ? "an instruction the harness cannot emulate"
                                                : "access violation",
                     address);
    }
    gregs[REG_RIP] = static_cast<greg_t>(rip + in.length);
}

// Runs a driver routine and checks the IRQL and locks it leaves behind.
void AfterDriverCall(const char* what) {
    State& s = K();
    if (s.irql != kPassiveLevel) {
        s.Violation(std::string(what) + " returned at IRQL " + std::to_string(s.irql));
        s.irql = kPassiveLevel;
    }
    if (!s.spinLocksHeld.empty()) {
        s.Violation(std::string(what) + " returned holding a spin lock");
    }
    for (auto& m : s.mutexes) {
        if (m.second.holds != 0) {
            s.Violation(std::string(what) + " returned holding a mutex");
            m.second.holds = 0;
        }
    }
    // Every mapping of device memory is made and released within one call.
    if (s.counters.liveIoSpace != 0 || s.counters.liveMdls != 0 || s.counters.liveViews != 0) {
        s.Violation(std::string(what) + " returned with device memory still mapped");
    }
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

}  // namespace

// ---------------------------------------------------------------------------------------------

ShippedKernel::ShippedKernel(sim::Fabric* fabric) : state_(std::make_unique<State>()) {
    if (g_state != nullptr) {
        throw std::logic_error("one shipped kernel at a time");
    }
    state_->fabric = fabric;
    void* arena =
        mmap(nullptr, kArenaSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (arena == MAP_FAILED) {
        throw std::runtime_error("cannot reserve the device-memory arena");
    }
    state_->arena = static_cast<uint8_t*>(arena);
    g_state = state_.get();

    std::memset(&g_seExports, 0, sizeof(g_seExports));
    const void* system = kSystemSid;
    const void* admins = kAdminsSid;
    std::memcpy(g_seExports.bytes + nt::kSeLocalSystemSidOffset, &system, sizeof(system));
    std::memcpy(g_seExports.bytes + nt::kSeAliasAdminsSidOffset, &admins, sizeof(admins));
    g_seExportsPointer = &g_seExports;

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_sigaction = &OnSegv;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
}

ShippedKernel::~ShippedKernel() {
    sigaction(SIGSEGV, &g_previousSegv, nullptr);
    munmap(state_->arena, kArenaSize);
    g_state = nullptr;
}

int32_t ShippedKernel::Load(const std::vector<uint8_t>& imageFile) {
    State& s = *state_;
    s.image = std::make_unique<PeImage>(imageFile, &Resolve);

    s.driverMemory = GuardedBlock(sizeof(nt::DriverObject) + sizeof(nt::DriverExtension), 16);
    std::memset(s.driverMemory.Data(), 0, sizeof(nt::DriverObject) + sizeof(nt::DriverExtension));
    s.driver = reinterpret_cast<nt::DriverObject*>(s.driverMemory.Data());
    auto* extension = reinterpret_cast<nt::DriverExtension*>(s.driver + 1);
    s.driverName = Wide("\\Driver\\Corvax");
    s.registryPath = Wide("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Corvax");
    s.driver->Type = nt::kIoTypeDriver;
    s.driver->Size = static_cast<int16_t>(sizeof(nt::DriverObject));
    s.driver->DriverStart = s.image->Base();
    s.driver->DriverSize = static_cast<uint32_t>(s.image->Size());
    s.driver->Extension = extension;
    extension->DriverObjectBack = s.driver;
    RtlInitUnicodeString(&s.driver->DriverName, s.driverName.data());
    RtlInitUnicodeString(&s.registryPathString, s.registryPath.data());
    extension->ServiceKeyName = s.registryPathString;
    s.driver->DriverInit = reinterpret_cast<nt::DriverInitialize>(s.image->EntryPoint());
    for (auto& routine : s.driver->MajorFunction) {
        routine = &InvalidDeviceRequest;
    }

    const int32_t status = s.driver->DriverInit(s.driver, &s.registryPathString);
    AfterDriverCall("DriverEntry");
    if (IsError(status)) {
        // A driver whose entry fails is unloaded without its unload routine; what it created
        // stays behind, which on Windows is a leak.
        if (!s.devices.empty() || !s.links.empty()) {
            s.Violation("DriverEntry failed and left devices or links behind");
        }
        return status;
    }
    s.loaded = true;
    return status;
}

void ShippedKernel::Unload() {
    State& s = *state_;
    if (!s.loaded) {
        return;
    }
    s.handles.clear();
    if (s.driver->DriverUnload != nullptr) {
        s.driver->DriverUnload(s.driver);
        AfterDriverCall("the unload routine");
    }
    s.loaded = false;
    if (!s.devices.empty()) {
        s.Violation("the driver unloaded with its device still present");
    }
    if (!s.links.empty()) {
        s.Violation("the driver unloaded with a symbolic link still present");
    }
    if (s.counters.liveIoSpace != 0 || s.counters.liveMdls != 0 || s.counters.liveViews != 0) {
        s.Violation("the driver unloaded with mappings still alive");
    }
    if (!s.pool.empty()) {
        s.Violation("the driver unloaded with pool still allocated");
    }
}

bool ShippedKernel::Loaded() const {
    return state_->loaded;
}

const PeImage* ShippedKernel::Image() const {
    return state_->image.get();
}

namespace {

// Sends one request to the routine of its major function; checks it was completed once, with
// the status the routine returned.
int32_t Send(nt::DeviceObject* device, nt::Irp* irp, nt::IoStackLocation* stack) {
    State& s = K();
    irp->Type = nt::kIoTypeIrp;
    irp->Size = static_cast<uint16_t>(sizeof(nt::Irp) + sizeof(nt::IoStackLocation));
    irp->StackCount = 1;
    irp->CurrentLocation = 1;
    irp->CurrentStackLocation = stack;
    irp->RequestorMode = 1;  // UserMode
    stack->Device = device;
    s.currentIrp = irp;
    s.completions = 0;
    const int32_t returned = s.driver->MajorFunction[stack->MajorFunction](device, irp);
    AfterDriverCall("a dispatch routine");
    if (s.completions != 1) {
        s.Violation("a request was completed " + std::to_string(s.completions) + " times");
    } else if (returned != irp->IoStatus.Status) {
        s.Violation("a dispatch routine returned a status other than the request's");
    }
    s.currentIrp = nullptr;
    return irp->IoStatus.Status;
}

struct Request {
    GuardedBlock memory;
    nt::Irp* irp = nullptr;
    nt::IoStackLocation* stack = nullptr;

    explicit Request(uint8_t major) : memory(sizeof(nt::Irp) + sizeof(nt::IoStackLocation), 16) {
        std::memset(memory.Data(), 0, sizeof(nt::Irp) + sizeof(nt::IoStackLocation));
        irp = reinterpret_cast<nt::Irp*>(memory.Data());
        stack = reinterpret_cast<nt::IoStackLocation*>(irp + 1);
        stack->MajorFunction = major;
    }
};

}  // namespace

int ShippedKernel::Open(const std::string& path) {
    State& s = *state_;
    auto link = s.links.find(DosPath(path));
    if (!s.loaded || link == s.links.end()) {
        return -1;
    }
    nt::DeviceObject* device = nullptr;
    for (auto& d : s.devices) {
        if (d.second->name == link->second) {
            device = reinterpret_cast<nt::DeviceObject*>(d.first);
        }
    }
    if (device == nullptr) {
        return -1;
    }
    Request create(nt::kMjCreate);
    if (Send(device, create.irp, create.stack) < 0) {
        return -1;
    }
    const int handle = s.nextHandle++;
    s.handles[handle] = device;
    return handle;
}

void ShippedKernel::Close(int handle) {
    State& s = *state_;
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) {
        return;
    }
    nt::DeviceObject* device = it->second;
    s.handles.erase(it);
    Request cleanup(nt::kMjCleanup);
    Send(device, cleanup.irp, cleanup.stack);
    Request close(nt::kMjClose);
    Send(device, close.irp, close.stack);
}

IoResult ShippedKernel::DeviceIoControl(int handle, uint32_t code, const void* input,
                                        uint32_t inputLength, void* output, uint32_t outputLength) {
    State& s = *state_;
    IoResult result;
    auto it = s.handles.find(handle);
    if (it == s.handles.end()) {
        result.status = kStatusInvalidHandle;
        return result;
    }
    const uint32_t method = code & 3u;
    Request request(nt::kMjDeviceControl);
    request.stack->OutputBufferLength = outputLength;
    request.stack->InputBufferLength = inputLength;
    request.stack->IoControlCode = code;
    request.irp->UserBuffer = output;

    GuardedBlock system;
    GuardedBlock pages;
    nt::Mdl* mdl = nullptr;
    if (method == 0) {
        // One system buffer of the larger length, holding the input.
        const uint32_t size = inputLength > outputLength ? inputLength : outputLength;
        if (size > 0) {
            system = GuardedBlock(size);
            std::memset(system.Data(), 0, size);
            if (inputLength > 0 && input != nullptr) {
                std::memcpy(system.Data(), input, inputLength);
            }
            request.irp->SystemBuffer = system.Data();
        }
    } else if (method == 1 || method == 2) {
        if (inputLength > 0) {
            system = GuardedBlock(inputLength);
            std::memcpy(system.Data(), input, inputLength);
            request.irp->SystemBuffer = system.Data();
        }
        if (outputLength > 0) {
            // The caller's pages, probed and locked: described by a list, not yet mapped.
            pages = GuardedBlock(outputLength);
            std::memcpy(pages.Data(), output, outputLength);
            mdl = AllocateMdlRecord(pages.Data(), outputLength, true);
            s.mdls[reinterpret_cast<uint64_t>(mdl)]->callerPages = pages.Data();
            mdl->MdlFlags = static_cast<int16_t>(nt::kMdlPagesLocked |
                                                 (method == 2 ? nt::kMdlWriteOperation : 0));
            request.irp->MdlAddress = mdl;
        }
    } else {
        request.stack->Type3InputBuffer = const_cast<void*>(input);
    }

    Send(it->second, request.irp, request.stack);
    result.status = request.irp->IoStatus.Status;
    result.information = request.irp->IoStatus.Information;

    if (method == 0) {
        if (!IsError(result.status) && output != nullptr) {
            uint64_t n = result.information;
            if (n > outputLength) {
                s.Violation("information beyond the caller's output length");
                n = outputLength;
            }
            if (n > 0) {
                std::memcpy(output, system.Data(), static_cast<size_t>(n));
            }
            result.delivered = true;
        }
    } else if (method == 1 || method == 2) {
        // The caller's own pages: whatever the driver wrote there is there, whatever the status.
        if (mdl != nullptr) {
            std::memcpy(output, pages.Data(), outputLength);
            result.delivered = true;
            s.mdls.erase(reinterpret_cast<uint64_t>(mdl));
        }
        if (result.information > outputLength) {
            s.Violation("information beyond the caller's output length");
        }
    }
    return result;
}

std::vector<std::string> ShippedKernel::LogLines() const {
    return sim::JoinPrintsIntoLines(state_->prints);
}

std::vector<std::string> ShippedKernel::Prints() const {
    return state_->prints;
}

void ShippedKernel::ClearLog() {
    state_->prints.clear();
}

MappingCounters ShippedKernel::Mappings() const {
    return state_->counters;
}

std::vector<std::string> ShippedKernel::Violations() const {
    return state_->violations;
}

void* ShippedKernel::Routine(const std::string& name) {
    return Lookup(name);
}

std::vector<std::string> ShippedKernel::Implemented() {
    size_t count = 0;
    const Export* table = Exports(&count);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        names.push_back(std::string("ntoskrnl.exe!") + table[i].name);
    }
    names.push_back("hal.dll!KeQueryPerformanceCounter");
    return names;
}

}  // namespace harness
