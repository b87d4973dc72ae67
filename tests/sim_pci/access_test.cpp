// The three ways in: configuration mechanism #1, the ECAM window and plain physical memory.
#include <gtest/gtest.h>

#include <thread>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::Address;
using test::EcamAddress;
using test::PortRead;
using test::PortWrite;

class Mechanism1 : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(Mechanism1, DecodesBusDeviceFunctionAndDwordNumber) {
    EXPECT_EQ(PortRead(f, 0, 0, 0, 0x00), 0x3E0F8086u);
    EXPECT_EQ(PortRead(f, 0, 0, 0, 0x60), 0xE0000001u);
    EXPECT_EQ(PortRead(f, 3, 0, 0, 0x00), 0x874810B5u);
    EXPECT_EQ(PortRead(f, 4, 9, 0, 0x00), 0x874810B5u);  // slot 1's port
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(PortRead(f, 1, 0, 0, 0x08) & 0xFFFFFF00, 0x01080200u);
}

TEST_F(Mechanism1, IgnoresLowTwoBitsAndReservedBitsButCountsThem) {
    // Register 0x61 in the latch is dword 0x60; bits 30:24 name nothing on this chipset.
    f.WritePort(kConfigAddressPort, 0x80000061);
    EXPECT_EQ(f.ReadPort(kConfigDataPort), 0xE0000001u);
    f.WritePort(kConfigAddressPort, 0x8F000000 | Address(3, 0, 0, 0));
    EXPECT_EQ(f.ReadPort(kConfigDataPort), 0x874810B5u);
    EXPECT_EQ(f.GetCounters().reservedAddressBits, 2u);
}

TEST_F(Mechanism1, LatchReadsBackAsWritten) {
    f.WritePort(kConfigAddressPort, 0x80030410);
    EXPECT_EQ(f.ReadPort(kConfigAddressPort), 0x80030410u);
}

TEST_F(Mechanism1, DisabledLatchReadsAllOnesAndSwallowsWrites) {
    f.WritePort(kConfigAddressPort, Address(3, 0, 0, 0x70) & 0x7FFFFFFF);
    EXPECT_EQ(f.ReadPort(kConfigDataPort), 0xFFFFFFFFu);
    const uint32_t before = f.PeekConfig(3, 0, 0, 0x70);
    f.WritePort(kConfigAddressPort, Address(3, 0, 0, 0x70) & 0x7FFFFFFF);
    f.WritePort(kConfigDataPort, 0x000000E0);
    EXPECT_EQ(f.PeekConfig(3, 0, 0, 0x70), before);
    EXPECT_TRUE(f.ConfigWrites().empty());
}

TEST_F(Mechanism1, AbsentFunctionReadsAllOnesAndItsWritesVanish) {
    EXPECT_EQ(PortRead(f, 2, 0, 0, 0), 0xFFFFFFFFu);   // nothing on bus 2
    EXPECT_EQ(PortRead(f, 3, 1, 0, 0), 0xFFFFFFFFu);   // upstream port has no device 1
    EXPECT_EQ(PortRead(f, 4, 12, 0, 0), 0xFFFFFFFFu);  // no port behind unlisted slots
    EXPECT_EQ(PortRead(f, 5, 1, 0, 0), 0xFFFFFFFFu);   // a port forwards device 0 only
    EXPECT_EQ(PortRead(f, 7, 0, 0, 0), 0xFFFFFFFFu);   // empty slot
    PortWrite(f, 2, 0, 0, 0x10, 0x12345678);
    const auto writes = f.ConfigWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].pfa, 0x0200);
    EXPECT_FALSE(writes[0].answered);
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(Mechanism1, OtherPortsReadAllOnesAndChangeNothing) {
    f.WritePort(kConfigAddressPort, Address(0, 0, 0, 0x60));
    f.WritePort(0xCFD, 0);
    EXPECT_EQ(f.ReadPort(0x80), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPort(kConfigDataPort), 0xE0000001u);
    EXPECT_EQ(f.GetCounters().otherPortAccesses, 2u);
}

TEST_F(Mechanism1, CountsOnePairPerLatchAndData) {
    PortRead(f, 0, 0, 0, 0);
    PortWrite(f, 5, 0, 0, 0x04, 0x00100006);
    f.ReadPort(kConfigDataPort);  // data again without a new latch: no new pair
    const Counters c = f.GetCounters();
    EXPECT_EQ(c.portPairs, 2u);
    EXPECT_EQ(c.configReads, 2u);
    EXPECT_EQ(c.configWrites, 1u);
    EXPECT_EQ(c.interleaveViolations, 0u);
    f.ResetCounters();
    EXPECT_EQ(f.GetCounters().portPairs, 0u);
}

// Another thread's step, run to completion before this thread goes on, so the interleaving
// is fixed.
template <typename Step>
void OnOtherThread(Step step) {
    std::thread t(step);
    t.join();
}

TEST_F(Mechanism1, DataAccessAfterAnotherThreadsLatchIsAViolation) {
    f.WritePort(kConfigAddressPort, Address(0, 0, 0, 0x60));
    OnOtherThread([&] { f.WritePort(kConfigAddressPort, Address(3, 0, 0, 0)); });
    // This thread now reads the other thread's register: the pair was split.
    EXPECT_EQ(f.ReadPort(kConfigDataPort), 0x874810B5u);
    EXPECT_EQ(f.GetCounters().interleaveViolations, 1u);
}

TEST_F(Mechanism1, DataAccessWithoutOwnLatchIsAViolation) {
    OnOtherThread([&] { PortRead(f, 0, 0, 0, 0); });
    f.WritePort(kConfigDataPort, 0);
    EXPECT_EQ(f.GetCounters().interleaveViolations, 1u);
}

TEST_F(Mechanism1, SerialisedPairsFromTwoThreadsAreClean) {
    PortRead(f, 0, 0, 0, 0);
    OnOtherThread([&] { PortWrite(f, 3, 0, 0, 0x70, 0x2830); });
    PortRead(f, 3, 0, 0, 0x70);
    const Counters c = f.GetCounters();
    EXPECT_EQ(c.interleaveViolations, 0u);
    EXPECT_EQ(c.portPairs, 3u);
}

// ---------------------------------------------------------------------------------------------

class Ecam : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(Ecam, WindowBaseIsDword60WithLowBitsCleared) {
    EXPECT_EQ(f.EcamWindow(), test::kEcam);
}

TEST_F(Ecam, ByteWordAndDwordReadsRouteToTheFunction) {
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0x00), 4), 0x07101F0Au);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0x02), 2), 0x0710u);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0x0B), 1), 0x01u);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(4, 8, 0, 0x19), 1), 5u);  // slot 0's secondary bus
    EXPECT_EQ(f.ReadPhysical(EcamAddress(0, 0, 0, 0x60), 4), 0xE0000001u);
    EXPECT_EQ(f.GetCounters().ecamAccesses, 5u);
    EXPECT_EQ(f.GetCounters().portPairs, 0u);
}

TEST_F(Ecam, ByteWritesFollowTheSameRule) {
    // Cache line size is writable, the vendor ID is not, the status byte is W1C.
    f.PokeConfig(5, 0, 0, 0x04, 0x81100006);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x0C), 1, 0x20);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x00), 1, 0x55);
    f.WritePhysical(EcamAddress(5, 0, 0, 0x07), 1, 0x80);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x0C) & 0xFF, 0x20u);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x00), 0x07101F0Au);
    EXPECT_EQ(f.PeekConfig(5, 0, 0, 0x04), 0x01100006u);
    const auto writes = f.ConfigWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].path, ConfigPath::Ecam);
    EXPECT_EQ(writes[2].offset, 0x07u);
    EXPECT_EQ(writes[2].size, 1u);
}

TEST_F(Ecam, ReachesExtendedSpaceThePortsCannot) {
    f.PokeConfig(5, 0, 0, 0x100, 0x00010001);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 0x100), 4), 0x00010001u);
    EXPECT_EQ(PortRead(f, 5, 0, 0, 0x100 & 0xFF), 0x07101F0Au);
}

TEST_F(Ecam, AbsentFunctionReadsAllOnesAndWritesVanishWithoutStray) {
    EXPECT_EQ(f.ReadPhysical(EcamAddress(2, 0, 0, 0), 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(2, 0, 0, 0), 1), 0xFFu);
    EXPECT_EQ(f.ReadPhysical(EcamAddress(2, 0, 0, 2), 2), 0xFFFFu);
    f.WritePhysical(EcamAddress(2, 0, 0, 0x10), 4, 0);
    EXPECT_TRUE(f.Faults().Empty());
    EXPECT_FALSE(f.ConfigWrites().at(0).answered);
}

struct WindowCase {
    const char* name;
    uint16_t vendor;
    uint32_t dword60;
    std::optional<uint64_t> explicitWindow;
    uint64_t expected;
};

class WindowPlacement : public ::testing::TestWithParam<WindowCase> {};

TEST_P(WindowPlacement, FollowsTheHostBridge) {
    const WindowCase& c = GetParam();
    FabricBuilder b;
    b.HostBridge(c.vendor, 0x1234, c.dword60).Onboard(2, DriveDescription::Make(0x1F0A, 1));
    if (c.explicitWindow)
        b.EcamWindow(*c.explicitWindow);
    Fabric f(b.Build());
    EXPECT_EQ(f.EcamWindow(), c.expected);
    EXPECT_EQ(f.PeekConfig(0, 0, 0, 0x60), c.dword60);
    const uint64_t base = c.dword60 & 0xFFFFF000;
    const uint32_t id = f.ReadPhysical(base + (2u << 20), 4);  // drive at bus 2, 2 MiB up
    EXPECT_EQ(id, c.expected == base && base != 0 ? 0x00011F0Au : 0xFFFFFFFFu);
    f.WritePhysical(base + (2u << 20) + 0x10, 4, 0);
    EXPECT_EQ(f.Faults().strayWrites.size(), c.expected == base && base != 0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowPlacement,
    ::testing::Values(
        WindowCase{"IntelEnableBit", 0x8086, 0xE0000001, std::nullopt, 0xE0000000},
        WindowCase{"IntelNoWindow", 0x8086, 0x00000000, std::nullopt, 0},
        WindowCase{"NonIntelDword60IsNoBase", 0x1022, 0x13B10030, std::nullopt, 0},
        WindowCase{"ExplicitWindowElsewhere", 0x1022, 0x13B10030, 0xE0000000, 0xE0000000},
        WindowCase{"ExplicitOverrideOnIntel", 0x8086, 0xE0000001, 0xC0000000, 0xC0000000}),
    [](const ::testing::TestParamInfo<WindowCase>& p) { return p.param.name; });

// The window as an Intel host bridge's register makes it decode: enable in bit 0, the length
// in bits 3:1, the base keeping only the bits above the length (the ones below read as 0 on
// the hardware).
struct DecodeCase {
    uint64_t windowRegister;
    uint64_t base;
    uint64_t size;
};

class WindowRegister : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(WindowRegister, DecodesWhereAndHowFarTheHardwareDoes) {
    const DecodeCase& c = GetParam();
    const WindowDecode w = DecodeWindowRegister(c.windowRegister);
    EXPECT_EQ(w.base, c.base);
    EXPECT_EQ(w.size, c.size);
    if (c.base == 0 || c.base >= 0x100000000ull) {
        return;
    }
    FabricBuilder b;
    b.HostBridge(0x8086, 0x3E0F, c.windowRegister).Onboard(2, DriveDescription::Make(0x1F0A, 1));
    Fabric f(b.Build());
    EXPECT_EQ(f.EcamWindow(), c.base);
    EXPECT_EQ(f.PeekConfig(0, 0, 0, 0x64), static_cast<uint32_t>(c.windowRegister >> 32));
    EXPECT_EQ(f.ReadPhysical(c.base + (2u << 20), 4), 0x00011F0Au);
    // The last bus the window holds is decoded; the page after it is not the window's.
    const uint64_t lastBus = c.size / (1u << 20) - 1;
    EXPECT_EQ(f.ReadPhysical(c.base + (lastBus << 20), 4), 0xFFFFFFFFu);
    const uint64_t ecam = f.GetCounters().ecamAccesses;
    f.ReadPhysical(c.base + c.size, 4);
    EXPECT_EQ(f.GetCounters().ecamAccesses, ecam);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowRegister,
    ::testing::Values(DecodeCase{0xC0000001, 0xC0000000, 256ull << 20},
                      DecodeCase{0xF0000003, 0xF0000000, 128ull << 20},
                      DecodeCase{0xF8000005, 0xF8000000, 64ull << 20},
                      DecodeCase{0xE0000007, 0xE0000000, 512ull << 20},
                      DecodeCase{0xC0000009, 0xC0000000, 1ull << 30},
                      DecodeCase{0xF8000001, 0xF0000000, 256ull << 20},  // low base bits drop
                      DecodeCase{0x4E0000001, 0x4E0000000, 256ull << 20},
                      DecodeCase{0xE0000000, 0, 0},    // disabled
                      DecodeCase{0xE000000B, 0, 0},    // length 101: no part defines it
                      DecodeCase{0xE000000F, 0, 0}));  // length 111

// ---------------------------------------------------------------------------------------------

class PhysicalMemory : public ::testing::Test {
  protected:
    Fabric f{test::SmallMachine()};
};

TEST_F(PhysicalMemory, UnclaimedReadsAllOnesAtEverySize) {
    EXPECT_EQ(f.ReadPhysical(0x1000, 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.ReadPhysical(0x1002, 2), 0xFFFFu);
    EXPECT_EQ(f.ReadPhysical(0x1003, 1), 0xFFu);
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(PhysicalMemory, EveryUnclaimedWriteIsRecordedUntilCleared) {
    f.WritePhysical(0x13B10208, 4, 0xF);
    f.WritePhysical(0xF7C40001, 1, 0x5A);  // past the 8748's BAR0
    // Inside its BAR0 but past the second block: the registers of its ports.
    f.WritePhysical(0xF7C20000, 4, 0x1);
    const FaultRecord r = f.Faults();
    ASSERT_EQ(r.strayWrites.size(), 2u);
    EXPECT_EQ(r.strayWrites[0].address, 0x13B10208u);
    EXPECT_EQ(r.strayWrites[0].size, 4u);
    EXPECT_EQ(r.strayWrites[0].value, 0xFu);
    EXPECT_EQ(r.strayWrites[1].address, 0xF7C40001u);
    EXPECT_EQ(f.GetCounters().strayWrites, 2u);
    ASSERT_EQ(r.driveRegisterWrites.size(), 1u);
    EXPECT_EQ(r.driveRegisterWrites[0].pfa, 0x0300);
    EXPECT_EQ(r.driveRegisterWrites[0].offset, 0x20000u);
    const std::vector<MemoryWrite> writes = f.MemoryWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].target, MemoryTarget::Nothing);
    EXPECT_EQ(writes[2].target, MemoryTarget::SwitchRegister);
    EXPECT_EQ(writes[2].pfa, 0x0300);
    f.ClearFaults();
    EXPECT_TRUE(f.Faults().Empty());
}

TEST_F(PhysicalMemory, MisalignedAccessesReachNoDevice) {
    EXPECT_EQ(f.ReadPhysical(EcamAddress(5, 0, 0, 1), 2), 0xFFFFu);
    f.WritePhysical(0xF7002002, 4, 0);  // inside slot 0's MSI-X table, but misaligned
    EXPECT_EQ(f.Faults().strayWrites.size(), 1u);
    EXPECT_EQ(f.GetCounters().badMemoryAccesses, 2u);
    EXPECT_EQ(f.GetCounters().ecamAccesses, 0u);
}

TEST_F(PhysicalMemory, PeekNeitherCountsNorConsumesFaults) {
    f.FailBlockReads(0, 0, 1);
    f.PokeBlock(0, 0, 0x208, 0x10);
    EXPECT_EQ(f.PeekPhysical(0xF7C08208, 4), 0x10u);
    EXPECT_EQ(f.PeekPhysical(EcamAddress(0, 0, 0, 0), 4), 0x3E0F8086u);
    EXPECT_EQ(f.GetCounters().ecamAccesses, 0u);
    EXPECT_EQ(f.ReadPhysical(0xF7C08208, 4), 0xFFFFFFFFu);  // the fault is still armed
}

}  // namespace
}  // namespace sim
