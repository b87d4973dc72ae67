// Registry queries: drive count, switch model, on-switch test, drive table, switch images, port
// bitmap and a drive's configuration header. Only the bitmap and the configuration read reach
// the hardware; none of them changes the registry.
#include <string.h>

#include "driver/control/dispatch.h"
#include "driver/topology/pci_access.h"
#include "driver/topology/plx8748.h"
#include "driver/topology/topology.h"

namespace corvax {

namespace {

uint32_t CountBits(uint32_t value) {
    uint32_t n = 0;
    for (; value != 0; value &= value - 1) {
        ++n;
    }
    return n;
}

bool OnBoardValid(const DriveSlot& slot) {
    return (slot.fgStatus & (kSlotPresent | kSlotOnBoard)) == (kSlotPresent | kSlotOnBoard);
}

// The first original slot recorded at pfa, searching the switches in use in record and slot
// order; null when none is.
const DriveSlot* FindOriginalSlot(const DeviceExtension* extension, uint32_t pfa) {
    for (const PlxBridge& bridge : extension->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        for (const DriveSlot& slot : bridge.OriginalSlot) {
            if (slot.pciPFA == pfa) {
                return &slot;
            }
        }
    }
    return nullptr;
}

// Flags of a switch drive's table entry, judged against the generation of the last update.
uint32_t EntryFlags(const DeviceExtension* extension, const DriveSlot& current,
                    const DriveSlot& original) {
    uint32_t flags = 0;
    if (original.fgStatus == 0 || (current.pciID >> 16) != (original.pciID >> 16)) {
        flags |= CORVAX_ENTRY_NEW_DEVICE;
    }
    // The whole BAR0: a 64-bit BAR0 above 4 GiB may have a low half of 0.
    if (current.barAddr == 0) {
        flags |= CORVAX_ENTRY_NO_MEMORY;
    }
    if (!MatchDeviceIdList(current.pciID, extension->DeviceIdList)) {
        flags |= CORVAX_ENTRY_FOREIGN_VENDOR;
    }
    return flags;
}

// Logs the entries as they were handed to the caller.
void DumpTable(const PciTableEntry* table, uint32_t count) {
    KernDebugPrint("Corvax2 :   PCI Table Information **********************************\n");
    for (uint32_t i = 0; i < count; ++i) {
        const PciTableEntry& e = table[i];
        KernDebugPrint("Corvax2 : Device %d\n", static_cast<int>(i));
        KernDebugPrint("Corvax2 :   pciLocation  :0x%04X\n", e.pciLocation);
        KernDebugPrint("Corvax2 :   pciID        :0x%08X\n", e.pciID);
        KernDebugPrint("Corvax2 :   bdgIndex     :%d\n", static_cast<int>(e.bdgIndex));
        KernDebugPrint("Corvax2 :   bdgDevId     :%d\n", static_cast<int>(e.bdgDevId));
        KernDebugPrint("Corvax2 :   bdgPciId     :0x%08X\n", e.bdgPciId);
        KernDebugPrint("Corvax2 :   fgStatus     :0x%08X\n", e.fgStatus);
        KernDebugPrint("Corvax2 :   RsvU2-0      :%d\n", static_cast<int>(e.RsvU2[0]));
        KernDebugPrint("Corvax2 :   RsvU2-1      :%d\n", static_cast<int>(e.RsvU2[1]));
    }
    KernDebugPrint("Corvax2 :   ********************************************************\n");
}

SlotImage MakeSlotImage(const DriveSlot& slot) {
    SlotImage image;
    image.fgStatus = slot.fgStatus;
    image.bdgDeviceIndex = slot.bdgDeviceIndex;
    image.bdgDeviceId = slot.bdgDeviceId;
    image.bdgMps = slot.bdgMps;
    image.pciPFA = slot.pciPFA;
    image.vendorId = static_cast<uint16_t>(slot.pciID & 0xFFFFu);
    image.deviceId = static_cast<uint16_t>(slot.pciID >> 16);
    image.reserved = slot.reserved;
    image.barAddrLow = LowHalf(slot.barAddr);
    image.barAddrHigh = HighHalf(slot.barAddr);
    return image;
}

void FillBridgeImage(const PlxBridge& bridge, BridgeApInfo* info) {
    info->pciID = bridge.pciID;
    info->bdgPFA = bridge.bdgPFA;
    info->OriginalMap = bridge.OriginalMap;
    info->CurrentMap = bridge.CurrentMap;
    info->PrimaryBus = bridge.PrimaryBus;
    info->SecondaryBus = bridge.SecondaryBus;
    for (uint32_t i = 0; i < kSlotsPerBridge; ++i) {
        info->OriginalSlot[i] = MakeSlotImage(bridge.OriginalSlot[i]);
        info->CurrentSlot[i] = MakeSlotImage(bridge.CurrentSlot[i]);
    }
}

// The image's header words, then, for a block that shows a switch with drives, the slots of
// the record it was copied from (the image is their first 24 bytes as they are).
void DumpBridgeImage(const BridgeApInfo& info, const PlxBridge& bridge) {
    KernDebugPrint("Corvax2 : ************************************************************\n");
    KernDebugPrint("Corvax2 : Bridge AP Information\n");
    KernDebugPrint("Corvax2 :   Vendor ID            :0x%04X\n", info.pciID & 0xFFFFu);
    KernDebugPrint("Corvax2 :   Device ID            :0x%04X\n", info.pciID >> 16);
    KernDebugPrint("Corvax2 :   Bridge PFA           :0x%04X\n", info.bdgPFA);
    KernDebugPrint("Corvax2 :   Bridge Original Map  :0x%04X\n", info.OriginalMap);
    KernDebugPrint("Corvax2 :   Bridge Current Map   :0x%04X\n", info.CurrentMap);
    KernDebugPrint("Corvax2 :   Bridge Primary bus   :%d\n", static_cast<int>(info.PrimaryBus));
    KernDebugPrint("Corvax2 :   Bridge Secondary bus :%d\n", static_cast<int>(info.SecondaryBus));
    if (info.OriginalMap == 0 && info.CurrentMap == 0) {
        return;
    }
    for (uint32_t j = 0; j < kSlotsPerBridge; ++j) {
        DumpSlotSummary(j, bridge.CurrentSlot[j], bridge.OriginalSlot[j]);
    }
}

}  // namespace

void HandleQuery(ControlRequest& r) {
    uint8_t* output = BufferedOutput(r);
    if (r.outputLength < 4 || output == nullptr) {
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    uint32_t count = 0;
    for (const PlxBridge& bridge : r.extension->Bridge) {
        count += CountBits(bridge.CurrentMap);
    }
    for (const DriveSlot& slot : r.extension->OnBoardSlot) {
        if (OnBoardValid(slot)) {
            ++count;
        }
    }
    StoreUlong(output, 0, count);
    r.information = 4;
    KernDebugPrint("Corvax2 : CORVAX_QUERY(Qty=%d)\n", static_cast<int>(count));
}

void HandleQuery8618(ControlRequest& r) {
    uint8_t* output = BufferedOutput(r);
    if (r.outputLength < 4 || output == nullptr) {
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    const DeviceExtension* e = r.extension;
    const uint32_t model = e->fgPlx8618   ? kPlx8618Id
                           : e->fgPlx8732 ? kPlx8732Id
                           : e->fgPlx8748 ? kPlx8748Id
                                          : 0;
    StoreUlong(output, 0, model);
    r.information = 4;
    KernDebugPrint("Corvax2 : CORVAX_QUERY_8618(Qty=%04X)\n", model);
}

void HandleOnBridge(ControlRequest& r) {
    uint32_t pfa = 0;
    if (!ReadInputUlong(r, 0, &pfa)) {
        // No PFA to look for, and none to print: the line says so in place of the address.
        KernDebugPrint("Corvax2 : CORVAX_ON_BRIDGE not found (no PFA)\n");
        r.status = KERN_STATUS_FAIL_CHECK;
        return;
    }
    if (IsOnBridge(r.extension, pfa)) {
        KernDebugPrint("Corvax2 : CORVAX_ON_BRIDGE found(PFA=%04X)\n", pfa);
        return;
    }
    KernDebugPrint("Corvax2 : CORVAX_ON_BRIDGE not found (PFA=%04X)\n", pfa);
    r.status = KERN_STATUS_FAIL_CHECK;
}

void HandleGetTable(ControlRequest& r) {
    KernDebugPrint("Corvax2 : CORVAX_GET_TABLE\n");
    if (r.outputLength < CORVAX_TABLE_SIZE) {
        KernDebugPrint(
            "Corvax2 : CORVAX_GET_TABLE: Buffer too small, require buffer size = %d byte\n",
            static_cast<int>(CORVAX_TABLE_SIZE));
        if (r.outputLength >= 4) {
            uint8_t* output = DirectOutput(r);
            if (output == nullptr) {
                r.status = KERN_STATUS_INSUFFICIENT_RESOURCES;
                return;
            }
            StoreUlong(output, 0, CORVAX_TABLE_SIZE);
            r.information = 4;
        }
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    uint8_t* output = DirectOutput(r);
    if (output == nullptr) {
        r.status = KERN_STATUS_INSUFFICIENT_RESOURCES;
        return;
    }

    // The table is built in the driver's own copy, then copied out: the caller's pages are
    // the caller's, and the log shows what was handed over, not what the caller may have
    // changed meanwhile. Only whole entries, as many as the output holds: the registry can
    // hold more drives than the 1024 bytes the caller is promised room for.
    PciTableEntry table[kBridgeRecords * kSlotsPerBridge + kOnBoardSlots];
    const uint32_t capacity = r.outputLength / sizeof(PciTableEntry);
    const DeviceExtension* e = r.extension;
    uint32_t count = 0;

    uint32_t n = 0;
    for (const PlxBridge& bridge : e->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        ++n;
        for (uint32_t i = 0; i < kSlotsPerBridge; ++i) {
            const DriveSlot& current = bridge.CurrentSlot[i];
            if ((current.fgStatus & kSlotPresent) == 0 || count >= capacity) {
                continue;
            }
            PciTableEntry entry;
            memset(&entry, 0, sizeof(entry));
            entry.pciLocation = current.pciPFA;
            entry.pciID = current.pciID;
            entry.fgStatus = EntryFlags(e, current, bridge.OriginalSlot[i]);
            // With an 8618 present only its own record names a switch; for the other models
            // the number counts the records in use.
            if (!e->fgPlx8618 || bridge.pciID == kPlx8618Id) {
                entry.bdgIndex = e->fgPlx8618 ? 1 : n;
                entry.bdgDevId = current.bdgDeviceId;
                entry.bdgPciId = bridge.pciID;
            }
            table[count] = entry;
            ++count;
        }
    }
    for (const DriveSlot& slot : e->OnBoardSlot) {
        if (!OnBoardValid(slot) || count >= capacity) {
            continue;
        }
        PciTableEntry entry;
        memset(&entry, 0, sizeof(entry));
        entry.pciLocation = slot.pciPFA;
        entry.pciID = slot.pciID;
        table[count] = entry;
        ++count;
    }

    memset(output, 0, r.outputLength);
    memcpy(output, table, count * sizeof(PciTableEntry));
    if (count != 0) {
        DumpTable(table, count);
    }
    r.information = CORVAX_TABLE_SIZE;
}

void HandleQueryPci(ControlRequest& r) {
    KernDebugPrint("Corvax2 : PLX_QUERY_PCI (memSize:%d)(cbout:%d)\n",
                   static_cast<int>(CORVAX_QUERY_PCI_SIZE), static_cast<int>(r.outputLength));
    uint8_t* output = BufferedOutput(r);
    if (r.outputLength < CORVAX_QUERY_PCI_SIZE) {
        // A short buffer is a size probe: the caller learns how much to allocate.
        if (r.outputLength >= 4 && output != nullptr) {
            StoreUlong(output, 0, CORVAX_QUERY_PCI_SIZE);
            r.information = 4;
        } else {
            r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        }
        return;
    }
    const DeviceExtension* e = r.extension;
    for (uint32_t i = 0; i < kBridgeRecords; ++i) {
        const PlxBridge& bridge = e->Bridge[i];
        BridgeApInfo info;
        memset(&info, 0, sizeof(info));
        // With an 8618 registered only its record is shown.
        if (!e->fgPlx8618 || bridge.pciID == kPlx8618Id) {
            FillBridgeImage(bridge, &info);
        }
        memcpy(output + i * sizeof(BridgeApInfo), &info, sizeof(info));
        DumpBridgeImage(info, bridge);
    }
    KernDebugPrint("Corvax2 : ************************************************************\n");
    r.information = CORVAX_QUERY_PCI_SIZE;
}

void HandleGetBitmap(ControlRequest& r) {
    uint8_t* output = BufferedOutput(r);
    if (r.outputLength < CORVAX_BITMAP_SIZE || output == nullptr) {
        KernDebugPrint(
            "Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP: Buffer too small, require buffer size = "
            "%d byte\n",
            static_cast<int>(CORVAX_BITMAP_SIZE));
        if (r.outputLength >= 4 && output != nullptr) {
            StoreUlong(output, 0, CORVAX_BITMAP_SIZE);
            r.information = 4;
        }
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    for (uint32_t i = 0; i < kBridgeRecords; ++i) {
        const uint32_t bitmap = PlxGetPortBitmap(&r.extension->Bridge[i]);
        StoreUlong(output, i * 4, bitmap);
        KernDebugPrint("Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP Bdg%d:(0x%08X)\n",
                       static_cast<int>(i), bitmap);
    }
    r.information = CORVAX_BITMAP_SIZE;
}

void HandleReadConfig(ControlRequest& r) {
    uint32_t pfa = 0;
    if (r.outputLength < CORVAX_CONFIG_SIZE) {
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    if (!ReadInputUlong(r, 0, &pfa)) {
        r.status = KERN_STATUS_INVALID_PARAMETER;
        return;
    }
    KernDebugPrint("Corvax2 : read config PFA=0x%08X\n", pfa);

    uint8_t* output = DirectOutput(r);
    if (output == nullptr) {
        r.status = KERN_STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    const DriveSlot* slot = FindOriginalSlot(r.extension, pfa);
    uint8_t header[CORVAX_CONFIG_SIZE];
    if (slot != nullptr) {
        // All-ones first: when the window cannot be mapped nothing is read, and all-ones is
        // what the bus itself answers for a function that is not there.
        memset(header, 0xFF, sizeof(header));
        PciReadConfigHeader(r.extension, slot, header, sizeof(header));
    } else {
        memset(header, 0, sizeof(header));
    }

    memcpy(output, header, sizeof(header));
    if (slot != nullptr) {
        uint16_t vendor;
        uint16_t device;
        memcpy(&vendor, header, 2);
        memcpy(&device, header + 2, 2);
        KernDebugPrint("Corvax2 : read config PFA=0x%08X(0x%04X%04X)\n", slot->pciPFA, device,
                       vendor);
    }
    r.information = CORVAX_CONFIG_SIZE;
}

}  // namespace corvax
