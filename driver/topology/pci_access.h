// The driver's only path to hardware: configuration dwords through the configuration ports,
// configuration headers through the enhanced window (or the ports), and physical memory through
// one-page mappings made and released within each access.
#ifndef CORVAX_PCI_ACCESS_H
#define CORVAX_PCI_ACCESS_H

#include <stdint.h>

#include "driver/topology/registry.h"

namespace corvax {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kStandardHeaderSize = 64;  // the type 0 header, before any capability
constexpr uint32_t kIntelVendorId = 0x8086;
constexpr uint8_t kMsixCapabilityId = 0x11;
constexpr uint8_t kPcieCapabilityId = 0x10;

// The record of one live mapping; all zero when nothing is mapped.
struct MemoryMapping {
    void* ViewAddress;  // view base + the descriptor list's byte offset
    void* IoAddress;    // the I/O-space mapping
    void* Mdl;          // descriptor list of the I/O-space mapping
    uint32_t Size;
};

// Configuration address dword of mechanism #1.
inline uint32_t ConfigAddress(uint32_t pfa, uint32_t offset) {
    return 0x80000000u | ((pfa << 8) & 0xFFFF00u) | (offset & 0xFCu);
}

uint32_t PciReadConfigUlong(uint32_t pfa, uint32_t offset);
void PciWriteConfigUlong(uint32_t pfa, uint32_t offset, uint32_t value);

// Reads the host bridge's window base at load and decides whether the window is trusted.
void PciInitializeEcam(DeviceExtension* extension);

// Header block of a drive slot: through the window when the slot has a window address the
// driver may trust, through the ports otherwise. False only for a null slot or buffer; a
// window that cannot be mapped leaves the destination as it was, and *copied (when given)
// tells whether the bytes arrived.
bool PciReadConfigHeader(const DeviceExtension* extension, const DriveSlot* slot,
                         uint8_t* destination, uint32_t length, bool* copied = nullptr);
bool PciWriteConfigHeader(const DeviceExtension* extension, const DriveSlot* slot,
                          const uint8_t* source, uint32_t length, bool* copied = nullptr);
// Offset of the first capability with that ID in a 256-byte header, or 0. The walk is bounded:
// no more entries than a header can hold; it ends at an entry whose ID and next pointer would
// lie past the buffer, and a match whose first two dwords would is no match.
uint32_t FindCapability(const uint8_t* header, uint8_t capabilityId);

// Offset of the first capability with that ID in a function's list, walked through the
// configuration ports (bounded as above); 0 when it has none.
uint32_t PciFindCapabilityThroughPorts(uint32_t pfa, uint8_t capabilityId);

// Finds the MSI-X capability and stores its Table Offset/BIR dword in MsiTableOffset.
bool PciFindMsixCapability(const DeviceExtension* extension, DriveSlot* slot);

void* PciMapMemory(MemoryMapping* mapping, uint64_t physicalAddress, uint32_t size);
void PciUnmapMemory(MemoryMapping* mapping);

// The 256 bytes that start at a physical address (one or two pages); true when all of them
// were read from the device.
bool PciReadMemoryPage(uint64_t physicalAddress, uint8_t* destination);
uint32_t PciReadMemoryUlong(uint64_t physicalAddress);
void PciWriteMemoryUlong(uint64_t physicalAddress, uint32_t value);

}  // namespace corvax

#endif  // CORVAX_PCI_ACCESS_H
