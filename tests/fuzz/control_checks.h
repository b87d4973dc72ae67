// What must hold around every control request, whatever the caller sent and whatever the
// hardware answered: the registry's invariants, the status and byte count each request may
// complete with, the parts of the registry each request may change, and a machine with no
// mapping left, nothing written where it must not be and nothing the kernel would punish.
// Shared by the control-interface fuzzer, the fault sweep and the concurrency stress.
#ifndef CORVAX_TESTS_FUZZ_CONTROL_CHECKS_H
#define CORVAX_TESTS_FUZZ_CONTROL_CHECKS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "driver/topology/registry.h"
#include "sim/kernel/sim_kernel.h"
#include "sim/pci/fabric.h"

namespace hardening {

// The example machines (examples/fabrics/*.json), parsed once, in file-name order.
struct Example {
    std::string name;
    sim::FabricDescription description;
};
const std::vector<Example>& Examples();

// Host bridges an input may put in place of an example's own: real client window registers
// (each length the register can give) and bridges whose dword 0x60 only looks like a window
// (a Xeon server's capability header, a register left enabled over no window or over a window
// somewhere else, a window above 4 GiB). Entry 0 keeps the example's own bridge.
const std::vector<sim::HostBridgeDescription>& HostBridgeVariants();
// The example with the variant's host bridge; the example itself when the variant is 0 or
// cannot be placed on that machine (its window would cover a device).
const sim::FabricDescription& ExampleWithHostBridge(size_t example, size_t variant);

// The 28 control codes of the driver.
extern const uint32_t kControlCodes[28];

// Registry invariants. afterUpdate: the registry was last rebuilt by an update (or the load),
// so the valid on-board slots must be packed from index 0.
std::string CheckRegistry(const corvax::DeviceExtension& e, bool afterUpdate);

// The status and byte count of one request, judged from its code, lengths and options alone;
// safe while other requests run.
std::string CheckStatus(uint32_t code, uint32_t inputLength, uint32_t outputLength,
                        const sim::IoOptions& options, const sim::IoResult& result);

// The parts of the registry a request may touch, kept to compare before and after.
struct RegistrySnapshot {
    uint32_t deviceIdList[corvax::kDeviceIdListEntries];
    corvax::PlxBridge bridge[corvax::kBridgeRecords];
    corvax::DriveSlot onBoard[corvax::kOnBoardSlots];
    uint8_t flags[3];
    uint8_t saved[corvax::kBridgeRecords][corvax::kSlotsPerBridge];
    uint64_t ecamBase;
};
void TakeSnapshot(const corvax::DeviceExtension& e, RegistrySnapshot* s);
// Only what the request's code may change did change.
std::string CheckRegistryChange(uint32_t code, const RegistrySnapshot& before,
                                const corvax::DeviceExtension& after);

// What the caller received, against the registry as the request left it (single caller only).
struct SentRequest {
    uint32_t code;
    const uint8_t* input;
    uint32_t inputLength;
    uint32_t outputLength;
    sim::IoOptions options;
    const uint8_t* outputBefore;  // the caller's buffer before the call
    const uint8_t* outputAfter;   // and after
    const uint32_t* deviceIdListBefore;
};
std::string CheckOutput(const corvax::DeviceExtension& e, const SentRequest& sent,
                        const sim::IoResult& result);

// The functions the driver may write, taken from the fabric's topology: downstream ports and
// the drives behind them. Never the host bridge, an upstream port, an on-board drive or any
// other function.
struct WriteTargets {
    std::set<uint16_t> ports;
    std::set<uint16_t> drives;
};
WriteTargets TargetsOf(sim::Fabric& fabric);

// The machine after a request: no live mapping, no stray or drive-register write, no kernel
// violation, clean port pairs and memory accesses, configuration writes only where allowed.
// Clears the fabric's write list so the next call looks only at new writes.
std::string CheckMachine(sim::Fabric& fabric, const WriteTargets& targets);
// The same without the mappings (another request may hold one) and without the write list.
std::string CheckMachineShared(sim::Fabric& fabric);

}  // namespace hardening

#endif  // CORVAX_TESTS_FUZZ_CONTROL_CHECKS_H
