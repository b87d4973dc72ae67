// The machine moves under the driver: the system's PCI driver rebalances BARs and bridge
// windows while the registry still holds the addresses of the last update. Nothing may then be
// written through a recorded address that is no longer the device's: no byte changes in
// another device, no two devices decode the same address, and the request's status and the
// table tell the truth.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;

// The built-in machine and its image twin share one layout: slot i's drive at base + i MiB,
// slot 5 empty, the on-board drive on bus 1, the PEX 8748 on bus 3.
struct Layout {
    const char* name;
    const char* file;  // examples/fabrics/...; empty: the built-in machine
    uint64_t base;
    uint64_t switchBar;
};

const Layout kLayouts[] = {
    {"BuiltIn", "", 0xF7000000, 0xF7C00000},
    {"WorkstationImages", "workstation-images.json", 0x88000000, 0x8FC00000},
};

// A device's bytes as another device's writes could change them: its configuration header
// and all of BAR0 (controller registers and MSI-X table).
std::vector<uint32_t> DeviceBytes(sim::Fabric& f, uint8_t bus, uint64_t bar0Size) {
    std::vector<uint32_t> bytes;
    for (unsigned o = 0; o < 0x100; o += 4) {
        bytes.push_back(f.PeekConfig(bus, 0, 0, o));
    }
    for (uint64_t o = 0; o < bar0Size; o += 4) {
        bytes.push_back(f.PeekDriveBar0(bus, o));
    }
    return bytes;
}

// The table's flags of the drive at pfa.
class TableTest : public DriverTest {
  protected:
    uint32_t TableFlags(uint32_t pfa) {
        const Reply r = Send(CORVAX_GET_TABLE, {}, 1024);
        for (uint32_t i = 0; i < 32; ++i) {
            if (r.Ulong(i * 32) == pfa) {
                return r.Ulong(i * 32 + 20);
            }
        }
        ADD_FAILURE() << "no entry for " << pfa;
        return 0;
    }
};

class Rebalance : public TableTest, public ::testing::WithParamInterface<Layout> {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        const std::string file = GetParam().file;
        Attach(file.empty()
                   ? std::make_unique<sim::Fabric>(sim::ParseFabricJson(sim::DefaultFabricJson()))
                   : sim::Fabric::FromFile(std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/" +
                                           file));
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    }

    // 16 KiB on the built-in machine, 32 KiB for the Samsung image.
    uint64_t OnBoardBar0Size() const { return GetParam().file[0] != 0 ? 0x8000 : 0x4000; }

    // Lines holding text: the per-port lines end without a newline, so the line after one
    // shares its line of the log.
    size_t Count(const std::string& text) {
        size_t n = 0;
        for (const std::string& l : Lines()) {
            n += l.find(text) != std::string::npos;
        }
        return n;
    }

    void ExpectMachineSound() {
        EXPECT_TRUE(fabric_->Faults().Empty());
        EXPECT_EQ(fabric_->DecodeOverlaps(), std::vector<std::string>{});
        for (const sim::MemoryWrite& w : fabric_->MemoryWrites()) {
            EXPECT_NE(w.pfa, 0x0100) << "a write landed in the on-board drive at " << w.address;
        }
        ExpectNothingMapped();
    }
};

// While the links are cut, slot 7's drive moves to the empty slot 5's range and the on-board
// drive (the system's own disk) takes slot 7's old range. The drive of slot 7 comes back from
// reset without an address; its saved header names the on-board drive's range now, so it is
// not restored: its BARs stay 0 and the table says so. The other drives come back whole.
TEST_P(Rebalance, ASlotsOldRangeGivenToTheOnBoardDriveIsNotRestoredOverIt) {
    const Layout& l = GetParam();
    const uint64_t old7 = l.base + 0x700000;
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    fabric_->MoveSlot(0, 7, l.base + 0x500000);
    fabric_->MoveFunction(1, old7);
    const uint64_t size = OnBoardBar0Size();
    const std::vector<uint32_t> onboard = DeviceBytes(*fabric_, 1, size);
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    WaitForDrives();
    fabric_->ClearMemoryWrites();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);

    char line[200];
    std::snprintf(line, sizeof line,
                  "Corvax2 : Restore refused(12:0:0), reg 0x10=0x%016llX: a BAR outside the "
                  "windows of the ports above the drive",
                  static_cast<unsigned long long>(old7));
    EXPECT_EQ(Count(line), 1u);
    EXPECT_EQ(fabric_->PeekConfig(12, 0, 0, 0x10) & ~0xFu, 0u);
    EXPECT_EQ(fabric_->PeekConfig(12, 0, 0, 0x14), 0u);
    EXPECT_EQ(fabric_->PeekConfig(12, 0, 0, 0x04) & 0x7u, 0u);
    EXPECT_EQ(DeviceBytes(*fabric_, 1, size), onboard);
    for (unsigned slot : {0u, 1u, 3u, 4u, 6u}) {
        const auto bus = static_cast<uint8_t>(5 + slot);
        EXPECT_EQ(fabric_->PeekConfig(bus, 0, 0, 0x10) & ~0xFu, l.base + slot * 0x100000) << slot;
    }
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_NE(TableFlags(0x0C00) & CORVAX_ENTRY_NO_MEMORY, 0u);
    EXPECT_EQ(TableFlags(0x0500) & CORVAX_ENTRY_NO_MEMORY, 0u);
    ExpectMachineSound();
}

// The switch's BAR0 moves and the on-board drive is given the page where its first register
// block was. Neither direction touches the old page; the enable fails (the switch needs an
// update), and the blocks at the new place are left alone until one.
TEST_P(Rebalance, ThePex8748PathIsNotWrittenWhereTheSwitchNoLongerIs) {
    const Layout& l = GetParam();
    fabric_->MoveFunction(3, l.switchBar + 0x100000);
    fabric_->MoveFunction(1, l.switchBar + 0x8000);
    const uint64_t size = OnBoardBar0Size();
    const std::vector<uint32_t> onboard = DeviceBytes(*fabric_, 1, size);
    const uint32_t blocks[2] = {fabric_->PeekBlock(0, 0, 0x208), fabric_->PeekBlock(0, 1, 0x208)};
    fabric_->ClearMemoryWrites();

    EXPECT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_FAIL_CHECK);
    char line[160];
    std::snprintf(line, sizeof line, "Corvax2 : PLX8748 Bridge moved (PFA:0x0300,BAR0:0x%08llX,",
                  static_cast<unsigned long long>(l.switchBar + 0x100000));
    EXPECT_EQ(Count(line), 7u);  // the disable, and each of the six passes
    EXPECT_EQ(DeviceBytes(*fabric_, 1, size), onboard);
    EXPECT_EQ(fabric_->PeekBlock(0, 0, 0x208), blocks[0]);
    EXPECT_EQ(fabric_->PeekBlock(0, 1, 0x208), blocks[1]);
    EXPECT_TRUE(fabric_->MemoryWrites().empty());
    ExpectMachineSound();

    // An update records the new place, and the path works there.
    ASSERT_EQ(Send(PLX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(fabric_->PeekBlock(0, 0, 0x208) & 0xFu, 0xFu);
    EXPECT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(fabric_->PeekBlock(0, 1, 0x208) & 0xFu, 0u);
    EXPECT_EQ(DeviceBytes(*fabric_, 1, size), onboard);
}

INSTANTIATE_TEST_SUITE_P(Machines, Rebalance, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& p) {
                             return std::string(p.param.name);
                         });

// BAR0 as the drive has it, wherever the system placed it: 64-bit above 4 GiB with a low half
// of 0 (servers place NVMe drives so, in the prefetchable windows), or 32-bit with BAR1 a BAR
// of its own. A cycle brings each back whole; the table never calls either one without memory.
struct PlacementCase {
    const char* name;
    DriveDescription drive;
    uint64_t bar0;    // as the registry must record it
    bool tableSaved;  // the MSI-X table saved and restored (a 64-bit BAR0 only)
    uint32_t bar1;    // dword 0x14 after the restore
};

class Placement : public TableTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, TheCycleRestoresTheDriveAndTheTableTellsTheTruth) {
    const PlacementCase& c = GetParam();
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8748, 3, 4, 0xF7C00000);
    b.Port(0, 5, c.drive);
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].OriginalSlot[0].barAddr, c.bar0);
    EXPECT_EQ((Extension()->fgSaved[0][0] & corvax::kSavedMsiTable) != 0, c.tableSaved);
    EXPECT_EQ(TableFlags(0x0500) & CORVAX_ENTRY_NO_MEMORY, 0u);

    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    WaitForDrives();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].CurrentSlot[0].barAddr, c.bar0);
    EXPECT_EQ(fabric_->PeekConfig(5, 0, 0, 0x14), c.bar1);
    EXPECT_NE(fabric_->PeekConfig(5, 0, 0, 0x04) & 0x2u, 0u);
    EXPECT_EQ(TableFlags(0x0500) & CORVAX_ENTRY_NO_MEMORY, 0u);
    EXPECT_EQ(fabric_->PeekDriveBar0(5, 0x2000), c.tableSaved ? 0xFEE00000u : 0u);
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(fabric_->DecodeOverlaps(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Placement,
    ::testing::Values(
        PlacementCase{
            "Bar0AboveFourGiB",
            DriveDescription::Make(0x144D, 0xA808).WithBar0(0x100000000ull).WithMsix(0x2000),
            0x100000000ull, true, 0x1},
        PlacementCase{"Bar0Of32BitsWithABar1",
                      DriveDescription::Make(0x144D, 0xA808)
                          .WithBar0(0xF7000000)
                          .With32BitBar0()
                          .WithBar({1, 0x1000, 0xF7010000})
                          .WithMsix(0x2000),
                      0xF7000000ull, false, 0xF7010000u}),
    [](const ::testing::TestParamInfo<PlacementCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace corvax_test
