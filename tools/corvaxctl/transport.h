// corvaxctl: the way to the driver. One implementation is linked in: transport_windows.cpp opens
// \\.\CorvaxDev and calls DeviceIoControl; transport_sim.cpp boots the simulated machine, loads
// the driver core into the simulated kernel and sends the same requests there.
#ifndef CORVAXCTL_TRANSPORT_H
#define CORVAXCTL_TRANSPORT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvaxctl {

// One request as the caller saw it.
struct Reply {
    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;  // the caller's buffer after the call
};

// What the simulated machine counted since boot.
struct MachineCounters {
    uint64_t portPairs = 0;     // configuration-port address/data pairs
    uint64_t ecamAccesses = 0;  // accesses inside the enhanced configuration window
    uint64_t configReads = 0;   // configuration reads by either mechanism
    uint64_t configWrites = 0;  // configuration writes by either mechanism
    uint64_t mappings = 0;      // physical pages mapped (each released again, or see live)
    uint64_t liveMappings = 0;  // mappings, descriptor lists and views still alive
    uint64_t strayWrites = 0;   // writes to physical memory no device claims
    uint64_t ramMappings = 0;   // mappings of RAM asked for (each refused)
    uint64_t earlyConfig = 0;   // configuration requests that reached a drive too soon
    // Rules of PCI Express broken: a Slot Control command before the last one completed, slot
    // power back within a second, a payload size above a function's capability.
    uint64_t slotCommandOverrun = 0;
    uint64_t slotPowerShort = 0;
    uint64_t mpsOverCapability = 0;
    uint64_t clockUs = 0;  // the machine's time since it was built (just before the load)
};

// Where the machine's Windows keeps what it cannot run without, as its description says.
struct DescribedWindowsDisks {
    std::optional<uint16_t> system;  // PFA of the disk's controller
    std::vector<uint16_t> pageFiles;
};

// The simulated machine the driver was loaded on.
struct MachineInfo {
    std::string name;                // the description's "name", or its file
    std::string source;              // "built-in" or the file
    std::vector<uint32_t> switches;  // identifiers, in description order
    std::vector<uint16_t> upstream;  // each switch's upstream port (PFA), in the same order
    unsigned onboard = 0;
    std::optional<DescribedWindowsDisks> windows;  // none: the description does not say
    // What the description does that its author likely did not mean (a slot left without
    // power by a port image), one line each.
    std::vector<std::string> warnings;
    uint32_t loadStatus = 0;  // what the driver's entry returned
};

// An action on the simulated hardware. SWITCH is the position in the description's switch
// list, SLOT the port index.
struct SimAction {
    enum class Kind {
        Pull,
        Insert,
        Replace,
        Stuck,
        Downtrain,
        Errors,
        Read,
        Write,
        ReadMem,
        WriteMem,
        Wait,
        Rebalance,
        Holds,  // whether a drive sits in the slot: 1 or 0 (events are checked with it)
    };
    Kind kind = Kind::Read;
    unsigned switchIndex = 0;
    unsigned slot = 0;
    uint32_t id = 0;  // device << 16 | vendor of an inserted drive
    bool on = false;  // stuck or not
    uint16_t pfa = 0;
    uint32_t offset = 0;
    uint64_t address = 0;
    uint32_t value = 0;
    uint64_t ms = 0;      // how long a wait lasts
    bool bySlot = false;  // a rebalance of the drive in switchIndex:slot, else of pfa's BAR0
    // Errors: the Device Status error bits (3:0) the drive records at each link-up.
    // A downtrain: the speed code (1 = 2.5 GT/s ... 6 = 64 GT/s) and width; speed 0 lifts it.
    unsigned speed = 0;
    unsigned width = 0;
};

struct TransportOptions {
    std::string fabricPath;  // empty: the built-in machine
};

class Transport {
  public:
    // Opens the device, or boots the simulated machine and loads the driver. Throws
    // UsageError when the device or the description cannot be had.
    explicit Transport(const TransportOptions& options);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    static bool Simulated();

    // The simulated machine, or nothing on Windows.
    std::optional<MachineInfo> Machine() const;
    // Whether requests can be sent (the driver loaded and its device opened).
    bool Ready() const;

    // Sends one control request; the output buffer is filled with 0xCC before the call.
    Reply Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength);

    // The driver's debug prints since the last call, each as the driver made it (its line
    // feed, if it wrote one, included); none on Windows, where they go to the kernel debugger.
    std::vector<std::string> TakeLog();
    std::optional<MachineCounters> Counters() const;

    // Time as the machine sees it, in microseconds: the simulated machine's clock, or the
    // host's. Sleep lets that much of it pass; on the simulated machine that moves its clock
    // (nothing waits for real).
    uint64_t ClockUs() const;
    void Sleep(uint64_t us);

    // Acts on the simulated hardware; returns the dword read for Read and ReadMem. Throws
    // UsageError for what the machine refuses, and on Windows for every action.
    uint32_t Simulate(const SimAction& action);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvaxctl

#endif  // CORVAXCTL_TRANSPORT_H
