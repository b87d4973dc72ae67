// The restore: write the header saved at the last update back into listed drives that answer
// again with BAR0 cleared, and the first entries of their MSI-X tables after it. The addresses
// in a saved header are the update's; the machine may have moved since (a rebalance gives a
// slot's old range to another device, or moves the window of the port above it), so nothing
// is written until the saved placement is checked against the bridges as they are now.
#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/placement.h"
#include "driver/topology/topology.h"

namespace corvax {

namespace {

constexpr uint32_t kMsixEntrySize = 16;
constexpr uint32_t kMsixSavedEntries = 256 / kMsixEntrySize;
constexpr uint32_t kCommandRegister = 0x04;
constexpr uint32_t kRomAddressMask = 0xFFFFF800u;
// The BAR dwords of a type 0 header and its expansion ROM BAR; entry kBarCount is the ROM.
constexpr uint32_t kBarRegisterCount = kBarCount + 1;

uint32_t BarRegister(uint32_t index) {
    return index < kBarCount ? kFirstBar + 4 * index : kRomBar;
}

uint32_t SavedDword(const uint8_t* header, uint32_t offset) {
    uint32_t value;
    memcpy(&value, header + offset, 4);
    return value;
}

uint32_t RestoreSlotCount(uint32_t pciID) {
    const SwitchModel* model = FindSwitchModel(pciID);
    return model != nullptr ? model->slotCount : 0;
}

// Table Size field (N - 1 in bits 10:0 of Message Control) of an MSI-X capability.
uint32_t TableEntries(const uint8_t* capability) {
    return ((capability[2] | (capability[3] << 8)) & 0x7FFu) + 1;
}

// Why a restore was not made; each reason leaves the drive without an address.
enum class Refusal { None, Decoding, PathMoved, OtherType, Unassigned, Misaligned, OutsideWindow };

const char* RefusalText(Refusal refusal) {
    switch (refusal) {
        case Refusal::Decoding:
            return "the drive decodes already";
        case Refusal::PathMoved:
            return "the port above the drive is not as recorded";
        case Refusal::OtherType:
            return "a BAR of another type";
        case Refusal::Unassigned:
            return "a BAR left unassigned";
        case Refusal::Misaligned:
            return "a BAR larger than its saved address's alignment";
        case Refusal::OutsideWindow:
            return "a BAR outside the windows of the ports above the drive";
        case Refusal::None:
            break;
    }
    return "";
}

// The outcome of checking a saved header against the drive and the bridges as they are now.
struct Plan {
    Refusal refusal = Refusal::None;
    uint32_t reg = 0;       // the register the refusal is about
    uint64_t address = 0;   // and the saved address in it
    uint64_t bar0Size = 0;  // BAR0's size as the drive now answering has it
    bool bar0Wide = false;  // BAR0 is a 64-bit memory BAR, in the saved header and in the drive
};

// Sizes the drive's BARs and its ROM BAR the way the system's PCI code does: all-ones written,
// what the BAR keeps read back, the value before put back. Only done while the drive decodes
// nothing, so no address of all-ones is ever live.
void SizeBars(uint32_t pfa, uint32_t masks[kBarRegisterCount]) {
    for (uint32_t i = 0; i < kBarRegisterCount; ++i) {
        const uint32_t reg = BarRegister(i);
        const uint32_t before = PciReadConfigUlong(pfa, reg);
        PciWriteConfigUlong(pfa, reg, i < kBarCount ? 0xFFFFFFFFu : kRomAddressMask);
        masks[i] = PciReadConfigUlong(pfa, reg);
        PciWriteConfigUlong(pfa, reg, before);
    }
}

void ZeroBars(uint32_t pfa) {
    for (uint32_t i = 0; i < kBarRegisterCount; ++i) {
        PciWriteConfigUlong(pfa, BarRegister(i), 0);
    }
}

void Refuse(Plan* plan, Refusal refusal, uint32_t reg, uint64_t address) {
    if (plan->refusal == Refusal::None) {
        plan->refusal = refusal;
        plan->reg = reg;
        plan->address = address;
    }
}

// Holds every BAR the saved header gives (and the ROM BAR) against the drive now answering and
// the windows of the ports above it: each must be of the type the drive's own BAR is, an
// implemented BAR that would decode once Command goes back must have an address, aligned to
// the size the drive's BAR has, and inside the windows. A drive of another model with a BAR
// the saved one lacked would otherwise decode it at 0, over the system's memory.
void CheckBars(const uint8_t* saved, const uint32_t masks[kBarRegisterCount], const SlotPath& path,
               Plan* plan) {
    const uint16_t command = static_cast<uint16_t>(SavedDword(saved, kCommandRegister));
    for (uint32_t i = 0; i < kBarCount; ++i) {
        const uint32_t reg = BarRegister(i);
        const uint32_t value = SavedDword(saved, reg);
        const uint32_t mask = masks[i];
        if (mask == 0) {
            if (value != 0) {
                Refuse(plan, Refusal::OtherType, reg, value);  // no such BAR on this drive
            }
            continue;
        }
        const bool io = (mask & kBarIo) != 0;
        const uint32_t typeBits = io ? kBarIo : (mask & 0xFu);
        if ((value & (io ? 0x3u : 0xFu)) != typeBits) {
            Refuse(plan, Refusal::OtherType, reg, value);
            continue;
        }
        const bool wide = !io && (typeBits & kBarTypeMask) == kBarType64 && i + 1 < kBarCount;
        uint64_t sizeMask = io ? (mask & ~0x3u) | 0xFFFFFFFF00000000ull : (mask & ~0xFu);
        uint64_t address = value & (io ? ~0x3u : ~0xFu);
        if (wide) {
            sizeMask |= static_cast<uint64_t>(masks[i + 1]) << 32;
            address |= static_cast<uint64_t>(SavedDword(saved, reg + 4)) << 32;
            ++i;
        } else if (!io) {
            sizeMask |= 0xFFFFFFFF00000000ull;
        }
        const uint64_t size = ~sizeMask + 1;
        if (reg == kFirstBar) {
            plan->bar0Size = io ? 0 : size;
            plan->bar0Wide = wide;
        }
        if ((command & (io ? kCommandIoSpace : kCommandMemorySpace)) == 0) {
            continue;  // this kind stays off: nothing of it decodes after the restore
        }
        if (address == 0) {
            Refuse(plan, Refusal::Unassigned, reg, address);
        } else if ((address & (size - 1)) != 0) {
            Refuse(plan, Refusal::Misaligned, reg, address);
        } else if (!PathCovers(path, address, size, io)) {
            Refuse(plan, Refusal::OutsideWindow, reg, address);
        }
    }
    // The ROM BAR decodes only with its own enable bit as well as memory decoding.
    const uint32_t rom = SavedDword(saved, kRomBar);
    const uint32_t romMask = masks[kBarCount] & kRomAddressMask;
    if (romMask == 0) {
        if ((rom & kRomAddressMask) != 0) {
            Refuse(plan, Refusal::OtherType, kRomBar, rom);
        }
    } else if ((rom & kRomEnable) != 0 && (command & kCommandMemorySpace) != 0) {
        const uint64_t address = rom & kRomAddressMask;
        const uint64_t size = static_cast<uint32_t>(~romMask + 1);
        if (address == 0) {
            Refuse(plan, Refusal::Unassigned, kRomBar, address);
        } else if ((address & (size - 1)) != 0) {
            Refuse(plan, Refusal::Misaligned, kRomBar, address);
        } else if (!PathCovers(path, address, size, false)) {
            Refuse(plan, Refusal::OutsideWindow, kRomBar, address);
        }
    }
}

// Decides whether the saved header may go back into the drive now answering at o's address.
// Reads the drive's Command and the path above it first; sizes the BARs (writes that change
// nothing the drive decodes) only once both allow it.
Plan PlanRestore(const PlxBridge& bridge, const DriveSlot& o) {
    Plan plan;
    const uint32_t pfa = o.pciPFA;
    const uint32_t command = PciReadConfigUlong(pfa, kCommandRegister);
    if ((command & (kCommandIoSpace | kCommandMemorySpace)) != 0) {
        Refuse(&plan, Refusal::Decoding, kCommandRegister, command & 0xFFFFu);
        return plan;
    }
    SlotPath path;
    if (!ReadSlotPath(bridge, o, &path)) {
        Refuse(&plan, Refusal::PathMoved, 0x18, 0);
        return plan;
    }
    uint32_t masks[kBarRegisterCount];
    SizeBars(pfa, masks);
    CheckBars(o.ConfigTable, masks, path, &plan);
    return plan;
}

// Writes the MSI-X table saved at the last update back into a drive whose header was just
// restored. Every guard keeps the writes inside the table: a write past it, or into the wrong
// place of BAR0, would land on the drive's own registers.
void RestoreMsixTable(const DeviceExtension* extension, const DriveSlot& o, uint8_t saved,
                      const Plan& plan) {
    // Only a table saved from BAR0 (BIR 0) of a 64-bit BAR0, with BAR0 of the same kind on the
    // drive now answering: barAddr is BAR0, and BAR0 only.
    if ((saved & kSavedMsiTable) == 0 || (o.MsiTableOffset & 7u) != 0 || o.barAddr == 0 ||
        !plan.bar0Wide) {
        return;
    }
    // The drive as it answers now must be the one the table was saved from: BAR0 back where
    // the saved header put it with memory decoding on, and an MSI-X table at the same place.
    // Its own table size bounds the writes, so a drive with a smaller table (or none), even
    // with the same identifiers, never has its registers written.
    uint8_t live[kHeaderSize];
    memset(live, 0, sizeof(live));
    bool copied = false;
    PciReadConfigHeader(extension, &o, live, kHeaderSize, &copied);
    if (!copied || HeaderBar0(live) != o.barAddr ||
        (SavedDword(live, kCommandRegister) & kCommandMemorySpace) == 0) {
        return;
    }
    const uint32_t liveCap = FindCapability(live, kMsixCapabilityId);
    const uint32_t savedCap = FindCapability(o.ConfigTable, kMsixCapabilityId);
    if (liveCap == 0 || savedCap == 0) {
        return;
    }
    const uint32_t liveControl = SavedDword(live, liveCap);
    const uint32_t liveTable = SavedDword(live, liveCap + 4);
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
    // The entries written lie inside BAR0 as the drive sizes it, which the placement check
    // found inside the windows of the ports above it.
    const uint64_t tableOffset = o.MsiTableOffset & ~7u;
    if (tableOffset + entries * kMsixEntrySize > plan.bar0Size) {
        return;
    }

    const uint64_t table = o.barAddr + tableOffset;
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

void RestoreSlot(const DeviceExtension* extension, const PlxBridge& bridge, uint32_t j,
                 uint8_t saved) {
    const DriveSlot& o = bridge.OriginalSlot[j];
    const DriveSlot& c = bridge.CurrentSlot[j];
    const int bus = static_cast<int>((o.pciPFA >> 8) & 0xFFu);
    const int device = static_cast<int>((o.pciPFA >> 3) & 0x1Fu);
    const Plan plan = PlanRestore(bridge, o);
    if (plan.refusal != Refusal::None) {
        // Nothing of the saved header is written; a sized BAR is left at 0, so the drive stays
        // without an address (and the table says so) rather than aimed at another's range.
        if (plan.refusal != Refusal::Decoding && plan.refusal != Refusal::PathMoved) {
            ZeroBars(o.pciPFA);
        }
        KernDebugPrint("Corvax2 : Restore refused(%d:%d:0), reg 0x%02X=0x%08X%08X: %s\n", bus,
                       device, static_cast<int>(plan.reg), HighHalf(plan.address),
                       LowHalf(plan.address), RefusalText(plan.refusal));
        return;
    }
    KernDebugPrint("Corvax2 : Restore PCI configuration memory(%d:%d:0), bar0=0x%08X%08X\n", bus,
                   device, HighHalf(o.barAddr), LowHalf(o.barAddr));
    // A drive of another model gets the standard header only: the saved capability registers
    // belong to another layout, where the same offset can be another register (its Device
    // Control, its MSI-X capability), and its own come back when the system restarts its
    // device.
    const uint32_t length = c.pciID == o.pciID ? kHeaderSize : kStandardHeaderSize;
    bool written = false;
    PciWriteConfigHeader(extension, &o, o.ConfigTable, length, &written);
    if (written) {
        RestoreMsixTable(extension, o, saved, plan);
    }
}

}  // namespace

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
            RestoreSlot(extension, bridge, j, saved);
        }
    }
}

}  // namespace corvax
