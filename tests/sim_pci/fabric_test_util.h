// Shared helpers of the fabric tests: configuration accesses as the driver makes them and a
// small machine most tests start from.
#pragma once

#include <cstdint>

#include "sim/pci/fabric.h"

namespace sim::test {

inline uint32_t Address(unsigned bus, unsigned dev, unsigned fn, unsigned reg) {
    return 0x80000000u | bus << 16 | dev << 11 | fn << 8 | (reg & 0xFC);
}

// One configuration read or write through the ports, as a latch/data pair.
inline uint32_t PortRead(Fabric& f, unsigned bus, unsigned dev, unsigned fn, unsigned reg) {
    f.WritePort(kConfigAddressPort, Address(bus, dev, fn, reg));
    return f.ReadPort(kConfigDataPort);
}

inline void PortWrite(Fabric& f, unsigned bus, unsigned dev, unsigned fn, unsigned reg,
                      uint32_t value) {
    f.WritePort(kConfigAddressPort, Address(bus, dev, fn, reg));
    f.WritePort(kConfigDataPort, value);
}

constexpr uint64_t kEcam = 0xE0000000;

inline uint64_t EcamAddress(unsigned bus, unsigned dev, unsigned fn, unsigned reg) {
    return kEcam + (uint64_t{bus} << 20 | dev << 15 | fn << 12 | reg);
}

// Intel host bridge with its window at 0xE0000000; an on-board drive on bus 1; a PEX 8748 on
// bus 3 (internal bus 4, BAR0 0xF7C00000) with drives in slots 0 (MSI-X table at 8 KiB) and 1
// (no MSI-X), slot 2 empty; the switch runs 256-byte payloads, the drives 128.
inline FabricDescription SmallMachine() {
    return FabricBuilder()
        .HostBridge(0x8086, 0x3E0F, 0xE0000001)
        .Onboard(1,
                 DriveDescription::Make(0x144D, 0xA808).WithBar0(0xF7F00000).WithMsix(0x3000, 33))
        .Switch(SwitchModel::Plx8748, 3, 4, 0xF7C00000, 256)
        .Port(0, 5,
              DriveDescription::Make(0x1F0A, 0x0710).WithBar0(0xF7000000).WithMsix(0x2000, 32))
        .Port(1, 6, DriveDescription::Make(0x8086, 0x0A54).WithBar0(0xF7100000, 0x8000))
        .EmptyPort(2, 7)
        .Build();
}

}  // namespace sim::test
