// corvaxctl: one driver instance and what every command shares on it: sending a request (with
// the driver's lines it caused), printing a command's object, the switch records and the table
// as they are now, the simulated machine's events, the wait for the drives, the Windows disks
// guard. The commands themselves live in their families' files (queries.cpp,
// link_control.cpp, cycle.cpp, sim_commands.cpp) and reach the driver only through here.
#ifndef CORVAXCTL_SESSION_H
#define CORVAXCTL_SESSION_H

#include <array>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/corvaxctl/command_line.h"
#include "tools/corvaxctl/corvaxctl.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/slot_bridges.h"
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

// The driver's save area keeps this many MSI-X entries of each drive (it owns no heap).
constexpr unsigned kMsixSavedEntries = 16;

// A downstream port whose link stayed cut.
struct LinkDown {
    unsigned sw = 0;
    unsigned slot = 0;
    uint16_t port = 0;  // the port's own address on the switch's internal bus
};

class Session {
  public:
    Session(Transport& transport, const GlobalOptions& options, std::istream& in, std::ostream& out,
            std::ostream& err, const Environment& environment, bool simulated);
    ~Session();

    // The load, asked for with --load-event: the first JSON object (or line), with the switches
    // of the description and the number the driver gave each; warnings about the description
    // on standard error. UsageError when the driver did not load.
    void ReportLoad();

    // Runs one command; UsageError for what the machine refuses.
    int Execute(const Command& c);

    // ---- where the command runs ----
    Transport& Device() { return t_; }
    bool Simulated() const { return simulated_; }
    bool JsonWanted() const { return o_.json; }
    std::istream& In() { return in_; }
    std::ostream& Out() { return out_; }
    std::ostream& Err() { return err_; }
    const Environment& Env() const { return env_; }

    // ---- requests and their output ----
    Reply Send(uint32_t code, const Bytes& input, uint32_t outputLength);
    // Prints a command's object, with the driver's lines (--log) and the counters (--stats).
    void Emit(Json& j);
    static int ExitFor(uint32_t status);
    // A request whose output is not worth decoding because it failed.
    int Failed(const std::string& command, Json& j, const Reply& r);
    // The line of a request that succeeded and did nothing.
    void SayNothing(const std::string& command, const std::string& what, const std::string& why);

    // ---- the driver's records as they are now ----
    // The table; none when the request failed.
    std::vector<PciTableEntry> TableNow(Reply* reply = nullptr);
    // The switch records (PLX_QUERY_PCI); none when the request failed.
    std::vector<BridgeApInfo> Bridges(Reply* reply = nullptr);
    // Keeps which upstream port each of the driver's switch numbers stands for.
    void Remember(const std::vector<BridgeApInfo>& bridges);

    // ---- the accepted vendor list ----
    // The list this session set (set-ids); none: the driver's default, as far as the client
    // knows (the driver cannot be asked for its list).
    const std::optional<std::vector<uint32_t>>& AcceptedVendors() const { return vendors_; }
    void SetAcceptedVendors(const std::vector<uint32_t>& vendors) { vendors_ = vendors; }

    // ---- the simulated machine ----
    // An event as the simulated machine takes it: the user names the driver's switch, the
    // machine its description's. UsageError for a switch the driver lacks.
    SimAction OnMachine(SimAction a);
    // Carries out a simulated action on the machine. What the machine refuses names its switch
    // as the user did.
    uint32_t Simulate(const SimAction& given);
    // A configuration dword as the simulated hardware holds it, counted nowhere.
    uint32_t Peek(uint16_t pfa, uint32_t offset);

    // ---- cutting and restoring links ----
    // Drives that lose their memory address in a link cycle and are not restored: those of a
    // vendor missing from the accepted list (the table's flag). Said on standard error before
    // any link is cut.
    std::vector<PciTableEntry> WarnUnrestorable(const std::vector<PciTableEntry>& table);
    // Before links are cut, the guards of every command that cuts them: refuses (UsageError),
    // unless forced, when a slot holds a switch (cutting it resets everything below) or when
    // Windows keeps its directory or a page file on a drive the cut reaches. Returns the slots
    // that hold a switch.
    std::vector<SlotBridge> GuardLinkCut(bool force, const std::vector<BridgeApInfo>& bridges);
    // The Windows disks guard alone: refuses when Windows keeps its directory or a page file
    // on a drive behind a registered switch (or behind a switch in one of its slots), unless
    // forced; says on standard error what could not be found. The switch records are asked for
    // only when there is a disk to judge.
    void GuardSystemDisks(bool force, const std::vector<BridgeApInfo>* known = nullptr,
                          const std::vector<SlotBridge>& behind = {});
    const std::vector<SystemDisk>& SystemDiskList();
    // The ports whose Link Disable still reads set, found on the simulated hardware; none on
    // the real device, where only the driver's log tells.
    std::optional<std::vector<LinkDown>> LinksDown(const std::vector<BridgeApInfo>& bridges);
    static Json LinksDownJson(const std::optional<std::vector<LinkDown>>& down);
    // After an enable that gave up: which links stayed cut, on standard error.
    void SayLinksDown(const std::optional<std::vector<LinkDown>>& down);

    // ---- the wait ----
    // A configuration read of a recorded address, sent as every request is.
    ConfigReader ConfigRead();
    // The slots the wait after a link cycle is for: those where the driver last saw a drive,
    // and those --expect names.
    std::vector<SettleSlot> ExpectedSlots(const std::vector<BridgeApInfo>& bridges,
                                          const Command& c);
    // quiet: no progress and no line for a slot that did not answer (the cycle says it all in
    // its verdicts).
    SettleResult WaitForDrives(std::vector<SettleSlot> slots, const SettleOptions& options,
                               bool quiet = false);

    // ---- the simulated events ----
    // Before any link is cut: UsageError naming the first event that cannot be done, for a
    // switch or slot the driver lacks, a port the machine lacks, a pull from an empty slot or
    // an insert into an occupied one. The events are followed through rounds repetitions (a
    // cycle does them in every cycle).
    void CheckEvents(const std::vector<SwapEvent>& events, const std::vector<BridgeApInfo>& bridges,
                     const std::string& command, unsigned rounds = 1);

    // The drives whose MSI-X table holds more vectors than the driver restores, and how many:
    // one line, once in a session, with what gets them back.
    void AdviseMsix(const std::vector<std::pair<uint16_t, unsigned>>& drives);

  private:
    void Begin();
    void DrainLog();
    // What the machine counted since the command began.
    Json StatsJson() const;

    Transport& t_;
    const GlobalOptions& o_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    const Environment& env_;
    const bool simulated_;
    std::vector<std::string> log_;
    MachineCounters mark_;
    std::optional<std::vector<SystemDisk>> disks_;
    std::unique_ptr<SystemDiskLocator> ownLocator_;
    std::array<uint16_t, 3> upstream_{};  // the upstream port of each switch number; 0: none
    bool msixAdvised_ = false;
    std::optional<std::vector<uint32_t>> vendors_;
};

}  // namespace corvaxctl

#endif  // CORVAXCTL_SESSION_H
