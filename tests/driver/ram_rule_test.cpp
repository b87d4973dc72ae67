// The driver core built without its window checks trusts any Intel host bridge's dword 0x60, as
// it once did. On a Xeon Scalable server that "window" is the kernel's own memory; the RAM rule
// alone must keep every byte of a replace-and-restore cycle out of it.
#include "driver/topology/pci_access.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

sim::FabricDescription BuiltInWith(uint16_t device, uint64_t ecam, std::optional<uint64_t> at) {
    sim::FabricDescription d = sim::ParseFabricJson(sim::DefaultFabricJson());
    d.hostBridge.vendor = 0x8086;
    d.hostBridge.device = device;
    d.hostBridge.ecam = ecam;
    d.hostBridge.ecamWindow = at;
    sim::ValidateFabric(d);
    return d;
}

class RamRuleAlone : public DriverTest {
  protected:
    void Cycle() {
        ASSERT_EQ(Load(), KERN_STATUS_SUCCESS);
        ASSERT_EQ(Send(CORVAX_UPDATE, {}, 0).status, KERN_STATUS_SUCCESS);
        ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
        fabric_->Replace(0, 1, sim::DriveDescription::Make(0x8086, 0x0A54));
        ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
        WaitForDrives();
        ASSERT_EQ(Send(PLX_RESCAN_RESTORE, {}, 0).status, KERN_STATUS_SUCCESS);
        Send(CORVAX_READ_CONFIG, Ulongs({0x0600}), 256);
    }
};

TEST_F(RamRuleAlone, KeepsTheXeonCycleOutOfRam) {
    Attach(std::make_unique<sim::Fabric>(BuiltInWith(0x2020, 0x01029005, 0)));
    Cycle();
    // Without the checks the capability header is taken for a window...
    EXPECT_EQ(Extension()->EcamBase, 0x01029000u);
    EXPECT_EQ(Extension()->fgEcamTrusted, 1);
    // ...but every page of it is RAM: no header arrived, none was saved, none went back.
    for (uint32_t slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(Extension()->fgSaved[0][slot] & corvax::kSavedHeader, 0) << slot;
    }
    const sim::Counters c = fabric_->GetCounters();
    EXPECT_EQ(c.ramMappings, 0u);  // the kernel was never even asked
    EXPECT_EQ(c.strayWrites, 0u);
    EXPECT_EQ(c.ecamAccesses, 0u);
    EXPECT_TRUE(fabric_->Faults().Empty());
    ExpectNothingMapped();
}

TEST_F(RamRuleAlone, LeavesARealWindowInUse) {
    Attach(std::make_unique<sim::Fabric>(BuiltInWith(0x3E0F, 0xE0000001, std::nullopt)));
    Cycle();
    EXPECT_EQ(Extension()->fgEcamTrusted, 1);
    EXPECT_NE(Extension()->fgSaved[0][0] & corvax::kSavedHeader, 0);
    EXPECT_EQ(fabric_->PeekConfig(5, 0, 0, 0x10), 0xF7000004u);  // restored
    EXPECT_GT(fabric_->GetCounters().ecamAccesses, 0u);
    EXPECT_TRUE(fabric_->Faults().Empty());
}

}  // namespace
}  // namespace corvax_test
