// Device models of the simulated fabric: the host bridge, the NVMe drive and the PLX switch
// with its downstream ports. They know their own registers; the Fabric routes accesses to them
// and holds the lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/pci/config_space.h"
#include "sim/pci/description.h"

namespace sim {

// Register offsets and bits the models and their tests share.
namespace reg {
constexpr unsigned kId = 0x00;
constexpr unsigned kCommand = 0x04;  // Status in the upper half
constexpr unsigned kClass = 0x08;
constexpr unsigned kHeader = 0x0C;  // header type in byte 2
constexpr unsigned kBar0 = 0x10;
constexpr unsigned kBar1 = 0x14;
constexpr unsigned kBusNumbers = 0x18;
constexpr unsigned kMemoryWindow = 0x20;
constexpr unsigned kPrefetchWindow = 0x24;  // upper halves at 0x28 (base) and 0x2C (limit)
constexpr unsigned kRom = 0x30;             // a type 0 header's expansion ROM BAR
constexpr uint32_t kRomEnable = 0x1;
constexpr unsigned kCapPointer = 0x34;
constexpr unsigned kInterrupt = 0x3C;  // Bridge Control in the upper half of a bridge

constexpr uint32_t kMemorySpace = 0x0002;
constexpr uint32_t kStatusCapList = 0x0010u << 16;
constexpr uint32_t kStatusW1c = 0xF900u << 16;
constexpr uint32_t kSecondaryBusReset = 0x0040u << 16;

// Switch ports: PCI Express capability at 0x68.
constexpr unsigned kSwitchPcie = 0x68;
constexpr unsigned kSwitchDeviceControl = 0x70;
constexpr unsigned kSwitchLinkControl = 0x78;
constexpr unsigned kSlotCapabilities = 0x7C;
// Slot Capabilities: power controller present, hot-plug capable, No Command Completed Support.
constexpr uint32_t kPowerControllerPresent = 0x00002;
constexpr uint32_t kHotPlugCapable = 0x00040;
constexpr uint32_t kNoCommandCompleted = 0x40000;
// PCI Express Capabilities (upper half of the capability's first dword): Slot Implemented.
constexpr uint32_t kSlotImplemented = 0x0100u << 16;
constexpr unsigned kSlotControl = 0x80;
constexpr uint32_t kLinkDisable = 0x0010;
constexpr uint32_t kPowerOff = 0x0400;
constexpr uint32_t kPowerIndicator = 0x0300;
constexpr uint32_t kAttentionIndicator = 0x00C0;
// Slot Status (upper half of 0x80).
constexpr uint32_t kCommandCompleted = 0x0010u << 16;
constexpr uint32_t kPresenceDetectChanged = 0x0008u << 16;
constexpr uint32_t kPresenceDetectState = 0x0040u << 16;
constexpr uint32_t kDllStateChanged = 0x0100u << 16;
constexpr uint32_t kSlotStatusW1c = 0x011Fu << 16;
// Link Status (upper half of the Link Control dword).
constexpr uint32_t kDllLinkActive = 0x2000u << 16;
constexpr uint32_t kLinkStatusW1c = 0xC000u << 16;

// Drives: PCI Express capability at 0x70, MSI-X after it.
constexpr unsigned kDrivePcie = 0x70;
constexpr unsigned kDriveDeviceControl = 0x78;
constexpr unsigned kDriveLinkControl = 0x80;
constexpr unsigned kDriveMsix = 0xB0;
constexpr uint32_t kPayloadField = 0x00E0;
constexpr uint32_t kDeviceStatusW1c = 0x000Fu << 16;
constexpr uint32_t kClockPowerManagement = 0x0100;
constexpr uint32_t kMsixVectorMasked = 0x1;

// The 8748's register blocks behind the upstream port's BAR0.
constexpr uint64_t kBlockOffsets[2] = {0x8000, 0x10000};
constexpr unsigned kBlockSize = 0x1000;
}  // namespace reg

// The machine's time in microseconds since it was built. The Fabric moves it on; a model that
// will change by itself at some moment (a link done training) asks to be looked at then.
struct MachineClock {
    static constexpr uint64_t kNever = UINT64_MAX;
    uint64_t now = 0;
    uint64_t nextEvent = kNever;
    void Schedule(uint64_t at) {
        if (at < nextEvent)
            nextEvent = at;
    }
};

// After a link trains, the device below gets 100 ms before software may send it a
// configuration request; on real machines an early one can stall the processor while the root
// port retries it.
constexpr uint64_t kConfigQuietUs = 100000;

// How long a downstream port's hot-plug controller takes to carry out a Slot Control command
// before it reports it completed; and the least time a slot must stay unpowered before its
// power may come back.
constexpr uint64_t kSlotCommandUs = 100;
constexpr uint64_t kSlotPowerOffUs = 1000000;

// Rules of PCI Express that software can break without anything failing at once, counted
// where they are broken so that a test can demand none.
struct RuleCounters {
    // A Slot Control write while the port's previous command had not completed; the write is
    // lost, as it may be on real ports.
    uint64_t slotCommandOverrun = 0;
    // Slot power turned back on less than kSlotPowerOffUs after it went off.
    uint64_t slotPowerShort = 0;
    // A Max_Payload_Size written above what the function's Device Capabilities support.
    uint64_t mpsOverCapability = 0;
};

class PlxSwitch;

ConfigSpace MakeHostBridge(const HostBridgeDescription& hb);
ConfigSpace MakeFunction(const FunctionDescription& fn);

// A bridge's memory and prefetchable windows as its registers hold them now.
BridgeWindows ProgrammedWindows(const ConfigSpace& bridge);
// What it forwards downstream now: its windows, both closed while its Memory Space Enable is
// off.
BridgeWindows ForwardedWindows(const ConfigSpace& bridge);
// Programs a bridge's windows as firmware or the system's PCI driver does (not a software
// access of the machine: nothing counted).
void ProgramWindows(ConfigSpace& bridge, const BridgeWindows& windows);
// The part of [base, base + size) that lies in window, as a range; size 0 when none.
MemoryRange Clip(const MemoryRange& range, const Window& window);

class NvmeDrive {
  public:
    // A drive fresh from reset (BAR0 0, command 0); LoadFirmwareState makes it look as the
    // firmware left it at boot.
    explicit NvmeDrive(const DriveDescription& description);
    NvmeDrive(const NvmeDrive&) = delete;
    NvmeDrive& operator=(const NvmeDrive&) = delete;

    void Reset();
    void LoadFirmwareState();
    // Link Status as trained with the port in front of it.
    void SetLink(unsigned speed, unsigned width);
    // The most its link may train to, as its Link Capabilities say (none without the
    // capability).
    std::optional<LinkLimit> MaxLink() const;
    // Sets error bits of Device Status (bits 3:0: correctable, non-fatal, fatal, unsupported
    // request), as the drive does when it detects such an error.
    void RecordErrors(uint16_t bits);

    ConfigSpace& Config() { return config_; }
    const ConfigSpace& Config() const { return config_; }
    const DriveDescription& Description() const { return description_; }
    // Offset of the drive's PCI Express capability (Device Control at +8); 0 for none.
    unsigned PcieCapability() const { return caps_.pcie; }

    uint64_t Bar0Base() const;
    uint64_t Bar0Size() const { return description_.bar0Size; }
    bool Decodes(uint64_t address) const;
    // Calls visit with each memory range the drive decodes now (memory decoding on, the BAR
    // assigned; the expansion ROM only while enabled), BAR0 first. With assigned, each range
    // a BAR holds whether or not it decodes.
    template <typename Visit>
    void ForEachDecodedRange(Visit visit, bool assigned = false) const;
    // Where its BARs would lie with BAR0 at bar0: the description's layout moved as a whole.
    std::vector<MemoryRange> RangesAt(uint64_t bar0) const;
    // Programs BAR0 at bar0 and the other BARs as RangesAt places them, and turns memory
    // decoding on, as the system's PCI driver does when it moves the drive and starts it again
    // (not a software access of the machine).
    void PlaceAt(uint64_t bar0);

    // Accesses at an offset inside BAR0 (whether or not it decodes; the Fabric checks that).
    uint32_t ReadBar(uint64_t offset, unsigned size) const;
    // Applies a write that lands in the MSI-X table and returns true; anything else would reach
    // the controller's own registers, which nothing here may write: returns false, unapplied.
    bool WriteBar(uint64_t offset, unsigned size, uint32_t value);
    // Stores into the MSI-X table without masks (tests); false outside it.
    bool PokeBar(uint64_t offset, uint32_t value);
    // For a write at offset that landed in the MSI-X table: whether it left its entry unmasked
    // while the entry's address is no message address (a processor's interrupt window,
    // 0xFEE00000 to 0xFEEFFFFF, upper half 0); address receives the entry's address.
    bool UnmaskedWithoutAddress(uint64_t offset, unsigned* entry, uint64_t* address) const;

    bool HasTableInBar0() const;
    uint64_t TableOffset() const;
    uint64_t PbaOffset() const;

    // Counts the rules this drive sees broken (a payload size above its capability) there.
    void WatchRules(RuleCounters* rules) { rules_ = rules; }

    // Its link came up at that moment: the firmware starts, and the drive answers
    // configuration requests ready_ms later.
    void StartFirmware(uint64_t linkUpAt) {
        readyAt_ = linkUpAt + uint64_t{description_.readyMs} * 1000;
    }
    // From when it answers configuration requests (0: since the machine was built).
    uint64_t ReadyAt() const { return readyAt_; }

  private:
    // The registers as after a reset, from the image or the model's own layout, with the
    // write rules of real hardware.
    void Build();
    // BAR0's width and the other BARs and the ROM BAR of the description: type bits, and the
    // address bits their sizes leave writable.
    void BuildBars();
    // Stores the addresses of ranges (as RangesAt gives them) in the BARs.
    void ProgramBars(const std::vector<MemoryRange>& ranges);
    uint64_t BarAddress(unsigned reg, bool wide) const;
    // The model's own layout, for a drive without an image.
    void Synthesize();
    bool InRange(uint64_t offset, unsigned size, uint64_t start, uint64_t length) const;

    DriveDescription description_;
    ConfigSpace config_;
    Capabilities caps_;  // where this drive's capabilities are
    std::vector<uint8_t> table_;
    bool enabled_ = false;  // the controller's CC.EN as the OS left it
    uint64_t readyAt_ = 0;
    RuleCounters* rules_ = nullptr;
};

template <typename Visit>
void NvmeDrive::ForEachDecodedRange(Visit visit, bool assigned) const {
    if (!assigned && (config_.Dword(reg::kCommand) & reg::kMemorySpace) == 0) {
        return;
    }
    if (const uint64_t base = Bar0Base(); base != 0) {
        visit(MemoryRange{reg::kBar0, base, description_.bar0Size, false});
    }
    for (const BarDescription& b : description_.bars) {
        const unsigned at = reg::kBar0 + 4 * b.index;
        const uint64_t base = b.io ? 0 : BarAddress(at, b.wide);
        if (base != 0) {
            visit(MemoryRange{at, base, b.size, b.prefetchable});
        }
    }
    const uint32_t rom = config_.Dword(reg::kRom);
    if (description_.romSize != 0 && (assigned || (rom & reg::kRomEnable) != 0) &&
        (rom & ~0x7FFu) != 0) {
        visit(MemoryRange{reg::kRom, rom & ~0x7FFu, description_.romSize, false});
    }
}

class DownstreamPort {
  public:
    // trainMs: how long the link takes to train; the clock is the machine's. owner: the
    // switch the port belongs to.
    DownstreamPort(SwitchModel model, unsigned slot, uint8_t internalBus,
                   const PortDescription& description, unsigned trainMs, MachineClock& clock,
                   RuleCounters& rules, PlxSwitch& owner);
    DownstreamPort(const DownstreamPort&) = delete;
    DownstreamPort& operator=(const DownstreamPort&) = delete;

    ConfigSpace& Config() { return config_; }
    unsigned Slot() const { return slot_; }
    uint8_t Device() const { return device_; }
    uint8_t SecondaryBus() const { return static_cast<uint8_t>(config_.Read(0x19, 1)); }
    uint8_t SubordinateBus() const { return static_cast<uint8_t>(config_.Read(0x1A, 1)); }
    PlxSwitch& Owner() { return owner_; }

    NvmeDrive* Drive() { return drive_.get(); }
    // The drive answers on the port's secondary bus only while the link is up.
    NvmeDrive* ReachableDrive() { return linkUp_ ? drive_.get() : nullptr; }
    bool LinkUp() const { return linkUp_; }
    // A switch in the slot instead of a drive: its upstream port answers on the secondary bus.
    // Attached once, when the machine is built.
    PlxSwitch* Lower() { return lower_; }
    void AttachLower(PlxSwitch* lower);
    // Whether something (a drive or a switch) sits in the slot.
    bool Occupied() const { return drive_ != nullptr || lower_ != nullptr; }

    // Brings the port up to the clock: a command done completes, a link done training comes
    // up. True when something changed.
    bool Advance();
    // When Advance next has something to do; MachineClock::kNever when nothing.
    uint64_t NextEvent() const;
    // A configuration request reaching the drive now comes sooner than the rules allow.
    bool TooSoon() const { return clock_.now < quietUntil_; }
    // What sits behind answers configuration requests now: its link is up and, for a drive,
    // its firmware started. A switch answers once its link is up.
    bool DriveAnswers() const {
        return linkUp_ && (drive_ == nullptr || clock_.now >= drive_->ReadyAt());
    }
    // When what sits behind will first answer: its link trained and its firmware started.
    // None while its link is neither up nor training.
    std::optional<uint64_t> AnswersFrom() const;
    // The switch this port belongs to went into reset (its link above went down) or came out
    // of it: the link is evaluated again.
    void OwnerReset() { Evaluate(); }

    std::unique_ptr<NvmeDrive> Pull();
    void Insert(std::unique_ptr<NvmeDrive> drive);
    void SetStuck(bool stuck);
    bool Stuck() const { return stuck_; }
    // From the next time the link trains it trains no faster and no wider than this, as over a
    // marginal connector; none lifts the limit.
    void Downtrain(std::optional<LinkLimit> limit) { downtrain_ = limit; }
    // What the link trained to (or trains to, while training).
    LinkLimit Trained() const { return trained_; }
    // From the next time the link comes up, the drive records these Device Status error bits
    // each time it does (0: none), as a drive does that detects errors on a marginal link.
    void ErrorsOnLinkUp(uint16_t bits) { errorsOnLinkUp_ = bits; }
    // A hot-plug controller that has stopped: it takes a command and never completes it.
    void HangCommands(bool hang) { commandsHang_ = hang; }

  private:
    // Works out whether the link is up from Link Disable, slot power and Secondary Bus Reset;
    // a drive that comes back starts from reset, as real hardware would after the link and
    // power cycle.
    void Evaluate();
    void OnLinkControl(uint32_t oldValue, uint32_t newValue);
    // A software write of Slot Control: a command to the hot-plug controller, lost when the
    // previous one has not completed; and slot power going off or coming back.
    void OnSlotControl(uint32_t oldValue, uint32_t newValue);
    // Whether this port reports command completion (a hot-plug slot without No Command
    // Completed Support) and whether its slot has a power controller.
    bool ReportsCommandCompletion() const;
    bool HasPowerController() const;
    void ComeUp();
    // Link Status and Presence Detect State as the link and the slot stand.
    void ShowLinkState();
    // What the link trains to now: the lesser of what the port and what sits behind it (a
    // drive) advertise, held down by a downtrain.
    LinkLimit Negotiate() const;

    unsigned slot_;
    uint8_t device_;
    ConfigSpace config_;
    std::unique_ptr<NvmeDrive> drive_;
    PlxSwitch* lower_ = nullptr;
    bool stuck_ = false;
    std::optional<LinkLimit> downtrain_;
    uint16_t errorsOnLinkUp_ = 0;
    LinkLimit trained_;
    bool linkUp_ = false;
    MachineClock& clock_;
    RuleCounters& rules_;
    PlxSwitch& owner_;
    bool commandRunning_ = false;
    bool commandsHang_ = false;
    uint64_t commandDoneAt_ = 0;
    std::optional<uint64_t> powerOffAt_;  // when software turned slot power off
    uint64_t trainUs_;
    bool training_ = false;
    uint64_t trainAt_ = 0;     // when a training link comes up
    uint64_t quietUntil_ = 0;  // configuration requests to the drive before this are too soon
};

class PlxSwitch {
  public:
    // above: the port whose slot holds this switch; null for a switch on the host's buses.
    PlxSwitch(const SwitchDescription& description, MachineClock& clock, RuleCounters& rules,
              DownstreamPort* above = nullptr);
    PlxSwitch(const PlxSwitch&) = delete;
    PlxSwitch& operator=(const PlxSwitch&) = delete;

    SwitchModel Model() const { return model_; }
    // The bus of the upstream port: the description's on the host's buses, the secondary bus
    // of the port above for a switch in a slot.
    uint8_t Bus() const { return above_ != nullptr ? above_->SecondaryBus() : bus_; }
    DownstreamPort* Above() const { return above_; }
    uint8_t SubordinateBus() const { return static_cast<uint8_t>(upstream_.Read(0x1A, 1)); }
    // A switch in a slot is held in reset while the link above it is down: its bus numbers,
    // windows, BAR and Command read 0 until software writes them again, and its own links
    // are down.
    bool InReset() const { return inReset_; }
    void EnterReset();
    void LeaveReset();
    uint8_t InternalBus() const { return static_cast<uint8_t>(upstream_.Read(0x19, 1)); }
    ConfigSpace& Upstream() { return upstream_; }
    // Null for a slot that has no port in this machine.
    DownstreamPort* Port(unsigned slot) {
        return slot < ports_.size() ? ports_[slot].get() : nullptr;
    }
    DownstreamPort* PortAtDevice(unsigned device);
    unsigned Slots() const { return static_cast<unsigned>(ports_.size()); }

    // The upstream port's BAR0, the switch's register space: where it decodes (0 when it does
    // not: unassigned, or memory decoding off) and how far.
    uint64_t Bar0Base() const;
    uint64_t Bar0Size() const { return SwitchBarSize(model_); }
    // The 8748's register block an offset into BAR0 falls in (0 or 1, with the offset into the
    // block); -1 elsewhere, where the other ports' registers are.
    int BlockAt(uint64_t bar0Offset, unsigned* blockOffset) const;
    // The 8748's register blocks: where they decode (0 when they do not), plain storage, and
    // the fault that makes a block read all-ones a number of times.
    uint64_t BlockBase(unsigned block) const;
    uint32_t ReadBlock(unsigned block, unsigned offset, unsigned size);
    void WriteBlock(unsigned block, unsigned offset, unsigned size, uint32_t value);
    uint32_t PeekBlock(unsigned block, unsigned offset, unsigned size) const;
    void FailBlockReads(unsigned block, unsigned count) { failReads_[block] = count; }

  private:
    SwitchModel model_;
    uint8_t bus_;
    DownstreamPort* above_;
    bool inReset_ = false;
    ConfigSpace upstream_;
    std::vector<std::unique_ptr<DownstreamPort>> ports_;
    std::array<std::array<uint8_t, reg::kBlockSize>, 2> blocks_{};
    std::array<unsigned, 2> failReads_{};
};

}  // namespace sim
