// corvaxctl: one driver instance and what the commands share on it.
#include "tools/corvaxctl/session.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <iostream>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {

Session::Session(Transport& transport, const GlobalOptions& options, std::istream& in,
                 std::ostream& out, std::ostream& err, const Environment& environment,
                 bool simulated)
    : t_(transport),
      o_(options),
      in_(in),
      out_(out),
      err_(err),
      env_(environment),
      simulated_(simulated) {
    if (const auto c = t_.Counters()) {
        mark_ = *c;
    }
}

Session::~Session() = default;

// The load, asked for with --load-event: the first JSON object (or line), with the switches of
// the description and the number the driver gave each. UsageError when the driver did not
// load.
void Session::ReportLoad() {
    const std::optional<MachineInfo> machine = simulated_ ? t_.Machine() : std::nullopt;
    if (!machine) {
        return;
    }
    // The load's log and counters run from the boot.
    log_.clear();
    mark_ = MachineCounters();
    DrainLog();
    const bool loaded = !IsErrorStatus(machine->loadStatus) && t_.Ready();
    std::vector<std::optional<unsigned>> numbers(machine->switches.size());
    if (loaded && !machine->switches.empty()) {
        // Which described switch is which of the driver's: the simulated events name a
        // switch by the driver's number.
        Bridges();
        for (size_t i = 0; i < numbers.size(); ++i) {
            for (unsigned r = 0; r < upstream_.size(); ++r) {
                if (upstream_[r] != 0 && upstream_[r] == machine->upstream[i]) {
                    numbers[i] = r;
                }
            }
        }
    }
    if (o_.loadEvent && !o_.json) {
        std::vector<std::string> switches;
        for (size_t i = 0; i < machine->switches.size(); ++i) {
            switches.push_back(SwitchModelName(machine->switches[i]) + " at " +
                               FormatPfa(machine->upstream[i]) + ": " +
                               (numbers[i] ? "switch " + std::to_string(*numbers[i])
                                           : std::string("not registered")));
        }
        out_ << "load: " << machine->name << " (" << machine->source
             << "): " << StatusText(machine->loadStatus) << "; "
             << (switches.empty() ? std::string("no switch") : Join(switches, "; ")) << "; "
             << machine->onboard << " on-board drive" << (machine->onboard == 1 ? "" : "s") << "\n";
    }
    if (o_.json && o_.loadEvent) {
        Json j;
        j["event"] = "load";
        j["status"] = JsonHex(machine->loadStatus, 8);
        j["fabric"] = machine->name;
        j["source"] = machine->source;
        Json switches = Json::array();
        for (size_t i = 0; i < machine->switches.size(); ++i) {
            Json s;
            s["model"] = SwitchModelName(machine->switches[i]);
            s["pfa"] = JsonHex(machine->upstream[i], 4);
            s["bdf"] = FormatPfa(machine->upstream[i]);
            s["switch"] = Nullable(numbers[i]);
            switches.push_back(s);
        }
        j["switches"] = switches;
        j["onboard"] = machine->onboard;
        Emit(j);
    }
    if (!loaded) {
        throw UsageError("the driver did not load: " + StatusText(machine->loadStatus));
    }
    for (const std::string& line : machine->warnings) {
        err_ << "corvaxctl: warning: " << line << "\n";
    }
    std::vector<std::string> left;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (!numbers[i]) {
            left.push_back("the " + SwitchModelName(machine->switches[i]) + " at " +
                           FormatPfa(machine->upstream[i]));
        }
    }
    if (!left.empty()) {
        err_ << "corvaxctl: warning: the driver registered " << numbers.size() - left.size()
             << " of the description's " << numbers.size() << " switches, not " << Join(left, ", ")
             << " (it takes at most three, of one family, on buses 1 to 64)\n"
             << std::flush;
    }
}

// Runs one command; UsageError for what the machine refuses.
int Session::Execute(const Command& c) {
    const CommandSpec* spec = FindCommand(c.name);
    if (spec == nullptr) {
        throw UsageError("unknown command '" + c.name + "'");
    }
    Begin();
    const int result = spec->run(*this, c);
    if (o_.stats && !o_.json) {
        std::string text;
        const Json stats = StatsJson();
        for (const auto& item : stats.items()) {
            text += " " + item.key() + "=" + item.value().dump();
        }
        err_ << "stats:" << text << "\n";
    }
    return result;
}

void Session::Begin() {
    log_.clear();
    if (const auto c = t_.Counters()) {
        mark_ = *c;
    }
}

void Session::DrainLog() {
    for (std::string& print : t_.TakeLog()) {
        if (!o_.log) {
            continue;
        }
        if (o_.json) {
            log_.push_back(std::move(print));
        } else {
            // One print, one line: a print without its own line feed (the driver's link
            // lines) does not run into the next.
            if (!print.empty() && print.back() == '\n') {
                print.pop_back();
            }
            err_ << print << "\n";
        }
    }
    err_.flush();
}

Reply Session::Send(uint32_t code, const Bytes& input, uint32_t outputLength) {
    Reply r = t_.Send(code, input, outputLength);
    DrainLog();
    return r;
}

void Session::Emit(Json& j) {
    if (o_.log) {
        j["log"] = log_;
    }
    if (o_.stats) {
        j["stats"] = StatsJson();
    }
    out_ << j.dump() << "\n";
}

// What the machine counted since the command began.
Json Session::StatsJson() const {
    Json s = Json::object();
    if (const std::optional<MachineCounters> now = t_.Counters()) {
        s["port_pairs"] = now->portPairs - mark_.portPairs;
        s["ecam_accesses"] = now->ecamAccesses - mark_.ecamAccesses;
        s["config_reads"] = now->configReads - mark_.configReads;
        s["config_writes"] = now->configWrites - mark_.configWrites;
        s["mappings"] = now->mappings - mark_.mappings;
        s["live_mappings"] = now->liveMappings;
        s["stray_writes"] = now->strayWrites - mark_.strayWrites;
        s["ram_mappings"] = now->ramMappings - mark_.ramMappings;
        s["early_config"] = now->earlyConfig - mark_.earlyConfig;
        s["slot_command_overrun"] = now->slotCommandOverrun - mark_.slotCommandOverrun;
        s["slot_power_short"] = now->slotPowerShort - mark_.slotPowerShort;
        s["mps_over_capability"] = now->mpsOverCapability - mark_.mpsOverCapability;
        s["clock_us"] = now->clockUs;
    }
    return s;
}

int Session::ExitFor(uint32_t status) {
    return IsErrorStatus(status) ? kExitDriverStatus : kExitOk;
}

// A request whose output is not worth decoding because it failed.
int Session::Failed(const std::string& command, Json& j, const Reply& r) {
    if (o_.json) {
        Emit(j);
    } else {
        out_ << command << ": " << StatusText(r.status) << "\n";
    }
    return ExitFor(r.status);
}

// The line of a request that succeeded and did nothing.
void Session::SayNothing(const std::string& command, const std::string& what,
                         const std::string& why) {
    out_ << command << ": " << what << ": " << why << "\n";
}

// The table as the driver gives it now; none when the request failed.
std::vector<PciTableEntry> Session::TableNow(Reply* reply) {
    const Reply r = Send(CORVAX_GET_TABLE, {}, CORVAX_TABLE_SIZE);
    if (reply != nullptr) {
        *reply = r;
    }
    return IsErrorStatus(r.status) ? std::vector<PciTableEntry>() : DecodeTable(r.output);
}

// Keeps which upstream port each of the driver's switch numbers stands for.
void Session::Remember(const std::vector<BridgeApInfo>& bridges) {
    upstream_.fill(0);
    for (size_t r = 0; r < bridges.size() && r < upstream_.size(); ++r) {
        if (BridgeInUse(bridges[r])) {
            upstream_[r] = static_cast<uint16_t>(bridges[r].bdgPFA);
        }
    }
}

// The switch records (PLX_QUERY_PCI); none when the request failed.
std::vector<BridgeApInfo> Session::Bridges(Reply* reply) {
    const Reply r = Send(PLX_QUERY_PCI, {}, CORVAX_QUERY_PCI_SIZE);
    if (reply != nullptr) {
        *reply = r;
    }
    if (IsErrorStatus(r.status) || r.information < CORVAX_QUERY_PCI_SIZE) {
        return {};
    }
    std::vector<BridgeApInfo> bridges = DecodeBridges(r.output);
    Remember(bridges);
    return bridges;
}

// An event as the simulated machine takes it: the user names the driver's switch, the
// machine its description's.
SimAction Session::OnMachine(SimAction a) {
    const bool slotted = a.kind == SimAction::Kind::Pull || a.kind == SimAction::Kind::Insert ||
                         a.kind == SimAction::Kind::Replace || a.kind == SimAction::Kind::Stuck ||
                         a.kind == SimAction::Kind::Downtrain ||
                         a.kind == SimAction::Kind::Errors || a.kind == SimAction::Kind::Holds ||
                         (a.kind == SimAction::Kind::Rebalance && a.bySlot);
    if (!slotted) {
        return a;
    }
    const std::optional<MachineInfo> machine = t_.Machine();
    if (machine && a.switchIndex < upstream_.size() && upstream_[a.switchIndex] != 0) {
        const auto at =
            std::find(machine->upstream.begin(), machine->upstream.end(), upstream_[a.switchIndex]);
        if (at != machine->upstream.end()) {
            a.switchIndex = static_cast<unsigned>(at - machine->upstream.begin());
            return a;
        }
    }
    throw UsageError("no switch " + std::to_string(a.switchIndex) +
                     " (corvaxctl switches lists them)");
}

// Carries out a simulated action on the machine. What the machine refuses names its switch
// as its description does; the user named it as the driver does.
uint32_t Session::Simulate(const SimAction& given) {
    const SimAction a = OnMachine(given);
    try {
        return t_.Simulate(a);
    } catch (const UsageError& e) {
        std::string message = e.what();
        const std::string machine =
            "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot);
        const size_t at = message.find(machine);
        if (a.kind != given.kind || at == std::string::npos) {
            throw;
        }
        message.replace(
            at, machine.size(),
            "switch " + std::to_string(given.switchIndex) + " slot " + std::to_string(given.slot));
        throw UsageError(message);
    }
}

// A configuration dword as the simulated hardware holds it, counted nowhere.
uint32_t Session::Peek(uint16_t pfa, uint32_t offset) {
    SimAction a;
    a.kind = SimAction::Kind::Read;
    a.pfa = pfa;
    a.offset = offset;
    return t_.Simulate(a);
}

// Drives that lose their memory address in a link cycle and are not restored: those of a
// vendor missing from the accepted list (the table's flag). Said on standard error before
// any link is cut.
std::vector<PciTableEntry> Session::WarnUnrestorable(const std::vector<PciTableEntry>& table) {
    std::vector<PciTableEntry> found;
    for (const PciTableEntry& e : table) {
        if (OnBoard(e) || !(e.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR) ||
            (e.fgStatus & CORVAX_ENTRY_NO_MEMORY)) {
            continue;
        }
        found.push_back(e);
        err_ << "corvaxctl: warning: " << FormatPfa(e.pciLocation) << " (" << IdText(e.pciID)
             << ", slot " << EntryPlace(e)
             << ") is of a vendor missing from the accepted list: it comes back from the "
                "link cycle without its memory address and is not restored (set-ids, then "
                "update, accepts it)\n";
    }
    err_.flush();
    return found;
}

const std::vector<SystemDisk>& Session::SystemDiskList() {
    if (!disks_) {
        SystemDiskLocator* locator = env_.locator;
        if (locator == nullptr) {
            ownLocator_ = MakeSystemDiskLocator(&t_);
            locator = ownLocator_.get();
        }
        disks_ = locator->Locate();
    }
    return *disks_;
}

// Before links are cut: refuses (UsageError) when Windows keeps its directory or a page
// file on a drive behind a registered switch, unless forced; says on standard error what
// could not be found. The switch records are asked for only when there is a disk to judge.
std::vector<SlotBridge> Session::GuardLinkCut(bool force,
                                              const std::vector<BridgeApInfo>& bridges) {
    const std::vector<SlotBridge> behind = GuardSlotBridges(bridges, ConfigRead(), force, err_);
    GuardSystemDisks(force, &bridges, behind);
    return behind;
}

void Session::GuardSystemDisks(bool force, const std::vector<BridgeApInfo>* known,
                               const std::vector<SlotBridge>& behind) {
    const std::vector<SystemDisk>& disks = SystemDiskList();
    const bool anyPlaced = std::any_of(disks.begin(), disks.end(),
                                       [](const SystemDisk& d) { return d.pfa.has_value(); });
    std::vector<BridgeApInfo> asked;
    if (anyPlaced && known == nullptr) {
        asked = Bridges();
        known = &asked;
    }
    const SystemDiskVerdict v =
        JudgeSystemDisks(disks, known != nullptr ? *known : std::vector<BridgeApInfo>(), behind);
    for (const std::string& line : v.unknown) {
        err_ << "corvaxctl: warning: " << line << "\n";
    }
    if (!v.refusals.empty() && !force) {
        throw UsageError(v.refusals.front());
    }
    for (const std::string& line : v.refusals) {
        err_ << "corvaxctl: warning: --force: " << line << "\n";
    }
    err_.flush();
}

// The ports whose Link Disable still reads set, found on the simulated hardware; none on
// the real device, where only the driver's log tells.
std::optional<std::vector<LinkDown>> Session::LinksDown(const std::vector<BridgeApInfo>& bridges) {
    if (!simulated_) {
        return std::nullopt;
    }
    std::vector<LinkDown> down;
    for (unsigned r = 0; r < bridges.size(); ++r) {
        const BridgeApInfo& b = bridges[r];
        if (!BridgeInUse(b)) {
            continue;
        }
        for (unsigned slot = 0; slot < SwitchSlotCount(b.pciID); ++slot) {
            const std::optional<unsigned> device = PortDeviceOfSlot(b.pciID, slot);
            if (!device) {
                continue;
            }
            const auto port = static_cast<uint16_t>((b.SecondaryBus & 0xFF) << 8 | *device << 3);
            if (Peek(port, 0) == 0xFFFFFFFF || !(Peek(port, 0x04) & (0x10u << 16))) {
                continue;  // no port there, or one without a capability list
            }
            unsigned at = Peek(port, 0x34) & 0xFC;
            for (int i = 0; i < 48 && at >= 0x40 && at < 0x100; ++i) {
                const uint32_t head = Peek(port, at);
                if ((head & 0xFF) == 0x10) {
                    // Link Control, bit 4: Link Disable.
                    if (Peek(port, at + 0x10) & 0x10) {
                        down.push_back({r, slot, port});
                    }
                    break;
                }
                at = (head >> 8) & 0xFC;
            }
        }
    }
    return down;
}

Json Session::LinksDownJson(const std::optional<std::vector<LinkDown>>& down) {
    if (!down) {
        return Json(nullptr);
    }
    Json list = Json::array();
    for (const LinkDown& d : *down) {
        Json e;
        e["switch"] = d.sw;
        e["slot"] = d.slot;
        e["port_pfa"] = JsonHex(d.port, 4);
        e["port_bdf"] = FormatPfa(d.port);
        list.push_back(e);
    }
    return list;
}

// After an enable that gave up: which links stayed cut, on standard error.
void Session::SayLinksDown(const std::optional<std::vector<LinkDown>>& down) {
    if (!down) {
        err_ << "corvaxctl: a port's link or a PEX 8748's secondary path did not come back in "
                "six passes; the driver's log names which (see \"Seeing the driver's lines\" "
                "in INSTALL.txt)\n";
    } else if (down->empty()) {
        // An update right away would also record the drives as the cut left them, without
        // their addresses, and the saved headers a restore needs would be gone.
        err_ << "corvaxctl: every port's Link Disable reads clear: a PEX 8748's secondary "
                "path failed; its register space is not where the last update recorded it "
                "(the system moved its BAR0). Restore the drives first (`wait`, then "
                "`restore`), then `update` records the new place: an update before the "
                "restore records the drives without their addresses\n";
    } else {
        for (const LinkDown& d : *down) {
            err_ << "corvaxctl: the link of slot " << d.sw << ":" << d.slot << " (port "
                 << FormatPfa(d.port)
                 << ") did not come back: its Link Disable still reads set after six "
                    "passes\n";
        }
    }
    err_.flush();
}

// The slots the wait after a link cycle is for: those where the driver last saw a drive,
// and those --expect names.
std::vector<SettleSlot> Session::ExpectedSlots(const std::vector<BridgeApInfo>& bridges,
                                               const Command& c) {
    std::vector<SettleSlot> slots = SlotsHoldingDrives(bridges);
    for (const auto& [sw, slot] : c.expectSlots) {
        AddSlot(slots, SlotOf(bridges, sw, slot));
    }
    return slots;
}

ConfigReader Session::ConfigRead() {
    return [this](uint16_t pfa) {
        return Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
    };
}

SettleResult Session::WaitForDrives(std::vector<SettleSlot> slots, const SettleOptions& options,
                                    bool quiet) {
    const ConfigReader read = ConfigRead();
    SettleProgress progress;
    if (env_.terminal && !quiet) {
        progress = [this](const SettleResult& r, uint64_t now) {
            err_ << "\rwaiting for the drives: " << r.Answered() << " of " << r.slots.size()
                 << " answered, " << Millis(now - r.startUs) << "   " << std::flush;
        };
    }
    SettleResult r = Settle(t_, std::move(slots), options, read, progress);
    if (progress) {
        err_ << "\r" << std::string(60, ' ') << "\r" << std::flush;
    }
    for (const SettleSlot& s : r.slots) {
        if (!s.answered && !quiet) {
            err_ << "corvaxctl: slot " << SlotName(s) << " did not answer within "
                 << std::max(options.settleMs, options.trainMs + kConfigQuietMs) << " ms\n";
        }
    }
    err_.flush();
    return r;
}

void Session::CheckEvents(const std::vector<SwapEvent>& events,
                          const std::vector<BridgeApInfo>& bridges, const std::string& command,
                          unsigned rounds) {
    // Whether each slot the events touch holds a drive, as the machine has it now and then as
    // the events leave it; the driver's numbering.
    std::map<std::pair<unsigned, unsigned>, bool> holds;
    for (unsigned round = 1; round <= rounds; ++round) {
        for (const SwapEvent& event : events) {
            const SimAction& a = event.action;
            const std::string where =
                "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot);
            auto refuse = [&](const std::string& why) {
                throw UsageError(command + " event '" + event.text + "'" +
                                 (round > 1 ? " in cycle " + std::to_string(round) : "") + ": " +
                                 why +
                                 (round > 1 ? " (after the events of the cycle before)" : "") +
                                 "; no link was cut");
            };
            const std::pair<unsigned, unsigned> key{a.switchIndex, a.slot};
            try {
                SlotOf(bridges, a.switchIndex, a.slot);
                if (holds.count(key) == 0) {
                    SimAction ask = a;
                    ask.kind = SimAction::Kind::Holds;
                    holds[key] = Simulate(ask) != 0;
                }
            } catch (const UsageError& e) {
                refuse(e.what());
            }
            bool& drive = holds[key];
            if (a.kind == SimAction::Kind::Pull) {
                if (!drive) {
                    refuse("no drive to pull at " + where);
                }
                drive = false;
            } else if (a.kind == SimAction::Kind::Insert) {
                if (drive) {
                    refuse(where + " is occupied (replace swaps a drive)");
                }
                drive = true;
            } else if (a.kind == SimAction::Kind::Replace) {
                drive = true;
            }
        }
    }
}

void Session::AdviseMsix(const std::vector<std::pair<uint16_t, unsigned>>& drives) {
    if (drives.empty() || msixAdvised_ || o_.json) {
        return;
    }
    msixAdvised_ = true;
    std::string list, restart;
    for (const auto& [pfa, vectors] : drives) {
        list += (list.empty() ? "" : ", ") + FormatPfa(pfa) + " has " + std::to_string(vectors);
    }
    char bbdf[16];
    std::snprintf(bbdf, sizeof(bbdf), "PCI:%04X", drives.front().first);
    out_ << "MSI-X: the driver restores at most " << kMsixSavedEntries << " vectors of a drive; "
         << list
         << ": each gets the rest back when its device is restarted (on Windows, with the tool "
            "beside corvaxctl: tolvane chgproperty "
         << bbdf << ", and so for each)\n";
}

}  // namespace corvaxctl
