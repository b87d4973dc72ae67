// corvaxctl: runs commands against one driver instance and prints what came back, as tables for
// a person or as one JSON object per command.
#include <algorithm>
#include <array>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tools/corvaxctl/command_line.h"
#include "tools/corvaxctl/corvaxctl.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/slot_bridges.h"
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {
namespace {

using Json = nlohmann::ordered_json;

// The driver's save area keeps this many MSI-X entries of each drive (it owns no heap).
constexpr unsigned kMsixSavedEntries = 16;

// A bad script line, or a command of a script that the machine refused: the line is named.
class LineError : public UsageError {
  public:
    LineError(const std::string& where, int line, const std::string& message)
        : UsageError(where + " line " + std::to_string(line) + ": " + message), line_(line) {}
    int Line() const { return line_; }

  private:
    int line_;
};

std::string StatusText(uint32_t status) {
    const std::string name = StatusName(status);
    return name.empty() ? Hex32(status) : name + " (" + Hex32(status) + ")";
}

std::string ShortHex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

uint32_t Dword(const Bytes& bytes, size_t offset = 0) {
    uint32_t v = 0;
    if (bytes.size() >= offset + 4) {
        std::memcpy(&v, bytes.data() + offset, 4);
    }
    return v;
}

Bytes Dwords(std::initializer_list<uint32_t> values) {
    Bytes bytes;
    for (uint32_t v : values) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    return bytes;
}

// Columns padded to their widest cell; no trailing blanks.
std::string Columns(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
    std::vector<size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line = indent;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(width[i] - row[i].size() + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    }
    return text;
}

std::string Join(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "" : separator) + w;
    }
    return text;
}

Json Nullable(const std::optional<unsigned>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// ---- the drive table ----

// The table numbers the switches from 1 and gives on-board drives 0; everything else, and the
// user, number them from 0, as the driver's records are.
bool OnBoard(const PciTableEntry& e) {
    return e.bdgIndex == 0;
}

unsigned EntrySwitch(const PciTableEntry& e) {
    return e.bdgIndex - 1;
}

std::optional<unsigned> EntrySlot(const PciTableEntry& e) {
    if (OnBoard(e)) {
        return std::nullopt;
    }
    return SlotOfPortDevice(e.bdgPciId, e.bdgDevId);
}

// "0:2", as events and --expect take it; the port's device number when the model is unknown.
std::string EntryPlace(const PciTableEntry& e) {
    const std::optional<unsigned> slot = EntrySlot(e);
    return std::to_string(EntrySwitch(e)) + ":" +
           (slot ? std::to_string(*slot) : "port " + std::to_string(e.bdgDevId));
}

Json EntryJson(const PciTableEntry& e) {
    const bool onboard = OnBoard(e);
    Json j;
    j["pfa"] = JsonHex(e.pciLocation, 4);
    j["bdf"] = FormatPfa(e.pciLocation);
    j["id"] = IdText(e.pciID);
    j["vendor"] = JsonHex(e.pciID & 0xFFFF, 4);
    j["device"] = JsonHex(e.pciID >> 16, 4);
    j["switch"] = onboard ? Json(nullptr) : Json(EntrySwitch(e));
    j["slot"] = Nullable(EntrySlot(e));
    j["port"] = onboard ? Json(nullptr) : Json(e.bdgDevId);
    j["switch_id"] = onboard ? Json(nullptr) : Json(JsonHex(e.bdgPciId, 8));
    j["fg_status"] = JsonHex(e.fgStatus, 8);
    j["flags"] = EntryFlagWords(e.fgStatus);
    return j;
}

std::vector<std::string> EntryRow(size_t index, const PciTableEntry& e) {
    const bool onboard = OnBoard(e);
    const std::optional<unsigned> slot = EntrySlot(e);
    return {
        std::to_string(index),
        FormatPfa(e.pciLocation),
        IdText(e.pciID),
        onboard ? "on-board" : std::to_string(EntrySwitch(e)) + " " + SwitchModelName(e.bdgPciId),
        slot ? std::to_string(*slot) : "-",
        onboard ? "-" : std::to_string(e.bdgDevId),
        e.fgStatus ? Join(EntryFlagWords(e.fgStatus), ",") : "-"};
}

// ---- the switch records ----

unsigned PayloadBytes(uint8_t bdgMps) {
    return 128u << ((bdgMps >> 5) & 7);
}

uint64_t SlotBar(const SlotImage& s) {
    return static_cast<uint64_t>(s.barAddrHigh) << 32 | s.barAddrLow;
}

Json SlotJson(unsigned index, const SlotImage& s) {
    // A slot without a drive has no drive address: what the record holds there is the port's
    // secondary bus, or 0xff when no port answered.
    const bool present = (s.fgStatus & CORVAX_SLOT_PRESENT) != 0;
    Json j;
    j["slot"] = index;
    j["fg_status"] = JsonHex(s.fgStatus, 2);
    j["present"] = present;
    j["port"] = s.bdgDeviceId;
    j["mps"] = PayloadBytes(s.bdgMps);
    j["pfa"] = present ? Json(JsonHex(s.pciPFA, 4)) : Json(nullptr);
    j["bdf"] = present ? Json(FormatPfa(s.pciPFA)) : Json(nullptr);
    j["id"] = present ? Json(IdText(static_cast<uint32_t>(s.deviceId) << 16 | s.vendorId))
                      : Json(nullptr);
    j["bar0"] = present ? Json(JsonHex(SlotBar(s), 16)) : Json(nullptr);
    return j;
}

std::string SlotCell(const SlotImage& s) {
    if (s.fgStatus & CORVAX_SLOT_PRESENT) {
        return FormatPfa(s.pciPFA) + " " +
               IdText(static_cast<uint32_t>(s.deviceId) << 16 | s.vendorId) +
               " mps=" + std::to_string(PayloadBytes(s.bdgMps)) + " bar0=" + ShortHex(SlotBar(s));
    }
    if (s.pciPFA == 0) {
        return "-";
    }
    // A port that does not answer reads all-ones: the recorded bus is 0xff.
    return ((s.pciPFA >> 8) & 0xFF) == 0xFF ? "no port" : FormatPfa(s.pciPFA) + " empty";
}

// ---- the wait ----

std::string Millis(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string SettleSummary(const SettleResult& r) {
    const uint64_t waited = r.endUs - r.startUs;
    if (r.slots.empty()) {
        return "no slot to wait for; waited " + Millis(waited);
    }
    const std::string counted =
        std::to_string(r.Answered()) + " of " + std::to_string(r.slots.size()) + " slots answered";
    return counted + (r.AllAnswered() ? " after " : "; gave up after ") + Millis(waited);
}

Json SettleJson(const SettleResult& r, const SettleOptions& o) {
    Json j;
    j["settle_ms"] = o.settleMs;
    j["train_ms"] = o.trainMs;
    j["poll_ms"] = o.pollMs;
    j["first_read_us"] = r.firstPollUs - r.startUs;
    j["waited_us"] = r.endUs - r.startUs;
    j["reads"] = r.reads;
    j["answered"] = r.Answered();
    Json slots = Json::array();
    for (const SettleSlot& s : r.slots) {
        Json e;
        e["switch"] = s.record;
        e["slot"] = s.slot;
        e["pfa"] = JsonHex(s.pfa, 4);
        e["bdf"] = FormatPfa(s.pfa);
        e["answered"] = s.answered;
        e["answer_us"] = s.answered ? Json(s.answerUs) : Json(nullptr);
        e["id"] = s.answered ? Json(IdText(s.id)) : Json(nullptr);
        slots.push_back(e);
    }
    j["slots"] = slots;
    return j;
}

// ---- the system's disks ----

Json SystemDisksJson(const std::vector<SystemDisk>& disks) {
    Json j;
    j["command"] = "system-disks";
    j["status"] = JsonHex(CORVAX_STATUS_SUCCESS, 8);
    j["information"] = 0;
    j["output"] = "";
    Json list = Json::array();
    for (const SystemDisk& d : disks) {
        Json e;
        e["what"] = d.what;
        e["pfa"] = d.pfa ? Json(JsonHex(*d.pfa, 4)) : Json(nullptr);
        e["bdf"] = d.pfa ? Json(FormatPfa(*d.pfa)) : Json(nullptr);
        e["unknown"] = d.pfa ? Json(nullptr) : Json(d.unknown);
        list.push_back(e);
    }
    j["disks"] = list;
    return j;
}

void PrintSystemDisks(const std::vector<SystemDisk>& disks, std::ostream& out) {
    if (disks.empty()) {
        out << "no disk holds the Windows directory or a page file\n";
    }
    for (const SystemDisk& d : disks) {
        out << d.what << ": " << (d.pfa ? FormatPfa(*d.pfa) : "unknown (" + d.unknown + ")")
            << "\n";
    }
}

// A downstream port whose link stayed cut.
struct LinkDown {
    unsigned sw = 0;
    unsigned slot = 0;
    uint16_t port = 0;  // the port's own address on the switch's internal bus
};

class Session {
  public:
    Session(Transport& transport, const GlobalOptions& options, std::istream& in, std::ostream& out,
            std::ostream& err, const Environment& environment, bool simulated)
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

    // The load, as the first JSON object, with the switches of the description and the number
    // the driver gave each. UsageError when the driver did not load.
    void ReportLoad() {
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
        if (o_.json) {
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
        std::vector<std::string> left;
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (!numbers[i]) {
                left.push_back("the " + SwitchModelName(machine->switches[i]) + " at " +
                               FormatPfa(machine->upstream[i]));
            }
        }
        if (!left.empty()) {
            err_ << "corvaxctl: warning: the driver registered " << numbers.size() - left.size()
                 << " of the description's " << numbers.size() << " switches, not "
                 << Join(left, ", ")
                 << " (it takes at most three, of one family, on buses 1 to 64)\n"
                 << std::flush;
        }
    }

    // Runs one command; UsageError for what the machine refuses.
    int Execute(const Command& c) {
        Begin();
        const int result = Dispatch(c);
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

  private:
    int Dispatch(const Command& c) {
        const std::string& n = c.name;
        if (n == "version") {
            return Version();
        }
        if (n == "count") {
            return Count();
        }
        if (n == "model") {
            return Model();
        }
        if (n == "on-bridge") {
            return OnBridge(c.pfa);
        }
        if (n == "table") {
            return Table();
        }
        if (n == "switches") {
            return Switches();
        }
        if (n == "bitmap") {
            return Bitmap();
        }
        if (n == "config") {
            return Config(c.pfa);
        }
        if (n == "update") {
            return Action(n, CORVAX_UPDATE);
        }
        if (n == "rescan") {
            return Action(n, CORVAX_RESCAN);
        }
        if (n == "restore") {
            return Action(n, CORVAX_RESCAN_RESTORE);
        }
        if (n == "disable") {
            return Disable(c);
        }
        if (n == "wait") {
            return Wait(c);
        }
        if (n == "system-disks") {
            if (o_.json) {
                Json j = SystemDisksJson(SystemDiskList());
                Emit(j);
            } else {
                PrintSystemDisks(SystemDiskList(), out_);
            }
            return kExitOk;
        }
        if (n == "enable") {
            return Enable();
        }
        if (n == "led") {
            return Led(c.pfa, c.ledType);
        }
        if (n == "led-all") {
            return LedAll();
        }
        if (n == "clear-cpm") {
            return Action(n, CORVAX_CLR_CPM);
        }
        if (n == "set-ids") {
            return SetIds(c.vendors);
        }
        if (n == "hotswap") {
            return Hotswap(c);
        }
        if (n == "ioctl") {
            return Ioctl(c);
        }
        if (n.rfind("sim ", 0) == 0) {
            return Sim(c);
        }
        throw UsageError("unknown command '" + n + "'");
    }

    void Begin() {
        log_.clear();
        if (const auto c = t_.Counters()) {
            mark_ = *c;
        }
    }

    void DrainLog() {
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

    Reply Send(uint32_t code, const Bytes& input, uint32_t outputLength) {
        Reply r = t_.Send(code, input, outputLength);
        DrainLog();
        return r;
    }

    void Emit(Json& j) {
        if (o_.log) {
            j["log"] = log_;
        }
        if (o_.stats) {
            j["stats"] = StatsJson();
        }
        out_ << j.dump() << "\n";
    }

    // What the machine counted since the command began.
    Json StatsJson() const {
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

    static Json Base(const std::string& command, const Reply& r) {
        Json j;
        j["command"] = command;
        j["status"] = JsonHex(r.status, 8);
        j["information"] = r.information;
        j["output"] = LowerHex(r.output);
        return j;
    }

    static int ExitFor(uint32_t status) {
        return IsErrorStatus(status) ? kExitDriverStatus : kExitOk;
    }

    // A request whose output is not worth decoding because it failed.
    int Failed(const std::string& command, Json& j, const Reply& r) {
        if (o_.json) {
            Emit(j);
        } else {
            out_ << command << ": " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    // The line of a request that succeeded and did nothing.
    void SayNothing(const std::string& command, const std::string& what, const std::string& why) {
        out_ << command << ": " << what << ": " << why << "\n";
    }

    int Version() {
        const Reply r = Send(CORVAX_GET_VERSION, {}, 4);
        Json j = Base("version", r);
        if (IsErrorStatus(r.status)) {
            return Failed("version", j, r);
        }
        const uint32_t v = Dword(r.output);
        if (o_.json) {
            j["version"] = VersionText(v);
            j["version_value"] = JsonHex(v, 8);
            Emit(j);
        } else {
            out_ << "Corvax driver " << VersionText(v) << " (" << Hex32(v) << ")\n";
        }
        return kExitOk;
    }

    int Count() {
        const Reply r = Send(CORVAX_QUERY, {}, 4);
        Json j = Base("count", r);
        if (IsErrorStatus(r.status)) {
            return Failed("count", j, r);
        }
        const uint32_t n = Dword(r.output);
        if (o_.json) {
            j["count"] = n;
            Emit(j);
        } else {
            out_ << n << (n == 1 ? " drive" : " drives") << "\n";
        }
        return kExitOk;
    }

    int Model() {
        const Reply r = Send(CORVAX_QUERY_8618, {}, 4);
        Json j = Base("model", r);
        if (IsErrorStatus(r.status)) {
            return Failed("model", j, r);
        }
        const uint32_t id = Dword(r.output);
        if (o_.json) {
            j["switch_id"] = JsonHex(id, 8);
            j["model"] = id ? Json(SwitchModelName(id)) : Json(nullptr);
            Emit(j);
        } else if (id == 0) {
            out_ << "no switch\n";
        } else {
            out_ << SwitchModelName(id) << " (" << IdText(id) << ")\n";
        }
        return kExitOk;
    }

    int OnBridge(uint16_t pfa) {
        const Reply r = Send(CORVAX_ON_BRIDGE, Dwords({pfa}), 0);
        const bool found = r.status == CORVAX_STATUS_SUCCESS;
        if (o_.json) {
            Json j = Base("on-bridge", r);
            j["pfa"] = JsonHex(pfa, 4);
            j["bdf"] = FormatPfa(pfa);
            j["on_bridge"] = found;
            Emit(j);
        } else if (found) {
            out_ << FormatPfa(pfa) << " is behind a switch\n";
        } else {
            out_ << FormatPfa(pfa) << " is not behind a switch: " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    void PrintTable(const std::vector<DriveChange>& drives, bool withChange) {
        if (drives.empty()) {
            out_ << "no drives\n";
            return;
        }
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"#", "PFA", "ID", "switch", "slot", "port", "flags"});
        if (withChange) {
            rows.back().push_back("change");
        }
        for (size_t i = 0; i < drives.size(); ++i) {
            rows.push_back(EntryRow(i, drives[i].entry));
            if (drives[i].change == Change::Lost) {
                rows.back()[0] = "-";
                rows.back()[6] = "-";
            }
            if (withChange) {
                rows.back().push_back(
                    drives[i].change == Change::None ? "-" : ChangeName(drives[i].change));
            }
        }
        out_ << Columns(rows, "");
    }

    // The table as the driver gives it now; none when the request failed.
    std::vector<PciTableEntry> TableNow(Reply* reply = nullptr) {
        const Reply r = Send(CORVAX_GET_TABLE, {}, CORVAX_TABLE_SIZE);
        if (reply != nullptr) {
            *reply = r;
        }
        return IsErrorStatus(r.status) ? std::vector<PciTableEntry>() : DecodeTable(r.output);
    }

    int Table() {
        Reply r;
        const std::vector<PciTableEntry> entries = TableNow(&r);
        Json j = Base("table", r);
        if (IsErrorStatus(r.status)) {
            return Failed("table", j, r);
        }
        if (o_.json) {
            Json drives = Json::array();
            for (const PciTableEntry& e : entries) {
                drives.push_back(EntryJson(e));
            }
            j["drives"] = drives;
            Emit(j);
        } else {
            std::vector<DriveChange> rows;
            for (const PciTableEntry& e : entries) {
                rows.push_back({e, Change::None});
            }
            PrintTable(rows, false);
        }
        return kExitOk;
    }

    int Switches() {
        const Reply r = Send(PLX_QUERY_PCI, {}, CORVAX_QUERY_PCI_SIZE);
        Json j = Base("switches", r);
        if (IsErrorStatus(r.status) || r.information < CORVAX_QUERY_PCI_SIZE) {
            return Failed("switches", j, r);
        }
        const std::vector<BridgeApInfo> bridges = DecodeBridges(r.output);
        Remember(bridges);
        Json records = Json::array();
        std::string text;
        for (size_t i = 0; i < bridges.size(); ++i) {
            const BridgeApInfo& b = bridges[i];
            if (!BridgeInUse(b)) {
                continue;
            }
            const unsigned slots = SwitchSlotCount(b.pciID);
            if (o_.json) {
                Json rec;
                rec["switch"] = i;
                rec["switch_id"] = JsonHex(b.pciID, 8);
                rec["model"] = SwitchModelName(b.pciID);
                rec["pfa"] = JsonHex(b.bdgPFA, 4);
                rec["bdf"] = FormatPfa(b.bdgPFA);
                rec["original_map"] = JsonHex(b.OriginalMap, 8);
                rec["current_map"] = JsonHex(b.CurrentMap, 8);
                rec["primary_bus"] = b.PrimaryBus;
                rec["secondary_bus"] = b.SecondaryBus;
                Json original = Json::array(), current = Json::array();
                for (unsigned s = 0; s < slots; ++s) {
                    original.push_back(SlotJson(s, b.OriginalSlot[s]));
                    current.push_back(SlotJson(s, b.CurrentSlot[s]));
                }
                rec["original_slots"] = original;
                rec["current_slots"] = current;
                records.push_back(rec);
                continue;
            }
            std::ostringstream head;
            head << "switch " << i << ": " << SwitchModelName(b.pciID) << " (" << IdText(b.pciID)
                 << ") at " << FormatPfa(b.bdgPFA) << ", primary bus " << b.PrimaryBus
                 << ", secondary bus " << b.SecondaryBus << ", original map "
                 << Hex32(b.OriginalMap) << ", current map " << Hex32(b.CurrentMap) << "\n";
            std::vector<std::vector<std::string>> rows;
            rows.push_back({"slot", "port", "original", "current"});
            for (unsigned s = 0; s < slots; ++s) {
                rows.push_back({std::to_string(s), std::to_string(b.OriginalSlot[s].bdgDeviceId),
                                SlotCell(b.OriginalSlot[s]), SlotCell(b.CurrentSlot[s])});
            }
            text += head.str() + Columns(rows, "  ");
        }
        if (o_.json) {
            j["switches"] = records;
            Emit(j);
        } else {
            out_ << (text.empty() ? "no switch\n" : text);
        }
        return kExitOk;
    }

    int Bitmap() {
        // The records say which switches there are and which of them keep a bitmap.
        const std::vector<BridgeApInfo> bridges = Bridges();
        const Reply r = Send(CORVAX_GET_BITMAP, {}, CORVAX_BITMAP_SIZE);
        Json j = Base("bitmap", r);
        if (IsErrorStatus(r.status)) {
            return Failed("bitmap", j, r);
        }
        Json words = Json::array(), slots = Json::array();
        std::vector<std::vector<std::string>> rows;
        bool anyKept = false, anySwitch = false;
        for (unsigned i = 0; i < 3; ++i) {
            const uint32_t word = Dword(r.output, 4 * i);
            const std::vector<unsigned> set = BitmapSlots(word);
            words.push_back(JsonHex(word, 8));
            slots.push_back(set);
            if (i >= bridges.size() || !BridgeInUse(bridges[i])) {
                continue;
            }
            anySwitch = true;
            const uint32_t id = bridges[i].pciID;
            const std::string head = "switch " + std::to_string(i) + ":";
            if (id == CORVAX_PLX8748_ID) {
                rows.push_back({head, Hex32(word), "none kept: the PEX 8748 has no port bitmap"});
                continue;
            }
            anyKept = true;
            std::vector<std::string> names;
            for (unsigned s : set) {
                names.push_back(std::to_string(s));
            }
            rows.push_back({head, Hex32(word),
                            "slots answering: " + (names.empty() ? "none" : Join(names, " "))});
        }
        std::optional<std::string> nothing;
        if (!anySwitch) {
            nothing = "no switch is registered";
        } else if (!anyKept) {
            nothing =
                "the PEX 8748 keeps no port bitmap; `table` after `rescan` shows which "
                "drives answer";
        }
        if (o_.json) {
            j["bitmaps"] = words;
            j["slots"] = slots;
            if (nothing) {
                j["did_nothing"] = *nothing;
            }
            Emit(j);
        } else {
            out_ << Columns(rows, "");
            if (nothing) {
                SayNothing("bitmap", "nothing read", *nothing);
            }
        }
        return kExitOk;
    }

    int Config(uint16_t pfa) {
        const Reply r = Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
        Json j = Base("config", r);
        if (IsErrorStatus(r.status)) {
            return Failed("config", j, r);
        }
        const ConfigSummary s = DecodeConfig(r.output);
        // Zeros: the driver reads only drives it recorded behind a switch.
        const bool recorded = s.vendor != 0 || s.device != 0;
        std::optional<std::string> nothing;
        if (!recorded) {
            nothing = FormatPfa(pfa) + " is no drive the driver recorded behind a switch";
            for (const PciTableEntry& e : TableNow()) {
                if (e.pciLocation == pfa && OnBoard(e)) {
                    nothing = FormatPfa(pfa) +
                              " is an on-board drive: the driver reads the header only of "
                              "drives behind a switch";
                }
            }
        }
        const char* kind = s.bar0Io ? "io" : s.bar064 ? "memory64" : "memory32";
        if (o_.json) {
            auto when = [&](Json value) { return recorded ? value : Json(nullptr); };
            j["pfa"] = JsonHex(pfa, 4);
            j["bdf"] = FormatPfa(pfa);
            j["recorded"] = recorded;
            j["vendor"] = when(JsonHex(s.vendor, 4));
            j["device"] = when(JsonHex(s.device, 4));
            j["id"] = when(IdText(static_cast<uint32_t>(s.device) << 16 | s.vendor));
            j["class"] = when(JsonHex(s.classCode, 6));
            j["revision"] = when(s.revision);
            j["header_type"] = when(s.headerType);
            j["bar0"] = when(JsonHex(s.bar0, 16));
            j["bar0_kind"] = when(kind);
            j["msix_vectors"] = Nullable(s.msixVectors);
            j["msix_table"] = s.msixVectors ? Json(JsonHex(s.msixTable, 8)) : Json(nullptr);
            if (nothing) {
                j["did_nothing"] = *nothing;
            }
            Emit(j);
            return kExitOk;
        }
        if (nothing) {
            SayNothing("config", "nothing read", *nothing);
            return kExitOk;
        }
        if (s.vendor == 0xFFFF) {
            out_ << FormatPfa(pfa) << ": nothing answers at this address (all ones)\n";
        } else {
            char text[64];
            std::snprintf(text, sizeof(text), " class %06x (rev %02x), BAR0 ", s.classCode,
                          s.revision);
            out_ << FormatPfa(pfa) << " "
                 << IdText(static_cast<uint32_t>(s.device) << 16 | s.vendor) << text
                 << ShortHex(s.bar0) << " ("
                 << (s.bar0Io   ? "I/O"
                     : s.bar064 ? "64-bit memory"
                                : "32-bit memory")
                 << (s.bar0 == 0 && !s.bar0Io ? ", unassigned" : "") << ")\n";
            if (s.msixVectors) {
                out_ << "MSI-X: " << *s.msixVectors << " vectors, table at "
                     << ShortHex(s.msixTable & ~7u) << " in BAR" << (s.msixTable & 7) << "\n";
            }
        }
        for (const std::string& line : HexDump(r.output)) {
            out_ << line << "\n";
        }
        return kExitOk;
    }

    int Action(const std::string& command, uint32_t code) {
        const Reply r = Send(code, {}, 0);
        if (o_.json) {
            Json j = Base(command, r);
            Emit(j);
        } else {
            out_ << command << ": " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    // Drives that lose their memory address in a link cycle and are not restored: those of a
    // vendor missing from the accepted list (the table's flag). Said on standard error before
    // any link is cut.
    std::vector<PciTableEntry> WarnUnrestorable(const std::vector<PciTableEntry>& table) {
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

    static Json EntriesJson(const std::vector<PciTableEntry>& entries) {
        Json list = Json::array();
        for (const PciTableEntry& e : entries) {
            list.push_back(EntryJson(e));
        }
        return list;
    }

    int Disable(const Command& c) {
        const std::vector<BridgeApInfo> bridges = Bridges();
        const std::vector<SlotBridge> behind =
            GuardSlotBridges(bridges, ConfigRead(), c.force, err_);
        GuardSystemDisks(c.force, &bridges, behind);
        const std::vector<PciTableEntry> unrestorable = WarnUnrestorable(TableNow());
        const Reply r = Send(CORVAX_DISABLE_BRIDGE, {}, 0);
        if (o_.json) {
            Json j = Base("disable", r);
            j["unrestorable"] = EntriesJson(unrestorable);
            Emit(j);
        } else {
            out_ << "disable: " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    // A configuration dword as the simulated hardware holds it, counted nowhere.
    uint32_t Peek(uint16_t pfa, uint32_t offset) {
        SimAction a;
        a.kind = SimAction::Kind::Read;
        a.pfa = pfa;
        a.offset = offset;
        return t_.Simulate(a);
    }

    // The ports whose Link Disable still reads set, found on the simulated hardware; none on
    // the real device, where only the driver's log tells.
    std::optional<std::vector<LinkDown>> LinksDown(const std::vector<BridgeApInfo>& bridges) {
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
                const auto port =
                    static_cast<uint16_t>((b.SecondaryBus & 0xFF) << 8 | *device << 3);
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

    Json LinksDownJson(const std::optional<std::vector<LinkDown>>& down) {
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
    void SayLinksDown(const std::optional<std::vector<LinkDown>>& down) {
        if (!down) {
            err_ << "corvaxctl: a port's link or a PEX 8748's secondary path did not come back in "
                    "six passes; the driver's log names which (see \"Seeing the driver's lines\" "
                    "in INSTALL.txt)\n";
        } else if (down->empty()) {
            err_ << "corvaxctl: every port's Link Disable reads clear: a PEX 8748's secondary "
                    "path failed; its register space is not where the last update recorded it "
                    "(the system moved its BAR0), and `update` records the new place\n";
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

    int Enable() {
        const Reply r = Send(CORVAX_ENABLE_BRIDGE, {}, 0);
        std::optional<std::vector<LinkDown>> down = std::vector<LinkDown>();
        const bool gaveUp = r.status == CORVAX_STATUS_FAIL_CHECK;
        if (gaveUp) {
            down = LinksDown(simulated_ ? Bridges() : std::vector<BridgeApInfo>());
        }
        if (o_.json) {
            Json j = Base("enable", r);
            j["links_down"] = LinksDownJson(down);
            Emit(j);
        } else {
            out_ << "enable: " << StatusText(r.status)
                 << (gaveUp ? ": a port's link or a PEX 8748's secondary path did not come back "
                              "in six passes"
                            : "")
                 << "\n";
            out_.flush();
        }
        if (gaveUp) {
            SayLinksDown(down);
        }
        return ExitFor(r.status);
    }

    int Led(uint16_t pfa, uint32_t type) {
        const Reply r = Send(CORVAX_SET_LED, Dwords({pfa, type}), 0);
        std::optional<std::string> nothing;
        if (!IsErrorStatus(r.status)) {
            // The driver sets the LED of the port in front of a slot it recorded; the same match
            // answers CORVAX_ON_BRIDGE.
            if (Send(CORVAX_ON_BRIDGE, Dwords({pfa}), 0).status != CORVAX_STATUS_SUCCESS) {
                nothing = FormatPfa(pfa) +
                          " is not in a slot of a registered switch, so it has no slot LED";
            }
        }
        if (o_.json) {
            Json j = Base("led", r);
            j["pfa"] = JsonHex(pfa, 4);
            j["bdf"] = FormatPfa(pfa);
            j["led_type"] = type;
            if (nothing) {
                j["did_nothing"] = *nothing;
            }
            Emit(j);
        } else {
            out_ << "led " << FormatPfa(pfa) << " " << type << ": " << StatusText(r.status) << "\n";
            if (nothing) {
                SayNothing("led", "nothing changed", *nothing);
            }
        }
        return ExitFor(r.status);
    }

    int LedAll() {
        const Reply r = Send(CORVAX_SET_LED_ALL, {}, 0);
        std::optional<std::string> nothing;
        if (!IsErrorStatus(r.status)) {
            // Which family is registered decides whether there is a field to set.
            const Reply model = Send(CORVAX_QUERY_8618, {}, 4);
            const uint32_t id = IsErrorStatus(model.status) ? 1 : Dword(model.output);
            if (id == 0) {
                nothing = "no switch is registered";
            } else if (id == CORVAX_PLX8748_ID) {
                nothing =
                    "the request sets the indicators of a PEX 8618 or 8732; the PEX 8748's "
                    "are left alone";
            }
        }
        if (o_.json) {
            Json j = Base("led-all", r);
            if (nothing) {
                j["did_nothing"] = *nothing;
            }
            Emit(j);
        } else {
            out_ << "led-all: " << StatusText(r.status) << "\n";
            if (nothing) {
                SayNothing("led-all", "nothing changed", *nothing);
            }
        }
        return ExitFor(r.status);
    }

    int SetIds(const std::vector<uint32_t>& vendors) {
        Bytes input;
        for (uint32_t id : vendors) {
            const Bytes b = Dwords({id});
            input.insert(input.end(), b.begin(), b.end());
        }
        const Bytes end = Dwords({0});  // the terminator: the list is exactly what was given
        input.insert(input.end(), end.begin(), end.end());
        const Reply r = Send(CORVAX_SET_DEVICE_ID_LIST, input, 0);
        if (o_.json) {
            Json j = Base("set-ids", r);
            Json list = Json::array();
            for (uint32_t id : vendors) {
                list.push_back(JsonHex(id, 4));
            }
            j["vendors"] = list;
            Emit(j);
        } else {
            out_ << "set-ids (" << vendors.size() << " vendors): " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    // Keeps which upstream port each of the driver's switch numbers stands for.
    void Remember(const std::vector<BridgeApInfo>& bridges) {
        upstream_.fill(0);
        for (size_t r = 0; r < bridges.size() && r < upstream_.size(); ++r) {
            if (BridgeInUse(bridges[r])) {
                upstream_[r] = static_cast<uint16_t>(bridges[r].bdgPFA);
            }
        }
    }

    // The switch records (PLX_QUERY_PCI); none when the request failed.
    std::vector<BridgeApInfo> Bridges(Reply* reply = nullptr) {
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
    SimAction OnMachine(SimAction a) {
        const bool slotted = a.kind == SimAction::Kind::Pull || a.kind == SimAction::Kind::Insert ||
                             a.kind == SimAction::Kind::Replace ||
                             a.kind == SimAction::Kind::Stuck ||
                             (a.kind == SimAction::Kind::Rebalance && a.bySlot);
        if (!slotted) {
            return a;
        }
        const std::optional<MachineInfo> machine = t_.Machine();
        if (machine && a.switchIndex < upstream_.size() && upstream_[a.switchIndex] != 0) {
            const auto at = std::find(machine->upstream.begin(), machine->upstream.end(),
                                      upstream_[a.switchIndex]);
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
    uint32_t Simulate(const SimAction& given) {
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
            message.replace(at, machine.size(),
                            "switch " + std::to_string(given.switchIndex) + " slot " +
                                std::to_string(given.slot));
            throw UsageError(message);
        }
    }

    const std::vector<SystemDisk>& SystemDiskList() {
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
    void GuardSystemDisks(bool force, const std::vector<BridgeApInfo>* known = nullptr,
                          const std::vector<SlotBridge>& behind = {}) {
        const std::vector<SystemDisk>& disks = SystemDiskList();
        const bool anyPlaced = std::any_of(disks.begin(), disks.end(),
                                           [](const SystemDisk& d) { return d.pfa.has_value(); });
        std::vector<BridgeApInfo> asked;
        if (anyPlaced && known == nullptr) {
            asked = Bridges();
            known = &asked;
        }
        const SystemDiskVerdict v = JudgeSystemDisks(
            disks, known != nullptr ? *known : std::vector<BridgeApInfo>(), behind);
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

    // The slots the wait after a link cycle is for: those where the driver last saw a drive,
    // and those --expect names.
    std::vector<SettleSlot> ExpectedSlots(const std::vector<BridgeApInfo>& bridges,
                                          const Command& c) {
        std::vector<SettleSlot> slots = SlotsHoldingDrives(bridges);
        for (const auto& [sw, slot] : c.expectSlots) {
            AddSlot(slots, SlotOf(bridges, sw, slot));
        }
        return slots;
    }

    // A configuration read of a recorded address, sent as every request is.
    ConfigReader ConfigRead() {
        return [this](uint16_t pfa) {
            return Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
        };
    }

    SettleResult WaitForDrives(std::vector<SettleSlot> slots, const SettleOptions& options) {
        const ConfigReader read = ConfigRead();
        SettleProgress progress;
        if (env_.terminal) {
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
            if (!s.answered) {
                err_ << "corvaxctl: slot " << SlotName(s) << " did not answer within "
                     << std::max(options.settleMs, options.trainMs + kConfigQuietMs) << " ms\n";
            }
        }
        err_.flush();
        return r;
    }

    int Wait(const Command& c) {
        const std::vector<BridgeApInfo> bridges = Bridges();
        const SettleResult r = WaitForDrives(ExpectedSlots(bridges, c), c.settle);
        if (o_.json) {
            Json j;
            j["command"] = "wait";
            j["status"] = JsonHex(CORVAX_STATUS_SUCCESS, 8);
            j["information"] = 0;
            j["output"] = "";
            j["wait"] = SettleJson(r, c.settle);
            Emit(j);
        } else {
            out_ << "wait: " << SettleSummary(r) << "\n";
        }
        return r.AllAnswered() ? kExitOk : kExitDriverStatus;
    }

    // The slots that hold a drive after the simulated swap, by what the events did last to
    // each (insert or replace: a drive; pull: none). Runs while the links are cut: a slot the
    // switch does not have is left out rather than refused.
    static void FollowEvents(std::vector<SettleSlot>& slots, const std::vector<SwapEvent>& events,
                             const std::vector<BridgeApInfo>& bridges) {
        std::map<std::pair<unsigned, unsigned>, bool> holds;
        for (const SwapEvent& event : events) {
            const SimAction& a = event.action;
            if (a.kind == SimAction::Kind::Pull) {
                holds[{a.switchIndex, a.slot}] = false;
            } else if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
                holds[{a.switchIndex, a.slot}] = true;
            }
        }
        for (const auto& [where, drive] : holds) {
            SettleSlot slot;
            try {
                slot = SlotOf(bridges, where.first, where.second);
            } catch (const UsageError&) {
                continue;
            }
            if (drive) {
                AddSlot(slots, slot);
            } else {
                slots.erase(std::remove_if(slots.begin(), slots.end(),
                                           [&](const SettleSlot& s) {
                                               return s.record == slot.record &&
                                                      s.slot == slot.slot;
                                           }),
                            slots.end());
            }
        }
    }

    int Hotswap(const Command& c) {
        Json steps = Json::array();
        // The step names are padded to the longest one, so that the lines written before the
        // pause on Windows line up with those written after it.
        std::vector<std::vector<std::string>> lines;
        auto line = [&lines](const std::string& what, const std::string& text) {
            const std::string longest = "rescan and restore";
            lines.push_back(
                {what + std::string(longest.size() - std::min(longest.size(), what.size()), ' '),
                 text});
        };
        uint32_t status = CORVAX_STATUS_SUCCESS;
        auto record = [&](const char* what, uint32_t code, const Reply& r) {
            Json s;
            s["request"] = ControlCodeName(code);
            s["status"] = JsonHex(r.status, 8);
            s["information"] = r.information;
            steps.push_back(s);
            if (what) {
                line(what, StatusText(r.status));
            }
            if (IsErrorStatus(r.status) && status == CORVAX_STATUS_SUCCESS) {
                status = r.status;
            }
        };
        auto step = [&](const char* what, uint32_t code, uint32_t outLength) {
            Reply r = Send(code, {}, outLength);
            record(what, code, r);
            return r;
        };

        Reply query;
        const std::vector<BridgeApInfo> bridges = Bridges(&query);
        record(nullptr, PLX_QUERY_PCI, query);
        const std::vector<SlotBridge> behind =
            GuardSlotBridges(bridges, ConfigRead(), c.force, err_);
        GuardSystemDisks(c.force, &bridges, behind);
        std::vector<SettleSlot> expected = ExpectedSlots(bridges, c);
        for (const SlotBridge& b : behind) {
            AddSlot(expected, SlotOf(bridges, b.record, b.slot));  // its upstream port answers
        }
        // Every event names a switch the driver has before a link is cut.
        for (const SwapEvent& event : c.events) {
            OnMachine(event.action);
        }

        const Reply before = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);
        const std::vector<PciTableEntry> unrestorable =
            WarnUnrestorable(IsErrorStatus(before.status) ? std::vector<PciTableEntry>()
                                                          : DecodeTable(before.output));
        step("disable", CORVAX_DISABLE_BRIDGE, 0);
        // From here on to the enable nothing may end the command: the links are cut.
        std::optional<std::string> refused;
        if (simulated_) {
            std::vector<SwapEvent> done;
            for (size_t i = 0; i < c.events.size(); ++i) {
                Json s;
                s["event"] = c.events[i].text;
                try {
                    Simulate(c.events[i].action);
                } catch (const UsageError& e) {
                    refused = "hotswap event '" + c.events[i].text + "' refused: " + e.what() +
                              "; the links were brought back and the later events not done";
                    s["refused"] = e.what();
                    steps.push_back(s);
                    line("swap", c.events[i].text + ": refused: " + e.what());
                    break;
                }
                steps.push_back(s);
                line("swap", c.events[i].text);
                done.push_back(c.events[i]);
            }
            FollowEvents(expected, done, bridges);
        } else {
            if (!o_.json) {
                out_ << Columns(lines, "");
                lines.clear();
                out_.flush();
            }
            err_ << "The links are down: swap the drives, then press Enter. " << std::flush;
            std::string answer;
            std::getline(in_, answer);
        }
        const Reply enabled = step("enable", CORVAX_ENABLE_BRIDGE, 0);
        std::optional<std::vector<LinkDown>> down = std::vector<LinkDown>();
        if (enabled.status == CORVAX_STATUS_FAIL_CHECK) {
            down = LinksDown(bridges);
            SayLinksDown(down);
        }
        if (!simulated_ && !o_.json) {
            // What was written so far shows while the drives are waited for.
            out_ << Columns(lines, "");
            lines.clear();
            out_.flush();
        }
        const SettleResult waited = WaitForDrives(expected, c.settle);
        for (const std::string& text : SlotBridgesDown(behind, ConfigRead())) {
            err_ << "corvaxctl: " << text << "\n" << std::flush;
        }
        Json w;
        w["wait"] = SettleSummary(waited);
        steps.push_back(w);
        line("wait", SettleSummary(waited));
        step("rescan and restore", CORVAX_RESCAN_RESTORE, 0);
        const Reply settled = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);
        step("rescan", CORVAX_RESCAN, 0);
        const Reply after = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);

        const std::vector<DriveChange> changes = CompareTables(
            DecodeTable(before.output), DecodeTable(settled.output), DecodeTable(after.output));
        // The MSI-X table of each restored drive, as its header showed it when it answered.
        std::vector<std::optional<unsigned>> msix(changes.size());
        std::vector<std::string> msixLines;
        for (size_t i = 0; i < changes.size(); ++i) {
            const DriveChange& change = changes[i];
            if (change.change != Change::Restored && change.change != Change::ReplacedRestored) {
                continue;
            }
            for (const SettleSlot& s : waited.slots) {
                if (s.answered && s.pfa == change.entry.pciLocation) {
                    msix[i] = s.msixVectors;
                }
            }
            // The driver saves 16 entries and writes them back where the drive now answering
            // keeps its table at the same place; for the same drive that is certain, for a
            // replacement of another model it depends on a layout the client never saw.
            if (msix[i] && *msix[i] > kMsixSavedEntries) {
                const bool sameDrive = change.change == Change::Restored;
                msixLines.push_back(
                    FormatPfa(change.entry.pciLocation) + " (slot " + EntryPlace(change.entry) +
                    "): MSI-X: " + (sameDrive ? "" : "at most ") +
                    std::to_string(kMsixSavedEntries) + " of " + std::to_string(*msix[i]) +
                    " vectors restored; the rest come back when the drive's "
                    "device is restarted");
            }
        }
        if (o_.json) {
            Json j;
            j["command"] = "hotswap";
            j["status"] = JsonHex(status, 8);
            j["information"] = after.information;
            j["output"] = LowerHex(after.output);
            j["steps"] = steps;
            j["unrestorable"] = EntriesJson(unrestorable);
            j["links_down"] = LinksDownJson(down);
            j["wait"] = SettleJson(waited, c.settle);
            Json drives = Json::array();
            for (size_t i = 0; i < changes.size(); ++i) {
                Json d = EntryJson(changes[i].entry);
                d["change"] = changes[i].change == Change::None
                                  ? Json(nullptr)
                                  : Json(ChangeName(changes[i].change));
                if (msix[i]) {
                    Json m;
                    m["vectors"] = *msix[i];
                    m["restored_at_most"] = std::min(*msix[i], kMsixSavedEntries);
                    d["msix"] = m;
                } else {
                    d["msix"] = nullptr;
                }
                drives.push_back(d);
            }
            j["drives"] = drives;
            Emit(j);
        } else {
            out_ << Columns(lines, "") << "\n";
            PrintTable(changes, true);
            for (const std::string& text : msixLines) {
                out_ << text << "\n";
            }
        }
        if (refused) {
            throw UsageError(*refused);
        }
        const int exit = ExitFor(status);
        return waited.AllAnswered() ? exit : std::max(exit, kExitDriverStatus);
    }

    int Ioctl(const Command& c) {
        const Reply r = Send(c.code, c.input, c.outputLength);
        const std::string name = ControlCodeName(c.code);
        if (o_.json) {
            Json j = Base("ioctl", r);
            j["code"] = JsonHex(c.code, 8);
            j["name"] = name.empty() ? Json(nullptr) : Json(name);
            j["method"] = MethodName(c.code);
            j["input"] = LowerHex(c.input);
            j["output_length"] = c.outputLength;
            Emit(j);
        } else {
            std::vector<std::vector<std::string>> rows;
            rows.push_back({"request", Hex32(c.code) + " " + (name.empty() ? "(unknown)" : name) +
                                           " " + MethodName(c.code)});
            rows.push_back({"input", std::to_string(c.input.size()) + " bytes"});
            rows.push_back({"status", StatusText(r.status)});
            rows.push_back({"information", std::to_string(r.information)});
            rows.push_back({"output", std::to_string(c.outputLength) +
                                          " bytes, filled with cc before the call"});
            out_ << Columns(rows, "");
            for (const std::string& line : HexDump(r.output)) {
                out_ << line << "\n";
            }
        }
        return ExitFor(r.status);
    }

    int Sim(const Command& c) {
        const SimAction& a = c.sim;
        const uint32_t value = Simulate(a);
        const bool reads = a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::ReadMem;
        const bool writes = a.kind == SimAction::Kind::Write || a.kind == SimAction::Kind::WriteMem;
        if (o_.json) {
            Json j;
            j["command"] = c.name;
            j["status"] = JsonHex(CORVAX_STATUS_SUCCESS, 8);
            j["information"] = 0;
            j["output"] = "";
            if (a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::Write) {
                j["pfa"] = JsonHex(a.pfa, 4);
                j["bdf"] = FormatPfa(a.pfa);
                j["offset"] = JsonHex(a.offset, 4);
            } else if (reads || writes) {
                j["address"] = JsonHex(a.address, 16);
            } else if (a.kind == SimAction::Kind::Wait) {
                j["ms"] = a.ms;
            } else if (a.kind == SimAction::Kind::Rebalance) {
                if (a.bySlot) {
                    j["switch"] = a.switchIndex;
                    j["slot"] = a.slot;
                } else {
                    j["pfa"] = JsonHex(a.pfa, 4);
                    j["bdf"] = FormatPfa(a.pfa);
                }
                j["address"] = JsonHex(a.address, 16);
            } else {
                j["switch"] = a.switchIndex;
                j["slot"] = a.slot;
                if (a.kind == SimAction::Kind::Stuck) {
                    j["stuck"] = a.on;
                } else if (a.kind != SimAction::Kind::Pull) {
                    j["id"] = IdText(a.id);
                }
            }
            if (reads || writes) {
                j["value"] = JsonHex(reads ? value : a.value, 8);
            }
            Emit(j);
            return kExitOk;
        }
        std::string what;
        if (a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::Write) {
            what = FormatPfa(a.pfa) + " offset " + Hex16(a.offset).replace(2, 1, "");
        } else if (reads || writes) {
            what = ShortHex(a.address);
        } else if (a.kind == SimAction::Kind::Wait) {
            what = std::to_string(a.ms) + " ms";
        } else if (a.kind == SimAction::Kind::Rebalance) {
            what = (a.bySlot ? "switch " + std::to_string(a.switchIndex) + " slot " +
                                   std::to_string(a.slot)
                             : FormatPfa(a.pfa)) +
                   " to " + ShortHex(a.address);
        } else {
            what = "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot);
        }
        if (reads) {
            out_ << c.name << " " << what << ": " << Hex32(value) << "\n";
        } else if (writes) {
            out_ << c.name << " " << what << " := " << Hex32(a.value) << "\n";
        } else {
            out_ << c.name << " " << what;
            if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
                out_ << " " << IdText(a.id);
            } else if (a.kind == SimAction::Kind::Stuck) {
                out_ << (a.on ? " on" : " off");
            }
            out_ << ": done\n";
        }
        return kExitOk;
    }

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
};

std::string OneLine(std::string text) {
    for (char& ch : text) {
        if (ch == '\n' || ch == '\r') {
            ch = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Whether --json is among the options before the command, so that even a command line that
// does not parse is answered in JSON.
bool JsonWanted(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            return true;
        }
        if (args[i] == "--fabric") {
            ++i;
        } else if (args[i].empty() || args[i][0] != '-') {
            return false;
        }
    }
    return false;
}

// Reports a failure that ends the run: one line on standard error and, with --json, an error
// object on standard output. Exit code 2.
int Fail(std::ostream& out, std::ostream& err, bool json, const std::string& message,
         const std::string& hint = "", std::optional<int> line = std::nullopt) {
    const std::string text = OneLine(message);
    err << "corvaxctl: " << text << hint << "\n";
    if (json) {
        Json j;
        j["event"] = "error";
        j["message"] = text;
        j["exit_code"] = kExitUsage;
        if (line) {
            j["line"] = *line;
        }
        out << j.dump() << "\n";
    }
    out.flush();
    err.flush();
    return kExitUsage;
}

// One checked line of a script.
struct ScriptLine {
    int number = 0;
    std::vector<std::string> words;
    Command command;
};

// Reads a whole script and checks every line before any of them runs. LineError names the
// first bad line; UsageError when the script cannot be read.
std::vector<ScriptLine> ReadScript(const std::string& file, std::istream& in, bool simulated) {
    std::string text;
    if (file == "-") {
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    } else {
        text = ReadNamedFile(file, "script");
    }
    const std::string where = file == "-" ? "stdin" : file;
    std::vector<ScriptLine> lines;
    std::istringstream stream(text);
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ScriptLine s;
        s.number = number;
        s.words = ScriptWords(line);
        if (s.words.empty()) {
            continue;
        }
        try {
            s.command = ParseScriptLine(s.words, simulated);
        } catch (const CLI::ParseError& e) {
            throw LineError(where, number, OneLine(e.what()));
        } catch (const UsageError& e) {
            throw LineError(where, number, e.what());
        }
        if (!simulated && file == "-" && s.command.name == "hotswap") {
            throw LineError(where, number,
                            "hotswap waits for Enter on standard input, which holds this script; "
                            "give the script as a file");
        }
        lines.push_back(std::move(s));
    }
    return lines;
}

// Runs the checked lines in order. A line the driver answers with an error status, or that the
// machine refuses when it runs (a slot the switch lacks, a drive to pull that is not there, the
// Windows disks guard), is reported and the script goes on: the lines after it (an enable, a
// restore) are what bring the machine back.
int RunScript(Session& session, const std::vector<ScriptLine>& lines, const std::string& file,
              std::ostream& out, std::ostream& err, bool json) {
    const std::string where = file == "-" ? "stdin" : file;
    int result = kExitOk;
    for (const ScriptLine& line : lines) {
        if (!json) {
            out << "> " << Join(line.words, " ") << "\n";
        }
        try {
            result = std::max(result, session.Execute(line.command));
        } catch (const UsageError& e) {
            const LineError named(where, line.number, e.what());
            result = std::max(result, Fail(out, err, json, named.what(), "", named.Line()));
        }
    }
    return result;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err, const Environment& environment) {
    const bool simulated = environment.simulated.value_or(Transport::Simulated());
    const bool json = JsonWanted(args);
    CLI::App app(simulated ? "corvaxctl: the Corvax driver on a simulated machine (host build)"
                           : "corvaxctl: the user-mode client of the Corvax driver",
                 "corvaxctl");
    GlobalOptions options;
    Command command;
    AddGlobalOptions(app, options, simulated);
    app.fallthrough();
    AddCommands(app, command, true, simulated);
    const std::string hint = " (see corvaxctl --help)";
    std::vector<ScriptLine> script;
    try {
        ParseWords(app, args, simulated);
        command.name = ParsedCommandName(app);
        CheckOperands(command, simulated);
        if (command.name == "script") {
            script = ReadScript(command.first, in, simulated);
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        return Fail(out, err, json, e.what(), hint);
    } catch (const CommandLineError& e) {
        return Fail(out, err, json, e.what(), hint);
    } catch (const LineError& e) {
        return Fail(out, err, json, e.what(), "", e.Line());
    } catch (const UsageError& e) {
        return Fail(out, err, json, e.what());
    }
    if (!simulated && command.name == "system-disks") {
        // Windows answers this itself; the driver need not be there.
        std::unique_ptr<SystemDiskLocator> own;
        SystemDiskLocator* locator = environment.locator;
        if (locator == nullptr) {
            own = MakeSystemDiskLocator(nullptr);
            locator = own.get();
        }
        const std::vector<SystemDisk> disks = locator->Locate();
        if (options.json) {
            out << SystemDisksJson(disks).dump() << "\n";
        } else {
            PrintSystemDisks(disks, out);
        }
        return kExitOk;
    }
    try {
        Transport transport(TransportOptions{options.fabric});
        Session session(transport, options, in, out, err, environment, simulated);
        session.ReportLoad();
        if (command.name == "script") {
            return RunScript(session, script, command.first, out, err, options.json);
        }
        return session.Execute(command);
    } catch (const LineError& e) {
        return Fail(out, err, json, e.what(), "", e.Line());
    } catch (const UsageError& e) {
        return Fail(out, err, json, e.what());
    }
}

}  // namespace corvaxctl
