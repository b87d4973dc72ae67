// Machines the request tests share.
#ifndef CORVAX_TESTS_DRIVER_MACHINES_H
#define CORVAX_TESTS_DRIVER_MACHINES_H

#include "sim/pci/description.h"

namespace corvax_test {

// A listed or unlisted drive with its BAR0 programmed and an MSI-X table 8 KiB into it.
inline sim::DriveDescription Drive(uint16_t vendor, uint16_t device, uint64_t bar0) {
    return sim::DriveDescription::Make(vendor, device).WithBar0(bar0).WithMsix(0x2000);
}

// One PEX 8618 on bus 2 (internal bus 3); drives behind port indexes 0 and 4, port i leads to
// bus 4 + i.
inline sim::FabricBuilder Plx8618Machine() {
    sim::FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8618, 2, 3);
    for (unsigned i = 0; i < 12; ++i) {
        const uint8_t bus = static_cast<uint8_t>(4 + i);
        if (i == 0 || i == 4) {
            b.Port(i, bus,
                   Drive(0x8086, static_cast<uint16_t>(0x100 + i), 0xF2000000u + i * 0x100000u));
        } else {
            b.EmptyPort(i, bus);
        }
    }
    return b;
}

// One PEX 8748 on bus 3 (internal bus 4, ports on buses 5 to 12); slot 2 holds a drive of a
// vendor missing from the default list, slot 5 is empty; an on-board drive on bus 1.
inline sim::FabricBuilder Plx8748Machine() {
    sim::FabricBuilder b;
    b.Onboard(1, Drive(0x144D, 0xA808, 0xF7F00000));
    b.Switch(sim::SwitchModel::Plx8748, 3, 4, 0xF7C00000);
    b.Port(0, 5, Drive(0x1F0A, 0x0710, 0xF7000000));
    b.Port(1, 6, Drive(0x8086, 0x0A54, 0xF7100000));
    b.Port(2, 7, Drive(0x1B4B, 0x1092, 0xF7200000));
    b.Port(3, 8, Drive(0x144D, 0xA824, 0xF7300000));
    b.Port(4, 9, Drive(0x1344, 0x51A2, 0xF7400000));
    b.EmptyPort(5, 10);
    b.Port(6, 11, Drive(0x1CC4, 0x6303, 0xF7600000));
    b.Port(7, 12, Drive(0x1E81, 0x1203, 0xF7700000));
    return b;
}

// Two PEX 8732s; the first has drives in slots 0 (clock power management on) and 2 (off).
inline sim::FabricBuilder TwoPlx8732Machine() {
    sim::FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x8086, 0x0001, 0xF1000000).WithLinkControl(0x0140));
    b.EmptyPort(1, 5);
    b.Port(2, 6, Drive(0x8086, 0x0002, 0xF1100000).WithLinkControl(0x0040));
    b.EmptyPort(3, 7);
    b.Switch(sim::SwitchModel::Plx8732, 8, 9);
    b.EmptyPort(0, 10);
    b.Port(1, 11, Drive(0x144D, 0x0003, 0xF1200000));
    b.EmptyPort(2, 12);
    b.EmptyPort(3, 13);
    return b;
}

}  // namespace corvax_test

#endif  // CORVAX_TESTS_DRIVER_MACHINES_H
