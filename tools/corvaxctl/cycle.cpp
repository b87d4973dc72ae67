// corvaxctl: the cycle. Unattended link cycles with a verdict on every slot after each: disable,
// the links kept down, enable, the wait for the drives, rescan and restore, rescan, then each
// drive's own header read and judged (verdict.h). A progress line on a terminal, a summary per
// slot at the end, a record of every slot in every cycle, and an exit code that says which.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include <CLI/CLI.hpp>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/pci_header.h"
#include "tools/corvaxctl/session.h"
#include "tools/corvaxctl/verdict.h"

namespace corvaxctl {
namespace {

// One slot of the run.
struct RunSlot {
    SettleSlot place;  // switch number, slot, the address the driver recorded
    PciTableEntry entry{};
    // Why it is not judged ("" when it is): its drive is not one the driver restores.
    std::string skipped;
    bool pulled = false;  // the events take its drive out
    bool empty = false;   // no drive before the run, and the events put none in
    bool bridge = false;  // a switch sits in the slot
    SlotExpectation expected;
    // What the cycles found.
    unsigned passed = 0, failed = 0;
    unsigned answers = 0;
    uint64_t answerMin = 0, answerMax = 0, answerSum = 0;
    std::optional<std::pair<unsigned, std::string>> firstFailure;  // cycle, reasons
    std::optional<unsigned> msixVectors;                           // as its header shows it
};

// One row of the record: a slot in a cycle.
struct RecordRow {
    unsigned cycle = 0;
    const RunSlot* slot = nullptr;
    const char* verdict = "";  // pass, fail, skipped
    std::optional<uint64_t> answerUs;
    std::optional<DriveState> state;
    std::string reason;
};

std::string Csv(const std::string& field) {
    if (field.find_first_of(",\"\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string GtsText(unsigned speed) {
    // The record's speed is a number of GT/s, as people write it.
    const std::string text = SpeedText(speed);
    return text.substr(0, text.find(' '));
}

std::string MillisValue(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(us) / 1000.0);
    return text;
}

// The record of every slot in every cycle: CSV, or JSON lines when the file's name ends in
// .jsonl. Each cycle's rows are flushed when the cycle ends, so a run cut short keeps them.
class Record {
  public:
    static constexpr const char* kColumns[] = {"cycle", "switch",      "slot",      "bdf",
                                               "id",    "verdict",     "answer_ms", "speed_gts",
                                               "width", "max_payload", "errors",    "reason"};

    explicit Record(const std::optional<std::string>& path) {
        if (!path) {
            return;
        }
        json_ = path->size() > 6 && path->compare(path->size() - 6, 6, ".jsonl") == 0;
        errno = 0;
        file_.open(*path, std::ios::out | std::ios::trunc);
        if (!file_) {
            throw UsageError("cannot write the record '" + *path +
                             "': " + (errno ? std::strerror(errno) : "cannot open it"));
        }
        if (!json_) {
            std::string head;
            for (const char* c : kColumns) {
                head += (head.empty() ? "" : ",") + std::string(c);
            }
            file_ << head << "\n";
        }
    }

    void Add(const RecordRow& r) {
        if (!file_.is_open()) {
            return;
        }
        const RunSlot& s = *r.slot;
        const std::optional<PciExpress>& e = r.state ? r.state->express : std::nullopt;
        if (json_) {
            Json j;
            j["cycle"] = r.cycle;
            j["switch"] = s.place.record;
            j["slot"] = s.place.slot;
            j["bdf"] = FormatPfa(s.place.pfa);
            j["id"] = r.state ? Json(IdText(r.state->id)) : Json(nullptr);
            j["verdict"] = r.verdict;
            j["answer_ms"] =
                r.answerUs ? Json(static_cast<double>(*r.answerUs) / 1000.0) : Json(nullptr);
            j["speed_gts"] = e ? Json(GtsText(e->speed)) : Json(nullptr);
            j["width"] = e ? Json(e->width) : Json(nullptr);
            j["max_payload"] = e ? Json(e->maxPayload) : Json(nullptr);
            j["errors"] = e ? Json(e->errors.Text()) : Json(nullptr);
            j["reason"] = r.reason;
            file_ << j.dump() << "\n";
            return;
        }
        const std::vector<std::string> fields = {std::to_string(r.cycle),
                                                 std::to_string(s.place.record),
                                                 std::to_string(s.place.slot),
                                                 FormatPfa(s.place.pfa),
                                                 r.state ? IdText(r.state->id) : "",
                                                 r.verdict,
                                                 r.answerUs ? MillisValue(*r.answerUs) : "",
                                                 e ? GtsText(e->speed) : "",
                                                 e ? std::to_string(e->width) : "",
                                                 e ? std::to_string(e->maxPayload) : "",
                                                 e ? e->errors.Text() : "",
                                                 r.reason};
        std::string line;
        for (const std::string& f : fields) {
            line += (line.empty() ? "" : ",") + Csv(f);
        }
        file_ << line << "\n";
    }

    // Writes out what the cycle added; false when the file took it not (a full disk, say).
    bool Flush() {
        if (!file_.is_open()) {
            return true;
        }
        errno = 0;
        file_.flush();
        if (!file_) {
            reason_ = errno ? std::strerror(errno) : "the write failed";
            return false;
        }
        return true;
    }
    const std::string& Reason() const { return reason_; }

  private:
    std::ofstream file_;
    bool json_ = false;
    std::string reason_;
};

// What the events do to each slot in one cycle: the drive that is there after them (none:
// pulled), for the slots they touch.
std::map<std::pair<unsigned, unsigned>, std::optional<uint32_t>> EventOutcome(
    const std::vector<SwapEvent>& events) {
    std::map<std::pair<unsigned, unsigned>, std::optional<uint32_t>> outcome;
    for (const SwapEvent& event : events) {
        const SimAction& a = event.action;
        if (a.kind == SimAction::Kind::Pull) {
            outcome[{a.switchIndex, a.slot}] = std::nullopt;
        } else if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
            outcome[{a.switchIndex, a.slot}] = a.id;
        }
    }
    return outcome;
}

// The slots of the run: every slot of every registered switch, with what it holds now.
std::vector<RunSlot> SlotsOfTheRun(const std::vector<BridgeApInfo>& bridges,
                                   const std::vector<PciTableEntry>& table,
                                   const std::vector<SwapEvent>& events) {
    const auto outcome = EventOutcome(events);
    std::vector<RunSlot> slots;
    for (unsigned r = 0; r < bridges.size(); ++r) {
        const BridgeApInfo& b = bridges[r];
        if (!BridgeInUse(b)) {
            continue;
        }
        for (unsigned i = 0; i < SwitchSlotCount(b.pciID); ++i) {
            const SlotImage& original = b.OriginalSlot[i];
            const SlotImage& current = b.CurrentSlot[i];
            const bool recorded = (original.fgStatus & CORVAX_SLOT_PRESENT) != 0;
            const bool present = (current.fgStatus & CORVAX_SLOT_PRESENT) != 0;
            const auto touched = outcome.find({r, i});
            RunSlot s;
            s.place = SlotOf(bridges, r, i);
            if (!recorded && !present && touched == outcome.end()) {
                // An empty slot: in the summary, with nothing to judge. A slot whose port did
                // not answer (its recorded bus reads 0xff) is none at all.
                if (original.pciPFA != 0 && ((original.pciPFA >> 8) & 0xFF) != 0xFF) {
                    s.empty = true;
                    s.skipped = "empty";
                    slots.push_back(s);
                }
                continue;
            }
            s.expected.id = static_cast<uint32_t>(original.deviceId) << 16 | original.vendorId;
            s.expected.switchPayload = PayloadBytes(original.bdgMps);
            for (const PciTableEntry& e : table) {
                if (e.pciLocation == s.place.pfa && !OnBoard(e)) {
                    s.entry = e;
                }
            }
            // A slot the events empty is not waited for, whatever else keeps it from a verdict.
            s.pulled = touched != outcome.end() && !touched->second;
            if (!recorded) {
                s.skipped = present ? "the driver saved no header for it: it came after the last "
                                      "update (update records it)"
                                    : "empty before the run: the events put a drive in, which "
                                      "the driver has no saved header for";
            } else if (s.entry.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR) {
                s.skipped =
                    "its vendor is missing from the accepted list: the driver neither "
                    "saves nor restores it (set-ids, then update, accepts it)";
            } else if (s.pulled) {
                s.skipped = "the events pull its drive";
            }
            if (touched != outcome.end() && touched->second) {
                s.expected.id = *touched->second;  // the replacement the events put in
                s.expected.idFromEvents = true;
            }
            slots.push_back(s);
        }
    }
    return slots;
}

// One configuration header read of a slot's recorded address.
std::optional<DriveState> ReadDrive(Session& session, uint16_t pfa, Bytes* bytes = nullptr) {
    const Reply r = session.Send(CORVAX_READ_CONFIG, Dwords({pfa}), CORVAX_CONFIG_SIZE);
    if (IsErrorStatus(r.status) || r.information < CORVAX_CONFIG_SIZE) {
        return std::nullopt;
    }
    if (bytes != nullptr) {
        *bytes = r.output;
    }
    return StateOf(r.output);
}

struct RunOutcome {
    unsigned cyclesRun = 0;
    std::optional<std::string> stopped;  // why the run could not go on
    bool stoppedOnFailure = false;
};

void CycleOptions(CLI::App& command, Command& c, bool simulated) {
    command.add_option("--count", c.count, "how many link cycles (default 10)");
    command.add_option("--down-ms", c.downMs,
                       "how long the links stay cut in each cycle, in ms (default 1000)");
    command.add_option("--record", c.record,
                       "write one row per slot per cycle to FILE: CSV, or JSON lines when its "
                       "name ends in .jsonl");
    command.add_flag("--stop-on-failure", c.stopOnFailure,
                     "stop after the first cycle in which a slot fails its verdict");
    if (simulated) {
        command.add_option("EVENT", c.list,
                           "simulated events in every cycle while the links are down: pull S:P | "
                           "insert S:P V:D | replace S:P V:D | stuck S:P on|off");
    }
    AddWaitOptions(command, c, false);
    command.add_flag("--force", c.force,
                     "cut the links even when Windows keeps its directory or a page file "
                     "behind a switch");
}

void CheckCycle(Command& c, bool) {
    c.events = ParseEvents(c.list);
    CheckWaitOptions(c);
    if (c.count) {
        const std::optional<uint64_t> n = ParseCount(*c.count, 1000000);
        if (!n || *n == 0) {
            throw UsageError("bad --count '" + *c.count + "': cycles, from 1 to 1000000");
        }
        c.cycles = static_cast<unsigned>(*n);
    }
    c.downMsValue = ParseMs(c.downMs, c.downMsValue, "--down-ms");
    if (c.record && c.record->empty()) {
        throw UsageError("bad --record '': the name of a file to write");
    }
}

int Cycle(Session& session, const Command& c) {
    // ---- before any link is cut ----
    Reply query;
    const std::vector<BridgeApInfo> bridges = session.Bridges(&query);
    if (IsErrorStatus(query.status) || bridges.empty()) {
        throw UsageError("cannot read the switch records (PLX_QUERY_PCI: " +
                         StatusText(query.status) + "): nothing to cycle");
    }
    if (std::none_of(bridges.begin(), bridges.end(), BridgeInUse)) {
        throw UsageError("no switch is registered: there is no link to cycle");
    }
    // The guards of every command that cuts links (a switch in a slot, Windows' own disks).
    const std::vector<SlotBridge> behind = session.GuardLinkCut(c.force, bridges);
    // Two rounds show whether the events can be repeated: the second starts where the first
    // left the slots, and so does every later one.
    session.CheckEvents(c.events, bridges, "cycle", std::min(2u, c.cycles));
    Record record(c.record);
    Reply tableReply;
    const std::vector<PciTableEntry> table = session.TableNow(&tableReply);
    std::vector<RunSlot> slots = SlotsOfTheRun(bridges, table, c.events);
    // A slot that holds a switch is no empty one: its upstream port is waited for, as hotswap
    // does, and nothing of it judged (its drives are the system's to bring back).
    for (RunSlot& s : slots) {
        for (const SlotBridge& b : behind) {
            if (s.empty && b.record == s.place.record && b.slot == s.place.slot) {
                s.empty = false;
                s.skipped = "a switch (" + IdText(b.id) + ") sits in the slot, not a drive";
                s.expected.id = b.id;
                s.bridge = true;
            }
        }
    }
    session.WarnUnrestorable(table);
    // Each drive as it is before the first cycle: what every cycle is held to.
    for (RunSlot& s : slots) {
        if (s.empty || s.bridge) {
            continue;
        }
        Bytes header;
        s.expected.before = ReadDrive(session, s.place.pfa, &header);
        if (s.expected.before) {
            if (const std::optional<Msix> m = DecodeMsix(header)) {
                s.msixVectors = m->vectors;
            }
        }
    }
    std::vector<SettleSlot> waitFor;
    for (const RunSlot& s : slots) {
        if (!s.pulled && !s.empty) {
            waitFor.push_back(s.place);
        }
    }

    // ---- the cycles ----
    RunOutcome run;
    const bool terminal = session.Env().terminal;
    size_t shown = 0;  // the longest progress line written, to be blanked at the end
    std::set<std::string> said;
    for (unsigned cycle = 1; cycle <= c.cycles; ++cycle) {
        const Reply disabled = session.Send(CORVAX_DISABLE_BRIDGE, {}, 0);
        session.Device().Sleep(c.downMsValue * 1000);
        std::optional<std::string> refused;
        if (session.Simulated()) {
            for (const SwapEvent& event : c.events) {
                try {
                    session.Simulate(event.action);
                } catch (const UsageError& e) {
                    refused = "cycle event '" + event.text + "' refused in cycle " +
                              std::to_string(cycle) + ": " + e.what();
                    break;
                }
            }
        }
        // The links come back whatever happened before.
        const Reply enabled = session.Send(CORVAX_ENABLE_BRIDGE, {}, 0);
        const SettleResult waited = session.WaitForDrives(waitFor, c.settle, true);
        for (const std::string& text : SlotBridgesDown(behind, session.ConfigRead())) {
            if (said.insert(text).second) {  // once a run, not once a cycle
                session.Err() << "corvaxctl: " << text << "\n" << std::flush;
            }
        }
        const Reply restored = session.Send(CORVAX_RESCAN_RESTORE, {}, 0);
        const Reply rescanned = session.Send(CORVAX_RESCAN, {}, 0);
        run.cyclesRun = cycle;

        bool anyFailed = false;
        for (RunSlot& s : slots) {
            if (s.empty) {
                continue;
            }
            RecordRow row;
            row.cycle = cycle;
            row.slot = &s;
            SlotReturn got;
            got.waitedUs = std::max(c.settle.settleMs, c.settle.trainMs + kConfigQuietMs) * 1000;
            for (const SettleSlot& w : waited.slots) {
                if (w.record == s.place.record && w.slot == s.place.slot && w.answered) {
                    got.answered = true;
                    got.answerUs = w.answerUs;
                    row.answerUs = w.answerUs;
                }
            }
            got.enableGaveUp = enabled.status == CORVAX_STATUS_FAIL_CHECK;
            if (got.answered || s.skipped.empty()) {
                got.after = ReadDrive(session, s.place.pfa);
            }
            row.state = got.after;
            if (!s.skipped.empty()) {
                row.verdict = "skipped";
                row.reason = s.skipped;
                record.Add(row);
                continue;
            }
            if (!s.expected.before && got.after) {
                // It did not answer before the run: what the first cycle brings back is the
                // measure of the rest.
                s.expected.before = got.after;
            }
            const Verdict v = Judge(s.expected, got);
            row.verdict = v.passed ? "pass" : "fail";
            row.reason = Join(v.reasons, "; ");
            record.Add(row);
            if (got.answered) {
                s.answerMin = s.answers == 0 ? got.answerUs : std::min(s.answerMin, got.answerUs);
                s.answerMax = std::max(s.answerMax, got.answerUs);
                s.answerSum += got.answerUs;
                ++s.answers;
            }
            if (v.passed) {
                ++s.passed;
            } else {
                ++s.failed;
                anyFailed = true;
                if (!s.firstFailure) {
                    s.firstFailure = std::make_pair(cycle, row.reason);
                }
            }
        }
        if (!record.Flush() && !run.stopped) {
            run.stopped = "cannot write the record '" + *c.record + "' in cycle " +
                          std::to_string(cycle) + ": " + record.Reason();
        }
        if (terminal) {
            unsigned failing = 0, judged = 0;
            for (const RunSlot& s : slots) {
                judged += s.skipped.empty() ? 1 : 0;
                failing += s.failed > 0 ? 1 : 0;
            }
            const std::string line = "cycle " + std::to_string(cycle) + " of " +
                                     std::to_string(c.cycles) + ": " +
                                     std::to_string(judged - failing) + " of " +
                                     std::to_string(judged) + " slots passed every cycle so far";
            session.Err() << "\r" << line << "   " << std::flush;
            shown = std::max(shown, line.size() + 3);
        }
        for (const auto& [what, reply] :
             {std::make_pair("disable", &disabled), std::make_pair("rescan and restore", &restored),
              std::make_pair("rescan", &rescanned)}) {
            if (IsErrorStatus(reply->status) && !run.stopped) {
                run.stopped = std::string(what) + " failed in cycle " + std::to_string(cycle) +
                              ": " + StatusText(reply->status);
            }
        }
        if (IsErrorStatus(enabled.status) && enabled.status != CORVAX_STATUS_FAIL_CHECK &&
            !run.stopped) {
            run.stopped = "enable failed in cycle " + std::to_string(cycle) + ": " +
                          StatusText(enabled.status);
        }
        if (refused && !run.stopped) {
            run.stopped = *refused;
        }
        if (run.stopped) {
            break;
        }
        if (anyFailed && c.stopOnFailure) {
            run.stoppedOnFailure = true;
            break;
        }
    }
    if (shown > 0) {
        session.Err() << "\r" << std::string(shown, ' ') << "\r" << std::flush;
    }

    // ---- the summary ----
    unsigned judged = 0, failedSlots = 0;
    for (const RunSlot& s : slots) {
        judged += s.skipped.empty() ? 1 : 0;
        failedSlots += s.failed > 0 ? 1 : 0;
    }
    const int exit = run.stopped ? kExitRunStopped : failedSlots > 0 ? kExitSlotFailed : kExitOk;
    std::string result = run.stopped ? "the run could not go on: " + *run.stopped
                         : failedSlots > 0
                             ? std::to_string(failedSlots) + " of " + std::to_string(judged) +
                                   " slots failed their verdict"
                         : judged == 0 ? "no slot held a drive to judge"
                                       : "all " + std::to_string(judged) + " slots passed";
    // The drives whose MSI-X table holds more than the driver restores: said once, with what
    // helps.
    std::vector<std::pair<uint16_t, unsigned>> moreVectors;
    for (const RunSlot& s : slots) {
        if (s.skipped.empty() && s.msixVectors && *s.msixVectors > kMsixSavedEntries) {
            moreVectors.push_back({s.place.pfa, *s.msixVectors});
        }
    }
    if (session.JsonWanted()) {
        Json j = Base("cycle");
        j["count"] = c.cycles;
        j["cycles_run"] = run.cyclesRun;
        j["down_ms"] = c.downMsValue;
        j["settle_ms"] = c.settle.settleMs;
        j["train_ms"] = c.settle.trainMs;
        j["record"] = c.record ? Json(*c.record) : Json(nullptr);
        j["result"] = run.stopped ? "stopped" : failedSlots > 0 ? "failed" : "passed";
        j["stopped"] = run.stopped ? Json(*run.stopped) : Json(nullptr);
        j["stopped_on_failure"] = run.stoppedOnFailure;
        j["exit_code"] = exit;
        Json list = Json::array();
        for (const RunSlot& s : slots) {
            Json e;
            e["switch"] = s.place.record;
            e["slot"] = s.place.slot;
            e["pfa"] = s.empty ? Json(nullptr) : Json(JsonHex(s.place.pfa, 4));
            e["bdf"] = s.empty ? Json(nullptr) : Json(FormatPfa(s.place.pfa));
            e["id"] = s.empty ? Json(nullptr) : Json(IdText(s.expected.id));
            e["skipped"] = s.skipped.empty() ? Json(nullptr) : Json(s.skipped);
            e["passed"] = s.passed;
            e["failed"] = s.failed;
            if (s.answers > 0) {
                Json a;
                a["min"] = s.answerMin;
                a["mean"] = s.answerSum / s.answers;
                a["max"] = s.answerMax;
                e["answer_us"] = a;
            } else {
                e["answer_us"] = nullptr;
            }
            const bool linkKnown = s.expected.before && s.expected.before->express;
            e["link_before"] = linkKnown ? Json(LinkText(s.expected.before->express->speed,
                                                         s.expected.before->express->width))
                                         : Json(nullptr);
            if (s.firstFailure) {
                Json f;
                f["cycle"] = s.firstFailure->first;
                f["reason"] = s.firstFailure->second;
                e["first_failure"] = f;
            } else {
                e["first_failure"] = nullptr;
            }
            e["msix_vectors"] = Nullable(s.msixVectors);
            list.push_back(e);
        }
        j["slots"] = list;
        session.Emit(j);
    } else {
        Rows rows;
        rows.push_back({"slot", "drive", "passed", "failed", "answer ms min/mean/max", "link",
                        "first failure"});
        for (const RunSlot& s : slots) {
            const std::string place =
                std::to_string(s.place.record) + ":" + std::to_string(s.place.slot);
            const std::string drive = FormatPfa(s.place.pfa) + " " + IdText(s.expected.id);
            const bool linkKnown = s.expected.before && s.expected.before->express;
            const std::string link = linkKnown ? LinkText(s.expected.before->express->speed,
                                                          s.expected.before->express->width)
                                               : "-";
            if (s.empty) {
                rows.push_back({place, "-", "-", "-", "-", "-", "empty"});
                continue;
            }
            if (!s.skipped.empty()) {
                rows.push_back({place, drive, "-", "-", "-", link, "not judged: " + s.skipped});
                continue;
            }
            const std::string answers = s.answers == 0 ? "-"
                                                       : MillisValue(s.answerMin) + "/" +
                                                             MillisValue(s.answerSum / s.answers) +
                                                             "/" + MillisValue(s.answerMax);
            rows.push_back({place, drive, std::to_string(s.passed), std::to_string(s.failed),
                            answers, link,
                            s.firstFailure ? "cycle " + std::to_string(s.firstFailure->first) +
                                                 ": " + s.firstFailure->second
                                           : "-"});
        }
        session.Out() << "cycle: " << run.cyclesRun << " of " << c.cycles << " cycles, links down "
                      << c.downMsValue << " ms each"
                      << (run.stoppedOnFailure ? "; stopped at the first failure" : "") << "\n\n"
                      << Columns(rows, "") << "\n"
                      << result << "\n";
    }
    session.AdviseMsix(moreVectors);
    if (run.stopped) {
        session.Err() << "corvaxctl: " << *run.stopped << "\n" << std::flush;
    }
    return exit;
}

}  // namespace

std::vector<CommandSpec> CycleCommands() {
    return {
        {"cycle",
         "unattended link cycles with a verdict on every slot after each: disable, keep the "
         "links down, enable, wait for the drives, rescan and restore, read each drive's header",
         nullptr, false, CycleOptions, CheckCycle, Cycle},
    };
}

}  // namespace corvaxctl
