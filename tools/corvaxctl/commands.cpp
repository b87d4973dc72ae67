// corvaxctl: the table of commands, joined from the families' rows.
#include "tools/corvaxctl/commands.h"

namespace corvaxctl {

const std::vector<CommandSpec>& Commands() {
    static const std::vector<CommandSpec> table = [] {
        std::vector<CommandSpec> all;
        for (std::vector<CommandSpec> family :
             {QueryCommands(), LinkControlCommands(), CycleCommands(), SimCommands()}) {
            all.insert(all.end(), family.begin(), family.end());
        }
        return all;
    }();
    return table;
}

const CommandSpec* FindCommand(const std::string& name) {
    for (const CommandSpec& spec : Commands()) {
        if (name == spec.name) {
            return &spec;
        }
    }
    return nullptr;
}

}  // namespace corvaxctl
