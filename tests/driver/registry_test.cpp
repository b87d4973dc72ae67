// The registry lookups: the accepted-vendor check and the on-bridge test.
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

class RegistryTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        extension_.reset(new corvax::DeviceExtension());
        std::memcpy(extension_->DeviceIdList, corvax::DefaultDeviceIdList,
                    sizeof(corvax::DefaultDeviceIdList));
    }
    std::unique_ptr<corvax::DeviceExtension> extension_;
};

struct MatchCase {
    uint32_t pciID;
    bool match;
    const char* line;  // the log line of a match
};

TEST_F(RegistryTest, MatchDeviceIdListComparesTheLowHalfAndLogsEachMatch) {
    const MatchCase cases[] = {
        {0x0A548086u, true, "Corvax2 : found ZEL SSD: 00008086 = 0A548086"},
        {0xA808144Du, true, "Corvax2 : found ZEL SSD: 0000144D = A808144D"},
        {0x00011D79u, true, "Corvax2 : found ZEL SSD: 00001D79 = 00011D79"},
        {0x874810B5u, false, nullptr},  // a PLX function is never a listed vendor
        {0x80860000u, false, nullptr},  // the vendor is the low half only
        {0x00000000u, false, nullptr},
    };
    for (const MatchCase& c : cases) {
        ClearLog();
        EXPECT_EQ(corvax::MatchDeviceIdList(c.pciID, extension_->DeviceIdList), c.match) << c.pciID;
        if (c.match) {
            EXPECT_EQ(Lines(), std::vector<std::string>{c.line});
        } else {
            EXPECT_TRUE(Lines().empty());
        }
    }
}

TEST_F(RegistryTest, MatchDeviceIdListStopsAtTheFirstZeroAndIgnoresWideEntries) {
    uint32_t* list = extension_->DeviceIdList;
    list[0] = 0;
    EXPECT_FALSE(corvax::MatchDeviceIdList(0x00018086u, list));
    list[0] = 0x1234;
    list[1] = 0;
    list[2] = 0x8086;  // after the terminator: never looked at
    EXPECT_FALSE(corvax::MatchDeviceIdList(0x00018086u, list));
    list[0] = 0x00018086;  // bits 31:16 set: can never equal a 16-bit vendor
    EXPECT_FALSE(corvax::MatchDeviceIdList(0x00018086u, list));
}

TEST_F(RegistryTest, IsOnBridgeComparesOriginalSlotsOfSwitchesInUse) {
    corvax::DeviceExtension& e = *extension_;
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0));
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0x0500));

    e.Bridge[0].pciID = corvax::kPlx8732Id;
    e.Bridge[0].bdgPFA = 0x0300;
    for (int i = 0; i < 4; ++i) {
        e.Bridge[0].OriginalSlot[i].pciPFA = static_cast<uint32_t>((5 + i) << 8);
    }
    e.Bridge[0].CurrentSlot[0].pciPFA = 0x2000;  // current slots do not count
    EXPECT_TRUE(corvax::IsOnBridge(&e, 0x0500));
    EXPECT_TRUE(corvax::IsOnBridge(&e, 0x0800));
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0x0900));
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0x2000));
    // Slots above the model's count are zero, so 0 is "on the bridge" of a 4-slot switch.
    EXPECT_TRUE(corvax::IsOnBridge(&e, 0));
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0x00000500u | 0x10000u));  // whole 32-bit values

    // A free record is not searched even if it holds stale values.
    e.Bridge[1].OriginalSlot[0].pciPFA = 0x4000;
    EXPECT_FALSE(corvax::IsOnBridge(&e, 0x4000));
}

}  // namespace
}  // namespace corvax_test
