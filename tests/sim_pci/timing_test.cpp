// Time in the simulated machine: what accesses and waits cost on its clock, links that take
// their time to train, drives that take theirs to answer, and configuration requests that come
// too soon after a link trained.
#include <gtest/gtest.h>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::PortRead;
using test::PortWrite;

constexpr uint64_t kMs = 1000;

// The small machine with times: the switch's links train in 30 ms, slot 1's in 70 ms; the
// drive in slot 0 answers 200 ms after its link trained, the one in slot 1 at once.
FabricDescription TimedMachine() {
    return FabricBuilder()
        .HostBridge(0x8086, 0x3E0F, 0xE0000001)
        .Onboard(1, DriveDescription::Make(0x144D, 0xA808).WithBar0(0xF7F00000).WithReadyMs(500))
        .Switch(SwitchModel::Plx8748, 3, 4, 0xF7C00000, 256)
        .LinkTrainMs(30)
        .Port(0, 5,
              DriveDescription::Make(0x1F0A, 0x0710)
                  .WithBar0(0xF7000000)
                  .WithMsix(0x2000, 32)
                  .WithReadyMs(200))
        .Port(1, 6, DriveDescription::Make(0x8086, 0x0A54).WithBar0(0xF7100000, 0x8000))
        .PortLinkTrainMs(70)
        .EmptyPort(2, 7)
        .Build();
}

class Clock : public ::testing::Test {
  protected:
    Fabric f{TimedMachine()};
};

TEST_F(Clock, StartsAtZeroWithEveryLinkTrainedAndEveryDriveAnswering) {
    EXPECT_EQ(f.ClockUs(), 0u);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x00), 0x0A548086u);
    EXPECT_EQ(PortRead(f, 1, 0, 0, 0x00), 0xA808144Du);
    EXPECT_NE(f.PeekConfig(4, 8, 0, 0x78) & reg::kDllLinkActive, 0u);
    EXPECT_EQ(f.GetCounters().earlyConfig, 0u);
}

struct CostCase {
    const char* name;
    void (*access)(Fabric&);
    uint64_t us;
};

class AccessCost : public ::testing::TestWithParam<CostCase> {};

TEST_P(AccessCost, EachAccessTheSoftwareMakesMovesTheClockByItsCost) {
    Fabric f(TimedMachine());
    const uint64_t before = f.ClockUs();
    GetParam().access(f);
    EXPECT_EQ(f.ClockUs() - before, GetParam().us);
}

INSTANTIATE_TEST_SUITE_P(
    Accesses, AccessCost,
    ::testing::Values(
        CostCase{"port_read", [](Fabric& f) { PortRead(f, 5, 0, 0, 0); }, kAccessCostUs},
        CostCase{"port_write", [](Fabric& f) { PortWrite(f, 5, 0, 0, 0x3C, 0); }, kAccessCostUs},
        CostCase{"port_read_of_nothing", [](Fabric& f) { PortRead(f, 0x70, 0, 0, 0); },
                 kAccessCostUs},
        CostCase{"latch_alone", [](Fabric& f) { f.WritePort(kConfigAddressPort, 0x80050000); }, 0},
        CostCase{"disabled_latch",
                 [](Fabric& f) {
                     f.WritePort(kConfigAddressPort, 0x00050000);
                     f.ReadPort(kConfigDataPort);
                 },
                 0},
        CostCase{"ecam_byte", [](Fabric& f) { f.ReadPhysical(test::EcamAddress(5, 0, 0, 1), 1); },
                 kAccessCostUs},
        CostCase{"ecam_write",
                 [](Fabric& f) { f.WritePhysical(test::EcamAddress(5, 0, 0, 0x3C), 1, 0); },
                 kAccessCostUs},
        CostCase{"memory_read", [](Fabric& f) { f.ReadPhysical(0xF7002000, 4); }, kAccessCostUs},
        CostCase{"memory_write", [](Fabric& f) { f.WritePhysical(0xF7002000, 4, 0); },
                 kAccessCostUs},
        CostCase{"stray_read", [](Fabric& f) { f.ReadPhysical(0x90000000, 4); }, kAccessCostUs},
        CostCase{"inspection",
                 [](Fabric& f) {
                     f.PeekConfig(5, 0, 0, 0);
                     f.PeekPhysical(0xF7002000, 4);
                     f.PokeConfig(5, 0, 0, 0x3C, 0);
                     f.PeekDriveBar0(5, 0x2000);
                     f.LinkUp(0, 0);
                 },
                 0},
        CostCase{"wait", [](Fabric& f) { f.Wait(12345); }, 12345},
        CostCase{"three_reads",
                 [](Fabric& f) {
                     for (int i = 0; i < 3; ++i)
                         PortRead(f, 4, 8, 0, 0x78);
                 },
                 3 * kAccessCostUs}),
    [](const ::testing::TestParamInfo<CostCase>& p) { return std::string(p.param.name); });

// One slot's link cut and released through Link Control, as the driver does it, with the
// moment of the release kept. Times in the tests count from that moment.
class Training : public ::testing::Test {
  protected:
    Fabric f{TimedMachine()};
    uint64_t released = 0;

    void Cycle(unsigned device) {
        const uint32_t v = PortRead(f, 4, device, 0, 0x78);
        PortWrite(f, 4, device, 0, 0x78, v | reg::kLinkDisable);
        PortWrite(f, 4, device, 0, 0x78, v & ~reg::kLinkDisable);
        released = f.ClockUs();
    }
    // The clock at released + us, for looking without an access.
    void At(uint64_t us) {
        ASSERT_LE(f.ClockUs(), released + us);
        f.Wait(released + us - f.ClockUs());
    }
    // A configuration read through the ports that happens at released + us.
    uint32_t ReadAt(uint64_t us, unsigned bus, unsigned dev, unsigned reg) {
        At(us - kAccessCostUs);
        return PortRead(f, bus, dev, 0, reg);
    }
};

TEST_F(Training, TheLinkComesUpAfterItsTrainingTimeAndDllLinkActiveFollows) {
    Cycle(8);
    EXPECT_FALSE(f.LinkUp(0, 0));
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x78) & reg::kDllLinkActive, 0u);
    EXPECT_EQ(f.AnswersFrom(0, 0), released + 30 * kMs + 200 * kMs);

    EXPECT_EQ(ReadAt(30 * kMs - 1, 4, 8, 0x78) & reg::kDllLinkActive, 0u);
    EXPECT_FALSE(f.LinkUp(0, 0));
    EXPECT_NE(ReadAt(30 * kMs, 4, 8, 0x78) & reg::kDllLinkActive, 0u);
    EXPECT_TRUE(f.LinkUp(0, 0));
    EXPECT_NE(f.PeekConfig(4, 8, 0, 0x80) & reg::kDllStateChanged, 0u);
}

TEST_F(Training, APortsOwnTimeOverridesTheSwitchs) {
    Cycle(9);
    EXPECT_EQ(ReadAt(70 * kMs - 1, 6, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(ReadAt(70 * kMs, 6, 0, 0x00), 0x0A548086u);  // ready_ms 0: answers at once
}

TEST_F(Training, TheDriveReadsAllOnesAndIgnoresWritesUntilItsFirmwareStarted) {
    Cycle(8);
    At(30 * kMs + 200 * kMs - 10);
    EXPECT_TRUE(f.LinkUp(0, 0));
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(test::EcamAddress(5, 0, 0, 0), 4), 0xFFFFFFFFu);
    PortWrite(f, 5, 0, 0, 0x04, 0x0006);
    EXPECT_FALSE(f.ConfigWrites().back().answered);
    f.WritePhysical(test::EcamAddress(5, 0, 0, 0x3C), 1, 0x0B);
    EXPECT_FALSE(f.ConfigWrites().back().answered);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x04) & 0xFFFF, 0u);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x3C) & 0xFF, 0u);
    EXPECT_EQ(ReadAt(30 * kMs + 200 * kMs - 1, 5, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(ReadAt(30 * kMs + 200 * kMs, 5, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x10), 0x00000004u);  // fresh from reset
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(Training, RequestsReachingTheDriveWithin100MsOfTrainingAreCountedEarly) {
    Cycle(9);  // slot 1: trains in 70 ms, answers at once
    f.ResetCounters();
    // While the link trains the port answers for the drive (all-ones): nothing reaches it.
    ReadAt(70 * kMs - 1, 6, 0, 0x00);
    EXPECT_EQ(f.GetCounters().earlyConfig, 0u);
    // Then every request that reaches it counts, by either mechanism, read or write.
    ReadAt(70 * kMs, 6, 0, 0x00);
    PortWrite(f, 6, 0, 0, 0x3C, 0);
    f.ReadPhysical(test::EcamAddress(6, 0, 0, 0), 2);
    f.WritePhysical(test::EcamAddress(6, 0, 0, 0x3C), 1, 0);
    EXPECT_EQ(f.GetCounters().earlyConfig, 4u);
    // Requests to the port itself are not the drive's, and looking is no request.
    PortRead(f, 4, 9, 0, 0x78);
    f.PeekConfig(6, 0, 0, 0);
    f.PeekPhysical(test::EcamAddress(6, 0, 0, 0), 4);
    EXPECT_EQ(f.GetCounters().earlyConfig, 4u);
    ReadAt(70 * kMs + 100 * kMs - 1, 6, 0, 0x00);
    EXPECT_EQ(f.GetCounters().earlyConfig, 5u);
    ReadAt(70 * kMs + 100 * kMs, 6, 0, 0x00);
    EXPECT_EQ(f.GetCounters().earlyConfig, 5u);
}

TEST_F(Training, ADriveStillStartingAfterTheQuietTimeReadsAllOnesWithoutAFault) {
    Cycle(8);
    f.ResetCounters();
    EXPECT_EQ(ReadAt(30 * kMs + 150 * kMs, 5, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(f.GetCounters().earlyConfig, 0u);
}

TEST_F(Training, CuttingTheLinkAgainWhileItTrainsStartsOver) {
    Cycle(8);
    At(20 * kMs);
    Cycle(8);
    At(30 * kMs - 1);
    EXPECT_FALSE(f.LinkUp(0, 0));
    At(30 * kMs);
    EXPECT_TRUE(f.LinkUp(0, 0));
}

TEST_F(Training, SlotPowerReturningTrainsTheLinkToo) {
    const uint32_t v = PortRead(f, 4, 8, 0, 0x80);
    PortWrite(f, 4, 8, 0, 0x80, v | reg::kPowerOff);
    f.Wait(sim::kSlotCommandUs);  // the port takes the next command once this one completed
    PortWrite(f, 4, 8, 0, 0x80, v);
    released = f.ClockUs();
    At(30 * kMs - 1);
    EXPECT_FALSE(f.LinkUp(0, 0));
    At(30 * kMs);
    EXPECT_TRUE(f.LinkUp(0, 0));
}

TEST_F(Training, AnInsertedDriveTrainsItsLinkAndStartsItsFirmware) {
    f.Insert(0, 2, DriveDescription::Make(0x1E81, 0x1203).WithReadyMs(40));
    released = f.ClockUs();
    EXPECT_EQ(f.AnswersFrom(0, 2), released + 30 * kMs + 40 * kMs);
    EXPECT_EQ(ReadAt(30 * kMs + 40 * kMs - 1, 7, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(ReadAt(30 * kMs + 40 * kMs, 7, 0, 0x00), 0x12031E81u);
}

TEST_F(Training, APulledDriveAnswersNeverAndAStuckLinkNeverTrains) {
    f.Pull(0, 1);
    EXPECT_EQ(f.AnswersFrom(0, 1), std::nullopt);
    f.SetStuck(0, 0, true);
    Cycle(8);
    f.Wait(10000 * kMs);
    EXPECT_FALSE(f.LinkUp(0, 0));
    EXPECT_EQ(f.AnswersFrom(0, 0), std::nullopt);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_EQ(f.GetCounters().earlyConfig, 0u);
}

TEST(UntimedMachine, LinksComeBackAtOnceButRequestsRightAfterAreStillEarly) {
    Fabric f(test::SmallMachine());
    const uint32_t v = PortRead(f, 4, 8, 0, 0x78);
    PortWrite(f, 4, 8, 0, 0x78, v | reg::kLinkDisable);
    PortWrite(f, 4, 8, 0, 0x78, v);
    EXPECT_TRUE(f.LinkUp(0, 0));
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(f.GetCounters().earlyConfig, 1u);
    f.Wait(100 * kMs);
    PortRead(f, 5, 0, 0, 0x00);
    EXPECT_EQ(f.GetCounters().earlyConfig, 1u);
}

}  // namespace
}  // namespace sim
