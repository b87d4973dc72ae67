// The concurrency stress. Several callers, each on its own handle, send every kind of request
// (the 28 codes and unknown ones, all lengths, buffered and direct, failing output mappings)
// while another thread pulls, inserts and replaces drives and sticks and frees links. After
// every request its status must be one that request can give, and, taken between requests
// under the driver's own request lock, the registry must keep its invariants with no mapping
// alive. At the end the fabric must have seen no configuration pair split by another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tests/fuzz/control_checks.h"

namespace {

constexpr int kCallers = 8;
constexpr int kRequestsPerCaller = 300;

// The registry between requests: the request lock keeps every handler out meanwhile.
std::string CheckBetweenRequests(sim::Fabric& fabric) {
    KernRequestLockAcquire();
    const auto* e =
        static_cast<const corvax::DeviceExtension*>(sim::Kernel::Get().ControlDeviceExtension());
    std::string problem = hardening::CheckRegistry(*e, false);
    const sim::MappingCounters m = sim::Kernel::Get().Mappings();
    if (problem.empty() && (m.liveIoSpace != 0 || m.liveMdls != 0 || m.liveViews != 0)) {
        problem = "a mapping is alive between requests";
    }
    KernRequestLockRelease();
    if (problem.empty()) {
        problem = hardening::CheckMachineShared(fabric);
    }
    return problem;
}

std::string Caller(int id, sim::Fabric& fabric, const std::vector<uint16_t>& pfas) {
    std::mt19937 random(1000 + id);
    const sim::Handle handle = sim::Kernel::Get().Open("\\\\.\\CorvaxDev");
    if (handle == sim::kInvalidHandle) {
        return "the control device does not open";
    }
    static const uint32_t kOutputs[] = {0, 3, 4, 8, 12, 256, 512, 1024, 1800, 2100};
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    std::string problem;
    for (int i = 0; i < kRequestsPerCaller && problem.empty(); ++i) {
        uint32_t code = hardening::kControlCodes[random() % 28];
        if (random() % 10 == 0) {
            code = (code & ~3u) | ((code + 1 + random() % 3) & 3u);  // another method
        }
        input.assign(random() % 3 == 0 ? random() % 12 : 8, 0);
        for (uint8_t& b : input) {
            b = static_cast<uint8_t>(random());
        }
        if (input.size() >= 4 && !pfas.empty() && random() % 2 == 0) {
            const uint32_t pfa = pfas[random() % pfas.size()];
            std::memcpy(input.data(), &pfa, 4);
        }
        if ((code == CORVAX_SET_DEVICE_ID_LIST || code == PLX_SET_DEVICE_ID_LIST) &&
            random() % 2 == 0) {
            // Keep the listed vendors mostly listed, so restores and alignments still happen.
            const uint32_t list[] = {0x1F0A, 0x8086, 0x144D, 0};
            input.assign(reinterpret_cast<const uint8_t*>(list),
                         reinterpret_cast<const uint8_t*>(list) + sizeof(list));
        }
        const uint32_t outputLength = kOutputs[random() % 10];
        output.assign(outputLength, 0xCC);
        sim::IoOptions options;
        options.mdlFlags = static_cast<uint16_t>((random() % 4 == 0) ? 1 : 0);
        options.failMdlMapping = random() % 8 == 0;
        const sim::IoResult r = sim::Kernel::Get().DeviceIoControl(
            handle, code, input.empty() ? nullptr : input.data(),
            static_cast<uint32_t>(input.size()), output.empty() ? nullptr : output.data(),
            outputLength, options);
        problem = hardening::CheckStatus(code, static_cast<uint32_t>(input.size()), outputLength,
                                         options, r);
        if (problem.empty()) {
            problem = CheckBetweenRequests(fabric);
        }
    }
    sim::Kernel::Get().Close(handle);
    return problem;
}

class ConcurrencyStress : public ::testing::TestWithParam<size_t> {
  protected:
    void TearDown() override {
        sim::Kernel::Get().UnloadDriver();
        sim::Kernel::Get().AttachFabric(nullptr);
        sim::Kernel::Get().Reset();
    }
};

TEST_P(ConcurrencyStress, CallersAndHotSwapKeepEverythingIntact) {
    const hardening::Example& example = hardening::Examples()[GetParam()];
    sim::Fabric fabric(example.description);
    sim::Kernel::Get().Reset();
    sim::Kernel::Get().AttachFabric(&fabric);
    ASSERT_EQ(sim::Kernel::Get().LoadDriver(), KERN_STATUS_SUCCESS);
    sim::Kernel::Get().ClearLog();

    const hardening::WriteTargets targets = hardening::TargetsOf(fabric);
    std::vector<uint16_t> pfas(targets.drives.begin(), targets.drives.end());
    pfas.insert(pfas.end(), targets.ports.begin(), targets.ports.end());

    std::atomic<bool> done{false};
    std::atomic<uint64_t> events{0};
    std::thread hardware([&] {
        std::mt19937 random(7);
        const auto fresh = sim::DriveDescription::Make(0x1F0A, 0x0710).WithMsix(0x2000, 32);
        const auto other = sim::DriveDescription::Make(0x8086, 0x0A54).WithMsix(0x2000, 8);
        while (!done.load()) {
            const unsigned switches = fabric.SwitchCount();
            if (switches == 0) {
                break;
            }
            const unsigned sw = random() % switches;
            const unsigned slot = random() % sim::SlotCount(fabric.ModelOf(sw));
            try {
                switch (random() % 4) {
                    case 0:
                        if (fabric.DrivePresent(sw, slot)) {
                            fabric.Pull(sw, slot);
                        }
                        break;
                    case 1:
                        if (!fabric.DrivePresent(sw, slot)) {
                            fabric.Insert(sw, slot, fresh);
                        }
                        break;
                    case 2:
                        fabric.Replace(sw, slot, random() % 2 ? fresh : other);
                        break;
                    default:
                        fabric.SetStuck(sw, slot, random() % 3 == 0);
                        break;
                }
                ++events;
            } catch (const std::logic_error&) {
                // A slot this machine has no port for.
            }
            std::this_thread::yield();
        }
    });

    std::vector<std::string> problems(kCallers);
    std::vector<std::thread> callers;
    for (int id = 0; id < kCallers; ++id) {
        callers.emplace_back([&, id] { problems[id] = Caller(id, fabric, pfas); });
    }
    for (std::thread& t : callers) {
        t.join();
    }
    done = true;
    hardware.join();

    for (int id = 0; id < kCallers; ++id) {
        EXPECT_EQ(problems[id], "") << "caller " << id << " on " << example.name;
    }
    const sim::Counters c = fabric.GetCounters();
    EXPECT_EQ(c.interleaveViolations, 0u);
    EXPECT_GT(c.portPairs, 0u);
    EXPECT_EQ(sim::Kernel::Get().GetViolations().Total(), 0u);
    EXPECT_TRUE(fabric.Faults().Empty());
    const sim::MappingCounters m = sim::Kernel::Get().Mappings();
    EXPECT_EQ(m.liveIoSpace + m.liveMdls + m.liveViews, 0);
    if (fabric.SwitchCount() != 0) {
        EXPECT_GT(events.load(), 0u);
    }
}

std::string ExampleName(const ::testing::TestParamInfo<size_t>& param) {
    std::string name = hardening::Examples()[param.param].name;
    for (char& c : name) {
        c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, ConcurrencyStress,
                         ::testing::Range<size_t>(0, hardening::Examples().size()), ExampleName);

}  // namespace
