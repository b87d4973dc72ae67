// What one control request costs on the simulated machine, per example fabric: the load, the
// requests that walk the whole topology (update, rescan and restore, the link cycle) and a
// plain query, each with the configuration and memory accesses it makes. The fuzzer's speed
// follows from these numbers, so they are printed rather than asserted.
//
//   control_bench [REPEATS [OPERATION]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tests/fuzz/control_machine.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Operation {
    const char* name;
    uint32_t code;
    uint32_t inputLength;
    uint32_t outputLength;
};

const Operation kOperations[] = {
    {"update", CORVAX_UPDATE, 0, 0},          {"rescan-restore", CORVAX_RESCAN_RESTORE, 0, 0},
    {"disable", CORVAX_DISABLE_BRIDGE, 0, 0}, {"enable", CORVAX_ENABLE_BRIDGE, 0, 0},
    {"query", CORVAX_QUERY, 0, 1800},         {"get-bitmap", CORVAX_GET_BITMAP, 0, 4},
};

void Row(const char* example, const char* operation, double micros, const sim::Counters& c) {
    std::printf("%-22s %-15s %10.1f %9llu %9llu %9llu\n", example, operation, micros,
                static_cast<unsigned long long>(c.configReads),
                static_cast<unsigned long long>(c.physicalReads),
                static_cast<unsigned long long>(c.portPairs));
}

sim::Counters Per(const sim::Counters& c, unsigned n) {
    sim::Counters out = c;
    out.configReads /= n;
    out.physicalReads /= n;
    out.portPairs /= n;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned repeats = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 200;
    const std::string only = argc > 2 ? argv[2] : "";
    if (repeats == 0) {
        std::fprintf(stderr, "usage: control_bench [REPEATS [OPERATION]]\n");
        return 2;
    }
    std::printf("%-22s %-15s %10s %9s %9s %9s\n", "fabric", "operation", "us/op", "config",
                "memory", "pairs");
    std::vector<uint8_t> output(4096);
    for (const hardening::Example& example : hardening::Examples()) {
        hardening::Machine machine(example.description);
        if (const std::string problem = machine.Load(); !problem.empty()) {
            std::fprintf(stderr, "%s: %s\n", example.name.c_str(), problem.c_str());
            return 1;
        }
        if (only.empty() || only == "load") {
            machine.Fabric().ResetCounters();
            const auto start = Clock::now();
            for (unsigned i = 0; i < repeats; ++i) {
                machine.Unload();
                const std::string problem = machine.Load();
                if (!problem.empty()) {
                    std::fprintf(stderr, "%s: %s\n", example.name.c_str(), problem.c_str());
                    return 1;
                }
            }
            const double micros =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            Row(example.name.c_str(), "load", micros / repeats,
                Per(machine.Fabric().GetCounters(), repeats));
        }
        for (const Operation& op : kOperations) {
            if (!only.empty() && only != op.name) {
                continue;
            }
            machine.Fabric().ResetCounters();
            const auto start = Clock::now();
            for (unsigned i = 0; i < repeats; ++i) {
                const std::string problem = machine.Request(op.code, nullptr, op.inputLength,
                                                            op.outputLength, sim::IoOptions(), 0);
                if (!problem.empty()) {
                    std::fprintf(stderr, "%s %s: %s\n", example.name.c_str(), op.name,
                                 problem.c_str());
                    return 1;
                }
            }
            const double micros =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            Row(example.name.c_str(), op.name, micros / repeats,
                Per(machine.Fabric().GetCounters(), repeats));
        }
    }
    return 0;
}
