// PLX switch models: registers of both kinds of port, link and power control of the slots,
// and the 8748's register blocks.
#include <gtest/gtest.h>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::PortRead;
using test::PortWrite;

struct ModelCase {
    SwitchModel model;
    uint32_t id;
    std::vector<uint8_t> devices;
};

class SwitchModels : public ::testing::TestWithParam<ModelCase> {};

TEST_P(SwitchModels, UpstreamAndDownstreamPortsSitWhereTheLinkMapSays) {
    const ModelCase& c = GetParam();
    FabricBuilder b;
    b.Switch(c.model, 0x10, 0x11, 0, 512);
    for (unsigned i = 0; i < c.devices.size(); ++i) {
        b.EmptyPort(i, static_cast<uint8_t>(0x20 + i));
    }
    Fabric f(b.Build());
    EXPECT_EQ(PortRead(f, 0x10, 0, 0, 0x00), c.id);
    EXPECT_EQ(PortRead(f, 0x10, 0, 0, 0x08) >> 8, 0x060400u);
    EXPECT_EQ((PortRead(f, 0x10, 0, 0, 0x0C) >> 16) & 0x7F, 1u);
    EXPECT_EQ(PortRead(f, 0x10, 0, 0, 0x18) & 0xFFFFFF,
              0x10u | 0x11u << 8 | (0x20u + c.devices.size() - 1) << 16);
    EXPECT_EQ(PortRead(f, 0x10, 0, 0, 0x70) & 0xE0, 0x40u);  // 512 bytes
    EXPECT_EQ(PortRead(f, 0x10, 0, 0, 0x68) & 0xFF, 0x10u);  // PCI Express capability
    for (unsigned i = 0; i < c.devices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(f.PortPfa(0, i), Pfa(0x11, c.devices[i], 0));
        EXPECT_EQ(PortRead(f, 0x11, c.devices[i], 0, 0x00), c.id);
        EXPECT_EQ(PortRead(f, 0x11, c.devices[i], 0, 0x08) >> 8, 0x060400u);
        EXPECT_EQ((PortRead(f, 0x11, c.devices[i], 0, 0x18) >> 8) & 0xFF, 0x20u + i);
        EXPECT_EQ(PortRead(f, 0x11, c.devices[i], 0, 0x68) >> 16 & 0xF0, 0x60u);
    }
    EXPECT_THROW(f.PortPfa(0, static_cast<unsigned>(c.devices.size())), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(
    Models, SwitchModels,
    ::testing::Values(
        ModelCase{SwitchModel::Plx8748, 0x874810B5, {8, 9, 10, 11, 16, 17, 18, 19}},
        ModelCase{SwitchModel::Plx8732, 0x873210B5, {8, 9, 10, 11}},
        ModelCase{SwitchModel::Plx8618, 0x861810B5, {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15}}),
    [](const ::testing::TestParamInfo<ModelCase>& p) { return "Pex" + ModelName(p.param.model); });

class SwitchRegisters : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(SwitchRegisters, UpstreamDeviceControlTakesPayloadSizeAndClearsStatusBits) {
    f.PokeConfig(3, 0, 0, 0x70, f.PeekConfig(3, 0, 0, 0x70) | 0x00090000);
    const uint32_t v = PortRead(f, 3, 0, 0, 0x70);
    PortWrite(f, 3, 0, 0, 0x70, (v & ~0xE0u) | 0x40);  // writes the status half back as read
    EXPECT_EQ(f.PeekConfig(3, 0, 0, 0x70), (v & 0xFFFF & ~0xE0u) | 0x40);
}

TEST_F(SwitchRegisters, UpstreamBar0SizesAs256KiB) {
    PortWrite(f, 3, 0, 0, 0x10, 0xFFFFFFFF);
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x10), 0xFFFC0000u);
}

TEST_F(SwitchRegisters, LinkControlKeepsReadOnlyBitsAndClearsLinkStatusW1c) {
    f.PokeConfig(4, 8, 0, 0x78, f.PeekConfig(4, 8, 0, 0x78) | 0xC0000000);
    PortWrite(f, 4, 8, 0, 0x78, 0xC0000020);  // Retrain Link reads 0; status bits written 1
    const uint32_t v = f.PeekConfig(4, 8, 0, 0x78);
    EXPECT_EQ(v & 0xFFFF, 0u);
    EXPECT_EQ(v & 0xC0000000, 0u);
    EXPECT_NE(v & reg::kDllLinkActive, 0u);
}

TEST_F(SwitchRegisters, SlotControlFieldsAreWritableAndSlotStatusIsW1c) {
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x80) & 0xFFFF, 0x01C0u);  // powered, indicators set
    EXPECT_NE(f.PeekConfig(4, 8, 0, 0x80) & reg::kPresenceDetectState, 0u);
    EXPECT_EQ(f.PeekConfig(4, 10, 0, 0x80) & reg::kPresenceDetectState, 0u);  // empty slot
    f.PokeConfig(4, 8, 0, 0x80, f.PeekConfig(4, 8, 0, 0x80) | 0x00190000);
    // LED field to 2: the write carries the status half as read, clearing its W1C bits.
    const uint32_t v = PortRead(f, 4, 8, 0, 0x80);
    PortWrite(f, 4, 8, 0, 0x80, (v & ~0xC0u) | 0x80);
    const uint32_t after = f.PeekConfig(4, 8, 0, 0x80);
    EXPECT_EQ(after & 0xFFFF, 0x0180u);
    EXPECT_EQ(after & reg::kSlotStatusW1c, 0u);
    EXPECT_NE(after & reg::kPresenceDetectState, 0u);  // read-only state survives
}

// ---------------------------------------------------------------------------------------------
// Link and power

class SlotLink : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
    const uint64_t bar = 0xF7000000;  // slot 0's drive, bus 5, port 4:08.0

    void SetLinkDisable(bool on) {
        const uint32_t v = PortRead(f, 4, 8, 0, 0x78);
        PortWrite(f, 4, 8, 0, 0x78, on ? v | reg::kLinkDisable : v & ~reg::kLinkDisable);
    }
    // A Slot Control command, then the time the port takes to carry it out.
    void SetPowerOff(bool off) {
        const uint32_t v = PortRead(f, 4, 8, 0, 0x80);
        PortWrite(f, 4, 8, 0, 0x80, off ? v | reg::kPowerOff : v & ~reg::kPowerOff);
        f.Wait(sim::kSlotCommandUs);
    }
    void ExpectGone() {
        EXPECT_FALSE(f.LinkUp(0, 0));
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0xFFFFFFFFu);
        EXPECT_EQ(f.ReadPhysical(test::EcamAddress(5, 0, 0, 0), 4), 0xFFFFFFFFu);
        EXPECT_EQ(f.ReadPhysical(bar + 0x2000, 4), 0xFFFFFFFFu);
        EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x78) & reg::kDllLinkActive, 0u);
    }
    // What a drive looks like after a reset, against what the firmware had left.
    void ExpectFreshFromReset() {
        EXPECT_TRUE(f.LinkUp(0, 0));
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0x07101F0Au);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x10), 0x00000004u);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x14), 0u);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x04) & 0xFFFF, 0u);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x78) & reg::kPayloadField, 0u);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0xB0) & 0xC0000000, 0u);  // MSI-X off
        EXPECT_EQ(f.PeekDriveBar0(5, 0x2000), 0u);
        EXPECT_EQ(f.PeekDriveBar0(5, 0x2008), 0u);
        EXPECT_EQ(f.PeekDriveBar0(5, 0x200C), reg::kMsixVectorMasked);
        EXPECT_EQ(f.PeekDriveBar0(5, 0x21FC), reg::kMsixVectorMasked);  // entry 31
        EXPECT_EQ(f.ReadPhysical(bar + 0x2000, 4), 0xFFFFFFFFu);        // BAR0 no longer decodes
        EXPECT_NE(f.PeekConfig(4, 8, 0, 0x78) & reg::kDllLinkActive, 0u);
    }
    void ExpectFirmwareState() {
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x10), 0xF7000004u);
        EXPECT_EQ(PortRead(f, 5, 0, 0, 0x04) & 0xFFFF, 0x0006u);
        EXPECT_EQ(f.ReadPhysical(bar + 0x2000, 4), 0xFEE00000u);
    }
};

TEST_F(SlotLink, LinkDisableTakesTheDriveOffAndClearingItBringsItBackReset) {
    ExpectFirmwareState();
    SetLinkDisable(true);
    ExpectGone();
    SetLinkDisable(false);
    ExpectFreshFromReset();
    EXPECT_NE(f.PeekConfig(4, 8, 0, 0x80) & reg::kDllStateChanged, 0u);
}

TEST_F(SlotLink, SlotPowerOffTakesTheDriveOffAndPowerOnBringsItBackReset) {
    SetPowerOff(true);
    ExpectGone();
    SetPowerOff(false);
    ExpectFreshFromReset();
}

TEST_F(SlotLink, DriveStaysOffUntilBothLinkAndPowerAreBack) {
    SetLinkDisable(true);
    SetPowerOff(true);
    SetPowerOff(false);  // power first, as the enable path does: the link is still disabled
    ExpectGone();
    SetLinkDisable(false);
    ExpectFreshFromReset();
}

TEST_F(SlotLink, SecondaryBusResetAlsoResetsTheDrive) {
    const uint32_t v = PortRead(f, 4, 8, 0, 0x3C);
    PortWrite(f, 4, 8, 0, 0x3C, v | reg::kSecondaryBusReset);
    ExpectGone();
    PortWrite(f, 4, 8, 0, 0x3C, v);
    ExpectFreshFromReset();
}

TEST_F(SlotLink, WritesToTheVanishedBarAreStrayAndConfigWritesVanish) {
    SetLinkDisable(true);
    f.WritePhysical(bar + 0x200C, 4, 0);
    PortWrite(f, 5, 0, 0, 0x10, 0xF7000000);
    ASSERT_EQ(f.Faults().strayWrites.size(), 1u);
    EXPECT_EQ(f.Faults().strayWrites[0].address, bar + 0x200C);
    EXPECT_FALSE(f.ConfigWrites().back().answered);
    SetLinkDisable(false);
    ExpectFreshFromReset();
}

TEST_F(SlotLink, RewritingTheOldConfigurationMakesBarDecodeAgain) {
    SetLinkDisable(true);
    SetLinkDisable(false);
    // The restore's byte-wise header write through the window, command register first.
    f.WritePhysical(test::EcamAddress(5, 0, 0, 0x04), 1, 0x06);
    f.WritePhysical(test::EcamAddress(5, 0, 0, 0x13), 1, 0xF7);
    EXPECT_EQ(f.ReadPhysical(bar + 0x200C, 4), reg::kMsixVectorMasked);
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(SlotLink, OtherSlotsAreUntouched) {
    const uint32_t bar1 = PortRead(f, 6, 0, 0, 0x10);
    SetLinkDisable(true);
    SetLinkDisable(false);
    EXPECT_EQ(PortRead(f, 6, 0, 0, 0x10), bar1);
    EXPECT_EQ(PortRead(f, 1, 0, 0, 0x10), 0xF7F00004u);
}

TEST_F(SlotLink, StuckPortKeepsLinkDisableSetUntilReleased) {
    f.SetStuck(0, 0, true);
    ExpectGone();
    SetLinkDisable(true);
    SetLinkDisable(false);
    EXPECT_NE(PortRead(f, 4, 8, 0, 0x78) & reg::kLinkDisable, 0u);
    ExpectGone();
    f.SetStuck(0, 0, false);
    SetLinkDisable(false);
    ExpectFreshFromReset();
}

TEST_F(SlotLink, PeekSeesTheDriveBehindADisabledLink) {
    SetLinkDisable(true);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x10), 0xF7000004u);
}

// ---------------------------------------------------------------------------------------------
// The 8748's register blocks

class Blocks : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
    static constexpr uint64_t kSec1 = 0xF7C00000 + 0x8000 + 0x208;
    static constexpr uint64_t kSec2 = 0xF7C00000 + 0x10000 + 0x208;
};

TEST_F(Blocks, Register208RemembersWhatWasWrittenInEachBlock) {
    f.WritePhysical(kSec1, 4, 0x1234567F);
    f.WritePhysical(kSec2, 4, 0x00000000);
    EXPECT_EQ(f.ReadPhysical(kSec1, 4), 0x1234567Fu);
    EXPECT_EQ(f.ReadPhysical(kSec2, 4), 0u);
    EXPECT_EQ(f.PeekBlock(0, 0, 0x208), 0x1234567Fu);
    EXPECT_EQ(f.PeekBlock(0, 1, 0x208), 0u);
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(Blocks, FailedBlockReadsAllOnesExactlyNTimes) {
    f.PokeBlock(0, 1, 0x208, 0xF);
    f.FailBlockReads(0, 1, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(f.ReadPhysical(kSec2, 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(kSec2, 4), 0xFu);
    EXPECT_EQ(f.ReadPhysical(kSec1, 4), 0u);  // the other block was never failing
}

TEST_F(Blocks, BlocksFollowBar0AndMemorySpaceEnable) {
    PortWrite(f, 3, 0, 0, 0x10, 0xF7800000);
    f.WritePhysical(0xF7808208, 4, 0xA);
    EXPECT_EQ(f.PeekBlock(0, 0, 0x208), 0xAu);
    f.WritePhysical(kSec1, 4, 0xB);  // the old place is nothing now
    EXPECT_EQ(f.Faults().strayWrites.size(), 1u);
    const uint32_t cmd = PortRead(f, 3, 0, 0, 0x04);
    PortWrite(f, 3, 0, 0, 0x04, cmd & ~reg::kMemorySpace);
    EXPECT_EQ(f.ReadPhysical(0xF7808208, 4), 0xFFFFFFFFu);
}

// An 8732's BAR0 is its register space, with no secondary blocks: nothing there is this
// system's to write.
TEST(BlocksOfOtherModels, NoSecondaryBlocksBehindAn8732) {
    Fabric f(FabricBuilder().Switch(SwitchModel::Plx8732, 2, 3, 0xF7C00000).Build());
    EXPECT_EQ(f.ReadPhysical(0xF7C08208, 4), 0u);
    f.WritePhysical(0xF7C08208, 4, 0);
    EXPECT_TRUE(f.Faults().strayWrites.empty());
    ASSERT_EQ(f.Faults().driveRegisterWrites.size(), 1u);
    EXPECT_EQ(f.Faults().driveRegisterWrites[0].pfa, 0x0200);
    EXPECT_THROW(f.FailBlockReads(0, 0, 1), std::logic_error);
}

}  // namespace
}  // namespace sim
