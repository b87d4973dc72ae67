// Per-port link control and the PEX 8748 secondary path, driven through the disable and enable
// requests, with the validity checks and the retrying reader called directly.
#include <algorithm>

#include "driver/topology/plx8748.h"
#include "driver/topology/port_control.h"
#include "tests/driver/driver_test_support.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using sim::SwitchModel;

constexpr uint32_t kLinkControl = 0x78;
constexpr uint32_t kSlotControl = 0x80;

DriveDescription Drive(uint16_t device, uint64_t bar0) {
    return DriveDescription::Make(0x8086, device).WithBar0(bar0).WithMsix(0x2000);
}

// A switch with a drive behind every port: port i on bus first + i.
FabricBuilder FullSwitch(SwitchModel model, uint8_t bus, uint8_t internalBus, uint32_t bar0 = 0) {
    FabricBuilder b;
    b.Switch(model, bus, internalBus, bar0);
    const unsigned slots = sim::SlotCount(model);
    for (unsigned i = 0; i < slots; ++i) {
        b.Port(i, static_cast<uint8_t>(internalBus + 1 + i),
               Drive(static_cast<uint16_t>(0x10 + i), 0xF0000000u + i * 0x100000u));
    }
    return b;
}

class PortControlTest : public DriverTest {
  protected:
    uint32_t PortDword(unsigned slot, unsigned offset) {
        const uint16_t pfa = Hw().PortPfa(0, slot);
        return Hw().PeekConfig(pfa >> 8, (pfa >> 3) & 0x1F, pfa & 7, offset);
    }

    std::vector<std::string> Prints() const { return sim::Kernel::Get().Prints(); }

    size_t CountPrints(const std::string& prefix) const {
        const std::vector<std::string> prints = Prints();
        return std::count_if(prints.begin(), prints.end(), [&prefix](const std::string& p) {
            return p.compare(0, prefix.size(), prefix) == 0;
        });
    }
};

std::string Format(const char* format, unsigned port, uint32_t a, uint32_t b) {
    char text[128];
    snprintf(text, sizeof(text), format, port, a, b);
    return text;
}

// ---- validity checks ----

struct InvalidCase {
    const char* name;
    uint32_t pciID;
    uint32_t port;
};

class InvalidPortTest : public PortControlTest,
                        public ::testing::WithParamInterface<InvalidCase> {};

TEST_P(InvalidPortTest, RefusesWithoutAnyAccessOrLine) {
    Boot(FullSwitch(SwitchModel::Plx8732, 2, 3));
    corvax::PlxBridge bridge = Extension()->Bridge[0];
    bridge.pciID = GetParam().pciID;
    const uint64_t pairs = sim::Kernel::Get().ConfigPairs();
    EXPECT_FALSE(corvax::PlxDisablePortLink(&bridge, GetParam().port, &Extension()->SlotCommands));
    EXPECT_FALSE(corvax::PlxEnablePortLink(&bridge, GetParam().port, &Extension()->SlotCommands));
    EXPECT_EQ(sim::Kernel::Get().ConfigPairs(), pairs);
    EXPECT_EQ(sim::Kernel::Get().PrintCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, InvalidPortTest,
                         ::testing::Values(InvalidCase{"pex8748_port8", 0x874810b5u, 8},
                                           InvalidCase{"pex8732_port4", 0x873210b5u, 4},
                                           InvalidCase{"pex8618_port12", 0x861810b5u, 12},
                                           InvalidCase{"huge_index", 0x873210b5u, 0xFFFFFFFFu},
                                           InvalidCase{"unknown_model", 0x874910b5u, 0},
                                           InvalidCase{"free_record", 0u, 0}),
                         [](const ::testing::TestParamInfo<InvalidCase>& p) {
                             return std::string(p.param.name);
                         });

// ---- disable ----

TEST_F(PortControlTest, DisableOfAPex8618CutsEachLinkBeforeItsPowerFromTheHighestPortDown) {
    Boot(FullSwitch(SwitchModel::Plx8618, 2, 3));
    uint32_t before[12];
    for (unsigned p = 0; p < 12; ++p) {
        before[p] = PortDword(p, kLinkControl);
    }
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);

    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    ASSERT_EQ(writes.size(), 36u);
    for (unsigned n = 0; n < 12; ++n) {
        const unsigned p = 11 - n;
        SCOPED_TRACE(p);
        const uint16_t pfa = Hw().PortPfa(0, p);
        const sim::ConfigWrite& link = writes[3 * n];
        const sim::ConfigWrite& power = writes[3 * n + 1];
        const sim::ConfigWrite& indicator = writes[3 * n + 2];
        EXPECT_EQ(link.pfa, pfa);
        EXPECT_EQ(link.offset, kLinkControl);
        // The status halves (Link Status, Slot Status) go as 0: their event bits are
        // write-one-to-clear.
        EXPECT_EQ(link.value, (before[p] & 0xFFFFu) | 0x10);
        EXPECT_EQ(power.pfa, pfa);
        EXPECT_EQ(power.offset, kSlotControl);
        EXPECT_EQ(power.value & 0xFFFF0700u, 0x500u);  // power off, indicator not yet touched
        EXPECT_EQ(indicator.pfa, pfa);
        EXPECT_EQ(indicator.offset, kSlotControl);
        // The indicator command waited for the power command to complete: Command Completed
        // is the one status bit it writes, as 1, to clear it.
        EXPECT_EQ(indicator.value & 0xFFFF0700u, 0x00100700u);
        EXPECT_FALSE(Hw().LinkUp(0, p));
    }
    EXPECT_EQ(Hw().GetCounters().slotCommandOverrun, 0u);
    // Port index 0 of an 8618 is device 2, port index 4 device 1.
    EXPECT_EQ(writes[33].pfa, 0x0310);
    EXPECT_EQ(writes[21].pfa, 0x0308);

    const std::vector<std::string> prints = Prints();
    ASSERT_EQ(prints.size(), 13u);
    EXPECT_EQ(prints[0], "Corvax2 : CORVAX_DISABLE_BRIDGE/PLX_DISABLE\n");
    for (unsigned n = 0; n < 12; ++n) {
        const unsigned p = 11 - n;
        EXPECT_EQ(prints[1 + n], Format("Corvax2 : Disable port%u PCIe link(0x%08X => 0x%08X)", p,
                                        before[p], (before[p] & 0xFFFFu) | 0x10));
    }
}

TEST_F(PortControlTest, DisableOfAPex8748TouchesOnlyLinkControlThenTheSecondaryPath) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0xF7C00000));
    const uint32_t before0 = PortDword(0, kLinkControl);
    ASSERT_EQ(Send(CORVAX_DISABLE_BRIDGE, {}, 0).status, KERN_STATUS_SUCCESS);

    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    ASSERT_EQ(writes.size(), 8u);
    for (unsigned n = 0; n < 8; ++n) {
        EXPECT_EQ(writes[n].pfa, Hw().PortPfa(0, 7 - n));
        EXPECT_EQ(writes[n].offset, kLinkControl);
    }
    EXPECT_EQ(writes[3].pfa, 0x0480);  // port index 4 on internal bus 4 is device 16
    EXPECT_EQ(Hw().PeekBlock(0, 0, 0x208) & 0xF, 0xFu);
    EXPECT_EQ(Hw().PeekBlock(0, 1, 0x208) & 0xF, 0xFu);

    // The ports first, then SEC1 and SEC2.
    const std::vector<std::string> prints = Prints();
    const auto lastPort = std::find_if(prints.rbegin(), prints.rend(), [](const std::string& p) {
        return p.find("Disable port") != std::string::npos;
    });
    ASSERT_NE(lastPort, prints.rend());
    EXPECT_EQ(writes[7].value, (before0 & 0xFFFFu) | 0x10);
    EXPECT_EQ(*lastPort, Format("Corvax2 : Disable port%u PCIe link(0x%08X => 0x%08X)", 0, before0,
                                writes[7].value));
    // The secondary path follows the last port: a read, a write and a line per block.
    ASSERT_GE(prints.size(), 7u);
    EXPECT_EQ(prints[prints.size() - 7], *lastPort);
    EXPECT_EQ(prints[prints.size() - 4].rfind("Corvax2 : PLX8748 Bridge disabled (SEC1", 0), 0u);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge disabled (SEC1=>PFA:0x0300,memAddr:"
                          "0x00000000F7C08208,regData:0x00000000\n"),
              1u);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge disabled (SEC2=>PFA:0x0300,memAddr:"
                          "0x00000000F7C10208,regData:0x00000000\n"),
              1u);
    EXPECT_EQ(prints.back(),
              "Corvax2 : PLX8748 Bridge disabled (SEC2=>PFA:0x0300,memAddr:0x00000000F7C10208,"
              "regData:0x00000000\n");
    ExpectNothingMapped();
}

TEST_F(PortControlTest, DisablingADisabledPortWritesAndLogsTheSameControlHalf) {
    Boot(FullSwitch(SwitchModel::Plx8732, 2, 3));
    Send(PLX_DISABLE, {}, 0);
    const uint32_t disabled = PortDword(2, kLinkControl);
    ASSERT_NE(disabled & 0x10, 0u);
    ClearLog();
    Send(PLX_DISABLE, {}, 0);
    EXPECT_EQ(CountPrints(Format("Corvax2 : Disable port%u PCIe link(0x%08X => 0x%08X)", 2,
                                 disabled, disabled & 0xFFFFu)),
              1u);
}

// ---- enable ----

TEST_F(PortControlTest, EnableOfPex8732sRestoresPowerBeforeEachLinkInOnePass) {
    FabricBuilder b = FullSwitch(SwitchModel::Plx8732, 2, 3);
    b.Switch(SwitchModel::Plx8732, 8, 9);
    for (unsigned i = 0; i < 4; ++i) {
        b.Port(i, static_cast<uint8_t>(10 + i),
               Drive(static_cast<uint16_t>(0x20 + i), 0xD0000000u + i * 0x100000u));
    }
    Boot(b);
    Send(PLX_DISABLE, {}, 0);
    Hw().ClearConfigWrites();
    ClearLog();

    const Reply r = Send(PLX_ENABLE, {}, 0);
    EXPECT_EQ(r.status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);

    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    ASSERT_EQ(writes.size(), 24u);  // one pass: 2 switches x 4 ports x 3 writes
    for (unsigned n = 0; n < 8; ++n) {
        const unsigned sw = n / 4;
        const unsigned p = 3 - n % 4;
        SCOPED_TRACE(n);
        const uint16_t pfa = Hw().PortPfa(sw, p);
        EXPECT_EQ(writes[3 * n].pfa, pfa);
        EXPECT_EQ(writes[3 * n].offset, kSlotControl);
        // power on, indicator still off; then the indicator on; then the link. Of the status
        // halves only Command Completed goes, as 1: the disable's last command completed.
        EXPECT_EQ(writes[3 * n].value & 0xFFFF0700u, 0x00100300u);
        EXPECT_EQ(writes[3 * n + 1].pfa, pfa);
        EXPECT_EQ(writes[3 * n + 1].value & 0xFFFF0700u, 0x00100100u);
        EXPECT_EQ(writes[3 * n + 2].pfa, pfa);
        EXPECT_EQ(writes[3 * n + 2].offset, kLinkControl);
        EXPECT_EQ(writes[3 * n + 2].value & 0xFFFF0010u, 0u);
        EXPECT_TRUE(Hw().LinkUp(sw, p));
    }
    EXPECT_EQ(Hw().GetCounters().slotCommandOverrun, 0u);
    EXPECT_EQ(Hw().GetCounters().slotPowerShort, 0u);
    // The first slot waits out the second its power must stay off; by then the others' is over.
    const std::vector<std::string> prints = Prints();
    ASSERT_EQ(prints.size(), 10u);
    EXPECT_EQ(prints[0], "Corvax2 : CORVAX_ENABLE_BRIDGE/PLX_ENABLE\n");
    EXPECT_EQ(prints[1].rfind("Corvax2 : Slot power off hold(PFA=0358, wait=", 0), 0u);
    EXPECT_EQ(prints[2].rfind("Corvax2 : Enable port3 PCIe link success (0x", 0), 0u);
    EXPECT_EQ(prints[5].rfind("Corvax2 : Enable port0 PCIe link success (0x", 0), 0u);
    EXPECT_EQ(prints[6].rfind("Corvax2 : Enable port3 PCIe link success (0x", 0), 0u);
    for (size_t i = 2; i < prints.size(); ++i) {
        EXPECT_EQ(prints[i].back(), ')');  // no line feed on the per-port lines
    }
}

TEST_F(PortControlTest, APortThatNeverLetsGoFailsTheEnableAfterSixPasses) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0xF7C00000));
    Send(PLX_DISABLE, {}, 0);
    Hw().SetStuck(0, 5, true);
    ClearLog();

    const Reply r = Send(CORVAX_ENABLE_BRIDGE, {}, 0);
    EXPECT_EQ(static_cast<uint32_t>(r.status), CORVAX_STATUS_FAIL_CHECK);
    EXPECT_EQ(r.information, 0u);

    EXPECT_EQ(CountPrints("Corvax2 : pPlxBridge->pciID=0x874810B5\n"), 6u);
    EXPECT_EQ(CountPrints("Corvax2 : Enable port"), 48u);  // every port in every pass
    EXPECT_EQ(CountPrints("Corvax2 : Enable port5 PCIe link fail (0x"), 6u);
    EXPECT_EQ(CountPrints("Corvax2 : Enable port4 PCIe link success (0x"), 6u);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge enabled (SEC1"), 6u);
    const uint32_t stuck = PortDword(5, kLinkControl);
    EXPECT_EQ(CountPrints(Format("Corvax2 : Enable port%u PCIe link fail (0x%08X => 0x%08X)", 5,
                                 stuck, stuck)),
              6u);
    EXPECT_FALSE(Hw().LinkUp(0, 5));
    EXPECT_TRUE(Hw().LinkUp(0, 4));
}

// A board may configure fewer downstream ports than the model has. A port that does not answer
// as one (a PLX function with a type 1 header) is no link that failed: enable, disable and the
// LED requests skip it, writing nothing there.
TEST_F(PortControlTest, PortsTheBoardDoesNotHaveAreSkipped) {
    FabricBuilder b;
    b.Switch(SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x30, 0xD0000000u));
    b.EmptyPort(1, 5);
    b.EmptyPort(2, 6);  // no port 3 in this machine
    Boot(b);
    for (uint32_t code : {PLX_DISABLE, PLX_ENABLE, PLX_SET_LED_ALL}) {
        SCOPED_TRACE(code);
        ClearLog();
        Hw().ClearConfigWrites();
        EXPECT_EQ(Send(code, {}, 0).status, KERN_STATUS_SUCCESS);
        for (const sim::ConfigWrite& w : Hw().ConfigWrites()) {
            EXPECT_TRUE(w.answered) << "a write to " << w.pfa << " where nothing answers";
        }
        EXPECT_EQ(CountPrints("Corvax2 : Enable port3"), 0u);
        EXPECT_EQ(CountPrints("Corvax2 : Disable port3"), 0u);
    }
    EXPECT_TRUE(Hw().LinkUp(0, 0));
}

// A switch that does not answer at all (its identifier gone, its ports no longer on the bus
// the update recorded) has lost every link: the enable still fails after six passes, and writes
// nothing.
TEST_F(PortControlTest, ASwitchThatDoesNotAnswerFailsTheEnableWithoutWrites) {
    FabricBuilder b;
    b.Switch(SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x30, 0xD0000000u));
    Boot(b);
    Hw().PokeConfig(2, 0, 0, 0x18, 0x00070702);  // the ports move to bus 7
    Hw().PokeConfig(2, 0, 0, 0x00, 0xFFFFFFFF);
    Hw().ClearConfigWrites();
    const Reply r = Send(PLX_ENABLE, {}, 0);
    EXPECT_EQ(static_cast<uint32_t>(r.status), CORVAX_STATUS_FAIL_CHECK);
    EXPECT_EQ(CountPrints("Corvax2 : Enable port0 PCIe link fail (0xFFFFFFFF => 0xFFFFFFFF)"), 6u);
    EXPECT_TRUE(Hw().ConfigWrites().empty());
}

// ---- PEX 8748 secondary path ----

TEST_F(PortControlTest, SecondaryPathChangesOnlyTheLowFourBitsAndLogsWhatItRead) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0xF7C00000));
    Hw().PokeBlock(0, 0, 0x208, 0x0ABCDE5F);
    Hw().PokeBlock(0, 1, 0x208, 0x0000000F);
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Hw().PeekBlock(0, 0, 0x208), 0x0ABCDE50u);
    EXPECT_EQ(Hw().PeekBlock(0, 1, 0x208), 0x00000000u);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge enabled (SEC1=>PFA:0x0300,memAddr:"
                          "0x00000000F7C08208,regData:0x0ABCDE5F\n"),
              1u);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge enabled (SEC2=>PFA:0x0300,memAddr:"
                          "0x00000000F7C10208,regData:0x0000000F\n"),
              1u);

    ClearLog();
    ASSERT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Hw().PeekBlock(0, 0, 0x208), 0x0ABCDE5Fu);
    EXPECT_EQ(Hw().PeekBlock(0, 1, 0x208), 0x0000000Fu);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge disabled (SEC2=>PFA:0x0300,memAddr:"
                          "0x00000000F7C10208,regData:0x00000000\n"),
              1u);
    EXPECT_TRUE(Hw().Faults().Empty());
    ExpectNothingMapped();
}

TEST_F(PortControlTest, SecondaryPathTakesTheFifthRead) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0xF7C00000));
    Hw().PokeBlock(0, 0, 0x208, 0x0000000F);
    Hw().FailBlockReads(0, 0, 4);
    ASSERT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Hw().PeekBlock(0, 0, 0x208), 0u);
    EXPECT_EQ(CountPrints("Brannock : PciReadMemoryUlong data=0xFFFFFFFF, addr=0x00000000F7C08208"),
              4u);
    EXPECT_EQ(CountPrints("Brannock : PciReadMemoryUlong data=0x0000000F, addr=0x00000000F7C08208"),
              1u);
    EXPECT_EQ(
        CountPrints("Brannock : PciWriteMemoryUlong data=0x00000000, addr=0x00000000F7C08208"), 1u);
}

TEST_F(PortControlTest, ABlockThatNeverAnswersFailsTheEnableAndIsNotWritten) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0xF7C00000));
    Hw().PokeBlock(0, 1, 0x208, 0x0000000F);
    Hw().FailBlockReads(0, 1, 1000);
    const Reply r = Send(PLX_ENABLE, {}, 0);
    EXPECT_EQ(static_cast<uint32_t>(r.status), CORVAX_STATUS_FAIL_CHECK);
    EXPECT_EQ(Hw().PeekBlock(0, 1, 0x208), 0x0000000Fu);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge enabled (SEC2=>PFA:0x0300,memAddr:"
                          "0x00000000F7C10208,regData:0xFFFFFFFF\n"),
              6u);
    EXPECT_EQ(CountPrints("Brannock : PciReadMemoryUlong data=0xFFFFFFFF, addr=0x00000000F7C10208"),
              30u);  // five reads per pass
    EXPECT_EQ(
        CountPrints("Brannock : PciWriteMemoryUlong data=0x00000000, addr=0x00000000F7C10208"), 0u);

    // The disable has nobody to tell: success, the line, and no write.
    ClearLog();
    EXPECT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge disabled (SEC2=>PFA:0x0300,memAddr:"
                          "0x00000000F7C10208,regData:0xFFFFFFFF\n"),
              1u);
    EXPECT_EQ(
        CountPrints("Brannock : PciWriteMemoryUlong data=0x0000000F, addr=0x00000000F7C10208"), 0u);
    ExpectNothingMapped();
}

TEST_F(PortControlTest, ASwitchWhoseBar0WasNeverAssignedIsNotWrittenThroughLowMemory) {
    Boot(FullSwitch(SwitchModel::Plx8748, 3, 4, 0));
    ASSERT_EQ(Extension()->Bridge[0].pBdgSecAddr1, 0x8000u);
    const uint64_t maps = sim::Kernel::Get().Mappings().ioSpaceMaps;
    EXPECT_EQ(Send(PLX_DISABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(Send(PLX_ENABLE, {}, 0).status, KERN_STATUS_SUCCESS);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, maps);
    EXPECT_EQ(CountPrints("Corvax2 : PLX8748 Bridge"), 0u);
    EXPECT_EQ(CountPrints("Corvax2 : pPlxBridge->pciID=0x874810B5\n"), 1u);
}

TEST_F(PortControlTest, RetryingReaderStopsAfterFiveReadsOfNothing) {
    Boot(FabricBuilder());
    const uint64_t maps = sim::Kernel::Get().Mappings().ioSpaceMaps;
    uint32_t value = 0;
    EXPECT_FALSE(corvax::ReadMemoryUlongRetry(0x90000000ull, &value));  // unclaimed memory
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, maps + 5);
    EXPECT_FALSE(corvax::ReadMemoryUlongRetry(0x90000000ull, nullptr));
    ExpectNothingMapped();
}

TEST_F(PortControlTest, ASwitchWithoutBlockAddressesHasNoSecondaryPath) {
    Boot(FullSwitch(SwitchModel::Plx8732, 2, 3));
    const uint64_t maps = sim::Kernel::Get().Mappings().ioSpaceMaps;
    EXPECT_TRUE(corvax::Plx8748EnableBridge(&Extension()->Bridge[0]));
    corvax::Plx8748DisableBridge(&Extension()->Bridge[0]);
    EXPECT_EQ(sim::Kernel::Get().PrintCount(), 0u);
    EXPECT_EQ(sim::Kernel::Get().Mappings().ioSpaceMaps, maps);
}

}  // namespace
}  // namespace corvax_test
