// Where memory reaches a function: its BARs as they are programmed now, and the windows of the
// bridges above it. The machine moves under the driver (the system's PCI driver rebalances BARs
// and bridge windows whenever a device comes or a resource request changes), so an address the
// last update recorded is held against the hardware as it stands right before anything is
// written through it.
#ifndef CORVAX_PLACEMENT_H
#define CORVAX_PLACEMENT_H

#include <stdint.h>

#include "driver/topology/registry.h"

namespace corvax {

constexpr uint32_t kBarCount = 6;  // BAR0 to BAR5 of a type 0 header, at 0x10 to 0x24
constexpr uint32_t kFirstBar = 0x10;
constexpr uint32_t kRomBar = 0x30;      // Expansion ROM Base Address of a type 0 header
constexpr uint32_t kBarIo = 0x1;        // bit 0: an I/O BAR
constexpr uint32_t kBarTypeMask = 0x6;  // bits 2:1 of a memory BAR
constexpr uint32_t kBarType64 = 0x4;    // 10b: 64-bit, BAR n + 1 is the upper half
constexpr uint32_t kBarPrefetchable = 0x8;
constexpr uint32_t kRomEnable = 0x1;
constexpr uint16_t kCommandIoSpace = 0x1;
constexpr uint16_t kCommandMemorySpace = 0x2;

// BAR0 of a function as a memory address: flag bits cleared, the upper half from the next dword
// only when BAR0 is a 64-bit memory BAR (otherwise that dword is BAR1, another BAR). An I/O
// BAR0 has no memory address: 0.
uint64_t PciReadBar0(uint32_t pfa);
// The same from a header already read (at least 0x18 bytes).
uint64_t HeaderBar0(const uint8_t* header);

// What a bridge forwards downstream, as its registers read now. A closed window has base above
// limit.
struct BridgeWindows {
    bool memoryEnabled;  // Memory Space Enable: nothing is forwarded without it
    bool ioEnabled;
    uint64_t memoryBase;
    uint64_t memoryLimit;
    uint64_t prefetchBase;
    uint64_t prefetchLimit;
    uint32_t ioBase;
    uint32_t ioLimit;
};
void ReadBridgeWindows(uint32_t pfa, BridgeWindows* windows);

// The two bridges between the host and the drive of a switch slot, read now: the switch's
// upstream port (still the switch of the record, its internal bus unchanged) and the slot's
// downstream port (still a port of the switch, leading to the bus the slot recorded). False
// when either is no longer where the record says.
struct SlotPath {
    uint32_t portPfa;
    BridgeWindows upstream;
    BridgeWindows port;
};
bool ReadSlotPath(const PlxBridge& bridge, const DriveSlot& slot, SlotPath* path);

// Whether [base, base + size) reaches the drive through both bridges: memory inside the memory
// window or the prefetchable window of each, I/O inside the I/O window of each, with the
// bridge's decoding of that kind on.
bool PathCovers(const SlotPath& path, uint64_t base, uint64_t size, bool io);

}  // namespace corvax

#endif  // CORVAX_PLACEMENT_H
