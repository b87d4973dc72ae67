// The device registry: everything the driver knows about the PCIe storage topology. It lives in
// the extension of the control device, owns no heap memory, and its only pointers (the per-slot
// save areas) point into the extension itself.
#ifndef CORVAX_REGISTRY_H
#define CORVAX_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#include "driver/kernel/kernel.h"

namespace corvax {

constexpr uint32_t kPlx8618Id = 0x861810b5u;
constexpr uint32_t kPlx8732Id = 0x873210b5u;
constexpr uint32_t kPlx8748Id = 0x874810b5u;

constexpr uint32_t kNvmeClass = 0x01080200u;  // dword 0x08 with the revision byte cleared
constexpr uint32_t kNoAnswer = 0xFFFFFFFFu;
// The vendor ID a function still starting answers with when the root port makes such answers
// visible (Configuration Request Retry Status): "not yet", like all-ones.
constexpr uint32_t kVendorNotReady = 0x0001u;

// Whether a read of a function's ID dword shows a function that answers: neither all-ones
// (nothing there) nor the vendor ID of a function not ready yet.
inline bool IdAnswers(uint32_t idDword) {
    return idDword != kNoAnswer && (idDword & 0xFFFFu) != kVendorNotReady;
}

constexpr uint32_t kDeviceIdListEntries = 256;
constexpr uint32_t kBridgeRecords = 3;
constexpr uint32_t kSlotsPerBridge = 12;
constexpr uint32_t kOnBoardSlots = 32;
constexpr uint32_t kSaveAreaSize = 512;
constexpr uint32_t kSaveGroupSize = kSaveAreaSize * kSlotsPerBridge;  // 6144

constexpr uint8_t kSlotPresent = 0x80;
constexpr uint8_t kSlotOnBoard = 0x40;

// One NVMe drive function, or the place for one.
struct DriveSlot {
    uint8_t fgStatus;         // 0x80 drive found, 0x40 on-board (only with 0x80)
    uint8_t bdgDeviceIndex;   // slot index within the switch
    uint8_t bdgDeviceId;      // device number of the slot's downstream port
    uint8_t bdgMps;           // Max_Payload_Size encoding in bits 7:5
    uint32_t pciPFA;          // bus << 8 of the drive (device 0, function 0)
    uint32_t pciID;           // device ID << 16 | vendor ID
    uint32_t reserved;        // always 0
    uint64_t barAddr;         // BAR0 as a 64-bit memory BAR, flag bits cleared
    uint64_t PciConfigAddr;   // the drive's page in the enhanced configuration window
    uint32_t MsiTableOffset;  // MSI-X Table Offset/BIR dword, as read
    uint8_t* ConfigTable;     // 256-byte header save area (null on board)
    uint8_t* MsiTable;        // 256-byte MSI-X table save area (null on board)
};

// One accepted PLX switch; a record whose bdgPFA is 0 is free and all zero.
struct PlxBridge {
    uint32_t pciID;         // identifier of the upstream port: selects the model
    uint32_t bdgPFA;        // upstream port, bus << 8
    uint32_t OriginalMap;   // bit i: a drive behind slot i at the last update
    uint32_t CurrentMap;    // bit i: a drive behind slot i at the last update or rescan
    uint32_t PrimaryBus;    // byte 0 of the upstream port's dword 0x18
    uint32_t SecondaryBus;  // byte 1: the internal bus of the downstream ports
    uint32_t bdgMps;        // upstream Device Control & 0xE0
    uint64_t pBdgSecAddr1;  // PEX 8748: BAR0 + 0x8000
    uint64_t pBdgSecAddr2;  // PEX 8748: BAR0 + 0x10000
    DriveSlot OriginalSlot[kSlotsPerBridge];
    DriveSlot CurrentSlot[kSlotsPerBridge];
};

// What the driver remembers of the Slot Control commands it wrote to one downstream port. A
// port that reports command completion takes no new command before the last one completed,
// and a slot whose power was cut stays off for a second before it is turned on again; the
// hardware shows neither the time a command went out nor when the power went off.
struct SlotCommand {
    uint32_t portPfa;     // the port; 0: a free entry
    uint8_t fgPending;    // a command went out and its completion has not been seen yet
    uint8_t fgPowerCut;   // this driver turned the slot's power off and has not turned it on
    uint16_t reserved;    // always 0
    uint64_t commandUs;   // when the last command went out (KernTimeUs)
    uint64_t powerCutUs;  // when the slot's power went off
};

constexpr uint32_t kSlotCommandEntries = kBridgeRecords * kSlotsPerBridge;

// One entry per port the driver has written Slot Control of. Not part of the registry: an
// update rebuilds the registry, but a command still running or a slot still unpowered is not
// forgotten by the hardware.
struct SlotCommandLog {
    SlotCommand Entry[kSlotCommandEntries];
};

struct DeviceExtension {
    KernDevice* DeviceObject;
    KernUnicodeString DeviceName;
    KernUnicodeString SymbolicLinkName;
    uint32_t DeviceIdList[kDeviceIdListEntries];
    PlxBridge Bridge[kBridgeRecords];
    DriveSlot OnBoardSlot[kOnBoardSlots];
    uint8_t SlotSave[kBridgeRecords][kSlotsPerBridge][kSaveAreaSize];
    uint64_t EcamBase;
    uint8_t fgPlx8618;
    uint8_t fgPlx8732;
    uint8_t fgPlx8748;
    uint8_t fgLinkCreated;
    // 1 when the enhanced window may carry header accesses: a window base was read and the
    // host bridge is an Intel one, whose dword 0x60 is that base. Elsewhere dword 0x60 is
    // some other register and a "window" there would land on unrelated memory.
    uint8_t fgEcamTrusted;
    // What the last update really saved into each switch slot's save area (kSaved* bits). A
    // save whose mapping failed leaves another drive's bytes in the area; those are never
    // written back into a drive.
    uint8_t fgSaved[kBridgeRecords][kSlotsPerBridge];
    SlotCommandLog SlotCommands;
};

constexpr uint8_t kSavedHeader = 0x01;
constexpr uint8_t kSavedMsiTable = 0x02;

// The first four bytes of a slot form one word: status in the low byte, Max_Payload_Size on top.
static_assert(offsetof(DriveSlot, bdgMps) == 3, "status word layout");
static_assert(offsetof(DriveSlot, pciPFA) == 4, "pciPFA follows the status word");
static_assert(offsetof(DriveSlot, barAddr) == 16, "the first 24 bytes are the slot image");
static_assert(offsetof(DriveSlot, PciConfigAddr) == 24, "PciConfigAddr after barAddr");
static_assert(offsetof(PlxBridge, SecondaryBus) == 20, "six header words lead the record");
static_assert(offsetof(PlxBridge, pBdgSecAddr1) == 32, "secondary addresses are 64-bit");
static_assert(sizeof(DeviceExtension::SlotSave[0]) == kSaveGroupSize, "save group stride");

// A switch model: slot count and the device numbers of the downstream ports, slot 0 first.
struct SwitchModel {
    uint32_t pciID;
    uint32_t slotCount;
    const uint32_t* linkMap;
};

extern const uint32_t LinkMap8748[8];
extern const uint32_t LinkMap8732[4];
extern const uint32_t LinkMap8618[12];

// The model of a switch identifier, or null when it is none of the three.
const SwitchModel* FindSwitchModel(uint32_t pciID);

// The default accepted-vendor list copied in at load (0-terminated).
extern const uint32_t DefaultDeviceIdList[12];

// True when the vendor of pciID is in the list; logs the match.
bool MatchDeviceIdList(uint32_t pciID, const uint32_t* deviceIdList);

// True when pfa is the pciPFA of an original slot of a switch in use.
bool IsOnBridge(const DeviceExtension* extension, uint32_t pfa);

// Port PFA of a device number on a switch's internal bus (function 0).
inline uint32_t PortPfa(const PlxBridge* bridge, uint32_t deviceNumber) {
    return ((bridge->SecondaryBus & 0xFFu) << 8) | ((deviceNumber & 0x1Fu) << 3);
}

// The halves of a 64-bit address, as the log lines print them.
inline uint32_t HighHalf(uint64_t value) {
    return static_cast<uint32_t>(value >> 32);
}
inline uint32_t LowHalf(uint64_t value) {
    return static_cast<uint32_t>(value);
}

// A whole-dword read-modify-write of a register pair whose upper half is a status register
// writes the status half as 0: its event bits are write-one-to-clear, so writing them back as
// read would clear events that belong to the system's own PCI driver (presence detect
// changed, link state changed, errors). A 0 there changes nothing.
inline uint32_t ControlHalf(uint32_t value) {
    return value & 0xFFFFu;
}

// Address of a function in the enhanced configuration window (buses 0 to 63 only).
inline uint64_t EcamAddress(uint64_t ecamBase, uint32_t pfa) {
    return ecamBase + ((static_cast<uint64_t>(pfa) << 12) & 0x3FFF000u);
}

}  // namespace corvax

#endif  // CORVAX_REGISTRY_H
