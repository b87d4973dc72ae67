// Injected access faults: the n-th configuration read, configuration write, physical read or
// physical write misbehaves once, and only that one.
#include <gtest/gtest.h>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::EcamAddress;
using test::PortRead;
using test::PortWrite;

class AccessFaults : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(AccessFaults, NthPortReadAnswersAllOnesOnce) {
    f.FailAccess(AccessFault::ConfigRead, 2);
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0x874810B5u);
    EXPECT_FALSE(f.AccessFaultFired(AccessFault::ConfigRead));
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0xFFFFFFFFu);
    EXPECT_TRUE(f.AccessFaultFired(AccessFault::ConfigRead));
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0x874810B5u);
    EXPECT_EQ(f.GetCounters().configReads, 3u);
}

TEST_F(AccessFaults, WindowReadsCountAsConfigurationReads) {
    f.FailAccess(AccessFault::ConfigRead, 1);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0), 1), 0xFFu);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0), 1), 0x0Au);
    EXPECT_EQ(f.GetCounters().physicalReads, 0u);
}

TEST_F(AccessFaults, DisabledLatchReadsAreNotCounted) {
    f.FailAccess(AccessFault::ConfigRead, 1);
    f.WritePort(kConfigAddressPort, test::Address(3, 0, 0, 0) & 0x7FFFFFFF);
    f.ReadPort(kConfigDataPort);
    EXPECT_FALSE(f.AccessFaultFired(AccessFault::ConfigRead));
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0xFFFFFFFFu);
}

TEST_F(AccessFaults, NthConfigWriteIsDroppedButStillListed) {
    const uint32_t before = f.PeekConfig(5, 0, 0, 0x78);
    f.FailAccess(AccessFault::ConfigWrite, 1);
    PortWrite(f, 5, 0, 0, 0x78, (before & ~0xE0u) | 0x20u);
    EXPECT_TRUE(f.AccessFaultFired(AccessFault::ConfigWrite));
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x78), before);
    ASSERT_EQ(f.ConfigWrites().size(), 1u);
    PortWrite(f, 5, 0, 0, 0x78, (before & ~0xE0u) | 0x20u);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x78) & 0xE0u, 0x20u);
}

TEST_F(AccessFaults, WindowWriteCanBeDropped) {
    f.FailAccess(AccessFault::ConfigWrite, 1);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x10), 4, 0);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x10) & 0xFFFFFFF0u, 0xF7000000u);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x10), 4, 0);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x10) & 0xFFFFFFF0u, 0u);
}

TEST_F(AccessFaults, NthPhysicalReadAnswersAllOnes) {
    f.FailAccess(AccessFault::PhysicalRead, 2);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 2), 0xFFFFu);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    EXPECT_EQ(f.GetCounters().physicalReads, 3u);
}

TEST_F(AccessFaults, DroppedTableWriteLeavesTheEntryAsItWas) {
    f.FailAccess(AccessFault::PhysicalWrite, 1);
    f.WritePhysical(0xF7002000, 4, 0xFEE02000);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    EXPECT_TRUE(f.Faults().Empty());
    f.WritePhysical(0xF7002000, 4, 0xFEE02000);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE02000u);
    EXPECT_EQ(f.GetCounters().physicalWrites, 2u);
}

TEST_F(AccessFaults, DroppedWritesWhereNoneBelongAreStillFaults) {
    f.FailAccess(AccessFault::PhysicalWrite, 1);
    f.WritePhysical(0xF7000014, 4, 0);  // the drive's CC register
    f.FailAccess(AccessFault::PhysicalWrite, 1);
    f.WritePhysical(0x1000, 4, 0);  // nobody's memory
    const FaultRecord r = f.Faults();
    EXPECT_EQ(r.driveRegisterWrites.size(), 1u);
    EXPECT_EQ(r.strayWrites.size(), 1u);
}

TEST_F(AccessFaults, DroppedBlockWriteKeepsTheRegister) {
    const uint32_t before = f.PeekBlock(0, 0, 0x208);
    f.FailAccess(AccessFault::PhysicalWrite, 1);
    f.WritePhysical(0xF7C08208, 4, before | 0xF);
    EXPECT_EQ(f.PeekBlock(0, 0, 0x208), before);
}

TEST_F(AccessFaults, ZeroAndResetCountersDisarm) {
    f.FailAccess(AccessFault::ConfigRead, 1);
    f.FailAccess(AccessFault::ConfigRead, 0);
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0x874810B5u);
    f.FailAccess(AccessFault::PhysicalRead, 1);
    f.ResetCounters();
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    EXPECT_FALSE(f.AccessFaultFired(AccessFault::PhysicalRead));
}

}  // namespace
}  // namespace sim
