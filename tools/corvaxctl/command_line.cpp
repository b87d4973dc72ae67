// corvaxctl: commands and their operands as CLI11 sees them, and the checks of every operand.
#include "tools/corvaxctl/command_line.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tools/corvaxctl/commands.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {
namespace {

const char kOnlySimulated[] = "; this build talks to the real device";

bool ParseOnOff(const std::string& text) {
    if (text == "on") {
        return true;
    }
    if (text == "off") {
        return false;
    }
    throw UsageError("bad STATE '" + text + "': on or off");
}

// How many single-character edits turn a into b.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "; did you mean 'enable'?" for the name nearest a mistyped one, when one is near enough: at
// most two edits (one for a short word), or the word is the start of one name only.
std::string Suggestion(const std::string& word, const std::vector<std::string>& names,
                       const std::string& prefix = "") {
    std::string best;
    size_t distance = std::string::npos;
    std::vector<std::string> starting;
    for (const std::string& name : names) {
        const size_t d = EditDistance(word, name);
        if (d < distance) {
            distance = d;
            best = name;
        }
        if (word.size() >= 2 && name.rfind(word, 0) == 0) {
            starting.push_back(name);
        }
    }
    if (distance <= (word.size() <= 4 ? 1u : 2u)) {
        return "; did you mean '" + prefix + best + "'?";
    }
    if (starting.size() == 1) {
        return "; did you mean '" + prefix + starting.front() + "'?";
    }
    return "";
}

}  // namespace

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

void AddGlobalOptions(CLI::App& app, GlobalOptions& options, bool simulated) {
    if (simulated) {
        app.add_option("--fabric", options.fabric,
                       "JSON description of the simulated machine (default: the built-in one)");
    }
    app.add_flag("--json", options.json, "one JSON object per line");
    app.add_flag("--version", "corvaxctl's own version (`version` asks the driver for its)");
    if (simulated) {
        app.add_flag("--log", options.log, "the driver's debug lines (stderr, or `log` in JSON)");
        app.add_flag("--stats", options.stats,
                     "what each command cost the hardware (stderr, or `stats` in JSON)");
        app.add_flag("--load-event", options.loadEvent,
                     "first say which machine was built and how the driver numbered its switches "
                     "(a line, or the `load` object in JSON)");
    }
}

void AddWaitOptions(CLI::App& command, Command& c, bool withExpect) {
    command.add_option("--settle", c.settleMs,
                       "the longest wait in ms (default 2000: training and the second a drive "
                       "may take)");
    command.add_option("--train-ms", c.trainMs,
                       "the link training time to allow for before the first read, in ms "
                       "(default 100); reads start 100 ms after it");
    if (!withExpect) {
        return;
    }
    command.add_option("--expect", c.expect,
                       "SWITCH:SLOT,... further slots to wait for (the switch and slot numbers "
                       "of `table` and `switches`), e.g. drives inserted into empty slots");
}

void CheckWaitOptions(Command& c) {
    c.settle.settleMs = ParseMs(c.settleMs, c.settle.settleMs, "--settle");
    c.settle.trainMs = ParseMs(c.trainMs, c.settle.trainMs, "--train-ms");
    if (c.expect) {
        c.expectSlots = ParseSlotList(*c.expect);
    }
}

void AddCommands(CLI::App& app, Command& c, bool withScript, bool simulated) {
    app.require_subcommand(1);
    // Commands named with two words ("sim pull") are subcommands of their first word's.
    static const struct {
        const char* name;
        const char* summary;
    } kGroups[] = {{"sim", "act on the simulated hardware"}};
    std::map<std::string, CLI::App*> groups;
    for (const CommandSpec& spec : Commands()) {
        if (spec.simulatedOnly && !simulated) {
            continue;
        }
        const std::string name = spec.name;
        const std::string summary =
            !simulated && spec.windowsSummary != nullptr ? spec.windowsSummary : spec.summary;
        CLI::App* command;
        const size_t space = name.find(' ');
        if (space == std::string::npos) {
            command = app.add_subcommand(name, summary);
        } else {
            const std::string group = name.substr(0, space);
            CLI::App*& parent = groups[group];
            if (parent == nullptr) {
                std::string about;
                for (const auto& g : kGroups) {
                    about = group == g.name ? g.summary : about;
                }
                parent = app.add_subcommand(group, about);
                parent->require_subcommand(1);
            }
            command = parent->add_subcommand(name.substr(space + 1), summary);
        }
        if (spec.options != nullptr) {
            spec.options(*command, c, simulated);
        }
    }
    if (withScript) {
        app.add_subcommand("script", "run one command per line of FILE (- for standard input)")
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
        if (!simulated && w == "--load-event") {
            throw UsageError(std::string("--load-event tells of the simulated machine's load") +
                             kOnlySimulated);
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
        if (!simulated && (w == "hotswap" || w == "cycle")) {
            // An operand that is no option's value can only be a simulated event.
            for (size_t k = i + 1; k < words.size(); ++k) {
                const std::string& v = words[k];
                if (v == "--settle" || v == "--train-ms" || v == "--expect" || v == "--count" ||
                    v == "--down-ms" || v == "--record") {
                    ++k;
                } else if (!v.empty() && v[0] != '-') {
                    throw UsageError(w == "hotswap"
                                         ? "hotswap events act on the simulated machine; on this "
                                           "host swap the drives by hand when asked"
                                         : "cycle events act on the simulated machine; on this "
                                           "host the cycle runs unattended, without swaps");
                }
            }
        }
        std::vector<std::string> names;
        CLI::App* group = nullptr;
        for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
            names.push_back(sub->get_name());
            group = sub->get_name() == w ? sub : group;
        }
        if (group == nullptr) {
            throw CommandLineError("unknown command '" + w + "'" + Suggestion(w, names));
        }
        // An action of a group ("sim pull") is looked at the same way.
        const std::vector<CLI::App*> actions =
            group->get_subcommands([](CLI::App*) { return true; });
        if (!actions.empty()) {
            size_t k = i + 1;
            while (k < words.size() && !words[k].empty() && words[k][0] == '-') {
                ++k;
            }
            std::vector<std::string> verbs;
            bool known = k >= words.size();
            for (const CLI::App* action : actions) {
                verbs.push_back(action->get_name());
                known = known || action->get_name() == words[k];
            }
            if (!known) {
                throw CommandLineError("unknown command '" + w + " " + words[k] + "'" +
                                       Suggestion(words[k], verbs, w + " "));
            }
        }
        break;
    }
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    app.parse(reversed);
}

void CheckOperands(Command& c, bool simulated) {
    const CommandSpec* spec = FindCommand(c.name);
    if (spec == nullptr) {
        return;  // script: its file is read by the caller
    }
    if (spec->simulatedOnly && !simulated) {
        throw UsageError("'" + c.name + "' acts on the simulated machine" + kOnlySimulated);
    }
    if (spec->check != nullptr) {
        spec->check(c, simulated);
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
