// The topology update: forget the registry, then rebuild it from the hardware.
#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/placement.h"
#include "driver/topology/topology.h"

namespace corvax {

namespace {

constexpr uint32_t kFirstBus = 1;
constexpr uint32_t kLastBus = 64;
// Base class 0x06, subclass 0x04: a PCI-to-PCI bridge, such as a switch's upstream port.
constexpr uint32_t kBridgeClass = 0x0604;
// Max_Payload_Size encodings 0 (128 bytes) to 5 (4096); 6 and 7 are reserved.
constexpr uint32_t kLargestPayloadCode = 5;

uint32_t DriveBehindPort(uint32_t portPfa) {
    // The port's secondary bus, device 0, function 0; a silent port gives bus 0xFF.
    return ((PciReadConfigUlong(portPfa, 0x18) >> 8) & 0xFFu) << 8;
}

// A switch candidate is accepted only when no switch of another family was accepted before.
bool AcceptSwitch(DeviceExtension* extension, uint32_t id) {
    switch (id) {
        case kPlx8618Id:
            if (extension->fgPlx8618 || extension->fgPlx8732 || extension->fgPlx8748) {
                return false;
            }
            extension->fgPlx8618 = 1;
            return true;
        case kPlx8732Id:
            if (extension->fgPlx8618 || extension->fgPlx8748) {
                return false;
            }
            extension->fgPlx8732 = 1;
            return true;
        case kPlx8748Id:
            if (extension->fgPlx8618 || extension->fgPlx8732) {
                return false;
            }
            extension->fgPlx8748 = 1;
            return true;
        default:
            return false;
    }
}

void RegisterOnBoardDrive(DeviceExtension* extension, DriveSlot* slot, uint32_t pfa, uint32_t id) {
    slot->fgStatus = kSlotPresent | kSlotOnBoard;
    slot->pciPFA = pfa;
    slot->pciID = id;
    slot->barAddr = PciReadBar0(pfa);
    slot->PciConfigAddr = EcamAddress(extension->EcamBase, pfa);
    slot->MsiTableOffset = 0;
    slot->ConfigTable = nullptr;
    slot->MsiTable = nullptr;
}

// Whether the drive's MSI-X table can be read where barAddr + MsiTableOffset says: in BAR0
// (BIR 0) of a 64-bit memory BAR0 (barAddr is that BAR and no other), with BAR0 assigned and
// memory decoding on, as the header just saved shows them; and the bytes read reach the drive
// through the ports above it as they are programmed now. A drive that came back from a link
// cycle and was updated instead of restored has BAR0 at 0, and that address is the bottom of
// physical memory; a BAR0 outside the windows is some other device's memory, or nobody's.
bool TableReachable(const PlxBridge* bridge, const DriveSlot* slot, const uint8_t* header) {
    if (header == nullptr || slot->barAddr == 0 || (slot->MsiTableOffset & 7u) != 0 ||
        (header[0x10] & (kBarIo | kBarTypeMask)) != kBarType64 ||
        (header[0x04] & kCommandMemorySpace) == 0) {
        return false;
    }
    SlotPath path;
    return ReadSlotPath(*bridge, *slot, &path) &&
           PathCovers(path, slot->barAddr + slot->MsiTableOffset, kHeaderSize, false);
}

}  // namespace

void AlignMaxPayload(const PlxBridge* bridge, uint32_t drivePfa) {
    // Device Control is where the drive's own PCI Express capability puts it (capability + 8):
    // real drives keep that capability at 0x40, 0x60, 0x70 or 0x80, and at another offset the
    // same dword is another register. A drive without one is left alone.
    const uint32_t capability = PciFindCapabilityThroughPorts(drivePfa, kPcieCapabilityId);
    if (capability == 0) {
        KernDebugPrint("Corvax2 : MPS not aligned(PFA=%04X)\n", drivePfa);
        return;
    }
    // The drive may take no larger payload than its Device Capabilities say it supports
    // (bits 2:0, in the encoding of Device Control's field): a larger setting lets it accept
    // packets it cannot handle. Such a drive gets its own largest size, and the line says so.
    const uint32_t capabilities = PciReadConfigUlong(drivePfa, capability + 4);
    const uint32_t supported = capabilities & 7u;
    if (capabilities == kNoAnswer || supported > kLargestPayloadCode) {
        KernDebugPrint("Corvax2 : MPS not aligned(PFA=%04X)\n", drivePfa);
        return;
    }
    uint32_t target = bridge->bdgMps & 0xE0u;
    if ((supported << 5) < target) {
        KernDebugPrint("Corvax2 : MPS limited(PFA=%04X, supported=%d, switch=%d)\n", drivePfa,
                       static_cast<int>(128u << supported),
                       static_cast<int>(128u << (target >> 5)));
        target = supported << 5;
    }
    const uint32_t deviceControl = capability + 8;
    const uint32_t v = PciReadConfigUlong(drivePfa, deviceControl);
    if (v != kNoAnswer && (v & 0xE0u) != target) {
        PciWriteConfigUlong(drivePfa, deviceControl, ControlHalf(v & 0xFFFFFF1Fu) | target);
    }
}

void UpdateTopology(DeviceExtension* extension) {
    KernDebugPrint("Corvax2 : Update PLX Bridge & PCI device information\n");
    extension->fgPlx8618 = 0;
    extension->fgPlx8732 = 0;
    extension->fgPlx8748 = 0;
    memset(extension->Bridge, 0, sizeof(extension->Bridge));
    memset(extension->OnBoardSlot, 0, sizeof(extension->OnBoardSlot));
    memset(extension->fgSaved, 0, sizeof(extension->fgSaved));
    // The save areas themselves are not cleared: an area keeps its bytes until a later scan
    // overwrites it, and fgSaved says whether it holds the present drive's.

    uint32_t switches = 0;
    uint32_t onBoard = 0;
    for (uint32_t bus = kFirstBus; bus <= kLastBus && switches < kBridgeRecords; ++bus) {
        const uint32_t pfa = bus << 8;
        const uint32_t id = PciReadConfigUlong(pfa, 0x00);
        const bool candidate =
            id == kPlx8748Id || id == kPlx8732Id || (id == kPlx8618Id && !extension->fgPlx8618);
        if (candidate) {
            if (AcceptSwitch(extension, id)) {
                PlxBridge* bridge = &extension->Bridge[switches];
                bridge->pciID = id;
                bridge->bdgPFA = pfa;
                ScanBridge(extension, bridge, &extension->SlotSave[switches][0][0]);
                ++switches;
            }
            continue;
        }
        if ((PciReadConfigUlong(pfa, 0x08) & 0xFFFFFF00u) == kNvmeClass &&
            !IsOnBridge(extension, pfa) && onBoard < kOnBoardSlots) {
            RegisterOnBoardDrive(extension, &extension->OnBoardSlot[onBoard], pfa, id);
            ++onBoard;
        }
    }

    DumpTopology(extension);
    KernDebugPrint("Corvax2 : PCI update completed \n");
}

void ScanBridge(DeviceExtension* extension, PlxBridge* bridge, uint8_t* saveArea) {
    if (extension == nullptr || bridge == nullptr || saveArea == nullptr) {
        return;
    }
    const uint32_t up = bridge->bdgPFA;
    const SwitchModel* model = FindSwitchModel(bridge->pciID);
    if (model == nullptr) {
        model = FindSwitchModel(kPlx8618Id);
    }
    if (bridge->pciID == kPlx8748Id) {
        const uint32_t base = PciReadConfigUlong(up, 0x10) & 0xFFFFFFF0u;
        bridge->pBdgSecAddr1 = static_cast<uint32_t>(base + 0x8000u);
        bridge->pBdgSecAddr2 = static_cast<uint32_t>(base + 0x10000u);
    } else {
        bridge->pBdgSecAddr1 = 0;
        bridge->pBdgSecAddr2 = 0;
    }
    bridge->bdgMps = PciReadConfigUlong(up, 0x70) & 0xE0u;
    bridge->OriginalMap = 0;
    bridge->CurrentMap = 0;
    const uint32_t busNumbers = PciReadConfigUlong(up, 0x18);
    bridge->PrimaryBus = busNumbers & 0xFFu;
    bridge->SecondaryBus = (busNumbers >> 8) & 0xFFu;

    // Which of the extension's records this is, for what the scan saved: compared by address,
    // so that a record held elsewhere is scanned all the same, only without that note.
    uint32_t record = kBridgeRecords;
    for (uint32_t r = 0; r < kBridgeRecords; ++r) {
        if (&extension->Bridge[r] == bridge) {
            record = r;
        }
    }
    for (uint32_t i = 0; i < model->slotCount; ++i, saveArea += kSaveAreaSize) {
        const uint32_t drive = DriveBehindPort(PortPfa(bridge, model->linkMap[i]));
        DriveSlot* slot = &bridge->OriginalSlot[i];
        memset(slot, 0, sizeof(*slot));
        slot->bdgDeviceIndex = static_cast<uint8_t>(i);
        slot->bdgDeviceId = static_cast<uint8_t>(model->linkMap[i]);
        slot->bdgMps = static_cast<uint8_t>(bridge->bdgMps);
        slot->pciPFA = drive;
        slot->PciConfigAddr = EcamAddress(extension->EcamBase, drive);
        slot->ConfigTable = saveArea;
        slot->MsiTable = saveArea + 256;

        const uint32_t classCode = PciReadConfigUlong(drive, 0x08);
        if ((classCode & 0xFFFFFF00u) != kNvmeClass) {
            // A bridge in the slot (another switch, as real boards chain them) holds no drive
            // of this slot; its link is this port's all the same, and cutting it resets
            // everything behind the bridge. Said once here; the slot stays empty.
            if (classCode != kNoAnswer && (classCode >> 16) == kBridgeClass) {
                KernDebugPrint("Corvax2 : Bridge behind port%d(PFA=%04X, ID=0x%08X)\n",
                               static_cast<int>(i), drive, PciReadConfigUlong(drive, 0x00));
            }
            continue;
        }
        const uint32_t id = PciReadConfigUlong(drive, 0x00);
        slot->fgStatus |= kSlotPresent;
        slot->pciID = id;
        slot->barAddr = PciReadBar0(drive);
        if (MatchDeviceIdList(id, extension->DeviceIdList)) {
            AlignMaxPayload(bridge, drive);
            bool copied = false;
            PciReadConfigHeader(extension, slot, slot->ConfigTable, kHeaderSize, &copied);
            uint8_t saved = copied ? kSavedHeader : 0;
            if (PciFindMsixCapability(extension, slot) &&
                TableReachable(bridge, slot, copied ? slot->ConfigTable : nullptr) &&
                PciReadMemoryPage(slot->barAddr + slot->MsiTableOffset, slot->MsiTable)) {
                saved |= kSavedMsiTable;
            }
            if (record < kBridgeRecords) {
                extension->fgSaved[record][i] = saved;
            }
        }
        bridge->OriginalMap |= 1u << i;
    }

    bridge->CurrentMap = bridge->OriginalMap;
    memcpy(bridge->CurrentSlot, bridge->OriginalSlot, sizeof(bridge->CurrentSlot));
}

}  // namespace corvax
