// Fabric descriptions: model tables, validation, JSON reading and the C++ builder.
#include "sim/pci/description.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace sim {

namespace {

std::string Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

[[noreturn]] void Fail(const std::string& key, const std::string& what) {
    throw FabricError(key + ": " + what);
}

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

std::string At(const std::string& list, size_t i) {
    return list + "[" + std::to_string(i) + "]";
}

std::string PfaText(unsigned pfa) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02X:%02X.%X", (pfa >> 8) & 0xFF, (pfa >> 3) & 0x1F, pfa & 7);
    return buf;
}

}  // namespace

DriveDescription DriveDescription::FromImage(std::shared_ptr<const RegisterImage> image) {
    ConfigSpace c;
    LoadImage(c, *image);
    const Capabilities caps = FindCapabilities(c);
    DriveDescription d;
    d.vendor = static_cast<uint16_t>(c.Dword(0x00));
    d.device = static_cast<uint16_t>(c.Dword(0x00) >> 16);
    const bool wide = (c.Dword(0x10) & 0x6u) == 0x4u;
    d.bar0Wide = wide;
    d.bar0 = (wide ? uint64_t{c.Dword(0x14)} << 32 : 0) | (c.Dword(0x10) & ~0xFu);
    d.maxPayload = 128;
    d.linkControl = 0;
    if (caps.pcie != 0) {
        d.maxPayload = 128u << ((c.Dword(caps.pcie + 8) >> 5) & 7);
        d.linkControl = static_cast<uint16_t>(c.Dword(caps.pcie + 0x10));
    }
    if (caps.msix != 0) {
        d.msixTable = c.Dword(caps.msix + 4);
        d.msixVectors = ((c.Dword(caps.msix) >> 16) & 0x7FF) + 1;
    }
    d.image = std::move(image);
    return d;
}

namespace {

void CheckLink(const std::optional<unsigned>& speed, const std::optional<unsigned>& width,
               const std::string& key) {
    if (speed && !ValidLinkSpeed(*speed)) {
        Fail(key + ".link_speed", "speed code " + std::to_string(*speed) +
                                      " is not one of 2.5, 5, 8, 16, 32 or 64 GT/s");
    }
    if (width && !ValidLinkWidth(*width)) {
        Fail(key + ".link_width",
             std::to_string(*width) + " is not a link width (1, 2, 4, 8, 12, 16 or 32 lanes)");
    }
}

}  // namespace

void ValidateDrive(const DriveDescription& d, const std::string& keyName) {
    const std::string key = keyName.empty() ? "drive" : keyName;
    if (!IsPowerOfTwo(d.bar0Size) || d.bar0Size < 0x1000 || d.bar0Size > (uint64_t{1} << 40)) {
        Fail(key + ".bar0_size", Hex(d.bar0Size) + " is not a power of two from 0x1000 to 1 TiB");
    }
    if ((d.bar0 & (d.bar0Size - 1)) != 0) {
        Fail(key + ".bar0", Hex(d.bar0) + " is not aligned to bar0_size " + Hex(d.bar0Size));
    }
    if (!PayloadCode(d.maxPayload)) {
        Fail(key + ".max_payload", std::to_string(d.maxPayload) + " is not 128, 256 ... 4096");
    }
    if (d.readyMs > kMaxTimingMs) {
        Fail(key + ".ready_ms",
             std::to_string(d.readyMs) + " is above " + std::to_string(kMaxTimingMs) + " ms");
    }
    CheckLink(d.linkSpeed, d.linkWidth, key);
    if (d.msixVectors < 1 || d.msixVectors > 2048) {
        Fail(key + ".msix_vectors", std::to_string(d.msixVectors) + " is not from 1 to 2048");
    }
    if (!d.bar0Wide && d.bar0 + d.bar0Size > (uint64_t{1} << 32)) {
        Fail(key + ".bar0", Hex(d.bar0) + " does not fit a 32-bit BAR of size " + Hex(d.bar0Size));
    }
    // BAR indexes taken: BAR0, and BAR1 as its upper half when it is 64-bit.
    unsigned taken = d.bar0Wide ? 0x3u : 0x1u;
    for (size_t i = 0; i < d.bars.size(); ++i) {
        const BarDescription& b = d.bars[i];
        const std::string bkey = At(key + ".bars", i);
        if (b.index < 1 || b.index > (b.wide ? 4u : 5u)) {
            Fail(bkey + ".index",
                 std::to_string(b.index) + " is not a BAR " +
                     (b.wide ? "a 64-bit BAR can start at (1 to 4)" : "number from 1 to 5"));
        }
        const unsigned bits = (b.wide ? 0x3u : 0x1u) << b.index;
        if ((taken & bits) != 0) {
            Fail(bkey + ".index", "BAR" + std::to_string(b.index) + " is already taken");
        }
        taken |= bits;
        if (b.io && (b.wide || b.prefetchable)) {
            Fail(bkey, "an I/O BAR is neither 64-bit nor prefetchable");
        }
        const uint64_t least = b.io ? 4 : 0x1000;
        const uint64_t most = b.io ? 256 : uint64_t{1} << 40;
        if (!IsPowerOfTwo(b.size) || b.size < least || b.size > most) {
            Fail(bkey + ".size",
                 Hex(b.size) + " is not a power of two from " + Hex(least) + " to " + Hex(most));
        }
        if ((b.address & (b.size - 1)) != 0) {
            Fail(bkey + ".address", Hex(b.address) + " is not aligned to its size " + Hex(b.size));
        }
        const uint64_t top = b.io ? 0x10000 : b.wide ? 0 : uint64_t{1} << 32;
        if (top != 0 && b.address + b.size > top) {
            Fail(bkey + ".address",
                 Hex(b.address) + " does not fit a " + (b.io ? "16-bit I/O" : "32-bit") + " BAR");
        }
    }
    if (d.romSize != 0 || d.romAddress != 0) {
        if (!IsPowerOfTwo(d.romSize) || d.romSize < 0x800 || d.romSize > 0x1000000) {
            Fail(key + ".rom.size", Hex(d.romSize) + " is not a power of two from 2 KiB to 16 MiB");
        }
        if ((d.romAddress & (d.romSize - 1)) != 0) {
            Fail(key + ".rom.address",
                 Hex(d.romAddress) + " is not aligned to its size " + Hex(d.romSize));
        }
    }
    if (d.msixTable) {
        const uint32_t bir = *d.msixTable & 7;
        if (bir > 5) {
            Fail(key + ".msix_table", "BIR " + std::to_string(bir) + " names no BAR");
        }
        const uint64_t end = (*d.msixTable & ~7u) + uint64_t{d.msixVectors} * 16;
        if (bir == 0 && end > d.bar0Size) {
            // With an image the table is the image's, and the size is what is wrong.
            Fail(key + (d.image ? ".bar0_size" : ".msix_table"),
                 std::string(d.image ? "the image's MSI-X " : "a ") + "table of " +
                     std::to_string(d.msixVectors) + " entries at " + Hex(*d.msixTable & ~7u) +
                     " does not fit in bar0_size " + Hex(d.bar0Size));
        }
    }
}

namespace {

// Buses behind a switch belong to it alone; functions on the host's own buses only need
// distinct addresses.
class AddressBook {
  public:
    void ClaimBus(unsigned bus, const std::string& key) {
        auto [it, fresh] = buses_.emplace(bus, key);
        if (!fresh) {
            Fail(key, "bus " + Hex(bus) + " is already used by " + it->second);
        }
    }
    void ClaimFunction(unsigned pfa, const std::string& key, bool onSwitchBus) {
        if (!onSwitchBus) {
            auto bus = buses_.find((pfa >> 8) & 0xFF);
            if (bus != buses_.end()) {
                Fail(key, "bus " + Hex((pfa >> 8) & 0xFF) + " lies behind a switch (" +
                              bus->second + ")");
            }
        }
        auto [it, fresh] = functions_.emplace(pfa, key);
        if (!fresh) {
            Fail(key, "function " + PfaText(pfa) + " is already " + it->second);
        }
    }

  private:
    std::map<unsigned, std::string> buses_;
    std::map<unsigned, std::string> functions_;
};

}  // namespace

namespace {

// The buses a switch uses: its internal bus, its ports' buses and those of the switches in
// its slots.
void BusesOf(const SwitchDescription& sw, std::set<unsigned>& buses) {
    buses.insert(sw.internalBus);
    for (const auto& port : sw.ports) {
        buses.insert(port.bus);
        if (port.lowerSwitch) {
            BusesOf(*port.lowerSwitch, buses);
        }
    }
}

}  // namespace

uint8_t HighestBus(const SwitchDescription& sw) {
    std::set<unsigned> buses;
    BusesOf(sw, buses);
    return static_cast<uint8_t>(*buses.rbegin());
}

unsigned SlotCount(SwitchModel model) {
    return static_cast<unsigned>(LinkMap(model).size());
}

const std::vector<uint8_t>& LinkMap(SwitchModel model) {
    static const std::vector<uint8_t> k8748 = {8, 9, 10, 11, 16, 17, 18, 19};
    static const std::vector<uint8_t> k8732 = {8, 9, 10, 11};
    static const std::vector<uint8_t> k8618 = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};
    switch (model) {
        case SwitchModel::Plx8748:
            return k8748;
        case SwitchModel::Plx8732:
            return k8732;
        case SwitchModel::Plx8618:
            break;
    }
    return k8618;
}

std::optional<SwitchModel> ModelFromName(const std::string& name) {
    if (name == "8618")
        return SwitchModel::Plx8618;
    if (name == "8732")
        return SwitchModel::Plx8732;
    if (name == "8748")
        return SwitchModel::Plx8748;
    return std::nullopt;
}

std::string ModelName(SwitchModel model) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(model));
    return buf;
}

std::optional<unsigned> PayloadCode(unsigned bytes) {
    for (unsigned code = 0; code <= 5; ++code) {
        if (bytes == (128u << code))
            return code;
    }
    return std::nullopt;
}

bool ValidLinkSpeed(unsigned speed) {
    return speed >= 1 && speed <= 6;
}

bool ValidLinkWidth(unsigned width) {
    for (unsigned w : {1u, 2u, 4u, 8u, 12u, 16u, 32u}) {
        if (width == w)
            return true;
    }
    return false;
}

WindowDecode DecodeWindowRegister(uint64_t windowRegister) {
    static const uint64_t kLengths[8] = {
        256ull << 20, 128ull << 20, 64ull << 20, 512ull << 20, 1ull << 30, 0, 0, 0};
    const uint64_t length = kLengths[(windowRegister >> 1) & 7];
    if ((windowRegister & 1) == 0 || length == 0) {
        return {};
    }
    return {windowRegister & ~(length - 1), length};
}

WindowDecode EffectiveWindow(const HostBridgeDescription& hb) {
    if (hb.ecamWindow) {
        return *hb.ecamWindow != 0 ? WindowDecode{*hb.ecamWindow, 256ull << 20} : WindowDecode{};
    }
    return hb.vendor == 0x8086 ? DecodeWindowRegister(hb.ecam) : WindowDecode{};
}

std::vector<MemoryRange> DriveMemoryRanges(const DriveDescription& d) {
    std::vector<MemoryRange> ranges;
    if (d.bar0 != 0) {
        ranges.push_back({0x10, d.bar0, d.bar0Size, false});
    }
    for (const BarDescription& b : d.bars) {
        if (!b.io && b.address != 0) {
            ranges.push_back({0x10 + 4 * b.index, b.address, b.size, b.prefetchable});
        }
    }
    if (d.romAddress != 0) {
        ranges.push_back({0x30, d.romAddress, d.romSize, false});
    }
    return ranges;
}

uint64_t SwitchBarSize(SwitchModel model) {
    return model == SwitchModel::Plx8618 ? 0x20000 : 0x40000;
}

namespace {

constexpr uint64_t kWindowGrain = 0x100000;  // bridge windows are 1 MiB granular
constexpr uint64_t kFourGiB = uint64_t{1} << 32;

// Grows w to cover [base, base + size), on window boundaries.
void Cover(Window& w, uint64_t base, uint64_t size) {
    const uint64_t start = base & ~(kWindowGrain - 1);
    const uint64_t end = ((base + size - 1) | (kWindowGrain - 1));
    if (!w.Open()) {
        w.base = start;
        w.limit = end;
        return;
    }
    w.base = std::min(w.base, start);
    w.limit = std::max(w.limit, end);
}

}  // namespace

BridgeWindows CoveringWindows(const std::vector<MemoryRange>& ranges) {
    BridgeWindows w;
    for (const MemoryRange& r : ranges) {
        // Non-prefetchable memory below 4 GiB goes in the memory window; prefetchable memory,
        // and a 64-bit BAR placed above 4 GiB (as servers place NVMe drives), in the
        // prefetchable one.
        const bool low = r.base + r.size <= kFourGiB;
        Cover(r.prefetchable || !low ? w.prefetchable : w.memory, r.base, r.size);
    }
    return w;
}

SwitchWindows EffectiveWindows(const SwitchDescription& sw) {
    SwitchWindows out;
    std::vector<MemoryRange> all;
    for (const PortDescription& port : sw.ports) {
        std::vector<MemoryRange> behind =
            port.drive ? DriveMemoryRanges(*port.drive) : std::vector<MemoryRange>{};
        if (port.lowerSwitch) {
            // A switch in the slot: its register space and whatever its own windows forward.
            const SwitchDescription& lower = *port.lowerSwitch;
            if (lower.bar0 != 0) {
                behind.push_back({0x10, lower.bar0, SwitchBarSize(lower.model), false});
            }
            const BridgeWindows below = EffectiveWindows(lower).upstream;
            for (const Window* win : {&below.memory, &below.prefetchable}) {
                if (win->Open()) {
                    behind.push_back(
                        {0, win->base, win->limit - win->base + 1, win == &below.prefetchable});
                }
            }
        }
        BridgeWindows w = CoveringWindows(behind);
        w.memory = port.memoryWindow.value_or(w.memory);
        w.prefetchable = port.prefetchableWindow.value_or(w.prefetchable);
        for (const Window* win : {&w.memory, &w.prefetchable}) {
            if (win->Open()) {
                all.push_back({0, win->base, win->limit - win->base + 1, win == &w.prefetchable});
            }
        }
        out.ports.push_back(w);
    }
    // The upstream port forwards what any of its ports does; a prefetchable window below 4 GiB
    // on a port lands in the upstream's prefetchable window as well.
    BridgeWindows up;
    for (const MemoryRange& r : all) {
        Cover(r.prefetchable ? up.prefetchable : up.memory, r.base, r.size);
    }
    up.memory = sw.memoryWindow.value_or(up.memory);
    up.prefetchable = sw.prefetchableWindow.value_or(up.prefetchable);
    out.upstream = up;
    return out;
}

namespace {

// The machine's RAM, for refusing devices placed in it.
class RamMap {
  public:
    explicit RamMap(const std::vector<RamRange>& ranges) : ranges_(ranges) {
        for (size_t i = 0; i < ranges_.size(); ++i) {
            const RamRange& r = ranges_[i];
            const std::string key = At("ram", i);
            if (r.size == 0 || (r.size & 0xFFF) != 0) {
                Fail(key + ".size", Hex(r.size) + " is not a non-zero multiple of 4 KiB");
            }
            if ((r.base & 0xFFF) != 0) {
                Fail(key + ".base", Hex(r.base) + " is not page-aligned");
            }
            if (r.base + r.size < r.base) {
                Fail(key + ".size", Hex(r.size) + " at " + Hex(r.base) + " runs past 2^64");
            }
            for (size_t j = 0; j < i; ++j) {
                if (Overlap(ranges_[j], r.base, r.size)) {
                    Fail(key, "overlaps " + At("ram", j));
                }
            }
        }
    }
    // Fails naming key when [base, base + size) lies in RAM in part or whole.
    void Refuse(const std::string& key, const std::string& what, uint64_t base,
                uint64_t size) const {
        for (size_t i = 0; i < ranges_.size(); ++i) {
            const RamRange& r = ranges_[i];
            if (Overlap(r, base, size)) {
                Fail(key, what + " at " + Hex(base) + " lies in RAM (" + At("ram", i) + ": " +
                              Hex(r.base) + " to " + Hex(r.base + r.size - 1) + ")");
            }
        }
    }

  private:
    static bool Overlap(const RamRange& r, uint64_t base, uint64_t size) {
        return base - r.base < r.size || (r.base >= base && r.base - base < size);
    }
    const std::vector<RamRange>& ranges_;
};

}  // namespace

namespace {

// A window a description gives: on 1 MiB boundaries, a memory window below 4 GiB.
void ValidateWindow(const std::string& key, const std::optional<Window>& w, bool memory) {
    if (!w || !w->Open()) {
        return;
    }
    if ((w->base & (kWindowGrain - 1)) != 0 || ((w->limit + 1) & (kWindowGrain - 1)) != 0) {
        Fail(key, Hex(w->base) + " to " + Hex(w->limit) + " is not on 1 MiB boundaries");
    }
    if (memory && w->limit >= kFourGiB) {
        Fail(key, "a memory window lies below 4 GiB; " + Hex(w->limit) + " does not");
    }
}

}  // namespace

void ValidateFabric(const FabricDescription& fabric) {
    const auto& hb = fabric.hostBridge;
    if (hb.ecamWindow && (*hb.ecamWindow & 0xFFF) != 0) {
        Fail("host_bridge.ecam_window", Hex(*hb.ecamWindow) + " is not page-aligned");
    }
    const RamMap ram(fabric.ram);
    if (const WindowDecode window = EffectiveWindow(hb); window.size != 0) {
        ram.Refuse(hb.ecamWindow ? "host_bridge.ecam_window" : "host_bridge.ecam",
                   "the configuration window", window.base, window.size);
    }

    // Every switch, those in slots too, with the key it has in the description and the port
    // whose slot holds it.
    struct PlacedSwitch {
        const SwitchDescription* sw;
        std::string key;
        const PortDescription* above;
    };
    std::vector<PlacedSwitch> all;
    std::function<void(const SwitchDescription&, const std::string&, const PortDescription*)>
        place =
            [&](const SwitchDescription& sw, const std::string& key, const PortDescription* above) {
                all.push_back({&sw, key, above});
                for (size_t p = 0; p < sw.ports.size(); ++p) {
                    const PortDescription& port = sw.ports[p];
                    if (port.lowerSwitch) {
                        place(*port.lowerSwitch, At(key + ".ports", p) + ".switch", &port);
                    }
                }
            };
    for (size_t s = 0; s < fabric.switches.size(); ++s) {
        place(fabric.switches[s], At("switches", s), nullptr);
    }

    AddressBook book;
    // Switch-owned buses first, so a host-side function that lands on one is reported there.
    for (const PlacedSwitch& placed : all) {
        const auto& sw = *placed.sw;
        const std::string& key = placed.key;
        if (sw.internalBus == sw.bus) {
            Fail(key + ".internal_bus", "equals the switch's own bus " + Hex(sw.bus));
        }
        if (placed.above != nullptr && sw.bus != placed.above->bus) {
            Fail(key + ".bus", Hex(sw.bus) + " is not the slot's bus " + Hex(placed.above->bus));
        }
        book.ClaimBus(sw.internalBus, key + ".internal_bus");
        if (sw.linkTrainMs > kMaxTimingMs) {
            Fail(key + ".link_train_ms", std::to_string(sw.linkTrainMs) + " is above " +
                                             std::to_string(kMaxTimingMs) + " ms");
        }
        std::set<unsigned> indexes;
        for (size_t p = 0; p < sw.ports.size(); ++p) {
            const auto& port = sw.ports[p];
            const std::string pkey = At(key + ".ports", p);
            if (port.index >= SlotCount(sw.model)) {
                Fail(pkey + ".index", std::to_string(port.index) + " is not below the PEX " +
                                          ModelName(sw.model) + "'s " +
                                          std::to_string(SlotCount(sw.model)) + " slots");
            }
            if (!indexes.insert(port.index).second) {
                Fail(pkey + ".index", std::to_string(port.index) + " is listed twice");
            }
            CheckLink(port.linkSpeed, port.linkWidth, pkey);
            if (port.linkTrainMs && *port.linkTrainMs > kMaxTimingMs) {
                Fail(pkey + ".link_train_ms", std::to_string(*port.linkTrainMs) + " is above " +
                                                  std::to_string(kMaxTimingMs) + " ms");
            }
            if (port.drive && port.lowerSwitch) {
                Fail(pkey, "a slot holds a drive or a switch, not both");
            }
            book.ClaimBus(port.bus, pkey + ".bus");
        }
    }
    // A switch in a slot answers on the slot's bus, and its own buses lie above it: a bridge
    // passes down only the buses from its secondary to its subordinate number.
    for (const PlacedSwitch& placed : all) {
        if (placed.above == nullptr) {
            continue;
        }
        std::set<unsigned> inside;
        BusesOf(*placed.sw, inside);
        for (unsigned bus : inside) {
            if (bus <= placed.above->bus) {
                Fail(placed.key,
                     "bus " + Hex(bus) + " is not above the slot's bus " + Hex(placed.above->bus));
            }
        }
        const unsigned highest = HighestBus(*placed.sw);
        for (const PlacedSwitch& other : all) {
            std::set<unsigned> theirs = {other.sw->internalBus};
            for (const auto& port : other.sw->ports) {
                theirs.insert(port.bus);
            }
            for (unsigned bus : theirs) {
                if (bus > placed.above->bus && bus <= highest && inside.count(bus) == 0) {
                    Fail(placed.key, "its buses " + Hex(placed.above->bus) + " to " + Hex(highest) +
                                         " take in bus " + Hex(bus) +
                                         ", which another switch uses");
                }
            }
        }
    }
    book.ClaimFunction(0, "host_bridge", false);
    for (const PlacedSwitch& placed : all) {
        const auto& sw = *placed.sw;
        const std::string& key = placed.key;
        const uint64_t barSize = SwitchBarSize(sw.model);
        if ((sw.bar0 & (barSize - 1)) != 0) {
            Fail(key + ".bar0", Hex(sw.bar0) + " is not aligned to the BAR's size " + Hex(barSize));
        }
        if (!PayloadCode(sw.maxPayload)) {
            Fail(key + ".max_payload", std::to_string(sw.maxPayload) + " is not 128, 256 ... 4096");
        }
        if (sw.bar0 != 0) {
            ram.Refuse(key + ".bar0", "BAR0", sw.bar0, barSize);
        }
        book.ClaimFunction(unsigned{sw.bus} << 8, key + ".bus", placed.above != nullptr);
        ValidateWindow(key + ".memory_window", sw.memoryWindow, true);
        ValidateWindow(key + ".prefetchable_window", sw.prefetchableWindow, false);
        for (size_t p = 0; p < sw.ports.size(); ++p) {
            const auto& port = sw.ports[p];
            const std::string pkey = At(key + ".ports", p);
            ValidateWindow(pkey + ".memory_window", port.memoryWindow, true);
            ValidateWindow(pkey + ".prefetchable_window", port.prefetchableWindow, false);
            book.ClaimFunction(unsigned{sw.internalBus} << 8 | LinkMap(sw.model)[port.index] << 3,
                               pkey, true);
            if (port.lowerSwitch) {
                continue;  // the switch's upstream port claims the slot's function
            }
            book.ClaimFunction(unsigned{port.bus} << 8, pkey + ".drive", true);
            if (port.drive) {
                ValidateDrive(*port.drive, pkey + ".drive");
            }
        }
    }
    for (size_t i = 0; i < fabric.onboard.size(); ++i) {
        const auto& ob = fabric.onboard[i];
        const std::string key = At("onboard", i);
        book.ClaimFunction(unsigned{ob.bus} << 8, key + ".bus", false);
        ValidateDrive(ob.drive, key + ".drive");
    }
    for (size_t i = 0; i < fabric.functions.size(); ++i) {
        const auto& fn = fabric.functions[i];
        const std::string key = At("functions", i);
        book.ClaimFunction(fn.pfa, key + ".pfa", false);
        for (const auto& [offset, value] : fn.dwords) {
            (void)value;
            if ((offset & 3) != 0 || offset >= 0x1000) {
                Fail(key + ".dwords." + Hex(offset), "not a dword offset below 0x1000");
            }
        }
    }
    // No two devices decode the same memory, and no two bridges side by side forward the same
    // range: on a real machine the firmware never places them so, and the accesses of one
    // would land in the other. Nothing lies in RAM.
    struct Decoder {
        std::string key;
        uint64_t base;
        uint64_t size;
        std::string what = "the window";
    };
    auto refuseOverlaps = [](const std::vector<Decoder>& decoders) {
        for (size_t a = 0; a < decoders.size(); ++a) {
            for (size_t b = 0; b < a; ++b) {
                const Decoder& x = decoders[a];
                const Decoder& y = decoders[b];
                if (x.base - y.base < y.size || y.base - x.base < x.size) {
                    Fail(x.key, Hex(x.base) + " to " + Hex(x.base + x.size - 1) + " overlaps " +
                                    y.key + " (" + Hex(y.base) + " to " + Hex(y.base + y.size - 1) +
                                    ")");
                }
            }
        }
    };
    auto rangeDecoder = [](const std::string& drive, const MemoryRange& r) {
        if (r.reg == 0x10) {
            return Decoder{drive + ".bar0", r.base, r.size, "BAR0"};
        }
        if (r.reg == 0x30) {
            return Decoder{drive + ".rom.address", r.base, r.size, "the ROM"};
        }
        const std::string bar = "BAR" + std::to_string((r.reg - 0x10) / 4);
        return Decoder{drive + ".bars(" + bar + ").address", r.base, r.size, bar};
    };
    auto windowDecoders = [](const std::string& key, const BridgeWindows& w,
                             std::vector<Decoder>& out) {
        if (w.memory.Open()) {
            out.push_back(
                {key + ".memory_window", w.memory.base, w.memory.limit - w.memory.base + 1});
        }
        if (w.prefetchable.Open()) {
            out.push_back({key + ".prefetchable_window", w.prefetchable.base,
                           w.prefetchable.limit - w.prefetchable.base + 1});
        }
    };
    std::vector<Decoder> devices;  // every BAR of every device, wherever it sits
    std::vector<Decoder> host;     // what the host's own buses decode, windows included
    std::vector<Decoder> windows;  // the ports' windows
    if (const WindowDecode window = EffectiveWindow(hb); window.size != 0) {
        host.push_back({hb.ecamWindow ? "host_bridge.ecam_window" : "host_bridge.ecam", window.base,
                        window.size});
    }
    for (const PlacedSwitch& placed : all) {
        const auto& sw = *placed.sw;
        const std::string& key = placed.key;
        if (sw.bar0 != 0) {
            devices.push_back({key + ".bar0", sw.bar0, SwitchBarSize(sw.model), "BAR0"});
            if (placed.above == nullptr) {
                host.push_back(devices.back());
            }
        }
        // A switch in a slot decodes behind the slot's port, whose windows cover it.
        const SwitchWindows effective = EffectiveWindows(sw);
        windowDecoders(key, effective.upstream, placed.above == nullptr ? host : windows);
        std::vector<Decoder> ports;
        for (size_t p = 0; p < sw.ports.size(); ++p) {
            const std::string pkey = At(key + ".ports", p);
            windowDecoders(pkey, effective.ports[p], ports);
            if (sw.ports[p].drive) {
                for (const MemoryRange& r : DriveMemoryRanges(*sw.ports[p].drive)) {
                    devices.push_back(rangeDecoder(pkey + ".drive", r));
                }
            }
        }
        refuseOverlaps(ports);
        windows.insert(windows.end(), ports.begin(), ports.end());
    }
    for (size_t i = 0; i < fabric.onboard.size(); ++i) {
        for (const MemoryRange& r : DriveMemoryRanges(fabric.onboard[i].drive)) {
            devices.push_back(rangeDecoder(At("onboard", i) + ".drive", r));
            host.push_back(devices.back());
        }
    }
    // A device in RAM is named before the window that covers it.
    for (const std::vector<Decoder>* list : {&devices, &windows, &host}) {
        for (const Decoder& d : *list) {
            ram.Refuse(d.key, d.what, d.base, d.size);
        }
    }
    refuseOverlaps(devices);
    refuseOverlaps(host);
}

// ---------------------------------------------------------------------------------------------
// JSON

namespace {

using nlohmann::json;

void CheckKeys(const json& j, const std::string& key, std::initializer_list<const char*> allowed) {
    if (!j.is_object()) {
        Fail(key.empty() ? "fabric" : key, "expected an object");
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        bool known = it.key() == "comment";
        for (const char* a : allowed) {
            known = known || it.key() == a;
        }
        if (!known) {
            Fail(key.empty() ? it.key() : key + "." + it.key(), "unknown key");
        }
    }
}

uint64_t ParseNumberText(const std::string& text, const std::string& key) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 16u : 19u)) {
        Fail(key, "\"" + text + "\" is not a number");
    }
    uint64_t v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            Fail(key, "\"" + text + "\" is not a number");
        }
        v = v * (hex ? 16 : 10) + d;
    }
    return v;
}

uint64_t Number(const json& j, const std::string& key, uint64_t max) {
    uint64_t v = 0;
    if (j.is_number_unsigned()) {
        v = j.get<uint64_t>();
    } else if (j.is_number_integer()) {
        Fail(key, "must not be negative");
    } else if (j.is_string()) {
        v = ParseNumberText(j.get<std::string>(), key);
    } else {
        Fail(key, "expected a number or a \"0x...\" string");
    }
    if (v > max) {
        Fail(key, Hex(v) + " is above the largest value " + Hex(max));
    }
    return v;
}

// An identifier: a JSON number, or a string of hexadecimal digits with or without "0x" (as
// lspci prints identifiers, "0710" is 0x0710).
uint16_t IdNumber(const json& j, const std::string& key) {
    if (!j.is_string()) {
        return static_cast<uint16_t>(Number(j, key, 0xFFFF));
    }
    std::string text = j.get<std::string>();
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return static_cast<uint16_t>(Number(json(prefixed ? text : "0x" + text), key, 0xFFFF));
}

const json& Required(const json& j, const char* name, const std::string& key) {
    auto it = j.find(name);
    if (it == j.end()) {
        Fail(key.empty() ? name : key + "." + name, "missing");
    }
    return *it;
}

template <typename T>
void Optional(const json& j, const char* name, const std::string& key, uint64_t max, T& out) {
    auto it = j.find(name);
    if (it != j.end())
        out = static_cast<T>(Number(*it, key + "." + name, max));
}

template <typename T>
T Need(const json& j, const char* name, const std::string& key, uint64_t max) {
    return static_cast<T>(Number(Required(j, name, key), key + "." + name, max));
}

const json& List(const json& j, const std::string& key) {
    if (!j.is_array())
        Fail(key, "expected a list");
    return j;
}

// The image a key names, relative to the description's folder; null without the key.
std::shared_ptr<const RegisterImage> ImageOf(const json& j, const char* name,
                                             const std::string& key, const std::string& baseDir) {
    auto it = j.find(name);
    if (it == j.end()) {
        return nullptr;
    }
    const std::string ikey = key.empty() ? name : key + "." + name;
    if (!it->is_string() || it->get<std::string>().empty()) {
        Fail(ikey, "expected the name of an lspci capture");
    }
    std::string path = it->get<std::string>();
    if (!baseDir.empty() && path[0] != '/') {
        path = baseDir + "/" + path;
    }
    return std::make_shared<const RegisterImage>(ReadRegisterImage(path, ikey));
}

// A link speed as people write it, in GT/s: 2.5, 5, 8, 16, 32 or 64, a number or a string.
unsigned LinkSpeedOf(const json& j, const std::string& key) {
    static const double kSpeeds[] = {2.5, 5, 8, 16, 32, 64};
    std::string text;
    if (j.is_number()) {
        for (unsigned i = 0; i < 6; ++i) {
            if (j.get<double>() == kSpeeds[i])
                return i + 1;
        }
        text = j.dump();
    } else if (j.is_string()) {
        text = j.get<std::string>();
        static const char* const kWritten[] = {"2.5", "5", "8", "16", "32", "64"};
        for (unsigned i = 0; i < 6; ++i) {
            if (text == kWritten[i])
                return i + 1;
        }
    }
    Fail(key, "\"" + text + "\" is not a link speed: 2.5, 5, 8, 16, 32 or 64 (GT/s)");
}

void ReadLink(const json& j, const std::string& key, std::optional<unsigned>& speed,
              std::optional<unsigned>& width) {
    if (auto it = j.find("link_speed"); it != j.end()) {
        speed = LinkSpeedOf(*it, key + ".link_speed");
    }
    if (auto it = j.find("link_width"); it != j.end()) {
        width = static_cast<unsigned>(Number(*it, key + ".link_width", 32));
    }
}

// A bridge window: {"base", "limit"}, both ends included; base above limit is a closed one.
std::optional<Window> ReadWindow(const json& j, const char* name, const std::string& key) {
    auto it = j.find(name);
    if (it == j.end()) {
        return std::nullopt;
    }
    const std::string wkey = key + "." + name;
    CheckKeys(*it, wkey, {"base", "limit"});
    Window w;
    w.base = Need<uint64_t>(*it, "base", wkey, UINT64_MAX);
    w.limit = Need<uint64_t>(*it, "limit", wkey, UINT64_MAX);
    return w;
}

// BAR0's width: "bar0_bits" 32 or 64.
bool ReadBar0Wide(const json& j, const std::string& key, bool wide) {
    auto it = j.find("bar0_bits");
    if (it == j.end()) {
        return wide;
    }
    const uint64_t bits = Number(*it, key + ".bar0_bits", 64);
    if (bits != 32 && bits != 64) {
        Fail(key + ".bar0_bits", std::to_string(bits) + " is not 32 or 64");
    }
    return bits == 64;
}

void ReadBars(const json& j, const std::string& key, DriveDescription& d) {
    if (auto it = j.find("bars"); it != j.end()) {
        const auto& list = List(*it, key + ".bars");
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string bkey = At(key + ".bars", i);
            CheckKeys(list[i], bkey, {"index", "size", "address", "bits", "prefetchable", "io"});
            BarDescription b;
            b.index = Need<unsigned>(list[i], "index", bkey, 5);
            b.size = Need<uint64_t>(list[i], "size", bkey, UINT64_MAX);
            Optional(list[i], "address", bkey, UINT64_MAX, b.address);
            unsigned bits = 32;
            Optional(list[i], "bits", bkey, 64, bits);
            if (bits != 32 && bits != 64) {
                Fail(bkey + ".bits", std::to_string(bits) + " is not 32 or 64");
            }
            b.wide = bits == 64;
            for (const char* flag : {"prefetchable", "io"}) {
                if (auto f = list[i].find(flag); f != list[i].end()) {
                    if (!f->is_boolean()) {
                        Fail(bkey + "." + flag, "expected true or false");
                    }
                    (std::string(flag) == "io" ? b.io : b.prefetchable) = f->get<bool>();
                }
            }
            d.bars.push_back(b);
        }
    }
    if (auto it = j.find("rom"); it != j.end()) {
        const std::string rkey = key + ".rom";
        CheckKeys(*it, rkey, {"size", "address"});
        d.romSize = Need<uint64_t>(*it, "size", rkey, UINT64_MAX);
        Optional(*it, "address", rkey, 0xFFFFFFFF, d.romAddress);
    }
}

DriveDescription ReadDrive(const json& j, const std::string& key, const std::string& baseDir) {
    CheckKeys(j, key,
              {"vendor", "device", "bar0", "bar0_size", "bar0_bits", "bars", "rom", "max_payload",
               "msix_table", "msix_vectors", "link_control", "ready_ms", "link_speed", "link_width",
               "image"});
    DriveDescription d;
    if (auto image = ImageOf(j, "image", key, baseDir)) {
        // The image gives the MSI-X capability; a table described beside it would be another.
        for (const char* refused : {"msix_table", "msix_vectors"}) {
            if (j.contains(refused)) {
                Fail(key + "." + refused,
                     "refused beside an image, which gives the MSI-X capability itself");
            }
        }
        d = DriveDescription::FromImage(std::move(image));
        if (auto v = j.find("vendor"); v != j.end())
            d.vendor = IdNumber(*v, key + ".vendor");
        if (auto v = j.find("device"); v != j.end())
            d.device = IdNumber(*v, key + ".device");
    } else {
        d.vendor = IdNumber(Required(j, "vendor", key), key + ".vendor");
        d.device = IdNumber(Required(j, "device", key), key + ".device");
        Optional(j, "msix_vectors", key, 0xFFFFFFFF, d.msixVectors);
        if (auto it = j.find("msix_table"); it != j.end()) {
            d.msixTable = static_cast<uint32_t>(Number(*it, key + ".msix_table", 0xFFFFFFFF));
        }
    }
    Optional(j, "bar0", key, UINT64_MAX, d.bar0);
    Optional(j, "bar0_size", key, UINT64_MAX, d.bar0Size);
    d.bar0Wide = ReadBar0Wide(j, key, d.bar0Wide);
    ReadBars(j, key, d);
    Optional(j, "max_payload", key, 0xFFFFFFFF, d.maxPayload);
    Optional(j, "link_control", key, 0xFFFF, d.linkControl);
    Optional(j, "ready_ms", key, 0xFFFFFFFF, d.readyMs);
    ReadLink(j, key, d.linkSpeed, d.linkWidth);
    return d;
}

// What an image of a switch port holds for the model: the PCI Express capability where the
// switch's is (0x68), since the model's link and slot registers are there.
void CheckSwitchImage(const std::shared_ptr<const RegisterImage>& image, const std::string& key) {
    if (!image) {
        return;
    }
    ConfigSpace c;
    LoadImage(c, *image);
    if (FindCapabilities(c).pcie != 0x68) {
        Fail(key, "a switch port's PCI Express capability lies at 0x68; this image's does not");
    }
}

bool Flag(const json& j, const std::string& key) {
    if (!j.is_boolean()) {
        Fail(key, "expected true or false");
    }
    return j.get<bool>();
}

// One switch; slotBus is the bus of the port whose slot holds it (none on the host's buses),
// where its upstream port sits: its "bus" may then be left out, and must be that bus.
SwitchDescription ReadSwitch(const json& j, const std::string& key, const std::string& baseDir,
                             std::optional<uint8_t> slotBus) {
    CheckKeys(j, key,
              {"model", "bus", "internal_bus", "bar0", "max_payload", "link_train_ms", "ports",
               "image", "port_image", "memory_window", "prefetchable_window"});
    SwitchDescription sw;
    sw.image = ImageOf(j, "image", key, baseDir);
    sw.portImage = ImageOf(j, "port_image", key, baseDir);
    CheckSwitchImage(sw.image, key + ".image");
    CheckSwitchImage(sw.portImage, key + ".port_image");
    if (sw.image) {
        // BAR0 and the payload size as the machine had them, unless given.
        const RegisterImage& im = *sw.image;
        sw.bar0 = (im.bytes[0x10] | im.bytes[0x11] << 8 | im.bytes[0x12] << 16 |
                   static_cast<uint32_t>(im.bytes[0x13]) << 24) &
                  ~0xFu;
        sw.maxPayload = 128u << ((im.bytes[0x70] >> 5) & 7);
    }
    const json& model = Required(j, "model", key);
    std::optional<SwitchModel> m;
    if (model.is_string()) {
        m = ModelFromName(model.get<std::string>());
    } else if (model.is_number_unsigned()) {
        m = ModelFromName(std::to_string(model.get<uint64_t>()));
    }
    if (!m)
        Fail(key + ".model", "expected \"8618\", \"8732\" or \"8748\"");
    sw.model = *m;
    if (slotBus) {
        sw.bus = *slotBus;
        Optional(j, "bus", key, 0xFF, sw.bus);
        if (sw.bus != *slotBus) {
            Fail(key + ".bus", Hex(sw.bus) + " is not the slot's bus " + Hex(*slotBus) +
                                   ", where the switch's upstream port answers");
        }
    } else {
        sw.bus = Need<uint8_t>(j, "bus", key, 0xFF);
    }
    sw.internalBus = Need<uint8_t>(j, "internal_bus", key, 0xFF);
    Optional(j, "bar0", key, 0xFFFFFFFF, sw.bar0);
    Optional(j, "max_payload", key, 0xFFFFFFFF, sw.maxPayload);
    Optional(j, "link_train_ms", key, 0xFFFFFFFF, sw.linkTrainMs);
    sw.memoryWindow = ReadWindow(j, "memory_window", key);
    sw.prefetchableWindow = ReadWindow(j, "prefetchable_window", key);
    if (auto p = j.find("ports"); p != j.end()) {
        const auto& ports = List(*p, key + ".ports");
        for (size_t i = 0; i < ports.size(); ++i) {
            const std::string pkey = At(key + ".ports", i);
            CheckKeys(
                ports[i], pkey,
                {"index", "bus", "drive", "switch", "slot_control", "link_train_ms", "link_speed",
                 "link_width", "image", "memory_window", "prefetchable_window"});
            PortDescription port;
            port.index = Need<unsigned>(ports[i], "index", pkey, 0xFFFF);
            port.bus = Need<uint8_t>(ports[i], "bus", pkey, 0xFF);
            port.image = ImageOf(ports[i], "image", pkey, baseDir);
            CheckSwitchImage(port.image, pkey + ".image");
            if (!port.image) {
                port.image = sw.portImage;
            }
            port.memoryWindow = ReadWindow(ports[i], "memory_window", pkey);
            port.prefetchableWindow = ReadWindow(ports[i], "prefetchable_window", pkey);
            if (auto c = ports[i].find("slot_control"); c != ports[i].end()) {
                port.slotControl =
                    static_cast<uint16_t>(Number(*c, pkey + ".slot_control", 0xFFFF));
            }
            if (auto t = ports[i].find("link_train_ms"); t != ports[i].end()) {
                port.linkTrainMs =
                    static_cast<unsigned>(Number(*t, pkey + ".link_train_ms", 0xFFFFFFFF));
            }
            ReadLink(ports[i], pkey, port.linkSpeed, port.linkWidth);
            const auto d = ports[i].find("drive");
            const auto l = ports[i].find("switch");
            const bool hasDrive = d != ports[i].end() && !d->is_null();
            const bool hasSwitch = l != ports[i].end() && !l->is_null();
            if (hasDrive && hasSwitch) {
                Fail(pkey, "a slot holds a drive or a switch, not both");
            }
            if (hasDrive) {
                port.drive = ReadDrive(*d, pkey + ".drive", baseDir);
            }
            if (hasSwitch) {
                port.lowerSwitch = std::make_shared<const SwitchDescription>(
                    ReadSwitch(*l, pkey + ".switch", baseDir, port.bus));
            }
            sw.ports.push_back(port);
        }
    }
    return sw;
}

FabricDescription ReadFabric(const json& root, const std::string& baseDir) {
    CheckKeys(root, "",
              {"name", "description", "ram", "host_bridge", "switches", "onboard", "functions",
               "windows"});
    FabricDescription f;
    if (auto it = root.find("ram"); it != root.end()) {
        const auto& list = List(*it, "ram");
        f.ram.clear();
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string key = At("ram", i);
            CheckKeys(list[i], key, {"base", "size"});
            f.ram.push_back({Need<uint64_t>(list[i], "base", key, UINT64_MAX),
                             Need<uint64_t>(list[i], "size", key, UINT64_MAX)});
        }
    }
    if (auto it = root.find("host_bridge"); it != root.end()) {
        const std::string key = "host_bridge";
        CheckKeys(*it, key, {"vendor", "device", "ecam", "ecam_window", "crs_visibility", "image"});
        auto& hb = f.hostBridge;
        if ((hb.image = ImageOf(*it, "image", key, baseDir))) {
            ConfigSpace c;
            LoadImage(c, *hb.image);
            hb.vendor = static_cast<uint16_t>(c.Dword(0x00));
            hb.device = static_cast<uint16_t>(c.Dword(0x00) >> 16);
            hb.ecam = uint64_t{c.Dword(0x64)} << 32 | c.Dword(0x60);
        }
        if (auto v = it->find("vendor"); v != it->end())
            hb.vendor = IdNumber(*v, key + ".vendor");
        if (auto v = it->find("device"); v != it->end())
            hb.device = IdNumber(*v, key + ".device");
        Optional(*it, "ecam", key, UINT64_MAX, hb.ecam);
        if (auto w = it->find("ecam_window"); w != it->end()) {
            hb.ecamWindow = Number(*w, key + ".ecam_window", UINT64_MAX);
        }
        if (auto c = it->find("crs_visibility"); c != it->end()) {
            hb.crsVisibility = Flag(*c, key + ".crs_visibility");
        }
    }
    if (auto it = root.find("switches"); it != root.end()) {
        const auto& list = List(*it, "switches");
        for (size_t s = 0; s < list.size(); ++s) {
            f.switches.push_back(ReadSwitch(list[s], At("switches", s), baseDir, std::nullopt));
        }
    }
    if (auto it = root.find("onboard"); it != root.end()) {
        const auto& list = List(*it, "onboard");
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string key = At("onboard", i);
            CheckKeys(list[i], key, {"bus", "drive"});
            OnboardDescription ob;
            ob.bus = Need<uint8_t>(list[i], "bus", key, 0xFF);
            ob.drive = ReadDrive(Required(list[i], "drive", key), key + ".drive", baseDir);
            f.onboard.push_back(ob);
        }
    }
    if (auto it = root.find("windows"); it != root.end()) {
        const std::string key = "windows";
        CheckKeys(*it, key, {"system", "page_files"});
        WindowsDisksDescription w;
        if (auto s = it->find("system"); s != it->end()) {
            w.system = static_cast<uint16_t>(Number(*s, key + ".system", 0xFFFF));
        }
        if (auto p = it->find("page_files"); p != it->end()) {
            const auto& list = List(*p, key + ".page_files");
            for (size_t i = 0; i < list.size(); ++i) {
                w.pageFiles.push_back(
                    static_cast<uint16_t>(Number(list[i], At(key + ".page_files", i), 0xFFFF)));
            }
        }
        f.windows = w;
    }
    if (auto it = root.find("functions"); it != root.end()) {
        const auto& list = List(*it, "functions");
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string key = At("functions", i);
            CheckKeys(list[i], key, {"pfa", "dwords", "image"});
            FunctionDescription fn;
            fn.pfa = Need<uint16_t>(list[i], "pfa", key, 0xFFFF);
            fn.image = ImageOf(list[i], "image", key, baseDir);
            const json none = json::object();
            const json& dwords =
                fn.image && !list[i].contains("dwords") ? none : Required(list[i], "dwords", key);
            if (!dwords.is_object())
                Fail(key + ".dwords", "expected an object");
            for (auto d = dwords.begin(); d != dwords.end(); ++d) {
                const std::string dkey = key + ".dwords." + d.key();
                const auto offset = static_cast<unsigned>(
                    std::min<uint64_t>(ParseNumberText(d.key(), dkey), 0xFFFFFFFF));
                fn.dwords[offset] = static_cast<uint32_t>(Number(d.value(), dkey, 0xFFFFFFFF));
            }
            f.functions.push_back(fn);
        }
    }
    ValidateFabric(f);
    return f;
}

}  // namespace

FabricDescription ParseFabricJson(const std::string& text, const std::string& baseDir) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        throw FabricError(std::string("not valid JSON: ") + e.what());
    }
    return ReadFabric(root, baseDir);
}

FabricDescription LoadFabricFile(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        throw FabricError(path + ": is a directory, not a description");
    }
    std::ifstream in(path);
    if (!in)
        throw FabricError(path + ": cannot be opened: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    const size_t slash = path.find_last_of('/');
    const std::string baseDir = slash == std::string::npos ? "" : path.substr(0, slash);
    try {
        return ParseFabricJson(text.str(), baseDir);
    } catch (const FabricError& e) {
        throw FabricError(path + ": " + e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Builder

FabricBuilder& FabricBuilder::Ram(std::vector<RamRange> ranges) {
    fabric_.ram = std::move(ranges);
    return *this;
}

FabricBuilder& FabricBuilder::HostBridge(uint16_t vendor, uint16_t device, uint64_t ecam) {
    fabric_.hostBridge.vendor = vendor;
    fabric_.hostBridge.device = device;
    fabric_.hostBridge.ecam = ecam;
    return *this;
}

FabricBuilder& FabricBuilder::EcamWindow(uint64_t base) {
    fabric_.hostBridge.ecamWindow = base;
    return *this;
}

FabricBuilder& FabricBuilder::Switch(SwitchModel model, uint8_t bus, uint8_t internalBus,
                                     uint32_t bar0, unsigned maxPayload) {
    SwitchDescription sw;
    sw.model = model;
    sw.bus = bus;
    sw.internalBus = internalBus;
    sw.bar0 = bar0;
    sw.maxPayload = maxPayload;
    fabric_.switches.push_back(sw);
    return *this;
}

FabricBuilder& FabricBuilder::LinkTrainMs(unsigned ms) {
    if (fabric_.switches.empty())
        throw FabricError("link_train_ms: no switch added yet");
    fabric_.switches.back().linkTrainMs = ms;
    return *this;
}

FabricBuilder& FabricBuilder::PortLinkTrainMs(unsigned ms) {
    if (fabric_.switches.empty() || fabric_.switches.back().ports.empty())
        throw FabricError("link_train_ms: no port added yet");
    fabric_.switches.back().ports.back().linkTrainMs = ms;
    return *this;
}

FabricBuilder& FabricBuilder::EmptyPort(unsigned index, uint8_t bus) {
    if (fabric_.switches.empty())
        throw FabricError("ports: no switch added yet");
    PortDescription port;
    port.index = index;
    port.bus = bus;
    fabric_.switches.back().ports.push_back(port);
    return *this;
}

FabricBuilder& FabricBuilder::Port(unsigned index, uint8_t bus, const DriveDescription& drive) {
    EmptyPort(index, bus);
    fabric_.switches.back().ports.back().drive = drive;
    return *this;
}

FabricBuilder& FabricBuilder::Onboard(uint8_t bus, const DriveDescription& drive) {
    fabric_.onboard.push_back({bus, drive});
    return *this;
}

FabricBuilder& FabricBuilder::Function(uint16_t pfa, std::map<unsigned, uint32_t> dwords) {
    fabric_.functions.push_back({pfa, std::move(dwords), nullptr});
    return *this;
}

FabricDescription FabricBuilder::Build() const {
    ValidateFabric(fabric_);
    return fabric_;
}

}  // namespace sim
