// Rescan and restore: the current generation against the original one, the drives whose BAR0
// came back cleared, and the full link cycle on the simulated fabric.
#include "driver/topology/pci_access.h"
#include "driver/topology/topology.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using Model = sim::SwitchModel;

constexpr uint32_t kLinkDisable = 0x10;

DriveDescription Listed(uint16_t device, uint64_t bar0, uint32_t msix = 0x2000) {
    return DriveDescription::Make(0x144D, device).WithBar0(bar0, 0x4000).WithMsix(msix, 8);
}

// An 8748 on bus 3 (internal bus 4) with listed drives in slots 0 to 3 (buses 5 to 8), an
// empty slot 4 (bus 9), and an on-board drive on bus 1.
FabricBuilder Machine() {
    FabricBuilder b;
    b.Onboard(1, DriveDescription::Make(0x8086, 0x0953).WithBar0(0xF0000000));
    b.Switch(Model::Plx8748, 3, 4, 0xFB000000, 256);
    for (unsigned i = 0; i < 4; ++i) {
        b.Port(i, static_cast<uint8_t>(5 + i),
               Listed(static_cast<uint16_t>(0xA800 + i), 0xF1000000u + i * 0x100000u));
    }
    b.EmptyPort(4, 9);
    return b;
}

struct DriveState {
    uint32_t command;
    uint32_t bar0;
    uint32_t bar1;
    std::vector<uint32_t> msix;  // the table's dwords
};

class RescanTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        Attach(std::make_unique<sim::Fabric>(Machine().Build()));
        // Interrupt routing as the system programmed it: every entry unmasked, its own data.
        for (unsigned slot = 0; slot < 4; ++slot) {
            const uint64_t table = 0xF1000000u + slot * 0x100000u + 0x2000;
            for (unsigned e = 0; e < 8; ++e) {
                fabric_->PokePhysical(table + e * 16 + 0, 0xFEE00000u + slot * 0x1000u);
                fabric_->PokePhysical(table + e * 16 + 4, 0);
                fabric_->PokePhysical(table + e * 16 + 8, 0x4020u + e);
                fabric_->PokePhysical(table + e * 16 + 12, 0);
            }
        }
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
        ClearLog();
        fabric_->ClearConfigWrites();
    }

    DriveState State(unsigned slot) {
        const uint8_t bus = static_cast<uint8_t>(5 + slot);
        DriveState s;
        s.command = fabric_->PeekConfig(bus, 0, 0, 0x04) & 0xFFFFu;
        s.bar0 = fabric_->PeekConfig(bus, 0, 0, 0x10);
        s.bar1 = fabric_->PeekConfig(bus, 0, 0, 0x14);
        for (unsigned d = 0; d < 32; ++d) {
            s.msix.push_back(fabric_->PeekDriveBar0(bus, 0x2000 + d * 4));
        }
        return s;
    }

    // Cuts and restores the link of a slot's downstream port by hand, as the disable and
    // enable requests do.
    void CycleLink(unsigned slot) { CycleLinkAt(0x0400 | (corvax::LinkMap8748[slot] << 3)); }
    static void CycleLinkAt(uint32_t port) {
        const uint32_t v = corvax::PciReadConfigUlong(port, 0x78);
        corvax::PciWriteConfigUlong(port, 0x78, v | kLinkDisable);
        corvax::PciWriteConfigUlong(port, 0x78, v & ~kLinkDisable);
    }

    // Another machine in place of the fixture's, with the driver loaded on it afresh.
    void Reboot(const FabricBuilder& b) {
        Attach(std::make_unique<sim::Fabric>(b.Build()));
        sim::Kernel::Get().Close(handle_);
        sim::Kernel::Get().UnloadDriver();
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    }

    std::vector<std::string> RestoreLines() const {
        std::vector<std::string> out;
        for (const std::string& line : Lines()) {
            if (line.rfind("Corvax2 : Restore", 0) == 0 || line.rfind("Corvax2 : New", 0) == 0 ||
                line.rfind("Corvax2 : Device Lost", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }

    void ExpectClean() const {
        EXPECT_TRUE(fabric_->Faults().Empty());
        ExpectNothingMapped();
    }
};

TEST_F(RescanTest, DrivesBackFromALinkCycleGetTheirHeaderAndMsixTableBack) {
    std::vector<DriveState> before;
    for (unsigned slot = 0; slot < 4; ++slot) {
        before.push_back(State(slot));
        CycleLink(slot);
        ASSERT_EQ(State(slot).bar0, 0x4u) << "the drive came back from reset";
    }
    ClearLog();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    for (unsigned slot = 0; slot < 4; ++slot) {
        const DriveState after = State(slot);
        EXPECT_EQ(after.command, before[slot].command) << slot;
        EXPECT_EQ(after.bar0, before[slot].bar0) << slot;
        EXPECT_EQ(after.bar1, before[slot].bar1) << slot;
        EXPECT_EQ(after.msix, before[slot].msix) << slot;
        EXPECT_EQ(fabric_->PeekConfig(static_cast<uint8_t>(5 + slot), 0, 0, 0x78) & 0xE0u, 0x20u);
    }
    const std::vector<std::string> lines = RestoreLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "Corvax2 : Restore PCI configuration memory & MSI-X table");
    EXPECT_EQ(lines[1],
              "Corvax2 : Restore PCI configuration memory(5:0:0), bar0=0x00000000F1000000");
    EXPECT_EQ(lines[2],
              "Corvax2 : Restore MSI-X table(5:0:0), table=0x00000000F1002000, entries=8");
    EXPECT_EQ(lines[8],
              "Corvax2 : Restore MSI-X table(8:0:0), table=0x00000000F1302000, entries=8");
    ExpectClean();
}

TEST_F(RescanTest, HeaderGoesToTheRecordedWindowAddressByteByByte) {
    CycleLink(2);
    fabric_->ClearConfigWrites();
    ASSERT_EQ(Send(CORVAX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    std::vector<sim::ConfigWrite> header;
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        if (w.pfa == 0x0700 && w.path == sim::ConfigPath::Ecam) {
            header.push_back(w);
        }
    }
    // Upward, byte by byte, with the two Command bytes held back to the end.
    ASSERT_EQ(header.size(), 256u);
    std::vector<unsigned> offsets;
    for (const sim::ConfigWrite& w : header) {
        offsets.push_back(w.offset);
        ASSERT_EQ(w.size, 1u);
    }
    std::vector<unsigned> expected = {0, 1, 2, 3};
    for (unsigned i = 6; i < 256; ++i) {
        expected.push_back(i);
    }
    expected.push_back(4);
    expected.push_back(5);
    EXPECT_EQ(offsets, expected);
    // Only slot 2 was restored.
    EXPECT_EQ(RestoreLines().size(), 3u);
}

TEST_F(RescanTest, LostAndNewDrivesAgainstTheOriginalGeneration) {
    fabric_->Pull(0, 1);
    fabric_->Insert(0, 4, DriveDescription::Make(0x1E81, 0x0042));
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    const corvax::PlxBridge& b = Extension()->Bridge[0];
    EXPECT_EQ(b.OriginalMap, 0x0Fu);
    EXPECT_EQ(b.CurrentMap, 0x1Du);
    const corvax::DriveSlot zero = {};
    EXPECT_EQ(std::memcmp(&b.CurrentSlot[1], &zero, sizeof(zero)), 0);
    const corvax::DriveSlot& fresh = b.CurrentSlot[4];
    EXPECT_EQ(fresh.pciID, 0x00421E81u);
    EXPECT_EQ(fresh.barAddr, 0u);
    EXPECT_EQ(fresh.ConfigTable, b.OriginalSlot[4].ConfigTable);
    EXPECT_EQ(fresh.MsiTable, b.OriginalSlot[4].MsiTable);
    EXPECT_EQ(RestoreLines(), (std::vector<std::string>{"Corvax2 : Device Lost(0xFFFFFF00)",
                                                        "Corvax2 : New Device found(0x00421E81)"}));
    EXPECT_EQ(Lines().back(), "Corvax2 : PCI rescan completed ");
    // The dump shows the lost drive in parentheses only.
    const std::vector<std::string> lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Corvax2 :   vindor ID      :0x0000(0x144D)"),
              lines.end());

    // The restore skips the new drive (empty original slot) and the lost one.
    ClearLog();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(RestoreLines().size(), 3u);  // header line, "Device Lost", "New Device found"
    EXPECT_EQ(fabric_->PeekConfig(9, 0, 0, 0x10), 0x4u);
    ExpectClean();
}

TEST_F(RescanTest, ReprogrammedOrForeignDrivesAreNotRestored) {
    // Slot 0 came back and the firmware reprogrammed it; slot 3 holds a drive of a vendor that
    // is not listed, fresh from reset.
    CycleLink(0);
    fabric_->PokeConfig(5, 0, 0, 0x10, 0xF7000004);
    fabric_->Replace(0, 3, DriveDescription::Make(0x1B4B, 0x1234).WithMsix(0x2000));
    fabric_->ClearConfigWrites();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(RestoreLines(),
              std::vector<std::string>{"Corvax2 : Restore PCI configuration memory & MSI-X table"});
    EXPECT_EQ(fabric_->PeekConfig(5, 0, 0, 0x10), 0xF7000004u);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_NE(w.pfa, 0x0800) << "the foreign drive was written at " << w.offset;
    }
    ExpectClean();
}

// A replacement is restored whatever its model, as long as both vendors are listed: the
// most common swap is a failed drive replaced by a newer one. A drive of another model gets the
// standard header only, since its capability registers sit elsewhere; its MSI-X table only
// where it lies at the same place, never more entries than either table holds. One whose BARs
// the saved header cannot place (another type, a BAR the old drive lacked, a BAR0 larger than
// the saved address's alignment) gets nothing, and keeps no address: the table says no-memory.
struct ReplacementCase {
    const char* name;
    DriveDescription drive;
    uint32_t headerBytes;   // written by the restore; 0: refused
    uint32_t tableEntries;  // restored, 0 for none
    uint32_t bar0;          // afterwards
    bool decoding;          // memory decoding on afterwards
    const char* line = "Corvax2 : Restore PCI configuration memory(6:0:0), bar0=0x00000000F1100000";
};

class Replacement : public RescanTest, public ::testing::WithParamInterface<ReplacementCase> {};

TEST_P(Replacement, IsRestoredAsFarAsItsLayoutAllows) {
    const ReplacementCase& c = GetParam();
    fabric_->Replace(0, 1, c.drive);
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);

    const DriveState after = State(1);
    EXPECT_EQ(after.bar0, c.bar0);
    EXPECT_EQ((after.command & 0x2u) != 0, c.decoding);
    uint32_t highest = 0;
    size_t headerWrites = 0;
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        if (w.pfa == 0x0600 && w.path == sim::ConfigPath::Ecam) {
            highest = std::max(highest, w.offset);
            ++headerWrites;
        }
    }
    EXPECT_EQ(headerWrites, c.headerBytes - (c.decoding || c.headerBytes == 0 ? 0 : 2));
    EXPECT_EQ(headerWrites == 0 ? 0 : highest + 1, c.headerBytes);
    // In the replacement's own table, entries 0 to n-1 carry the saved routing and the rest
    // stay as the reset left them.
    for (uint32_t e = 0; c.drive.msixTable && e < c.drive.msixVectors; ++e) {
        const uint64_t entry = (*c.drive.msixTable & ~7u) + e * 16;
        const bool restored = e < c.tableEntries;
        EXPECT_EQ(fabric_->PeekDriveBar0(6, entry), restored ? 0xFEE01000u : 0u) << e;
        EXPECT_EQ(fabric_->PeekDriveBar0(6, entry + 12), restored ? 0u : 1u) << e;
    }
    const std::vector<std::string> lines = RestoreLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], c.line);
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].CurrentSlot[1].barAddr == 0, c.headerBytes == 0);
    ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Replacement,
    ::testing::Values(
        ReplacementCase{"SameModel", DriveDescription::Make(0x144D, 0xA801).WithMsix(0x2000, 8),
                        256, 8, 0xF1100004u, true},
        ReplacementCase{"OtherModelTableAtTheSamePlace",
                        DriveDescription::Make(0x144D, 0xB000).WithMsix(0x2000, 32), 64, 8,
                        0xF1100004u, true},
        ReplacementCase{"OtherModelSmallerTable",
                        DriveDescription::Make(0x144D, 0xB000).WithMsix(0x2000, 2), 64, 2,
                        0xF1100004u, true},
        ReplacementCase{"OtherVendorTableElsewhere",
                        DriveDescription::Make(0x8086, 0x0953).WithMsix(0x3000, 8), 64, 0,
                        0xF1100004u, true},
        ReplacementCase{"OtherModelWithoutMsix", DriveDescription::Make(0x144D, 0xB001), 64, 0,
                        0xF1100004u, true},
        // A 2 MiB BAR0 cannot sit at 0xF1100000: it would decode from 0xF1000000, over slot
        // 0's drive.
        ReplacementCase{
            "OtherModelWhoseBarDoesNotFit",
            DriveDescription::Make(0x144D, 0xB002).WithBar0(0, 0x200000).WithMsix(0x2000, 8), 0, 0,
            0x4u, false,
            "Corvax2 : Restore refused(6:0:0), reg 0x10=0x00000000F1100000: a BAR larger than its "
            "saved address's alignment"},
        // BAR2, which the old drive lacked, would decode at 0 (the system's memory) once
        // Command goes back.
        ReplacementCase{"OtherModelWithABarTheOldOneLacked",
                        DriveDescription::Make(0x144D, 0xB003).WithMsix(0x2000, 8).WithBar({2}), 0,
                        0, 0x4u, false,
                        "Corvax2 : Restore refused(6:0:0), reg 0x18=0x0000000000000000: a BAR left "
                        "unassigned"},
        // A 32-bit BAR0 would take the saved upper half as BAR1.
        ReplacementCase{"OtherModelWithA32BitBar0",
                        DriveDescription::Make(0x144D, 0xB004).With32BitBar0().WithMsix(0x2000, 8),
                        0, 0, 0x0u, false,
                        "Corvax2 : Restore refused(6:0:0), reg 0x10=0x00000000F1100004: a BAR of "
                        "another type"}),
    [](const ::testing::TestParamInfo<ReplacementCase>& p) { return std::string(p.param.name); });

// Bus numbers behind a switch can change between the update and the restore: then the
// address the update recorded for a slot names another drive, in use. Slots 0 and 1 swap
// buses here; neither drive may get the other's header.
TEST_F(RescanTest, HeaderGoesOnlyWhereTheSlotsOwnDriveStillAnswers) {
    const uint32_t port0 = fabric_->PeekConfig(4, 8, 0, 0x18);
    const uint32_t port1 = fabric_->PeekConfig(4, 9, 0, 0x18);
    fabric_->PokeConfig(4, 8, 0, 0x18, port1);
    fabric_->PokeConfig(4, 9, 0, 0x18, port0);
    CycleLink(0);
    CycleLink(1);
    fabric_->ClearConfigWrites();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].CurrentSlot[0].pciPFA, 0x0600u);
    EXPECT_EQ(Extension()->Bridge[0].CurrentSlot[1].pciPFA, 0x0500u);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_FALSE((w.pfa == 0x0500 || w.pfa == 0x0600) && w.offset < 0x40)
            << "header write at " << w.pfa << ":" << w.offset;
    }
    EXPECT_EQ(State(0).bar0, 0x4u);
    EXPECT_EQ(State(1).bar0, 0x4u);
    ExpectClean();
}

// The status halves of the registers the driver read-modify-writes are write-one-to-clear:
// events the system's own PCI driver owns (presence detect changed, link bandwidth changed,
// errors detected) survive every request.
TEST_F(RescanTest, StatusEventsSurviveEveryReadModifyWrite) {
    // Switch payloads of 256 bytes against drives left at 128: the update writes Device
    // Control of every listed drive.
    Reboot(FabricBuilder()
               .Switch(Model::Plx8732, 2, 3, 0, 256)
               .Port(0, 4, Listed(0xA800, 0xF1000000).WithLinkControl(0x0140))
               .Port(1, 5, Listed(0xA801, 0xF1100000).WithLinkControl(0x0140))
               .EmptyPort(2, 6)
               .EmptyPort(3, 7));
    auto raise = [&] {
        for (unsigned p = 0; p < 4; ++p) {
            const auto device = static_cast<uint8_t>(8 + p);
            fabric_->PokeConfig(3, device, 0, 0x78,
                                fabric_->PeekConfig(3, device, 0, 0x78) | 0xC0000000u);
            fabric_->PokeConfig(3, device, 0, 0x80,
                                fabric_->PeekConfig(3, device, 0, 0x80) | 0x00090000u);
        }
        for (uint8_t bus : {4, 5}) {
            fabric_->PokeConfig(bus, 0, 0, 0x78,
                                fabric_->PeekConfig(bus, 0, 0, 0x78) | 0x000F0000u);
        }
    };
    auto survived = [&](const char* after) {
        for (unsigned p = 0; p < 4; ++p) {
            const auto device = static_cast<uint8_t>(8 + p);
            EXPECT_EQ(fabric_->PeekConfig(3, device, 0, 0x78) & 0xC0000000u, 0xC0000000u)
                << after << ", Link Status of port " << p;
            EXPECT_EQ(fabric_->PeekConfig(3, device, 0, 0x80) & 0x00090000u, 0x00090000u)
                << after << ", Slot Status of port " << p;
        }
        for (uint8_t bus : {4, 5}) {
            EXPECT_EQ(fabric_->PeekConfig(bus, 0, 0, 0x78) & 0x000F0000u, 0x000F0000u)
                << after << ", Device Status of bus " << int{bus};
        }
    };
    raise();
    ASSERT_EQ(Send(PLX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    survived("update");
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    survived("disable");
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    raise();  // the drives came back from reset, their payloads at 128 bytes again
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(fabric_->PeekConfig(4, 0, 0, 0x78) & 0xE0u, 0x20u);
    survived("rescan");
    for (uint32_t code : {CORVAX_SET_LED, CORVAX_SET_LED_ALL, CORVAX_CLR_CPM}) {
        ASSERT_EQ(Send(code, Ulongs({0x0400, 1}), 0).status, KERN_STATUS_SUCCESS);
        survived("a LED or CPM request");
    }
}

// The save area keeps 16 of a table's entries: a table that holds more gets those 16 back, its
// other entries stay as the reset left them (masked); one across a page boundary goes back whole.
TEST_F(RescanTest, TheSavedEntriesGoBackWhereverTheTableLies) {
    for (const auto& [table, vectors] : {std::pair<uint32_t, unsigned>{0x2000, 32}, {0x1F80, 16}}) {
        SCOPED_TRACE(table);
        Reboot(FabricBuilder()
                   .Switch(Model::Plx8732, 2, 3)
                   .Port(0, 4,
                         DriveDescription::Make(0x144D, 0xA808)
                             .WithBar0(0xF1000000)
                             .WithMsix(table, vectors)));
        std::vector<uint32_t> before;
        for (unsigned d = 0; d < vectors * 4; ++d) {
            before.push_back(fabric_->PeekDriveBar0(4, table + d * 4));
        }
        CycleLinkAt(0x0340);
        ASSERT_EQ(fabric_->PeekDriveBar0(4, table), 0u);
        ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
        for (unsigned d = 0; d < vectors * 4; ++d) {
            const uint32_t now = fabric_->PeekDriveBar0(4, table + d * 4);
            if (d / 4 < 16) {
                EXPECT_EQ(now, before[d]) << d;
                EXPECT_TRUE(d % 4 != 0 || now != 0) << d;  // a message address
                EXPECT_TRUE(d % 4 != 3 || now == 0) << d;  // unmasked
            } else {
                EXPECT_EQ(now, d % 4 == 3 ? 1u : 0u) << d;
            }
        }
        ExpectClean();
    }
}

// BIR 1 or 2 names another BAR, 4 or 5 the 64-bit BAR4/5 pair, not BAR0: the table is neither
// saved nor written.
TEST_F(RescanTest, TableInAnotherBarIsNeitherSavedNorWritten) {
    for (uint32_t bir : {1u, 2u, 4u, 5u}) {
        SCOPED_TRACE(bir);
        Reboot(FabricBuilder()
                   .Switch(Model::Plx8732, 2, 3)
                   .Port(0, 4,
                         DriveDescription::Make(0x144D, 0xA808)
                             .WithBar0(0xF1000000)
                             .WithMsix(0x2000 | bir)));
        EXPECT_EQ(Extension()->Bridge[0].OriginalSlot[0].MsiTableOffset, 0x2000u | bir);
        EXPECT_EQ(Extension()->fgSaved[0][0], corvax::kSavedHeader);
        CycleLinkAt(0x0340);
        ClearLog();
        ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
        EXPECT_EQ(fabric_->PeekConfig(4, 0, 0, 0x10), 0xF1000004u);
        for (const std::string& line : Lines()) {
            EXPECT_EQ(line.find("MSI-X table("), std::string::npos) << line;
        }
        EXPECT_EQ(fabric_->GetCounters().physicalWrites, 0u);
        ExpectClean();
    }
}

TEST_F(RescanTest, MsixWritesStayInsideTheTableOfTheDriveThatAnswersNow) {
    // Same identifiers as the saved drives, but slot 1's replacement has a table of two
    // entries and slot 2's none at all: the saved eight entries must not spill into either
    // drive's own registers.
    fabric_->Replace(0, 1, DriveDescription::Make(0x144D, 0xA801).WithMsix(0x2000, 2));
    fabric_->Replace(0, 2, DriveDescription::Make(0x144D, 0xA802));
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(State(1).bar0, 0xF1100004u);
    EXPECT_EQ(State(2).bar0, 0xF1200004u);
    const std::vector<std::string> lines = RestoreLines();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(),
                  "Corvax2 : Restore MSI-X table(6:0:0), table=0x00000000F1102000, entries=2"),
        lines.end());
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("MSI-X table(7:0:0)"), std::string::npos) << line;
    }
    EXPECT_EQ(State(1).msix[0], 0xFEE01000u);  // entry 0 restored
    ExpectClean();
}

TEST_F(RescanTest, RestoreLogsTheVendorChecksOfEverySlotItTests) {
    CycleLink(1);
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    ClearLog();
    corvax::RestoreDrives(Extension());
    const std::vector<std::string> lines = Lines();
    // Four listed drives in both generations: two matches each, then slot 1 is restored.
    ASSERT_EQ(lines.size(), 1u + 8u + 2u);
    EXPECT_EQ(lines[1], "Corvax2 : found ZEL SSD: 0000144D = A800144D");
    EXPECT_EQ(lines[2], "Corvax2 : found ZEL SSD: 0000144D = A800144D");
    EXPECT_EQ(lines[5],
              "Corvax2 : Restore PCI configuration memory(6:0:0), bar0=0x00000000F1100000");
}

TEST_F(RescanTest, SwitchWithNoCurrentDriveIsSkippedByTheRestore) {
    for (unsigned slot = 0; slot < 4; ++slot) {
        fabric_->Pull(0, slot);
    }
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].CurrentMap, 0u);
    ClearLog();
    corvax::RestoreDrives(Extension());
    EXPECT_EQ(Lines(),
              std::vector<std::string>{"Corvax2 : Restore PCI configuration memory & MSI-X table"});
}

TEST_F(RescanTest, OnBoardDriveThatChangedIsForgottenLeavingAGap) {
    fabric_->RemoveOnboard(1);
    ASSERT_EQ(Send(CORVAX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    const corvax::DriveSlot zero = {};
    EXPECT_EQ(std::memcmp(&Extension()->OnBoardSlot[0], &zero, sizeof(zero)), 0);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "Corvax2 : On board QX7100 Information"),
              lines.end());
}

TEST_F(RescanTest, SaveThatNeverArrivedIsNeverWrittenBack) {
    // An update whose header save for slot 0 fails leaves that area with older bytes.
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 1);
    ASSERT_EQ(Send(CORVAX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Extension()->fgSaved[0][0] & corvax::kSavedHeader, 0);
    CycleLink(0);
    ClearLog();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(RestoreLines(),
              std::vector<std::string>{"Corvax2 : Restore PCI configuration memory & MSI-X table"});
    EXPECT_EQ(State(0).bar0, 0x4u);
    ExpectClean();
}

TEST_F(RescanTest, MsixTableIsNotWrittenWhenItsSaveFailedOrTheHeaderDidNotArrive) {
    // Slot 0: the MSI-X page mapping of the update fails (third mapping of the slot).
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 3);
    ASSERT_EQ(Send(CORVAX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Extension()->fgSaved[0][0], corvax::kSavedHeader);
    CycleLink(0);
    CycleLink(1);
    // Slot 1's header write mapping fails during the restore: no table write either.
    const std::vector<uint32_t> table1 = State(1).msix;
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, KERN_STATUS_SUCCESS);
    ClearLog();
    sim::Kernel::Get().FailMapping(sim::MapStep::Mdl, 2);
    corvax::RestoreDrives(Extension());
    EXPECT_EQ(State(0).bar0, 0xF1000004u);
    for (unsigned e = 0; e < 8; ++e) {
        EXPECT_EQ(State(0).msix[e * 4 + 3], 1u) << "entry " << e << " stays masked from reset";
    }
    EXPECT_EQ(State(1).bar0, 0x4u);
    EXPECT_EQ(State(1).msix, table1);
    for (const std::string& line : Lines()) {
        EXPECT_EQ(line.find("MSI-X table("), std::string::npos) << line;
    }
    ExpectClean();
}

}  // namespace
}  // namespace corvax_test
