// corvaxctl: the command line. One parser for the program's arguments and for each line of a
// script, so that a script line reads exactly like a command; and every operand checked before
// anything is sent, so that a bad one never leaves a half-done job behind.
#ifndef CORVAXCTL_COMMAND_LINE_H
#define CORVAXCTL_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/transport.h"

namespace CLI {
class App;
}

namespace corvaxctl {

struct GlobalOptions {
    std::string fabric;
    bool json = false;
    bool log = false;
    bool stats = false;
    bool loadEvent = false;  // the load of the simulated machine, as the first object
};

// A command line that names no command: answered with a pointer to --help.
class CommandLineError : public UsageError {
  public:
    using UsageError::UsageError;
};

// One simulated event of a hotswap, with its words as written.
struct SwapEvent {
    SimAction action;
    std::string text;  // "replace 0:1 1f0a:0710"
};

// One command as written, and its operands once checked.
struct Command {
    std::string name;                      // "table", "sim read", "script", ...
    std::string first, second, third;      // positional operands in order
    std::vector<std::string> list;         // set-ids vendors, hotswap events
    std::optional<std::string> inHex;      // ioctl --in
    std::optional<std::string> outLength;  // ioctl --out-len
    std::optional<std::string> settleMs;   // hotswap, wait --settle
    std::optional<std::string> trainMs;    // hotswap, wait --train-ms
    std::optional<std::string> expect;     // hotswap, wait --expect
    bool force = false;                    // disable, hotswap, cycle --force
    std::optional<std::string> count;      // cycle --count
    std::optional<std::string> downMs;     // cycle --down-ms
    std::optional<std::string> record;     // cycle --record
    bool stopOnFailure = false;            // cycle --stop-on-failure

    // What CheckOperands made of them.
    uint16_t pfa = 0;                                        // on-bridge, config, led
    uint32_t ledType = 0;                                    // led
    std::optional<std::pair<unsigned, unsigned>> ledSlot;    // led S:P: switch, slot
    std::vector<uint32_t> vendors;                           // set-ids, without the terminating 0
    std::vector<SwapEvent> events;                           // hotswap
    SettleOptions settle;                                    // hotswap, wait, cycle
    unsigned cycles = 10;                                    // cycle
    uint64_t downMsValue = 1000;                             // cycle
    std::vector<std::pair<unsigned, unsigned>> expectSlots;  // hotswap, wait: switch, slot
    uint32_t code = 0;                                       // ioctl
    std::vector<uint8_t> input;                              // ioctl
    uint32_t outputLength = 0;                               // ioctl
    SimAction sim;                                           // sim ...
};

// Registers the global options on app: --json always, the simulated machine's own options
// (--fabric, --log, --stats) only where there is one.
void AddGlobalOptions(CLI::App& app, GlobalOptions& options, bool simulated);
// Registers every command on app. The script command only at the top level; `sim` only where
// there is a simulated machine.
void AddCommands(CLI::App& app, Command& command, bool withScript, bool simulated);
// The name of the command that app parsed ("sim pull" for a sim action).
std::string ParsedCommandName(const CLI::App& app);

// Parses words (in order, without the program name) on app. A first word that names no command
// is reported as such (CommandLineError) rather than as CLI11's "subcommand required"; on the
// real device, what only the simulated machine has is refused with what to do instead
// (UsageError). Throws those or CLI11's errors (help included).
void ParseWords(CLI::App& app, const std::vector<std::string>& words, bool simulated);

// Checks every operand of a parsed command and fills the checked fields; UsageError naming the
// first bad one. Nothing here needs the driver or the machine.
void CheckOperands(Command& command, bool simulated);

// One line of a script, parsed and checked; UsageError or CLI11's errors.
Command ParseScriptLine(const std::vector<std::string>& words, bool simulated);

// Splits a script line into words; a '#' starts a comment.
std::vector<std::string> ScriptWords(const std::string& line);

// The whole of a file named on the command line ("-": standard input is the caller's to
// read). UsageError with the system's reason: "cannot read <what> 'x': No such file or
// directory", or that it is a folder.
std::string ReadNamedFile(const std::string& path, const std::string& what);

// "bad SWITCH:SLOT" and friends, shared with the simulated machine's own actions.
unsigned ParseSwitchSlot(const std::string& text, unsigned& slot);

// Operands more than one family takes.
// The events of a hotswap: a verb and its operands, one after the other.
std::vector<SwapEvent> ParseEvents(const std::vector<std::string>& words);
// A duration in milliseconds given on the command line; fallback when not given.
uint64_t ParseMs(const std::optional<std::string>& text, uint64_t fallback, const char* option);
// The options of the wait for the drives (--settle, --train-ms, and --expect unless the command
// finds its slots itself), and their checks.
void AddWaitOptions(CLI::App& command, Command& c, bool withExpect = true);
void CheckWaitOptions(Command& c);

}  // namespace corvaxctl

#endif  // CORVAXCTL_COMMAND_LINE_H
