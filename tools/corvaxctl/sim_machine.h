// corvaxctl's simulated machine, shared by the transports that run a driver on it (the driver
// core in the simulated kernel, and the shipped corvax.sys in the harness): reading its
// description, acting on its hardware, and its counters.
#ifndef CORVAXCTL_SIM_MACHINE_H
#define CORVAXCTL_SIM_MACHINE_H

#include <cstdint>
#include <memory>
#include <string>

#include "sim/pci/fabric.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

struct SimMachine {
    std::unique_ptr<sim::Fabric> fabric;
    MachineInfo info;  // all but loadStatus, which the transport fills after the load
};

// Builds the machine from a description file, or the built-in one when the path is empty.
// Throws UsageError naming the file and the key (or the JSON error) when it cannot.
SimMachine LoadSimMachine(const std::string& fabricPath);

// Carries out a `sim` action on the machine's hardware; the dword read for Read and ReadMem.
// Throws UsageError for what the machine refuses.
uint32_t SimulateOn(sim::Fabric& fabric, const SimAction& action);

// The machine's counters with the mapping counts of the kernel that ran the driver.
MachineCounters CountersOf(const sim::Fabric& fabric, uint64_t mappings, int64_t liveMappings);

}  // namespace corvaxctl

#endif  // CORVAXCTL_SIM_MACHINE_H
