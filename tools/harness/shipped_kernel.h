// The Windows kernel, as far as the shipped corvax.sys reaches it, emulated in this process over
// the simulated PCIe fabric: the image is mapped and bound by PeImage, its imports land on the
// ms_abi routines of shipped_kernel.cpp, and the instructions user mode may not execute (port
// I/O, the IRQL register, device-memory views) trap into a SIGSEGV handler that carries them
// out against the fabric. The I/O manager follows the same rules as sim/kernel, so the driver's
// answers can be compared with the host build's byte for byte.
#ifndef CORVAX_HARNESS_SHIPPED_KERNEL_H
#define CORVAX_HARNESS_SHIPPED_KERNEL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/sim_kernel.h"

namespace sim {
class Fabric;
}

namespace harness {

class PeImage;

using IoResult = sim::IoResult;

// The same results and counters as the host build's simulated kernel gives.
using MappingCounters = sim::MappingCounters;

class ShippedKernel {
  public:
    // One kernel at a time: the trap handler and the driver's imports find it through a global.
    explicit ShippedKernel(sim::Fabric* fabric);
    ~ShippedKernel();
    ShippedKernel(const ShippedKernel&) = delete;
    ShippedKernel& operator=(const ShippedKernel&) = delete;

    // Maps the image, binds its imports and calls DriverEntry; returns what it returned. Throws
    // harness::ImageError when the image cannot be loaded (an import the kernel lacks included).
    int32_t Load(const std::vector<uint8_t>& imageFile);
    // The unload routine, when the driver is loaded and installed one.
    void Unload();
    bool Loaded() const;
    // The mapped image (null before Load).
    const PeImage* Image() const;

    // User mode: "\\.\NAME" through the object namespace; -1 when nothing answers.
    int Open(const std::string& path);
    void Close(int handle);
    IoResult DeviceIoControl(int handle, uint32_t code, const void* input, uint32_t inputLength,
                             void* output, uint32_t outputLength);

    // The debug prints joined and cut at line feeds, as sim::Kernel::LogLines.
    std::vector<std::string> LogLines() const;
    // Each debug print as the driver made it, as sim::Kernel::Prints.
    std::vector<std::string> Prints() const;
    void ClearLog();
    MappingCounters Mappings() const;

    // What the driver did that Windows would punish (a bug check, a leak, a broken rule), one
    // sentence each, in order.
    std::vector<std::string> Violations() const;

    // Every kernel routine (and data export) the harness implements, as "module!name".
    static std::vector<std::string> Implemented();
    // The ms_abi routine (or data) an ntoskrnl.exe import of that name is bound to; null when
    // the harness has none. Its checks report to the kernel alive at the time of the call.
    static void* Routine(const std::string& name);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace harness

#endif  // CORVAX_HARNESS_SHIPPED_KERNEL_H
