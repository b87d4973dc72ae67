// The NVMe drive model: header, capability list, BAR0 decoding, MSI-X table; and drives coming
// and going while software runs.
#include <gtest/gtest.h>

#include <thread>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::PortRead;
using test::PortWrite;

class Drive : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

struct RegisterCase {
    unsigned offset;
    uint32_t mask;
    uint32_t expected;
    const char* what;
};

TEST_F(Drive, HeaderAsTheFirmwareLeftIt) {
    const RegisterCase cases[] = {
        {0x00, 0xFFFFFFFF, 0x07101F0A, "vendor and device"},
        {0x04, 0xFFFFFFFF, 0x00100006, "memory space and bus master on, capability list"},
        {0x08, 0xFFFFFF00, 0x01080200, "NVM Express class"},
        {0x0C, 0x00FF0000, 0x00000000, "header type 0"},
        {0x10, 0xFFFFFFFF, 0xF7000004, "BAR0, 64-bit memory"},
        {0x14, 0xFFFFFFFF, 0x00000000, "BAR0 upper half"},
        {0x34, 0x000000FF, 0x00000070, "capabilities pointer"},
        {0x70, 0x0000FFFF, 0x0000B010, "PCI Express capability, MSI-X next"},
        {0x78, 0x000000E0, 0x00000000, "128-byte payloads"},
        {0x80, 0x0000FFFF, 0x00000140, "common clock and clock power management"},
        {0xB0, 0x07FF00FF, 0x001F0011, "MSI-X capability, 32 entries"},
        {0xB4, 0xFFFFFFFF, 0x00002000, "table at 8 KiB in BAR0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PortRead(f, 5, 0, 0, c.offset) & c.mask, c.expected) << c.what;
    }
}

// An entry unmasked while its address is not a message address may signal at once, to
// wherever that address points: a hazard the fabric records. The safe order fills address and
// data first and unmasks last.
TEST_F(Drive, UnmaskingAnEntryWithoutAMessageAddressIsRecorded) {
    f.PokeConfig(5, 0, 0, 0x04, 0x00100006);
    const uint64_t entry = 0xF7002000 + 3 * 16;
    f.PokePhysical(entry + 12, 1);  // masked, address 0, as after a reset
    f.PokePhysical(entry, 0);
    f.WritePhysical(entry + 12, 4, 0);  // unmasked first: hazard
    ASSERT_EQ(f.Faults().msixHazards.size(), 1u);
    EXPECT_EQ(f.Faults().msixHazards[0].pfa, 0x0500);
    EXPECT_EQ(f.Faults().msixHazards[0].entry, 3u);
    EXPECT_EQ(f.Faults().msixHazards[0].address, 0u);
    EXPECT_FALSE(f.Faults().Empty());
    f.ClearFaults();

    f.PokePhysical(entry + 12, 1);
    const uint32_t values[4] = {0xFEE01000u, 0u, 0x4025u, 0u};  // address, data, then unmask
    for (unsigned d = 0; d < 4; ++d) {
        f.WritePhysical(entry + d * 4, 4, values[d]);
    }
    EXPECT_TRUE(f.Faults().msixHazards.empty());
    // Pointing a live entry away from the interrupt window is the same hazard.
    f.WritePhysical(entry, 4, 0x12345000);
    EXPECT_EQ(f.Faults().msixHazards.size(), 1u);
}

TEST_F(Drive, RevisionIsNotPartOfTheClass) {
    EXPECT_NE(PortRead(f, 5, 0, 0, 0x08), 0x01080200u);
}

TEST_F(Drive, Bar0SizesFromItsDescription) {
    PortWrite(f, 5, 0, 0, 0x10, 0xFFFFFFFF);
    PortWrite(f, 5, 0, 0, 0x14, 0xFFFFFFFF);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x10), 0xFFFFC004u);  // 16 KiB
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x14), 0xFFFFFFFFu);
    PortWrite(f, 6, 0, 0, 0x10, 0xFFFFFFFF);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x10), 0xFFFF8004u);  // 32 KiB
}

TEST_F(Drive, CapabilityListEndsAfterPcieWithoutMsix) {
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x34) & 0xFF, 0x70u);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x70) & 0xFFFF, 0x0010u);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0xB0), 0u);
}

TEST_F(Drive, DeviceControlTakesPayloadSizeAndDeviceStatusIsW1c) {
    f.PokeConfig(5, 0, 0, 0x78, f.PeekConfig(5, 0, 0, 0x78) | 0x00050000);
    const uint32_t v = PortRead(f, 5, 0, 0, 0x78);
    PortWrite(f, 5, 0, 0, 0x78, (v & 0xFFFFFF1F) | 0x20);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x78), (v & 0xFF1F) | 0x20);
}

TEST_F(Drive, ClockPowerManagementBitClears) {
    const uint32_t v = PortRead(f, 5, 0, 0, 0x80);
    PortWrite(f, 5, 0, 0, 0x80, v & ~reg::kClockPowerManagement);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x80), v & ~reg::kClockPowerManagement);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x80) >> 16, 0x1043u);  // 8 GT/s x4
}

TEST_F(Drive, MsixTableHoldsTheVectorsTheOsProgrammed) {
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    EXPECT_EQ(f.ReadPhysical(0xF7002008, 4), 0x60u);
    EXPECT_EQ(f.ReadPhysical(0xF700200C, 4), 0u);
    EXPECT_EQ(f.ReadPhysical(0xF7002010, 4), 0xFEE01000u);
    EXPECT_EQ(f.ReadPhysical(0xF7002011, 1), 0x10u);
    EXPECT_EQ(f.ReadPhysical(0xF7F03000, 4), 0xFEE00000u);  // on-board drive, table at 12 KiB
}

TEST_F(Drive, MsixTableWritesKeepOnlyTheMaskBitOfVectorControl) {
    f.WritePhysical(0xF700200C, 4, 0x1);  // masked while its address changes
    f.WritePhysical(0xF7002000, 4, 0xFEE02000);
    f.WritePhysical(0xF7002004, 4, 0x1);
    f.WritePhysical(0xF7002008, 2, 0x4041);
    f.WritePhysical(0xF700200C, 4, 0xFFFFFFFF);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE02000u);
    EXPECT_EQ(f.ReadPhysical(0xF7002004, 4), 0x1u);
    EXPECT_EQ(f.ReadPhysical(0xF7002008, 4), 0x4041u);
    EXPECT_EQ(f.ReadPhysical(0xF700200C, 4), 0x1u);
    EXPECT_TRUE(f.Faults().Empty());
    // Unmasked with an address above 4 GiB: no message address on this machine.
    f.WritePhysical(0xF700200C, 4, 0);
    EXPECT_EQ(f.Faults().msixHazards.size(), 1u);
}

TEST_F(Drive, WritesToTheControllerRegistersAreRecordedAndNotApplied) {
    const uint32_t cc = f.ReadPhysical(0xF7000014, 4);
    f.WritePhysical(0xF7000014, 4, 0);       // CC
    f.WritePhysical(0xF7001000, 4, 1);       // a doorbell
    f.WritePhysical(0xF7002200, 4, 0x1234);  // just past the 32-entry table
    EXPECT_EQ(f.ReadPhysical(0xF7000014, 4), cc);
    const FaultRecord r = f.Faults();
    ASSERT_EQ(r.driveRegisterWrites.size(), 3u);
    EXPECT_EQ(r.driveRegisterWrites[0].pfa, 0x0500);
    EXPECT_EQ(r.driveRegisterWrites[0].offset, 0x14u);
    EXPECT_EQ(r.driveRegisterWrites[2].offset, 0x2200u);
    EXPECT_EQ(r.driveRegisterWrites[2].value, 0x1234u);
    EXPECT_TRUE(r.strayWrites.empty());
    EXPECT_FALSE(r.Empty());
}

TEST_F(Drive, Bar0DecodesOnlyWithMemorySpaceEnabledAndANonZeroBase) {
    PortWrite(f, 5, 0, 0, 0x04, 0x0004);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFFFFFFFFu);
    PortWrite(f, 5, 0, 0, 0x04, 0x0006);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFEE00000u);
    PortWrite(f, 5, 0, 0, 0x10, 0);
    EXPECT_EQ(f.ReadPhysical(0x2000, 4), 0xFFFFFFFFu);
    PortWrite(f, 5, 0, 0, 0x10, 0xF7000000);
    PortWrite(f, 5, 0, 0, 0x14, 0x1);  // above 4 GiB now, where no window of the switch reaches
    EXPECT_EQ(f.ReadPhysical(0x1F7002000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFFFFFFFFu);
    // Both bridges above it forward the new place once their prefetchable windows cover it.
    for (const auto& [bus, device] : {std::pair<uint8_t, uint8_t>{3, 0}, {4, 8}}) {
        PortWrite(f, bus, device, 0, 0x24, 0xF700F700);
        PortWrite(f, bus, device, 0, 0x28, 0x1);
        PortWrite(f, bus, device, 0, 0x2C, 0x1);
    }
    EXPECT_EQ(f.ReadPhysical(0x1F7002000, 4), 0xFEE00000u);
}

TEST(DriveTableInAnotherBar, NothingOfTheTableAppearsInBar0) {
    Fabric f(
        FabricBuilder()
            .Onboard(2, DriveDescription::Make(0x1F0A, 1).WithBar0(0xF7000000).WithMsix(0x2004))
            .Build());
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0u);
    f.WritePhysical(0xF7002000, 4, 0);
    EXPECT_EQ(f.Faults().driveRegisterWrites.size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Drives coming and going

class HotPlug : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(HotPlug, PulledDriveStopsAnsweringAndTheSlotReportsIt) {
    f.Pull(0, 0);
    EXPECT_FALSE(f.DrivePresent(0, 0));
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(0xF7002000, 4), 0xFFFFFFFFu);
    const uint32_t slot = f.PeekConfig(4, 8, 0, 0x80);
    EXPECT_EQ(slot & reg::kPresenceDetectState, 0u);
    EXPECT_NE(slot & reg::kPresenceDetectChanged, 0u);
    EXPECT_NE(slot & reg::kDllStateChanged, 0u);
    EXPECT_THROW(f.Pull(0, 0), std::logic_error);
}

TEST_F(HotPlug, InsertedDriveComesFreshFromReset) {
    f.Insert(0, 2, DriveDescription::Make(0x1344, 0x51A2).WithBar0(0xF7100000).WithMsix(0x2000));
    EXPECT_TRUE(f.LinkUp(0, 2));
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0x00), 0x51A21344u);
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0x04) & 0xFFFF, 0u);
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0x10), 0x4u);
    EXPECT_EQ(f.PeekDriveBar0(7, 0x200C), reg::kMsixVectorMasked);
    EXPECT_THROW(f.Insert(0, 2, DriveDescription::Make(1, 1)), std::logic_error);
}

TEST_F(HotPlug, ReplacedDriveShowsItsOwnIdentity) {
    f.Replace(0, 1, DriveDescription::Make(0x1B4B, 0x1092));
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x00), 0x10921B4Bu);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x10), 0x4u);
}

TEST_F(HotPlug, DriveInsertedBehindADisabledLinkWaitsForTheLink) {
    const uint32_t lc = PortRead(f, 4, 10, 0, 0x78);
    PortWrite(f, 4, 10, 0, 0x78, lc | reg::kLinkDisable);
    f.Insert(0, 2, DriveDescription::Make(0x1344, 0x51A2));
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0), 0xFFFFFFFFu);
    PortWrite(f, 4, 10, 0, 0x78, lc);
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0), 0x51A21344u);
}

TEST_F(HotPlug, OnboardDrivesAreAddedAndRemoved) {
    f.AddOnboard(0x20, DriveDescription::Make(0x1CC4, 0x6303));
    EXPECT_EQ(PortRead(f, 0x20, 0, 0, 0), 0x63031CC4u);
    EXPECT_EQ(PortRead(f, 0x20, 0, 0, 0x10), 0x4u);
    f.RemoveOnboard(1);
    EXPECT_EQ(PortRead(f, 1, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_THROW(f.RemoveOnboard(1), std::logic_error);
    EXPECT_THROW(f.AddOnboard(5, DriveDescription::Make(1, 1)), std::logic_error);  // slot 0's
    EXPECT_THROW(f.AddOnboard(4, DriveDescription::Make(1, 1)), std::logic_error);  // internal
    EXPECT_THROW(f.AddOnboard(0x21, DriveDescription::Make(1, 1).WithBar0(0x1000, 0x4000)),
                 FabricError);
}

TEST_F(HotPlug, PairsStayWholeWhileAnotherThreadPullsAndInserts) {
    std::thread plugger([&] {
        for (int i = 0; i < 200; ++i) {
            f.Pull(0, 0);
            f.Insert(0, 0, DriveDescription::Make(0x1F0A, 0x0710));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const uint32_t id = PortRead(f, 5, 0, 0, 0);
        ASSERT_TRUE(id == 0x07101F0Au || id == 0xFFFFFFFFu) << std::hex << id;
    }
    plugger.join();
    EXPECT_EQ(f.GetCounters().interleaveViolations, 0u);
    EXPECT_EQ(f.GetCounters().portPairs, 2000u);
}

}  // namespace
}  // namespace sim
