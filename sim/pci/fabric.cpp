// Routing of port, window and memory accesses to the device models, with the bookkeeping that
// makes misbehaviour visible.
#include "sim/pci/fabric.h"

#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {

constexpr uint32_t kEnable = 0x80000000;
constexpr uint32_t kReservedLatchBits = 0x7F000003;

uint32_t Ones(unsigned size) {
    return size >= 4 ? 0xFFFFFFFF : (1u << (8 * size)) - 1;
}

std::string Where(unsigned switchIndex, unsigned slot) {
    return "switch " + std::to_string(switchIndex) + " slot " + std::to_string(slot);
}

}  // namespace

Fabric::Fabric(const FabricDescription& description)
    : Fabric((ValidateFabric(description), description), Validated{}) {}

Fabric::Fabric(const FabricDescription& description, Validated) : ram_(description.ram) {
    const auto& hb = description.hostBridge;
    hostBridge_ = MakeHostBridge(hb);
    crsVisibility_ = hb.crsVisibility;
    const WindowDecode window = EffectiveWindow(hb);
    ecamWindow_ = window.base;
    ecamWindowSize_ = window.size;
    for (const auto& fn : description.functions) {
        functions_.emplace(fn.pfa, MakeFunction(fn));
    }
    for (const auto& sw : description.switches) {
        switches_.push_back(std::make_unique<PlxSwitch>(sw, clock_, rules_));
    }
    // Then the switches in slots, so that those on the host's buses keep their places in the
    // order of the description.
    for (size_t i = 0; i < description.switches.size(); ++i) {
        AddLowerSwitches(description.switches[i], *switches_[i]);
    }
    for (const auto& ob : description.onboard) {
        auto drive = std::make_unique<NvmeDrive>(ob.drive);
        drive->LoadFirmwareState();
        drive->WatchRules(&rules_);
        onboard_.emplace(ob.bus, std::move(drive));
    }
}

void Fabric::AddLowerSwitches(const SwitchDescription& description, PlxSwitch& sw) {
    for (const auto& port : description.ports) {
        if (port.lowerSwitch) {
            DownstreamPort* above = sw.Port(port.index);
            switches_.push_back(
                std::make_unique<PlxSwitch>(*port.lowerSwitch, clock_, rules_, above));
            PlxSwitch& lower = *switches_.back();
            above->AttachLower(&lower);
            AddLowerSwitches(*port.lowerSwitch, lower);
        }
    }
}

std::unique_ptr<Fabric> Fabric::FromJson(const std::string& text, const std::string& baseDir) {
    return std::make_unique<Fabric>(ParseFabricJson(text, baseDir));
}

std::unique_ptr<Fabric> Fabric::FromFile(const std::string& path) {
    return std::make_unique<Fabric>(LoadFabricFile(path));
}

Fabric::~Fabric() = default;

// ---------------------------------------------------------------------------------------------
// Routing

ConfigSpace* Fabric::Locate(unsigned bus, unsigned device, unsigned function, bool bypassLink,
                            DownstreamPort** via) {
    const uint16_t pfa = Pfa(bus, device, function);
    if (pfa == 0)
        return &hostBridge_;
    if (auto it = functions_.find(pfa); it != functions_.end())
        return &it->second;
    if (device == 0 && function == 0) {
        for (auto& sw : switches_) {
            if (sw->Above() == nullptr && sw->Bus() == bus)
                return &sw->Upstream();
        }
        if (auto it = onboard_.find(static_cast<uint8_t>(bus)); it != onboard_.end()) {
            return &it->second->Config();
        }
    }
    // Switch ports decode from their bus-number registers as they stand, so software that
    // rewrites them moves what lies behind, as on real hardware.
    for (auto& sw : switches_) {
        if (sw->Above() == nullptr && sw->InternalBus() == bus) {
            DownstreamPort* port = function == 0 ? sw->PortAtDevice(device) : nullptr;
            return port ? &port->Config() : nullptr;
        }
    }
    for (auto& sw : switches_) {
        if (sw->Above() != nullptr) {
            continue;  // reached through the port above it
        }
        for (unsigned s = 0; s < sw->Slots(); ++s) {
            if (DownstreamPort* port = sw->Port(s)) {
                const Behind behind = BehindPort(*port, bus, device, function, bypassLink, via);
                if (behind.claimed) {
                    return behind.space;
                }
            }
        }
    }
    return nullptr;
}

Fabric::Behind Fabric::BehindPort(DownstreamPort& port, unsigned bus, unsigned device,
                                  unsigned function, bool bypassLink, DownstreamPort** via) {
    Behind r;
    PlxSwitch* lower = port.Lower();
    if (bus == port.SecondaryBus()) {
        r.claimed = true;
        if (device != 0 || function != 0) {
            return r;  // a downstream port passes device 0 only
        }
        if (via != nullptr) {
            *via = &port;
        }
        if (!bypassLink && !port.LinkUp()) {
            return r;
        }
        if (NvmeDrive* drive = port.Drive()) {
            r.drive = drive;
            r.space = &drive->Config();
        } else if (lower != nullptr) {
            r.space = &lower->Upstream();
        }
        return r;
    }
    if (lower == nullptr || bus < port.SecondaryBus() || bus > port.SubordinateBus()) {
        return r;
    }
    r.claimed = true;
    if (!bypassLink && !port.LinkUp()) {
        return r;
    }
    // The switch in the slot passes on only what its own bus numbers take in: none while they
    // read 0 after a reset.
    const unsigned internal = lower->InternalBus();
    if (internal == 0 || bus < internal || bus > lower->SubordinateBus()) {
        return r;
    }
    if (bus == internal) {
        if (DownstreamPort* p = function == 0 ? lower->PortAtDevice(device) : nullptr) {
            r.space = &p->Config();
            if (via != nullptr) {
                *via = &port;
            }
        }
        return r;
    }
    for (unsigned s = 0; s < lower->Slots(); ++s) {
        if (DownstreamPort* p = lower->Port(s)) {
            const Behind below = BehindPort(*p, bus, device, function, bypassLink, via);
            if (below.claimed) {
                return below;
            }
        }
    }
    return r;
}

NvmeDrive* Fabric::DriveAt(unsigned bus, bool bypassLink, DownstreamPort** via) {
    if (auto it = onboard_.find(static_cast<uint8_t>(bus)); it != onboard_.end()) {
        return it->second.get();
    }
    for (auto& sw : switches_) {
        if (sw->Above() == nullptr && sw->InternalBus() == bus)
            return nullptr;
    }
    for (auto& sw : switches_) {
        if (sw->Above() != nullptr) {
            continue;
        }
        for (unsigned s = 0; s < sw->Slots(); ++s) {
            if (DownstreamPort* port = sw->Port(s)) {
                const Behind behind = BehindPort(*port, bus, 0, 0, bypassLink, via);
                if (behind.claimed) {
                    return behind.drive;
                }
            }
        }
    }
    return nullptr;
}

PlxSwitch& Fabric::SwitchAt(unsigned switchIndex) const {
    if (switchIndex >= switches_.size()) {
        throw std::out_of_range("no switch " + std::to_string(switchIndex));
    }
    return *switches_[switchIndex];
}

DownstreamPort& Fabric::PortAt(unsigned switchIndex, unsigned slot) const {
    DownstreamPort* port = SwitchAt(switchIndex).Port(slot);
    if (!port)
        throw std::out_of_range("no port at " + Where(switchIndex, slot));
    return *port;
}

uint32_t Fabric::NotReadyRead(unsigned offset, unsigned size) const {
    if (crsVisibility_ && offset == 0 && size >= 2) {
        return size == 4 ? 0xFFFF0001 : 0x0001;
    }
    return Ones(size);
}

ConfigSpace* Fabric::Reach(ConfigSpace* space, DownstreamPort* via, bool counted) {
    if (space == nullptr || via == nullptr) {
        return space;
    }
    if (counted && via->TooSoon()) {
        ++counters_.earlyConfig;
    }
    return via->DriveAnswers() ? space : nullptr;
}

void Fabric::CatchUp() {
    if (clock_.now < clock_.nextEvent) {
        return;
    }
    clock_.nextEvent = MachineClock::kNever;
    bool changed = false;
    for (auto& sw : switches_) {
        for (unsigned s = 0; s < sw->Slots(); ++s) {
            if (DownstreamPort* port = sw->Port(s)) {
                changed = port->Advance() || changed;
                clock_.Schedule(port->NextEvent());
            }
        }
    }
    if (changed) {
        ForgetRoutes();  // a drive that came up is reachable now
    }
}

void Fabric::Charge() {
    clock_.now += kAccessCostUs;
}

void Fabric::RecordConfigWrite(uint16_t pfa, unsigned offset, unsigned size, uint32_t value,
                               ConfigPath path, bool answered) {
    ++counters_.configWrites;
    if (configWrites_.size() >= kConfigWriteLimit) {
        configWrites_.pop_front();
    }
    configWrites_.push_back({pfa, offset, size, value, path, answered});
}

// ---------------------------------------------------------------------------------------------
// Configuration mechanism #1

bool& Fabric::LatchedSinceData(std::thread::id thread) {
    for (auto& entry : latchedSinceData_) {
        if (entry.first == thread) {
            return entry.second;
        }
    }
    latchedSinceData_.emplace_back(thread, false);
    return latchedSinceData_.back().second;
}

uint32_t Fabric::ReadPort(uint16_t port) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    if (port == kConfigAddressPort)
        return latch_;
    if (port != kConfigDataPort) {
        ++counters_.otherPortAccesses;
        return 0xFFFFFFFF;
    }
    const auto me = std::this_thread::get_id();
    // The pair is only sound when this thread wrote the latch it is using.
    if (me != latchOwner_)
        ++counters_.interleaveViolations;
    if (LatchedSinceData(me))
        ++counters_.portPairs;
    LatchedSinceData(me) = false;
    if (!(latch_ & kEnable))
        return 0xFFFFFFFF;
    Charge();
    CatchUp();
    ++counters_.configReads;
    if (AccessFails(AccessFault::ConfigRead))
        return 0xFFFFFFFF;
    DownstreamPort* via = nullptr;
    ConfigSpace* c = Route((latch_ >> 16) & 0xFF, (latch_ >> 11) & 0x1F, (latch_ >> 8) & 7, &via);
    ConfigSpace* reached = Reach(c, via, true);
    if (reached == nullptr && c != nullptr) {
        return NotReadyRead(latch_ & 0xFC, 4);  // there, but still starting
    }
    return reached ? reached->Read(latch_ & 0xFC, 4) : 0xFFFFFFFF;
}

void Fabric::WritePort(uint16_t port, uint32_t value) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    const auto me = std::this_thread::get_id();
    if (port == kConfigAddressPort) {
        if (value & kReservedLatchBits)
            ++counters_.reservedAddressBits;
        latch_ = value;
        latchOwner_ = me;
        LatchedSinceData(me) = true;
        return;
    }
    if (port != kConfigDataPort) {
        ++counters_.otherPortAccesses;
        return;
    }
    ForgetRoutes();
    if (me != latchOwner_)
        ++counters_.interleaveViolations;
    if (LatchedSinceData(me))
        ++counters_.portPairs;
    LatchedSinceData(me) = false;
    if (!(latch_ & kEnable))
        return;
    Charge();
    CatchUp();
    const unsigned bus = (latch_ >> 16) & 0xFF;
    const unsigned dev = (latch_ >> 11) & 0x1F;
    const unsigned fn = (latch_ >> 8) & 7;
    DownstreamPort* via = nullptr;
    ConfigSpace* c = Locate(bus, dev, fn, false, &via);
    c = Reach(c, via, true);
    RecordConfigWrite(Pfa(bus, dev, fn), latch_ & 0xFC, 4, value, ConfigPath::Ports, c != nullptr);
    if (AccessFails(AccessFault::ConfigWrite))
        return;
    if (c)
        c->Write(latch_ & 0xFC, 4, value);
}

// ---------------------------------------------------------------------------------------------
// Physical memory

uint32_t Fabric::ReadPhysicalLocked(uint64_t address, unsigned size, bool inspect) {
    if (!inspect) {
        Charge();
    }
    CatchUp();
    if (!IsNaturalAccess(address, size)) {
        if (!inspect)
            ++counters_.badMemoryAccesses;
        return Ones(size);
    }
    if (ecamWindowSize_ != 0 && address >= ecamWindow_ && address - ecamWindow_ < ecamWindowSize_) {
        const uint64_t off = address - ecamWindow_;
        if (!inspect) {
            ++counters_.ecamAccesses;
            ++counters_.configReads;
            if (AccessFails(AccessFault::ConfigRead))
                return Ones(size);
        }
        const auto bus = static_cast<unsigned>(off >> 20) & 0xFF;
        const auto dev = static_cast<unsigned>(off >> 15) & 0x1F;
        const auto fn = static_cast<unsigned>(off >> 12) & 7;
        DownstreamPort* via = nullptr;
        ConfigSpace* c = inspect ? Locate(bus, dev, fn, false, &via) : Route(bus, dev, fn, &via);
        ConfigSpace* reached = Reach(c, via, !inspect);
        if (reached == nullptr && c != nullptr) {
            return NotReadyRead(static_cast<unsigned>(off & 0xFFF), size);
        }
        return reached ? reached->Read(static_cast<unsigned>(off & 0xFFF), size) : Ones(size);
    }
    if (!inspect) {
        ++counters_.physicalReads;
        if (AccessFails(AccessFault::PhysicalRead))
            return Ones(size);
    }
    const MemoryClaim claim = inspect ? ClaimMemory(address) : RouteMemory(address);
    if (claim.sw != nullptr) {
        unsigned off = 0;
        const int block = claim.sw->BlockAt(claim.offset, &off);
        if (block < 0) {
            return 0;  // another port's registers: none of this system's business
        }
        const auto b = static_cast<unsigned>(block);
        return inspect ? claim.sw->PeekBlock(b, off, size) : claim.sw->ReadBlock(b, off, size);
    }
    if (claim.drive == nullptr) {
        return Ones(size);
    }
    return claim.bar == reg::kBar0 ? claim.drive->ReadBar(claim.offset, size) : 0;
}

namespace {

// The pieces of a range that memory reaches through bridges, each bridge forwarding what lies in
// either of its windows (memory, prefetchable).
std::vector<MemoryRange> Forwarded(const MemoryRange& r, const std::vector<BridgeWindows>& path) {
    std::vector<MemoryRange> pieces = {r};
    for (const BridgeWindows& bridge : path) {
        std::vector<MemoryRange> next;
        for (const MemoryRange& piece : pieces) {
            for (const Window* w : {&bridge.memory, &bridge.prefetchable}) {
                const MemoryRange clipped = Clip(piece, *w);
                if (clipped.size != 0) {
                    next.push_back(clipped);
                }
            }
        }
        pieces.swap(next);
    }
    return pieces;
}

// The bridges memory crosses from the host's buses to a switch's upstream port: none for a
// switch on the host's buses; for a switch in a slot, those to the switch above, its upstream
// port and the slot's port. False when a link on the way is down.
bool PathTo(PlxSwitch& sw, std::vector<BridgeWindows>* path) {
    DownstreamPort* above = sw.Above();
    if (above == nullptr) {
        return true;
    }
    if (!above->LinkUp() || !PathTo(above->Owner(), path)) {
        return false;
    }
    path->push_back(ForwardedWindows(above->Owner().Upstream()));
    path->push_back(ForwardedWindows(above->Config()));
    return true;
}

}  // namespace

template <typename Visit>
void Fabric::ForEachDecoder(Visit visit) {
    MemoryClaim c;
    bool stop = false;
    for (auto& sw : switches_) {
        const uint64_t base = sw->Bar0Base();
        std::vector<BridgeWindows> path;
        if (base == 0 || !PathTo(*sw, &path)) {
            continue;
        }
        for (const MemoryRange& piece : Forwarded({reg::kBar0, base, sw->Bar0Size()}, path)) {
            c = MemoryClaim{};
            c.sw = sw.get();
            c.base = piece.base;
            c.size = piece.size;
            c.origin = base;
            if (visit(c)) {
                return;
            }
        }
    }
    // Each range of a drive, as far as the windows let memory reach it (whole, for a drive on
    // a host bus).
    auto drive = [&](NvmeDrive* d, uint8_t bus, const std::vector<BridgeWindows>& path) {
        if (d == nullptr) {
            return;
        }
        d->ForEachDecodedRange([&](const MemoryRange& r) {
            for (const MemoryRange& piece : Forwarded(r, path)) {
                if (stop) {
                    return;
                }
                c = MemoryClaim{};
                c.drive = d;
                c.bus = bus;
                c.bar = r.reg;
                c.base = piece.base;
                c.size = piece.size;
                c.origin = r.base;
                stop = visit(c);
            }
        });
    };
    for (auto& [bus, d] : onboard_) {
        drive(d.get(), bus, {});
        if (stop) {
            return;
        }
    }
    for (auto& sw : switches_) {
        std::vector<BridgeWindows> path;
        if (!PathTo(*sw, &path)) {
            continue;
        }
        path.push_back(ForwardedWindows(sw->Upstream()));
        for (unsigned s = 0; s < sw->Slots(); ++s) {
            DownstreamPort* port = sw->Port(s);
            if (port == nullptr || port->ReachableDrive() == nullptr) {
                continue;
            }
            std::vector<BridgeWindows> through = path;
            through.push_back(ForwardedWindows(port->Config()));
            drive(port->ReachableDrive(), port->SecondaryBus(), through);
            if (stop) {
                return;
            }
        }
    }
}

Fabric::MemoryClaim Fabric::ClaimMemory(uint64_t address) {
    MemoryClaim claim;
    ForEachDecoder([&](const MemoryClaim& c) {
        if (address - c.base >= c.size) {
            return false;
        }
        claim = c;
        claim.offset = address - c.origin;
        return true;
    });
    return claim;
}

ConfigSpace* Fabric::Route(unsigned bus, unsigned device, unsigned function, DownstreamPort** via) {
    const uint16_t pfa = Pfa(bus, device, function);
    *via = nullptr;
    if (lastFunction_.valid && lastFunction_.pfa == pfa) {
        *via = lastFunction_.via;
        return lastFunction_.space;
    }
    ConfigSpace* space = Locate(bus, device, function, false, via);
    lastFunction_ = {true, pfa, space, *via};
    return space;
}

Fabric::MemoryClaim Fabric::RouteMemory(uint64_t address) {
    if (lastClaim_.valid && address - lastClaim_.claim.base < lastClaim_.claim.size) {
        MemoryClaim claim = lastClaim_.claim;
        claim.offset = address - claim.origin;
        return claim;
    }
    const MemoryClaim claim = ClaimMemory(address);
    // Only a range that nothing else decodes is remembered: where two devices overlap, the
    // order of the claim decides each address afresh. (The window is routed before any claim,
    // so it needs no such care.)
    if ((claim.sw != nullptr || claim.drive != nullptr) && !Shared(claim)) {
        lastClaim_ = {true, claim};
    }
    return claim;
}

bool Fabric::Shared(const MemoryClaim& claim) {
    bool shared = false;
    ForEachDecoder([&](const MemoryClaim& c) {
        const bool same = c.sw == claim.sw && c.drive == claim.drive && c.bar == claim.bar;
        shared = !same && c.base < claim.base + claim.size && claim.base < c.base + c.size;
        return shared;
    });
    return shared;
}

void Fabric::ForgetRoutes() {
    lastFunction_.valid = false;
    lastClaim_.valid = false;
}

uint32_t Fabric::ReadPhysical(uint64_t address, unsigned size) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return ReadPhysicalLocked(address, size, false);
}

void Fabric::WritePhysical(uint64_t address, unsigned size, uint32_t value) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    Charge();
    CatchUp();
    ForgetRoutes();
    auto stray = [&] {
        ++counters_.strayWrites;
        faults_.strayWrites.push_back({address, size, value});
    };
    if (!IsNaturalAccess(address, size)) {
        ++counters_.badMemoryAccesses;
        stray();
        return;
    }
    if (ecamWindowSize_ != 0 && address >= ecamWindow_ && address - ecamWindow_ < ecamWindowSize_) {
        const uint64_t off = address - ecamWindow_;
        ++counters_.ecamAccesses;
        const auto bus = static_cast<unsigned>(off >> 20) & 0xFF;
        const auto dev = static_cast<unsigned>(off >> 15) & 0x1F;
        const auto fn = static_cast<unsigned>(off >> 12) & 7;
        const auto reg = static_cast<unsigned>(off & 0xFFF);
        DownstreamPort* via = nullptr;
        ConfigSpace* c = Locate(bus, dev, fn, false, &via);
        c = Reach(c, via, true);
        RecordConfigWrite(Pfa(bus, dev, fn), reg, size, value, ConfigPath::Ecam, c != nullptr);
        if (AccessFails(AccessFault::ConfigWrite))
            return;
        if (c)
            c->Write(reg, size, value);
        return;
    }
    ++counters_.physicalWrites;
    const bool drop = AccessFails(AccessFault::PhysicalWrite);
    const MemoryClaim claim = ClaimMemory(address);
    if (claim.sw != nullptr) {
        unsigned off = 0;
        const int block = claim.sw->BlockAt(claim.offset, &off);
        const uint16_t up = Pfa(claim.sw->Bus(), 0, 0);
        if (block < 0) {
            RecordMemoryWrite(address, size, value, MemoryTarget::SwitchRegister, up);
            faults_.driveRegisterWrites.push_back({up, claim.offset, size, value, reg::kBar0});
            return;
        }
        RecordMemoryWrite(address, size, value, MemoryTarget::SwitchBlock, up);
        if (!drop)
            claim.sw->WriteBlock(static_cast<unsigned>(block), off, size, value);
        return;
    }
    if (claim.drive == nullptr) {
        RecordMemoryWrite(address, size, value, MemoryTarget::Nothing, 0);
        stray();
        return;
    }
    // A dropped write is judged like any other (a register write is a fault whether or not it
    // arrives); one that lands in the table is taken back.
    const uint64_t off = claim.offset;
    const uint16_t pfa = Pfa(claim.bus, 0, 0);
    const uint32_t before =
        drop && claim.bar == reg::kBar0 ? claim.drive->ReadBar(off & ~3ull, 4) : 0;
    const bool table = claim.bar == reg::kBar0 && claim.drive->WriteBar(off, size, value);
    RecordMemoryWrite(address, size, value,
                      table ? MemoryTarget::DriveTable : MemoryTarget::DriveRegister, pfa);
    if (!table) {
        faults_.driveRegisterWrites.push_back({pfa, off, size, value, claim.bar});
    } else if (drop) {
        claim.drive->PokeBar(off & ~3ull, before);
    } else {
        unsigned entry = 0;
        uint64_t messageAddress = 0;
        if (claim.drive->UnmaskedWithoutAddress(off, &entry, &messageAddress)) {
            faults_.msixHazards.push_back({Pfa(claim.bus, 0, 0), entry, messageAddress});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Inspection

uint32_t Fabric::PeekConfig(uint8_t bus, uint8_t device, uint8_t function, unsigned offset) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ConfigSpace* c = Locate(bus, device, function, true);
    return c ? c->Dword(offset & 0xFFC) : 0xFFFFFFFF;
}

bool Fabric::PokeConfig(uint8_t bus, uint8_t device, uint8_t function, unsigned offset,
                        uint32_t value) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    ConfigSpace* c = Locate(bus, device, function, true);
    if (!c)
        return false;
    c->Poke(offset & 0xFFC, value);
    return true;
}

uint32_t Fabric::PeekPhysical(uint64_t address, unsigned size) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return ReadPhysicalLocked(address, size, true);
}

bool Fabric::PokePhysical(uint64_t address, uint32_t value) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    if ((address & 3) != 0)
        return false;
    const MemoryClaim claim = ClaimMemory(address);
    if (claim.sw != nullptr) {
        unsigned off = 0;
        const int block = claim.sw->BlockAt(claim.offset, &off);
        if (block >= 0) {
            claim.sw->WriteBlock(static_cast<unsigned>(block), off, 4, value);
        }
        return block >= 0;
    }
    return claim.drive != nullptr && claim.bar == reg::kBar0 &&
           claim.drive->PokeBar(claim.offset, value);
}

uint32_t Fabric::PeekDriveBar0(uint8_t bus, uint64_t offset) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    NvmeDrive* drive = DriveAt(bus, true);
    if (!drive || (offset & 3) != 0 || offset >= drive->Bar0Size())
        return 0xFFFFFFFF;
    return drive->ReadBar(offset, 4);
}

uint64_t Fabric::EcamWindow() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return ecamWindow_;
}

bool Fabric::RefuseRamMapping(uint64_t address, uint64_t size) {
    const uint64_t end = address + size;
    bool ram = end < address;
    for (const RamRange& r : ram_) {
        ram = ram || (address < r.base + r.size && r.base < end);
    }
    if (ram) {
        std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
        ++counters_.ramMappings;
    }
    return ram;
}

// ---------------------------------------------------------------------------------------------
// Topology and events

unsigned Fabric::SwitchCount() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return static_cast<unsigned>(switches_.size());
}

SwitchModel Fabric::ModelOf(unsigned switchIndex) const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return SwitchAt(switchIndex).Model();
}

uint16_t Fabric::UpstreamPfa(unsigned switchIndex) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return Pfa(SwitchAt(switchIndex).Bus(), 0, 0);
}

uint16_t Fabric::PortPfa(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    DownstreamPort& port = PortAt(switchIndex, slot);
    return Pfa(SwitchAt(switchIndex).InternalBus(), port.Device(), 0);
}

uint16_t Fabric::DrivePfa(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return Pfa(PortAt(switchIndex, slot).SecondaryBus(), 0, 0);
}

bool Fabric::DrivePresent(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    return PortAt(switchIndex, slot).Drive() != nullptr;
}

bool Fabric::LinkUp(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    return PortAt(switchIndex, slot).LinkUp();
}

void Fabric::Pull(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    DownstreamPort& port = PortAt(switchIndex, slot);
    if (!port.Drive())
        throw std::logic_error("no drive to pull at " + Where(switchIndex, slot) +
                               (port.Lower() ? " (it holds a switch)" : ""));
    port.Pull();
}

void Fabric::Insert(unsigned switchIndex, unsigned slot, const DriveDescription& drive) {
    ValidateDrive(drive, "drive");
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    DownstreamPort& port = PortAt(switchIndex, slot);
    if (port.Occupied())
        throw std::logic_error(Where(switchIndex, slot) + " is occupied");
    auto inserted = std::make_unique<NvmeDrive>(drive);
    inserted->WatchRules(&rules_);
    port.Insert(std::move(inserted));
}

void Fabric::Replace(unsigned switchIndex, unsigned slot, const DriveDescription& drive) {
    ValidateDrive(drive, "drive");
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    DownstreamPort& port = PortAt(switchIndex, slot);
    if (port.Lower())
        throw std::logic_error(Where(switchIndex, slot) + " holds a switch");
    port.Pull();
    auto inserted = std::make_unique<NvmeDrive>(drive);
    inserted->WatchRules(&rules_);
    port.Insert(std::move(inserted));
}

void Fabric::SetStuck(unsigned switchIndex, unsigned slot, bool stuck) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    PortAt(switchIndex, slot).SetStuck(stuck);
}

void Fabric::HangSlotCommands(unsigned switchIndex, unsigned slot, bool hang) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    PortAt(switchIndex, slot).HangCommands(hang);
}

void Fabric::Downtrain(unsigned switchIndex, unsigned slot, std::optional<LinkLimit> limit) {
    if (limit && (!ValidLinkSpeed(limit->speed) || !ValidLinkWidth(limit->width))) {
        throw std::logic_error("no such link: speed code " + std::to_string(limit->speed) +
                               ", width x" + std::to_string(limit->width));
    }
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    PortAt(switchIndex, slot).Downtrain(limit);
}

void Fabric::ErrorsOnLinkUp(unsigned switchIndex, unsigned slot, uint16_t bits) {
    if (bits > 0xF) {
        throw std::logic_error("Device Status has error bits 3:0 only");
    }
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    PortAt(switchIndex, slot).ErrorsOnLinkUp(bits);
}

void Fabric::CheckBusFree(uint8_t bus, const char* what) {
    if (Locate(bus, 0, 0, true) != nullptr || onboard_.count(bus)) {
        throw std::logic_error(std::string(what) + ": bus " + std::to_string(bus) +
                               " already has a function at device 0");
    }
    for (auto& sw : switches_) {
        if (sw->InternalBus() == bus) {
            throw std::logic_error(std::string(what) + ": bus " + std::to_string(bus) +
                                   " is a switch's internal bus");
        }
        for (unsigned s = 0; s < sw->Slots(); ++s) {
            if (sw->Port(s) && sw->Port(s)->SecondaryBus() == bus) {
                throw std::logic_error(std::string(what) + ": bus " + std::to_string(bus) +
                                       " lies behind a switch port");
            }
        }
    }
}

void Fabric::AddOnboard(uint8_t bus, const DriveDescription& drive) {
    ValidateDrive(drive, "drive");
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    CheckBusFree(bus, "AddOnboard");
    auto added = std::make_unique<NvmeDrive>(drive);
    added->WatchRules(&rules_);
    onboard_.emplace(bus, std::move(added));
}

void Fabric::RemoveOnboard(uint8_t bus) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    if (onboard_.erase(bus) == 0) {
        throw std::logic_error("no on-board drive on bus " + std::to_string(bus));
    }
}

namespace {

std::string HexText(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string RangeText(uint64_t base, uint64_t size) {
    return HexText(base) + " to " + HexText(base + size - 1);
}

bool Overlap(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) {
    return a - b < bSize || b - a < aSize;
}

// The open windows of a bridge, as ranges.
std::vector<MemoryRange> WindowRanges(const BridgeWindows& w) {
    std::vector<MemoryRange> out;
    for (const Window* win : {&w.memory, &w.prefetchable}) {
        if (win->Open()) {
            out.push_back({0, win->base, win->limit - win->base + 1, win == &w.prefetchable});
        }
    }
    return out;
}

}  // namespace

void Fabric::CheckPlacement(const std::vector<MemoryRange>& ranges, const std::string& what,
                            uint8_t movingBus, const PlxSwitch* movingSwitch) {
    struct Occupant {
        std::string name;
        uint64_t base;
        uint64_t size;
    };
    std::vector<Occupant> taken;
    for (const RamRange& r : ram_) {
        taken.push_back({"RAM", r.base, r.size});
    }
    if (ecamWindowSize_ != 0) {
        taken.push_back({"the configuration window", ecamWindow_, ecamWindowSize_});
    }
    for (auto& sw : switches_) {
        const std::string name = "the switch on bus " + std::to_string(sw->Bus());
        const uint64_t bar = sw->Upstream().Dword(reg::kBar0) & ~0xFu;
        if (bar != 0 && sw->Bus() != movingBus) {
            taken.push_back({name + " (BAR0)", bar, sw->Bar0Size()});
        }
        if (sw.get() != movingSwitch) {
            for (const MemoryRange& w : WindowRanges(ProgrammedWindows(sw->Upstream()))) {
                taken.push_back({name + " (its window)", w.base, w.size});
            }
        }
    }
    for (auto& [bus, d] : onboard_) {
        if (bus != movingBus) {
            d->ForEachDecodedRange(
                [&, b = bus](const MemoryRange& r) {
                    taken.push_back({"the drive on bus " + std::to_string(b), r.base, r.size});
                },
                true);
        }
    }
    for (const MemoryRange& r : ranges) {
        for (const Occupant& o : taken) {
            if (Overlap(r.base, r.size, o.base, o.size)) {
                throw std::logic_error(what + " at " + RangeText(r.base, r.size) + " overlaps " +
                                       o.name + " (" + RangeText(o.base, o.size) + ")");
            }
        }
    }
}

void Fabric::MoveSlot(unsigned switchIndex, unsigned slot, uint64_t bar0) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    PlxSwitch& sw = SwitchAt(switchIndex);
    DownstreamPort& port = PortAt(switchIndex, slot);
    NvmeDrive* d = port.Drive();
    if (d == nullptr) {
        throw std::logic_error("no drive to move at " + Where(switchIndex, slot));
    }
    if (bar0 == 0 || (bar0 & (d->Bar0Size() - 1)) != 0) {
        throw std::logic_error(HexText(bar0) + " is not a place for a BAR0 of " +
                               HexText(d->Bar0Size()));
    }
    // The port's windows cover the drive where it goes; the upstream port's, every port's.
    const std::vector<MemoryRange> ranges = d->RangesAt(bar0);
    const BridgeWindows portWindows = CoveringWindows(ranges);
    std::vector<MemoryRange> all = WindowRanges(portWindows);
    for (unsigned s = 0; s < sw.Slots(); ++s) {
        DownstreamPort* other = sw.Port(s);
        if (other == nullptr || other == &port) {
            continue;
        }
        for (const MemoryRange& w : WindowRanges(ProgrammedWindows(other->Config()))) {
            for (const MemoryRange& mine : WindowRanges(portWindows)) {
                if (Overlap(mine.base, mine.size, w.base, w.size)) {
                    throw std::logic_error("the window of " + Where(switchIndex, slot) + " at " +
                                           RangeText(mine.base, mine.size) +
                                           " overlaps the window of " + Where(switchIndex, s) +
                                           " (" + RangeText(w.base, w.size) + ")");
                }
            }
            all.push_back(w);
        }
    }
    const BridgeWindows upWindows = CoveringWindows(all);
    CheckPlacement(WindowRanges(upWindows), "the window of switch " + std::to_string(switchIndex),
                   0, &sw);
    // The system writes the BARs through the hierarchy: they land only while the drive answers.
    if (port.DriveAnswers()) {
        d->PlaceAt(bar0);
    }
    ProgramWindows(port.Config(), portWindows);
    ProgramWindows(sw.Upstream(), upWindows);
}

void Fabric::MoveFunction(uint8_t bus, uint64_t bar0) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    ForgetRoutes();
    if (auto it = onboard_.find(bus); it != onboard_.end()) {
        NvmeDrive& d = *it->second;
        if (bar0 == 0 || (bar0 & (d.Bar0Size() - 1)) != 0) {
            throw std::logic_error(HexText(bar0) + " is not a place for a BAR0 of " +
                                   HexText(d.Bar0Size()));
        }
        const std::vector<MemoryRange> ranges = d.RangesAt(bar0);
        CheckPlacement(ranges, "the drive on bus " + std::to_string(bus), bus, nullptr);
        d.PlaceAt(bar0);
        return;
    }
    for (auto& sw : switches_) {
        if (sw->Bus() != bus) {
            continue;
        }
        const uint64_t size = sw->Bar0Size();
        if (bar0 == 0 || bar0 + size > (uint64_t{1} << 32) || (bar0 & (size - 1)) != 0) {
            throw std::logic_error(HexText(bar0) + " is not a place for the switch's BAR0 of " +
                                   HexText(size));
        }
        // Its own windows count: a bridge's BAR never lies in what it forwards downstream.
        CheckPlacement({{reg::kBar0, bar0, size, false}},
                       "the switch on bus " + std::to_string(bus), bus, nullptr);
        sw->Upstream().SetBits(reg::kBar0, ~0xFu, static_cast<uint32_t>(bar0));
        return;
    }
    throw std::logic_error("no on-board drive or switch at bus " + std::to_string(bus) +
                           ", device 0");
}

std::vector<std::string> Fabric::DecodeOverlaps() {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    std::vector<MemoryClaim> claims;
    ForEachDecoder([&](const MemoryClaim& c) {
        claims.push_back(c);
        return false;
    });
    auto name = [](const MemoryClaim& c) {
        if (c.sw != nullptr) {
            return "the switch on bus " + std::to_string(c.sw->Bus());
        }
        return "the drive on bus " + std::to_string(c.bus) + " (BAR at " + HexText(c.bar) + ")";
    };
    std::vector<std::string> out;
    for (size_t a = 0; a < claims.size(); ++a) {
        for (size_t b = 0; b < a; ++b) {
            const MemoryClaim& x = claims[a];
            const MemoryClaim& y = claims[b];
            const bool same = x.sw == y.sw && x.drive == y.drive && x.bar == y.bar;
            if (!same && Overlap(x.base, x.size, y.base, y.size)) {
                out.push_back(name(x) + " at " + RangeText(x.base, x.size) + " and " + name(y) +
                              " at " + RangeText(y.base, y.size));
            }
        }
    }
    return out;
}

void Fabric::FailBlockReads(unsigned switchIndex, unsigned block, unsigned count) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    PlxSwitch& sw = SwitchAt(switchIndex);
    if (sw.Model() != SwitchModel::Plx8748 || block > 1) {
        throw std::logic_error("switch " + std::to_string(switchIndex) + " has no block " +
                               std::to_string(block));
    }
    sw.FailBlockReads(block, count);
}

uint32_t Fabric::PeekBlock(unsigned switchIndex, unsigned block, unsigned offset) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    PlxSwitch& sw = SwitchAt(switchIndex);
    if (sw.Model() != SwitchModel::Plx8748 || block > 1 || offset > reg::kBlockSize - 4) {
        throw std::out_of_range("no such block register");
    }
    return sw.PeekBlock(block, offset & ~3u, 4);
}

void Fabric::PokeBlock(unsigned switchIndex, unsigned block, unsigned offset, uint32_t value) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    ForgetRoutes();
    PlxSwitch& sw = SwitchAt(switchIndex);
    if (sw.Model() != SwitchModel::Plx8748 || block > 1 || offset > reg::kBlockSize - 4) {
        throw std::out_of_range("no such block register");
    }
    sw.WriteBlock(block, offset & ~3u, 4, value);
}

// ---------------------------------------------------------------------------------------------
// Time

uint64_t Fabric::ClockUs() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return clock_.now;
}

void Fabric::Wait(uint64_t us) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    clock_.now += us;
    CatchUp();
}

std::optional<uint64_t> Fabric::AnswersFrom(unsigned switchIndex, unsigned slot) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    CatchUp();
    return PortAt(switchIndex, slot).AnswersFrom();
}

// ---------------------------------------------------------------------------------------------
// Locking

void Fabric::SetSingleThreaded(bool single) {
    mutex_.SetSingleThreaded(single);
}

// ---------------------------------------------------------------------------------------------
// Records

Counters Fabric::GetCounters() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    Counters c = counters_;
    c.slotCommandOverrun = rules_.slotCommandOverrun;
    c.slotPowerShort = rules_.slotPowerShort;
    c.mpsOverCapability = rules_.mpsOverCapability;
    return c;
}

void Fabric::ResetCounters() {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    counters_ = Counters{};
    rules_ = RuleCounters{};
    for (unsigned k = 0; k < 4; ++k) {
        failAt_[k] = 0;
        failFired_[k] = false;
    }
}

// ---------------------------------------------------------------------------------------------
// Access faults

bool Fabric::AccessFails(AccessFault kind) {
    const auto k = static_cast<unsigned>(kind);
    if (failAt_[k] == 0 || --failAt_[k] != 0)
        return false;
    failFired_[k] = true;
    return true;
}

void Fabric::FailAccess(AccessFault kind, uint64_t nth) {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    const auto k = static_cast<unsigned>(kind);
    failAt_[k] = nth;
    failFired_[k] = false;
}

bool Fabric::AccessFaultFired(AccessFault kind) const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return failFired_[static_cast<unsigned>(kind)];
}

FaultRecord Fabric::Faults() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return faults_;
}

void Fabric::ClearFaults() {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    faults_ = FaultRecord{};
}

std::vector<ConfigWrite> Fabric::ConfigWrites() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return {configWrites_.begin(), configWrites_.end()};
}

void Fabric::ClearConfigWrites() {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    configWrites_.clear();
}

void Fabric::RecordMemoryWrite(uint64_t address, unsigned size, uint32_t value, MemoryTarget target,
                               uint16_t pfa) {
    if (memoryWrites_.size() >= kConfigWriteLimit) {
        memoryWrites_.pop_front();
    }
    memoryWrites_.push_back({address, size, value, target, pfa});
}

std::vector<MemoryWrite> Fabric::MemoryWrites() const {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    return {memoryWrites_.begin(), memoryWrites_.end()};
}

void Fabric::ClearMemoryWrites() {
    std::lock_guard<OptionalLock<std::mutex>> lock(mutex_);
    memoryWrites_.clear();
}

}  // namespace sim
