// corvaxctl: the simulated machine's own commands (host build only). What a person does to real
// hardware with a hand or a probe: pull, insert and replace drives, make a port's link stick,
// train a link slower or narrower, read and write any configuration dword or dword of physical
// memory, let time pass.
#include <CLI/CLI.hpp>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/output.h"
#include "tools/corvaxctl/pci_header.h"
#include "tools/corvaxctl/session.h"

namespace corvaxctl {
namespace {

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

// "correctable,unsupported" as Device Status error bits; "off" for none.
const char* const kErrorKinds[] = {"correctable", "non-fatal", "fatal", "unsupported"};

uint32_t ParseErrorKinds(const std::string& text) {
    if (text == "off") {
        return 0;
    }
    uint32_t bits = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string kind =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        bool known = false;
        for (unsigned i = 0; i < 4; ++i) {
            if (kind == kErrorKinds[i]) {
                bits |= 1u << i;
                known = true;
            }
        }
        if (!known) {
            throw UsageError("bad ERRORS '" + text +
                             "': correctable, non-fatal, fatal, unsupported, several with commas, "
                             "or off");
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return bits;
}

std::string ErrorKindsText(uint32_t bits) {
    std::string text;
    for (unsigned i = 0; i < 4; ++i) {
        if (bits & (1u << i)) {
            text += (text.empty() ? "" : ",") + std::string(kErrorKinds[i]);
        }
    }
    return text.empty() ? "off" : text;
}

SimAction ParseSimAction(const Command& c) {
    const std::string verb = c.name.substr(4);
    SimAction a;
    if (verb == "pull" || verb == "insert" || verb == "replace" || verb == "stuck") {
        std::vector<std::string> words = {verb, c.first};
        if (verb != "pull") {
            words.push_back(c.second);
        }
        return ParseEvents(words).front().action;
    }
    if (verb == "downtrain") {
        a.kind = SimAction::Kind::Downtrain;
        a.switchIndex = ParseSwitchSlot(c.first, a.slot);
        if (c.second == "off") {
            if (!c.third.empty()) {
                throw UsageError("sim downtrain S:P off takes no WIDTH");
            }
            return a;
        }
        const std::optional<unsigned> speed = SpeedCode(c.second);
        if (!speed) {
            throw UsageError("bad SPEED '" + c.second +
                             "': the link speed in GT/s (2.5, 5, 8, 16, 32 or 64), or off");
        }
        const std::optional<uint64_t> width = ParseCount(c.third, 32);
        if (c.third.empty() || !width ||
            std::string(",1,2,4,8,12,16,32,").find("," + std::to_string(*width) + ",") ==
                std::string::npos) {
            throw UsageError("bad WIDTH '" + c.third + "': lanes, 1, 2, 4, 8, 12, 16 or 32");
        }
        a.speed = *speed;
        a.width = static_cast<unsigned>(*width);
        return a;
    }
    if (verb == "errors") {
        a.kind = SimAction::Kind::Errors;
        a.switchIndex = ParseSwitchSlot(c.first, a.slot);
        a.value = ParseErrorKinds(c.second);
        return a;
    }
    if (verb == "read" || verb == "write") {
        a.kind = verb == "read" ? SimAction::Kind::Read : SimAction::Kind::Write;
        a.pfa = ParsePfa(c.first);
        a.offset = ParseOffset(c.second);
        if (a.kind == SimAction::Kind::Write) {
            a.value = ParseValue(c.third);
        }
    } else if (verb == "wait") {
        a.kind = SimAction::Kind::Wait;
        const std::optional<uint64_t> ms = ParseCount(c.first, 3600000);
        if (!ms) {
            throw UsageError("bad MS '" + c.first + "': milliseconds, from 0 to 3600000");
        }
        a.ms = *ms;
    } else if (verb == "rebalance") {
        // SWITCH:SLOT (decimal, one colon) names a slot; anything else is a PFA.
        a.kind = SimAction::Kind::Rebalance;
        a.bySlot = c.first.find('.') == std::string::npos &&
                   c.first.find(':') != std::string::npos && c.first.rfind("0x", 0) != 0;
        if (a.bySlot) {
            a.switchIndex = ParseSwitchSlot(c.first, a.slot);
        } else {
            a.pfa = ParsePfa(c.first);
        }
        a.address = ParseAddress(c.second);
    } else if (verb == "readmem" || verb == "writemem") {
        a.kind = verb == "readmem" ? SimAction::Kind::ReadMem : SimAction::Kind::WriteMem;
        a.address = ParseAddress(c.first);
        if (a.kind == SimAction::Kind::WriteMem) {
            a.value = ParseValue(c.second);
        }
    } else {
        throw UsageError("unknown command '" + c.name + "'");
    }
    return a;
}

int Sim(Session& session, const Command& c) {
    const SimAction& a = c.sim;
    const uint32_t value = session.Simulate(a);
    const bool reads = a.kind == SimAction::Kind::Read || a.kind == SimAction::Kind::ReadMem;
    const bool writes = a.kind == SimAction::Kind::Write || a.kind == SimAction::Kind::WriteMem;
    if (session.JsonWanted()) {
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
            } else if (a.kind == SimAction::Kind::Downtrain) {
                j["speed"] = a.speed ? Json(SpeedText(a.speed)) : Json(nullptr);
                j["width"] = a.speed ? Json(a.width) : Json(nullptr);
            } else if (a.kind == SimAction::Kind::Errors) {
                j["errors"] = ErrorKindsText(a.value);
            } else if (a.kind != SimAction::Kind::Pull) {
                j["id"] = IdText(a.id);
            }
        }
        if (reads || writes) {
            j["value"] = JsonHex(reads ? value : a.value, 8);
        }
        session.Emit(j);
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
        what = (a.bySlot
                    ? "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot)
                    : FormatPfa(a.pfa)) +
               " to " + ShortHex(a.address);
    } else {
        what = "switch " + std::to_string(a.switchIndex) + " slot " + std::to_string(a.slot);
    }
    if (reads) {
        session.Out() << c.name << " " << what << ": " << Hex32(value) << "\n";
    } else if (writes) {
        session.Out() << c.name << " " << what << " := " << Hex32(a.value) << "\n";
    } else {
        session.Out() << c.name << " " << what;
        if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
            session.Out() << " " << IdText(a.id);
        } else if (a.kind == SimAction::Kind::Stuck) {
            session.Out() << (a.on ? " on" : " off");
        } else if (a.kind == SimAction::Kind::Downtrain) {
            session.Out() << (a.speed ? " " + LinkText(a.speed, a.width) : " off")
                          << ": from the next time its link trains";
        } else if (a.kind == SimAction::Kind::Errors) {
            session.Out() << " " << ErrorKindsText(a.value)
                          << ": from the next time its link comes up";
        }
        session.Out() << ": done\n";
    }
    return kExitOk;
}

void CheckSim(Command& c, bool) {
    c.sim = ParseSimAction(c);
}

void SlotOperand(CLI::App& command, Command& c, bool) {
    command.add_option("SWITCH:SLOT", c.first)->required();
}

void SlotAndDrive(CLI::App& command, Command& c, bool) {
    command.add_option("SWITCH:SLOT", c.first)->required();
    command.add_option("VENDOR:DEVICE", c.second)->required();
}

void StuckOperands(CLI::App& command, Command& c, bool) {
    command.add_option("SWITCH:SLOT", c.first)->required();
    command.add_option("STATE", c.second, "on or off")->required();
}

void DowntrainOperands(CLI::App& command, Command& c, bool) {
    command.add_option("SWITCH:SLOT", c.first)->required();
    command.add_option("SPEED", c.second, "the link speed in GT/s: 2.5, 5, 8, 16, 32, 64; or off")
        ->required();
    command.add_option("WIDTH", c.third, "lanes: 1, 2, 4, 8, 12, 16, 32");
}

void ErrorsOperands(CLI::App& command, Command& c, bool) {
    command.add_option("SWITCH:SLOT", c.first)->required();
    command
        .add_option("ERRORS", c.second,
                    "correctable, non-fatal, fatal, unsupported (several with commas), or off")
        ->required();
}

void ReadOperands(CLI::App& command, Command& c, bool) {
    command.add_option("PFA", c.first)->required();
    command.add_option("OFFSET", c.second, "hexadecimal, a multiple of 4")->required();
}

void WriteOperands(CLI::App& command, Command& c, bool) {
    command.add_option("PFA", c.first)->required();
    command.add_option("OFFSET", c.second)->required();
    command.add_option("VALUE", c.third)->required();
}

void AddressOperand(CLI::App& command, Command& c, bool) {
    command.add_option("ADDRESS", c.first)->required();
}

void RebalanceOperands(CLI::App& command, Command& c, bool) {
    command.add_option("TARGET", c.first, "SWITCH:SLOT or PFA")->required();
    command.add_option("ADDRESS", c.second, "the new BAR0")->required();
}

void WaitOperand(CLI::App& command, Command& c, bool) {
    command.add_option("MS", c.first, "milliseconds")->required();
}

void WriteMemOperands(CLI::App& command, Command& c, bool) {
    command.add_option("ADDRESS", c.first)->required();
    command.add_option("VALUE", c.second)->required();
}

}  // namespace

std::vector<CommandSpec> SimCommands() {
    return {
        {"sim pull", "pull the drive out of SWITCH:SLOT", nullptr, true, SlotOperand, CheckSim,
         Sim},
        {"sim insert", "insert a drive fresh from reset", nullptr, true, SlotAndDrive, CheckSim,
         Sim},
        {"sim replace", "swap the drive in a slot for another", nullptr, true, SlotAndDrive,
         CheckSim, Sim},
        {"sim stuck", "make a port's Link Disable stick, or not", nullptr, true, StuckOperands,
         CheckSim, Sim},
        {"sim downtrain",
         "from the next time the slot's link trains, train no faster and no wider, as over a "
         "marginal connector (off: as both ends can)",
         nullptr, true, DowntrainOperands, CheckSim, Sim},
        {"sim errors",
         "from the next time the slot's link comes up, its drive records these errors in Device "
         "Status each time, as over a marginal link (off: none)",
         nullptr, true, ErrorsOperands, CheckSim, Sim},
        {"sim read", "a configuration dword as the hardware holds it", nullptr, true, ReadOperands,
         CheckSim, Sim},
        {"sim write", "store a configuration dword", nullptr, true, WriteOperands, CheckSim, Sim},
        {"sim readmem", "a dword of physical memory", nullptr, true, AddressOperand, CheckSim, Sim},
        {"sim rebalance",
         "move a drive (SWITCH:SLOT) or a function's BAR0 (PFA) and the windows above it, as "
         "Windows' rebalance does",
         nullptr, true, RebalanceOperands, CheckSim, Sim},
        {"sim wait", "let the simulated machine's time pass", nullptr, true, WaitOperand, CheckSim,
         Sim},
        {"sim writemem", "store a dword in a device page", nullptr, true, WriteMemOperands,
         CheckSim, Sim},
    };
}

}  // namespace corvaxctl
