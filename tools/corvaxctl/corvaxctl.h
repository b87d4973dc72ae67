// corvaxctl: the whole program behind main(), so that tests can run it in-process.
#ifndef CORVAXCTL_CORVAXCTL_H
#define CORVAXCTL_CORVAXCTL_H

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace corvaxctl {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitDriverStatus = 1;  // a request completed with an error status (reported)
constexpr int kExitUsage = 2;         // bad command line, operand, file or device
// cycle's own: the run ended and a slot failed its verdict in at least one cycle; the run could
// not go on (a request the cycle needs failed). 4 is left out: the harness that runs the
// shipped driver uses it for a broken kernel rule.
constexpr int kExitSlotFailed = 3;
constexpr int kExitRunStopped = 5;

class SystemDiskLocator;

// What a run may learn from where it runs.
struct Environment {
    bool terminal = false;  // standard error is a terminal: the wait shows its progress there
    // Where the system's disks are; null: this build's own way (see system_disk.h).
    SystemDiskLocator* locator = nullptr;
    // Which command line to offer: the simulated machine's (true) or the real device's
    // (false); none: this build's own. Tests of the host build ask for the real device's to
    // see what a Windows user sees; the requests still reach the transport that is linked in.
    std::optional<bool> simulated;
};

// Runs one command line (args without the program name). `in` feeds "script -" and the
// Enter of a hotswap on Windows.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err, const Environment& environment = Environment());

}  // namespace corvaxctl

#endif  // CORVAXCTL_CORVAXCTL_H
