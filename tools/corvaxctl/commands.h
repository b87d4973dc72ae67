// corvaxctl: the table of commands. Each family of commands keeps its rows, options and
// helpers in its own file (queries.cpp, link_control.cpp, cycle.cpp, sim_commands.cpp); this
// table joins them, and the command line, the script reader and the session all go by it. A
// reader who knows a command's name finds its row, and its row names its family's file.
#ifndef CORVAXCTL_COMMANDS_H
#define CORVAXCTL_COMMANDS_H

#include <string>
#include <vector>

#include "tools/corvaxctl/command_line.h"

namespace CLI {
class App;
}

namespace corvaxctl {

class Session;

struct CommandSpec {
    const char* name;  // "table"; "sim pull" for an action of the simulated machine
    // The description --help gives; a second one for the real device when it differs there.
    const char* summary;
    const char* windowsSummary;
    bool simulatedOnly;  // offered only where there is a simulated machine
    // Registers the command's operands and options on its subcommand; may be null.
    void (*options)(CLI::App& command, Command& c, bool simulated);
    // Checks the operands and fills the checked fields of c; UsageError naming the first bad
    // one. Nothing here needs the driver or the machine. May be null.
    void (*check)(Command& c, bool simulated);
    int (*run)(Session& session, const Command& c);
};

// Every command, family by family, in the order --help lists them.
const std::vector<CommandSpec>& Commands();
// The row of a command by its name; null for none.
const CommandSpec* FindCommand(const std::string& name);

// The families' rows.
std::vector<CommandSpec> QueryCommands();
std::vector<CommandSpec> LinkControlCommands();
std::vector<CommandSpec> CycleCommands();
std::vector<CommandSpec> SimCommands();

}  // namespace corvaxctl

#endif  // CORVAXCTL_COMMANDS_H
