// Control requests through the request path: update, rescan, rescan and restore, disable and
// enable, slot LEDs and clock power management; and requests of every kind from several threads
// at once.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/driver/driver_test_support.h"
#include "tests/driver/test_machines.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using sim::SwitchModel;

constexpr KernStatus kSuccess = KERN_STATUS_SUCCESS;
constexpr uint32_t kSlotControl = 0x80;

class ControlTest : public DriverTest {
  protected:
    uint32_t Peek(uint16_t pfa, unsigned offset) {
        return Hw().PeekConfig(pfa >> 8, (pfa >> 3) & 0x1F, pfa & 7, offset);
    }

    bool Logged(const std::string& prefix) const {
        const std::vector<std::string> lines = Lines();
        return std::any_of(lines.begin(), lines.end(), [&prefix](const std::string& l) {
            return l.compare(0, prefix.size(), prefix) == 0;
        });
    }
};

// ---- update, rescan, rescan and restore ----

struct TopologyCase {
    const char* name;
    uint32_t code;
    const char* firstLine;
    const char* lastLine;
};

class TopologyRequestTest : public ControlTest,
                            public ::testing::WithParamInterface<TopologyCase> {};

TEST_P(TopologyRequestTest, SucceedsWithNoBytesAndLeavesTheCallersBufferAlone) {
    Boot(Plx8748Machine());
    // A direct output that could not even be mapped: these requests never ask for it.
    sim::IoOptions failing;
    failing.failMdlMapping = true;
    const Reply r = Send(GetParam().code, Ulongs({0x0500, 3}), 64, failing);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(64, 0xCC));
    EXPECT_EQ(sim::Kernel::Get().Mappings().requestMdlMaps, 0u);
    const std::vector<std::string> lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), GetParam().firstLine);
    EXPECT_TRUE(Logged(GetParam().lastLine));
    ExpectNothingMapped();
}

INSTANTIATE_TEST_SUITE_P(
    Codes, TopologyRequestTest,
    ::testing::Values(TopologyCase{"corvax_update", CORVAX_UPDATE,
                                   "Corvax2 : Update PLX Bridge & PCI device information",
                                   "Corvax2 : PCI update completed"},
                      TopologyCase{"plx_update", PLX_UPDATE,
                                   "Corvax2 : Update PLX Bridge & PCI device information",
                                   "Corvax2 : PCI update completed"},
                      TopologyCase{"corvax_rescan", CORVAX_RESCAN,
                                   "Corvax2 : Rescan PLX Bridge & PCI device",
                                   "Corvax2 : PCI rescan completed"},
                      TopologyCase{"plx_rescan", PLX_RESCAN,
                                   "Corvax2 : Rescan PLX Bridge & PCI device",
                                   "Corvax2 : PCI rescan completed"},
                      TopologyCase{"corvax_rescan_restore", CORVAX_RESCAN_RESTORE,
                                   "Corvax2 : Rescan PLX Bridge & PCI device",
                                   "Corvax2 : Restore PCI configuration memory & MSI-X table"},
                      TopologyCase{"plx_rescan_restore", PLX_RESCAN_RESTORE,
                                   "Corvax2 : Rescan PLX Bridge & PCI device",
                                   "Corvax2 : Restore PCI configuration memory & MSI-X table"}),
    [](const ::testing::TestParamInfo<TopologyCase>& p) { return std::string(p.param.name); });

TEST_F(ControlTest, UpdateForgetsAPulledDriveWhileRescanKeepsTheOriginalGeneration) {
    Boot(Plx8748Machine());
    Hw().Pull(0, 1);
    ASSERT_EQ(Send(CORVAX_RESCAN, {}, 0).status, kSuccess);
    EXPECT_EQ(Extension()->Bridge[0].OriginalMap, 0xDFu);
    EXPECT_EQ(Extension()->Bridge[0].CurrentMap, 0xDDu);
    ASSERT_EQ(Send(PLX_UPDATE, {}, 0).status, kSuccess);
    EXPECT_EQ(Extension()->Bridge[0].OriginalMap, 0xDDu);
    EXPECT_EQ(Send(CORVAX_QUERY, {}, 4).Ulong(0), 7u);
}

// ---- disable and enable ----

TEST_F(ControlTest, WithoutSwitchesDisableAndEnableOnlyLogTheirNames) {
    Boot(FabricBuilder().Onboard(1, Drive(0x8086, 0x1, 0xF0000000)));
    const Reply disable = Send(CORVAX_DISABLE_BRIDGE, {}, 0);
    const Reply enable = Send(PLX_ENABLE, {}, 0);
    EXPECT_EQ(disable.status, kSuccess);
    EXPECT_EQ(enable.status, kSuccess);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Corvax2 : CORVAX_DISABLE_BRIDGE/PLX_DISABLE",
                                                 "Corvax2 : CORVAX_ENABLE_BRIDGE/PLX_ENABLE"}));
    EXPECT_TRUE(Hw().ConfigWrites().empty());
}

TEST_F(ControlTest, DisableReportsSuccessEvenWhenAPortDoesNotAnswer) {
    FabricBuilder b;
    b.Switch(SwitchModel::Plx8732, 2, 3);
    b.Port(0, 4, Drive(0x8086, 0x1, 0xF0000000));  // ports 1 to 3 absent
    Boot(b);
    EXPECT_EQ(Send(PLX_DISABLE, {}, 0).status, kSuccess);
    // Ports 3 to 1 do not answer as ports: skipped, neither written nor logged.
    const std::vector<std::string> prints = sim::Kernel::Get().Prints();
    ASSERT_EQ(prints.size(), 2u);
    EXPECT_EQ(prints[1].rfind("Corvax2 : Disable port0 PCIe link(", 0), 0u);
    for (const sim::ConfigWrite& w : Hw().ConfigWrites()) {
        EXPECT_TRUE(w.answered);
    }
    EXPECT_FALSE(Hw().LinkUp(0, 0));
}

// ---- set LED ----

TEST_F(ControlTest, SetLedRefusesAShortInputWithoutAnyTrace) {
    Boot(Plx8618Machine());
    for (size_t bytes : {0u, 4u, 7u}) {
        SCOPED_TRACE(bytes);
        std::vector<uint8_t> input = Ulongs({0x0400, 2});
        input.resize(bytes);
        const Reply r = Send(PLX_SET_LED, input, 0);
        EXPECT_EQ(static_cast<uint32_t>(r.status), CORVAX_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(Hw().ConfigWrites().empty());
}

struct LedCase {
    const char* name;
    uint32_t code;
    uint32_t pfa;
    uint32_t ledType;
    uint16_t portPfa;
    uint32_t field;  // bits 7:6 afterwards
};

class SetLedTest : public ControlTest, public ::testing::WithParamInterface<LedCase> {};

TEST_P(SetLedTest, WritesTheLedFieldOfThePortInFrontOfTheDrive) {
    Boot(Plx8618Machine());
    const LedCase& c = GetParam();
    const uint32_t before = Peek(c.portPfa, kSlotControl);
    const Reply r = Send(c.code, Ulongs({c.pfa, c.ledType}), 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 0u);

    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].pfa, c.portPfa);
    EXPECT_EQ(writes[0].offset, kSlotControl);
    // The Slot Status half goes as 0: its bits are write-one-to-clear.
    EXPECT_EQ(writes[0].value, (before & 0xFFFFu & ~0xC0u) | (c.field << 6));
    EXPECT_EQ((Peek(c.portPfa, kSlotControl) >> 6) & 3, c.field);
    EXPECT_EQ(Peek(c.portPfa, kSlotControl) & 0x73F, before & 0x73F);  // power and indicator kept

    char line[64];
    snprintf(line, sizeof(line), "Corvax2 : LED SET(PFA=%04X, data=%08X", c.portPfa,
             writes[0].value);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Corvax2 : CORVAX_SET_LED/PLX_SET_LED(ledType = " +
                                                     std::to_string(c.ledType) + ") ",
                                                 line}));
}

INSTANTIATE_TEST_SUITE_P(Cases, SetLedTest,
                         ::testing::Values(
                             // Port index 0 of an 8618 is device 2: bus 3, device 2 is PFA 0x0310.
                             LedCase{"type2_port0", CORVAX_SET_LED, 0x0400, 2, 0x0310, 2},
                             LedCase{"type6_counts_two_bits", PLX_SET_LED, 0x0400, 6, 0x0310, 2},
                             LedCase{"type0_port4_device1", PLX_SET_LED, 0x0800, 0, 0x0308, 0},
                             LedCase{"type3_empty_slot", CORVAX_SET_LED, 0x0500, 3, 0x0350, 3}),
                         [](const ::testing::TestParamInfo<LedCase>& p) {
                             return std::string(p.param.name);
                         });

TEST_F(ControlTest, SetLedOfAnUnrecordedAddressOnlyLogsTheType) {
    Boot(Plx8618Machine());
    const Reply r = Send(CORVAX_SET_LED, Ulongs({0x0100, 1}), 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(Lines(),
              std::vector<std::string>{"Corvax2 : CORVAX_SET_LED/PLX_SET_LED(ledType = 1) "});
    EXPECT_TRUE(Hw().ConfigWrites().empty());
}

TEST_F(ControlTest, SetLedNeverMatchesTheUnusedSlotsOfASmallerSwitch) {
    // Slots 8 to 11 of an 8748 record are zero fillers: PFA 0 must not reach device 0 of the
    // internal bus.
    Boot(Plx8748Machine());
    EXPECT_EQ(Send(PLX_SET_LED, Ulongs({0, 3}), 0).status, kSuccess);
    EXPECT_TRUE(Hw().ConfigWrites().empty());
    EXPECT_EQ(Lines().size(), 1u);
}

// ---- set every port's LED ----

TEST_F(ControlTest, LedAllSetsBothBitsOnEveryIndicatorPortInTableOrder) {
    Boot(Plx8618Machine());
    const Reply r = Send(PLX_SET_LED_ALL, {}, 0);
    EXPECT_EQ(r.status, kSuccess);
    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    const unsigned devices[12] = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};
    ASSERT_EQ(writes.size(), 12u);
    for (unsigned i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(writes[i].pfa, sim::Pfa(3, devices[i], 0));
        EXPECT_EQ(writes[i].offset, kSlotControl);
        EXPECT_EQ(writes[i].value & 0xC0, 0xC0u);
        EXPECT_EQ(Peek(sim::Pfa(3, devices[i], 0), kSlotControl) & 0x7C0, 0x1C0u);
    }
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ControlTest, LedAllWritesNothingOnAPex8748OrWithoutSwitches) {
    Boot(Plx8748Machine());
    EXPECT_EQ(Send(CORVAX_SET_LED_ALL, {}, 0).status, kSuccess);
    EXPECT_TRUE(Hw().ConfigWrites().empty());
    EXPECT_TRUE(Lines().empty());
}

// ---- clear CPM ----

TEST_F(ControlTest, ClearCpmClearsTheBitWhereSetAndVisitsOnlyDrives) {
    Boot(TwoPlx8732Machine());
    const uint32_t slot0 = Peek(0x0400, 0x80);
    const uint32_t slot2 = Peek(0x0600, 0x80);
    const uint32_t other = Peek(0x0B00, 0x80);
    ASSERT_EQ(slot0 & 0xFFFF, 0x0140u);
    ASSERT_EQ(slot2 & 0xFFFF, 0x0040u);

    const Reply r = Send(CORVAX_CLR_CPM, {}, 0);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(Peek(0x0400, 0x80) & 0xFFFF, 0x0040u);
    EXPECT_EQ(Peek(0x0600, 0x80) & 0xFFFF, 0x0040u);

    char text[96];
    auto in = [&text](uint32_t pfa, uint32_t value) {
        snprintf(text, sizeof(text), "Corvax2 : CLR CPM(PFA=%04X, in data=%08X", pfa, value);
        return std::string(text);
    };
    auto out = [&text](uint32_t pfa, uint32_t value) {
        snprintf(text, sizeof(text), "Corvax2 : CLR CPM(PFA=%04X, out data=%08X", pfa, value);
        return std::string(text);
    };
    // The update recorded a PFA for every port, the empty ones too; only the slots that hold
    // a drive are visited. An empty slot's address may name something else entirely (bus 0xFF
    // for a port that did not answer, which on a Xeon server is the processor's own).
    const std::vector<std::string> expected = {
        "Corvax2 : CORVAX_CLR_CPM", "Corvax2 : CLR CPM(BRG0)",       "Corvax2 : CLR CPM(Dev0)",
        in(0x0400, slot0),          out(0x0400, Peek(0x0400, 0x80)), "Corvax2 : CLR CPM(Dev2)",
        in(0x0600, slot2),          "Corvax2 : CLR CPM(BRG1)",       "Corvax2 : CLR CPM(Dev1)",
        in(0x0B00, other),          out(0x0B00, Peek(0x0B00, 0x80)),
    };
    EXPECT_EQ(Lines(), expected);

    // Two writes, the control half only (Link Status as 0), and none to the drive whose bit
    // was clear.
    const std::vector<sim::ConfigWrite> writes = Hw().ConfigWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].pfa, 0x0400);
    EXPECT_EQ(writes[0].value, slot0 & 0xFEFFu);
    EXPECT_EQ(writes[1].pfa, 0x0B00);
    EXPECT_EQ(writes[1].value, other & 0xFEFFu);
}

TEST_F(ControlTest, ClearCpmAfterARescanVisitsOnlyDrivesThatAnswered) {
    Boot(TwoPlx8732Machine());
    ASSERT_EQ(Send(PLX_RESCAN, {}, 0).status, kSuccess);
    ClearLog();
    Send(CORVAX_CLR_CPM, {}, 0);
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& l) { return l.rfind("Corvax2 : CLR CPM(Dev", 0) == 0; }),
              3);
}

// ---- many threads at once ----

void CheckRegistryInvariants(const corvax::DeviceExtension* e) {
    EXPECT_LE(e->fgPlx8618 + e->fgPlx8732 + e->fgPlx8748, 1);
    const uint32_t flagged = e->fgPlx8618   ? 0x861810b5u
                             : e->fgPlx8732 ? 0x873210b5u
                             : e->fgPlx8748 ? 0x874810b5u
                                            : 0u;
    bool free = false;
    for (unsigned b = 0; b < 3; ++b) {
        SCOPED_TRACE(b);
        const corvax::PlxBridge& bridge = e->Bridge[b];
        if (bridge.bdgPFA == 0) {
            free = true;
            continue;
        }
        EXPECT_FALSE(free) << "a record in use after a free one";
        EXPECT_EQ(bridge.pciID, flagged);
        const corvax::SwitchModel* model = corvax::FindSwitchModel(bridge.pciID);
        ASSERT_NE(model, nullptr);
        for (unsigned i = 0; i < 32; ++i) {
            const bool original = (bridge.OriginalMap >> i) & 1;
            const bool current = (bridge.CurrentMap >> i) & 1;
            if (i >= model->slotCount) {
                EXPECT_FALSE(original);
                EXPECT_FALSE(current);
                continue;
            }
            EXPECT_EQ(original, (bridge.OriginalSlot[i].fgStatus & 0x80) != 0) << i;
            EXPECT_EQ(current, (bridge.CurrentSlot[i].fgStatus & 0x80) != 0) << i;
        }
    }
}

TEST_F(ControlTest, RequestsOfEveryKindFromSeveralThreadsLeaveTheRegistryConsistent) {
    Boot(TwoPlx8732Machine());
    struct Kind {
        uint32_t code;
        std::vector<uint8_t> input;
        uint32_t outputLength;
    };
    const std::vector<Kind> kinds = {
        {CORVAX_QUERY, {}, 4},
        {CORVAX_QUERY_8618, {}, 4},
        {CORVAX_ON_BRIDGE, Ulongs({0x0400}), 0},
        {CORVAX_GET_TABLE, {}, 1024},
        {PLX_QUERY_PCI, {}, 1800},
        {CORVAX_GET_BITMAP, {}, 12},
        {PLX_READ_CONFIG, Ulongs({0x0600}), 256},
        {CORVAX_UPDATE, {}, 0},
        {PLX_RESCAN, {}, 0},
        {CORVAX_RESCAN_RESTORE, {}, 16},
        {PLX_DISABLE, {}, 0},
        {CORVAX_ENABLE_BRIDGE, {}, 0},
        {PLX_SET_LED, Ulongs({0x0400, 1}), 0},
        {CORVAX_SET_LED_ALL, {}, 0},
        {CORVAX_CLR_CPM, {}, 0},
        {PLX_GET_VERSION, {}, 4},
        {CORVAX_SET_DEVICE_ID_LIST, Ulongs({0x8086, 0x144D, 0x1F0A, 0}), 0},
    };
    constexpr unsigned kThreads = 6;
    constexpr unsigned kRounds = 3;
    const sim::Handle handle = handle_;
    std::atomic<unsigned> failures{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&kinds, &failures, handle, t]() {
            for (unsigned round = 0; round < kRounds; ++round) {
                for (size_t k = 0; k < kinds.size(); ++k) {
                    // Each thread walks the kinds from its own starting point.
                    const Kind& kind = kinds[(k + t * 3) % kinds.size()];
                    std::vector<uint8_t> output(kind.outputLength, 0xCC);
                    const sim::IoResult r = sim::Kernel::Get().DeviceIoControl(
                        handle, kind.code, kind.input.empty() ? nullptr : kind.input.data(),
                        static_cast<uint32_t>(kind.input.size()),
                        output.empty() ? nullptr : output.data(), kind.outputLength);
                    // Every kind succeeds: requests run one at a time, so no enable pass can
                    // meet a link that another thread's disable is cutting.
                    if (r.status != kSuccess) {
                        ++failures;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0u);
    CheckRegistryInvariants(Extension());
    ExpectNothingMapped();
    EXPECT_EQ(Hw().GetCounters().interleaveViolations, 0u);
    EXPECT_TRUE(Hw().Faults().Empty());
}

}  // namespace
}  // namespace corvax_test
