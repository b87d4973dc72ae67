// What real ports and drives demand of the driver, on machines whose functions start from
// captures of real ones: a payload size within what the drive supports, clock power management
// cleared in the drive's own Link Control, Slot Control commands given one at a time with slot
// power off for a second, and a drive that answers "not yet" taken for one that does not
// answer.
#include <algorithm>

#include "sim/pci/image.h"
#include "tests/driver/driver_test_support.h"
#include "tests/driver/test_machines.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;

std::shared_ptr<const sim::RegisterImage> Image(const char* name) {
    return std::make_shared<const sim::RegisterImage>(sim::ReadRegisterImage(
        std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/images/" + name, "image"));
}

// A drive of the capture, BAR0 programmed, Link Control as its firmware left it.
DriveDescription ImageDrive(const char* name, uint16_t linkControl = 0x0040) {
    DriveDescription d = DriveDescription::FromImage(Image(name));
    d.bar0 = 0xF1000000;
    d.bar0Size = 0x8000;
    d.linkControl = linkControl;
    return d;
}

class HardwareRules : public DriverTest {
  protected:
    void Boot(const sim::FabricDescription& description) {
        Attach(std::make_unique<sim::Fabric>(description));
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    }
    size_t CountLines(const std::string& prefix) const {
        const std::vector<std::string> prints = sim::Kernel::Get().Prints();
        return std::count_if(prints.begin(), prints.end(),
                             [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
    }
};

// ---- Max_Payload_Size within Device Capabilities ----

struct PayloadCase {
    const char* name;
    DriveDescription drive;
    unsigned switchPayload;
    uint32_t expected;  // Device Control's field after the update and after a cycle
    bool limited;       // the line that says the drive supports less than the switch
};

class PayloadWithinCapability : public HardwareRules,
                                public ::testing::WithParamInterface<PayloadCase> {};

TEST_P(PayloadWithinCapability, TheDriveGetsAtMostWhatItSupports) {
    const PayloadCase& c = GetParam();
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 1, 2, 0, c.switchPayload).Port(0, 3, c.drive);
    Boot(b.Build());
    sim::NvmeDrive probe(c.drive);
    const unsigned deviceControl = probe.PcieCapability() + 8;
    EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, deviceControl) & 0xE0u, c.expected);
    // A link cycle resets the drive to 128 bytes; the rescan aligns it again.
    Send(PLX_DISABLE, {}, 0);
    Send(PLX_ENABLE, {}, 0);
    WaitForDrives();
    Send(PLX_RESCAN_RESTORE, {}, 0);
    EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, deviceControl) & 0xE0u, c.expected);
    EXPECT_EQ(fabric_->GetCounters().mpsOverCapability, 0u);
    EXPECT_EQ(CountLines("Corvax2 : MPS limited(PFA=0300, supported=") > 0, c.limited);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, PayloadWithinCapability,
    ::testing::Values(
        // Device Capabilities 0x100085A1: 256 bytes supported.
        PayloadCase{"Intel256Behind512", ImageDrive("nvme-8086-0953.txt"), 512, 0x20, true},
        PayloadCase{"Intel256Behind256", ImageDrive("nvme-8086-0953.txt"), 256, 0x20, false},
        PayloadCase{"Intel256Behind128", ImageDrive("nvme-8086-0953.txt"), 128, 0x00, false},
        // 0x10A08FE2: 512 bytes.
        PayloadCase{"Samsung512Behind1024", ImageDrive("nvme-144d-a826.txt"), 1024, 0x40, true},
        PayloadCase{"Samsung512Behind512", ImageDrive("nvme-144d-a826.txt"), 512, 0x40, false}),
    [](const ::testing::TestParamInfo<PayloadCase>& p) { return std::string(p.param.name); });

// ---- Clear-CPM in the drive's own Link Control ----

struct CpmCase {
    const char* name;
    const char* image;
    unsigned linkControl;  // capability + 0x10
};

class ClearCpm : public HardwareRules, public ::testing::WithParamInterface<CpmCase> {};

TEST_P(ClearCpm, ClearsTheBitInTheDrivesOwnLinkControlAndLogsWhatItRead) {
    const CpmCase& c = GetParam();
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 1, 2).Port(0, 3, ImageDrive(c.image, 0x0140));
    Boot(b.Build());
    const uint32_t before = fabric_->PeekConfig(3, 0, 0, c.linkControl);
    const uint32_t at0x80 = fabric_->PeekConfig(3, 0, 0, 0x80);
    ASSERT_NE(before & 0x100, 0u);
    ClearLog();
    ASSERT_EQ(Send(CORVAX_CLR_CPM, {}, 0).status, KERN_STATUS_SUCCESS);

    const uint32_t after = fabric_->PeekConfig(3, 0, 0, c.linkControl);
    EXPECT_EQ(after & 0xFFFF, before & 0xFFFF & ~0x100u);
    if (c.linkControl != 0x80) {
        EXPECT_EQ(fabric_->PeekConfig(3, 0, 0, 0x80), at0x80);  // another register there
    }
    char in[64];
    char out[64];
    std::snprintf(in, sizeof in, "Corvax2 : CLR CPM(PFA=0300, in data=%08X\n", before);
    std::snprintf(out, sizeof out, "Corvax2 : CLR CPM(PFA=0300, out data=%08X\n", after);
    EXPECT_EQ(CountLines(in), 1u);
    EXPECT_EQ(CountLines(out), 1u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ClearCpm,
                         ::testing::Values(CpmCase{"IntelAt0x60", "nvme-8086-0953.txt", 0x70},
                                           CpmCase{"SamsungAt0x70", "nvme-144d-a826.txt", 0x80}),
                         [](const ::testing::TestParamInfo<CpmCase>& p) {
                             return std::string(p.param.name);
                         });

// ---- Slot Control commands one at a time; slot power off for a second ----

// Two PEX 8732 ports as the captured PLX hot-plug ports are (Command Completed implemented,
// hot-plug interrupts enabled), each with a drive.
sim::FabricDescription HotPlugPorts(const char* portImage) {
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x8086, 0x0001, 0xF1000000));
    b.Port(1, 5, Drive(0x8086, 0x0002, 0xF1100000));
    sim::FabricDescription d = b.Build();
    for (auto& port : d.switches[0].ports) {
        port.image = Image(portImage);
    }
    return d;
}

struct CommandCase {
    const char* name;
    const char* portImage;
    std::vector<uint32_t> requests;  // sent one after the other, at once
};

class SlotCommands : public HardwareRules, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(SlotCommands, NoCommandOverrunsTheLastAndPowerStaysOffASecond) {
    const CommandCase& c = GetParam();
    Boot(HotPlugPorts(c.portImage));
    const uint32_t before = fabric_->PeekConfig(3, 8, 0, 0x80) & 0xFFFF;
    fabric_->ResetCounters();
    for (uint32_t code : c.requests) {
        const std::vector<uint8_t> led = Ulongs({0x0400, 2});
        Send(code, code == CORVAX_SET_LED ? led : std::vector<uint8_t>(), 0);
    }
    const sim::Counters counters = fabric_->GetCounters();
    EXPECT_EQ(counters.slotCommandOverrun, 0u);
    EXPECT_EQ(counters.slotPowerShort, 0u);
    // The system's own enables (hot-plug interrupts, command completion) are left as they were.
    EXPECT_EQ(fabric_->PeekConfig(3, 8, 0, 0x80) & 0x103F, before & 0x103F);
    EXPECT_EQ(CountLines("Corvax2 : Slot command timeout"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SlotCommands,
    ::testing::Values(
        CommandCase{"DisableThenEnable", "plx9716-downstream.txt", {PLX_DISABLE, PLX_ENABLE}},
        CommandCase{"TwiceEach",
                    "plx9716-downstream.txt",
                    {PLX_DISABLE, PLX_DISABLE, PLX_ENABLE, PLX_ENABLE}},
        CommandCase{"LedsBackToBack",
                    "plx9716-downstream.txt",
                    {PLX_SET_LED_ALL, CORVAX_SET_LED, PLX_SET_LED_ALL}},
        CommandCase{
            "OlderPartDisableThenEnable", "plx8532-downstream.txt", {PLX_DISABLE, PLX_ENABLE}}),
    [](const ::testing::TestParamInfo<CommandCase>& p) { return std::string(p.param.name); });

TEST_F(HardwareRules, APowerCycleEndsPoweredWithItsIndicatorOnAfterASecondOff) {
    Boot(HotPlugPorts("plx9716-downstream.txt"));
    const uint64_t start = fabric_->ClockUs();
    Send(PLX_DISABLE, {}, 0);
    Send(PLX_ENABLE, {}, 0);
    EXPECT_GE(fabric_->ClockUs() - start, sim::kSlotPowerOffUs);
    for (uint8_t device : {8, 9}) {
        EXPECT_EQ(fabric_->PeekConfig(3, device, 0, 0x80) & 0x0700u, 0x0100u);
    }
    // The first slot cut waits out nearly the whole second; by then the other's is over too.
    EXPECT_EQ(CountLines("Corvax2 : Slot power off hold(PFA=0348, wait=99"), 1u);
    EXPECT_EQ(fabric_->GetCounters().slotPowerShort, 0u);
}

// A port whose hot-plug controller never completes a command holds each of the driver's next
// commands at most a second, as the system's hot-plug code allows, and is named.
TEST_F(HardwareRules, ACommandThatNeverCompletesHoldsTheNextOneASecondAtMost) {
    Boot(HotPlugPorts("plx9716-downstream.txt"));
    fabric_->HangSlotCommands(0, 1, true);
    const uint64_t start = fabric_->ClockUs();
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    // The indicator command waited the second for the power command; the other port none.
    const uint64_t took = fabric_->ClockUs() - start;
    EXPECT_GE(took, 1000000u);
    EXPECT_LT(took, 1000000u + 5000u);
    EXPECT_EQ(CountLines("Corvax2 : Slot command timeout(PFA=0348, data="), 1u);
    EXPECT_EQ(CountLines("Corvax2 : Slot command timeout"), 1u);
}

// ---- "not yet" ----

// With CRS Software Visibility a drive still starting answers its vendor-ID read with 0x0001:
// the port bitmap shows a drive only once it answers.
TEST_F(HardwareRules, ABitmapShowsNoDriveThatAnswersNotYet) {
    FabricBuilder b;
    b.Switch(sim::SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x8086, 0x0001, 0xF1000000).WithReadyMs(300));
    b.Port(1, 5, Drive(0x8086, 0x0002, 0xF1100000).WithReadyMs(300));
    sim::FabricDescription d = b.Build();
    d.hostBridge.crsVisibility = true;
    Boot(d);
    Send(PLX_DISABLE, {}, 0);
    Send(PLX_ENABLE, {}, 0);
    fabric_->Wait(200000);  // trained and quiet, still starting
    EXPECT_EQ(Send(PLX_GET_BITMAP, {}, 12).Ulong(0), 0u);
    EXPECT_EQ(CountLines("Corvax2 : pfa = 0x00000400, value=0xFFFF0001\n"), 1u);
    fabric_->Wait(200000);
    EXPECT_EQ(Send(PLX_GET_BITMAP, {}, 12).Ulong(0), 0x3u);
}

}  // namespace
}  // namespace corvax_test
