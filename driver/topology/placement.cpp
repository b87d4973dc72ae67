// BAR0 as the function has it, the windows of the bridges above a switch slot, and whether a
// range reaches the slot's drive through them.
#include "driver/topology/placement.h"

#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/port_control.h"

namespace corvax {

namespace {

constexpr uint32_t kBusNumbers = 0x18;
constexpr uint32_t kIoWindow = 0x1C;  // I/O base and limit in the low half
constexpr uint32_t kMemoryWindow = 0x20;
constexpr uint32_t kPrefetchWindow = 0x24;
constexpr uint32_t kPrefetchBaseUpper = 0x28;
constexpr uint32_t kPrefetchLimitUpper = 0x2C;
constexpr uint32_t kIoUpper = 0x30;
constexpr uint32_t kWindow64 = 0x1;  // the window registers' capability field: 64 (or 32) bits

// A range inside [base, limit], without overflow; an empty range is no placement.
bool Inside(uint64_t start, uint64_t size, uint64_t base, uint64_t limit) {
    return size != 0 && base <= limit && start >= base && start <= limit &&
           size - 1 <= limit - start;
}

}  // namespace

uint64_t HeaderBar0(const uint8_t* header) {
    uint32_t low;
    uint32_t high;
    memcpy(&low, header + kFirstBar, 4);
    memcpy(&high, header + kFirstBar + 4, 4);
    if ((low & kBarIo) != 0) {
        return 0;
    }
    const uint64_t upper = (low & kBarTypeMask) == kBarType64 ? high : 0;
    return (upper << 32) | (low & 0xFFFFFFF0u);
}

uint64_t PciReadBar0(uint32_t pfa) {
    uint8_t header[kFirstBar + 8];
    const uint32_t low = PciReadConfigUlong(pfa, kFirstBar);
    // The upper dword is asked only when it is BAR0's: a 32-bit BAR0 leaves BAR1 unread.
    const uint32_t high =
        (low & (kBarIo | kBarTypeMask)) == kBarType64 ? PciReadConfigUlong(pfa, kFirstBar + 4) : 0;
    memcpy(header + kFirstBar, &low, 4);
    memcpy(header + kFirstBar + 4, &high, 4);
    return HeaderBar0(header);
}

void ReadBridgeWindows(uint32_t pfa, BridgeWindows* w) {
    const uint32_t command = PciReadConfigUlong(pfa, 0x04);
    w->memoryEnabled = (command & kCommandMemorySpace) != 0;
    w->ioEnabled = (command & kCommandIoSpace) != 0;

    // Memory: address bits 31:20 in bits 15:4 of base and limit; the limit's low 20 bits are ones.
    const uint32_t memory = PciReadConfigUlong(pfa, kMemoryWindow);
    w->memoryBase = static_cast<uint64_t>(memory & 0xFFF0u) << 16;
    w->memoryLimit = (memory & 0xFFF00000u) | 0xFFFFFu;

    // Prefetchable: the same, with the upper halves at 0x28 and 0x2C when the window is 64-bit.
    const uint32_t prefetch = PciReadConfigUlong(pfa, kPrefetchWindow);
    const bool wide = (prefetch & 0xFu) == kWindow64;
    const uint64_t baseUpper = wide ? PciReadConfigUlong(pfa, kPrefetchBaseUpper) : 0;
    const uint64_t limitUpper = wide ? PciReadConfigUlong(pfa, kPrefetchLimitUpper) : 0;
    w->prefetchBase = (baseUpper << 32) | (static_cast<uint64_t>(prefetch & 0xFFF0u) << 16);
    w->prefetchLimit = (limitUpper << 32) | (prefetch & 0xFFF00000u) | 0xFFFFFu;

    // I/O: address bits 15:12 in bits 7:4, the upper 16 bits at 0x30 when the window is 32-bit.
    const uint32_t io = PciReadConfigUlong(pfa, kIoWindow);
    const uint32_t upper = (io & 0xFu) == kWindow64 ? PciReadConfigUlong(pfa, kIoUpper) : 0;
    w->ioBase = ((upper & 0xFFFFu) << 16) | ((io & 0xF0u) << 8);
    w->ioLimit = (upper & 0xFFFF0000u) | ((io & 0xF000u)) | 0xFFFu;
}

bool ReadSlotPath(const PlxBridge& bridge, const DriveSlot& slot, SlotPath* path) {
    const uint32_t up = bridge.bdgPFA;
    if (PciReadConfigUlong(up, 0x00) != bridge.pciID ||
        ((PciReadConfigUlong(up, kBusNumbers) >> 8) & 0xFFu) != (bridge.SecondaryBus & 0xFFu)) {
        return false;
    }
    path->portPfa = PortPfa(&bridge, slot.bdgDeviceId);
    if (!PlxPortAnswers(path->portPfa)) {
        return false;
    }
    const uint32_t buses = PciReadConfigUlong(path->portPfa, kBusNumbers);
    const uint32_t driveBus = (slot.pciPFA >> 8) & 0xFFu;
    if (((buses >> 8) & 0xFFu) != driveBus || ((buses >> 16) & 0xFFu) < driveBus) {
        return false;
    }
    ReadBridgeWindows(up, &path->upstream);
    ReadBridgeWindows(path->portPfa, &path->port);
    return true;
}

namespace {

bool BridgeCovers(const BridgeWindows& w, uint64_t base, uint64_t size, bool io) {
    if (io) {
        return w.ioEnabled && Inside(base, size, w.ioBase, w.ioLimit);
    }
    return w.memoryEnabled && (Inside(base, size, w.memoryBase, w.memoryLimit) ||
                               Inside(base, size, w.prefetchBase, w.prefetchLimit));
}

}  // namespace

bool PathCovers(const SlotPath& path, uint64_t base, uint64_t size, bool io) {
    return BridgeCovers(path.upstream, base, size, io) && BridgeCovers(path.port, base, size, io);
}

}  // namespace corvax
