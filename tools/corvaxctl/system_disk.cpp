// corvaxctl: judging where the system's disks are against the registered switches.
#include "tools/corvaxctl/system_disk.h"

#include <algorithm>

#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/slot_bridges.h"

namespace corvaxctl {

SystemDiskVerdict JudgeSystemDisks(const std::vector<SystemDisk>& disks,
                                   const std::vector<BridgeApInfo>& bridges,
                                   const std::vector<SlotBridge>& slotBridges) {
    SystemDiskVerdict v;
    for (const SystemDisk& d : disks) {
        if (!d.pfa) {
            v.unknown.push_back("cannot tell which disk holds " + d.what + " (" + d.unknown +
                                "); going on");
            continue;
        }
        const auto bus = static_cast<uint8_t>(*d.pfa >> 8);
        const auto behind = std::find_if(
            slotBridges.begin(), slotBridges.end(),
            [bus](const SlotBridge& b) { return bus > b.FirstBus() && bus <= b.LastBus(); });
        if (behind != slotBridges.end()) {
            const BridgeApInfo& b = bridges[behind->record];
            v.refusals.push_back(
                d.what + " is on the drive at " + FormatPfa(*d.pfa) + ", behind the switch (" +
                IdText(behind->id) + ") in slot " + std::to_string(behind->record) + ":" +
                std::to_string(behind->slot) + " of the " + SwitchModelName(b.pciID) + " at " +
                FormatPfa(b.bdgPFA) +
                ": cutting the links would take it from Windows (--force cuts them anyway)");
            continue;
        }
        SettleSlot slot;
        if (!SlotOnBus(bridges, bus, &slot)) {
            continue;
        }
        const BridgeApInfo& b = bridges[slot.record];
        const SlotImage& s = b.OriginalSlot[slot.slot];
        v.refusals.push_back(
            d.what + " is on the drive at " + FormatPfa(*d.pfa) + " (" +
            IdText(static_cast<uint32_t>(s.deviceId) << 16 | s.vendorId) + ") in slot " +
            std::to_string(slot.record) + ":" + std::to_string(slot.slot) + " of the " +
            SwitchModelName(b.pciID) + " at " + FormatPfa(b.bdgPFA) +
            ": cutting the links would take it from Windows (--force cuts them anyway)");
    }
    return v;
}

}  // namespace corvaxctl
