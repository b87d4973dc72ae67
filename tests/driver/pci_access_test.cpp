// Configuration-space and physical-memory access against the simulated fabric.
#include "driver/topology/pci_access.h"

#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using corvax::DriveSlot;
using sim::DriveDescription;
using sim::FabricBuilder;

constexpr uint32_t kEcam = 0xE0000000u;
constexpr uint64_t kDriveBar = 0xF0100000ull;

class PciAccessTest : public DriverTest {
  protected:
    // A drive on bus 2 and one read-only function on bus 9 whose dwords a test chooses.
    void Build(std::map<unsigned, uint32_t> functionDwords = {{0x00, 0x12345678},
                                                              {0x60, 0xCAFEF00D}},
               uint16_t hostVendor = 0x8086, uint32_t hostDword60 = kEcam | 1) {
        FabricBuilder b;
        b.HostBridge(hostVendor, 0x3E0F, hostDword60);
        b.Onboard(2, DriveDescription::Make(0x8086, 0x0A54)
                         .WithBar0(kDriveBar, 0x4000)
                         .WithMsix(0x1F00, 32));
        b.Function(0x0900, std::move(functionDwords));
        Attach(std::make_unique<sim::Fabric>(b.Build()));
        extension_.reset(new corvax::DeviceExtension());
        corvax::PciInitializeEcam(extension_.get());
        // A fresh boot after the window check's mapping: the tests count their own mappings.
        sim::Kernel::Get().Reset();
        fabric_->ResetCounters();
    }

    DriveSlot SlotFor(uint32_t pfa) const {
        DriveSlot slot = {};
        slot.pciPFA = pfa;
        slot.PciConfigAddr = corvax::EcamAddress(extension_->EcamBase, pfa);
        return slot;
    }

    std::unique_ptr<corvax::DeviceExtension> extension_;
};

TEST_F(PciAccessTest, ConfigAddressUsesOnlyTheDwordBitsOfTheOffsetAndSixteenPfaBits) {
    Build();
    EXPECT_EQ(corvax::ConfigAddress(0x0900, 0x61), 0x80090060u);
    EXPECT_EQ(corvax::ConfigAddress(0x0900, 0x104), 0x80090004u);
    EXPECT_EQ(corvax::ConfigAddress(0x7FFFF, 0), 0x80FFFF00u);
    EXPECT_EQ(corvax::PciReadConfigUlong(0x0900, 0x61), 0xCAFEF00Du);
    EXPECT_EQ(corvax::PciReadConfigUlong(0x10900, 0x60), 0xCAFEF00Du);
    // Register 0x104 is dword 0x04 of the same function: out of reach of the ports otherwise.
    EXPECT_EQ(corvax::PciReadConfigUlong(0x0200, 0x104), corvax::PciReadConfigUlong(0x0200, 0x04));
    EXPECT_EQ(corvax::PciReadConfigUlong(0x0300, 0x00), 0xFFFFFFFFu);  // nothing on bus 3
    EXPECT_EQ(fabric_->GetCounters().reservedAddressBits, 0u);
    EXPECT_EQ(fabric_->GetCounters().interleaveViolations, 0u);
}

TEST_F(PciAccessTest, PortWriteReachesTheRegisterAndAbsentFunctionsSwallowIt) {
    Build();
    corvax::PciWriteConfigUlong(0x0200, 0x78, 0x00000040);  // Max_Payload_Size 512
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x78) & 0xE0u, 0x40u);
    corvax::PciWriteConfigUlong(0x0300, 0x10, 0x12345678);
    EXPECT_TRUE(fabric_->Faults().Empty());
}

TEST_F(PciAccessTest, EcamBaseDropsTheLowTwelveBitsAndNamesTheDrivePage) {
    Build();
    EXPECT_EQ(extension_->EcamBase, kEcam);
    EXPECT_EQ(extension_->fgEcamTrusted, 1);
    EXPECT_EQ(sim::Kernel::Get().LogLines(), std::vector<std::string>{});
    // Bus 2, device 0, function 0 lies 2 MiB above the base.
    EXPECT_EQ(corvax::EcamAddress(extension_->EcamBase, 0x0200), kEcam + 0x200000u);
    EXPECT_EQ(corvax::EcamAddress(extension_->EcamBase, 0x4200), kEcam + 0x200000u);  // bus 66
}

struct HeaderCase {
    const char* name;
    bool window;
    uint32_t length;
    uint32_t copied;
};

class HeaderLengthTest : public PciAccessTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderLengthTest, CopiesExactlyTheBytesOfItsPath) {
    const HeaderCase& c = GetParam();
    Build();
    DriveSlot slot = SlotFor(0x0200);
    if (!c.window) {
        slot.PciConfigAddr = 0;
    }
    std::vector<uint8_t> buffer(320, 0xEE);
    bool copied = false;
    ASSERT_TRUE(
        corvax::PciReadConfigHeader(extension_.get(), &slot, buffer.data(), c.length, &copied));
    EXPECT_TRUE(copied);
    for (uint32_t i = 0; i < c.copied; ++i) {
        const uint32_t dword = fabric_->PeekConfig(2, 0, 0, i & ~3u);
        ASSERT_EQ(buffer[i], static_cast<uint8_t>(dword >> (8 * (i & 3)))) << i;
    }
    for (uint32_t i = c.copied; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << i;
    }
    const sim::Counters counters = fabric_->GetCounters();
    EXPECT_EQ(counters.portPairs, c.window ? 0u : c.copied / 4);
    EXPECT_EQ(counters.ecamAccesses, c.window ? c.copied : 0u);
    ExpectNothingMapped();
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, HeaderLengthTest,
    ::testing::Values(HeaderCase{"ports_6", false, 6, 4}, HeaderCase{"ports_300", false, 300, 256},
                      HeaderCase{"ports_0", false, 0, 0}, HeaderCase{"window_6", true, 6, 6},
                      HeaderCase{"window_300", true, 300, 300}),
    [](const ::testing::TestParamInfo<HeaderCase>& p) { return std::string(p.param.name); });

// The header goes back upward, each register by its own writes, with the Command register
// held back to the end: the drive decodes nothing until its BARs are back. Before the Command
// register, BAR0 is read back (two dwords) to see that it holds the saved address.
class HeaderWriteOrder : public PciAccessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HeaderWriteOrder, CommandGoesLast) {
    const bool window = GetParam();
    Build();
    DriveSlot slot = SlotFor(0x0200);
    if (!window) {
        slot.PciConfigAddr = 0;
    }
    uint8_t header[256];
    ASSERT_TRUE(corvax::PciReadConfigHeader(extension_.get(), &slot, header, 256));
    fabric_->PokeConfig(2, 0, 0, 0x04, 0);  // back from a reset: decoding off
    fabric_->ClearConfigWrites();
    fabric_->ResetCounters();
    bool written = false;
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256, &written));
    EXPECT_TRUE(written);
    std::vector<unsigned> expected;
    const unsigned step = window ? 1 : 4;
    for (unsigned i = 0; i < 256; i += step) {
        if (i < 4 || i > 5) {
            expected.push_back(i);
        }
    }
    expected.push_back(4);
    if (window) {
        expected.push_back(5);
    }
    std::vector<unsigned> offsets;
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        offsets.push_back(w.offset);
        EXPECT_EQ(w.size, step);
        EXPECT_EQ(w.path, window ? sim::ConfigPath::Ecam : sim::ConfigPath::Ports);
        EXPECT_EQ(w.pfa, 0x0200);
    }
    EXPECT_EQ(offsets, expected);
    EXPECT_EQ(fabric_->GetCounters().configReads, 7u);  // the six BARs and the ROM BAR
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x04) & 0x6u, 0x6u);
    ExpectNothingMapped();
}

INSTANTIATE_TEST_SUITE_P(Paths, HeaderWriteOrder, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return std::string(p.param ? "window" : "ports");
                         });

// A drive whose BAR0 is larger than the saved address's alignment keeps only the bits its size
// leaves: with memory decoding on it would answer over whatever lies below. Its Command
// register is not written, and BAR0 goes back to 0: a drive without an address, not one aimed
// at another's range.
TEST_P(HeaderWriteOrder, CommandStaysOffWhenBar0DoesNotHoldTheSavedAddress) {
    const bool window = GetParam();
    FabricBuilder b;
    b.Onboard(2, DriveDescription::Make(0x8086, 0x0A54).WithBar0(0xF0100000, 0x10000));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    extension_.reset(new corvax::DeviceExtension());
    corvax::PciInitializeEcam(extension_.get());
    DriveSlot slot = SlotFor(0x0200);
    if (!window) {
        slot.PciConfigAddr = 0;
    }
    uint8_t header[256];
    ASSERT_TRUE(corvax::PciReadConfigHeader(extension_.get(), &slot, header, 256));
    const uint32_t saved = 0xF0104004u;  // 16 KiB aligned, not 64 KiB
    std::memcpy(header + 0x10, &saved, 4);
    fabric_->PokeConfig(2, 0, 0, 0x04, 0);
    fabric_->PokeConfig(2, 0, 0, 0x10, 0x4);
    fabric_->ClearConfigWrites();
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x10), 0x4u);  // the size dropped bit 14: back to 0
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x04) & 0xFFFFu, 0u);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_FALSE(w.offset >= 4 && w.offset < 6) << "Command written";
    }
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, WindowIsNotTrustedBehindANonIntelHostBridge) {
    // dword 0x60 of this bridge is some other register; a "window" there is unclaimed memory.
    Build({{0x00, 0x12345678}}, 0x1022, 0xFED00000u);
    EXPECT_EQ(extension_->EcamBase, 0xFED00000u);
    EXPECT_EQ(extension_->fgEcamTrusted, 0);
    DriveSlot slot = SlotFor(0x0200);
    uint8_t header[256];
    ASSERT_TRUE(corvax::PciReadConfigHeader(extension_.get(), &slot, header, 256));
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses, 0u);
    // 64 reads; 63 writes, the six BARs and the ROM BAR read back (7), then the Command dword.
    EXPECT_EQ(fabric_->GetCounters().portPairs, 135u);
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 0u);
}

TEST_F(PciAccessTest, WindowBaseThatDidNotAnswerIsNotTrusted) {
    // The host bridge's dword 0x60 reads all-ones once: a base of 0xFFFFF000 would put every
    // window address above 4 GiB, and the header accesses, which take its low half, would
    // land in low memory.
    Build();
    fabric_->FailAccess(sim::AccessFault::ConfigRead, 1);
    corvax::PciInitializeEcam(extension_.get());
    EXPECT_EQ(extension_->EcamBase, 0xFFFFF000u);
    EXPECT_EQ(extension_->fgEcamTrusted, 0);
    DriveSlot slot = SlotFor(0x0400);
    uint8_t header[256];
    std::memset(header, 0xFF, sizeof(header));
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 0u);
    // Even with a trusted base, a window address above 4 GiB is never used.
    extension_->fgEcamTrusted = 1;
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 0u);
}

TEST_F(PciAccessTest, BusesTheWindowCannotNameGoThroughThePorts) {
    Build();
    // Bus 66's window address is bus 2's page: the header must not land on that drive.
    DriveSlot slot = SlotFor(0x4200);
    uint8_t header[256];
    std::memset(header, 0x5A, sizeof(header));
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses, 0u);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_EQ(w.pfa, 0x4200);
        EXPECT_FALSE(w.answered);
    }
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x10), static_cast<uint32_t>(kDriveBar) | 0x4u);
}

// Bus 63 is the window's last bus; from bus 64 on the window address keeps only bus bits 5:0
// and names another function (bus 64 is bus 0, the host bridge itself).
struct BusCase {
    uint8_t bus;
    bool window;
};

class WindowReach : public PciAccessTest, public ::testing::WithParamInterface<BusCase> {};

TEST_P(WindowReach, HeaderAccessesOfBusesPastTheWindowTakeThePorts) {
    const BusCase& c = GetParam();
    Build();
    DriveSlot slot = SlotFor(static_cast<uint32_t>(c.bus) << 8);
    uint8_t header[256];
    std::memset(header, 0x5A, sizeof(header));
    ASSERT_TRUE(corvax::PciReadConfigHeader(extension_.get(), &slot, header, 256));
    ASSERT_TRUE(corvax::PciWriteConfigHeader(extension_.get(), &slot, header, 256));
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses > 0, c.window);
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        EXPECT_EQ(w.pfa, static_cast<uint16_t>(c.bus << 8));
        EXPECT_EQ(w.path, c.window ? sim::ConfigPath::Ecam : sim::ConfigPath::Ports);
    }
    EXPECT_EQ(fabric_->PeekConfig(2, 0, 0, 0x10), static_cast<uint32_t>(kDriveBar) | 0x4u);
}

INSTANTIATE_TEST_SUITE_P(Buses, WindowReach,
                         ::testing::Values(BusCase{63, true}, BusCase{64, false},
                                           BusCase{65, false}, BusCase{66, false}),
                         [](const ::testing::TestParamInfo<BusCase>& p) {
                             return "bus" + std::to_string(p.param.bus);
                         });

// A mapping is released view, list, I/O space; one that fails at a step releases what it took
// before, the I/O space first, and leaves the record empty.
TEST_F(PciAccessTest, MappingsAreReleasedInTheirOrder) {
    Build();
    using sim::MapCall;
    const struct {
        std::optional<sim::MapStep> failing;
        std::vector<MapCall> calls;
    } cases[] = {
        {std::nullopt,
         {MapCall::MapIoSpace, MapCall::AllocateMdl, MapCall::MapView, MapCall::UnmapView,
          MapCall::FreeMdl, MapCall::UnmapIoSpace}},
        {sim::MapStep::View,
         {MapCall::MapIoSpace, MapCall::AllocateMdl, MapCall::MapView, MapCall::UnmapIoSpace,
          MapCall::FreeMdl}},
        {sim::MapStep::Mdl, {MapCall::MapIoSpace, MapCall::AllocateMdl, MapCall::UnmapIoSpace}},
        {sim::MapStep::IoSpace, {MapCall::MapIoSpace}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.calls.size());
        sim::Kernel::Get().Reset();
        if (c.failing) {
            sim::Kernel::Get().FailMapping(*c.failing, 1);
        }
        corvax::MemoryMapping mapping = {};
        void* view = corvax::PciMapMemory(&mapping, kDriveBar, 4096);
        EXPECT_EQ(view == nullptr, c.failing.has_value());
        if (view != nullptr) {
            EXPECT_EQ(mapping.Size, 4096u);
            EXPECT_EQ(sim::Kernel::Get().Mappings().liveViews, 1);
            corvax::PciUnmapMemory(&mapping);
        }
        EXPECT_EQ(sim::Kernel::Get().MappingCalls(), c.calls);
        EXPECT_EQ(mapping.ViewAddress, nullptr);
        EXPECT_EQ(mapping.Mdl, nullptr);
        EXPECT_EQ(mapping.IoAddress, nullptr);
        ExpectNothingMapped();
    }
}

TEST_F(PciAccessTest, MsixCapabilityIsFoundOnBothPaths) {
    Build();
    for (bool window : {true, false}) {
        DriveSlot slot = SlotFor(0x0200);
        if (!window) {
            slot.PciConfigAddr = 0;
        }
        EXPECT_TRUE(corvax::PciFindMsixCapability(extension_.get(), &slot));
        EXPECT_EQ(slot.MsiTableOffset, 0x1F00u);
    }
}

struct CapabilityCase {
    const char* name;
    std::map<unsigned, uint32_t> dwords;
};

class CapabilityWalkTest : public PciAccessTest,
                           public ::testing::WithParamInterface<CapabilityCase> {};

TEST_P(CapabilityWalkTest, BrokenListsEndTheWalkWithoutAMatch) {
    Build(GetParam().dwords);
    DriveSlot slot = SlotFor(0x0900);
    slot.MsiTableOffset = 0xABCD;
    EXPECT_FALSE(corvax::PciFindMsixCapability(extension_.get(), &slot));
    EXPECT_EQ(slot.MsiTableOffset, 0xABCDu);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CapabilityWalkTest,
    ::testing::Values(CapabilityCase{"loop",
                                     {{0x34, 0x40}, {0x40, 0x00005010}, {0x50, 0x00004005}}},
                      CapabilityCase{"self_loop", {{0x34, 0x40}, {0x40, 0x00004010}}},
                      // An MSI-X ID at 0xFC would have its table dword past the header.
                      CapabilityCase{"entry_past_the_header", {{0x34, 0xFC}, {0xFC, 0x00000011}}},
                      CapabilityCase{"end_without_msix", {{0x34, 0x40}, {0x40, 0x00000010}}}),
    [](const ::testing::TestParamInfo<CapabilityCase>& p) { return std::string(p.param.name); });

// Lists a real function may have: the walk follows every entry whose ID and next pointer lie
// in the header, an entry at 0xFC included, and takes an MSI-X entry whose table dword fits.
struct FoundCase {
    const char* name;
    std::map<unsigned, uint32_t> dwords;
    uint32_t msix;  // offset of the MSI-X capability found, 0 for none
    uint32_t pcie;  // offset of the PCI Express capability the ports walk finds, 0 for none
};

class CapabilityFound : public PciAccessTest, public ::testing::WithParamInterface<FoundCase> {};

TEST_P(CapabilityFound, AtTheOffsetTheListGives) {
    const FoundCase& c = GetParam();
    Build(c.dwords);
    DriveSlot slot = SlotFor(0x0900);
    EXPECT_EQ(corvax::PciFindMsixCapability(extension_.get(), &slot), c.msix != 0);
    if (c.msix != 0) {
        EXPECT_EQ(slot.MsiTableOffset, c.dwords.at(c.msix + 4));
    }
    fabric_->ResetCounters();
    EXPECT_EQ(corvax::PciFindCapabilityThroughPorts(0x0900, corvax::kPcieCapabilityId), c.pcie);
    EXPECT_EQ(fabric_->GetCounters().configWrites, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CapabilityFound,
    ::testing::Values(
        // The Intel P3700 layout: power management at 0x40, MSI-X at 0x50, PCI Express at 0x60.
        FoundCase{"intel_p3700",
                  {{0x34, 0x40},
                   {0x40, 0x00035001},
                   {0x50, 0x001F6011},
                   {0x54, 0x00002000},
                   {0x60, 0x00020010}},
                  0x50,
                  0x60},
        // The Samsung layout: PCI Express at 0x70, MSI-X at 0xB0.
        FoundCase{"samsung",
                  {{0x34, 0x40},
                   {0x40, 0x00035001},
                   {0x50, 0x00037005},
                   {0x70, 0x0002B010},
                   {0xB0, 0x00800011},
                   {0xB4, 0x00004000}},
                  0xB0,
                  0x70},
        // A legal entry at 0xFC whose next pointer leads on to MSI-X.
        FoundCase{"entry_at_0xFC_leads_on",
                  {{0x34, 0xFC},
                   {0xFC, 0x00008009},
                   {0x80, 0x00006010},
                   {0x60, 0x00000011},
                   {0x64, 0x00003000}},
                  0x60,
                  0x80},
        // Pointers whose two reserved low bits are set name the dword they lie in.
        FoundCase{"reserved_pointer_bits", {{0x34, 0x43}, {0x40, 0x00000010}}, 0, 0x40},
        FoundCase{"none", {{0x34, 0x00}}, 0, 0}),
    [](const ::testing::TestParamInfo<FoundCase>& p) { return std::string(p.param.name); });

TEST_F(PciAccessTest, FailedWindowMappingLeavesTheHeaderAndTheCapabilityWalkEmpty) {
    Build();
    DriveSlot slot = SlotFor(0x0200);
    std::vector<uint8_t> buffer(256, 0x11);
    sim::Kernel::Get().FailMapping(sim::MapStep::View, 1);
    bool copied = true;
    EXPECT_TRUE(corvax::PciReadConfigHeader(extension_.get(), &slot, buffer.data(), 256, &copied));
    EXPECT_FALSE(copied);
    EXPECT_EQ(buffer, std::vector<uint8_t>(256, 0x11));
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 1);
    EXPECT_FALSE(corvax::PciFindMsixCapability(extension_.get(), &slot));
    EXPECT_EQ(slot.MsiTableOffset, 0u);
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, NullArgumentsAreRefused) {
    Build();
    DriveSlot slot = SlotFor(0x0200);
    uint8_t buffer[4];
    EXPECT_FALSE(corvax::PciReadConfigHeader(extension_.get(), nullptr, buffer, 4));
    EXPECT_FALSE(corvax::PciReadConfigHeader(extension_.get(), &slot, nullptr, 4));
    EXPECT_FALSE(corvax::PciWriteConfigHeader(extension_.get(), &slot, nullptr, 4));
    EXPECT_FALSE(corvax::PciFindMsixCapability(extension_.get(), nullptr));
}

TEST_F(PciAccessTest, PageReadWithinOnePageUsesOneMapping) {
    Build();
    // The MSI-X table of this drive starts at 0x1F00 of BAR0, page offset 0xF00.
    fabric_->PokePhysical(kDriveBar + 0x1F00, 0x44332211);
    uint8_t out[256];
    ASSERT_TRUE(corvax::PciReadMemoryPage(kDriveBar + 0x1F00, out));
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 1u);
    EXPECT_EQ(out[0], 0x11);
    EXPECT_EQ(out[3], 0x44);
    const std::vector<std::string> lines = sim::Kernel::Get().LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "PciIo : PciReadMemoryPage memAddr=00000000F0101000 => "
              "pVirtualAddr=FFFFA58000010000,offset=3840, Size=256");
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, PageReadAcrossAPageBoundaryUsesTwoMappings) {
    Build();
    fabric_->PokePhysical(kDriveBar + 0x1FFC, 0xDDCCBBAA);
    fabric_->PokePhysical(kDriveBar + 0x2000, 0x00000077);
    uint8_t out[256];
    ASSERT_TRUE(corvax::PciReadMemoryPage(kDriveBar + 0x1F01, out));
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 2u);
    EXPECT_EQ(out[254], 0xDD);  // the last byte of the first page
    EXPECT_EQ(out[255], 0x77);  // the first byte of the next page
    const std::vector<std::string> lines = sim::Kernel::Get().LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "PciIo : PciReadMemoryPage memAddr=00000000F0101000 => "
              "pVirtualAddr=FFFFA58000010000, offset=3841, Size=255");
    EXPECT_EQ(lines[1],
              "PciIo : PciReadMemoryPage memAddr=00000000F0102000 => "
              "pVirtualAddr=FFFFA58000030000, offset=0, Size=1");
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, PageReadFailures) {
    Build();
    std::vector<uint8_t> out(256, 0x11);
    // The first mapping fails: nothing touched, nothing logged.
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 1);
    EXPECT_FALSE(corvax::PciReadMemoryPage(kDriveBar + 0xF01, out.data()));
    EXPECT_EQ(out, std::vector<uint8_t>(256, 0x11));
    EXPECT_TRUE(sim::Kernel::Get().LogLines().empty());
    // The second fails: one line for the first page, then the failure, and all-ones.
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 2);
    EXPECT_FALSE(corvax::PciReadMemoryPage(kDriveBar + 0xF01, out.data()));
    EXPECT_EQ(out, std::vector<uint8_t>(256, 0xFF));
    const std::vector<std::string> lines = sim::Kernel::Get().LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "PciIo : PciReadMemoryPage fail");
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, DwordReaderRoundsDownAndLogsTheAddressAsGiven) {
    Build();
    fabric_->PokePhysical(kDriveBar + 0x2000, 0x0000FEE0);
    EXPECT_EQ(corvax::PciReadMemoryUlong(kDriveBar + 0x2003), 0x0000FEE0u);
    EXPECT_EQ(sim::Kernel::Get().LogLines(),
              std::vector<std::string>{"Brannock : PciReadMemoryUlong data=0x0000FEE0, "
                                       "addr=0x00000000F0102003(FFFFA58000010000)"});
    sim::Kernel::Get().ClearLog();
    sim::Kernel::Get().FailMapping(sim::MapStep::Mdl, 1);
    EXPECT_EQ(corvax::PciReadMemoryUlong(kDriveBar + 0x2003), 0xFFFFFFFFu);
    EXPECT_EQ(sim::Kernel::Get().LogLines(),
              std::vector<std::string>{"Brannock : PciReadMemoryUlong data=0xFFFFFFFF, "
                                       "addr=0x00000000F0102003(0000000000000000)"});
    ExpectNothingMapped();
}

TEST_F(PciAccessTest, DwordWriterWritesOneDwordOrNothing) {
    Build();
    // Dword 1 of entry 0 (the upper address half) while the entry is masked.
    fabric_->PokePhysical(kDriveBar + 0x200C, 1);
    corvax::PciWriteMemoryUlong(kDriveBar + 0x2006, 0x12345678);
    EXPECT_EQ(fabric_->PeekDriveBar0(2, 0x2004), 0x12345678u);
    EXPECT_EQ(sim::Kernel::Get().LogLines().back(),
              "Brannock : PciWriteMemoryUlong data=0x12345678, "
              "addr=0x00000000F0102006(FFFFA58000010004)");
    sim::Kernel::Get().FailMapping(sim::MapStep::View, 1);
    corvax::PciWriteMemoryUlong(kDriveBar + 0x2004, 0x0BADBAD0);
    EXPECT_EQ(fabric_->PeekDriveBar0(2, 0x2004), 0x12345678u);
    EXPECT_EQ(sim::Kernel::Get().LogLines().back(),
              "Brannock : PciWriteMemoryUlong data=0x0BADBAD0, "
              "addr=0x00000000F0102004(0000000000000000)");
    EXPECT_TRUE(fabric_->Faults().Empty());
    ExpectNothingMapped();
}

}  // namespace
}  // namespace corvax_test
