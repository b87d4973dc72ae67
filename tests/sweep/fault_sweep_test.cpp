// The fault sweep. For each example machine and each of four operations (the load, an update,
// a rescan and restore after a link cycle, a link disable/enable cycle), a clean run first
// counts the operation's hardware accesses and mapping steps; then every one of them in turn is
// made to fail on a fresh machine (a configuration or physical read answers all-ones, a
// configuration or physical write is dropped, an I/O-space mapping, descriptor list or view
// cannot be had) and the operation must still end with a status it may give, the registry's
// invariants, no mapping left, and nothing written where it must not be. The machines take the
// time of real hardware: before the rescan and restore the links have trained and the drives
// answer, so that the restore has headers to write.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "driver/control/corvax_ioctl.h"
#include "tests/fuzz/control_machine.h"

namespace {

using hardening::Machine;

// The example machines (a test below holds this to their number, so that a new example is
// swept too).
constexpr size_t kExamples = 6;

enum class Operation { Load, Update, RescanRestore, LinkCycle };

const char* Name(Operation op) {
    switch (op) {
        case Operation::Load:
            return "load";
        case Operation::Update:
            return "update";
        case Operation::RescanRestore:
            return "rescan-restore";
        default:
            return "link-cycle";
    }
}

// The seven places a single failure can be put.
enum class Fault { ConfigRead, ConfigWrite, PhysicalRead, PhysicalWrite, IoSpace, Mdl, View };
constexpr int kFaultKinds = 7;
const char* const kFaultNames[kFaultKinds] = {
    "config read", "config write",    "physical read", "physical write",
    "I/O space",   "descriptor list", "view"};

struct Counts {
    uint64_t n[kFaultKinds] = {};
};

Counts Snapshot(sim::Fabric& f) {
    const sim::Counters c = f.GetCounters();
    const sim::MappingCounters m = sim::Kernel::Get().Mappings();
    Counts out;
    out.n[0] = c.configReads;
    out.n[1] = c.configWrites;
    out.n[2] = c.physicalReads;
    out.n[3] = c.physicalWrites;
    out.n[4] = m.ioSpaceMaps;
    out.n[5] = m.mdlAllocations;
    out.n[6] = m.viewMaps;
    return out;
}

void Arm(Machine& m, int kind, uint64_t nth) {
    if (kind < 4) {
        m.Fabric().FailAccess(static_cast<sim::AccessFault>(kind), nth);
    } else {
        sim::Kernel::Get().FailMapping(static_cast<sim::MapStep>(kind - 4), static_cast<int>(nth));
    }
}

std::string Send(Machine& m, uint32_t code) {
    const std::string problem = m.Request(code, nullptr, 0, 0, sim::IoOptions(), 0);
    return problem.empty() ? problem : "request 0x" + std::to_string(code) + ": " + problem;
}

class FaultSweep : public ::testing::TestWithParam<std::tuple<size_t, Operation>> {
  protected:
    // A machine at the point where the operation starts. The load starts from nothing; the
    // others from the image of a clean load on a fresh fabric, in one machine kept for the
    // whole test (loading again for every case would cost far more than the case).
    Machine& Prepare(size_t example, Operation op, std::string* problem) {
        const sim::FabricDescription& d = hardening::Examples()[example].description;
        if (op == Operation::Load || !machine_) {
            machine_.reset();
            machine_ = std::make_unique<Machine>(d);
            if (op == Operation::Load) {
                return *machine_;
            }
            *problem = machine_->Load();
            if (problem->empty()) {
                *problem = machine_->Capture(d, &image_);
            }
            if (!problem->empty()) {
                return *machine_;
            }
        }
        machine_->Restore(d, image_);
        if (op == Operation::RescanRestore) {
            // Drives come back from a link cycle with their BAR0 cleared: the restore has
            // headers to write.
            *problem = Send(*machine_, PLX_DISABLE);
            if (problem->empty()) {
                *problem = Send(*machine_, PLX_ENABLE);
            }
            // The links train and the drives start before anyone rescans, as a client waits.
            machine_->WaitForDrives();
        }
        return *machine_;
    }

    std::string Run(Machine& m, Operation op) {
        switch (op) {
            case Operation::Load:
                return m.Load();
            case Operation::Update:
                return Send(m, CORVAX_UPDATE);
            case Operation::RescanRestore:
                return Send(m, PLX_RESCAN_RESTORE);
            default: {
                std::string problem = Send(m, CORVAX_DISABLE_BRIDGE);
                return problem.empty() ? Send(m, CORVAX_ENABLE_BRIDGE) : problem;
            }
        }
    }

    void TearDown() override { machine_.reset(); }

    std::unique_ptr<Machine> machine_;
    hardening::LoadImage image_;
};

TEST_P(FaultSweep, EveryAccessFailsOnceWithoutHarm) {
    const size_t example = std::get<0>(GetParam());
    const Operation op = std::get<1>(GetParam());

    // The clean run counts what the operation does.
    Counts total;
    {
        std::string setup;
        Machine& m = Prepare(example, op, &setup);
        ASSERT_EQ(setup, "");
        m.Fabric().ResetCounters();
        const Counts before = Snapshot(m.Fabric());
        ASSERT_EQ(Run(m, op), "");
        const Counts after = Snapshot(m.Fabric());
        for (int k = 0; k < kFaultKinds; ++k) {
            total.n[k] = after.n[k] - before.n[k];
        }
    }

    uint64_t cases = 0;
    for (int kind = 0; kind < kFaultKinds; ++kind) {
        for (uint64_t nth = 1; nth <= total.n[kind]; ++nth) {
            std::string setup;
            Machine& m = Prepare(example, op, &setup);
            ASSERT_EQ(setup, "");
            m.Fabric().ResetCounters();
            const Counts before = Snapshot(m.Fabric());
            Arm(m, kind, nth);
            const std::string problem = Run(m, op);
            ASSERT_EQ(problem, "")
                << hardening::Examples()[example].name << ", " << Name(op) << ", "
                << kFaultNames[kind] << " " << nth << " of " << total.n[kind] << " failing";
            // The failure really happened: the run reached the access it was put on.
            const bool fired =
                kind < 4 ? m.Fabric().AccessFaultFired(static_cast<sim::AccessFault>(kind))
                         : Snapshot(m.Fabric()).n[kind] - before.n[kind] >= nth;
            ASSERT_TRUE(fired) << kFaultNames[kind] << " " << nth << " was never reached";
            ++cases;
        }
    }
    std::printf("fault sweep %s / %s: %llu cases (", hardening::Examples()[example].name.c_str(),
                Name(op), static_cast<unsigned long long>(cases));
    for (int kind = 0; kind < kFaultKinds; ++kind) {
        std::printf("%s%s %llu", kind == 0 ? "" : ", ", kFaultNames[kind],
                    static_cast<unsigned long long>(total.n[kind]));
    }
    std::printf(")\n");
    EXPECT_GT(cases, 0u);
}

std::string CaseName(const ::testing::TestParamInfo<FaultSweep::ParamType>& info) {
    std::string name =
        hardening::Examples()[std::get<0>(info.param)].name + "_" + Name(std::get<1>(info.param));
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, FaultSweep,
                         ::testing::Combine(::testing::Range<size_t>(0, kExamples),
                                            ::testing::Values(Operation::Load, Operation::Update,
                                                              Operation::RescanRestore,
                                                              Operation::LinkCycle)),
                         CaseName);

TEST(FaultSweepExamples, EveryExampleIsSwept) {
    EXPECT_EQ(hardening::Examples().size(), kExamples);
}

}  // namespace
