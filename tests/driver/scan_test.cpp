// The topology update at load: what the registry believes afterwards, what the scan wrote into
// the hardware, what it logged, and what it cost.
#include "driver/topology/pci_access.h"
#include "driver/topology/topology.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using Model = sim::SwitchModel;

constexpr uint32_t kEcam = 0xE0000000u;

DriveDescription Listed(uint16_t device, uint64_t bar0, uint32_t msix = 0x2000) {
    return DriveDescription::Make(0x8086, device).WithBar0(bar0, 0x4000).WithMsix(msix, 32);
}

// The log without the registry dumps: from a dump's first separator up to the closing line of
// the update or rescan that ran it.
std::vector<std::string> WithoutDump(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    bool inDump = false;
    for (const std::string& line : lines) {
        if (line == "Corvax2 : ************************************************************") {
            inDump = true;
        }
        if (inDump && line.rfind("Corvax2 : PCI ", 0) == 0) {
            inDump = false;
        }
        if (!inDump) {
            out.push_back(line);
        }
    }
    return out;
}

class ScanTest : public DriverTest {
  protected:
    void LoadFabric(const FabricBuilder& builder) {
        Attach(std::make_unique<sim::Fabric>(builder.Build()));
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    }
    const corvax::PlxBridge& Bridge(int i) const { return Extension()->Bridge[i]; }
    const corvax::DriveSlot& Slot(int bridge, int slot) const {
        return Extension()->Bridge[bridge].OriginalSlot[slot];
    }
};

TEST_F(ScanTest, OnBoardDriveBeforeASwitchAndTheDrivesBehindIt) {
    FabricBuilder b;
    b.Onboard(1, DriveDescription::Make(0x1B4B, 0x1092).WithBar0(0xF0000000));
    b.Switch(Model::Plx8748, 3, 4, 0xFB000000);
    for (unsigned i = 0; i < 8; ++i) {
        b.Port(i, static_cast<uint8_t>(5 + i), Listed(0x0A54, 0xF1000000u + i * 0x100000u));
    }
    LoadFabric(b);
    const corvax::DeviceExtension* e = Extension();
    EXPECT_EQ(e->fgPlx8748, 1);
    EXPECT_EQ(e->OnBoardSlot[0].fgStatus, 0xC0);
    EXPECT_EQ(e->OnBoardSlot[0].pciPFA, 0x0100u);
    EXPECT_EQ(e->OnBoardSlot[0].pciID, 0x10921B4Bu);  // on-board drives whatever their vendor
    EXPECT_EQ(e->OnBoardSlot[0].barAddr, 0xF0000000u);
    EXPECT_EQ(e->OnBoardSlot[0].PciConfigAddr, kEcam + 0x100000u);
    EXPECT_EQ(e->OnBoardSlot[0].ConfigTable, nullptr);
    // The switch's drives answer on buses 5 to 12 too, but the scan knows them by then.
    EXPECT_EQ(e->OnBoardSlot[1].fgStatus, 0);
    EXPECT_EQ(Bridge(0).pciID, corvax::kPlx8748Id);
    EXPECT_EQ(Bridge(0).bdgPFA, 0x0300u);
    EXPECT_EQ(Bridge(0).OriginalMap, 0xFFu);
    EXPECT_EQ(Bridge(0).CurrentMap, 0xFFu);
    EXPECT_EQ(Bridge(0).SecondaryBus, 4u);
    EXPECT_EQ(Bridge(0).PrimaryBus, 3u);  // the bus the upstream port sits on
    EXPECT_EQ(Bridge(0).pBdgSecAddr1, 0xFB008000u);
    EXPECT_EQ(Bridge(0).pBdgSecAddr2, 0xFB010000u);
    for (int i = 0; i < 8; ++i) {
        const corvax::DriveSlot& s = Slot(0, i);
        EXPECT_EQ(s.fgStatus, 0x80);
        EXPECT_EQ(s.bdgDeviceIndex, i);
        EXPECT_EQ(s.bdgDeviceId, corvax::LinkMap8748[i]);
        EXPECT_EQ(s.pciPFA, static_cast<uint32_t>((5 + i) << 8));
        EXPECT_EQ(s.pciID, 0x0A548086u);
        EXPECT_EQ(s.barAddr, 0xF1000000u + i * 0x100000u);
        EXPECT_EQ(s.MsiTableOffset, 0x2000u);
        EXPECT_EQ(s.ConfigTable, &Extension()->SlotSave[0][i][0]);
        EXPECT_EQ(s.MsiTable, &Extension()->SlotSave[0][i][256]);
        EXPECT_EQ(std::memcmp(&Bridge(0).CurrentSlot[i], &s, sizeof(s)), 0);
    }
    for (int i = 8; i < 12; ++i) {
        const corvax::DriveSlot zero = {};
        EXPECT_EQ(std::memcmp(&Slot(0, i), &zero, sizeof(zero)), 0) << i;
    }
    EXPECT_TRUE(fabric_->Faults().Empty());
}

TEST_F(ScanTest, SwitchesOfAnotherFamilyAreNeitherRegisteredNorTakenForDrives) {
    FabricBuilder b;
    b.Switch(Model::Plx8748, 2, 3, 0xFB000000).Port(0, 4, Listed(1, 0xF1000000));
    b.Switch(Model::Plx8732, 20, 21).Port(0, 22, Listed(2, 0xF2000000));
    LoadFabric(b);
    EXPECT_EQ(Extension()->fgPlx8748, 1);
    EXPECT_EQ(Extension()->fgPlx8732, 0);
    EXPECT_EQ(Bridge(1).bdgPFA, 0u);
    // The 8732's drive on bus 22 is an NVMe function outside any registered switch.
    EXPECT_EQ(Extension()->OnBoardSlot[0].pciPFA, 0x1600u);
    EXPECT_EQ(Extension()->OnBoardSlot[1].fgStatus, 0);
}

TEST_F(ScanTest, OnlyTheFirstOfTwo8618sIsRegistered) {
    FabricBuilder b;
    b.Switch(Model::Plx8618, 2, 3).Port(0, 4, Listed(1, 0xF1000000));
    b.Switch(Model::Plx8618, 10, 11).Port(4, 12, Listed(2, 0xF2000000));
    LoadFabric(b);
    EXPECT_EQ(Extension()->fgPlx8618, 1);
    EXPECT_EQ(Bridge(0).bdgPFA, 0x0200u);
    EXPECT_EQ(Bridge(1).bdgPFA, 0u);
    EXPECT_EQ(Bridge(0).OriginalMap, 0x1u);
    // Slot 0 of an 8618 is device 2 on its internal bus.
    EXPECT_EQ(Slot(0, 0).bdgDeviceId, 2);
    EXPECT_EQ(Slot(0, 4).bdgDeviceId, 1);
    EXPECT_EQ(Slot(0, 11).bdgDeviceId, 15);
}

TEST_F(ScanTest, TheThirdSwitchEndsTheProbe) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2).Port(0, 3, Listed(1, 0xF1000000));
    b.Switch(Model::Plx8732, 4, 5).Port(1, 6, Listed(2, 0xF2000000));
    b.Switch(Model::Plx8732, 7, 8).Port(3, 9, Listed(3, 0xF3000000));
    b.Onboard(30, Listed(4, 0xF4000000));
    LoadFabric(b);
    EXPECT_EQ(Bridge(2).bdgPFA, 0x0700u);
    EXPECT_EQ(Bridge(1).OriginalMap, 0x2u);
    EXPECT_EQ(Bridge(2).OriginalMap, 0x8u);
    EXPECT_EQ(Extension()->OnBoardSlot[0].fgStatus, 0);  // bus 30 was never probed
    EXPECT_EQ(Slot(2, 0).ConfigTable, &Extension()->SlotSave[2][0][0]);
}

TEST_F(ScanTest, UnlistedDriveIsRegisteredButNeverTouched) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2, 0, 256);
    b.Port(0, 3, DriveDescription::Make(0x1B4B, 0x5555).WithBar0(0xF1000000).WithMsix(0x2000));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    const corvax::DriveSlot& s = Slot(0, 0);
    EXPECT_EQ(s.fgStatus, 0x80);
    EXPECT_EQ(Bridge(0).OriginalMap, 0x1u);
    EXPECT_EQ(s.MsiTableOffset, 0u);
    EXPECT_EQ(Extension()->fgSaved[0][0], 0);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_NE(w.pfa, 0x0300) << "wrote offset " << w.offset;
    }
    // The load's only mapping is the window check at the window base.
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 1u);
    // The save area was never written: the extension started zeroed.
    EXPECT_EQ(s.ConfigTable[0], 0);
}

TEST_F(ScanTest, EmptyPortStillRecordsItsAddressesAndSaveAreas) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2).EmptyPort(2, 7);
    LoadFabric(b);
    const corvax::DriveSlot& s = Slot(0, 2);
    EXPECT_EQ(s.fgStatus, 0);
    EXPECT_EQ(s.bdgDeviceIndex, 2);
    EXPECT_EQ(s.bdgDeviceId, 10);
    EXPECT_EQ(s.pciPFA, 0x0700u);
    EXPECT_EQ(s.PciConfigAddr, kEcam + 0x700000u);
    EXPECT_EQ(s.ConfigTable, &Extension()->SlotSave[0][2][0]);
    EXPECT_EQ(s.MsiTable, &Extension()->SlotSave[0][2][256]);
    // A port that does not exist at all gives bus 0xFF.
    EXPECT_EQ(Slot(0, 0).pciPFA, 0xFF00u);
    EXPECT_EQ(Bridge(0).OriginalMap, 0u);
}

TEST_F(ScanTest, ListedDriveGetsTheSwitchPayloadItsHeaderAndItsMsixTableSaved) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2, 0, 256);
    b.Port(0, 3, Listed(0x0A54, 0xF1000000, 0x2000));  // MSI-X table 8 KiB into BAR0
    b.Port(1, 4, Listed(0x0A55, 0xF1100000).WithMaxPayload(256));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    fabric_->PokePhysical(0xF1002000, 0xFEE00000);
    fabric_->PokePhysical(0xF1002008, 0x00004021);
    fabric_->PokePhysical(0xF10020FC, 0x0BADCAFE);  // last dword of entry 15
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);

    EXPECT_EQ(Bridge(0).bdgMps, 0x20u);
    EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, 0x78) & 0xE0u, 0x20u);
    int payloadWrites[2] = {0, 0};
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        if (w.offset == 0x78 && (w.pfa == 0x0300 || w.pfa == 0x0400)) {
            ++payloadWrites[w.pfa == 0x0400];
        }
    }
    EXPECT_EQ(payloadWrites[0], 1);
    EXPECT_EQ(payloadWrites[1], 0);  // already equal: left alone

    const corvax::DriveSlot& s = Slot(0, 0);
    EXPECT_EQ(Extension()->fgSaved[0][0], corvax::kSavedHeader | corvax::kSavedMsiTable);
    for (unsigned i = 0; i < 256; i += 4) {
        uint32_t saved;
        std::memcpy(&saved, s.ConfigTable + i, 4);
        ASSERT_EQ(saved, fabric_->PeekConfig(3, 0, 0, i)) << i;
    }
    uint32_t entry;
    std::memcpy(&entry, s.MsiTable + 0, 4);
    EXPECT_EQ(entry, 0xFEE00000u);
    std::memcpy(&entry, s.MsiTable + 8, 4);
    EXPECT_EQ(entry, 0x00004021u);
    std::memcpy(&entry, s.MsiTable + 0xFC, 4);
    EXPECT_EQ(entry, 0x0BADCAFEu);
    EXPECT_TRUE(fabric_->Faults().Empty());
}

TEST_F(ScanTest, FailedSavesAreRecordedAsNotSaved) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2)
        .Port(0, 3, Listed(1, 0xF1000000))
        .Port(1, 4, Listed(2, 0xF2000000));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    // Slot 0: header save (the load's 2nd mapping, after the window check) fails, and with it
    // the table's: only the header shows that BAR0 decodes where the table is read. Slot 1: the
    // MSI-X page (the update's 6th mapping) fails.
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 2);
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->fgSaved[0][0], 0);
    EXPECT_EQ(Extension()->fgSaved[0][1], corvax::kSavedHeader | corvax::kSavedMsiTable);
    sim::Kernel::Get().FailMapping(sim::MapStep::View, 6);
    ASSERT_EQ(Send(CORVAX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->fgSaved[0][0], corvax::kSavedHeader | corvax::kSavedMsiTable);
    EXPECT_EQ(Extension()->fgSaved[0][1], corvax::kSavedHeader);
    EXPECT_EQ(sim::Kernel::Get().Mappings().liveIoSpace, 0);
}

TEST_F(ScanTest, UpdateLogAndDumpOfAn8732WithOneDrive) {
    FabricBuilder b;
    b.HostBridge(0x8086, 0x3E0F, 0xE0000001);
    b.Switch(Model::Plx8732, 1, 2, 0, 256);
    b.Port(0, 3, DriveDescription::Make(0x1B4B, 0x5555).WithBar0(0x1F1000000ull));
    b.EmptyPort(1, 4).EmptyPort(2, 5).EmptyPort(3, 6);
    LoadFabric(b);
    const std::vector<std::string> lines = Lines();
    const std::vector<std::string> steps = WithoutDump(lines);
    ASSERT_GE(steps.size(), 17u);
    EXPECT_EQ(steps[3], "Corvax2 : Pci configuration memory start address:0xE0000000");
    EXPECT_EQ(steps[16], "Corvax2 : Update PLX Bridge & PCI device information");
    EXPECT_EQ(steps.back(), "Corvax2 : PCI update completed ");
    EXPECT_EQ(steps.size(), 18u);

    // The dump: record 0 with its four slots, two empty records, no on-board drive.
    auto at = std::find(lines.begin(), lines.end(), "Corvax2 : Bridge Information");
    ASSERT_NE(at, lines.end());
    const std::vector<std::string> header(at, at + 10);
    EXPECT_EQ(header, (std::vector<std::string>{
                          "Corvax2 : Bridge Information",
                          "Corvax2 :   Vendor ID            :0x10B5",
                          "Corvax2 :   Device ID            :0x8732",
                          "Corvax2 :   Bridge PFA           :0x0100",
                          "Corvax2 :   Bridge Original Map  :0x0001",
                          "Corvax2 :   Bridge Current Map   :0x0001",
                          "Corvax2 :   Bridge Primary bus   :1",
                          "Corvax2 :   Bridge Secondary bus :2",
                          "Corvax2 :   pBdgSecAddr1         :0x0000000000000000",
                          "Corvax2 :   pBdgSecAddr2         :0x0000000000000000",
                      }));
    const std::vector<std::string> slot0(at + 10, at + 24);
    char configTable[96];
    std::snprintf(
        configTable, sizeof(configTable), "Corvax2 :   ConfigTable    :0x%016llX(0x%016llX)",
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(Slot(0, 0).ConfigTable)),
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(Slot(0, 0).ConfigTable)));
    EXPECT_EQ(slot0[0], "Corvax2 : QX7100 Information 0");
    EXPECT_EQ(slot0[1], "Corvax2 :   fgStatus       :0x80(0x80)");
    EXPECT_EQ(slot0[2], "Corvax2 :   bdgDevice Index:0(0)");
    EXPECT_EQ(slot0[3], "Corvax2 :   bdgDevice ID   :8(8)");
    EXPECT_EQ(slot0[4], "Corvax2 :   bdgMps         :1(1)");
    EXPECT_EQ(slot0[5], "Corvax2 :   pciPFA         :0x0300(0x0300)");
    EXPECT_EQ(slot0[6], "Corvax2 :   pciBus ID      :3(3)");
    EXPECT_EQ(slot0[7], "Corvax2 :   vindor ID      :0x1B4B(0x1B4B)");
    EXPECT_EQ(slot0[8], "Corvax2 :   device ID      :0x5555(0x5555)");
    EXPECT_EQ(slot0[9], "Corvax2 :   barAddr        :0x00000001F1000000(0x00000001F1000000)");
    EXPECT_EQ(slot0[10], "Corvax2 :   PciConfigAddr  :0x00000000E0300000(0x00000000E0300000)");
    EXPECT_EQ(slot0[11], configTable);
    EXPECT_EQ(slot0[13], "Corvax2 :   MsiTableOffset :0x00000000(0x00000000)");
    // An empty slot still shows its index, device number, address and save areas.
    EXPECT_EQ(*(at + 24), "Corvax2 : QX7100 Information 1");
    EXPECT_EQ(*(at + 24 + 5), "Corvax2 :   pciPFA         :0x0400(0x0400)");
    EXPECT_EQ(*(at + 24 + 7), "Corvax2 :   vindor ID      :0x0000(0x0000)");
    // After slot 3: two empty records of eleven lines, the second separator, the last one.
    const auto tail = at + 10 + 4 * 14;
    EXPECT_EQ(*tail, "Corvax2 : ************************************************************");
    EXPECT_EQ(*(tail + 1), "Corvax2 : Bridge Information");
    EXPECT_EQ(*(tail + 22),
              "Corvax2 :************************************************************");
    EXPECT_EQ(*(tail + 23),
              "Corvax2 : ************************************************************");
    EXPECT_EQ(*(tail + 24), "Corvax2 : PCI update completed ");
}

TEST_F(ScanTest, OnBoardDumpBlockAndNothingForEmptySlots) {
    FabricBuilder b;
    b.Onboard(6, DriveDescription::Make(0x144D, 0xA808).WithBar0(0xF3000000));
    LoadFabric(b);
    const std::vector<std::string> lines = Lines();
    auto at = std::find(lines.begin(), lines.end(),
                        "Corvax2 :************************************************************");
    ASSERT_NE(at, lines.end());
    const std::vector<std::string> block(at + 1, at + 16);
    EXPECT_EQ(block, (std::vector<std::string>{
                         "Corvax2 : On board QX7100 Information",
                         "Corvax2 :   fgStatus       :0xC0",
                         "Corvax2 :   bdgDevice Index:0",
                         "Corvax2 :   bdgDevice ID   :0",
                         "Corvax2 :   bdgMps         :0",
                         "Corvax2 :   pciPFA         :0x0600",
                         "Corvax2 :   pciBus ID      :6",
                         "Corvax2 :   vindor ID      :0x144D",
                         "Corvax2 :   device ID      :0xA808",
                         "Corvax2 :   barAddr        :0x00000000F3000000",
                         "Corvax2 :   PciConfigAddr  :0x00000000E0600000",
                         "Corvax2 :   ConfigTable    :0x0000000000000000",
                         "Corvax2 :   MsiTable       :0x0000000000000000",
                         "Corvax2 :   MsiTableOffset :0x00000000",
                         "Corvax2 : ************************************************************",
                     }));
    // With no switch: three header blocks of eleven lines and no slot lines before it.
    EXPECT_EQ(
        at - std::find(lines.begin(), lines.end(),
                       "Corvax2 : ************************************************************"),
        33);
}

// The update's hardware budget follows from its algorithm: per probed bus one read, two when
// it is not a switch candidate, two more for an on-board drive's BAR; per 8732 two upstream
// reads; per slot two reads, three more with a drive; per listed drive four reads to align its
// payload (the capabilities pointer, the PCI Express capability's header, Device Capabilities,
// Device Control), two header mappings and, before its MSI-X page mapping, 17 reads of the path
// to it (the upstream port's identity and bus numbers; the port's identity, header type and bus
// numbers; both bridges' Command and windows, the prefetchable ones 64-bit). Nothing more.
TEST_F(ScanTest, OneUpdateCostsExactlyWhatItsAlgorithmImplies) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2);
    b.Port(0, 3, Listed(1, 0xF1000000));
    b.Port(1, 4, Listed(2, 0xF1100000, 0x1F80));  // table crosses a page: two mappings
    b.Port(2, 5, DriveDescription::Make(0x1B4B, 3).WithBar0(0xF1200000));
    b.EmptyPort(3, 6);
    b.Onboard(10, Listed(4, 0xF1300000));
    LoadFabric(b);
    fabric_->ResetCounters();
    const sim::MappingCounters before = sim::Kernel::Get().Mappings();
    const uint64_t pairsBefore = sim::Kernel::Get().ConfigPairs();

    ASSERT_EQ(Send(PLX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);

    const uint64_t probes = 1 + 63 * 2 + 2;  // switch at bus 1, 63 other buses, on-board BARs
    const uint64_t upstream = 2;
    const uint64_t slots = 4 * 2 + 3 * 3 + 2 * 4 + 2 * 17;  // 3 answer, 2 listed save a table
    EXPECT_EQ(fabric_->GetCounters().portPairs, probes + upstream + slots);
    EXPECT_EQ(sim::Kernel::Get().ConfigPairs() - pairsBefore, probes + upstream + slots);
    const sim::MappingCounters after = sim::Kernel::Get().Mappings();
    EXPECT_EQ(after.ioSpaceMaps - before.ioSpaceMaps, 2u * 2 + 1 + 2);
    EXPECT_EQ(after.viewMaps - before.viewMaps, 2u * 2 + 1 + 2);
    EXPECT_EQ(after.liveIoSpace + after.liveMdls + after.liveViews, 0);
    EXPECT_EQ(fabric_->GetCounters().interleaveViolations, 0u);
}

// A record that does not lie in the extension's array is scanned all the same (payload
// alignment and the header save included); only the note of what was saved, which is kept per
// record of the extension, is not made.
TEST_F(ScanTest, RecordHeldOutsideTheExtensionIsScannedWithoutTheSaveNote) {
    FabricBuilder b;
    b.Switch(Model::Plx8732, 1, 2, 0, 256);
    b.Port(0, 3, Listed(1, 0xF1000000));
    LoadFabric(b);
    uint8_t notes[corvax::kBridgeRecords][corvax::kSlotsPerBridge];
    std::memcpy(notes, Extension()->fgSaved, sizeof(notes));
    fabric_->PokeConfig(3, 0, 0, 0x78, fabric_->PeekConfig(3, 0, 0, 0x78) & ~0xE0u);

    corvax::PlxBridge outside = {};
    outside.pciID = corvax::kPlx8732Id;
    outside.bdgPFA = 0x0100;
    std::vector<uint8_t> area(corvax::kSaveGroupSize, 0xEE);
    corvax::ScanBridge(Extension(), &outside, area.data());

    EXPECT_EQ(outside.OriginalMap, 0x1u);
    EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, 0x78) & 0xE0u, 0x20u);
    for (unsigned i = 0; i < 256; i += 4) {
        uint32_t saved;
        std::memcpy(&saved, area.data() + i, 4);
        ASSERT_EQ(saved, fabric_->PeekConfig(3, 0, 0, i)) << i;
    }
    EXPECT_EQ(std::memcmp(notes, Extension()->fgSaved, sizeof(notes)), 0);
}

TEST_F(ScanTest, BogusWindowBaseNeverReceivesAWrite) {
    Attach(
        sim::Fabric::FromFile(std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/amd-host.json"));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->fgEcamTrusted, 0);
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses, 0u);
    EXPECT_NE(Extension()->fgSaved[0][0] & corvax::kSavedHeader, 0);
}

}  // namespace
}  // namespace corvax_test
