// Register layouts and side effects of the host bridge, the NVMe drive and the PLX switch.
#include "sim/pci/models.h"

#include "sim/pci/image.h"

#include <algorithm>

namespace sim {

namespace {

uint32_t Id(uint16_t vendor, uint16_t device) {
    return uint32_t{device} << 16 | vendor;
}

// Link Status: current speed in bits 3:0, negotiated width in 9:4, slot clock in 12, Data Link
// Layer Link Active in 13. A link on its way up is not "Link Training" for most of that time:
// the bit covers only the short Configuration and Recovery states, and real ports read it clear
// while no link is there (plx8749-downstream.txt), so the model leaves it clear.
uint32_t LinkStatus(bool up, unsigned speed, unsigned width) {
    const uint32_t slotClock = 0x1000;
    return up ? (0x2000 | slotClock | width << 4 | speed) : (slotClock | speed);
}

struct LinkShape {
    unsigned speed;  // 1 = 2.5 GT/s, 2 = 5 GT/s, 3 = 8 GT/s
    unsigned upWidth;
    unsigned downWidth;
};

LinkShape ShapeOf(SwitchModel model) {
    switch (model) {
        case SwitchModel::Plx8748:
            return {3, 16, 4};
        case SwitchModel::Plx8732:
            return {3, 8, 4};
        case SwitchModel::Plx8618:
            break;
    }
    return {2, 4, 1};
}

uint32_t Revision(SwitchModel model) {
    return model == SwitchModel::Plx8618 ? 0xBA : 0xCA;
}

// What the two kinds of switch port share: type 1 header, power management and MSI
// capabilities, then the PCI Express capability at 0x68 (the switch's fixed place). Values
// only: the write rules come from DeriveMasks, as for an image.
void BuildSwitchPort(ConfigSpace& c, SwitchModel model, uint32_t pcieCaps) {
    c.Set(reg::kId, Id(kPlxVendor, static_cast<uint16_t>(model)));
    c.Set(reg::kCommand, reg::kStatusCapList | 0x0006);
    c.Set(reg::kClass, 0x06040000 | Revision(model));
    c.Set(reg::kHeader, 0x00010000);
    c.Set(0x24, 0x00010001);  // prefetchable window, 64-bit capable
    c.Set(reg::kCapPointer, 0x40);
    c.Set(reg::kInterrupt, 0x00000100);
    c.Set(0x40, 0x00030001 | 0x48 << 8);              // power management, version 3
    c.Set(0x44, 0x00000008);                          // D0, No_Soft_Reset
    c.Set(0x48, 0x00800005 | reg::kSwitchPcie << 8);  // MSI, 64-bit
    c.Set(reg::kSwitchPcie, pcieCaps << 16 | 0x10);
    c.Set(0x6C, 0x00008004);  // Device Capabilities: 2048-byte payloads
}

// A switch port's registers: the image's when there is one, the model's own layout otherwise;
// the identifiers are always the model's (an image of a sister part can stand in).
void SwitchPortValues(ConfigSpace& c, SwitchModel model, uint32_t pcieCaps,
                      const std::shared_ptr<const RegisterImage>& image) {
    if (image) {
        LoadImage(c, *image);
        c.Set(reg::kId, Id(kPlxVendor, static_cast<uint16_t>(model)));
    } else {
        BuildSwitchPort(c, model, pcieCaps);
    }
}

}  // namespace

ConfigSpace MakeHostBridge(const HostBridgeDescription& hb) {
    ConfigSpace c;
    if (hb.image) {
        LoadImage(c, *hb.image);
    } else {
        c.Set(reg::kCommand, 0x20900006);
        c.Set(reg::kClass, 0x0600000A);
        c.Set(0x2C, Id(hb.vendor, hb.device));
    }
    c.Set(reg::kId, Id(hb.vendor, hb.device));
    c.Set(0x60, static_cast<uint32_t>(hb.ecam));
    c.Set(0x64, static_cast<uint32_t>(hb.ecam >> 32));
    return c;
}

ConfigSpace MakeFunction(const FunctionDescription& fn) {
    ConfigSpace c;
    if (fn.image) {
        LoadImage(c, *fn.image);
    }
    for (const auto& [offset, value] : fn.dwords) {
        c.Set(offset, value);
    }
    return c;
}

// ---------------------------------------------------------------------------------------------
// Bridge windows

BridgeWindows ForwardedWindows(const ConfigSpace& c) {
    return (c.Dword(reg::kCommand) & reg::kMemorySpace) != 0 ? ProgrammedWindows(c)
                                                             : BridgeWindows{};
}

BridgeWindows ProgrammedWindows(const ConfigSpace& c) {
    BridgeWindows w;
    const uint32_t memory = c.Dword(reg::kMemoryWindow);
    w.memory.base = uint64_t{memory & 0xFFF0u} << 16;
    w.memory.limit = (memory & 0xFFF00000u) | 0xFFFFFu;
    const uint32_t prefetch = c.Dword(reg::kPrefetchWindow);
    const bool wide = (prefetch & 0xFu) == 1;
    const uint64_t baseUpper = wide ? c.Dword(reg::kPrefetchWindow + 4) : 0;
    const uint64_t limitUpper = wide ? c.Dword(reg::kPrefetchWindow + 8) : 0;
    w.prefetchable.base = baseUpper << 32 | uint64_t{prefetch & 0xFFF0u} << 16;
    w.prefetchable.limit = limitUpper << 32 | (prefetch & 0xFFF00000u) | 0xFFFFFu;
    return w;
}

void ProgramWindows(ConfigSpace& c, const BridgeWindows& w) {
    // A closed window is written as base 0xFFF00000 and limit 0, as firmware leaves one.
    const Window closed;
    const Window& memory = w.memory.Open() ? w.memory : closed;
    const Window& prefetchable = w.prefetchable.Open() ? w.prefetchable : closed;
    c.Set(reg::kMemoryWindow, static_cast<uint32_t>((memory.base >> 16) & 0xFFF0u) |
                                  (static_cast<uint32_t>(memory.limit) & 0xFFF00000u));
    c.SetBits(reg::kPrefetchWindow, 0xFFF0FFF0u,
              static_cast<uint32_t>((prefetchable.base >> 16) & 0xFFF0u) |
                  (static_cast<uint32_t>(prefetchable.limit) & 0xFFF00000u));
    c.Set(reg::kPrefetchWindow + 4, static_cast<uint32_t>(prefetchable.base >> 32));
    c.Set(reg::kPrefetchWindow + 8, static_cast<uint32_t>(prefetchable.limit >> 32));
}

MemoryRange Clip(const MemoryRange& r, const Window& w) {
    MemoryRange out = r;
    out.size = 0;
    if (!w.Open() || r.size == 0) {
        return out;
    }
    const uint64_t last = r.base + (r.size - 1);
    const uint64_t start = std::max(r.base, w.base);
    const uint64_t end = std::min(last, w.limit);
    if (start <= end) {
        out.base = start;
        out.size = end - start + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// NVMe drive

namespace {
constexpr uint32_t kDriveRevision = 0x01;
constexpr uint32_t kDeviceControlReset = 0x2810;  // relaxed ordering, no snoop, 512-byte reads
constexpr uint32_t kEndpointLinkControl = 0x03CB;
// The model's own layout: PCI Express, then MSI-X.
constexpr unsigned kDrivePcie = reg::kDrivePcie;
constexpr unsigned kDriveMsix = reg::kDriveMsix;
}  // namespace

NvmeDrive::NvmeDrive(const DriveDescription& description) : description_(description) {
    Reset();
    SetLink(3, 4);
    if (caps_.pcie != 0) {
        // Max_Payload_Size may not exceed what Device Capabilities say the drive supports.
        const unsigned capability = caps_.pcie;
        config_.SetHook(capability + 8, [this, capability](uint32_t, uint32_t n, WriteSource src) {
            const uint32_t supported = config_.Dword(capability + 4) & 7;
            if (src == WriteSource::Software && rules_ != nullptr &&
                ((n & reg::kPayloadField) >> 5) > supported) {
                ++rules_->mpsOverCapability;
            }
        });
    }
}

void NvmeDrive::Reset() {
    const unsigned linkControl = caps_.pcie != 0 ? caps_.pcie + 0x10 : 0;
    const uint32_t linkStatus = linkControl != 0 ? config_.Dword(linkControl) & 0xFFFF0000 : 0;
    // The table first: the model's own layout places the PBA behind it.
    table_.assign(uint64_t{description_.msixVectors} * 16, 0);
    config_.Clear();
    Build();
    if (linkControl != 0) {
        config_.SetBits(linkControl, 0xFFFF0000, linkStatus);
    }
    for (unsigned i = 0; i < description_.msixVectors; ++i) {
        table_[i * 16 + 12] = reg::kMsixVectorMasked;
    }
    enabled_ = false;
}

void NvmeDrive::Synthesize() {
    const auto& d = description_;
    ConfigSpace& c = config_;
    c.Set(reg::kCommand, reg::kStatusCapList);
    c.Set(reg::kClass, 0x01080200 | kDriveRevision);
    c.Set(0x2C, Id(d.vendor, d.device));
    c.Set(reg::kCapPointer, kDrivePcie);
    c.Set(reg::kInterrupt, 0x00000100);  // INTA
    const uint32_t next = d.msixTable ? kDriveMsix : 0;
    c.Set(kDrivePcie, 0x0002u << 16 | next << 8 | 0x10);  // version 2, endpoint
    c.Set(kDrivePcie + 4, 0x00008002);                    // 512-byte payloads supported
    c.Set(kDrivePcie + 8, kDeviceControlReset);
    c.Set(kDrivePcie + 0xC, 0x00074C43);  // 8 GT/s x4, ASPM, clock power management
    if (d.msixTable) {
        c.Set(kDriveMsix, (d.msixVectors - 1) << 16 | 0x11);
        c.Set(kDriveMsix + 4, *d.msixTable);
        c.Set(kDriveMsix + 8, static_cast<uint32_t>(PbaOffset()) | (*d.msixTable & 7));
    }
}

void NvmeDrive::Build() {
    const auto& d = description_;
    ConfigSpace& c = config_;
    if (d.image) {
        // The image as the machine had it, then as a reset leaves it: no command, BAR0
        // unassigned, MSI-X off, 128-byte payloads; the rest as the image says.
        LoadImage(c, *d.image);
        c.SetBits(reg::kCommand, 0xFFFF, 0);
    } else {
        Synthesize();
    }
    c.Set(reg::kId, Id(d.vendor, d.device));
    caps_ = FindCapabilities(c);
    if (caps_.pcie != 0) {
        // 128-byte payloads, and no error recorded since the reset.
        c.SetBits(caps_.pcie + 8, reg::kPayloadField | reg::kDeviceStatusW1c, 0);
        if (d.linkSpeed) {
            c.SetBits(caps_.pcie + 0xC, 0xF, *d.linkSpeed);
        }
        if (d.linkWidth) {
            c.SetBits(caps_.pcie + 0xC, 0x3F0, *d.linkWidth << 4);
        }
    }
    if (caps_.msix != 0) {
        c.SetBits(caps_.msix, 0xC0000000, 0);
    }
    c.SetBits(reg::kCommand, reg::kStatusW1c, 0);
    DeriveMasks(c, FunctionRole::Endpoint, 0);
    BuildBars();
}

void NvmeDrive::BuildBars() {
    const auto& d = description_;
    ConfigSpace& c = config_;
    // After a reset no BAR has an address. BAR0 is a memory BAR, 64-bit or 32-bit, not
    // prefetchable; an image's other BARs are the description's (a capture does not tell their
    // sizes), and a BAR nobody described is not implemented: it reads 0 whatever is written.
    for (unsigned at = reg::kBar0; at <= reg::kBar0 + 0x14; at += 4) {
        c.Set(at, 0);
        c.SetWriteMask(at, 0);
    }
    c.Set(reg::kRom, 0);
    c.SetWriteMask(reg::kRom, 0);
    c.Set(reg::kBar0, d.bar0Wide ? 0x4 : 0x0);
    SetBarMasks(c, reg::kBar0, d.bar0Size, d.bar0Wide, false);
    for (const BarDescription& b : d.bars) {
        const unsigned at = reg::kBar0 + 4 * b.index;
        c.Set(at, b.io ? 0x1 : (b.wide ? 0x4 : 0x0) | (b.prefetchable ? 0x8 : 0x0));
        SetBarMasks(c, at, b.size, b.wide, b.io);
    }
    if (d.romSize != 0) {
        c.SetWriteMask(reg::kRom,
                       (static_cast<uint32_t>(~(d.romSize - 1)) & ~0x7FFu) | reg::kRomEnable);
    }
}

uint64_t NvmeDrive::BarAddress(unsigned at, bool wide) const {
    const uint64_t upper = wide ? config_.Dword(at + 4) : 0;
    return upper << 32 | (config_.Dword(at) & ~0xFu);
}

std::vector<MemoryRange> NvmeDrive::RangesAt(uint64_t bar0) const {
    // The layout moves as a whole: every BAR keeps its distance from BAR0. A BAR the
    // description places without a BAR0 keeps its own address.
    std::vector<MemoryRange> ranges = DriveMemoryRanges(description_);
    const uint64_t shift = description_.bar0 != 0 ? bar0 - description_.bar0 : 0;
    for (MemoryRange& r : ranges) {
        r.base += shift;
    }
    if (description_.bar0 == 0 && bar0 != 0) {
        ranges.insert(ranges.begin(), MemoryRange{reg::kBar0, bar0, description_.bar0Size, false});
    }
    return ranges;
}

void NvmeDrive::ProgramBars(const std::vector<MemoryRange>& ranges) {
    ConfigSpace& c = config_;
    for (const MemoryRange& r : ranges) {
        bool wide = false;
        if (r.reg == reg::kBar0) {
            wide = description_.bar0Wide;
        } else if (r.reg == reg::kRom) {
            c.SetBits(reg::kRom, ~0x7FFu, static_cast<uint32_t>(r.base));
            continue;
        }
        for (const BarDescription& b : description_.bars) {
            wide = wide || (reg::kBar0 + 4 * b.index == r.reg && b.wide);
        }
        c.SetBits(r.reg, ~0xFu, static_cast<uint32_t>(r.base));
        if (wide) {
            c.Set(r.reg + 4, static_cast<uint32_t>(r.base >> 32));
        }
    }
}

void NvmeDrive::PlaceAt(uint64_t bar0) {
    // The system stops the device, moves its BARs and starts it again: memory decoding on.
    ProgramBars(RangesAt(bar0));
    config_.SetBits(reg::kCommand, reg::kMemorySpace, reg::kMemorySpace);
}

void NvmeDrive::LoadFirmwareState() {
    const auto& d = description_;
    ConfigSpace& c = config_;
    ProgramBars(DriveMemoryRanges(d));
    if (d.image) {
        // Command, cache line size, interrupt line and MSI-X state as the image shows them.
        const ConfigSpace captured = [&] {
            ConfigSpace t;
            LoadImage(t, *d.image);
            return t;
        }();
        c.SetBits(reg::kCommand, 0xFFFF, captured.Dword(reg::kCommand) | reg::kMemorySpace);
        c.SetBits(reg::kHeader, 0xFF, captured.Dword(reg::kHeader));
        c.SetBits(reg::kInterrupt, 0xFF, captured.Dword(reg::kInterrupt));
        if (caps_.msix != 0) {
            c.SetBits(caps_.msix, 0xC0000000, captured.Dword(caps_.msix));
        }
    } else {
        c.SetBits(reg::kCommand, 0xFFFF, 0x0006);
        c.SetBits(reg::kHeader, 0xFF, 0x10);
        c.SetBits(reg::kInterrupt, 0xFF, 0x0B);
        if (caps_.pcie != 0) {
            c.SetBits(caps_.pcie + 8, 0xFFFF, kDeviceControlReset);
        }
        if (caps_.msix != 0) {
            // The OS had MSI-X enabled.
            c.SetBits(caps_.msix, 0x80000000, 0x80000000);
        }
    }
    if (caps_.pcie != 0) {
        c.SetBits(caps_.pcie + 8, reg::kPayloadField, *PayloadCode(d.maxPayload) << 5);
        c.SetBits(caps_.pcie + 0x10, kEndpointLinkControl, d.linkControl);
    }
    if (d.msixTable) {
        // Its vectors aimed at the local APICs.
        for (unsigned i = 0; i < d.msixVectors; ++i) {
            const uint32_t address = 0xFEE00000 | (i % 4) << 12;
            const uint32_t data = 0x60 + (i & 0x9F);
            for (unsigned b = 0; b < 4; ++b) {
                table_[i * 16 + b] = static_cast<uint8_t>(address >> (8 * b));
                table_[i * 16 + 4 + b] = 0;
                table_[i * 16 + 8 + b] = static_cast<uint8_t>(data >> (8 * b));
                table_[i * 16 + 12 + b] = 0;
            }
        }
    }
    enabled_ = true;
}

void NvmeDrive::SetLink(unsigned speed, unsigned width) {
    // An endpoint reports speed, width and slot clock; Link Active is a downstream port's.
    if (caps_.pcie != 0) {
        config_.SetBits(caps_.pcie + 0x10, 0xFFFF0000, (0x1000 | width << 4 | speed) << 16);
    }
}

std::optional<LinkLimit> NvmeDrive::MaxLink() const {
    if (caps_.pcie == 0) {
        return std::nullopt;
    }
    const uint32_t linkCap = config_.Dword(caps_.pcie + 0xC);
    return LinkLimit{linkCap & 0xF, (linkCap >> 4) & 0x3F};
}

void NvmeDrive::RecordErrors(uint16_t bits) {
    if (caps_.pcie != 0) {
        const uint32_t status = uint32_t{bits & 0xFu} << 16;
        config_.SetBits(caps_.pcie + 8, status, status);
    }
}

uint64_t NvmeDrive::Bar0Base() const {
    return BarAddress(reg::kBar0, description_.bar0Wide);
}

bool NvmeDrive::Decodes(uint64_t address) const {
    const uint64_t base = Bar0Base();
    return (config_.Dword(reg::kCommand) & reg::kMemorySpace) && base != 0 && address >= base &&
           address - base < Bar0Size();
}

bool NvmeDrive::HasTableInBar0() const {
    return description_.msixTable && (*description_.msixTable & 7) == 0;
}

uint64_t NvmeDrive::TableOffset() const {
    return description_.msixTable ? (*description_.msixTable & ~7u) : 0;
}

uint64_t NvmeDrive::PbaOffset() const {
    // Past the table, on the next page when that still fits in BAR0 (as drives usually lay it
    // out), else right behind it.
    const uint64_t end = TableOffset() + table_.size();
    const uint64_t pbaBytes = (description_.msixVectors + 63) / 64 * 8;
    const uint64_t nextPage = (end + 0xFFF) & ~uint64_t{0xFFF};
    return nextPage + pbaBytes <= Bar0Size() ? nextPage : (end + 7) & ~uint64_t{7};
}

bool NvmeDrive::InRange(uint64_t offset, unsigned size, uint64_t start, uint64_t length) const {
    return offset >= start && offset + size <= start + length;
}

uint32_t NvmeDrive::ReadBar(uint64_t offset, unsigned size) const {
    const uint64_t tableStart = TableOffset();
    if (HasTableInBar0() && InRange(offset, size, tableStart, table_.size())) {
        uint32_t v = 0;
        for (unsigned i = 0; i < size; ++i) {
            v |= uint32_t{table_[offset - tableStart + i]} << (8 * i);
        }
        return v;
    }
    // The controller registers the OS sees: CAP (MQES 1023, contiguous queues, 20 s timeout,
    // NVM command set, 4 KiB to 64 KiB pages), VS 1.4, CC and CSTS as the OS left them.
    uint32_t dword = 0;
    switch (offset & ~uint64_t{3}) {
        case 0x00:
            dword = 0x280103FF;
            break;
        case 0x04:
            dword = 0x00400020;
            break;
        case 0x08:
            dword = 0x00010400;
            break;
        case 0x14:
            dword = enabled_ ? 0x00460001 : 0;
            break;
        case 0x1C:
            dword = enabled_ ? 0x1 : 0;
            break;
        default:
            break;
    }
    const unsigned shift = 8 * static_cast<unsigned>(offset & 3);
    return size == 4 ? dword : (dword >> shift) & ((1u << (8 * size)) - 1);
}

bool NvmeDrive::WriteBar(uint64_t offset, unsigned size, uint32_t value) {
    const uint64_t tableStart = TableOffset();
    if (!HasTableInBar0() || !InRange(offset, size, tableStart, table_.size())) {
        return false;
    }
    for (unsigned i = 0; i < size; ++i) {
        const uint64_t at = offset - tableStart + i;
        // Vector Control keeps only its mask bit; the rest of an entry is plain storage.
        const uint8_t mask = (at % 16) == 12 ? reg::kMsixVectorMasked : (at % 16) > 12 ? 0 : 0xFF;
        const uint8_t in = static_cast<uint8_t>(value >> (8 * i));
        table_[at] = static_cast<uint8_t>((table_[at] & ~mask) | (in & mask));
    }
    return true;
}

bool NvmeDrive::UnmaskedWithoutAddress(uint64_t offset, unsigned* entry, uint64_t* address) const {
    const uint64_t at = offset - TableOffset();
    if (!HasTableInBar0() || offset < TableOffset() || at >= table_.size()) {
        return false;
    }
    const uint64_t first = at & ~uint64_t{15};
    auto dword = [&](unsigned i) {
        uint32_t v = 0;
        for (unsigned b = 0; b < 4; ++b) {
            v |= uint32_t{table_[first + i * 4 + b]} << (8 * b);
        }
        return v;
    };
    const uint64_t messageAddress = uint64_t{dword(1)} << 32 | dword(0);
    const bool masked = (dword(3) & reg::kMsixVectorMasked) != 0;
    const bool valid = (messageAddress & 0xFFFFFFFFFFF00000ull) == 0xFEE00000ull;
    *entry = static_cast<unsigned>(first / 16);
    *address = messageAddress;
    return !masked && !valid;
}

bool NvmeDrive::PokeBar(uint64_t offset, uint32_t value) {
    const uint64_t tableStart = TableOffset();
    if (!HasTableInBar0() || (offset & 3) != 0 || !InRange(offset, 4, tableStart, table_.size())) {
        return false;
    }
    for (unsigned i = 0; i < 4; ++i) {
        table_[offset - tableStart + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Downstream port

DownstreamPort::DownstreamPort(SwitchModel model, unsigned slot, uint8_t internalBus,
                               const PortDescription& description, unsigned trainMs,
                               MachineClock& clock, RuleCounters& rules, PlxSwitch& owner)
    : slot_(slot),
      device_(LinkMap(model)[slot]),
      clock_(clock),
      rules_(rules),
      owner_(owner),
      trainUs_(uint64_t{trainMs} * 1000) {
    const LinkShape shape = ShapeOf(model);
    ConfigSpace& c = config_;
    // version 2, downstream port, slot implemented
    SwitchPortValues(c, model, 0x0162, description.image);
    if (!description.image) {
        c.Set(reg::kSwitchDeviceControl, 0x2810);
        // Link Capabilities: port number, DLL Link Active reporting, surprise-down reporting.
        c.Set(0x74,
              uint32_t{device_} << 24 | 0x00180000 | 0x0C00 | shape.downWidth << 4 | shape.speed);
        // Slot Capabilities: power controller, attention and power indicators, hot-plug
        // capable, 25 W, physical slot number.
        c.Set(reg::kSlotCapabilities, (slot + 1) << 19 | 25 << 7 | 0x5A);
    }
    // A switch in the slot takes the buses above the port's own as well.
    const uint8_t subordinate =
        description.lowerSwitch ? HighestBus(*description.lowerSwitch) : description.bus;
    c.SetBits(reg::kBusNumbers, 0x00FFFFFF,
              uint32_t{internalBus} | uint32_t{description.bus} << 8 | uint32_t{subordinate} << 16);
    // Link Capabilities: the maximum speed and width a description may set (a port strapped
    // narrower, say).
    if (description.linkSpeed) {
        c.SetBits(reg::kSwitchPcie + 0xC, 0xF, *description.linkSpeed);
    }
    if (description.linkWidth) {
        c.SetBits(reg::kSwitchPcie + 0xC, 0x3F0, *description.linkWidth << 4);
    }
    // Slot Control as the image has it, unless the description gives it.
    if (description.slotControl || !description.image) {
        c.SetBits(reg::kSlotControl, 0xFFFF, description.slotControl.value_or(0x01C0) & 0x17FF);
    }
    DeriveMasks(c, FunctionRole::DownstreamPort, 0);

    c.SetHook(reg::kSwitchLinkControl, [this](uint32_t o, uint32_t n, WriteSource source) {
        if (source == WriteSource::Software)
            OnLinkControl(o, n);
        Evaluate();
    });
    c.SetHook(reg::kSlotControl, [this](uint32_t o, uint32_t n, WriteSource source) {
        if (source == WriteSource::Software)
            OnSlotControl(o, n);
        Evaluate();
    });
    c.SetHook(reg::kInterrupt, [this](uint32_t, uint32_t, WriteSource) { Evaluate(); });

    if (description.drive) {
        drive_ = std::make_unique<NvmeDrive>(*description.drive);
        drive_->LoadFirmwareState();
        drive_->WatchRules(&rules_);
    }
    // The machine boots with its links trained: no reset edge for the drives found at load.
    const bool up =
        drive_ && !(HasPowerController() && (c.Dword(reg::kSlotControl) & reg::kPowerOff));
    linkUp_ = up;
    trained_ = Negotiate();
    if (drive_)
        drive_->SetLink(trained_.speed, trained_.width);
    c.SetBits(reg::kSwitchLinkControl, 0x3FFF0000,
              LinkStatus(up, trained_.speed, up ? trained_.width : 0) << 16);
    c.SetBits(reg::kSlotControl, reg::kPresenceDetectState, drive_ ? reg::kPresenceDetectState : 0);
}

void DownstreamPort::AttachLower(PlxSwitch* lower) {
    lower_ = lower;
    // Like a drive found at load, the switch in the slot is up when the machine boots.
    linkUp_ = !(HasPowerController() && (config_.Dword(reg::kSlotControl) & reg::kPowerOff)) &&
              !(config_.Dword(reg::kSwitchLinkControl) & reg::kLinkDisable);
    trained_ = Negotiate();
    config_.SetBits(reg::kSwitchLinkControl, 0x3FFF0000,
                    LinkStatus(linkUp_, trained_.speed, linkUp_ ? trained_.width : 0) << 16);
    config_.SetBits(reg::kSlotControl, reg::kPresenceDetectState, reg::kPresenceDetectState);
    if (!linkUp_) {
        lower_->EnterReset();
    }
}

bool DownstreamPort::ReportsCommandCompletion() const {
    const uint32_t capabilities = config_.Dword(reg::kSlotCapabilities);
    return (config_.Dword(reg::kSwitchPcie) & reg::kSlotImplemented) != 0 &&
           (capabilities & reg::kHotPlugCapable) != 0 &&
           (capabilities & reg::kNoCommandCompleted) == 0;
}

bool DownstreamPort::HasPowerController() const {
    return (config_.Dword(reg::kSwitchPcie) & reg::kSlotImplemented) != 0 &&
           (config_.Dword(reg::kSlotCapabilities) & reg::kPowerControllerPresent) != 0;
}

void DownstreamPort::OnSlotControl(uint32_t oldValue, uint32_t newValue) {
    if ((config_.LastWriteBytes() & 0x3) == 0) {
        return;  // Slot Status alone: no command
    }
    if (ReportsCommandCompletion()) {
        if (commandRunning_) {
            // The port is still busy with the last command: this one is lost.
            ++rules_.slotCommandOverrun;
            config_.SetBits(reg::kSlotControl, 0xFFFF, oldValue);
            return;
        }
        commandRunning_ = true;
        commandDoneAt_ = commandsHang_ ? MachineClock::kNever : clock_.now + kSlotCommandUs;
        clock_.Schedule(commandDoneAt_);
    }
    if (!HasPowerController()) {
        return;
    }
    const bool wasOff = (oldValue & reg::kPowerOff) != 0;
    const bool isOff = (newValue & reg::kPowerOff) != 0;
    if (!wasOff && isOff) {
        powerOffAt_ = clock_.now;
    } else if (wasOff && !isOff) {
        if (powerOffAt_ && clock_.now - *powerOffAt_ < kSlotPowerOffUs) {
            ++rules_.slotPowerShort;
        }
        powerOffAt_.reset();
    }
}

void DownstreamPort::OnLinkControl(uint32_t oldValue, uint32_t newValue) {
    // A stuck port ignores every attempt to release the link.
    if (stuck_ && (oldValue & reg::kLinkDisable) && !(newValue & reg::kLinkDisable)) {
        config_.SetBits(reg::kSwitchLinkControl, reg::kLinkDisable, reg::kLinkDisable);
    }
}

void DownstreamPort::Evaluate() {
    const bool disabled = config_.Dword(reg::kSwitchLinkControl) & reg::kLinkDisable;
    const bool powerOff =
        HasPowerController() && (config_.Dword(reg::kSlotControl) & reg::kPowerOff);
    const bool inReset = config_.Dword(reg::kInterrupt) & reg::kSecondaryBusReset;
    const bool allowed = Occupied() && !disabled && !powerOff && !inReset && !owner_.InReset();
    if (!allowed) {
        training_ = false;
        if (linkUp_) {
            linkUp_ = false;
            config_.SetBits(reg::kSlotControl, reg::kDllStateChanged, reg::kDllStateChanged);
            if (lower_ != nullptr) {
                lower_->EnterReset();  // everything below the link goes with it
            }
        }
    } else if (!linkUp_ && !training_) {
        // The link may come up: it starts training, and what sits behind it comes out of
        // reset, as real hardware would after the link and power cycle.
        if (drive_ != nullptr) {
            drive_->Reset();
        }
        trained_ = Negotiate();
        if (drive_ != nullptr) {
            drive_->SetLink(trained_.speed, trained_.width);
        }
        training_ = true;
        trainAt_ = clock_.now + trainUs_;
        clock_.Schedule(trainAt_);
    }
    if (!Advance()) {
        ShowLinkState();
    }
}

bool DownstreamPort::Advance() {
    bool changed = false;
    if (commandRunning_ && clock_.now >= commandDoneAt_) {
        // The command is carried out: the port says so in Slot Status.
        commandRunning_ = false;
        config_.SetBits(reg::kSlotControl, reg::kCommandCompleted, reg::kCommandCompleted);
        changed = true;
    }
    if (!training_ || clock_.now < trainAt_) {
        return changed;
    }
    ComeUp();
    ShowLinkState();
    return true;
}

uint64_t DownstreamPort::NextEvent() const {
    uint64_t next = training_ ? trainAt_ : MachineClock::kNever;
    if (commandRunning_ && commandDoneAt_ < next) {
        next = commandDoneAt_;
    }
    return next;
}

void DownstreamPort::ComeUp() {
    training_ = false;
    linkUp_ = true;
    quietUntil_ = trainAt_ + kConfigQuietUs;
    if (drive_ != nullptr) {
        drive_->StartFirmware(trainAt_);
        drive_->RecordErrors(errorsOnLinkUp_);
    }
    config_.SetBits(reg::kSlotControl, reg::kDllStateChanged, reg::kDllStateChanged);
    if (lower_ != nullptr) {
        lower_->LeaveReset();
    }
}

LinkLimit DownstreamPort::Negotiate() const {
    // Both ends train to the fastest speed and the widest width they share. (A switch in the
    // slot is taken to advertise as much as the port.)
    const uint32_t linkCap = config_.Dword(reg::kSwitchPcie + 0xC);
    LinkLimit t{linkCap & 0xF, (linkCap >> 4) & 0x3F};
    if (drive_) {
        if (const std::optional<LinkLimit> own = drive_->MaxLink()) {
            t.speed = std::min(t.speed, own->speed);
            t.width = std::min(t.width, own->width);
        }
    }
    if (downtrain_) {
        t.speed = std::min(t.speed, downtrain_->speed);
        t.width = std::min(t.width, downtrain_->width);
    }
    return t;
}

void DownstreamPort::ShowLinkState() {
    config_.SetBits(reg::kSwitchLinkControl, 0x3FFF0000,
                    LinkStatus(linkUp_, trained_.speed, linkUp_ ? trained_.width : 0) << 16);
    config_.SetBits(reg::kSlotControl, reg::kPresenceDetectState,
                    Occupied() ? reg::kPresenceDetectState : 0);
}

std::optional<uint64_t> DownstreamPort::AnswersFrom() const {
    const uint64_t readyUs = drive_ != nullptr ? uint64_t{drive_->Description().readyMs} * 1000 : 0;
    if (training_) {
        return trainAt_ + readyUs;
    }
    if (linkUp_) {
        return drive_ != nullptr ? drive_->ReadyAt() : trainAt_;
    }
    return std::nullopt;
}

std::unique_ptr<NvmeDrive> DownstreamPort::Pull() {
    std::unique_ptr<NvmeDrive> drive = std::move(drive_);
    if (drive) {
        config_.SetBits(reg::kSlotControl, reg::kPresenceDetectChanged,
                        reg::kPresenceDetectChanged);
    }
    Evaluate();
    return drive;
}

void DownstreamPort::Insert(std::unique_ptr<NvmeDrive> drive) {
    drive_ = std::move(drive);
    config_.SetBits(reg::kSlotControl, reg::kPresenceDetectChanged, reg::kPresenceDetectChanged);
    Evaluate();
}

void DownstreamPort::SetStuck(bool stuck) {
    stuck_ = stuck;
    if (stuck) {
        // Stuck on: the bit is set now and stays set; releasing the fault leaves it set for
        // the software to clear.
        config_.SetBits(reg::kSwitchLinkControl, reg::kLinkDisable, reg::kLinkDisable);
        Evaluate();
    }
}

// ---------------------------------------------------------------------------------------------
// Switch

PlxSwitch::PlxSwitch(const SwitchDescription& description, MachineClock& clock, RuleCounters& rules,
                     DownstreamPort* above)
    : model_(description.model), bus_(description.bus), above_(above) {
    const LinkShape shape = ShapeOf(model_);
    ConfigSpace& c = upstream_;
    SwitchPortValues(c, model_, 0x0052, description.image);  // version 2, upstream port
    const uint64_t barSize = SwitchBarSize(model_);
    c.SetBits(reg::kBar0, ~0xFu, description.bar0 & ~0xFu);
    const uint8_t subordinate = HighestBus(description);
    c.SetBits(reg::kBusNumbers, 0x00FFFFFF,
              uint32_t{description.bus} | uint32_t{description.internalBus} << 8 |
                  uint32_t{subordinate} << 16);
    if (!description.image) {
        c.Set(reg::kSwitchDeviceControl, 0x2810);
        c.Set(0x74, 0x0C00 | shape.upWidth << 4 | shape.speed);
        c.Set(reg::kSwitchLinkControl, LinkStatus(true, shape.speed, shape.upWidth) << 16);
    }
    c.SetBits(reg::kSwitchDeviceControl, reg::kPayloadField,
              *PayloadCode(description.maxPayload) << 5);
    DeriveMasks(c, FunctionRole::UpstreamPort, barSize);
    // The windows as firmware programs them: each port's covering what sits behind it, the
    // upstream port's covering every port's (or as the description gives them).
    const SwitchWindows windows = EffectiveWindows(description);
    ProgramWindows(c, windows.upstream);

    ports_.resize(SlotCount(model_));
    for (const auto& port : description.ports) {
        ports_[port.index] = std::make_unique<DownstreamPort>(
            model_, port.index, description.internalBus, port,
            port.linkTrainMs.value_or(description.linkTrainMs), clock, rules, *this);
        ports_[port.index]->Config().SetBits(reg::kSwitchDeviceControl, reg::kPayloadField,
                                             *PayloadCode(description.maxPayload) << 5);
    }
    for (size_t p = 0; p < description.ports.size(); ++p) {
        ProgramWindows(ports_[description.ports[p].index]->Config(), windows.ports[p]);
    }
}

void PlxSwitch::EnterReset() {
    if (inReset_) {
        return;
    }
    inReset_ = true;
    // What a reset leaves of every function of the switch: no bus numbers, windows, BAR or
    // Command, 128-byte payloads, the links released; the rest as the switch was built.
    auto clear = [](ConfigSpace& c) {
        c.SetBits(reg::kCommand, 0xFFFFFFFF & ~reg::kStatusCapList, 0);
        c.SetBits(reg::kBar0, ~0xFu, 0);
        c.Set(reg::kBar1, 0);
        c.SetBits(reg::kBusNumbers, 0x00FFFFFF, 0);
        c.SetBits(0x1C, 0xFFFF, 0);  // I/O base and limit
        c.Set(0x20, 0);              // memory base and limit
        c.SetBits(0x24, 0xFFF0FFF0, 0);
        c.Set(0x28, 0);
        c.Set(0x2C, 0);
        c.SetBits(reg::kInterrupt, 0xFFFF00FF, 0);
        c.SetBits(reg::kSwitchDeviceControl, reg::kPayloadField, 0);
    };
    clear(upstream_);
    for (auto& port : ports_) {
        if (port) {
            clear(port->Config());
            port->Config().SetBits(reg::kSwitchLinkControl, 0xFFFF, 0);
            port->OwnerReset();
        }
    }
}

void PlxSwitch::LeaveReset() {
    if (!inReset_) {
        return;
    }
    inReset_ = false;
    // Out of reset the downstream links train again on their own; the switch's bus numbers
    // stay 0 until software writes them, so nothing behind it can be reached before then.
    for (auto& port : ports_) {
        if (port) {
            port->OwnerReset();
        }
    }
}

DownstreamPort* PlxSwitch::PortAtDevice(unsigned device) {
    for (auto& port : ports_) {
        if (port && port->Device() == device)
            return port.get();
    }
    return nullptr;
}

uint64_t PlxSwitch::Bar0Base() const {
    // A 32-bit BAR, as the PLX upstream ports have it (plx8749-upstream.txt).
    const uint32_t bar = upstream_.Dword(reg::kBar0) & ~0xFu;
    if (bar == 0 || !(upstream_.Dword(reg::kCommand) & reg::kMemorySpace))
        return 0;
    return bar;
}

int PlxSwitch::BlockAt(uint64_t offset, unsigned* blockOffset) const {
    if (model_ != SwitchModel::Plx8748)
        return -1;
    for (unsigned b = 0; b < 2; ++b) {
        if (offset - reg::kBlockOffsets[b] < reg::kBlockSize) {
            *blockOffset = static_cast<unsigned>(offset - reg::kBlockOffsets[b]);
            return static_cast<int>(b);
        }
    }
    return -1;
}

uint64_t PlxSwitch::BlockBase(unsigned block) const {
    const uint64_t bar = Bar0Base();
    if (model_ != SwitchModel::Plx8748 || block > 1 || bar == 0)
        return 0;
    return bar + reg::kBlockOffsets[block];
}

uint32_t PlxSwitch::PeekBlock(unsigned block, unsigned offset, unsigned size) const {
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) {
        v |= uint32_t{blocks_[block][offset + i]} << (8 * i);
    }
    return v;
}

uint32_t PlxSwitch::ReadBlock(unsigned block, unsigned offset, unsigned size) {
    if (failReads_[block] > 0) {
        --failReads_[block];
        return size == 4 ? 0xFFFFFFFF : (1u << (8 * size)) - 1;
    }
    return PeekBlock(block, offset, size);
}

void PlxSwitch::WriteBlock(unsigned block, unsigned offset, unsigned size, uint32_t value) {
    for (unsigned i = 0; i < size; ++i) {
        blocks_[block][offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace sim
