// The PEX 8748's secondary path (register 0x208 of the two blocks behind its BAR0) and the
// port bitmap of the 8618 and 8732.
#include "driver/topology/plx8748.h"

#include "driver/topology/pci_access.h"
#include "driver/topology/placement.h"

namespace corvax {

namespace {

constexpr uint32_t kMemoryReadAttempts = 5;
constexpr uint64_t kFirstBlockOffset = 0x8000;
constexpr uint64_t kSecondaryPathRegister = 0x208;
constexpr uint32_t kSecondaryPathBits = 0xF;

enum class PathChange { Enable, Disable };

// One block's read-modify-write of the secondary-path register. value receives what was read,
// which the caller's line shows; false (and nothing written) when the block never answered.
bool ChangeBlock(uint64_t registerAddress, PathChange change, uint32_t* value) {
    if (!ReadMemoryUlongRetry(registerAddress, value)) {
        return false;
    }
    const uint32_t newValue = change == PathChange::Enable ? (*value & ~kSecondaryPathBits)
                                                           : (*value | kSecondaryPathBits);
    PciWriteMemoryUlong(registerAddress, newValue);
    return true;
}

// Whether the update found blocks to reach. Another model has none (both addresses 0). And the
// update derives the addresses from BAR0 without looking at it, so a switch whose BAR0 was
// never assigned arrives here with blocks at 0x8000 and 0x10000: ordinary RAM, where a read
// answers and the write would land. Such a switch has no reachable secondary path.
bool BlocksAssigned(const PlxBridge* bridge) {
    const bool none = bridge->pBdgSecAddr1 == 0 && bridge->pBdgSecAddr2 == 0;
    return !none && !(bridge->pBdgSecAddr1 == kFirstBlockOffset &&
                      bridge->pBdgSecAddr2 == 2 * kFirstBlockOffset);
}

// Whether the switch's BAR0 still puts the blocks where the update recorded them: the upstream
// port still answers as the switch of the record, with memory decoding on, and its BAR0 is a
// 32-bit memory BAR (or a 64-bit one whose upper half is 0: the recorded addresses are 32-bit)
// whose base + 0x8000 is the recorded SEC1. The system's PCI driver may have moved BAR0 since
// the update (a rebalance), and the old range may now belong to another device: a write there
// would change that device's registers, while the switch at its new place is never reached.
bool BlocksInPlace(const PlxBridge* bridge) {
    const uint32_t up = bridge->bdgPFA;
    const uint32_t command = PciReadConfigUlong(up, 0x04);
    const uint32_t bar = PciReadConfigUlong(up, kFirstBar);
    const uint32_t type = bar & (kBarIo | kBarTypeMask);
    const bool placed =
        PciReadConfigUlong(up, 0x00) == bridge->pciID && (command & kCommandMemorySpace) != 0 &&
        (type == 0 || (type == kBarType64 && PciReadConfigUlong(up, kFirstBar + 4) == 0));
    const uint64_t base = bar & 0xFFFFFFF0u;
    if (placed && base != 0 && base + kFirstBlockOffset == bridge->pBdgSecAddr1 &&
        base + 2 * kFirstBlockOffset == bridge->pBdgSecAddr2) {
        return true;
    }
    KernDebugPrint(
        "Corvax2 : PLX8748 Bridge moved (PFA:0x%04X,BAR0:0x%08X,Command:0x%04X), SEC1/SEC2 not "
        "touched\n",
        bridge->bdgPFA, bar, command & 0xFFFFu);
    return false;
}

// The line of each direction and block, SEC1 first.
const char* const kPathLines[2][2] = {
    {"Corvax2 : PLX8748 Bridge enabled (SEC1=>PFA:0x%04X,memAddr:0x%08X%08X,regData:0x%08X\n",
     "Corvax2 : PLX8748 Bridge enabled (SEC2=>PFA:0x%04X,memAddr:0x%08X%08X,regData:0x%08X\n"},
    {"Corvax2 : PLX8748 Bridge disabled (SEC1=>PFA:0x%04X,memAddr:0x%08X%08X,regData:0x%08X\n",
     "Corvax2 : PLX8748 Bridge disabled (SEC2=>PFA:0x%04X,memAddr:0x%08X%08X,regData:0x%08X\n"},
};

// Changes the register of SEC1, then of SEC2, logging each with the value read; false when a
// block that is there never answered. A zero address means the update found no block (not
// an 8748): no access, no line.
bool ChangeBothBlocks(const PlxBridge* bridge, PathChange change) {
    const uint64_t blocks[2] = {bridge->pBdgSecAddr1, bridge->pBdgSecAddr2};
    bool ok = true;
    for (int b = 0; b < 2; ++b) {
        if (blocks[b] == 0) {
            continue;
        }
        const uint64_t address = blocks[b] + kSecondaryPathRegister;
        uint32_t value = kNoAnswer;
        ok = ChangeBlock(address, change, &value) && ok;
        KernDebugPrint(kPathLines[static_cast<int>(change)][b], bridge->bdgPFA, HighHalf(address),
                       LowHalf(address), value);
    }
    return ok;
}

}  // namespace

bool ReadMemoryUlongRetry(uint64_t physicalAddress, uint32_t* value) {
    uint32_t result = PciReadMemoryUlong(physicalAddress);
    for (uint32_t reads = 1; result == kNoAnswer && reads < kMemoryReadAttempts; ++reads) {
        result = PciReadMemoryUlong(physicalAddress);
    }
    if (value != nullptr) {
        *value = result;
    }
    return result != kNoAnswer;
}

bool Plx8748EnableBridge(const PlxBridge* bridge) {
    if (bridge == nullptr) {
        return false;
    }
    // No blocks at the update: nothing to reach, and no failure. Blocks that moved since: the
    // enable fails, so the caller learns that the switch needs an update.
    if (!BlocksAssigned(bridge)) {
        return true;
    }
    return BlocksInPlace(bridge) && ChangeBothBlocks(bridge, PathChange::Enable);
}

void Plx8748DisableBridge(const PlxBridge* bridge) {
    // A block that never answers is logged with its all-ones and left alone; the disable has
    // nobody to report it to.
    if (bridge != nullptr && BlocksAssigned(bridge) && BlocksInPlace(bridge)) {
        ChangeBothBlocks(bridge, PathChange::Disable);
    }
}

uint32_t PlxGetPortBitmap(const PlxBridge* bridge) {
    if (bridge == nullptr) {
        return 0;
    }
    uint32_t slots = 0;
    if (bridge->pciID == kPlx8618Id) {
        slots = 12;
    } else if (bridge->pciID == kPlx8732Id) {
        slots = 4;
    } else {
        // The 8748 and a free record have no bitmap: nothing is asked.
        return 0;
    }
    uint32_t bitmap = 0;
    for (uint32_t i = 0; i < slots; ++i) {
        const uint32_t pfa = bridge->OriginalSlot[i].pciPFA;
        const uint32_t value = PciReadConfigUlong(pfa, 0x00);
        KernDebugPrint("Corvax2 : pfa = 0x%08X, value=0x%08X\n", pfa, value);
        if (value != 0 && IdAnswers(value)) {
            bitmap |= 1u << i;
        }
    }
    return bitmap;
}

}  // namespace corvax
