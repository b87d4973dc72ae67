// corvaxctl: switches in the slots of a registered switch. Real machines chain switches (a
// PEX 8748 holding another switch and its drives in one slot). Cutting such a slot's link
// resets the whole switch below it: its bus numbers and windows read 0 afterwards, and only
// the system's enumeration brings it and its drives back. So the commands that cut links name
// every such slot first and go on only when told to.
#ifndef CORVAXCTL_SLOT_BRIDGES_H
#define CORVAXCTL_SLOT_BRIDGES_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/settle.h"

namespace corvaxctl {

// A bridge (a switch's upstream port) answering at a slot's recorded address.
struct SlotBridge {
    unsigned record = 0;  // the switch number, as `switches` shows it
    unsigned slot = 0;
    uint16_t pfa = 0;         // where it answers: the slot's bus, device 0
    uint32_t id = 0;          // device << 16 | vendor
    uint8_t secondary = 0;    // its own bus numbers, as it answered
    uint8_t subordinate = 0;  // the last bus behind it
    // The buses the slot leads to: from its own to the last one behind the bridge.
    uint8_t FirstBus() const { return static_cast<uint8_t>(pfa >> 8); }
    uint8_t LastBus() const { return subordinate > FirstBus() ? subordinate : FirstBus(); }
};

// Reads the recorded address of every slot of the registered switches where the driver saw
// no drive, and returns those where a bridge answers (a type 1 header).
std::vector<SlotBridge> FindSlotBridges(const std::vector<BridgeApInfo>& bridges,
                                        const ConfigReader& read);

// Before links are cut: refuses (UsageError) naming every slot with a bridge behind it, unless
// forced; with force, says the same on err as a warning. Returns what it found.
std::vector<SlotBridge> GuardSlotBridges(const std::vector<BridgeApInfo>& bridges,
                                         const ConfigReader& read, bool force, std::ostream& err);

// After the links came back: a line for each switch found before that does not answer now, or
// answers with its bus numbers cleared by the reset.
std::vector<std::string> SlotBridgesDown(const std::vector<SlotBridge>& before,
                                         const ConfigReader& read);

}  // namespace corvaxctl

#endif  // CORVAXCTL_SLOT_BRIDGES_H
