// The rules of PCI Express the model holds software to, whatever the driver expects: a Slot
// Control command completes before the port takes the next, slot power stays off a second, a
// payload size stays within Device Capabilities; a drive still starting answers as the root
// port's CRS setting says; a switch in a slot is reached through the slot and reset with its
// link. Each broken rule is counted.
#include <gtest/gtest.h>

#include <functional>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::EcamAddress;
using test::PortRead;
using test::PortWrite;

std::shared_ptr<const RegisterImage> Image(const char* name) {
    return std::make_shared<const RegisterImage>(
        ReadRegisterImage(std::string(CORVAX_FABRICS_DIR) + "/images/" + name, "image"));
}

// ---- Slot Control commands and slot power ----

// Slot 0 of the small machine: port 4:08.0.
void SlotControl(Fabric& f, uint32_t control) {
    PortWrite(f, 4, 8, 0, 0x80, control);
}

struct CommandCase {
    const char* name;
    std::function<void(Fabric&)> setup;
    std::vector<std::function<void(Fabric&)>> steps;
    uint64_t overruns;
    uint64_t shortPower;
    bool poweredAfter;
};

class SlotRules : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SlotRules, CountsWhatBreaksThemAndLosesAnOverrunningCommand) {
    const CommandCase& c = GetParam();
    Fabric f(test::SmallMachine());
    if (c.setup) {
        c.setup(f);
    }
    for (const auto& step : c.steps) {
        step(f);
    }
    f.Wait(kSlotCommandUs);
    EXPECT_EQ(f.GetCounters().slotCommandOverrun, c.overruns);
    EXPECT_EQ(f.GetCounters().slotPowerShort, c.shortPower);
    EXPECT_EQ((f.PeekConfig(4, 8, 0, 0x80) & reg::kPowerOff) == 0, c.poweredAfter);
}

const auto kOff = [](Fabric& f) { SlotControl(f, 0x05C0); };
const auto kOn = [](Fabric& f) { SlotControl(f, 0x01C0); };
const auto kCompleted = [](Fabric& f) { f.Wait(kSlotCommandUs); };
const auto kSecond = [](Fabric& f) { f.Wait(kSlotPowerOffUs); };

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotRules,
    ::testing::Values(
        // The second command comes while the first runs: it is lost, the slot stays off.
        CommandCase{"BackToBack", nullptr, {kOff, kOn}, 1, 0, false},
        // Taken, but the power was off for a tenth of a millisecond.
        CommandCase{"OnTooSoon", nullptr, {kOff, kCompleted, kOn}, 0, 1, true},
        CommandCase{"OffASecond", nullptr, {kOff, kCompleted, kSecond, kOn}, 0, 0, true},
        // Clearing Command Completed alone (a write of Slot Status only) is no command.
        CommandCase{
            "StatusAlone",
            nullptr,
            {kOff, [](Fabric& f) { f.WritePhysical(EcamAddress(4, 8, 0, 0x82), 2, 0x0010); },
             kCompleted, kSecond, kOn},
            0,
            0,
            true},
        // A port with No Command Completed Support takes writes without waiting.
        CommandCase{
            "NoCommandCompletedSupport",
            [](Fabric& f) { f.PokeConfig(4, 8, 0, 0x7C, f.PeekConfig(4, 8, 0, 0x7C) | 0x40000); },
            {kOff, kSecond, kOn, kOff},
            0,
            0,
            false}),
    [](const ::testing::TestParamInfo<CommandCase>& p) { return std::string(p.param.name); });

TEST(SlotRules, CommandCompletedIsSetWhenTheCommandIsDoneAndClearedByWritingIt) {
    Fabric f(test::SmallMachine());
    SlotControl(f, 0x01C0);
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x80) & reg::kCommandCompleted, 0u);
    f.Wait(kSlotCommandUs);
    EXPECT_NE(f.PeekConfig(4, 8, 0, 0x80) & reg::kCommandCompleted, 0u);
    SlotControl(f, 0x01C0 | reg::kCommandCompleted);  // the next command clears it
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x80) & reg::kCommandCompleted, 0u);
    EXPECT_EQ(f.GetCounters().slotCommandOverrun, 0u);
}

// A port from a capture keeps its own Slot Control and Slot Capabilities.
TEST(SlotRules, APortFromACaptureKeepsItsSlotRegisters) {
    FabricDescription d = test::SmallMachine();
    d.switches[0].ports[0].image = Image("plx9716-downstream.txt");
    d.switches[0].ports[1].image = Image("plx9716-downstream.txt");
    d.switches[0].ports[1].slotControl = 0x01C0;
    Fabric f(d);
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x80) & 0xFFFF, 0x11F8u);
    EXPECT_EQ(f.PeekConfig(4, 8, 0, 0x7C), 0x00080CFAu);
    EXPECT_EQ(f.PeekConfig(4, 9, 0, 0x80) & 0xFFFF, 0x01C0u);
    EXPECT_TRUE(f.LinkUp(0, 0));
}

// ---- Max_Payload_Size within Device Capabilities ----

struct PayloadCase {
    const char* name;
    std::shared_ptr<const RegisterImage> image;  // none: the model's own drive (512 bytes)
    uint32_t field;                              // Device Control bits 7:5 written
    uint64_t counted;
};

class PayloadRule : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PayloadRule, AboveWhatTheDriveSupportsIsCounted) {
    const PayloadCase& c = GetParam();
    DriveDescription drive =
        c.image ? DriveDescription::FromImage(c.image) : DriveDescription::Make(0x1F0A, 0x0710);
    drive.bar0 = 0xF1000000;
    drive.bar0Size = 0x8000;
    Fabric f(FabricBuilder().Switch(SwitchModel::Plx8732, 1, 2).Port(0, 3, drive).Build());
    const unsigned deviceControl = NvmeDrive(drive).PcieCapability() + 8;
    const uint32_t v = PortRead(f, 3, 0, 0, deviceControl);
    PortWrite(f, 3, 0, 0, deviceControl, (v & 0xFF1F) | c.field);
    EXPECT_EQ(f.GetCounters().mpsOverCapability, c.counted);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, PayloadRule,
    ::testing::Values(PayloadCase{"Intel256", Image("nvme-8086-0953.txt"), 0x20, 0},
                      PayloadCase{"Intel512", Image("nvme-8086-0953.txt"), 0x40, 1},
                      PayloadCase{"Samsung512", Image("nvme-144d-a826.txt"), 0x40, 0},
                      PayloadCase{"Samsung1024", Image("nvme-144d-a826.txt"), 0x60, 1},
                      PayloadCase{"Model512", nullptr, 0x40, 0},
                      PayloadCase{"Model1024", nullptr, 0x60, 1}),
    [](const ::testing::TestParamInfo<PayloadCase>& p) { return std::string(p.param.name); });

// ---- a drive still starting ----

struct StartingCase {
    const char* name;
    bool crs;
    std::function<uint32_t(Fabric&)> read;
    uint32_t starting;  // while the drive starts
};

class Starting : public ::testing::TestWithParam<StartingCase> {};

TEST_P(Starting, AnswersAsTheRootPortsCrsSettingSays) {
    const StartingCase& c = GetParam();
    FabricDescription d = test::SmallMachine();
    d.switches[0].ports[0].drive->readyMs = 300;
    d.hostBridge.crsVisibility = c.crs;
    Fabric f(d);
    const uint32_t link = PortRead(f, 4, 8, 0, 0x78);
    PortWrite(f, 4, 8, 0, 0x78, link | reg::kLinkDisable);
    PortWrite(f, 4, 8, 0, 0x78, link);
    f.Wait(kConfigQuietUs);
    EXPECT_EQ(c.read(f), c.starting);
    f.Wait(300000);
    EXPECT_NE(c.read(f), c.starting);  // it answers now
}

INSTANTIATE_TEST_SUITE_P(
    Reads, Starting,
    ::testing::Values(
        StartingCase{"PortsVendorOff", false, [](Fabric& f) { return PortRead(f, 5, 0, 0, 0); },
                     0xFFFFFFFF},
        StartingCase{"PortsVendorOn", true, [](Fabric& f) { return PortRead(f, 5, 0, 0, 0); },
                     0xFFFF0001},
        StartingCase{"WindowDwordOn", true,
                     [](Fabric& f) { return f.ReadPhysical(EcamAddress(5, 0, 0, 0), 4); },
                     0xFFFF0001},
        StartingCase{"WindowWordOn", true,
                     [](Fabric& f) { return f.ReadPhysical(EcamAddress(5, 0, 0, 0), 2); }, 0x0001},
        // Neither a read of one vendor byte nor of another register is made visible.
        StartingCase{"WindowByteOn", true,
                     [](Fabric& f) { return f.ReadPhysical(EcamAddress(5, 0, 0, 0), 1); }, 0xFF},
        StartingCase{"PortsClassOn", true, [](Fabric& f) { return PortRead(f, 5, 0, 0, 8); },
                     0xFFFFFFFF}),
    [](const ::testing::TestParamInfo<StartingCase>& p) { return std::string(p.param.name); });

// ---- a switch in a slot ----

// A PEX 8748 whose slot 1 (port 4:09.0, bus 6) holds another PEX 8748: its upstream port on
// bus 6, its ports on bus 7, a drive behind its slot 0 on bus 8.
const char kSwitchInSlot[] = R"({
  "host_bridge": { "ecam": "0xE0000001" },
  "switches": [
    { "model": "8748", "bus": 3, "internal_bus": 4, "bar0": "0xF7C00000",
      "ports": [
        { "index": 0, "bus": 5, "drive": { "vendor": "0x1F0A", "device": "0x0710",
                                           "bar0": "0xF7000000" } },
        { "index": 1, "bus": 6,
          "switch": { "model": "8748", "internal_bus": 7, "bar0": "0xF7800000",
                      "ports": [ { "index": 0, "bus": 8,
                                   "drive": { "vendor": "0x144D", "device": "0xA824",
                                              "bar0": "0xF7100000" } } ] } } ] } ] })";

TEST(SwitchInSlot, IsReachedThroughTheSlotAsItsBusNumbersRouteIt) {
    auto f = Fabric::FromJson(kSwitchInSlot);
    ASSERT_EQ(f->SwitchCount(), 2u);
    EXPECT_EQ(f->UpstreamPfa(1), 0x0600);
    EXPECT_EQ(PortRead(*f, 4, 9, 0, 0x18) & 0xFFFFFF, 0x080604u);  // the slot takes buses 6-8
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0), 0x874810B5u);
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0x18) & 0xFFFFFF, 0x080706u);
    EXPECT_EQ(PortRead(*f, 7, 8, 0, 0), 0x874810B5u);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0), 0xA824144Du);
    EXPECT_EQ(f->ReadPhysical(EcamAddress(8, 0, 0, 0), 4), 0xA824144Du);
    EXPECT_EQ(PortRead(*f, 6, 1, 0, 0), 0xFFFFFFFFu);  // the slot passes device 0 only
}

// Memory reaches the drive below, and the lower switch's registers, only through the windows
// of every bridge on the way.
TEST(SwitchInSlot, MemoryCrossesEveryWindowOnTheWay) {
    auto f = Fabric::FromJson(kSwitchInSlot);
    const uint64_t capabilities = 0xF7100000;  // the lower drive's controller registers
    ASSERT_EQ(f->ReadPhysical(capabilities, 4), 0x280103FFu);
    EXPECT_NE(f->ReadPhysical(0xF7808208, 4), 0xFFFFFFFFu);  // the lower 8748's block
    // The memory window, closed, of the slot's port (4:09.0), then of the lower upstream port.
    for (const auto& [bus, device] : {std::pair<unsigned, unsigned>{4, 9}, {6, 0}}) {
        SCOPED_TRACE(bus);
        const uint32_t window = PortRead(*f, bus, device, 0, 0x20);
        PortWrite(*f, bus, device, 0, 0x20, 0x0000FFF0);
        EXPECT_EQ(f->ReadPhysical(capabilities, 4), 0xFFFFFFFFu);
        PortWrite(*f, bus, device, 0, 0x20, window);
        EXPECT_EQ(f->ReadPhysical(capabilities, 4), 0x280103FFu);
    }
}

TEST(SwitchInSlot, CuttingTheSlotsLinkResetsEverythingBelowUntilSoftwareProgramsItAgain) {
    auto f = Fabric::FromJson(kSwitchInSlot);
    const uint32_t link = PortRead(*f, 4, 9, 0, 0x78);
    PortWrite(*f, 4, 9, 0, 0x78, link | reg::kLinkDisable);
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0), 0xFFFFFFFFu);
    PortWrite(*f, 4, 9, 0, 0x78, link);
    f->Wait(kConfigQuietUs);
    // The switch answers again, with its bus numbers, BAR and Command cleared: nothing
    // behind it can be reached.
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0), 0x874810B5u);
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0x18) & 0xFFFFFF, 0u);
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0x10), 0u);
    EXPECT_EQ(PortRead(*f, 6, 0, 0, 0x04) & 0xFFFF, 0u);
    EXPECT_EQ(PortRead(*f, 7, 8, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0), 0xFFFFFFFFu);
    // The system enumerates it again: the drive behind comes back fresh from reset.
    PortWrite(*f, 6, 0, 0, 0x18, 0x080706);
    EXPECT_EQ(PortRead(*f, 7, 8, 0, 0x18) & 0xFFFFFF, 0u);
    PortWrite(*f, 7, 8, 0, 0x18, 0x080807);
    f->Wait(kConfigQuietUs);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0), 0xA824144Du);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0x10) & ~0xFu, 0u);
    EXPECT_EQ(f->GetCounters().earlyConfig, 0u);
}

}  // namespace
}  // namespace sim
