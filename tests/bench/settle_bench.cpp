// How long the wait after a link cycle lasts on each example machine, on the machine's own
// clock, against the least it could last: the later of the moment the slowest drive first
// answers and the first read the rules allow (the assumed training time plus 100 ms after the
// enable). A wait that polls every beat ends within one beat (and the reads of that beat) of
// it; the figures show by how much, and that no request reached a drive early.
//
//   settle_bench [FABRIC.json...]   (default: the example machines)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/kernel/sim_kernel.h"
#include "sim/pci/fabric.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/transport.h"

namespace {

using corvaxctl::Reply;

std::string Ms(uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(us) / 1000.0);
    return text;
}

Reply ReadConfig(corvaxctl::Transport& t, uint16_t pfa) {
    const std::vector<uint8_t> input = {static_cast<uint8_t>(pfa), static_cast<uint8_t>(pfa >> 8),
                                        0, 0};
    return t.Send(CORVAX_READ_CONFIG, input, CORVAX_CONFIG_SIZE);
}

// One cycle on one machine; false when something did not hold.
bool Measure(const std::string& path) {
    corvaxctl::Transport t(corvaxctl::TransportOptions{path});
    sim::Fabric& fabric = *sim::Kernel::Get().AttachedFabric();
    const std::vector<BridgeApInfo> bridges =
        corvaxctl::DecodeBridges(t.Send(PLX_QUERY_PCI, {}, CORVAX_QUERY_PCI_SIZE).output);
    const std::vector<corvaxctl::SettleSlot> slots = corvaxctl::SlotsHoldingDrives(bridges);
    const std::vector<uint16_t> upstream = t.Machine()->upstream;
    if (slots.empty()) {
        std::printf("%s: no drive behind a switch\n", path.c_str());
        return false;
    }
    // What one read costs on the clock, while every drive answers.
    const uint64_t before = t.ClockUs();
    ReadConfig(t, slots.front().pfa);
    const uint64_t readUs = t.ClockUs() - before;

    fabric.ResetCounters();
    t.Send(CORVAX_DISABLE_BRIDGE, {}, 0);
    t.Send(CORVAX_ENABLE_BRIDGE, {}, 0);
    const uint64_t enabled = t.ClockUs();
    uint64_t slowest = enabled;
    for (const corvaxctl::SettleSlot& s : slots) {
        const auto sw = std::find(upstream.begin(), upstream.end(), bridges[s.record].bdgPFA);
        if (const std::optional<uint64_t> at =
                fabric.AnswersFrom(static_cast<unsigned>(sw - upstream.begin()), s.slot)) {
            slowest = std::max(slowest, *at);
        }
    }
    const corvaxctl::SettleOptions options;
    const corvaxctl::SettleResult r =
        corvaxctl::Settle(t, slots, options, [&](uint16_t pfa) { return ReadConfig(t, pfa); });
    t.Send(CORVAX_RESCAN_RESTORE, {}, 0);
    const uint64_t limit = std::max(slowest, r.firstPollUs);
    const uint64_t early = fabric.GetCounters().earlyConfig;
    const long long over = static_cast<long long>(r.endUs) - static_cast<long long>(limit);
    std::string name = path.substr(path.find_last_of('/') + 1);
    std::printf("%-24s %5u/%-5zu %10s %10s %10s %10s %9s%s %8u %5llu\n", name.c_str(), r.Answered(),
                r.slots.size(), Ms(slowest - enabled).c_str(), Ms(r.firstPollUs - enabled).c_str(),
                Ms(limit - enabled).c_str(), Ms(r.endUs - enabled).c_str(), over < 0 ? "-" : "",
                Ms(static_cast<uint64_t>(over < 0 ? -over : over)).c_str(), r.reads,
                static_cast<unsigned long long>(early));
    return r.AllAnswered() && early == 0 && r.endUs >= slowest &&
           r.endUs <= limit + options.pollMs * 1000 + readUs * r.slots.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths(argv + 1, argv + argc);
    if (paths.empty()) {
        for (const auto& entry : std::filesystem::directory_iterator(
                 std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics")) {
            if (entry.path().extension() == ".json") {
                paths.push_back(entry.path().string());
            }
        }
        std::sort(paths.begin(), paths.end());
    }
    std::printf(
        "times in ms after the enable; limit = later of the slowest answer and the first "
        "read; beat %llu ms\n",
        static_cast<unsigned long long>(corvaxctl::SettleOptions().pollMs));
    std::printf("%-24s %11s %10s %10s %10s %10s %10s %8s %5s\n", "fabric", "answered", "slowest",
                "first read", "limit", "ended", "over", "reads", "early");
    bool ok = true;
    for (const std::string& path : paths) {
        ok = Measure(path) && ok;
    }
    return ok ? 0 : 1;
}
