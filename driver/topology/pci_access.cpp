// Configuration-space and physical-memory access.
#include "driver/topology/pci_access.h"

#include <string.h>

namespace corvax {

namespace {

constexpr uint16_t kConfigAddressPort = 0xCF8;
constexpr uint16_t kConfigDataPort = 0xCFC;

constexpr uint8_t kCapabilitiesPointer = 0x34;
constexpr uint64_t kFourGiB = 0x100000000ull;
constexpr uint64_t kEcamWindowSize = 0x4000000;  // buses 0 to 63
// A capability list in a 256-byte header holds at most 48 entries of 4 bytes above 0x40; a
// longer walk can only be a loop.
constexpr uint32_t kMaxCapabilities = 48;

// The window carries a slot's header only when the driver trusts it and the slot's bus is one
// the 64 MiB window can name; for bus 64 and above the address would be another function's.
bool UseWindow(const DeviceExtension* extension, const DriveSlot* slot) {
    if (slot->PciConfigAddr == 0 || extension == nullptr || !extension->fgEcamTrusted) {
        return false;
    }
    const uint32_t bus = (slot->pciPFA >> 8) & 0xFFu;
    return bus < 64 && HighHalf(slot->PciConfigAddr) == 0 &&
           slot->PciConfigAddr == EcamAddress(extension->EcamBase, slot->pciPFA);
}

// A test build switches the window checks off to show that the RAM rule holds on its own.
#ifdef CORVAX_TEST_WITHOUT_WINDOW_CHECKS
constexpr bool kWindowChecks = false;
#else
constexpr bool kWindowChecks = true;
#endif

// The host bridge's window register (64-bit, at 0x60) as Intel's client parts define it:
// enable in bit 0, the length in bits 3:1, bits 11:4 reserved as 0, the base aligned to the
// length.
constexpr uint32_t kWindowRegister = 0x60;
constexpr uint32_t kWindowRegisterHigh = 0x64;
constexpr uint32_t kWindowEnable = 0x1;
constexpr uint32_t kWindowReservedBits = 0xFF0;

// Bytes the window decodes for a length field; 0 for the encodings no part defines.
uint64_t WindowDecodeLength(uint32_t windowRegister) {
    switch ((windowRegister >> 1) & 7u) {
        case 0:
            return 256ull << 20;
        case 1:
            return 128ull << 20;
        case 2:
            return 64ull << 20;
        case 3:
            return 512ull << 20;
        case 4:
            return 1ull << 30;
        default:
            return 0;
    }
}

bool HasWindowRegisterForm(uint32_t windowRegister) {
    const uint64_t length = WindowDecodeLength(windowRegister);
    const uint64_t base = windowRegister & 0xFFFFF000u;
    return (windowRegister & kWindowEnable) != 0 && (windowRegister & kWindowReservedBits) == 0 &&
           length != 0 && (base & (length - 1)) == 0;
}

// Whether the page at base answers with the host bridge's own identifiers, as bus 0, device 0,
// function 0 of a window that really decodes there must. One page mapped and released; no line
// is logged, so the load's log is the same whichever way this goes.
bool WindowAnswersForHostBridge(uint64_t base, uint32_t hostBridgeId) {
    MemoryMapping mapping = {};
    const volatile uint8_t* view =
        static_cast<const volatile uint8_t*>(PciMapMemory(&mapping, base, kPageSize));
    if (view == nullptr) {
        return false;
    }
    const uint32_t id = KernReadRegisterUlong(view);
    PciUnmapMemory(&mapping);
    return id == hostBridgeId;
}

// Decides whether the enhanced window may carry header accesses. Each test stands for a machine
// where the window is not where dword 0x60 seems to say:
// - another vendor's host bridge: dword 0x60 is some other register;
// - a base of 0, or a window reaching past 4 GiB (a base read as all-ones): the header accesses
//   take only the low half of the address and would wrap round to low memory;
// - a register without the form of an enabled window register: on Xeon Scalable servers 0:0.0
//   is a DMI port whose dword 0x60 is an MSI capability header (0x01029005), and its "base"
//   is the kernel's own memory;
// - a high half that is not 0: the window lies above 4 GiB and its low half names RAM;
// - a window that does not answer with the host bridge's identifiers: firmware that leaves
//   the register enabled while the window decodes somewhere else, or nowhere.
uint8_t TrustWindow(uint64_t base, uint32_t windowRegister, uint32_t hostBridgeId) {
    if ((hostBridgeId & 0xFFFFu) != kIntelVendorId || base == 0 ||
        base > kFourGiB - kEcamWindowSize) {
        return 0;
    }
    if (kWindowChecks && (!HasWindowRegisterForm(windowRegister) ||
                          PciReadConfigUlong(0, kWindowRegisterHigh) != 0 ||
                          !WindowAnswersForHostBridge(base, hostBridgeId))) {
        return 0;
    }
    return 1;
}

// Whether [address, address + size) may overlap the system's RAM. Every address the driver
// maps comes from a register some device reported, and a wrong or lying register must not aim
// a read or a write at the system's memory. Ranges that could not be taken prove nothing, so
// then every address counts as RAM.
bool TouchesSystemRam(uint64_t address, uint32_t size) {
    uint32_t count = 0;
    const KernPhysicalRange* ranges = KernSystemRamRanges(&count);
    if (ranges == nullptr || address + size < address) {
        return true;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const KernPhysicalRange& r = ranges[i];
        const bool startsInside = address >= r.Base && address - r.Base < r.Length;
        const bool reachesInto = r.Base >= address && r.Base - address < size;
        if (startsInside || reachesInto) {
            return true;
        }
    }
    return false;
}

// Port path length: whole dwords, at most the 256 bytes the ports reach.
uint32_t PortPathLength(uint32_t length) {
    return length > kHeaderSize ? kHeaderSize : (length & ~3u);
}

uint32_t WindowLength(uint32_t length) {
    return length < kPageSize ? length : kPageSize;
}

void ReleaseMapping(void* view, void* mdl, void* io, uint32_t size) {
    if (view != nullptr) {
        KernUnmapLockedPages(view, mdl);
    }
    if (mdl != nullptr) {
        KernFreeMdl(mdl);
    }
#ifndef CORVAX_FAULT_MAPPING_LEFT_BEHIND
    if (io != nullptr) {
        KernUnmapIoSpace(io, size);
    }
#endif
}

}  // namespace

uint32_t PciReadConfigUlong(uint32_t pfa, uint32_t offset) {
    // The address and data accesses form one pair that no other configuration access may split.
    const uint64_t state = KernConfigPortAcquire();
    KernWritePortUlong(kConfigAddressPort, ConfigAddress(pfa, offset));
    const uint32_t value = KernReadPortUlong(kConfigDataPort);
    KernConfigPortRelease(state);
    return value;
}

void PciWriteConfigUlong(uint32_t pfa, uint32_t offset, uint32_t value) {
    const uint64_t state = KernConfigPortAcquire();
    KernWritePortUlong(kConfigAddressPort, ConfigAddress(pfa, offset));
    KernWritePortUlong(kConfigDataPort, value);
    KernConfigPortRelease(state);
}

void PciInitializeEcam(DeviceExtension* extension) {
    const uint32_t windowRegister = PciReadConfigUlong(0, kWindowRegister);
    extension->EcamBase = windowRegister & 0xFFFFF000u;
    KernDebugPrint("Corvax2 : Pci configuration memory start address:0x%08X\n",
                   LowHalf(extension->EcamBase));
    const uint32_t hostBridgeId = PciReadConfigUlong(0, 0x00);
    extension->fgEcamTrusted = TrustWindow(extension->EcamBase, windowRegister, hostBridgeId);
}

bool PciReadConfigHeader(const DeviceExtension* extension, const DriveSlot* slot,
                         uint8_t* destination, uint32_t length, bool* copied) {
    if (copied != nullptr) {
        *copied = false;
    }
    if (slot == nullptr || destination == nullptr) {
        return false;
    }
    if (UseWindow(extension, slot)) {
        const uint32_t n = WindowLength(length);
        if (n == 0) {
            return true;
        }
        MemoryMapping mapping = {};
        const volatile uint8_t* view = static_cast<const volatile uint8_t*>(
            PciMapMemory(&mapping, LowHalf(slot->PciConfigAddr), kPageSize));
        if (view != nullptr) {
            for (uint32_t i = 0; i < n; ++i) {
                destination[i] = KernReadRegisterUchar(view + i);
            }
            PciUnmapMemory(&mapping);
            if (copied != nullptr) {
                *copied = true;
            }
        }
        return true;
    }
    const uint32_t n = PortPathLength(length);
    for (uint32_t offset = 0; offset < n; offset += 4) {
        const uint32_t value = PciReadConfigUlong(slot->pciPFA, offset);
        memcpy(destination + offset, &value, 4);
    }
    if (copied != nullptr) {
        *copied = true;
    }
    return true;
}

namespace {

constexpr uint32_t kCommandRegister = 0x04;
// The BAR dwords of a type 0 header and its expansion ROM BAR.
constexpr uint32_t kBarRegisters[] = {0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x30};

uint32_t SourceDword(const uint8_t* source, uint32_t offset) {
    uint32_t value;
    memcpy(&value, source + offset, 4);
    return value;
}

// Whether every BAR (and the ROM BAR) the source gave reads back as written, type bits
// included. A drive whose BAR is larger than the saved address's alignment drops the low
// address bits, and one of another kind keeps other type bits or has no such BAR: either would
// decode somewhere else, over another device, once Command goes back. read(offset) reads a
// dword of the drive through the path being written.
template <typename Read>
bool BarsAsWritten(const uint8_t* source, uint32_t n, Read read) {
    for (uint32_t reg : kBarRegisters) {
        if (reg + 4 <= n && read(reg) != SourceDword(source, reg)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool PciWriteConfigHeader(const DeviceExtension* extension, const DriveSlot* slot,
                          const uint8_t* source, uint32_t length, bool* copied) {
    if (copied != nullptr) {
        *copied = false;
    }
    if (slot == nullptr || source == nullptr) {
        return false;
    }
    // The Command register goes last, so the drive decodes nothing until its BARs are back;
    // and only when they read back as saved. Otherwise Command stays as it is (off, from the
    // reset) and the BARs go back to 0: a drive without an address is one the table names so.
    if (UseWindow(extension, slot)) {
        const uint32_t n = WindowLength(length);
        if (n == 0) {
            return true;
        }
        MemoryMapping mapping = {};
        volatile uint8_t* view = static_cast<volatile uint8_t*>(
            PciMapMemory(&mapping, LowHalf(slot->PciConfigAddr), kPageSize));
        if (view != nullptr) {
            // Byte by byte from offset 0 up, each register by its own writes.
            for (uint32_t i = 0; i < n; ++i) {
                if (i != kCommandRegister && i != kCommandRegister + 1) {
                    KernWriteRegisterUchar(view + i, source[i]);
                }
            }
            const auto read = [view](uint32_t reg) { return KernReadRegisterUlong(view + reg); };
            if (BarsAsWritten(source, n, read)) {
                for (uint32_t i = kCommandRegister; i < kCommandRegister + 2 && i < n; ++i) {
                    KernWriteRegisterUchar(view + i, source[i]);
                }
            } else {
                for (uint32_t reg : kBarRegisters) {
                    if (reg + 4 <= n) {
                        KernWriteRegisterUlong(view + reg, 0);
                    }
                }
            }
            PciUnmapMemory(&mapping);
            if (copied != nullptr) {
                *copied = true;
            }
        }
        return true;
    }
    const uint32_t n = PortPathLength(length);
    for (uint32_t offset = 0; offset < n; offset += 4) {
        if (offset != kCommandRegister) {
            PciWriteConfigUlong(slot->pciPFA, offset, SourceDword(source, offset));
        }
    }
    if (n > kCommandRegister) {
        const uint32_t pfa = slot->pciPFA;
        if (BarsAsWritten(source, n,
                          [pfa](uint32_t reg) { return PciReadConfigUlong(pfa, reg); })) {
            PciWriteConfigUlong(pfa, kCommandRegister, SourceDword(source, kCommandRegister));
        } else {
            for (uint32_t reg : kBarRegisters) {
                if (reg + 4 <= n) {
                    PciWriteConfigUlong(pfa, reg, 0);
                }
            }
        }
    }
    if (copied != nullptr) {
        *copied = true;
    }
    return true;
}

uint32_t FindCapability(const uint8_t* header, uint8_t capabilityId) {
    uint32_t p = header[kCapabilitiesPointer];
    for (uint32_t visited = 0; p != 0 && visited < kMaxCapabilities; ++visited) {
        // An entry's ID and next pointer must lie in the header; a legal entry near its end
        // (at 0xFC, say) is followed like any other.
        if (p + 2 > kHeaderSize) {
            return 0;
        }
        if (header[p] == capabilityId) {
            // The caller reads the entry's first two dwords (the MSI-X table's place).
            return p + 8 <= kHeaderSize ? p : 0;
        }
        p = header[p + 1];
    }
    return 0;
}

uint32_t PciFindCapabilityThroughPorts(uint32_t pfa, uint8_t capabilityId) {
    // The pointers' two low bits are reserved; an entry lies on a dword above the standard
    // header. A function that does not answer gives pointer 0xFC and ID 0xFF.
    uint32_t p = PciReadConfigUlong(pfa, kCapabilitiesPointer) & 0xFCu;
    for (uint32_t visited = 0; p >= kStandardHeaderSize && visited < kMaxCapabilities; ++visited) {
        const uint32_t entry = PciReadConfigUlong(pfa, p);
        if ((entry & 0xFFu) == capabilityId) {
            return p;
        }
        p = (entry >> 8) & 0xFCu;
    }
    return 0;
}

bool PciFindMsixCapability(const DeviceExtension* extension, DriveSlot* slot) {
    if (slot == nullptr) {
        return false;
    }
    // Zeroed first: a window mapping that fails leaves the buffer as it was, and a zero
    // capabilities pointer then ends the walk at once instead of following stale bytes.
    uint8_t header[kHeaderSize];
    memset(header, 0, sizeof(header));
    if (!PciReadConfigHeader(extension, slot, header, kHeaderSize)) {
        return false;
    }
    const uint32_t p = FindCapability(header, kMsixCapabilityId);
    if (p == 0) {
        return false;
    }
    uint32_t tableOffset;
    memcpy(&tableOffset, header + p + 4, 4);
    slot->MsiTableOffset = tableOffset;
    return true;
}

void* PciMapMemory(MemoryMapping* mapping, uint64_t physicalAddress, uint32_t size) {
    // RAM is refused as a failed I/O-space mapping is: nothing acquired, a null result.
    if (size == 0 || TouchesSystemRam(physicalAddress, size)) {
        return nullptr;
    }
    void* io = KernMapIoSpace(physicalAddress, size);
    if (io == nullptr) {
        return nullptr;
    }
    void* mdl = KernAllocateMdl(io, size);
    if (mdl == nullptr) {
        ReleaseMapping(nullptr, nullptr, io, size);
        return nullptr;
    }
    KernBuildMdlForNonPagedPool(mdl);
    // A kernel-mode view: device memory is never exposed in the calling process, and with the
    // bug check off a failure comes back as null rather than as an exception.
    void* view = KernMapLockedPages(mdl);
    if (view == nullptr) {
        // No view: the I/O space goes first, then the list that described it.
        KernUnmapIoSpace(io, size);
        KernFreeMdl(mdl);
        return nullptr;
    }
    mapping->ViewAddress = static_cast<uint8_t*>(view) + KernMdlByteOffset(mdl);
    mapping->IoAddress = io;
    mapping->Mdl = mdl;
    mapping->Size = size;
    return mapping->ViewAddress;
}

void PciUnmapMemory(MemoryMapping* mapping) {
    ReleaseMapping(mapping->ViewAddress, mapping->Mdl, mapping->IoAddress, mapping->Size);
    mapping->ViewAddress = nullptr;
    mapping->IoAddress = nullptr;
    mapping->Mdl = nullptr;
    mapping->Size = 0;
}

namespace {

// The two forms of the page reader's line: the whole block in one page, or one part of a block
// that spans two (this form has a blank after the comma).
const char kPageLine[] =
    "PciIo : PciReadMemoryPage memAddr=%08X%08X => pVirtualAddr=%p,offset=%d, Size=%d\n";
const char kPartLine[] =
    "PciIo : PciReadMemoryPage memAddr=%08X%08X => pVirtualAddr=%p, offset=%d, Size=%d\n";

// Maps one page, logs it and copies count bytes from off into destination; false, with nothing
// logged or copied, when the page cannot be mapped.
bool CopyFromPage(uint64_t page, uint32_t off, uint32_t count, uint8_t* destination,
                  const char* line) {
    MemoryMapping mapping = {};
    const volatile uint8_t* view =
        static_cast<const volatile uint8_t*>(PciMapMemory(&mapping, page, kPageSize));
    if (view == nullptr) {
        return false;
    }
    KernDebugPrint(line, HighHalf(page), LowHalf(page), const_cast<const uint8_t*>(view),
                   static_cast<int>(off), static_cast<int>(count));
    for (uint32_t i = 0; i < count; ++i) {
        destination[i] = KernReadRegisterUchar(view + off + i);
    }
    PciUnmapMemory(&mapping);
    return true;
}

}  // namespace

bool PciReadMemoryPage(uint64_t physicalAddress, uint8_t* destination) {
    const uint32_t off = static_cast<uint32_t>(physicalAddress & 0xFFFu);
    const uint64_t page = physicalAddress & ~static_cast<uint64_t>(0xFFFu);
    const uint32_t rem = kPageSize - off;
    if (rem >= kHeaderSize) {
        return CopyFromPage(page, off, kHeaderSize, destination, kPageLine);
    }
    if (!CopyFromPage(page, off, rem, destination, kPartLine)) {
        return false;
    }
    if (!CopyFromPage(page + kPageSize, 0, kHeaderSize - rem, destination + rem, kPartLine)) {
        // Half a table is no table: the caller gets what the bus says for no answer.
        KernDebugPrint("PciIo : PciReadMemoryPage fail\n");
        memset(destination, 0xFF, kHeaderSize);
        return false;
    }
    return true;
}

uint32_t PciReadMemoryUlong(uint64_t physicalAddress) {
    uint32_t result = kNoAnswer;
    const uint32_t off = static_cast<uint32_t>(physicalAddress & 0xFFFu);
    const uint64_t page = physicalAddress & ~static_cast<uint64_t>(0xFFFu);
    MemoryMapping mapping = {};
    const volatile uint8_t* dword = nullptr;
    const volatile uint8_t* view =
        static_cast<const volatile uint8_t*>(PciMapMemory(&mapping, page, kPageSize));
    if (view != nullptr) {
        dword = view + (off & ~3u);
        result = KernReadRegisterUlong(dword);
        PciUnmapMemory(&mapping);
    }
    KernDebugPrint("Brannock : PciReadMemoryUlong data=0x%08X, addr=0x%08X%08X(%p)\n", result,
                   HighHalf(page), LowHalf(page) + off, const_cast<const uint8_t*>(dword));
    return result;
}

void PciWriteMemoryUlong(uint64_t physicalAddress, uint32_t value) {
    const uint32_t off = static_cast<uint32_t>(physicalAddress & 0xFFFu);
    const uint64_t page = physicalAddress & ~static_cast<uint64_t>(0xFFFu);
    MemoryMapping mapping = {};
    volatile uint8_t* dword = nullptr;
    volatile uint8_t* view =
        static_cast<volatile uint8_t*>(PciMapMemory(&mapping, page, kPageSize));
    if (view != nullptr) {
        dword = view + (off & ~3u);
        KernWriteRegisterUlong(dword, value);
        PciUnmapMemory(&mapping);
    }
    KernDebugPrint("Brannock : PciWriteMemoryUlong data=0x%08X, addr=0x%08X%08X(%p)\n", value,
                   HighHalf(page), LowHalf(page) + off, const_cast<const uint8_t*>(dword));
}

}  // namespace corvax
