// corvaxctl: commands and their operands as CLI11 sees them, and the checks of every operand.
#include "tools/corvaxctl/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <CLI/CLI.hpp>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {
namespace {

CLI::App* Plain(CLI::App& app, const std::string& name, const std::string& description) {
    return app.add_subcommand(name, description);
}

void AddWaitOptions(CLI::App* command, Command& c) {
    command->add_option("--settle", c.settleMs,
                        "the longest wait in ms (default 2000: training and the second a drive "
                        "may take)");
    command->add_option("--train-ms", c.trainMs,
                        "the link training time to allow for before the first read, in ms "
                        "(default 100); reads start 100 ms after it");
    command->add_option("--expect", c.expect,
                        "SWITCH:SLOT,... further slots to wait for (the switch and slot numbers "
                        "of `table` and `switches`), e.g. drives inserted into empty slots");
}

const char kOnlySimulated[] = "; this build talks to the real device";

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
std::vector<SwapEvent> ParseEvents(const std::vector<std::string>& words) {
    std::vector<SwapEvent> events;
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
        a.switchIndex = ParseSwitchSlot(words[i + 1], a.slot);
        if (a.kind == SimAction::Kind::Insert || a.kind == SimAction::Kind::Replace) {
            a.id = ParseVendorDevice(words[i + 2]);
        } else if (a.kind == SimAction::Kind::Stuck) {
            a.on = ParseOnOff(words[i + 2]);
        }
        std::string text = verb;
        for (size_t k = 1; k <= operands; ++k) {
            text += " " + words[i + k];
        }
        events.push_back({a, text});
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

}  // namespace

void AddGlobalOptions(CLI::App& app, GlobalOptions& options, bool simulated) {
    if (simulated) {
        app.add_option("--fabric", options.fabric,
                       "JSON description of the simulated machine (default: the built-in one)");
    }
    app.add_flag("--json", options.json, "one JSON object per line");
    if (simulated) {
        app.add_flag("--log", options.log, "the driver's debug lines (stderr, or `log` in JSON)");
        app.add_flag("--stats", options.stats,
                     "what each command cost the hardware (stderr, or `stats` in JSON)");
    }
}

void AddCommands(CLI::App& app, Command& c, bool withScript, bool simulated) {
    app.require_subcommand(1);

    Plain(app, "version", "driver version (CORVAX_GET_VERSION)");
    Plain(app, "count", "number of drives (CORVAX_QUERY)");
    Plain(app, "model", "switch model present (CORVAX_QUERY_8618)");
    Plain(app, "on-bridge", "whether a function sits behind a switch (CORVAX_ON_BRIDGE)")
        ->add_option("PFA", c.first, "bus:device.function or hexadecimal PFA")
        ->required();
    Plain(app, "table", "drive table (CORVAX_GET_TABLE)");
    Plain(app, "switches", "the three switch records, original and current slots (PLX_QUERY_PCI)");
    Plain(app, "bitmap",
          "slots answering at their recorded address, per switch (CORVAX_GET_BITMAP)");
    Plain(app, "config", "256-byte configuration header of a drive (CORVAX_READ_CONFIG)")
        ->add_option("PFA", c.first, "bus:device.function or hexadecimal PFA")
        ->required();
    Plain(app, "update", "scan the topology again from scratch (CORVAX_UPDATE)");
    Plain(app, "rescan", "look at the switches' slots again (CORVAX_RESCAN)");
    Plain(app, "restore", "rescan, then write saved headers back (CORVAX_RESCAN_RESTORE)");
    Plain(app, "disable", "cut the link of every switch port (CORVAX_DISABLE_BRIDGE)")
        ->add_flag("--force", c.force,
                   "cut them even when Windows keeps its directory or a page file behind a switch");
    Plain(app, "enable", "bring every switch port's link back (CORVAX_ENABLE_BRIDGE)");
    CLI::App* led = Plain(app, "led", "set the LED field of one drive's port (CORVAX_SET_LED)");
    led->add_option("PFA", c.first, "the drive, as the last update recorded it")->required();
    led->add_option("TYPE", c.second, "0-3, or on (1), blink (2), off (3)")->required();
    Plain(app, "led-all", "set the LED field of every port to 3 (CORVAX_SET_LED_ALL)");
    Plain(app, "clear-cpm", "clear the CPM bit of every drive behind a switch (CORVAX_CLR_CPM)");
    Plain(app, "set-ids", "replace the accepted vendor list (CORVAX_SET_DEVICE_ID_LIST)")
        ->add_option("VENDOR", c.list, "hexadecimal vendor IDs, in order")
        ->required();

    CLI::App* hotswap =
        Plain(app, "hotswap",
              simulated ? "disable, swap the drives, enable, wait for them, rescan and restore, "
                          "then show what changed"
                        : "disable, wait while you swap the drives, enable, wait for them, "
                          "rescan and restore, then show what changed");
    if (simulated) {
        hotswap->add_option("EVENT", c.list,
                            "simulated events during the swap: pull S:P | insert S:P V:D | "
                            "replace S:P V:D | stuck S:P on|off");
    }
    AddWaitOptions(hotswap, c);
    hotswap->add_flag("--force", c.force,
                      "cut the links even when Windows keeps its directory or a page file "
                      "behind a switch");
    AddWaitOptions(
        Plain(app, "wait", "wait until the drives behind the switches answer again after enable"),
        c);
    Plain(app, "system-disks",
          "the PCI locations of the disks with the Windows directory and the page files");

    CLI::App* ioctl = Plain(app, "ioctl", "send any control request, as DeviceIoControl does");
    ioctl->add_option("CODE", c.first, "control code (hexadecimal) or its name")->required();
    ioctl->add_option("--in", c.inHex, "input bytes in order, as hexadecimal");
    ioctl->add_option("--out-len", c.outLength, "output buffer length in bytes (default 0)");

    if (simulated) {
        CLI::App* sim = Plain(app, "sim", "act on the simulated hardware");
        sim->require_subcommand(1);
        sim->add_subcommand("pull", "pull the drive out of SWITCH:SLOT")
            ->add_option("SWITCH:SLOT", c.first)
            ->required();
        CLI::App* insert = sim->add_subcommand("insert", "insert a drive fresh from reset");
        insert->add_option("SWITCH:SLOT", c.first)->required();
        insert->add_option("VENDOR:DEVICE", c.second)->required();
        CLI::App* replace = sim->add_subcommand("replace", "swap the drive in a slot for another");
        replace->add_option("SWITCH:SLOT", c.first)->required();
        replace->add_option("VENDOR:DEVICE", c.second)->required();
        CLI::App* stuck = sim->add_subcommand("stuck", "make a port's Link Disable stick, or not");
        stuck->add_option("SWITCH:SLOT", c.first)->required();
        stuck->add_option("STATE", c.second, "on or off")->required();
        CLI::App* read =
            sim->add_subcommand("read", "a configuration dword as the hardware holds it");
        read->add_option("PFA", c.first)->required();
        read->add_option("OFFSET", c.second, "hexadecimal, a multiple of 4")->required();
        CLI::App* write = sim->add_subcommand("write", "store a configuration dword");
        write->add_option("PFA", c.first)->required();
        write->add_option("OFFSET", c.second)->required();
        write->add_option("VALUE", c.third)->required();
        sim->add_subcommand("readmem", "a dword of physical memory")
            ->add_option("ADDRESS", c.first)
            ->required();
        CLI::App* rebalance = sim->add_subcommand(
            "rebalance",
            "move a drive (SWITCH:SLOT) or a function's BAR0 (PFA) and the windows above it, as "
            "Windows' rebalance does");
        rebalance->add_option("TARGET", c.first, "SWITCH:SLOT or PFA")->required();
        rebalance->add_option("ADDRESS", c.second, "the new BAR0")->required();
        sim->add_subcommand("wait", "let the simulated machine's time pass")
            ->add_option("MS", c.first, "milliseconds")
            ->required();
        CLI::App* writemem = sim->add_subcommand("writemem", "store a dword in a device page");
        writemem->add_option("ADDRESS", c.first)->required();
        writemem->add_option("VALUE", c.second)->required();
    }

    if (withScript) {
        Plain(app, "script", "run one command per line of FILE (- for standard input)")
            ->add_option("FILE", c.first)
            ->required();
    }
}

std::string ParsedCommandName(const CLI::App& app) {
    for (const CLI::App* sub : app.get_subcommands()) {
        std::string name = sub->get_name();
        for (const CLI::App* inner : sub->get_subcommands()) {
            name += " " + inner->get_name();
        }
        return name;
    }
    return "";
}

void ParseWords(CLI::App& app, const std::vector<std::string>& words, bool simulated) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (!simulated && (w == "--log" || w == "--stats")) {
            throw UsageError(
                "--log and --stats need the simulated machine; on Windows the driver's lines go "
                "to the kernel's debug output, which Windows shows only when allowed: see "
                "\"Seeing the driver's lines\" in INSTALL.txt");
        }
        if (!simulated && (w == "--fabric" || w.rfind("--fabric=", 0) == 0)) {
            throw UsageError(std::string("--fabric describes a simulated machine") +
                             kOnlySimulated);
        }
        if (w == "--fabric") {
            ++i;
            continue;
        }
        if (w.empty() || w[0] == '-') {
            continue;
        }
        if (!simulated && w == "sim") {
            throw UsageError(std::string("'sim' acts on the simulated machine") + kOnlySimulated);
        }
        if (!simulated && w == "hotswap") {
            // An operand that is no option's value can only be a simulated event.
            for (size_t k = i + 1; k < words.size(); ++k) {
                const std::string& v = words[k];
                if (v == "--settle" || v == "--train-ms" || v == "--expect") {
                    ++k;
                } else if (!v.empty() && v[0] != '-') {
                    throw UsageError(
                        "hotswap events act on the simulated machine; on this host swap the "
                        "drives by hand when asked");
                }
            }
        }
        bool known = false;
        for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
            known = known || sub->get_name() == w;
        }
        if (!known) {
            throw CommandLineError("unknown command '" + w + "'");
        }
        break;
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    app.parse(reversed);
}

void CheckOperands(Command& c, bool simulated) {
    const std::string& n = c.name;
    if (n == "on-bridge" || n == "config") {
        c.pfa = ParsePfa(c.first);
    } else if (n == "led") {
        c.pfa = ParsePfa(c.first);
        c.ledType = ParseLedType(c.second);
    } else if (n == "set-ids") {
        c.vendors = ParseVendors(c.list);
    } else if (n == "hotswap" || n == "wait") {
        c.events = ParseEvents(c.list);
        c.settle.settleMs = ParseMs(c.settleMs, c.settle.settleMs, "--settle");
        c.settle.trainMs = ParseMs(c.trainMs, c.settle.trainMs, "--train-ms");
        if (c.expect) {
            c.expectSlots = ParseSlotList(*c.expect);
        }
    } else if (n == "ioctl") {
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
    } else if (n.rfind("sim ", 0) == 0) {
        if (!simulated) {
            throw UsageError("'" + n + "' acts on the simulated machine" + kOnlySimulated);
        }
        c.sim = ParseSimAction(c);
    }
}

Command ParseScriptLine(const std::vector<std::string>& words, bool simulated) {
    CLI::App app("corvaxctl script line");
    Command command;
    AddCommands(app, command, false, simulated);
    ParseWords(app, words, simulated);
    command.name = ParsedCommandName(app);
    CheckOperands(command, simulated);
    return command;
}

std::vector<std::string> ScriptWords(const std::string& line) {
    std::istringstream text(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    std::string word;
    while (text >> word) {
        words.push_back(word);
    }
    return words;
}

std::string ReadNamedFile(const std::string& path, const std::string& what) {
    const std::string head = "cannot read " + what + " '" + path + "': ";
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw UsageError(head + "it is a folder, not a file");
    }
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw UsageError(head + std::strerror(errno));
    }
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, n);
    }
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        throw UsageError(head + std::strerror(reason));
    }
    return text;
}

unsigned ParseSwitchSlot(const std::string& text, unsigned& slot) {
    const size_t colon = text.find(':');
    std::optional<uint64_t> sw, sl;
    if (colon != std::string::npos) {
        sw = ParseCount(text.substr(0, colon), 2);
        sl = ParseCount(text.substr(colon + 1), 11);
    }
    if (!sw || !sl) {
        throw UsageError("bad SWITCH:SLOT '" + text +
                         "': give the switch number (0-2) and the slot index (0-11) as `table` "
                         "shows them, e.g. 0:3");
    }
    slot = static_cast<unsigned>(*sl);
    return static_cast<unsigned>(*sw);
}

}  // namespace corvaxctl
