// The rescan: look at the hardware again against what the last update found.
#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/placement.h"
#include "driver/topology/topology.h"

namespace corvax {

void RescanTopology(DeviceExtension* extension) {
    KernDebugPrint("Corvax2 : Rescan PLX Bridge & PCI device\n");
    for (PlxBridge& bridge : extension->Bridge) {
        if (bridge.bdgPFA != 0) {
            RescanBridge(extension, &bridge);
        }
    }
    for (DriveSlot& slot : extension->OnBoardSlot) {
        if ((slot.fgStatus & (kSlotPresent | kSlotOnBoard)) == (kSlotPresent | kSlotOnBoard) &&
            PciReadConfigUlong(slot.pciPFA, 0x00) != slot.pciID) {
            memset(&slot, 0, sizeof(slot));
        }
    }
    DumpTopology(extension);
    KernDebugPrint("Corvax2 : PCI rescan completed \n");
}

void RescanBridge(DeviceExtension* extension, PlxBridge* bridge) {
    if (extension == nullptr || bridge == nullptr) {
        return;
    }
    const SwitchModel* model = FindSwitchModel(bridge->pciID);
    if (model == nullptr) {
        model = FindSwitchModel(kPlx8618Id);
    }
    if (bridge->bdgPFA == 0) {
        return;
    }
    bridge->CurrentMap = 0;
    memset(bridge->CurrentSlot, 0, sizeof(bridge->CurrentSlot));

    for (uint32_t i = 0; i < model->slotCount; ++i) {
        const uint32_t bit = 1u << i;
        const uint32_t port = PortPfa(bridge, model->linkMap[i]);
        const uint32_t drive = ((PciReadConfigUlong(port, 0x18) >> 8) & 0xFFu) << 8;
        const uint32_t c = PciReadConfigUlong(drive, 0x08) & 0xFFFFFF00u;
        if (c != kNvmeClass) {
            // The current slot stays all zero; a drive the update saw is reported lost.
            if ((bridge->OriginalMap & bit) != 0) {
                KernDebugPrint("Corvax2 : Device Lost(0x%08X)\n", c);
            }
            continue;
        }
        const uint32_t id = PciReadConfigUlong(drive, 0x00);
        bridge->CurrentMap |= bit;
        DriveSlot& slot = bridge->CurrentSlot[i];
        const DriveSlot& original = bridge->OriginalSlot[i];
        slot.fgStatus = kSlotPresent;
        slot.bdgDeviceIndex = static_cast<uint8_t>(i);
        slot.bdgDeviceId = static_cast<uint8_t>(model->linkMap[i]);
        slot.bdgMps = static_cast<uint8_t>(bridge->bdgMps);
        slot.pciPFA = drive;
        slot.pciID = id;
        slot.barAddr = PciReadBar0(drive);
        slot.PciConfigAddr = EcamAddress(extension->EcamBase, drive);
        // The save areas stay bound to the slot position, not to the drive.
        slot.ConfigTable = original.ConfigTable;
        slot.MsiTable = original.MsiTable;
        slot.MsiTableOffset = original.MsiTableOffset;
        if (MatchDeviceIdList(id, extension->DeviceIdList)) {
            AlignMaxPayload(bridge, drive);
        }
        if ((bridge->OriginalMap & bit) == 0) {
            KernDebugPrint("Corvax2 : New Device found(0x%08X)\n", id);
        }
    }
}

}  // namespace corvax
