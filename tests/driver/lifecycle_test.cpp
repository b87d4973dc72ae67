// Load, unload, the control device and its link, and the default request routine.
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

const std::u16string kDevice = u"\\Device\\CorvaxDevice";
const std::u16string kLink = u"\\DosDevices\\CorvaxDev";

std::vector<std::string> ExpectedLoadPrefix(uint32_t ecamBase) {
    char ecam[80];
    std::snprintf(ecam, sizeof(ecam), "Corvax2 : Pci configuration memory start address:0x%08X",
                  ecamBase);
    std::vector<std::string> lines = {
        "Corvax2 : Driver loaded(2.0.1.20)",
        "Corvax2 : QX7102/QX7103/QX7103LT/RS500K Supported",
        "Corvax2 : Create Device",
        ecam,
    };
    const uint32_t ids[] = {CORVAX_MAKER_VENDOR_ID,
                            0x8086,
                            0x1344,
                            0xC0A9,
                            0x1CC4,
                            0x144D,
                            0x1CB0,
                            0x1DB2,
                            0x1CC1,
                            0x1E81,
                            0x1D79,
                            0};
    for (int i = 0; i < 12; ++i) {
        char line[80];
        std::snprintf(line, sizeof(line), "Corvax2 : set device id list (%d = 0x%08X)", i, ids[i]);
        lines.push_back(line);
    }
    lines.push_back("Corvax2 : Update PLX Bridge & PCI device information");
    return lines;
}

using LifecycleTest = DriverTest;

TEST_F(LifecycleTest, LoadLogsBannersDeviceEcamAndTheDefaultListInOrder) {
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    const std::vector<std::string> lines = Lines();
    const std::vector<std::string> expected = ExpectedLoadPrefix(0xFFFFF000);
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
    EXPECT_EQ(lines.back(), "Corvax2 : PCI update completed ");
}

TEST_F(LifecycleTest, LoadCreatesASecuredSharedDeviceAndItsLink) {
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    sim::Kernel& k = sim::Kernel::Get();
    EXPECT_TRUE(k.DeviceExists(kDevice));
    EXPECT_EQ(k.LinkTarget(kLink), kDevice);
    EXPECT_EQ(k.ControlDeviceType(), 0x22u);
    EXPECT_EQ(k.ControlDeviceCharacteristics(), KERN_FILE_DEVICE_SECURE_OPEN);
    EXPECT_FALSE(k.ControlDeviceExclusive());
    EXPECT_TRUE(k.ControlDeviceRestricted());
    EXPECT_EQ(k.ControlDeviceExtensionSize(), sizeof(corvax::DeviceExtension));
    EXPECT_EQ(k.ControlDeviceFlags() & (KERN_DO_BUFFERED_IO | KERN_DO_DEVICE_INITIALIZING),
              KERN_DO_BUFFERED_IO);
    // 27 entries reach the default routine; device control reaches the dispatcher.
    EXPECT_EQ(k.DefaultRoutineEntries(), 27);
    EXPECT_TRUE(k.UnloadRoutineInstalled());

    const corvax::DeviceExtension* e = Extension();
    EXPECT_EQ(e->fgLinkCreated, 1);
    EXPECT_EQ(std::u16string(e->DeviceName.Buffer, e->DeviceName.Length / 2), kDevice);
    EXPECT_EQ(std::u16string(e->SymbolicLinkName.Buffer, e->SymbolicLinkName.Length / 2), kLink);
    EXPECT_EQ(e->DeviceIdList[0], static_cast<uint32_t>(CORVAX_MAKER_VENDOR_ID));
    EXPECT_EQ(e->DeviceIdList[10], 0x1D79u);
    for (uint32_t i = 11; i < corvax::kDeviceIdListEntries; ++i) {
        ASSERT_EQ(e->DeviceIdList[i], 0u) << i;
    }
    // With nothing on the bus the window base reads as all-ones masked to a page.
    EXPECT_EQ(e->EcamBase, 0xFFFFF000u);
}

TEST_F(LifecycleTest, StaleLinkIsDeletedAndCreatedOnceMore) {
    sim::Kernel::Get().AddLink(kLink, u"\\Device\\CorvaxDeviceOfAnEarlierLoad");
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    EXPECT_EQ(sim::Kernel::Get().LinkTarget(kLink), kDevice);
    EXPECT_NE(handle_, sim::kInvalidHandle);
    EXPECT_EQ(Extension()->fgLinkCreated, 1);
}

TEST_F(LifecycleTest, FailedDeviceCreationLeavesNothingAndReturnsItsStatus) {
    const KernStatus denied = static_cast<KernStatus>(0xC0000022);
    sim::Kernel::Get().FailCreateDevice(1, denied);
    EXPECT_EQ(Load(), denied);
    EXPECT_EQ(sim::Kernel::Get().ObjectCount(), 0u);
    EXPECT_FALSE(sim::Kernel::Get().DriverLoaded());
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Corvax2 : Create Device");
}

TEST_F(LifecycleTest, LinkFailingTwiceDeletesLinkAndDeviceAndReturnsTheSecondStatus) {
    // The first failure is the collision with a stale link; the retry fails on its own.
    const KernStatus second = static_cast<KernStatus>(0xC000009A);
    sim::Kernel::Get().AddLink(kLink, u"\\Device\\Elsewhere");
    sim::Kernel::Get().FailCreateLink(2, second);
    EXPECT_EQ(Load(), second);
    EXPECT_EQ(sim::Kernel::Get().ObjectCount(), 0u);
    EXPECT_FALSE(sim::Kernel::Get().LinkExists(kLink));
    EXPECT_FALSE(sim::Kernel::Get().DeviceExists(kDevice));
    EXPECT_FALSE(sim::Kernel::Get().DriverLoaded());
}

TEST_F(LifecycleTest, DeviceThatCannotBeSecuredIsNotExposed) {
    const KernStatus failure = static_cast<KernStatus>(0xC0000001);
    sim::Kernel::Get().FailRestrictDevice(failure);
    EXPECT_EQ(Load(), failure);
    EXPECT_EQ(sim::Kernel::Get().ObjectCount(), 0u);
}

TEST_F(LifecycleTest, UnloadRemovesLinkAndDeviceAndLogsTwoLines) {
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    sim::Kernel::Get().Close(handle_);
    handle_ = sim::kInvalidHandle;
    ClearLog();
    sim::Kernel::Get().UnloadDriver();
    EXPECT_EQ(Lines(),
              (std::vector<std::string>{"Corvax2 : Remove Device", "Corvax2 : Driver unloaded"}));
    EXPECT_EQ(sim::Kernel::Get().ObjectCount(), 0u);
}

TEST_F(LifecycleTest, EveryNonControlRequestSucceedsWithNoBytes) {
    ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
    ClearLog();
    uint8_t buffer[16] = {};
    sim::IoResult read = sim::Kernel::Get().Read(handle_, buffer, sizeof(buffer));
    EXPECT_EQ(read.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(read.information, 0u);
    sim::IoResult write = sim::Kernel::Get().Write(handle_, buffer, sizeof(buffer));
    EXPECT_EQ(write.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(write.information, 0u);
    // Several handles at once: the device is not exclusive.
    sim::Handle second = sim::Kernel::Get().Open("\\\\.\\CorvaxDev");
    EXPECT_NE(second, sim::kInvalidHandle);
    sim::Kernel::Get().Close(second);
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(sim::Kernel::Get().GetViolations().Total(), 0u);
}

}  // namespace
}  // namespace corvax_test
