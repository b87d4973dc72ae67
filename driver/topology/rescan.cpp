// Rescan and restore: look at the hardware again against what the last update found, and write
// saved headers back into drives that return from a link cycle with BAR0 cleared.
#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/topology.h"

namespace corvax {

namespace {

constexpr uint32_t kMsixEntrySize = 16;
constexpr uint32_t kMsixSavedEntries = 256 / kMsixEntrySize;
constexpr uint32_t kCommandMemorySpace = 0x2;

uint32_t RestoreSlotCount(uint32_t pciID) {
    const SwitchModel* model = FindSwitchModel(pciID);
    return model != nullptr ? model->slotCount : 0;
}

// Table Size field (N - 1 in bits 10:0 of Message Control) of an MSI-X capability.
uint32_t TableEntries(const uint8_t* capability) {
    return ((capability[2] | (capability[3] << 8)) & 0x7FFu) + 1;
}

// Writes the MSI-X table saved at the last update back into a drive whose header was just
// restored. Every guard keeps the writes inside the table: a write past it, or into the wrong
// place of BAR0, would land on the drive's own registers.
void RestoreMsixTable(const DeviceExtension* extension, const DriveSlot& o, uint8_t saved) {
    if ((saved & kSavedMsiTable) == 0 || (o.MsiTableOffset & 7u) != 0 || o.barAddr == 0) {
        return;  // nothing saved for this drive, or a table that lives outside BAR0
    }
    // The drive as it answers now must be the one the table was saved from: BAR0 back where
    // the saved header put it with memory decoding on, and an MSI-X table at the same place.
    // Its own table size bounds the writes, so a drive with a smaller table (or none), even
    // with the same identifiers, never has its registers written.
    uint8_t live[kHeaderSize];
    memset(live, 0, sizeof(live));
    bool copied = false;
    PciReadConfigHeader(extension, &o, live, kHeaderSize, &copied);
    uint32_t command;
    uint32_t bar0Low;
    uint32_t bar0High;
    memcpy(&command, live + 0x04, 4);
    memcpy(&bar0Low, live + 0x10, 4);
    memcpy(&bar0High, live + 0x14, 4);
    const uint64_t bar0 = (static_cast<uint64_t>(bar0High) << 32) | (bar0Low & 0xFFFFFFF0u);
    if (!copied || bar0 != o.barAddr || (command & kCommandMemorySpace) == 0) {
        return;
    }
    const uint32_t liveCap = FindCapability(live, kMsixCapabilityId);
    const uint32_t savedCap = FindCapability(o.ConfigTable, kMsixCapabilityId);
    if (liveCap == 0 || savedCap == 0) {
        return;
    }
    uint32_t liveControl;
    uint32_t liveTable;
    memcpy(&liveControl, live + liveCap, 4);
    memcpy(&liveTable, live + liveCap + 4, 4);
    // The two dwords that size and place the table are read once more, whole, through the
    // ports: a read that did not answer in either reading (a drive leaving the bus) shows as
    // a difference, and nothing is written on a table size the drive never gave.
    if (liveTable != o.MsiTableOffset || PciReadConfigUlong(o.pciPFA, liveCap) != liveControl ||
        PciReadConfigUlong(o.pciPFA, liveCap + 4) != liveTable) {
        return;
    }
    uint32_t entries = TableEntries(live + liveCap);
    if (entries > TableEntries(o.ConfigTable + savedCap)) {
        entries = TableEntries(o.ConfigTable + savedCap);
    }
    if (entries > kMsixSavedEntries) {
        entries = kMsixSavedEntries;
    }

    const uint64_t table = o.barAddr + (o.MsiTableOffset & ~7u);
    const uint64_t page = table & ~static_cast<uint64_t>(kPageSize - 1);
    const uint32_t offset = static_cast<uint32_t>(table - page);
    const uint32_t size = (offset + entries * kMsixEntrySize + kPageSize - 1) & ~(kPageSize - 1);
    KernDebugPrint("Corvax2 : Restore MSI-X table(%d:%d:0), table=0x%08X%08X, entries=%d\n",
                   static_cast<int>((o.pciPFA >> 8) & 0xFFu),
                   static_cast<int>((o.pciPFA >> 3) & 0x1Fu), HighHalf(table), LowHalf(table),
                   static_cast<int>(entries));
    MemoryMapping mapping = {};
    volatile uint8_t* view = static_cast<volatile uint8_t*>(PciMapMemory(&mapping, page, size));
    if (view == nullptr) {
        return;
    }
    for (uint32_t e = 0; e < entries; ++e) {
        // Address and data first; vector control (with its mask bit) last, and only once the
        // address reads back as saved: an entry unmasked while it points nowhere may signal
        // into any memory.
        uint32_t values[4];
        memcpy(values, o.MsiTable + e * kMsixEntrySize, sizeof(values));
        volatile uint8_t* entry = view + offset + e * kMsixEntrySize;
        for (uint32_t dword = 0; dword < 3; ++dword) {
            KernWriteRegisterUlong(entry + dword * 4, values[dword]);
        }
        if (KernReadRegisterUlong(entry) == values[0] &&
            KernReadRegisterUlong(entry + 4) == values[1]) {
            KernWriteRegisterUlong(entry + 12, values[3]);
        }
    }
    PciUnmapMemory(&mapping);
}

}  // namespace

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
        const uint64_t low = PciReadConfigUlong(drive, 0x10) & 0xFFFFFFF0u;
        const uint64_t high = PciReadConfigUlong(drive, 0x14);
        slot.barAddr = (high << 32) | low;
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

void RestoreDrives(DeviceExtension* extension) {
    KernDebugPrint("Corvax2 : Restore PCI configuration memory & MSI-X table\n");
    for (uint32_t b = 0; b < kBridgeRecords; ++b) {
        const PlxBridge& bridge = extension->Bridge[b];
        if (bridge.bdgPFA == 0 || bridge.CurrentMap == 0) {
            continue;
        }
        const uint32_t count = RestoreSlotCount(bridge.pciID);
        for (uint32_t j = 0; j < count; ++j) {
            const DriveSlot& o = bridge.OriginalSlot[j];
            const DriveSlot& c = bridge.CurrentSlot[j];
            // The tests run in this order; the two vendor checks log their matches.
            if (!MatchDeviceIdList(o.pciID, extension->DeviceIdList) ||
                !MatchDeviceIdList(c.pciID, extension->DeviceIdList) ||
                (o.fgStatus & kSlotPresent) == 0 || (c.fgStatus & kSlotPresent) == 0 ||
                o.barAddr == 0 || c.barAddr != 0 || o.ConfigTable == nullptr ||
                c.ConfigTable != o.ConfigTable) {
                continue;
            }
            // The header goes to the address the update recorded: only when the slot's drive
            // still answers there (bus numbers behind a switch can change, and the drive now
            // at that address may be another one, in use). And never from a save area whose
            // header save failed: it still holds another drive's bytes.
            const uint8_t saved = extension->fgSaved[b][j];
            if (c.pciPFA != o.pciPFA || (saved & kSavedHeader) == 0) {
                continue;
            }
            KernDebugPrint("Corvax2 : Restore PCI configuration memory(%d:%d:0), bar0=0x%08X%08X\n",
                           static_cast<int>((o.pciPFA >> 8) & 0xFFu),
                           static_cast<int>((o.pciPFA >> 3) & 0x1Fu), HighHalf(o.barAddr),
                           LowHalf(o.barAddr));
            // A drive of another model gets the standard header only: the saved capability
            // registers belong to another layout, where the same offset can be another
            // register (its Device Control, its MSI-X capability), and its own come back when
            // the system restarts its device.
            const uint32_t length = c.pciID == o.pciID ? kHeaderSize : kStandardHeaderSize;
            bool written = false;
            PciWriteConfigHeader(extension, &o, o.ConfigTable, length, &written);
            if (written) {
                RestoreMsixTable(extension, o, saved);
            }
        }
    }
}

}  // namespace corvax
