// corvaxctl: link control and hotswap. What changes the machine: a scan again, a rescan and
// restore, cutting and restoring the links of every switch port, the wait for the drives after
// that, slot LEDs, the CPM bit, the accepted vendor list, and the whole hotswap cycle.
#include <algorithm>
#include <map>

#include <CLI/CLI.hpp>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/session.h"

namespace corvaxctl {
namespace {

int Action(Session& session, const std::string& command, uint32_t code) {
    const Reply r = session.Send(code, {}, 0);
    if (session.JsonWanted()) {
        Json j = Base(command, r);
        session.Emit(j);
    } else {
        session.Out() << command << ": " << StatusText(r.status) << "\n";
    }
    return Session::ExitFor(r.status);
}

int Update(Session& session, const Command&) {
    return Action(session, "update", CORVAX_UPDATE);
}

int Rescan(Session& session, const Command&) {
    return Action(session, "rescan", CORVAX_RESCAN);
}

int Restore(Session& session, const Command&) {
    return Action(session, "restore", CORVAX_RESCAN_RESTORE);
}

int ClearCpm(Session& session, const Command&) {
    return Action(session, "clear-cpm", CORVAX_CLR_CPM);
}

int Disable(Session& session, const Command& c) {
    session.GuardLinkCut(c.force, session.Bridges());
    const std::vector<PciTableEntry> unrestorable = session.WarnUnrestorable(session.TableNow());
    const Reply r = session.Send(CORVAX_DISABLE_BRIDGE, {}, 0);
    if (session.JsonWanted()) {
        Json j = Base("disable", r);
        j["unrestorable"] = EntriesJson(unrestorable);
        session.Emit(j);
    } else {
        session.Out() << "disable: " << StatusText(r.status) << "\n";
    }
    return Session::ExitFor(r.status);
}

int Enable(Session& session, const Command&) {
    const Reply r = session.Send(CORVAX_ENABLE_BRIDGE, {}, 0);
    std::optional<std::vector<LinkDown>> down = std::vector<LinkDown>();
    const bool gaveUp = r.status == CORVAX_STATUS_FAIL_CHECK;
    if (gaveUp) {
        down = session.LinksDown(session.Simulated() ? session.Bridges()
                                                     : std::vector<BridgeApInfo>());
    }
    if (session.JsonWanted()) {
        Json j = Base("enable", r);
        j["links_down"] = Session::LinksDownJson(down);
        session.Emit(j);
    } else {
        session.Out() << "enable: " << StatusText(r.status)
                      << (gaveUp ? ": a port's link or a PEX 8748's secondary path did not come "
                                   "back in six passes"
                                 : "")
                      << "\n";
        session.Out().flush();
    }
    if (gaveUp) {
        session.SayLinksDown(down);
    }
    return Session::ExitFor(r.status);
}

int Led(Session& session, const Command& c) {
    // The driver sets the LED of the port in front of the slot whose recorded address is the
    // PFA given (an empty slot's is its port's secondary bus); anything else it ignores. So the
    // slot is found here first, in the same records, and what has none is refused unsent.
    const std::vector<BridgeApInfo> bridges = session.Bridges();
    std::optional<SettleSlot> slot;
    if (c.ledSlot) {
        slot = SlotOf(bridges, c.ledSlot->first, c.ledSlot->second);
        const uint32_t recorded = bridges[slot->record].OriginalSlot[slot->slot].pciPFA;
        if (recorded == 0 || ((recorded >> 8) & 0xFF) == 0xFF) {
            throw UsageError("slot " + std::to_string(slot->record) + ":" +
                             std::to_string(slot->slot) +
                             " has no port the driver found, so it has no LED to set");
        }
    } else {
        for (unsigned r = 0; r < bridges.size() && !slot; ++r) {
            if (!BridgeInUse(bridges[r])) {
                continue;
            }
            for (unsigned i = 0; i < SwitchSlotCount(bridges[r].pciID); ++i) {
                if (bridges[r].OriginalSlot[i].pciPFA == c.pfa) {
                    slot = SlotOf(bridges, r, i);
                    break;
                }
            }
        }
        if (!slot) {
            throw UsageError(FormatPfa(c.pfa) +
                             " is in no slot of a registered switch, so it has no slot LED (led "
                             "S:P names a slot by the switch and slot numbers of `table`)");
        }
    }
    const uint16_t pfa = slot->pfa;
    const uint32_t type = c.ledType;
    const Reply r = session.Send(CORVAX_SET_LED, Dwords({pfa, type}), 0);
    if (session.JsonWanted()) {
        Json j = Base("led", r);
        j["pfa"] = JsonHex(pfa, 4);
        j["bdf"] = FormatPfa(pfa);
        j["switch"] = slot->record;
        j["slot"] = slot->slot;
        j["led_type"] = type;
        session.Emit(j);
    } else {
        session.Out() << "led " << FormatPfa(pfa) << " (slot " << slot->record << ":" << slot->slot
                      << ") " << type << ": " << StatusText(r.status) << "\n";
    }
    return Session::ExitFor(r.status);
}

int LedAll(Session& session, const Command&) {
    const Reply r = session.Send(CORVAX_SET_LED_ALL, {}, 0);
    std::optional<std::string> nothing;
    if (!IsErrorStatus(r.status)) {
        // Which family is registered decides whether there is a field to set.
        const Reply model = session.Send(CORVAX_QUERY_8618, {}, 4);
        const uint32_t id = IsErrorStatus(model.status) ? 1 : Dword(model.output);
        if (id == 0) {
            nothing = "no switch is registered";
        } else if (id == CORVAX_PLX8748_ID) {
            nothing =
                "the request sets the indicators of a PEX 8618 or 8732; the PEX 8748's "
                "are left alone";
        }
    }
    if (session.JsonWanted()) {
        Json j = Base("led-all", r);
        if (nothing) {
            j["did_nothing"] = *nothing;
        }
        session.Emit(j);
    } else {
        session.Out() << "led-all: " << StatusText(r.status) << "\n";
        if (nothing) {
            session.SayNothing("led-all", "nothing changed", *nothing);
        }
    }
    return Session::ExitFor(r.status);
}

int SetIds(Session& session, const Command& c) {
    const std::vector<uint32_t>& vendors = c.vendors;
    Bytes input;
    for (uint32_t id : vendors) {
        const Bytes b = Dwords({id});
        input.insert(input.end(), b.begin(), b.end());
    }
    const Bytes end = Dwords({0});  // the terminator: the list is exactly what was given
    input.insert(input.end(), end.begin(), end.end());
    // Which drives the list takes in and leaves out: the table's flag before and after.
    const std::vector<PciTableEntry> before = session.TableNow();
    const Reply r = session.Send(CORVAX_SET_DEVICE_ID_LIST, input, 0);
    std::vector<PciTableEntry> unlisted, accepted;
    if (!IsErrorStatus(r.status)) {
        session.SetAcceptedVendors(vendors);
        for (const PciTableEntry& now : session.TableNow()) {
            for (const PciTableEntry& was : before) {
                if (was.pciLocation != now.pciLocation || was.pciID != now.pciID) {
                    continue;
                }
                const bool wasListed = !(was.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR);
                const bool isListed = !(now.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR);
                if (wasListed && !isListed) {
                    unlisted.push_back(now);
                } else if (!wasListed && isListed) {
                    accepted.push_back(now);
                }
            }
        }
    }
    for (const PciTableEntry& e : unlisted) {
        session.Err() << "corvaxctl: warning: set-ids: " << FormatPfa(e.pciLocation) << " ("
                      << IdText(e.pciID) << (OnBoard(e) ? ", on board" : ", slot " + EntryPlace(e))
                      << ") is no longer of an accepted vendor"
                      << (OnBoard(e) ? ""
                                     : ": a link cycle now leaves it without its memory "
                                       "address")
                      << " (name " << JsonHex(e.pciID & 0xFFFF, 4).substr(2)
                      << " among the vendors to keep it)\n";
    }
    for (const PciTableEntry& e : accepted) {
        session.Err() << "corvaxctl: set-ids: " << FormatPfa(e.pciLocation) << " ("
                      << IdText(e.pciID) << ") is of an accepted vendor now; run update before "
                      << "the next cycle so that its configuration is saved and restored\n";
    }
    session.Err().flush();
    if (session.JsonWanted()) {
        Json j = Base("set-ids", r);
        Json list = Json::array();
        for (uint32_t id : vendors) {
            list.push_back(JsonHex(id, 4));
        }
        j["vendors"] = list;
        j["unlisted"] = EntriesJson(unlisted);
        j["accepted"] = EntriesJson(accepted);
        session.Emit(j);
    } else {
        session.Out() << "set-ids (" << vendors.size() << " vendors): " << StatusText(r.status)
                      << "\n";
    }
    return Session::ExitFor(r.status);
}

int Wait(Session& session, const Command& c) {
    const std::vector<BridgeApInfo> bridges = session.Bridges();
    const SettleResult r = session.WaitForDrives(session.ExpectedSlots(bridges, c), c.settle);
    if (session.JsonWanted()) {
        Json j;
        j["command"] = "wait";
        j["status"] = JsonHex(CORVAX_STATUS_SUCCESS, 8);
        j["information"] = 0;
        j["output"] = "";
        j["wait"] = SettleJson(r, c.settle);
        session.Emit(j);
    } else {
        session.Out() << "wait: " << SettleSummary(r) << "\n";
    }
    return r.AllAnswered() ? kExitOk : kExitDriverStatus;
}

// The slots that hold a drive after the simulated swap, by what the events did last to
// each (insert or replace: a drive; pull: none). Runs while the links are cut: a slot the
// switch does not have is left out rather than refused.
void FollowEvents(std::vector<SettleSlot>& slots, const std::vector<SwapEvent>& events,
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
                                           return s.record == slot.record && s.slot == slot.slot;
                                       }),
                        slots.end());
        }
    }
}

int Hotswap(Session& session, const Command& c) {
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
        Json request;
        request["request"] = ControlCodeName(code);
        request["status"] = JsonHex(r.status, 8);
        request["information"] = r.information;
        steps.push_back(request);
        if (what) {
            line(what, StatusText(r.status));
        }
        if (IsErrorStatus(r.status) && status == CORVAX_STATUS_SUCCESS) {
            status = r.status;
        }
    };
    auto step = [&](const char* what, uint32_t code, uint32_t outLength) {
        Reply r = session.Send(code, {}, outLength);
        record(what, code, r);
        return r;
    };

    Reply query;
    const std::vector<BridgeApInfo> bridges = session.Bridges(&query);
    record(nullptr, PLX_QUERY_PCI, query);
    const std::vector<SlotBridge> behind = session.GuardLinkCut(c.force, bridges);
    std::vector<SettleSlot> expected = session.ExpectedSlots(bridges, c);
    for (const SlotBridge& b : behind) {
        AddSlot(expected, SlotOf(bridges, b.record, b.slot));  // its upstream port answers
    }
    // Every event can be done, on a switch and a slot the driver has, before a link is cut.
    session.CheckEvents(c.events, bridges, "hotswap");

    const Reply before = step(nullptr, CORVAX_GET_TABLE, CORVAX_TABLE_SIZE);
    const std::vector<PciTableEntry> unrestorable = session.WarnUnrestorable(
        IsErrorStatus(before.status) ? std::vector<PciTableEntry>() : DecodeTable(before.output));
    step("disable", CORVAX_DISABLE_BRIDGE, 0);
    // From here on to the enable nothing may end the command: the links are cut.
    std::optional<std::string> refused;
    if (session.Simulated()) {
        std::vector<SwapEvent> done;
        for (size_t i = 0; i < c.events.size(); ++i) {
            Json event;
            event["event"] = c.events[i].text;
            try {
                session.Simulate(c.events[i].action);
            } catch (const UsageError& e) {
                refused = "hotswap event '" + c.events[i].text + "' refused: " + e.what() +
                          "; the links were brought back and the later events not done";
                event["refused"] = e.what();
                steps.push_back(event);
                line("swap", c.events[i].text + ": refused: " + e.what());
                break;
            }
            steps.push_back(event);
            line("swap", c.events[i].text);
            done.push_back(c.events[i]);
        }
        FollowEvents(expected, done, bridges);
    } else {
        if (!session.JsonWanted()) {
            session.Out() << Columns(lines, "");
            lines.clear();
            session.Out().flush();
        }
        session.Err() << "The links are down: swap the drives, then press Enter. " << std::flush;
        std::string answer;
        std::getline(session.In(), answer);
    }
    const Reply enabled = step("enable", CORVAX_ENABLE_BRIDGE, 0);
    std::optional<std::vector<LinkDown>> down = std::vector<LinkDown>();
    if (enabled.status == CORVAX_STATUS_FAIL_CHECK) {
        down = session.LinksDown(bridges);
        session.SayLinksDown(down);
    }
    if (!session.Simulated() && !session.JsonWanted()) {
        // What was written so far shows while the drives are waited for.
        session.Out() << Columns(lines, "");
        lines.clear();
        session.Out().flush();
    }
    const SettleResult waited = session.WaitForDrives(expected, c.settle);
    for (const std::string& text : SlotBridgesDown(behind, session.ConfigRead())) {
        session.Err() << "corvaxctl: " << text << "\n" << std::flush;
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
    std::vector<std::pair<uint16_t, unsigned>> moreVectors;
    // New drives without a memory address: the driver saved nothing of them to restore.
    std::vector<std::string> unassigned;
    for (size_t i = 0; i < changes.size(); ++i) {
        const DriveChange& change = changes[i];
        if (change.change == Change::New && (change.entry.fgStatus & CORVAX_ENTRY_NO_MEMORY)) {
            unassigned.push_back(FormatPfa(change.entry.pciLocation) + " (slot " +
                                 EntryPlace(change.entry) + ")");
        }
        if (change.change != Change::Restored && change.change != Change::ReplacedRestored) {
            continue;
        }
        for (const SettleSlot& slot : waited.slots) {
            if (slot.answered && slot.pfa == change.entry.pciLocation) {
                msix[i] = slot.msixVectors;
            }
        }
        // The driver saves 16 entries and writes them back where the drive now answering
        // keeps its table at the same place; for the same drive that is certain, for a
        // replacement of another model it depends on a layout the client never saw.
        if (msix[i] && *msix[i] > kMsixSavedEntries) {
            moreVectors.push_back({static_cast<uint16_t>(change.entry.pciLocation), *msix[i]});
        }
    }
    if (session.JsonWanted()) {
        Json j;
        j["command"] = "hotswap";
        j["status"] = JsonHex(status, 8);
        j["information"] = after.information;
        j["output"] = LowerHex(after.output);
        j["steps"] = steps;
        j["unrestorable"] = EntriesJson(unrestorable);
        j["links_down"] = Session::LinksDownJson(down);
        j["wait"] = SettleJson(waited, c.settle);
        Json drives = Json::array();
        for (size_t i = 0; i < changes.size(); ++i) {
            Json d = EntryJson(changes[i].entry);
            d["change"] = changes[i].change == Change::None ? Json(nullptr)
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
        session.Emit(j);
    } else {
        session.Out() << Columns(lines, "") << "\n";
        session.Out() << TableText(changes, true);
        if (!unassigned.empty()) {
            session.Out() << Join(unassigned, ", ")
                          << (unassigned.size() > 1 ? " are new drives" : " is a new drive")
                          << " without a memory address: the driver restores only what it "
                             "saved at the last update. Let Windows give "
                          << (unassigned.size() > 1 ? "them" : "it")
                          << " one (tolvane rescan), then run corvaxctl update, so that the next "
                             "cycles restore "
                          << (unassigned.size() > 1 ? "them" : "it") << "\n";
        }
    }
    session.AdviseMsix(moreVectors);
    if (refused) {
        throw UsageError(*refused);
    }
    const int exit = Session::ExitFor(status);
    return waited.AllAnswered() ? exit : std::max(exit, kExitDriverStatus);
}

// ---- operands ----

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

std::vector<uint32_t> ParseVendors(const std::vector<std::string>& words) {
    if (words.size() > CORVAX_DEVICE_ID_LIST_ENTRIES - 1) {
        throw UsageError("set-ids takes at most 255 vendors (the list ends with a 0 entry)");
    }
    std::vector<uint32_t> ids;
    for (const std::string& w : words) {
        const std::optional<uint64_t> v = ParseHex(w, 0xFFFF);
        if (!v || *v == 0) {
            throw UsageError("bad VENDOR '" + w + "': a hexadecimal vendor ID from 1 to ffff");
        }
        ids.push_back(static_cast<uint32_t>(*v));
    }
    return ids;
}

void ForceOption(CLI::App& command, Command& c, bool) {
    command.add_flag("--force", c.force,
                     "cut them even when Windows keeps its directory or a page file behind a "
                     "switch");
}

void LedOptions(CLI::App& command, Command& c, bool) {
    command
        .add_option("PFA|S:P", c.first,
                    "the drive as the last update recorded it, or a slot by the switch and slot "
                    "numbers of `table` (an empty one too)")
        ->required();
    command.add_option("TYPE", c.second, "0-3, or on (1), blink (2), off (3)")->required();
}

void CheckLed(Command& c, bool) {
    // A slot is S:P in decimal ("0:3"); a PFA has a dot ("08:00.0") or no colon ("0x0800").
    if (c.first.find(':') != std::string::npos && c.first.find('.') == std::string::npos) {
        unsigned slot = 0;
        const unsigned sw = ParseSwitchSlot(c.first, slot);
        c.ledSlot = std::make_pair(sw, slot);
    } else {
        c.pfa = ParsePfa(c.first);
    }
    c.ledType = ParseLedType(c.second);
}

void SetIdsOptions(CLI::App& command, Command& c, bool) {
    command.add_option("VENDOR", c.list, "hexadecimal vendor IDs, in order")->required();
}

void CheckSetIds(Command& c, bool) {
    c.vendors = ParseVendors(c.list);
}

void HotswapOptions(CLI::App& command, Command& c, bool simulated) {
    if (simulated) {
        command.add_option("EVENT", c.list,
                           "simulated events during the swap: pull S:P | insert S:P V:D | "
                           "replace S:P V:D | stuck S:P on|off");
    }
    AddWaitOptions(command, c);
    command.add_flag("--force", c.force,
                     "cut the links even when Windows keeps its directory or a page file "
                     "behind a switch");
}

void WaitOptions(CLI::App& command, Command& c, bool) {
    AddWaitOptions(command, c);
}

void CheckCycleOperands(Command& c, bool) {
    c.events = ParseEvents(c.list);
    CheckWaitOptions(c);
}

}  // namespace

std::vector<CommandSpec> LinkControlCommands() {
    return {
        {"update", "scan the topology again from scratch (CORVAX_UPDATE)", nullptr, false, nullptr,
         nullptr, Update},
        {"rescan", "look at the switches' slots again (CORVAX_RESCAN)", nullptr, false, nullptr,
         nullptr, Rescan},
        {"restore", "rescan, then write saved headers back (CORVAX_RESCAN_RESTORE)", nullptr, false,
         nullptr, nullptr, Restore},
        {"disable", "cut the link of every switch port (CORVAX_DISABLE_BRIDGE)", nullptr, false,
         ForceOption, nullptr, Disable},
        {"enable", "bring every switch port's link back (CORVAX_ENABLE_BRIDGE)", nullptr, false,
         nullptr, nullptr, Enable},
        {"led", "set the LED field of a slot's port, by its drive or the slot (CORVAX_SET_LED)",
         nullptr, false, LedOptions, CheckLed, Led},
        {"led-all", "set the LED field of every port to 3 (CORVAX_SET_LED_ALL)", nullptr, false,
         nullptr, nullptr, LedAll},
        {"clear-cpm", "clear the CPM bit of every drive behind a switch (CORVAX_CLR_CPM)", nullptr,
         false, nullptr, nullptr, ClearCpm},
        {"set-ids", "replace the accepted vendor list (CORVAX_SET_DEVICE_ID_LIST)", nullptr, false,
         SetIdsOptions, CheckSetIds, SetIds},
        {"hotswap",
         "disable, swap the drives, enable, wait for them, rescan and restore, then show what "
         "changed",
         "disable, wait while you swap the drives, enable, wait for them, rescan and restore, "
         "then show what changed",
         false, HotswapOptions, CheckCycleOperands, Hotswap},
        {"wait", "wait until the drives behind the switches answer again after enable", nullptr,
         false, WaitOptions, CheckCycleOperands, Wait},
    };
}

}  // namespace corvaxctl
