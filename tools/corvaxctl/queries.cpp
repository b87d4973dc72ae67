// corvaxctl: the queries. What the driver knows and the hardware shows, asked without changing
// anything: its version, the drives and switches it registered, a drive's configuration header,
// the port bitmap, where Windows keeps its own disks, and any request sent raw.
#include <cstdio>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/pci_header.h"
#include "tools/corvaxctl/session.h"

namespace corvaxctl {
namespace {

int Version(Session& session, const Command&) {
    const Reply r = session.Send(CORVAX_GET_VERSION, {}, 4);
    Json j = Base("version", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("version", j, r);
    }
    const uint32_t v = Dword(r.output);
    if (session.JsonWanted()) {
        j["version"] = VersionText(v);
        j["version_value"] = JsonHex(v, 8);
        session.Emit(j);
    } else {
        session.Out() << "Corvax driver " << VersionText(v) << " (" << Hex32(v) << ")\n";
    }
    return kExitOk;
}

int Count(Session& session, const Command&) {
    const Reply r = session.Send(CORVAX_QUERY, {}, 4);
    Json j = Base("count", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("count", j, r);
    }
    const uint32_t n = Dword(r.output);
    if (session.JsonWanted()) {
        j["count"] = n;
        session.Emit(j);
    } else {
        session.Out() << n << (n == 1 ? " drive" : " drives") << "\n";
    }
    return kExitOk;
}

int Model(Session& session, const Command&) {
    const Reply r = session.Send(CORVAX_QUERY_8618, {}, 4);
    Json j = Base("model", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("model", j, r);
    }
    const uint32_t id = Dword(r.output);
    if (session.JsonWanted()) {
        j["switch_id"] = JsonHex(id, 8);
        j["model"] = id ? Json(SwitchModelName(id)) : Json(nullptr);
        session.Emit(j);
    } else if (id == 0) {
        session.Out() << "no switch\n";
    } else {
        session.Out() << SwitchModelName(id) << " (" << IdText(id) << ")\n";
    }
    return kExitOk;
}

int OnBridge(Session& session, const Command& c) {
    const uint16_t pfa = c.pfa;
    const Reply r = session.Send(CORVAX_ON_BRIDGE, Dwords({pfa}), 0);
    const bool found = r.status == CORVAX_STATUS_SUCCESS;
    if (session.JsonWanted()) {
        Json j = Base("on-bridge", r);
        j["pfa"] = JsonHex(pfa, 4);
        j["bdf"] = FormatPfa(pfa);
        j["on_bridge"] = found;
        session.Emit(j);
    } else if (found) {
        session.Out() << FormatPfa(pfa) << " is behind a switch\n";
    } else {
        session.Out() << FormatPfa(pfa) << " is not behind a switch: " << StatusText(r.status)
                      << "\n";
    }
    return Session::ExitFor(r.status);
}

int Table(Session& session, const Command&) {
    Reply r;
    const std::vector<PciTableEntry> entries = session.TableNow(&r);
    Json j = Base("table", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("table", j, r);
    }
    if (session.JsonWanted()) {
        Json drives = Json::array();
        for (const PciTableEntry& e : entries) {
            drives.push_back(EntryJson(e));
        }
        j["drives"] = drives;
        session.Emit(j);
    } else {
        std::vector<DriveChange> rows;
        for (const PciTableEntry& e : entries) {
            rows.push_back({e, Change::None});
        }
        session.Out() << TableText(rows, false);
    }
    return kExitOk;
}

int Switches(Session& session, const Command&) {
    const Reply r = session.Send(PLX_QUERY_PCI, {}, CORVAX_QUERY_PCI_SIZE);
    Json j = Base("switches", r);
    if (IsErrorStatus(r.status) || r.information < CORVAX_QUERY_PCI_SIZE) {
        return session.Failed("switches", j, r);
    }
    const std::vector<BridgeApInfo> bridges = DecodeBridges(r.output);
    session.Remember(bridges);
    Json records = Json::array();
    std::string text;
    for (size_t i = 0; i < bridges.size(); ++i) {
        const BridgeApInfo& b = bridges[i];
        if (!BridgeInUse(b)) {
            continue;
        }
        const unsigned slots = SwitchSlotCount(b.pciID);
        if (session.JsonWanted()) {
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
             << ", secondary bus " << b.SecondaryBus << ", original map " << Hex32(b.OriginalMap)
             << ", current map " << Hex32(b.CurrentMap) << "\n";
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"slot", "port", "original", "current"});
        for (unsigned s = 0; s < slots; ++s) {
            rows.push_back({std::to_string(s), std::to_string(b.OriginalSlot[s].bdgDeviceId),
                            SlotCell(b.OriginalSlot[s]), SlotCell(b.CurrentSlot[s])});
        }
        text += head.str() + Columns(rows, "  ");
    }
    if (session.JsonWanted()) {
        j["switches"] = records;
        session.Emit(j);
    } else {
        session.Out() << (text.empty() ? "no switch\n" : text);
    }
    return kExitOk;
}

int Bitmap(Session& session, const Command&) {
    // The records say which switches there are and which of them keep a bitmap.
    const std::vector<BridgeApInfo> bridges = session.Bridges();
    const Reply r = session.Send(CORVAX_GET_BITMAP, {}, CORVAX_BITMAP_SIZE);
    Json j = Base("bitmap", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("bitmap", j, r);
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
        rows.push_back(
            {head, Hex32(word), "slots answering: " + (names.empty() ? "none" : Join(names, " "))});
    }
    std::optional<std::string> nothing;
    if (!anySwitch) {
        nothing = "no switch is registered";
    } else if (!anyKept) {
        nothing =
            "the PEX 8748 keeps no port bitmap; `table` after `rescan` shows which "
            "drives answer";
    }
    if (session.JsonWanted()) {
        j["bitmaps"] = words;
        j["slots"] = slots;
        if (nothing) {
            j["did_nothing"] = *nothing;
        }
        session.Emit(j);
    } else {
        session.Out() << Columns(rows, "");
        if (nothing) {
            session.SayNothing("bitmap", "nothing read", *nothing);
        }
    }
    return kExitOk;
}

int Config(Session& session, const Command& c) {
    const uint16_t pfa = c.pfa;
    const Reply r = session.Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
    Json j = Base("config", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("config", j, r);
    }
    const ConfigSummary s = DecodeConfig(r.output);
    // Zeros: the driver reads only drives it recorded behind a switch.
    const bool recorded = s.vendor != 0 || s.device != 0;
    std::optional<std::string> nothing;
    if (!recorded) {
        nothing = FormatPfa(pfa) + " is no drive the driver recorded behind a switch";
        for (const PciTableEntry& e : session.TableNow()) {
            if (e.pciLocation == pfa && OnBoard(e)) {
                nothing = FormatPfa(pfa) +
                          " is an on-board drive: the driver reads the header only of "
                          "drives behind a switch";
            }
        }
    }
    const char* kind = s.bar0Io ? "io" : s.bar064 ? "memory64" : "memory32";
    if (session.JsonWanted()) {
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
        const Json decoded = HeaderJson(r.output);
        for (const auto& item : decoded.items()) {
            j[item.key()] = recorded ? item.value() : Json(nullptr);
        }
        if (nothing) {
            j["did_nothing"] = *nothing;
        }
        session.Emit(j);
        return kExitOk;
    }
    if (nothing) {
        session.SayNothing("config", "nothing read", *nothing);
        return kExitOk;
    }
    if (s.vendor == 0xFFFF) {
        session.Out() << FormatPfa(pfa) << ": nothing answers at this address (all ones)\n";
    } else {
        char text[64];
        std::snprintf(text, sizeof(text), " class %06x (rev %02x)", s.classCode, s.revision);
        session.Out() << FormatPfa(pfa) << " "
                      << IdText(static_cast<uint32_t>(s.device) << 16 | s.vendor) << text << "\n";
        for (const std::string& line : DescribeHeader(r.output)) {
            session.Out() << line << "\n";
        }
    }
    for (const std::string& line : HexDump(r.output)) {
        session.Out() << line << "\n";
    }
    return kExitOk;
}

int Ids(Session& session, const Command&) {
    // The driver answers no request with its list: what the client knows is the default the
    // driver starts with, or what set-ids gave in this run; the table's flags say, drive by
    // drive, what the driver accepts now.
    const bool set = session.AcceptedVendors().has_value();
    const std::vector<uint32_t> vendors = set ? *session.AcceptedVendors() : DefaultVendorList();
    Reply r;
    const std::vector<PciTableEntry> entries = session.TableNow(&r);
    Json j = Base("ids", r);
    if (IsErrorStatus(r.status)) {
        return session.Failed("ids", j, r);
    }
    std::vector<std::string> words;
    Json list = Json::array();
    for (uint32_t id : vendors) {
        words.push_back(JsonHex(id, 4).substr(2));
        list.push_back(JsonHex(id, 4));
    }
    if (session.JsonWanted()) {
        j["vendors"] = list;
        j["source"] = set ? "set-ids" : "default";
        Json drives = Json::array();
        for (const PciTableEntry& e : entries) {
            Json d = EntryJson(e);
            d["accepted"] = !(e.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR);
            drives.push_back(d);
        }
        j["drives"] = drives;
        session.Emit(j);
        return kExitOk;
    }
    session.Out() << "accepted vendors"
                  << (set ? " (as set-ids gave them in this run)"
                          : " (the driver's default list; a set-ids since the driver started "
                            "replaces it, and the driver cannot be asked for it)")
                  << ": " << Join(words, " ") << "\n";
    Rows rows;
    rows.push_back({"PFA", "ID", "switch", "slot", "accepted by the driver now"});
    for (const PciTableEntry& e : entries) {
        const std::vector<std::string> row = EntryRow(0, e);
        rows.push_back(
            {row[1], row[2], row[3], row[4],
             (e.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR) ? "no (unlisted-vendor)" : "yes"});
    }
    session.Out() << (entries.empty() ? "no drives\n" : Columns(rows, ""));
    return kExitOk;
}

int SystemDisks(Session& session, const Command&) {
    if (session.JsonWanted()) {
        Json j = SystemDisksJson(session.SystemDiskList());
        session.Emit(j);
    } else {
        PrintSystemDisks(session.SystemDiskList(), session.Out());
    }
    return kExitOk;
}

int Ioctl(Session& session, const Command& c) {
    const Reply r = session.Send(c.code, c.input, c.outputLength);
    const std::string name = ControlCodeName(c.code);
    if (session.JsonWanted()) {
        Json j = Base("ioctl", r);
        j["code"] = JsonHex(c.code, 8);
        j["name"] = name.empty() ? Json(nullptr) : Json(name);
        j["method"] = MethodName(c.code);
        j["input"] = LowerHex(c.input);
        j["output_length"] = c.outputLength;
        session.Emit(j);
    } else {
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"request", Hex32(c.code) + " " + (name.empty() ? "(unknown)" : name) + " " +
                                       MethodName(c.code)});
        rows.push_back({"input", std::to_string(c.input.size()) + " bytes"});
        rows.push_back({"status", StatusText(r.status)});
        rows.push_back({"information", std::to_string(r.information)});
        rows.push_back(
            {"output", std::to_string(c.outputLength) + " bytes, filled with cc before the call"});
        session.Out() << Columns(rows, "");
        for (const std::string& line : HexDump(r.output)) {
            session.Out() << line << "\n";
        }
    }
    return Session::ExitFor(r.status);
}

// ---- operands ----

void PfaOperand(CLI::App& command, Command& c, bool) {
    command.add_option("PFA", c.first, "bus:device.function or hexadecimal PFA")->required();
}

void CheckPfa(Command& c, bool) {
    c.pfa = ParsePfa(c.first);
}

void IoctlOptions(CLI::App& command, Command& c, bool) {
    command.add_option("CODE", c.first, "control code (hexadecimal) or its name")->required();
    command.add_option("--in", c.inHex, "input bytes in order, as hexadecimal");
    command.add_option("--out-len", c.outLength, "output buffer length in bytes (default 0)");
}

void CheckIoctl(Command& c, bool) {
    c.code = ParseControlCode(c.first);
    c.input = c.inHex ? ParseHexBytes(*c.inHex) : Bytes();
    if (c.outLength) {
        const std::optional<uint64_t> v = ParseCount(*c.outLength, 1u << 20);
        if (!v) {
            throw UsageError("bad --out-len '" + *c.outLength +
                             "': a byte count from 0 to 1048576");
        }
        c.outputLength = static_cast<uint32_t>(*v);
    }
}

}  // namespace

std::vector<CommandSpec> QueryCommands() {
    return {
        {"version", "driver version (CORVAX_GET_VERSION)", nullptr, false, nullptr, nullptr,
         Version},
        {"count", "number of drives (CORVAX_QUERY)", nullptr, false, nullptr, nullptr, Count},
        {"model", "switch model present (CORVAX_QUERY_8618)", nullptr, false, nullptr, nullptr,
         Model},
        {"on-bridge", "whether a function sits behind a switch (CORVAX_ON_BRIDGE)", nullptr, false,
         PfaOperand, CheckPfa, OnBridge},
        {"table", "drive table (CORVAX_GET_TABLE)", nullptr, false, nullptr, nullptr, Table},
        {"switches", "the three switch records, original and current slots (PLX_QUERY_PCI)",
         nullptr, false, nullptr, nullptr, Switches},
        {"bitmap", "slots answering at their recorded address, per switch (CORVAX_GET_BITMAP)",
         nullptr, false, nullptr, nullptr, Bitmap},
        {"config", "256-byte configuration header of a drive (CORVAX_READ_CONFIG)", nullptr, false,
         PfaOperand, CheckPfa, Config},
        {"ids",
         "the accepted vendor list as this client knows it, and which drives the driver accepts "
         "now (CORVAX_GET_TABLE)",
         nullptr, false, nullptr, nullptr, Ids},
        {"system-disks",
         "the PCI locations of the disks with the Windows directory and the page files", nullptr,
         false, nullptr, nullptr, SystemDisks},
        {"ioctl", "send any control request, as DeviceIoControl does", nullptr, false, IoctlOptions,
         CheckIoctl, Ioctl},
    };
}

}  // namespace corvaxctl
