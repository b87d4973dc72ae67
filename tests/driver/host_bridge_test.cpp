// The enhanced window and the system's RAM: when the host bridge's dword 0x60 may be taken for
// a window, and that no register, however wrong, aims a mapping at RAM. Real register values
// come from captures of real machines (client parts' window registers, a Xeon Scalable
// server's DMI port whose dword 0x60 is an MSI capability header).
#include <algorithm>

#include "driver/topology/pci_access.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using Model = sim::SwitchModel;

constexpr uint64_t kDriveBar = 0x90100000ull;  // below every window the cases place

struct WindowCase {
    const char* name;
    uint16_t vendor;
    uint16_t device;
    uint64_t ecam;                      // dwords 0x60 and 0x64
    std::optional<uint64_t> decodesAt;  // none: where the register says
    bool trusted;
    uint64_t pairs;     // configuration-port pairs the decision takes at load
    uint64_t mappings;  // window checks that reach the kernel
};

class WindowDecision : public DriverTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WindowDecision, TrustsOnlyAWindowRegisterWhoseWindowAnswers) {
    const WindowCase& c = GetParam();
    FabricBuilder b;
    b.HostBridge(c.vendor, c.device, c.ecam);
    if (c.decodesAt) {
        b.EcamWindow(*c.decodesAt);
    }
    b.Onboard(2, DriveDescription::Make(0x8086, 0x0A54).WithBar0(kDriveBar).WithMsix(0x2000));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    const uint64_t pairsBefore = fabric_->GetCounters().portPairs;

    corvax::DeviceExtension extension = {};
    corvax::PciInitializeEcam(&extension);

    // The base, its line and the window addresses are what they always were; only the trust
    // follows the checks.
    const uint32_t base = static_cast<uint32_t>(c.ecam) & 0xFFFFF000u;
    EXPECT_EQ(extension.EcamBase, base);
    char line[80];
    std::snprintf(line, sizeof(line), "Corvax2 : Pci configuration memory start address:0x%08X",
                  base);
    EXPECT_EQ(Lines(), std::vector<std::string>{line});
    EXPECT_EQ(extension.fgEcamTrusted, c.trusted ? 1 : 0);
    EXPECT_EQ(fabric_->GetCounters().portPairs - pairsBefore, c.pairs);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, c.mappings);
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses, c.trusted ? 1u : 0u);
    EXPECT_EQ(fabric_->GetCounters().ramMappings, 0u);

    // A header read goes where the decision says, and nowhere else.
    corvax::DriveSlot slot = {};
    slot.pciPFA = 0x0200;
    slot.PciConfigAddr = corvax::EcamAddress(extension.EcamBase, slot.pciPFA);
    uint8_t header[256] = {};
    bool copied = false;
    fabric_->ResetCounters();
    ASSERT_TRUE(corvax::PciReadConfigHeader(&extension, &slot, header, 256, &copied));
    EXPECT_TRUE(copied);
    EXPECT_EQ(header[0] | header[1] << 8, 0x8086);
    EXPECT_EQ(fabric_->GetCounters().ecamAccesses, c.trusted ? 256u : 0u);
    EXPECT_EQ(fabric_->GetCounters().portPairs, c.trusted ? 0u : 64u);
    EXPECT_TRUE(fabric_->Faults().Empty());
    ExpectNothingMapped();
}

// Pairs: dword 0x60 and the identifiers always; dword 0x64 once the register has the form of
// a window register. Mappings: the one page at the base, once dword 0x64 reads 0, unless that
// page is RAM (refused before the kernel is asked).
INSTANTIATE_TEST_SUITE_P(
    Cases, WindowDecision,
    ::testing::Values(
        // Real client registers: Alder Lake, Whiskey Lake, Coffee Lake, and the other lengths.
        WindowCase{"AlderLake256MiB", 0x8086, 0x4641, 0xC0000001, std::nullopt, true, 3, 1},
        WindowCase{"WhiskeyLake128MiB", 0x8086, 0x3E34, 0xF0000003, std::nullopt, true, 3, 1},
        WindowCase{"CoffeeLake256MiB", 0x8086, 0x3E0F, 0xE0000001, std::nullopt, true, 3, 1},
        WindowCase{"Window64MiB", 0x8086, 0x0C00, 0xF8000005, std::nullopt, true, 3, 1},
        WindowCase{"Window512MiB", 0x8086, 0x3E0F, 0xE0000007, std::nullopt, true, 3, 1},
        WindowCase{"Window1GiB", 0x8086, 0x3E0F, 0xC0000009, std::nullopt, true, 3, 1},
        // A Xeon Scalable server's 0:0.0: dword 0x60 is an MSI capability header.
        WindowCase{"XeonScalableCapabilityHeader", 0x8086, 0x2020, 0x01029005, 0, false, 2, 0},
        // Enabled, but no window decodes there (or it decodes somewhere else).
        WindowCase{"EnabledOverNothing", 0x8086, 0x3E0F, 0xE0000001, 0, false, 3, 1},
        WindowCase{"EnabledOverAnotherPlace", 0x8086, 0x3E0F, 0xE0000001, 0xC0000000, false, 3, 1},
        // Not the form of an enabled window register.
        WindowCase{"EnableBitClear", 0x8086, 0x3E0F, 0xE0000000, 0xE0000000, false, 2, 0},
        WindowCase{"ReservedBitsSet", 0x8086, 0x3E0F, 0xE0000011, 0xE0000000, false, 2, 0},
        WindowCase{"UndefinedLength", 0x8086, 0x3E0F, 0xE000000B, 0xE0000000, false, 2, 0},
        WindowCase{"BaseNotAlignedToLength", 0x8086, 0x3E0F, 0xF8000001, 0xF8000000, false, 2, 0},
        // The window lies above 4 GiB; its low half is no window.
        WindowCase{"HighHalfSet", 0x8086, 0x3E0F, 0x4E0000001, std::nullopt, false, 3, 0},
        // A register that names RAM: checked, but the page is never mapped.
        WindowCase{"RegisterNamesRam", 0x8086, 0x3E0F, 0x40000001, 0xE0000000, false, 3, 0},
        // Not an Intel bridge: dword 0x60 is some other register.
        WindowCase{"AmdBridge", 0x1022, 0x1480, 0xE0000001, 0xE0000000, false, 2, 0}),
    [](const ::testing::TestParamInfo<WindowCase>& p) { return std::string(p.param.name); });

TEST_F(DriverTest, WindowWhoseCheckCannotBeMappedIsNotTrusted) {
    FabricBuilder b;
    b.HostBridge(0x8086, 0x3E0F, 0xE0000001);
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    for (sim::MapStep step : {sim::MapStep::IoSpace, sim::MapStep::Mdl, sim::MapStep::View}) {
        sim::Kernel::Get().FailMapping(step, 1);
        corvax::DeviceExtension extension = {};
        corvax::PciInitializeEcam(&extension);
        EXPECT_EQ(extension.fgEcamTrusted, 0);
        ExpectNothingMapped();
    }
    // And the same read that answers with something else.
    fabric_->FailAccess(sim::AccessFault::ConfigRead, 4);  // 0x60, 0x00, 0x64, then the window
    corvax::DeviceExtension extension = {};
    corvax::PciInitializeEcam(&extension);
    EXPECT_TRUE(fabric_->AccessFaultFired(sim::AccessFault::ConfigRead));
    EXPECT_EQ(extension.fgEcamTrusted, 0);
}

// ---- the RAM rule ----

struct RamCase {
    const char* name;
    uint64_t address;
    uint32_t size;
    bool refused;
};

class RamRule : public DriverTest, public ::testing::WithParamInterface<RamCase> {};

TEST_P(RamRule, MappingsThatTouchRamFailBeforeTheKernelIsAsked) {
    const RamCase& c = GetParam();
    FabricBuilder b;
    b.Ram({{0, 0x80000000}, {0x100000000ull, 0x80000000}});
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    corvax::MemoryMapping mapping = {};
    void* view = corvax::PciMapMemory(&mapping, c.address, c.size);
    EXPECT_EQ(view == nullptr, c.refused);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, c.refused ? 0u : 1u);
    if (view != nullptr) {
        corvax::PciUnmapMemory(&mapping);
    } else {
        EXPECT_EQ(mapping.ViewAddress, nullptr);
        EXPECT_EQ(mapping.IoAddress, nullptr);
        EXPECT_EQ(mapping.Mdl, nullptr);
    }
    ExpectNothingMapped();
    EXPECT_EQ(fabric_->GetCounters().ramMappings, 0u);
    EXPECT_EQ(sim::Kernel::Get().GetViolations().Total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RamRule,
    ::testing::Values(RamCase{"BottomPage", 0x0, 0x1000, true},
                      RamCase{"InsideLowRam", 0x01029000, 0x1000, true},
                      RamCase{"LastPageOfLowRam", 0x7FFFF000, 0x1000, true},
                      RamCase{"StraddlesTheEndOfLowRam", 0x7FFFF000, 0x2000, true},
                      RamCase{"FirstPageAboveLowRam", 0x80000000, 0x1000, false},
                      RamCase{"DeviceMemoryBelow4GiB", 0xF7000000, 0x1000, false},
                      RamCase{"StraddlesTheStartOfHighRam", 0xFFFFF000, 0x2000, true},
                      RamCase{"InsideHighRam", 0x140000000ull, 0x1000, true},
                      RamCase{"AboveHighRam", 0x180000000ull, 0x1000, false},
                      RamCase{"WrapsPastTheTop", 0xFFFFFFFFFFFFF000ull, 0x2000, true}),
    [](const ::testing::TestParamInfo<RamCase>& p) { return std::string(p.param.name); });

TEST_F(DriverTest, WithoutTheSystemsRamRangesNothingIsMapped) {
    Attach(std::make_unique<sim::Fabric>(FabricBuilder().Build()));
    sim::Kernel::Get().FailSystemRamRanges();
    corvax::MemoryMapping mapping = {};
    EXPECT_EQ(corvax::PciMapMemory(&mapping, 0xF7000000, 0x1000), nullptr);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, 0u);
    // The dword reader answers as for a failed mapping, with its line.
    EXPECT_EQ(corvax::PciReadMemoryUlong(0xF7000208), 0xFFFFFFFFu);
    EXPECT_EQ(Lines(), std::vector<std::string>{"Brannock : PciReadMemoryUlong data=0xFFFFFFFF, "
                                                "addr=0x00000000F7000208(0000000000000000)"});
}

// Registers that lie about where their device decodes: the 8748's BAR0 and a drive's BAR0
// rewritten to name RAM after the firmware placed them. Nothing of the driver's reaches RAM.
TEST_F(DriverTest, LyingBarsNeverAimAMappingAtRam) {
    FabricBuilder b;
    b.Switch(Model::Plx8748, 3, 4, 0xF7C00000, 256);
    b.Port(0, 5, DriveDescription::Make(0x1F0A, 0x0710).WithBar0(0xF7000000).WithMsix(0x2000));
    Attach(std::make_unique<sim::Fabric>(b.Build()));
    fabric_->PokeConfig(3, 0, 0, 0x10, 0x10000000);  // the switch's register blocks: in RAM
    fabric_->PokeConfig(5, 0, 0, 0x10, 0x20000004);  // the drive's MSI-X table: in RAM
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->Bridge[0].pBdgSecAddr1, 0x10008000u);
    EXPECT_EQ(Extension()->fgSaved[0][0], corvax::kSavedHeader);  // the header, not the table
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    Send(PLX_ENABLE, {}, 0);
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(fabric_->GetCounters().ramMappings, 0u);
    EXPECT_EQ(fabric_->GetCounters().strayWrites, 0u);
    ExpectNothingMapped();
}

// ---- whole cycles ----

// The built-in workstation's layout (a PEX 8748 with seven drives, one of an unlisted vendor,
// and an on-board drive) with its BARs below every window the cases place.
FabricBuilder Workstation(const sim::HostBridgeDescription& hb) {
    FabricBuilder b;
    b.HostBridge(hb.vendor, hb.device, hb.ecam);
    if (hb.ecamWindow) {
        b.EcamWindow(*hb.ecamWindow);
    }
    b.Onboard(1, DriveDescription::Make(0x144D, 0xA808).WithBar0(0x90F00000).WithMsix(0x3000, 33));
    b.Switch(Model::Plx8748, 3, 4, 0x90C00000, 256);
    const uint16_t ids[8][2] = {{0x1F0A, 0x0710}, {0x8086, 0x0A54}, {0x1B4B, 0x1092},
                                {0x144D, 0xA824}, {0x1344, 0x51A2}, {0, 0},
                                {0x1CC4, 0x6303}, {0x1E81, 0x1203}};
    for (unsigned i = 0; i < 8; ++i) {
        const auto bus = static_cast<uint8_t>(5 + i);
        if (ids[i][0] == 0) {
            b.EmptyPort(i, bus);
            continue;
        }
        b.Port(i, bus,
               DriveDescription::Make(ids[i][0], ids[i][1])
                   .WithBar0(0x90000000u + i * 0x100000u)
                   .WithMsix(0x2000, 32));
    }
    return b;
}

constexpr auto Bridge = sim::HostBridgeDescription::Intel;

struct CycleCase {
    const char* name;
    sim::HostBridgeDescription bridge;
    bool window;   // the driver uses the window
    bool builtIn;  // the built-in machine itself (its BARs at 0xF7000000), else Workstation()
};

sim::FabricDescription CycleMachine(const CycleCase& c) {
    if (!c.builtIn) {
        return Workstation(c.bridge).Build();
    }
    sim::FabricDescription d = sim::ParseFabricJson(sim::DefaultFabricJson());
    d.hostBridge = c.bridge;
    sim::ValidateFabric(d);
    return d;
}

class ReplaceAndRestore : public DriverTest, public ::testing::WithParamInterface<CycleCase> {};

// Update, disable, the drive in slot 1 replaced by one of the same model, enable, rescan and
// restore: every listed drive gets its header back, through the ports where the window is not
// to be trusted, and nothing lands outside device pages.
TEST_P(ReplaceAndRestore, RestoresEveryListedDriveAndWritesNothingElsewhere) {
    const CycleCase& c = GetParam();
    Attach(std::make_unique<sim::Fabric>(CycleMachine(c)));
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(Extension()->fgEcamTrusted, c.window ? 1 : 0);
    const uint32_t bars = c.builtIn ? 0xF7000000u : 0x90000000u;

    ASSERT_EQ(Send(CORVAX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    fabric_->Replace(0, 1, DriveDescription::Make(0x8086, 0x0A54));
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    WaitForDrives();  // the built-in machine's links and drives take their time
    fabric_->ClearConfigWrites();
    ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);

    for (unsigned slot = 0; slot < 8; ++slot) {
        SCOPED_TRACE(slot);
        const auto bus = static_cast<uint8_t>(5 + slot);
        const uint32_t bar0 = fabric_->PeekConfig(bus, 0, 0, 0x10);
        if (slot == 5) {
            continue;  // empty
        }
        if (slot == 2) {
            EXPECT_EQ(bar0 & ~0xFu, 0u);  // unlisted vendor: not restored
            continue;
        }
        EXPECT_EQ(bar0 & ~0xFu, bars + slot * 0x100000u);
        EXPECT_NE(fabric_->PeekConfig(bus, 0, 0, 0x04) & 0x2u, 0u);  // memory decoding on
    }
    // The headers go back through the window or the ports; the payload alignment and the
    // sizing of the BARs before a restore always take the ports.
    size_t headerWrites = 0;
    for (const sim::ConfigWrite& w : fabric_->ConfigWrites()) {
        const bool bar = (w.offset >= 0x10 && w.offset < 0x28) || w.offset == 0x30;
        if (w.offset < 0x40 && !(bar && w.path == sim::ConfigPath::Ports)) {
            ++headerWrites;
            EXPECT_EQ(w.path, c.window ? sim::ConfigPath::Ecam : sim::ConfigPath::Ports);
        }
    }
    EXPECT_GT(headerWrites, 0u);
    const Reply config = Send(CORVAX_READ_CONFIG, Ulongs({0x0600}), 256);
    EXPECT_EQ(config.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(config.output, PeekHeader(*fabric_, 6));
    EXPECT_EQ(config.Ulong(0), 0x0A548086u);

    const sim::Counters counters = fabric_->GetCounters();
    EXPECT_EQ(counters.ecamAccesses > 0, c.window);
    EXPECT_TRUE(fabric_->Faults().Empty());
    EXPECT_EQ(counters.strayWrites, 0u);
    EXPECT_EQ(counters.ramMappings, 0u);
    EXPECT_EQ(counters.earlyConfig, 0u);
    ExpectNothingMapped();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceAndRestore,
    ::testing::Values(
        CycleCase{"XeonScalableBuiltIn", Bridge(0x2020, 0x01029005, 0), false, true},
        CycleCase{"EnabledOverNothingBuiltIn", Bridge(0x3E0F, 0xE0000001, 0), false, true},
        CycleCase{"CoffeeLakeBuiltIn", Bridge(0x3E0F, 0xE0000001, std::nullopt), true, true},
        CycleCase{"XeonScalable", Bridge(0x2020, 0x01029005, 0), false, false},
        CycleCase{"AlderLake", Bridge(0x4641, 0xC0000001, std::nullopt), true, false},
        CycleCase{"WhiskeyLake", Bridge(0x3E34, 0xF0000003, std::nullopt), true, false},
        CycleCase{"Window64MiB", Bridge(0x0C00, 0xF8000005, std::nullopt), true, false},
        CycleCase{"Window512MiB", Bridge(0x3E0F, 0xE0000007, std::nullopt), true, false},
        CycleCase{"Window1GiB", Bridge(0x3E0F, 0xC0000009, std::nullopt), true, false}),
    [](const ::testing::TestParamInfo<CycleCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace corvax_test
