// The simulated PCIe fabric: the machine's configuration mechanisms and physical memory as the
// driver sees them, with the counters and fault records that let a test hold the driver to
// every register it must (and must not) touch.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/common/optional_lock.h"
#include "sim/pci/config_space.h"
#include "sim/pci/description.h"
#include "sim/pci/models.h"

namespace sim {

constexpr uint16_t kConfigAddressPort = 0xCF8;
constexpr uint16_t kConfigDataPort = 0xCFC;

inline uint16_t Pfa(unsigned bus, unsigned device, unsigned function) {
    return static_cast<uint16_t>((bus & 0xFF) << 8 | (device & 0x1F) << 3 | (function & 7));
}

// A write to physical memory that no device claims.
struct StrayWrite {
    uint64_t address;
    unsigned size;
    uint32_t value;
};

// A write into a device's registers that nothing in this system may write: a drive's BAR0
// outside its MSI-X table (the controller's own registers), any other BAR of a drive, or a
// switch's BAR0 outside the PEX 8748's two secondary-path blocks (the registers of its ports).
// Not applied.
struct DriveRegisterWrite {
    uint16_t pfa;     // the drive, or the switch's upstream port
    uint64_t offset;  // inside the BAR
    unsigned size;
    uint32_t value;
    unsigned bar = 0x10;  // the BAR's configuration offset (0x30 for the expansion ROM)
};

// Where a physical write the software made landed.
enum class MemoryTarget { Nothing, SwitchBlock, SwitchRegister, DriveTable, DriveRegister };

struct MemoryWrite {
    uint64_t address;
    unsigned size;
    uint32_t value;
    MemoryTarget target;
    uint16_t pfa;  // the device it landed in (drive, or switch upstream port); 0 for nothing
};

// An MSI-X table entry left unmasked while its address is not a message address: the drive
// may signal at once, and its write lands wherever the address points. Software fills an
// entry's address and data first and unmasks it last.
struct MsixHazard {
    uint16_t pfa;  // the drive
    unsigned entry;
    uint64_t address;  // the entry's message address as it stood
};

struct FaultRecord {
    std::vector<StrayWrite> strayWrites;
    std::vector<DriveRegisterWrite> driveRegisterWrites;
    std::vector<MsixHazard> msixHazards;
    bool Empty() const {
        return strayWrites.empty() && driveRegisterWrites.empty() && msixHazards.empty();
    }
};

enum class ConfigPath { Ports, Ecam };

// One configuration write as the software made it (inspection pokes are not listed).
struct ConfigWrite {
    uint16_t pfa;
    unsigned offset;
    unsigned size;
    uint32_t value;
    ConfigPath path;
    bool answered;  // false: no function at that address, the write vanished
};

struct Counters {
    uint64_t portPairs = 0;             // data accesses at 0xCFC following a latch by that thread
    uint64_t ecamAccesses = 0;          // reads and writes inside the window
    uint64_t strayWrites = 0;           // writes to unclaimed physical memory
    uint64_t interleaveViolations = 0;  // data accesses whose latch another thread wrote
    uint64_t configReads = 0;           // through either mechanism, enabled latch only
    uint64_t configWrites = 0;
    uint64_t reservedAddressBits = 0;  // latches with bits 30:24 or 1:0 set
    uint64_t otherPortAccesses = 0;    // ports other than the two dwords
    uint64_t badMemoryAccesses = 0;    // physical accesses not 1, 2 or 4 naturally aligned bytes
    uint64_t physicalReads = 0;        // memory reads outside the window (device pages or none)
    uint64_t physicalWrites = 0;       // memory writes outside the window
    uint64_t ramMappings = 0;          // mappings asked for that touch RAM (refused)
    // Configuration requests that reached a drive within 100 ms of its link training.
    uint64_t earlyConfig = 0;
    // Rules of PCI Express broken (see RuleCounters).
    uint64_t slotCommandOverrun = 0;
    uint64_t slotPowerShort = 0;
    uint64_t mpsOverCapability = 0;
};

// What one configuration or memory access costs on the machine's clock, in microseconds.
constexpr uint64_t kAccessCostUs = 1;

// The accesses a fault can be injected into, counted as the Counters above count them:
// configuration reads and writes through either mechanism (enabled latch only), and physical
// memory reads and writes outside the window.
enum class AccessFault { ConfigRead, ConfigWrite, PhysicalRead, PhysicalWrite };

class Fabric {
  public:
    explicit Fabric(const FabricDescription& description);
    // For a description ValidateFabric has already passed: a harness that builds the same
    // machine again and again need not check it each time.
    struct Validated {};
    Fabric(const FabricDescription& description, Validated);
    static std::unique_ptr<Fabric> FromJson(const std::string& text,
                                            const std::string& baseDir = "");
    static std::unique_ptr<Fabric> FromFile(const std::string& path);
    ~Fabric();
    Fabric(const Fabric&) = delete;
    Fabric& operator=(const Fabric&) = delete;

    // Configuration mechanism #1: 32-bit accesses to ports 0xCF8 (address latch) and 0xCFC
    // (data). Other ports read all-ones and swallow writes. An absent function reads
    // 0xFFFFFFFF and swallows writes. Only dword accesses exist on the ports.
    uint32_t ReadPort(uint16_t port);
    void WritePort(uint16_t port, uint32_t value);

    // Physical memory accesses of 1, 2 or 4 bytes, naturally aligned: the ECAM window, device
    // pages (a drive's BAR0 with its MSI-X table, the 8748's register blocks); every other
    // address reads all-ones, and a write there is recorded as a stray write (a fault).
    uint32_t ReadPhysical(uint64_t address, unsigned size);
    void WritePhysical(uint64_t address, unsigned size, uint32_t value);

    // Inspection, for tests and tools; nothing here is counted or recorded.
    // A configuration dword as the hardware holds it, whatever the link state of the port in
    // front of a drive; 0xFFFFFFFF when no function exists there.
    uint32_t PeekConfig(uint8_t bus, uint8_t device, uint8_t function, unsigned offset);
    // Stores a raw dword (masks ignored) and lets the model react; false when no function.
    bool PokeConfig(uint8_t bus, uint8_t device, uint8_t function, unsigned offset, uint32_t value);
    // Physical memory as the software would read it, without counting or consuming faults.
    uint32_t PeekPhysical(uint64_t address, unsigned size);
    // A dword of a device page (MSI-X table entry, 8748 block) stored raw; false elsewhere.
    bool PokePhysical(uint64_t address, uint32_t value);
    // A dword inside BAR0 of the drive at bus:0.0, whether or not BAR0 decodes or the link is
    // up (the MSI-X table of a drive that is off the bus, for instance).
    uint32_t PeekDriveBar0(uint8_t bus, uint64_t offset);
    // Where the ECAM window decodes; 0 for none.
    uint64_t EcamWindow() const;
    // Pairs of devices that decode the same address now, as memory reaches them (through the
    // windows of every bridge above them); one line each, empty when none.
    std::vector<std::string> DecodeOverlaps();
    // The machine's RAM, as the description gives it.
    const std::vector<RamRange>& Ram() const { return ram_; }
    // Whether [address, address + size) touches RAM; such a mapping is counted (ramMappings)
    // and the kernel that asked refuses it. Device memory never lies there.
    bool RefuseRamMapping(uint64_t address, uint64_t size);

    // Topology, by switch index (order of description: the switches on the host's buses, then
    // those in slots, each level in order) and slot index.
    unsigned SwitchCount() const;
    SwitchModel ModelOf(unsigned switchIndex) const;
    uint16_t UpstreamPfa(unsigned switchIndex);
    uint16_t PortPfa(unsigned switchIndex, unsigned slot);
    uint16_t DrivePfa(unsigned switchIndex, unsigned slot);  // the port's secondary bus, 0.0
    bool DrivePresent(unsigned switchIndex, unsigned slot);  // a drive sits in the slot
    bool LinkUp(unsigned switchIndex, unsigned slot);        // and answers on the bus

    // Events while the software runs. Inserted drives come fresh from reset (BAR0 0,
    // command 0). Unknown switch or slot, an occupied slot or a taken bus: std::logic_error.
    void Pull(unsigned switchIndex, unsigned slot);
    void Insert(unsigned switchIndex, unsigned slot, const DriveDescription& drive);
    void Replace(unsigned switchIndex, unsigned slot, const DriveDescription& drive);
    // A stuck port has Link Disable set at once and keeps it set whatever the software
    // writes; unsticking leaves it set until the software clears it.
    void SetStuck(unsigned switchIndex, unsigned slot, bool stuck);
    // From the next time its link trains, the slot's link trains no faster and no wider than
    // limit, as over a marginal connector (none: as fast and wide as both ends can). Link
    // Status shows what trained, at the port and at the drive.
    void Downtrain(unsigned switchIndex, unsigned slot, std::optional<LinkLimit> limit);
    // From the next time its link comes up, the drive in the slot (and any drive put there
    // later) records these Device Status error bits (bits 3:0; 0 for none) each time it does.
    void ErrorsOnLinkUp(unsigned switchIndex, unsigned slot, uint16_t bits);
    // The port's hot-plug controller takes Slot Control commands and never completes them.
    void HangSlotCommands(unsigned switchIndex, unsigned slot, bool hang);
    void AddOnboard(uint8_t bus, const DriveDescription& drive);
    void RemoveOnboard(uint8_t bus);
    // What the system's PCI driver does when it rebalances resources: the drive in a slot is
    // moved to BAR0 = bar0 (its other BARs keep their distance from BAR0), and the windows of
    // the ports above it are programmed to cover where it now lies. The BARs are written the
    // way the system writes them, so a drive that does not answer now (its link down, not
    // started yet) keeps what it had; the windows move all the same. Throws std::logic_error,
    // changing nothing, for a placement the system never makes (over another device, a window
    // beside it, the configuration window or RAM).
    void MoveSlot(unsigned switchIndex, unsigned slot, uint64_t bar0);
    // The same for a function on a host bus (device 0, function 0): an on-board drive, or a
    // switch's upstream port (its BAR0, where the PEX 8748's blocks are).
    void MoveFunction(uint8_t bus, uint64_t bar0);
    // The 8748's register block (0 at BAR0 + 0x8000, 1 at BAR0 + 0x10000) reads all-ones for
    // its next count reads.
    void FailBlockReads(unsigned switchIndex, unsigned block, unsigned count);
    // The n-th (1-based, counted from now) access of that kind misbehaves once: a read answers
    // all-ones, a write is dropped (a write the software should not have made is still
    // recorded as a fault). 0 disarms. Reset by ResetCounters.
    void FailAccess(AccessFault kind, uint64_t nth);
    // Whether the access armed by the last FailAccess of that kind has happened.
    bool AccessFaultFired(AccessFault kind) const;
    uint32_t PeekBlock(unsigned switchIndex, unsigned block, unsigned offset);
    void PokeBlock(unsigned switchIndex, unsigned block, unsigned offset, uint32_t value);

    // Time. The clock starts at 0 when the machine is built, with every link trained and every
    // drive answering; each configuration and memory access the software makes moves it on by
    // kAccessCostUs, and Wait by as long as it is told. Links train and drives start in that
    // time, never in real time.
    uint64_t ClockUs() const;
    void Wait(uint64_t us);
    // When the drive in the slot first answers a configuration request (its link trained and
    // its firmware started), on the clock; none while its link is neither up nor training.
    std::optional<uint64_t> AnswersFrom(unsigned switchIndex, unsigned slot);

    // Promises that from now on only the calling thread touches this fabric (see
    // OptionalLock). Must be called while no other thread does.
    void SetSingleThreaded(bool single);

    Counters GetCounters() const;
    void ResetCounters();
    FaultRecord Faults() const;
    void ClearFaults();
    // The most recent configuration writes (up to kConfigWriteLimit, oldest dropped first).
    static constexpr size_t kConfigWriteLimit = 1 << 16;
    std::vector<ConfigWrite> ConfigWrites() const;
    void ClearConfigWrites();
    // The most recent physical writes outside the window, with where each landed (up to
    // kConfigWriteLimit).
    std::vector<MemoryWrite> MemoryWrites() const;
    void ClearMemoryWrites();

  private:
    // The function at an address. A drive behind a switch port also gives that port (via), so
    // that Reach can hold the request to the drive's time.
    ConfigSpace* Locate(unsigned bus, unsigned device, unsigned function, bool bypassLink,
                        DownstreamPort** via = nullptr);
    NvmeDrive* DriveAt(unsigned bus, bool bypassLink, DownstreamPort** via = nullptr);
    // What a configuration request to bus:device.function finds behind one downstream port:
    // the function the port passes it to (the drive, or a switch in the slot and whatever lies
    // behind that switch's own ports, as the switch's bus numbers route it), and whether the
    // port takes the request at all (claimed: the bus lies in its secondary to subordinate
    // range). via receives the port whose link the request crosses last.
    struct Behind {
        bool claimed = false;
        ConfigSpace* space = nullptr;
        NvmeDrive* drive = nullptr;
    };
    Behind BehindPort(DownstreamPort& port, unsigned bus, unsigned device, unsigned function,
                      bool bypassLink, DownstreamPort** via);
    // Builds the switches in the slots of a switch, and those in their slots in turn.
    void AddLowerSwitches(const SwitchDescription& description, PlxSwitch& sw);
    // A read of a function that is there but not ready yet (link up, firmware starting): with
    // CRS visibility a read of both vendor ID bytes answers 0x0001 in the vendor field.
    uint32_t NotReadyRead(unsigned offset, unsigned size) const;
    // A configuration request the software makes reaching the function Locate found: one that
    // reaches a drive too soon after its link trained is counted (when counted), and a drive
    // that has not started yet does not answer (null).
    ConfigSpace* Reach(ConfigSpace* space, DownstreamPort* via, bool counted);
    // Brings every model up to the clock.
    void CatchUp();
    // An access the software makes takes kAccessCostUs and happens at its end: Charge, then
    // CatchUp.
    void Charge();
    PlxSwitch& SwitchAt(unsigned switchIndex) const;
    DownstreamPort& PortAt(unsigned switchIndex, unsigned slot) const;
    void RecordConfigWrite(uint16_t pfa, unsigned offset, unsigned size, uint32_t value,
                           ConfigPath path, bool answered);
    uint32_t ReadPhysicalLocked(uint64_t address, unsigned size, bool inspect);
    // Who claims a physical address outside the window: a switch's BAR0 (its register space,
    // the PEX 8748's blocks inside), a BAR of a drive that memory reaches, or nobody (both
    // pointers null).
    struct MemoryClaim {
        PlxSwitch* sw = nullptr;     // a switch's BAR0
        NvmeDrive* drive = nullptr;  // with bus and bar: a drive's BAR
        uint8_t bus = 0;
        unsigned bar = 0x10;  // the drive's BAR (configuration offset; 0x30 the ROM)
        uint64_t base = 0;    // the part of the BAR that memory reaches, and how far
        uint64_t size = 0;
        uint64_t origin = 0;  // where the BAR starts
        uint64_t offset = 0;  // into the BAR
    };
    // Calls visit with every range that decodes now and that memory reaches, in the order that
    // decides who claims an address (switch registers, on-board drives, drives behind the
    // ports), until visit returns true. A drive behind a port is reached only inside the
    // windows of the switch's upstream port and of the port, as they are programmed now; and
    // what lies behind a switch in a slot only inside those of every bridge above it too.
    template <typename Visit>
    void ForEachDecoder(Visit visit);
    // Records a physical write the software made.
    void RecordMemoryWrite(uint64_t address, unsigned size, uint32_t value, MemoryTarget target,
                           uint16_t pfa);
    // What a move may not overlap: RAM, the window, every BAR and every bridge window on the
    // host's own buses, except the moving function's own (bus) or switch's (sw).
    void CheckPlacement(const std::vector<MemoryRange>& ranges, const std::string& what,
                        uint8_t movingBus, const PlxSwitch* movingSwitch);
    MemoryClaim ClaimMemory(uint64_t address);
    // Locate for an access the software makes, and ClaimMemory for a read, through the routes
    // remembered below.
    ConfigSpace* Route(unsigned bus, unsigned device, unsigned function, DownstreamPort** via);
    MemoryClaim RouteMemory(uint64_t address);
    // Whether the claim's range is decoded, in part, by anything besides its own device.
    bool Shared(const MemoryClaim& claim);
    // Something was written or an event happened: what decodes where may have changed.
    void ForgetRoutes();
    void CheckBusFree(uint8_t bus, const char* what);
    // Counts one access of that kind; true when it is the one armed to fail.
    bool AccessFails(AccessFault kind);

    mutable OptionalLock<std::mutex> mutex_;
    MachineClock clock_;
    RuleCounters rules_;
    bool crsVisibility_ = false;
    const std::vector<RamRange> ram_;
    ConfigSpace hostBridge_;
    uint64_t ecamWindow_ = 0;
    uint64_t ecamWindowSize_ = 0;
    std::map<uint16_t, ConfigSpace> functions_;
    std::vector<std::unique_ptr<PlxSwitch>> switches_;
    std::map<uint8_t, std::unique_ptr<NvmeDrive>> onboard_;

    uint32_t latch_ = 0;
    std::thread::id latchOwner_;
    // Per thread: whether it latched an address since its last data access. A handful of
    // threads at most, so a short list beats hashing on every port access.
    std::vector<std::pair<std::thread::id, bool>> latchedSinceData_;
    bool& LatchedSinceData(std::thread::id thread);

    // The routes of the last configuration and memory accesses. A driver reads a header or a
    // table byte by byte, so the next access usually goes where the last one went; looking the
    // way up again costs a walk over every port and BAR. What decodes where changes only when
    // something is written or an event happens, and every such call forgets both.
    struct RememberedFunction {
        bool valid = false;
        uint16_t pfa = 0;
        ConfigSpace* space = nullptr;
        DownstreamPort* via = nullptr;
    };
    struct RememberedClaim {
        bool valid = false;
        MemoryClaim claim;
    };
    RememberedFunction lastFunction_;
    RememberedClaim lastClaim_;

    Counters counters_;
    uint64_t failAt_[4] = {0, 0, 0, 0};
    bool failFired_[4] = {false, false, false, false};
    FaultRecord faults_;
    std::deque<ConfigWrite> configWrites_;
    std::deque<MemoryWrite> memoryWrites_;
};

}  // namespace sim
