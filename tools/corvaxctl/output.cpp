// corvaxctl: records as table rows and as JSON.
#include "tools/corvaxctl/output.h"

#include "tools/corvaxctl/pci_header.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvaxctl {

std::string StatusText(uint32_t status) {
    const std::string name = StatusName(status);
    return name.empty() ? Hex32(status) : name + " (" + Hex32(status) + ")";
}

std::string ShortHex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Millis(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string Join(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& w : words) {
        text += (text.empty() ? "" : separator) + w;
    }
    return text;
}

std::string Columns(const Rows& rows, const std::string& indent) {
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

Json Nullable(const std::optional<unsigned>& value) {
    return value ? Json(*value) : Json(nullptr);
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

uint32_t Dword(const Bytes& bytes, size_t offset) {
    uint32_t v = 0;
    if (bytes.size() >= offset + 4) {
        std::memcpy(&v, bytes.data() + offset, 4);
    }
    return v;
}

// ---- the drive table ----

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

Json EntriesJson(const std::vector<PciTableEntry>& entries) {
    Json list = Json::array();
    for (const PciTableEntry& e : entries) {
        list.push_back(EntryJson(e));
    }
    return list;
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

std::string TableText(const std::vector<DriveChange>& drives, bool withChange) {
    if (drives.empty()) {
        return "no drives\n";
    }
    Rows rows;
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
            rows.back().push_back(drives[i].change == Change::None ? "-"
                                                                   : ChangeName(drives[i].change));
        }
    }
    return Columns(rows, "");
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

// ---- a configuration header ----

namespace {

Json LinkJson(unsigned speed, unsigned width) {
    Json j;
    j["speed"] = SpeedText(speed);
    j["speed_code"] = speed;
    j["width"] = width;
    return j;
}

}  // namespace

Json HeaderJson(const Bytes& header) {
    Json j;
    Json bars = Json::array();
    for (const BarInfo& b : DecodeBars(header)) {
        Json bar;
        bar["bar"] = b.index;
        bar["kind"] = b.io ? "io" : b.is64 ? "memory64" : "memory32";
        bar["prefetchable"] = b.prefetchable;
        bar["address"] = JsonHex(b.address, 16);
        bars.push_back(bar);
    }
    j["bars"] = bars;
    if (const std::optional<PowerManagement> p = DecodePowerManagement(header)) {
        Json pm;
        pm["offset"] = JsonHex(p->offset, 2);
        pm["version"] = p->version;
        pm["state"] = p->state == 3 ? std::string("D3hot") : "D" + std::to_string(p->state);
        pm["no_soft_reset"] = p->noSoftReset;
        j["power_management"] = pm;
    } else {
        j["power_management"] = nullptr;
    }
    if (const std::optional<PciExpress> e = DecodePciExpress(header)) {
        Json x;
        x["offset"] = JsonHex(e->offset, 2);
        x["version"] = e->version;
        x["port_type"] = PortTypeName(e->portType);
        x["max_payload_supported"] = e->maxPayloadSupported;
        x["max_payload"] = e->maxPayload;
        x["max_read_request"] = e->maxReadRequest;
        x["relaxed_ordering"] = e->relaxedOrdering;
        x["no_snoop"] = e->noSnoop;
        Json errors;
        errors["correctable"] = e->errors.correctable;
        errors["non_fatal"] = e->errors.nonFatal;
        errors["fatal"] = e->errors.fatal;
        errors["unsupported_request"] = e->errors.unsupportedRequest;
        x["errors"] = errors;
        x["transactions_pending"] = e->transactionsPending;
        x["link_capabilities"] = LinkJson(e->maxSpeed, e->maxWidth);
        x["link_status"] = LinkJson(e->speed, e->width);
        x["link_disable"] = e->linkDisable;
        x["common_clock"] = e->commonClock;
        x["clock_pm"] = e->clockPowerManagement;
        x["link_training"] = e->linkTraining;
        x["link_active"] = e->linkActive;
        if (e->slotImplemented) {
            Json slot;
            slot["control"] = JsonHex(e->slotControl, 4);
            slot["status"] = JsonHex(e->slotStatus, 4);
            x["slot"] = slot;
        } else {
            x["slot"] = nullptr;
        }
        j["express"] = x;
    } else {
        j["express"] = nullptr;
    }
    if (const std::optional<Msix> m = DecodeMsix(header)) {
        Json x;
        x["offset"] = JsonHex(m->offset, 2);
        x["vectors"] = m->vectors;
        x["enabled"] = m->enabled;
        x["masked"] = m->functionMasked;
        x["table_bar"] = m->tableBar;
        x["table_offset"] = JsonHex(m->tableOffset, 8);
        x["pba_bar"] = m->pbaBar;
        x["pba_offset"] = JsonHex(m->pbaOffset, 8);
        j["msix"] = x;
    } else {
        j["msix"] = nullptr;
    }
    return j;
}

// ---- the wait ----

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
    Json j = Base("system-disks");
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

// ---- the command object ----

Json Base(const std::string& command, const Reply& r) {
    Json j;
    j["command"] = command;
    j["status"] = JsonHex(r.status, 8);
    j["information"] = r.information;
    j["output"] = LowerHex(r.output);
    return j;
}

Json Base(const std::string& command, uint32_t status) {
    Reply none;
    none.status = status;
    return Base(command, none);
}

}  // namespace corvaxctl
