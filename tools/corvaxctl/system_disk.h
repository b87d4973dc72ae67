// corvaxctl: the disks Windows cannot run without. Cutting the links of a switch takes every
// drive behind it off the bus; if Windows keeps its own directory or a page file on one of
// them, the machine stops. Before it cuts links corvaxctl asks where those disks are, as PCI
// locations, and refuses when one is a drive behind a registered switch.
#ifndef CORVAXCTL_SYSTEM_DISK_H
#define CORVAXCTL_SYSTEM_DISK_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/slot_bridges.h"

namespace corvaxctl {

class Transport;

// One disk that holds something Windows needs.
struct SystemDisk {
    std::string what;             // "the Windows directory C:\Windows", "the page file ..."
    std::optional<uint16_t> pfa;  // the PCI function of the disk's controller
    std::string unknown;          // when there is no pfa: why it could not be found
};

// Finds those disks. On Windows it asks the system; elsewhere it answers for the simulated
// machine; tests give their own.
class SystemDiskLocator {
  public:
    virtual ~SystemDiskLocator() = default;
    // Every disk of the Windows directory and of each page file in use, one entry per disk
    // (a volume may span several); an entry without a PCI location says why.
    virtual std::vector<SystemDisk> Locate() = 0;
};

// The locator of this build: the system's own on Windows (the transport is not needed), the
// simulated machine's description otherwise.
std::unique_ptr<SystemDiskLocator> MakeSystemDiskLocator(const Transport* transport);

// What the disks found mean for cutting the links of the registered switches (the records of
// PLX_QUERY_PCI): a drive is behind a switch when it sits on a bus one of its slots leads to:
// the slot's own bus, and with a switch in the slot (slotBridges) every bus behind that
// switch as well.
struct SystemDiskVerdict {
    std::vector<std::string> refusals;  // one line per disk behind a switch
    std::vector<std::string> unknown;   // one line per disk that could not be found
};
SystemDiskVerdict JudgeSystemDisks(const std::vector<SystemDisk>& disks,
                                   const std::vector<BridgeApInfo>& bridges,
                                   const std::vector<SlotBridge>& slotBridges = {});

}  // namespace corvaxctl

#endif  // CORVAXCTL_SYSTEM_DISK_H
