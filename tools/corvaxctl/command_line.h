// corvaxctl: the command line. One parser for the program's arguments and for each line of a
// script, so that a script line reads exactly like a command.
#ifndef CORVAXCTL_COMMAND_LINE_H
#define CORVAXCTL_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace corvaxctl {

struct GlobalOptions {
    std::string fabric;
    bool json = false;
    bool log = false;
    bool stats = false;
};

// One command as written; the operands are checked when it runs.
struct Command {
    std::string name;                      // "table", "sim read", "script", ...
    std::string first, second, third;      // positional operands in order
    std::vector<std::string> list;         // set-ids vendors, hotswap events
    std::optional<std::string> inHex;      // ioctl --in
    std::optional<std::string> outLength;  // ioctl --out-len
    std::optional<std::string> settleMs;   // hotswap, wait --settle
    std::optional<std::string> trainMs;    // hotswap, wait --train-ms
    std::optional<std::string> expect;     // hotswap, wait --expect
    bool force = false;                    // disable, hotswap --force
};

// Registers every command on app. The script command only at the top level.
void AddCommands(CLI::App& app, Command& command, bool withScript);
// The name of the command that app parsed ("sim pull" for a sim action).
std::string ParsedCommandName(const CLI::App& app);

// Splits a script line into words; a '#' starts a comment.
std::vector<std::string> ScriptWords(const std::string& line);

}  // namespace corvaxctl

#endif  // CORVAXCTL_COMMAND_LINE_H
