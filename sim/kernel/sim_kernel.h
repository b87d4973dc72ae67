// The simulated Windows kernel: object namespace, I/O manager, debug log and mappings, faithful
// to what the driver relies on. Host builds link it in place of the WDK implementation of
// driver/kernel/kernel.h, and tests drive it as user mode and the system would.
#ifndef CORVAX_SIM_KERNEL_H
#define CORVAX_SIM_KERNEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver/kernel/kernel.h"

namespace sim {

class Fabric;

// What a test or a tool may vary about one control request.
struct IoOptions {
    // Descriptor-list flags of a direct request's output pages (MDL_MAPPED_TO_SYSTEM_VA,
    // MDL_SOURCE_IS_NONPAGED_POOL); with either set the pages already have a system address.
    uint16_t mdlFlags = 0;
    // Mapping the output pages for the driver fails.
    bool failMdlMapping = false;
    // Bytes the descriptor list describes, when a kernel-mode sender gives a shorter list than
    // its output length; the driver must write no further.
    uint32_t mdlByteCount = UINT32_MAX;
};

struct IoResult {
    KernStatus status = 0;
    uint64_t information = 0;
    // Bytes that reached the caller's output buffer (copy-back or direct pages).
    bool delivered = false;
};

// Mapping counters: made in all, and alive now.
struct MappingCounters {
    uint64_t ioSpaceMaps = 0;
    uint64_t mdlAllocations = 0;
    uint64_t viewMaps = 0;
    uint64_t requestMdlMaps = 0;
    int64_t liveIoSpace = 0;
    int64_t liveMdls = 0;
    int64_t liveViews = 0;
};

// Which step of a physical mapping to make fail.
enum class MapStep { IoSpace, Mdl, View };

// The kernel calls of physical mappings, in the order the driver made them.
enum class MapCall { MapIoSpace, AllocateMdl, MapView, UnmapView, FreeMdl, UnmapIoSpace };

// Things the driver did that Windows would punish; tests require none.
struct Violations {
    uint64_t badRegisterAccess = 0;    // a device-memory access outside every live view
    uint64_t informationTooLarge = 0;  // information beyond the caller's output length
    uint64_t completedTwice = 0;       // a request completed more than once (or never)
    uint64_t unbalancedMappings = 0;   // a release of something not mapped
    uint64_t concurrentRequests = 0;   // two control requests inside the request lock at once
    uint64_t Total() const {
        return badRegisterAccess + informationTooLarge + completedTwice + unbalancedMappings +
               concurrentRequests;
    }
};

using Handle = int;
constexpr Handle kInvalidHandle = -1;

// The simulated machine's kernel. One per process; Reset() returns it to a fresh boot.
class Kernel {
  public:
    static Kernel& Get();

    // Forgets the namespace, the driver, the log, counters and injected faults. The fabric
    // stays attached.
    void Reset();
    // Promises that until the next Reset only the calling thread uses the kernel, so its locks
    // only check that promise (see OptionalLock). Only while no request runs and no other
    // thread uses the kernel.
    void SetSingleThreaded(bool single);
    // Attaching a fabric also gives the driver its RAM as the system's memory ranges.
    void AttachFabric(Fabric* fabric);
    Fabric* AttachedFabric() const;
    // Until the next Reset the system's RAM ranges cannot be had (as if the memory manager
    // returned none).
    void FailSystemRamRanges();

    // ---- driver ----
    KernStatus LoadDriver();
    void UnloadDriver();
    bool DriverLoaded() const;
    // The control device's extension (null when there is no device).
    void* ControlDeviceExtension() const;
    uint32_t ControlDeviceFlags() const;
    uint32_t ControlDeviceCharacteristics() const;
    uint32_t ControlDeviceType() const;
    bool ControlDeviceRestricted() const;
    bool ControlDeviceExclusive() const;
    uint32_t ControlDeviceExtensionSize() const;
    // Whether every major function points at the default routine except device control.
    int DefaultRoutineEntries() const;
    bool UnloadRoutineInstalled() const;

    // ---- object namespace ----
    void AddLink(const std::u16string& link, const std::u16string& target);
    bool LinkExists(const std::u16string& link) const;
    std::u16string LinkTarget(const std::u16string& link) const;
    bool DeviceExists(const std::u16string& name) const;
    size_t ObjectCount() const;  // devices plus links
    // The n-th (1-based, counted from now) creation of that kind fails with status.
    void FailCreateDevice(int nth, KernStatus status);
    void FailCreateLink(int nth, KernStatus status);
    void FailRestrictDevice(KernStatus status);

    // ---- user mode ----
    // Opens "\\.\NAME" through its link; kInvalidHandle when nothing answers to the name.
    Handle Open(const std::string& path);
    void Close(Handle handle);
    IoResult DeviceIoControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                             void* output, uint32_t outputLength,
                             const IoOptions& options = IoOptions());
    IoResult Read(Handle handle, void* buffer, uint32_t length);
    IoResult Write(Handle handle, const void* buffer, uint32_t length);

    // ---- debug log ----
    // Every print as the kernel's print routine formatted it, one entry per call.
    std::vector<std::string> Prints() const;
    // The prints joined and cut at line feeds (a print without a line feed continues the line).
    std::vector<std::string> LogLines() const;
    void ClearLog();
    size_t PrintCount() const;

    // ---- mappings ----
    MappingCounters Mappings() const;
    void FailMapping(MapStep step, int nth);  // the n-th (1-based) call from now fails
    // The most recent mapping calls (up to 256), oldest first; failed ones too.
    std::vector<MapCall> MappingCalls() const;
    Violations GetViolations() const;

    // ---- port lock ----
    uint64_t ConfigPairs() const;  // configuration-port acquisitions

  private:
    Kernel() = default;
};

}  // namespace sim

#endif  // CORVAX_SIM_KERNEL_H
