// The registry's diagnostic dump: every switch record with its current and original slots side
// by side, then every valid on-board drive.
#include <stdint.h>

#include "driver/topology/topology.h"

namespace corvax {

namespace {

const void* AsPointer(uint64_t value) {
    return reinterpret_cast<const void*>(static_cast<uintptr_t>(value));
}

uint32_t StatusWord(const DriveSlot& slot) {
    return static_cast<uint32_t>(slot.fgStatus) |
           (static_cast<uint32_t>(slot.bdgDeviceIndex) << 8) |
           (static_cast<uint32_t>(slot.bdgDeviceId) << 16) |
           (static_cast<uint32_t>(slot.bdgMps) << 24);
}

int Mps(const DriveSlot& slot) {
    return static_cast<int>(StatusWord(slot) >> 29);
}

int Bus(const DriveSlot& slot) {
    return static_cast<int>((slot.pciPFA >> 8) & 0xFFu);
}

uint32_t SlotCountShown(uint32_t pciID) {
    const SwitchModel* model = FindSwitchModel(pciID);
    return model != nullptr ? model->slotCount : kSlotsPerBridge;
}

void DumpSlotPair(uint32_t index, const DriveSlot& c, const DriveSlot& o) {
    DumpSlotSummary(index, c, o);
    KernDebugPrint("Corvax2 :   PciConfigAddr  :0x%p(0x%p)\n", AsPointer(c.PciConfigAddr),
                   AsPointer(o.PciConfigAddr));
    KernDebugPrint("Corvax2 :   ConfigTable    :0x%p(0x%p)\n",
                   static_cast<const void*>(c.ConfigTable),
                   static_cast<const void*>(o.ConfigTable));
    KernDebugPrint("Corvax2 :   MsiTable       :0x%p(0x%p)\n", static_cast<const void*>(c.MsiTable),
                   static_cast<const void*>(o.MsiTable));
    KernDebugPrint("Corvax2 :   MsiTableOffset :0x%08X(0x%08X)\n", c.MsiTableOffset,
                   o.MsiTableOffset);
}

void DumpOnBoard(const DriveSlot& s) {
    KernDebugPrint("Corvax2 : On board QX7100 Information\n");
    KernDebugPrint("Corvax2 :   fgStatus       :0x%02X\n", s.fgStatus);
    KernDebugPrint("Corvax2 :   bdgDevice Index:%d\n", s.bdgDeviceIndex);
    KernDebugPrint("Corvax2 :   bdgDevice ID   :%d\n", s.bdgDeviceId);
    KernDebugPrint("Corvax2 :   bdgMps         :%d\n", Mps(s));
    KernDebugPrint("Corvax2 :   pciPFA         :0x%04X\n", s.pciPFA);
    KernDebugPrint("Corvax2 :   pciBus ID      :%d\n", Bus(s));
    KernDebugPrint("Corvax2 :   vindor ID      :0x%04X\n", s.pciID & 0xFFFFu);
    KernDebugPrint("Corvax2 :   device ID      :0x%04X\n", s.pciID >> 16);
    KernDebugPrint("Corvax2 :   barAddr        :0x%08X%08X\n",
                   static_cast<uint32_t>(s.barAddr >> 32), static_cast<uint32_t>(s.barAddr));
    KernDebugPrint("Corvax2 :   PciConfigAddr  :0x%p\n", AsPointer(s.PciConfigAddr));
    KernDebugPrint("Corvax2 :   ConfigTable    :0x%p\n", static_cast<const void*>(s.ConfigTable));
    KernDebugPrint("Corvax2 :   MsiTable       :0x%p\n", static_cast<const void*>(s.MsiTable));
    KernDebugPrint("Corvax2 :   MsiTableOffset :0x%08X\n", s.MsiTableOffset);
}

}  // namespace

void DumpSlotSummary(uint32_t index, const DriveSlot& c, const DriveSlot& o) {
    KernDebugPrint("Corvax2 : QX7100 Information %d\n", static_cast<int>(index));
    KernDebugPrint("Corvax2 :   fgStatus       :0x%02X(0x%02X)\n", c.fgStatus, o.fgStatus);
    KernDebugPrint("Corvax2 :   bdgDevice Index:%d(%d)\n", c.bdgDeviceIndex, o.bdgDeviceIndex);
    KernDebugPrint("Corvax2 :   bdgDevice ID   :%d(%d)\n", c.bdgDeviceId, o.bdgDeviceId);
    KernDebugPrint("Corvax2 :   bdgMps         :%d(%d)\n", Mps(c), Mps(o));
    KernDebugPrint("Corvax2 :   pciPFA         :0x%04X(0x%04X)\n", c.pciPFA, o.pciPFA);
    KernDebugPrint("Corvax2 :   pciBus ID      :%d(%d)\n", Bus(c), Bus(o));
    KernDebugPrint("Corvax2 :   vindor ID      :0x%04X(0x%04X)\n", c.pciID & 0xFFFFu,
                   o.pciID & 0xFFFFu);
    KernDebugPrint("Corvax2 :   device ID      :0x%04X(0x%04X)\n", c.pciID >> 16, o.pciID >> 16);
    KernDebugPrint("Corvax2 :   barAddr        :0x%08X%08X(0x%08X%08X)\n",
                   static_cast<uint32_t>(c.barAddr >> 32), static_cast<uint32_t>(c.barAddr),
                   static_cast<uint32_t>(o.barAddr >> 32), static_cast<uint32_t>(o.barAddr));
}

void DumpTopology(const DeviceExtension* extension) {
    for (const PlxBridge& b : extension->Bridge) {
        KernDebugPrint("Corvax2 : ************************************************************\n");
        KernDebugPrint("Corvax2 : Bridge Information\n");
        KernDebugPrint("Corvax2 :   Vendor ID            :0x%04X\n", b.pciID & 0xFFFFu);
        KernDebugPrint("Corvax2 :   Device ID            :0x%04X\n", b.pciID >> 16);
        KernDebugPrint("Corvax2 :   Bridge PFA           :0x%04X\n", b.bdgPFA);
        KernDebugPrint("Corvax2 :   Bridge Original Map  :0x%04X\n", b.OriginalMap);
        KernDebugPrint("Corvax2 :   Bridge Current Map   :0x%04X\n", b.CurrentMap);
        KernDebugPrint("Corvax2 :   Bridge Primary bus   :%d\n", static_cast<int>(b.PrimaryBus));
        KernDebugPrint("Corvax2 :   Bridge Secondary bus :%d\n", static_cast<int>(b.SecondaryBus));
        KernDebugPrint("Corvax2 :   pBdgSecAddr1         :0x%p\n", AsPointer(b.pBdgSecAddr1));
        KernDebugPrint("Corvax2 :   pBdgSecAddr2         :0x%p\n", AsPointer(b.pBdgSecAddr2));
        if (b.OriginalMap == 0 && b.CurrentMap == 0) {
            continue;
        }
        const uint32_t count = SlotCountShown(b.pciID);
        for (uint32_t j = 0; j < count; ++j) {
            DumpSlotPair(j, b.CurrentSlot[j], b.OriginalSlot[j]);
        }
    }
    KernDebugPrint("Corvax2 :************************************************************\n");
    for (const DriveSlot& s : extension->OnBoardSlot) {
        if ((s.fgStatus & (kSlotPresent | kSlotOnBoard)) == (kSlotPresent | kSlotOnBoard)) {
            DumpOnBoard(s);
        }
    }
    KernDebugPrint("Corvax2 : ************************************************************\n");
}

}  // namespace corvax
