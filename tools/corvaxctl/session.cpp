// corvaxctl: runs commands against one driver instance and prints what came back, as tables for
// a person or as one JSON object per command.
#include <algorithm>
#include <cstring>
#include <fstream>
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
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {
namespace {

using Json = nlohmann::ordered_json;

std::string StatusText(uint32_t status) {
    const std::string name = StatusName(status);
    return name.empty() ? Hex32(status) : name + " (" + Hex32(status) + ")";
}

std::string Hex64(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
    return text;
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

Json EntryJson(const PciTableEntry& e) {
    Json j;
    j["pfa"] = Hex16(e.pciLocation);
    j["bdf"] = FormatPfa(e.pciLocation);
    j["id"] = IdText(e.pciID);
    j["vendor"] = Hex16(e.pciID & 0xFFFF);
    j["device"] = Hex16(e.pciID >> 16);
    j["switch"] = e.bdgIndex;
    j["switch_id"] = Hex32(e.bdgPciId);
    j["port"] = e.bdgDevId;
    j["fg_status"] = Hex32(e.fgStatus);
    j["flags"] = EntryFlagWords(e.fgStatus);
    return j;
}

std::vector<std::string> EntryRow(size_t index, const PciTableEntry& e) {
    const bool onboard = e.bdgIndex == 0 && e.bdgPciId == 0;
    return {std::to_string(index),
            FormatPfa(e.pciLocation),
            IdText(e.pciID),
            onboard ? "on-board" : std::to_string(e.bdgIndex) + " " + SwitchModelName(e.bdgPciId),
            onboard ? "-" : std::to_string(e.bdgDevId),
            e.fgStatus ? Join(EntryFlagWords(e.fgStatus), ",") : "-"};
}

unsigned PayloadBytes(uint8_t bdgMps) {
    return 128u << ((bdgMps >> 5) & 7);
}

uint64_t SlotBar(const SlotImage& s) {
    return static_cast<uint64_t>(s.barAddrHigh) << 32 | s.barAddrLow;
}

Json SlotJson(unsigned index, const SlotImage& s) {
    Json j;
    j["slot"] = index;
    j["fg_status"] = Hex16(s.fgStatus).replace(2, 2, "");  // "0x80"
    j["present"] = (s.fgStatus & CORVAX_SLOT_PRESENT) != 0;
    j["port"] = s.bdgDeviceId;
    j["mps"] = PayloadBytes(s.bdgMps);
    j["pfa"] = Hex16(s.pciPFA);
    j["bdf"] = FormatPfa(s.pciPFA);
    j["id"] = IdText(static_cast<uint32_t>(s.deviceId) << 16 | s.vendorId);
    j["bar"] = Hex64(SlotBar(s));
    return j;
}

std::string SlotCell(const SlotImage& s) {
    if (s.fgStatus & CORVAX_SLOT_PRESENT) {
        return FormatPfa(s.pciPFA) + " " +
               IdText(static_cast<uint32_t>(s.deviceId) << 16 | s.vendorId) +
               " mps=" + std::to_string(PayloadBytes(s.bdgMps)) + " bar=" + ShortHex(SlotBar(s));
    }
    return s.pciPFA ? FormatPfa(s.pciPFA) + " empty" : "-";
}

unsigned ParseSwitchIndex(const std::string& text, unsigned& slot) {
    const size_t colon = text.find(':');
    std::optional<uint64_t> sw, sl;
    if (colon != std::string::npos) {
        sw = ParseCount(text.substr(0, colon), 2);
        sl = ParseCount(text.substr(colon + 1), 11);
    }
    if (!sw || !sl) {
        throw UsageError("bad SWITCH:SLOT '" + text +
                         "': give the switch's position in the description (0-2) and the slot "
                         "index (0-11), e.g. 0:3");
    }
    slot = static_cast<unsigned>(*sl);
    return static_cast<unsigned>(*sw);
}

uint32_t ParseOffset(const std::string& text) {
    const std::optional<uint64_t> v = ParseHex(text, 0xFFC);
    if (!v || (*v & 3)) {
        throw UsageError("bad OFFSET '" + text +
                         "': a hexadecimal configuration offset, a multiple of 4 below 0x1000");
    }
    return static_cast<uint32_t>(*v);
}

uint32_t ParseValue(const std::string& text) {
    const std::optional<uint64_t> v = ParseHex(text, 0xFFFFFFFFu);
    if (!v) {
        throw UsageError("bad VALUE '" + text + "': a hexadecimal dword, e.g. 0x00000006");
    }
    return static_cast<uint32_t>(*v);
}

uint64_t ParseAddress(const std::string& text) {
    const std::optional<uint64_t> v = ParseHex(text, ~0ull);
    if (!v || (*v & 3)) {
        throw UsageError("bad ADDRESS '" + text +
                         "': a hexadecimal physical address, a multiple of 4");
    }
    return *v;
}

bool ParseOnOff(const std::string& text) {
    if (text == "on") {
        return true;
    }
    if (text == "off") {
        return false;
    }
    throw UsageError("bad STATE '" + text + "': on or off");
}

uint32_t ParseLedType(const std::string& text) {
    if (text == "on") {
        return 1;
    }
    if (text == "blink") {
        return 2;
    }
    if (text == "off") {
        return 3;
    }
    const std::optional<uint64_t> v = ParseCount(text, 3);
    if (!v) {
        throw UsageError("bad LED TYPE '" + text + "': 0-3, or on, blink, off");
    }
    return static_cast<uint32_t>(*v);
}

// The events of a hotswap: a verb and its operands, one after the other.
std::vector<std::pair<SimAction, std::string>> ParseEvents(const std::vector<std::string>& words) {
    std::vector<std::pair<SimAction, std::string>> events;
    for (size_t i = 0; i < words.size();) {
        const std::string& verb = words[i];
        SimAction a;
        size_t operands;
        if (verb == "pull") {
            a.kind = SimAction::Kind::Pull;
            operands = 1;
        } else if (verb == "insert" || verb == "replace") {
            a.kind = verb == "insert" ? SimAction::Kind::Insert : SimAction::Kind::Replace;
            operands = 2;
        } else if (verb == "stuck") {
            a.kind = SimAction::Kind::Stuck;
            operands = 2;
        } else {
            throw UsageError("bad hotswap event '" + verb +
                             "': pull S:P, insert S:P V:D, replace S:P V:D or stuck S:P on|off");
        }
        if (i + operands >= words.size()) {
            throw UsageError("hotswap event '" + verb + "' needs " + std::to_string(operands) +
                             " operand" + (operands > 1 ? "s" : ""));
        }
        a.switchIndex = ParseSwitchIndex(words[i + 1], a.slot);
        if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
            a.id = ParseVendorDevice(words[i + 2]);
        } else if (a.kind == SimAction::Kind::Stuck) {
            a.on = ParseOnOff(words[i + 2]);
        }
        std::string text = verb;
        for (size_t k = 1; k <= operands; ++k) {
            text += " " + words[i + k];
        }
        events.emplace_back(a, text);
        i += operands + 1;
    }
    return events;
}

// A duration in milliseconds given on the command line.
uint64_t ParseMs(const std::optional<std::string>& text, uint64_t fallback, const char* option) {
    if (!text) {
        return fallback;
    }
    const std::optional<uint64_t> v = ParseCount(*text, 3600000);
    if (!v) {
        throw UsageError(std::string("bad ") + option + " '" + *text +
                         "': milliseconds, from 0 to 3600000");
    }
    return *v;
}

SettleOptions SettleOptionsOf(const Command& c) {
    SettleOptions o;
    o.settleMs = ParseMs(c.settleMs, o.settleMs, "--settle");
    o.trainMs = ParseMs(c.trainMs, o.trainMs, "--train-ms");
    return o;
}

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
        e["record"] = s.record;
        e["slot"] = s.slot;
        e["pfa"] = Hex16(s.pfa);
        e["bdf"] = FormatPfa(s.pfa);
        e["answered"] = s.answered;
        e["answer_us"] = s.answered ? Json(s.answerUs) : Json(nullptr);
        e["id"] = s.answered ? Json(IdText(s.id)) : Json(nullptr);
        slots.push_back(e);
    }
    j["slots"] = slots;
    return j;
}

// The disks the locator found, for `system-disks`.
Json SystemDisksJson(const std::vector<SystemDisk>& disks) {
    Json j;
    j["command"] = "system-disks";
    j["status"] = Hex32(CORVAX_STATUS_SUCCESS);
    j["information"] = 0;
    j["output"] = "";
    Json list = Json::array();
    for (const SystemDisk& d : disks) {
        Json e;
        e["what"] = d.what;
        e["pfa"] = d.pfa ? Json(Hex16(*d.pfa)) : Json(nullptr);
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

class Session {
  public:
    Session(Transport& transport, const GlobalOptions& options, std::istream& in, std::ostream& out,
            std::ostream& err, const Environment& environment)
        : t_(transport), o_(options), in_(in), out_(out), err_(err), env_(environment) {
        if (const auto c = t_.Counters()) {
            mark_ = *c;
        }
    }

    // The load, as the first JSON object; false when the driver did not load.
    bool ReportLoad() {
        const std::optional<MachineInfo> machine = t_.Machine();
        if (!machine) {
            return true;
        }
        // The load's log and counters run from the boot.
        log_.clear();
        mark_ = MachineCounters();
        DrainLog();
        if (o_.json) {
            Json j;
            j["event"] = "load";
            j["status"] = Hex32(machine->loadStatus);
            j["fabric"] = machine->name;
            j["source"] = machine->source;
            Json switches = Json::array();
            for (uint32_t id : machine->switches) {
                switches.push_back(SwitchModelName(id));
            }
            j["switches"] = switches;
            j["onboard"] = machine->onboard;
            Emit(j);
        }
        if (IsErrorStatus(machine->loadStatus) || !t_.Ready()) {
            err_ << "corvaxctl: the driver did not load: " << StatusText(machine->loadStatus)
                 << "\n";
            return false;
        }
        return true;
    }

    // Runs one command; UsageError for bad operands.
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
            return OnBridge(ParsePfa(c.first));
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
            return Config(ParsePfa(c.first));
        }
        if (n == "update") {
            return Action(n, CORVAX_UPDATE, {});
        }
        if (n == "rescan") {
            return Action(n, CORVAX_RESCAN, {});
        }
        if (n == "restore") {
            return Action(n, CORVAX_RESCAN_RESTORE, {});
        }
        if (n == "disable") {
            GuardSystemDisks(c.force);
            return Action(n, CORVAX_DISABLE_BRIDGE, {});
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
            return Action(n, CORVAX_ENABLE_BRIDGE, {});
        }
        if (n == "led") {
            return Led(ParsePfa(c.first), ParseLedType(c.second));
        }
        if (n == "led-all") {
            return Action(n, CORVAX_SET_LED_ALL, {});
        }
        if (n == "clear-cpm") {
            return Action(n, CORVAX_CLR_CPM, {});
        }
        if (n == "set-ids") {
            return SetIds(c.list);
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
        for (std::string& line : t_.TakeLog()) {
            if (!o_.log) {
                continue;
            }
            if (o_.json) {
                log_.push_back(std::move(line));
            } else {
                err_ << line << "\n";
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
            s["clock_us"] = now->clockUs;
        }
        return s;
    }

    Json Base(const std::string& command, const Reply& r) {
        Json j;
        j["command"] = command;
        j["status"] = Hex32(r.status);
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

    int Version() {
        const Reply r = Send(CORVAX_GET_VERSION, {}, 4);
        Json j = Base("version", r);
        if (IsErrorStatus(r.status)) {
            return Failed("version", j, r);
        }
        const uint32_t v = Dword(r.output);
        if (o_.json) {
            j["version"] = VersionText(v);
            j["version_value"] = Hex32(v);
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
            j["switch_id"] = Hex32(id);
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
            j["pfa"] = Hex16(pfa);
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
        rows.push_back({"#", "PFA", "ID", "switch", "port", "flags"});
        if (withChange) {
            rows.back().push_back("change");
        }
        for (size_t i = 0; i < drives.size(); ++i) {
            rows.push_back(EntryRow(i, drives[i].entry));
            if (drives[i].change == Change::Lost) {
                rows.back()[0] = "-";
                rows.back()[5] = "-";
            }
            if (withChange) {
                rows.back().push_back(
                    drives[i].change == Change::None ? "-" : ChangeName(drives[i].change));
            }
        }
        out_ << Columns(rows, "");
    }

    int Table() {
        const Reply r = Send(CORVAX_GET_TABLE, {}, CORVAX_TABLE_SIZE);
        Json j = Base("table", r);
        if (IsErrorStatus(r.status)) {
            return Failed("table", j, r);
        }
        const std::vector<PciTableEntry> entries = DecodeTable(r.output);
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
                rec["record"] = i;
                rec["switch_id"] = Hex32(b.pciID);
                rec["model"] = SwitchModelName(b.pciID);
                rec["pfa"] = Hex16(b.bdgPFA);
                rec["bdf"] = FormatPfa(b.bdgPFA);
                rec["original_map"] = Hex32(b.OriginalMap);
                rec["current_map"] = Hex32(b.CurrentMap);
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
            head << "record " << i << ": " << SwitchModelName(b.pciID) << " (" << IdText(b.pciID)
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
        const Reply r = Send(CORVAX_GET_BITMAP, {}, CORVAX_BITMAP_SIZE);
        Json j = Base("bitmap", r);
        if (IsErrorStatus(r.status)) {
            return Failed("bitmap", j, r);
        }
        Json words = Json::array(), slots = Json::array();
        std::vector<std::vector<std::string>> rows;
        for (unsigned i = 0; i < 3; ++i) {
            const uint32_t word = Dword(r.output, 4 * i);
            const std::vector<unsigned> set = BitmapSlots(word);
            words.push_back(Hex32(word));
            slots.push_back(set);
            std::vector<std::string> names;
            for (unsigned s : set) {
                names.push_back(std::to_string(s));
            }
            rows.push_back({"record " + std::to_string(i) + ":", Hex32(word),
                            "slots answering: " + (names.empty() ? "none" : Join(names, " "))});
        }
        if (o_.json) {
            j["bitmaps"] = words;
            j["slots"] = slots;
            Emit(j);
        } else {
            out_ << Columns(rows, "");
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
        const bool recorded = s.vendor != 0 || s.device != 0;
        const char* kind = s.bar0Io ? "io" : s.bar064 ? "memory64" : "memory32";
        if (o_.json) {
            j["pfa"] = Hex16(pfa);
            j["bdf"] = FormatPfa(pfa);
            j["recorded"] = recorded;
            j["vendor"] = Hex16(s.vendor);
            j["device"] = Hex16(s.device);
            j["id"] = IdText(static_cast<uint32_t>(s.device) << 16 | s.vendor);
            char cls[16];
            std::snprintf(cls, sizeof(cls), "0x%06X", s.classCode);
            j["class"] = cls;
            j["revision"] = s.revision;
            j["header_type"] = s.headerType;
            j["bar0"] = Hex64(s.bar0);
            j["bar0_kind"] = kind;
            Emit(j);
            return kExitOk;
        }
        if (!recorded) {
            out_ << FormatPfa(pfa)
                 << ": the driver recorded no slot at this address (it answered with zeros)\n";
        } else if (s.vendor == 0xFFFF) {
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
        }
        for (const std::string& line : HexDump(r.output)) {
            out_ << line << "\n";
        }
        return kExitOk;
    }

    int Action(const std::string& command, uint32_t code, const Bytes& input) {
        const Reply r = Send(code, input, 0);
        if (o_.json) {
            Json j = Base(command, r);
            Emit(j);
        } else {
            out_ << command << ": " << StatusText(r.status);
            if (code == CORVAX_ENABLE_BRIDGE && r.status == CORVAX_STATUS_FAIL_CHECK) {
                out_ << ": a port's link did not come back in six passes";
            }
            out_ << "\n";
        }
        return ExitFor(r.status);
    }

    int Led(uint16_t pfa, uint32_t type) {
        const Reply r = Send(CORVAX_SET_LED, Dwords({pfa, type}), 0);
        if (o_.json) {
            Json j = Base("led", r);
            j["pfa"] = Hex16(pfa);
            j["bdf"] = FormatPfa(pfa);
            j["led_type"] = type;
            Emit(j);
        } else {
            out_ << "led " << FormatPfa(pfa) << " " << type << ": " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
    }

    int SetIds(const std::vector<std::string>& words) {
        if (words.size() > CORVAX_DEVICE_ID_LIST_ENTRIES - 1) {
            throw UsageError("set-ids takes at most 255 vendors (the list ends with a 0 entry)");
        }
        std::vector<uint32_t> ids;
        Bytes input;
        for (const std::string& w : words) {
            const std::optional<uint64_t> v = ParseHex(w, 0xFFFF);
            if (!v || *v == 0) {
                throw UsageError("bad VENDOR '" + w + "': a hexadecimal vendor ID from 1 to ffff");
            }
            ids.push_back(static_cast<uint32_t>(*v));
        }
        ids.push_back(0);  // the terminator: the list is exactly what was given
        for (uint32_t id : ids) {
            const Bytes b = Dwords({id});
            input.insert(input.end(), b.begin(), b.end());
        }
        const Reply r = Send(CORVAX_SET_DEVICE_ID_LIST, input, 0);
        if (o_.json) {
            Json j = Base("set-ids", r);
            Json vendors = Json::array();
            for (size_t i = 0; i + 1 < ids.size(); ++i) {
                vendors.push_back(Hex16(ids[i]));
            }
            j["vendors"] = vendors;
            Emit(j);
        } else {
            out_ << "set-ids (" << words.size() << " vendors): " << StatusText(r.status) << "\n";
        }
        return ExitFor(r.status);
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
        return DecodeBridges(r.output);
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
    void GuardSystemDisks(bool force, const std::vector<BridgeApInfo>* known = nullptr) {
        const std::vector<SystemDisk>& disks = SystemDiskList();
        const bool anyPlaced = std::any_of(disks.begin(), disks.end(),
                                           [](const SystemDisk& d) { return d.pfa.has_value(); });
        std::vector<BridgeApInfo> asked;
        if (anyPlaced && known == nullptr) {
            asked = Bridges();
            known = &asked;
        }
        const SystemDiskVerdict v =
            JudgeSystemDisks(disks, known != nullptr ? *known : std::vector<BridgeApInfo>());
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
        if (c.expect) {
            for (const auto& [record, slot] : ParseSlotList(*c.expect)) {
                AddSlot(slots, SlotOf(bridges, record, slot));
            }
        }
        return slots;
    }

    SettleResult WaitForDrives(std::vector<SettleSlot> slots, const SettleOptions& options) {
        const ConfigReader read = [this](uint16_t pfa) {
            return Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
        };
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
        const SettleOptions options = SettleOptionsOf(c);
        const std::vector<BridgeApInfo> bridges = Bridges();
        const SettleResult r = WaitForDrives(ExpectedSlots(bridges, c), options);
        if (o_.json) {
            Json j;
            j["command"] = "wait";
            j["status"] = Hex32(CORVAX_STATUS_SUCCESS);
            j["information"] = 0;
            j["output"] = "";
            j["wait"] = SettleJson(r, options);
            Emit(j);
        } else {
            out_ << "wait: " << SettleSummary(r) << "\n";
        }
        return r.AllAnswered() ? kExitOk : kExitDriverStatus;
    }

    // The slots that hold a drive after the simulated swap, by what the events did last to
    // each (insert or replace: a drive; pull: none), in the driver's numbering: the events
    // name the description's switches, the driver numbers its records.
    void FollowEvents(std::vector<SettleSlot>& slots,
                      const std::vector<std::pair<SimAction, std::string>>& events,
                      const std::vector<BridgeApInfo>& bridges) {
        const std::optional<MachineInfo> machine = t_.Machine();
        if (!machine) {
            return;
        }
        std::map<std::pair<unsigned, unsigned>, bool> holds;
        for (const auto& event : events) {
            const SimAction& a = event.first;
            if (a.kind == SimAction::Kind::Pull) {
                holds[{a.switchIndex, a.slot}] = false;
            } else if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
                holds[{a.switchIndex, a.slot}] = true;
            }
        }
        for (const auto& [where, drive] : holds) {
            for (unsigned r = 0; r < bridges.size(); ++r) {
                if (!BridgeInUse(bridges[r]) || where.first >= machine->upstream.size() ||
                    bridges[r].bdgPFA != machine->upstream[where.first]) {
                    continue;
                }
                const SettleSlot slot = SlotOf(bridges, r, where.second);
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
    }

    int Hotswap(const Command& c) {
        const auto events = ParseEvents(c.list);
        if (!events.empty() && !Transport::Simulated()) {
            throw UsageError(
                "hotswap events act on the simulated machine; on this host swap the "
                "drives by hand when asked");
        }
        const SettleOptions options = SettleOptionsOf(c);
        Json steps = Json::array();
        std::vector<std::vector<std::string>> lines;
        uint32_t status = CORVAX_STATUS_SUCCESS;
        auto record = [&](const char* what, uint32_t code, const Reply& r) {
            Json s;
            s["request"] = ControlCodeName(code);
            s["status"] = Hex32(r.status);
            s["information"] = r.information;
            steps.push_back(s);
            if (what) {
                lines.push_back({what, StatusText(r.status)});
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
        GuardSystemDisks(c.force, &bridges);
        std::vector<SettleSlot> expected = ExpectedSlots(bridges, c);

        const Reply before = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);
        step("disable", CORVAX_DISABLE_BRIDGE, 0);
        if (Transport::Simulated()) {
            for (const auto& event : events) {
                t_.Simulate(event.first);
                Json s;
                s["event"] = event.second;
                steps.push_back(s);
                lines.push_back({"swap", event.second});
            }
            FollowEvents(expected, events, bridges);
        } else {
            out_ << Columns(lines, "");
            lines.clear();
            out_.flush();
            err_ << "The links are down: swap the drives, then press Enter. " << std::flush;
            std::string answer;
            std::getline(in_, answer);
        }
        step("enable", CORVAX_ENABLE_BRIDGE, 0);
        if (!Transport::Simulated()) {
            // What was written so far shows while the drives are waited for.
            out_ << Columns(lines, "");
            lines.clear();
            out_.flush();
        }
        const SettleResult waited = WaitForDrives(expected, options);
        Json w;
        w["wait"] = SettleSummary(waited);
        steps.push_back(w);
        lines.push_back({"wait", SettleSummary(waited)});
        step("rescan and restore", CORVAX_RESCAN_RESTORE, 0);
        const Reply settled = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);
        step("rescan", CORVAX_RESCAN, 0);
        const Reply after = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);

        const std::vector<DriveChange> changes = CompareTables(
            DecodeTable(before.output), DecodeTable(settled.output), DecodeTable(after.output));
        if (o_.json) {
            Json j;
            j["command"] = "hotswap";
            j["status"] = Hex32(status);
            j["information"] = after.information;
            j["output"] = LowerHex(after.output);
            j["steps"] = steps;
            j["wait"] = SettleJson(waited, options);
            Json drives = Json::array();
            for (const DriveChange& change : changes) {
                Json d = EntryJson(change.entry);
                d["change"] =
                    change.change == Change::None ? Json(nullptr) : Json(ChangeName(change.change));
                drives.push_back(d);
            }
            j["drives"] = drives;
            Emit(j);
        } else {
            out_ << Columns(lines, "") << "\n";
            PrintTable(changes, true);
        }
        const int exit = ExitFor(status);
        return waited.AllAnswered() ? exit : std::max(exit, kExitDriverStatus);
    }

    int Ioctl(const Command& c) {
        const uint32_t code = ParseControlCode(c.first);
        const Bytes input = c.inHex ? ParseHexBytes(*c.inHex) : Bytes();
        uint32_t outLength = 0;
        if (c.outLength) {
            const std::optional<uint64_t> v = ParseCount(*c.outLength, 1u << 20);
            if (!v) {
                throw UsageError("bad --out-len '" + *c.outLength +
                                 "': a byte count from 0 to 1048576");
            }
            outLength = static_cast<uint32_t>(*v);
        }
        const Reply r = Send(code, input, outLength);
        const std::string name = ControlCodeName(code);
        if (o_.json) {
            Json j = Base("ioctl", r);
            j["code"] = Hex32(code);
            j["name"] = name.empty() ? Json(nullptr) : Json(name);
            j["method"] = MethodName(code);
            j["input"] = LowerHex(input);
            j["output_length"] = outLength;
            Emit(j);
        } else {
            std::vector<std::vector<std::string>> rows;
            rows.push_back({"request", Hex32(code) + " " + (name.empty() ? "(unknown)" : name) +
                                           " " + MethodName(code)});
            rows.push_back({"input", std::to_string(input.size()) + " bytes"});
            rows.push_back({"status", StatusText(r.status)});
            rows.push_back({"information", std::to_string(r.information)});
            rows.push_back(
                {"output", std::to_string(outLength) + " bytes, filled with cc before the call"});
            out_ << Columns(rows, "");
            for (const std::string& line : HexDump(r.output)) {
                out_ << line << "\n";
            }
        }
        return ExitFor(r.status);
    }

    int Sim(const Command& c) {
        SimAction a;
        const std::string verb = c.name.substr(4);
        std::string what;
        if (verb == "pull" || verb == "insert" || verb == "replace" || verb == "stuck") {
            std::vector<std::string> words = {verb, c.first};
            if (verb != "pull") {
                words.push_back(c.second);
            }
            a = ParseEvents(words).front().first;
            what = "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot);
        } else if (verb == "read" || verb == "write") {
            a.kind = verb == "read" ? SimAction::Kind::Read : SimAction::Kind::Write;
            a.pfa = ParsePfa(c.first);
            a.offset = ParseOffset(c.second);
            if (a.kind == SimAction::Kind::Write) {
                a.value = ParseValue(c.third);
            }
            what = FormatPfa(a.pfa) + " offset " + Hex16(a.offset).replace(2, 1, "");
        } else if (verb == "wait") {
            a.kind = SimAction::Kind::Wait;
            const std::optional<uint64_t> ms = ParseCount(c.first, 3600000);
            if (!ms) {
                throw UsageError("bad MS '" + c.first + "': milliseconds, from 0 to 3600000");
            }
            a.ms = *ms;
            what = std::to_string(a.ms) + " ms";
        } else if (verb == "readmem" || verb == "writemem") {
            a.kind = verb == "readmem" ? SimAction::Kind::ReadMem : SimAction::Kind::WriteMem;
            a.address = ParseAddress(c.first);
            if (a.kind == SimAction::Kind::WriteMem) {
                a.value = ParseValue(c.second);
            }
            what = ShortHex(a.address);
        }
        const uint32_t value = t_.Simulate(a);
        const bool reads = a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::ReadMem;
        const bool writes = a.kind == SimAction::Kind::Write || a.kind == SimAction::Kind::WriteMem;
        if (o_.json) {
            Json j;
            j["command"] = c.name;
            j["status"] = Hex32(CORVAX_STATUS_SUCCESS);
            j["information"] = 0;
            j["output"] = "";
            if (a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::Write) {
                j["pfa"] = Hex16(a.pfa);
                j["bdf"] = FormatPfa(a.pfa);
                j["offset"] = Hex16(a.offset);
            } else if (reads || writes) {
                j["address"] = Hex64(a.address);
            } else if (a.kind == SimAction::Kind::Wait) {
                j["ms"] = a.ms;
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
                j["value"] = Hex32(reads ? value : a.value);
            }
            Emit(j);
        } else if (reads) {
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
    std::vector<std::string> log_;
    MachineCounters mark_;
    std::optional<std::vector<SystemDisk>> disks_;
    std::unique_ptr<SystemDiskLocator> ownLocator_;
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

// Parses args (in order, without the program name) on app. A first word that names no command
// is reported as such rather than as CLI11's "subcommand required".
void Parse(CLI::App& app, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--fabric") {
            ++i;
            continue;
        }
        if (args[i].empty() || args[i][0] == '-') {
            continue;
        }
        bool known = false;
        for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
            known = known || sub->get_name() == args[i];
        }
        if (!known) {
            throw UsageError("unknown command '" + args[i] + "'");
        }
        break;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
}

int RunScript(Session& session, const std::string& file, std::istream& in, std::ostream& out,
              std::ostream& err, bool json) {
    std::ifstream stream;
    std::istream* lines = &in;
    if (file != "-") {
        stream.open(file);
        if (!stream) {
            err << "corvaxctl: cannot read script '" << file << "'\n";
            return kExitUsage;
        }
        lines = &stream;
    }
    int result = kExitOk;
    std::string line;
    for (int number = 1; std::getline(*lines, line); ++number) {
        const std::vector<std::string> words = ScriptWords(line);
        if (words.empty()) {
            continue;
        }
        CLI::App app("corvaxctl script line");
        Command command;
        AddCommands(app, command, false);
        const std::string where = "corvaxctl: " + (file == "-" ? "stdin" : file) + " line " +
                                  std::to_string(number) + ": ";
        try {
            Parse(app, words);
            command.name = ParsedCommandName(app);
            if (!json) {
                out << "> " << Join(words, " ") << "\n";
            }
            result = std::max(result, session.Execute(command));
        } catch (const CLI::ParseError& e) {
            err << where << OneLine(e.what()) << "\n";
            return kExitUsage;
        } catch (const UsageError& e) {
            err << where << OneLine(e.what()) << "\n";
            return kExitUsage;
        }
    }
    return result;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err, const Environment& environment) {
    CLI::App app(Transport::Simulated()
                     ? "corvaxctl: the Corvax driver on a simulated machine (host build)"
                     : "corvaxctl: the user-mode client of the Corvax driver",
                 "corvaxctl");
    GlobalOptions options;
    Command command;
    app.add_option("--fabric", options.fabric,
                   "JSON description of the simulated machine (default: the built-in one)");
    app.add_flag("--json", options.json, "one JSON object per line");
    app.add_flag("--log", options.log, "the driver's debug lines (stderr, or `log` in JSON)");
    app.add_flag("--stats", options.stats,
                 "what each command cost the hardware (stderr, or `stats` in JSON)");
    app.fallthrough();
    AddCommands(app, command, true);
    try {
        Parse(app, args);
        command.name = ParsedCommandName(app);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        err << "corvaxctl: " << OneLine(e.what()) << " (see corvaxctl --help)\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        err << "corvaxctl: " << OneLine(e.what()) << " (see corvaxctl --help)\n";
        return kExitUsage;
    }
    if (!Transport::Simulated() && command.name.rfind("sim ", 0) == 0) {
        err << "corvaxctl: '" << command.name
            << "' acts on the simulated machine; this build talks to the real device\n";
        return kExitUsage;
    }
    if (!Transport::Simulated() && (options.log || options.stats)) {
        err << "corvaxctl: --log and --stats need the simulated machine; on Windows the "
               "driver's lines go to the kernel's debug output, which Windows shows only when "
               "allowed: see \"Seeing the driver's lines\" in INSTALL.txt\n";
        return kExitUsage;
    }
    if (!Transport::Simulated() && command.name == "system-disks") {
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
        Session session(transport, options, in, out, err, environment);
        if (!session.ReportLoad()) {
            return kExitUsage;
        }
        if (command.name == "script") {
            return RunScript(session, command.first, in, out, err, options.json);
        }
        return session.Execute(command);
    } catch (const UsageError& e) {
        err << "corvaxctl: " << OneLine(e.what()) << "\n";
        return kExitUsage;
    }
}

}  // namespace corvaxctl
