// Registry queries through the request path: drive count, switch model, on-switch test, drive
// table, switch images, port bitmap and configuration read, each with its buffer rules.
#include <algorithm>
#include <array>
#include <map>

#include "tests/driver/driver_test_support.h"
#include "tests/driver/test_machines.h"

namespace corvax_test {
namespace {

using sim::DriveDescription;
using sim::FabricBuilder;
using sim::SwitchModel;

constexpr KernStatus kSuccess = KERN_STATUS_SUCCESS;
constexpr KernStatus kTooSmall = KERN_STATUS_BUFFER_TOO_SMALL;
constexpr KernStatus kFailCheck = KERN_STATUS_FAIL_CHECK;
constexpr KernStatus kNoResources = KERN_STATUS_INSUFFICIENT_RESOURCES;

PciTableEntry EntryAt(const Reply& r, size_t index) {
    PciTableEntry e;
    std::memcpy(&e, r.output.data() + index * sizeof(e), sizeof(e));
    return e;
}

bool AllBytes(const std::vector<uint8_t>& bytes, size_t from, size_t to, uint8_t value) {
    return std::all_of(bytes.begin() + from, bytes.begin() + to,
                       [value](uint8_t b) { return b == value; });
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&prefix](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    });
}

class QueryTest : public DriverTest {};

// ---- an empty machine ----

TEST_F(QueryTest, EmptyMachineAnswersZeroEverywhereAndDumpsNoTable) {
    Boot(FabricBuilder());

    Reply count = Send(CORVAX_QUERY, {}, 4);
    EXPECT_EQ(count.status, kSuccess);
    EXPECT_EQ(count.information, 4u);
    EXPECT_EQ(count.Ulong(0), 0u);
    Reply model = Send(CORVAX_QUERY_8618, {}, 4);
    EXPECT_EQ(model.information, 4u);
    EXPECT_EQ(model.Ulong(0), 0u);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Corvax2 : CORVAX_QUERY(Qty=0)",
                                                 "Corvax2 : CORVAX_QUERY_8618(Qty=0000)"}));

    ClearLog();
    Reply table = Send(CORVAX_GET_TABLE, {}, 1024);
    EXPECT_EQ(table.status, kSuccess);
    EXPECT_EQ(table.information, 1024u);
    EXPECT_TRUE(AllBytes(table.output, 0, 1024, 0));
    EXPECT_EQ(Lines(), std::vector<std::string>{"Corvax2 : CORVAX_GET_TABLE"});

    Reply images = Send(PLX_QUERY_PCI, {}, 1800);
    EXPECT_EQ(images.status, kSuccess);
    EXPECT_EQ(images.information, 1800u);
    EXPECT_TRUE(AllBytes(images.output, 0, 1800, 0));
}

// ---- CORVAX_QUERY and CORVAX_QUERY_8618 ----

TEST_F(QueryTest, QueryCountsSwitchDrivesAndOnBoardDrives) {
    Boot(Plx8748Machine());
    const Reply r = Send(CORVAX_QUERY, {}, 8);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.Ulong(0), 8u);  // seven behind the switch, one on board
    EXPECT_EQ(r.Ulong(4), 0xCCCCCCCCu);
    EXPECT_EQ(Lines(), std::vector<std::string>{"Corvax2 : CORVAX_QUERY(Qty=8)"});
}

TEST_F(QueryTest, OneDwordQueriesRefuseAShortBufferSilently) {
    Boot(Plx8748Machine());
    for (uint32_t code : {CORVAX_QUERY, CORVAX_QUERY_8618}) {
        SCOPED_TRACE(code);
        const Reply r = Send(code, {}, 3);
        EXPECT_EQ(r.status, kTooSmall);
        EXPECT_EQ(r.information, 0u);
        EXPECT_FALSE(r.delivered);
        EXPECT_EQ(r.output, std::vector<uint8_t>(3, 0xCC));
    }
    EXPECT_TRUE(Lines().empty());
}

struct ModelCase {
    const char* name;
    FabricBuilder (*machine)();
    uint32_t id;
    const char* line;
};

class ModelQueryTest : public QueryTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelQueryTest, NamesTheRegisteredModel) {
    Boot(GetParam().machine());
    const Reply r = Send(CORVAX_QUERY_8618, {}, 4);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.Ulong(0), GetParam().id);
    EXPECT_EQ(Lines(), std::vector<std::string>{GetParam().line});
}

INSTANTIATE_TEST_SUITE_P(Models, ModelQueryTest,
                         ::testing::Values(ModelCase{"pex8618", Plx8618Machine, 0x861810b5u,
                                                     "Corvax2 : CORVAX_QUERY_8618(Qty=861810B5)"},
                                           ModelCase{"pex8732", TwoPlx8732Machine, 0x873210b5u,
                                                     "Corvax2 : CORVAX_QUERY_8618(Qty=873210B5)"},
                                           ModelCase{"pex8748", Plx8748Machine, 0x874810b5u,
                                                     "Corvax2 : CORVAX_QUERY_8618(Qty=874810B5)"}),
                         [](const ::testing::TestParamInfo<ModelCase>& p) {
                             return std::string(p.param.name);
                         });

// ---- CORVAX_ON_BRIDGE ----

struct OnBridgeCase {
    const char* name;
    std::vector<uint8_t> input;
    KernStatus status;
    const char* line;
};

class OnBridgeTest : public QueryTest, public ::testing::WithParamInterface<OnBridgeCase> {};

TEST_P(OnBridgeTest, AnswersByStatusAloneAndWritesNothing) {
    Boot(Plx8748Machine());
    const OnBridgeCase& c = GetParam();
    const Reply r = Send(CORVAX_ON_BRIDGE, c.input, 8);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(8, 0xCC));
    EXPECT_EQ(Lines(), std::vector<std::string>{c.line});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnBridgeTest,
    ::testing::Values(OnBridgeCase{"drive_behind_slot_0", Ulongs({0x0500}), KERN_STATUS_SUCCESS,
                                   "Corvax2 : CORVAX_ON_BRIDGE found(PFA=0500)"},
                      // Slot PFAs are recorded whether or not a drive answers there.
                      OnBridgeCase{"empty_slot_5", Ulongs({0x0A00}), KERN_STATUS_SUCCESS,
                                   "Corvax2 : CORVAX_ON_BRIDGE found(PFA=0A00)"},
                      OnBridgeCase{"on_board_drive", Ulongs({0x0100}), KERN_STATUS_FAIL_CHECK,
                                   "Corvax2 : CORVAX_ON_BRIDGE not found (PFA=0100)"},
                      // Compared as whole dwords: high bits make another address.
                      OnBridgeCase{"high_bits_set", Ulongs({0x10000500}), KERN_STATUS_FAIL_CHECK,
                                   "Corvax2 : CORVAX_ON_BRIDGE not found (PFA=10000500)"},
                      OnBridgeCase{"two_byte_input",
                                   {0x00, 0x05},
                                   KERN_STATUS_FAIL_CHECK,
                                   "Corvax2 : CORVAX_ON_BRIDGE not found (no PFA)"},
                      OnBridgeCase{"no_input",
                                   {},
                                   KERN_STATUS_FAIL_CHECK,
                                   "Corvax2 : CORVAX_ON_BRIDGE not found (no PFA)"}),
    [](const ::testing::TestParamInfo<OnBridgeCase>& p) { return std::string(p.param.name); });

// ---- CORVAX_GET_TABLE ----

TEST_F(QueryTest, TableBelowTheMinimumHandsBackTheSizeWithTheError) {
    Boot(Plx8748Machine());
    const Reply r = Send(CORVAX_GET_TABLE, {}, 512);
    EXPECT_EQ(r.status, kTooSmall);
    EXPECT_EQ(r.information, 4u);
    EXPECT_TRUE(r.delivered);
    EXPECT_EQ(r.Ulong(0), 1024u);
    EXPECT_TRUE(AllBytes(r.output, 4, 512, 0xCC));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "Corvax2 : CORVAX_GET_TABLE",
                           "Corvax2 : CORVAX_GET_TABLE: Buffer too small, require buffer size = "
                           "1024 byte"}));
}

TEST_F(QueryTest, TableBelowOneDwordGetsNothingAndMapsNothing) {
    Boot(Plx8748Machine());
    const Reply r = Send(CORVAX_GET_TABLE, {}, 3);
    EXPECT_EQ(r.status, kTooSmall);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(3, 0xCC));
    EXPECT_EQ(sim::Kernel::Get().Mappings().requestMdlMaps, 0u);
}

TEST_F(QueryTest, TableListsSwitchDrivesInSlotOrderThenOnBoardDrives) {
    Boot(Plx8748Machine());
    const Reply r = Send(CORVAX_GET_TABLE, {}, 1100);
    ASSERT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 1024u);

    struct Expected {
        uint32_t pfa, id, index, devId, bridgeId, flags;
    };
    const Expected expected[] = {
        {0x0500, 0x07101F0A, 1, 8, 0x874810b5, 0},
        {0x0600, 0x0A548086, 1, 9, 0x874810b5, 0},
        {0x0700, 0x10921B4B, 1, 10, 0x874810b5, CORVAX_ENTRY_FOREIGN_VENDOR},
        {0x0800, 0xA824144D, 1, 11, 0x874810b5, 0},
        {0x0900, 0x51A21344, 1, 16, 0x874810b5, 0},
        {0x0B00, 0x63031CC4, 1, 18, 0x874810b5, 0},
        {0x0C00, 0x12031E81, 1, 19, 0x874810b5, 0},
        {0x0100, 0xA808144D, 0, 0, 0, 0},  // on board: every other field 0
    };
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const PciTableEntry e = EntryAt(r, i);
        EXPECT_EQ(e.pciLocation, expected[i].pfa);
        EXPECT_EQ(e.pciID, expected[i].id);
        EXPECT_EQ(e.bdgIndex, expected[i].index);
        EXPECT_EQ(e.bdgDevId, expected[i].devId);
        EXPECT_EQ(e.bdgPciId, expected[i].bridgeId);
        EXPECT_EQ(e.fgStatus, expected[i].flags);
        EXPECT_EQ(e.RsvU2[0], 0u);
        EXPECT_EQ(e.RsvU2[1], 0u);
    }
    // The rest of the caller's buffer is zeroed, also past 1024.
    EXPECT_TRUE(AllBytes(r.output, 8 * 32, 1100, 0));

    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(CountPrefix(lines, "Corvax2 : Device "), 8u);
    ASSERT_GE(lines.size(), 10u);
    const std::vector<std::string> tail(lines.end() - 10, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "Corvax2 : Device 7", "Corvax2 :   pciLocation  :0x0100",
                        "Corvax2 :   pciID        :0xA808144D", "Corvax2 :   bdgIndex     :0",
                        "Corvax2 :   bdgDevId     :0", "Corvax2 :   bdgPciId     :0x00000000",
                        "Corvax2 :   fgStatus     :0x00000000", "Corvax2 :   RsvU2-0      :0",
                        "Corvax2 :   RsvU2-1      :0",
                        "Corvax2 :   ********************************************************"}));
    const auto header =
        std::find(lines.begin(), lines.end(),
                  "Corvax2 :   PCI Table Information **********************************");
    ASSERT_NE(header, lines.end());
    EXPECT_EQ(*(header + 1), "Corvax2 : Device 0");
    EXPECT_EQ(*(header + 6), "Corvax2 :   bdgPciId     :0x874810B5");
}

TEST_F(QueryTest, TableFlagsNewDrivesAndThoseWithoutMemoryAndForgetsLostOnes) {
    Boot(Plx8748Machine());
    // Slot 5 gains a drive, slot 3's listed drive gives way to an unlisted one and slot 2's
    // unlisted drive to a listed one, all from reset with BAR0 0; slot 6 loses its drive.
    Hw().Insert(0, 5, Drive(0x8086, 0x0B60, 0));
    Hw().Replace(0, 3, Drive(0x1B4B, 0x2241, 0));
    Hw().Replace(0, 2, Drive(0x144D, 0xA80A, 0));
    Hw().Pull(0, 6);
    ASSERT_EQ(Send(CORVAX_RESCAN, {}, 0).status, kSuccess);
    const Reply r = Send(CORVAX_GET_TABLE, {}, 1024);
    ASSERT_EQ(r.status, kSuccess);

    std::map<uint32_t, PciTableEntry> byPfa;
    for (size_t i = 0; i < 32 && EntryAt(r, i).pciID != 0; ++i) {
        byPfa[EntryAt(r, i).pciLocation] = EntryAt(r, i);
    }
    const uint32_t fresh = CORVAX_ENTRY_NEW_DEVICE | CORVAX_ENTRY_NO_MEMORY;
    EXPECT_EQ(byPfa.size(), 8u);  // seven behind the switch, one on board
    EXPECT_EQ(byPfa.count(0x0B00), 0u);
    EXPECT_EQ(byPfa[0x0500].fgStatus, 0u);  // untouched by the rescan, same drive
    EXPECT_EQ(byPfa[0x0700].fgStatus, fresh);
    EXPECT_EQ(byPfa[0x0800].fgStatus, fresh | CORVAX_ENTRY_FOREIGN_VENDOR);
    EXPECT_EQ(byPfa[0x0A00].fgStatus, fresh);
    EXPECT_EQ(byPfa[0x0A00].bdgDevId, 17u);
}

// Each entry: its PFA, the switch it sits behind (records in use, from 1) and the port's device.
struct NumberingCase {
    const char* name;
    FabricBuilder (*machine)();
    uint32_t bridgeId;
    std::vector<std::array<uint32_t, 3>> entries;
};

class TableNumbering : public QueryTest, public ::testing::WithParamInterface<NumberingCase> {};

TEST_P(TableNumbering, NamesSwitchAndPortOfEachDrive) {
    const NumberingCase& c = GetParam();
    Boot(c.machine());
    const Reply r = Send(CORVAX_GET_TABLE, {}, 1024);
    ASSERT_EQ(r.status, kSuccess);
    for (size_t i = 0; i < c.entries.size(); ++i) {
        SCOPED_TRACE(i);
        const PciTableEntry e = EntryAt(r, i);
        EXPECT_EQ(e.pciLocation, c.entries[i][0]);
        EXPECT_EQ(e.bdgIndex, c.entries[i][1]);
        EXPECT_EQ(e.bdgDevId, c.entries[i][2]);
        EXPECT_EQ(e.bdgPciId, c.bridgeId);
    }
    EXPECT_EQ(EntryAt(r, c.entries.size()).pciLocation, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, TableNumbering,
    ::testing::Values(
        NumberingCase{"two_pex8732",
                      TwoPlx8732Machine,
                      0x873210b5u,
                      {{0x0400, 1, 8}, {0x0600, 1, 10}, {0x0B00, 2, 9}}},
        // Port index 0 of an 8618 is device 2, port index 4 device 1.
        NumberingCase{"pex8618", Plx8618Machine, 0x861810b5u, {{0x0400, 1, 2}, {0x0800, 1, 1}}}),
    [](const ::testing::TestParamInfo<NumberingCase>& p) { return std::string(p.param.name); });

TEST_F(QueryTest, TableWithAPex8618FlagShowsNoOtherSwitch) {
    Boot(TwoPlx8732Machine());
    // A registry that claims an 8618 beside 8732 records: only an 8618 record may name a
    // switch then.
    Extension()->fgPlx8618 = 1;
    const Reply r = Send(CORVAX_GET_TABLE, {}, 1024);
    ASSERT_EQ(r.status, kSuccess);
    const PciTableEntry a = EntryAt(r, 0);
    EXPECT_EQ(a.pciLocation, 0x0400u);
    EXPECT_EQ(a.bdgIndex, 0u);
    EXPECT_EQ(a.bdgDevId, 0u);
    EXPECT_EQ(a.bdgPciId, 0u);

    const Reply images = Send(PLX_QUERY_PCI, {}, 1800);
    EXPECT_TRUE(AllBytes(images.output, 0, 1800, 0));
}

// Twelve on-board drives on buses 1 to 12 (found before the switches end the search) and three
// full PEX 8748s: 36 entries for 32 places.
FabricBuilder CrowdedMachine() {
    FabricBuilder b;
    for (unsigned s = 0; s < 3; ++s) {
        const uint8_t up = static_cast<uint8_t>(13 + s * 10);
        b.Switch(SwitchModel::Plx8748, up, static_cast<uint8_t>(up + 1),
                 0xE0000000u - (s + 1) * 0x100000u);
        for (unsigned i = 0; i < 8; ++i) {
            b.Port(i, static_cast<uint8_t>(up + 2 + i),
                   Drive(0x8086, static_cast<uint16_t>(s * 8 + i),
                         0xD0000000u + (s * 8 + i) * 0x100000u));
        }
    }
    for (unsigned k = 0; k < 12; ++k) {
        b.Onboard(static_cast<uint8_t>(1 + k),
                  Drive(0x144D, static_cast<uint16_t>(0x100 + k), 0xC0000000u + k * 0x100000u));
    }
    return b;
}

TEST_F(QueryTest, TableCutsAtTheLastEntryThatFitsTheCallersLength) {
    Boot(CrowdedMachine());
    ASSERT_EQ(Send(CORVAX_QUERY, {}, 4).Ulong(0), 36u);

    // 1024 bytes: 24 switch drives and the first eight on-board drives.
    const Reply exact = Send(CORVAX_GET_TABLE, {}, 1024);
    ASSERT_EQ(exact.status, kSuccess);
    EXPECT_EQ(exact.information, 1024u);
    EXPECT_EQ(EntryAt(exact, 23).pciID, 0x00178086u);
    EXPECT_EQ(EntryAt(exact, 24).pciLocation, 0x0100u);
    EXPECT_EQ(EntryAt(exact, 31).pciLocation, 0x0800u);
    EXPECT_EQ(CountPrefix(Lines(), "Corvax2 : Device "), 32u);

    // 1060 bytes hold one more whole entry; the four bytes after it stay zero.
    ClearLog();
    const Reply more = Send(CORVAX_GET_TABLE, {}, 1060);
    ASSERT_EQ(more.status, kSuccess);
    EXPECT_EQ(more.information, 1024u);
    EXPECT_EQ(EntryAt(more, 32).pciLocation, 0x0900u);
    EXPECT_TRUE(AllBytes(more.output, 33 * 32, 1060, 0));
    EXPECT_EQ(CountPrefix(Lines(), "Corvax2 : Device "), 33u);
}

// A kernel-mode sender may describe fewer bytes in its descriptor list than the output length
// it gives: the list bounds what the driver writes, as a shorter output length would.
struct ShortListCase {
    const char* name;
    uint32_t code;
    uint32_t outputLength;
    uint32_t listBytes;
    KernStatus status;
    uint64_t information;
    uint32_t written;  // bytes of the list that change
};

class ShortDescriptorList : public QueryTest,
                            public ::testing::WithParamInterface<ShortListCase> {};

TEST_P(ShortDescriptorList, BoundsWhatTheDriverWrites) {
    const ShortListCase& c = GetParam();
    Boot(CrowdedMachine());
    sim::IoOptions options;
    options.mdlByteCount = c.listBytes;
    const Reply r = Send(c.code, Ulongs({0x0400}), c.outputLength, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    // Past the list nothing reaches the caller (the pages there are not the list's), and the
    // list's own bytes change only as far as the answer goes.
    EXPECT_TRUE(AllBytes(r.output, c.listBytes, c.outputLength, 0xCC));
    if (c.written > 0) {
        EXPECT_FALSE(AllBytes(r.output, 0, c.written, 0xCC));
    }
    EXPECT_TRUE(AllBytes(r.output, c.written, c.listBytes, 0xCC));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortDescriptorList,
    ::testing::Values(
        // 1024 promised, 512 described: the table does not fit, so only its size is told.
        ShortListCase{"TableListTooShort", CORVAX_GET_TABLE, 1024, 512,
                      KERN_STATUS_BUFFER_TOO_SMALL, 4, 4},
        // 2048 promised, 1056 described: 33 whole entries and no more.
        ShortListCase{"TableLongerThanItsList", CORVAX_GET_TABLE, 2048, 1056, kSuccess, 1024, 1056},
        ShortListCase{"ConfigListTooShort", CORVAX_READ_CONFIG, 256, 128,
                      KERN_STATUS_BUFFER_TOO_SMALL, 0, 0},
        ShortListCase{"ConfigLongerThanItsList", CORVAX_READ_CONFIG, 4096, 256, kSuccess, 256,
                      256}),
    [](const ::testing::TestParamInfo<ShortListCase>& p) { return std::string(p.param.name); });

TEST_F(QueryTest, TableUsesTheDescriptorsOwnAddressWhenItHasOne) {
    Boot(Plx8748Machine());
    sim::IoOptions mapped;
    mapped.mdlFlags = KERN_MDL_MAPPED_TO_SYSTEM_VA;
    mapped.failMdlMapping = true;  // would fail, were it asked
    const Reply r = Send(CORVAX_GET_TABLE, {}, 1024, mapped);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.Ulong(0), 0x0500u);
    EXPECT_EQ(sim::Kernel::Get().Mappings().requestMdlMaps, 0u);
}

TEST_F(QueryTest, OutputThatCannotBeMappedGetsNothing) {
    Boot(Plx8748Machine());
    sim::IoOptions failing;
    failing.failMdlMapping = true;
    const std::pair<uint32_t, uint32_t> requests[] = {
        {CORVAX_GET_TABLE, 1024}, {CORVAX_GET_TABLE, 16}, {CORVAX_READ_CONFIG, 256}};
    for (const auto& [code, length] : requests) {
        SCOPED_TRACE(length);
        const Reply r = Send(code, Ulongs({0x0500}), length, failing);
        EXPECT_EQ(r.status, kNoResources);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, std::vector<uint8_t>(length, 0xCC));
    }
}

// ---- PLX_QUERY_PCI ----

struct ProbeCase {
    uint32_t length;
    KernStatus status;
    uint64_t information;
};

class QueryPciProbeTest : public QueryTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(QueryPciProbeTest, ShortBufferIsASizeProbe) {
    Boot(Plx8748Machine());
    const ProbeCase& c = GetParam();
    const Reply r = Send(PLX_QUERY_PCI, {}, c.length);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    if (c.information == 4) {
        EXPECT_EQ(r.Ulong(0), 1800u);
        EXPECT_TRUE(AllBytes(r.output, 4, c.length, 0xCC));
    } else {
        EXPECT_FALSE(r.delivered);
        EXPECT_EQ(r.output, std::vector<uint8_t>(c.length, 0xCC));
    }
    EXPECT_EQ(Lines(), std::vector<std::string>{"Corvax2 : PLX_QUERY_PCI (memSize:1800)(cbout:" +
                                                std::to_string(c.length) + ")"});
}

INSTANTIATE_TEST_SUITE_P(Lengths, QueryPciProbeTest,
                         ::testing::Values(ProbeCase{8, KERN_STATUS_SUCCESS, 4},
                                           ProbeCase{4, KERN_STATUS_SUCCESS, 4},
                                           ProbeCase{1799, KERN_STATUS_SUCCESS, 4},
                                           ProbeCase{2, KERN_STATUS_BUFFER_TOO_SMALL, 0},
                                           ProbeCase{0, KERN_STATUS_BUFFER_TOO_SMALL, 0}));

TEST_F(QueryTest, QueryPciCopiesTheSwitchRecordsAsImages) {
    Boot(Plx8748Machine());
    const Reply r = Send(PLX_QUERY_PCI, {}, 1800);
    ASSERT_EQ(r.status, kSuccess);
    ASSERT_EQ(r.information, 1800u);

    BridgeApInfo info[3];
    std::memcpy(info, r.output.data(), sizeof(info));
    EXPECT_EQ(info[0].pciID, 0x874810b5u);
    EXPECT_EQ(info[0].bdgPFA, 0x0300u);
    EXPECT_EQ(info[0].OriginalMap, 0xDFu);  // slot 5 empty
    EXPECT_EQ(info[0].CurrentMap, 0xDFu);
    EXPECT_EQ(info[0].PrimaryBus, 3u);
    EXPECT_EQ(info[0].SecondaryBus, 4u);
    const SlotImage& s2 = info[0].OriginalSlot[2];
    EXPECT_EQ(s2.fgStatus, 0x80);
    EXPECT_EQ(s2.bdgDeviceIndex, 2);
    EXPECT_EQ(s2.bdgDeviceId, 10);
    EXPECT_EQ(s2.pciPFA, 0x0700u);
    EXPECT_EQ(s2.vendorId, 0x1B4B);
    EXPECT_EQ(s2.deviceId, 0x1092);
    EXPECT_EQ(s2.reserved, 0u);
    EXPECT_EQ(s2.barAddrLow, 0xF7200000u);
    EXPECT_EQ(s2.barAddrHigh, 0u);
    // The images are the registry's own first 24 bytes of each slot.
    const corvax::PlxBridge& bridge = Extension()->Bridge[0];
    for (unsigned i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::memcmp(&info[0].OriginalSlot[i], &bridge.OriginalSlot[i], 24), 0);
        EXPECT_EQ(std::memcmp(&info[0].CurrentSlot[i], &bridge.CurrentSlot[i], 24), 0);
    }
    EXPECT_EQ(info[0].OriginalSlot[5].pciPFA, 0x0A00u);
    EXPECT_EQ(info[0].OriginalSlot[5].fgStatus, 0);
    EXPECT_TRUE(AllBytes(r.output, 600, 1800, 0));
}

TEST_F(QueryTest, QueryPciDumpsEveryBlockAndSlotsOnlyOfBlocksWithDrives) {
    Boot(Plx8748Machine());
    Send(PLX_QUERY_PCI, {}, 1800);
    const std::vector<std::string> lines = Lines();
    // Head line, three blocks of 9 header lines, 12 slots x 10 lines for the one switch, and
    // the closing rule.
    ASSERT_EQ(lines.size(), 1u + 3 * 9 + 12 * 10 + 1);
    const std::vector<std::string> head(lines.begin() + 1, lines.begin() + 10);
    EXPECT_EQ(
        head,
        (std::vector<std::string>{
            "Corvax2 : ************************************************************",
            "Corvax2 : Bridge AP Information", "Corvax2 :   Vendor ID            :0x10B5",
            "Corvax2 :   Device ID            :0x8748", "Corvax2 :   Bridge PFA           :0x0300",
            "Corvax2 :   Bridge Original Map  :0x00DF", "Corvax2 :   Bridge Current Map   :0x00DF",
            "Corvax2 :   Bridge Primary bus   :3", "Corvax2 :   Bridge Secondary bus :4"}));
    const std::vector<std::string> slot0(lines.begin() + 10, lines.begin() + 20);
    EXPECT_EQ(slot0,
              (std::vector<std::string>{
                  "Corvax2 : QX7100 Information 0", "Corvax2 :   fgStatus       :0x80(0x80)",
                  "Corvax2 :   bdgDevice Index:0(0)", "Corvax2 :   bdgDevice ID   :8(8)",
                  "Corvax2 :   bdgMps         :0(0)", "Corvax2 :   pciPFA         :0x0500(0x0500)",
                  "Corvax2 :   pciBus ID      :5(5)", "Corvax2 :   vindor ID      :0x1F0A(0x1F0A)",
                  "Corvax2 :   device ID      :0x0710(0x0710)",
                  "Corvax2 :   barAddr        :0x00000000F7000000(0x00000000F7000000)"}));
    // The free records show their zero header and no slot lines.
    EXPECT_EQ(lines[lines.size() - 10],
              "Corvax2 : ************************************************************");
    EXPECT_EQ(lines[lines.size() - 8], "Corvax2 :   Vendor ID            :0x0000");
    EXPECT_EQ(lines.back(),
              "Corvax2 : ************************************************************");
}

// ---- CORVAX_GET_BITMAP, PLX_GET_BITMAP ----

TEST_F(QueryTest, BitmapShowsWhichRecordedSlotsAnswerNow) {
    Boot(TwoPlx8732Machine());
    for (uint32_t code : {CORVAX_GET_BITMAP, PLX_GET_BITMAP}) {
        SCOPED_TRACE(code);
        ClearLog();
        const Reply r = Send(code, {}, 12);
        EXPECT_EQ(r.status, kSuccess);
        EXPECT_EQ(r.information, 12u);
        EXPECT_EQ(r.Ulong(0), 0x5u);
        EXPECT_EQ(r.Ulong(4), 0x2u);
        EXPECT_EQ(r.Ulong(8), 0u);
        EXPECT_EQ(Lines(), (std::vector<std::string>{
                               "Corvax2 : pfa = 0x00000400, value=0x00018086",
                               "Corvax2 : pfa = 0x00000500, value=0xFFFFFFFF",
                               "Corvax2 : pfa = 0x00000600, value=0x00028086",
                               "Corvax2 : pfa = 0x00000700, value=0xFFFFFFFF",
                               "Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP Bdg0:(0x00000005)",
                               "Corvax2 : pfa = 0x00000A00, value=0xFFFFFFFF",
                               "Corvax2 : pfa = 0x00000B00, value=0x0003144D",
                               "Corvax2 : pfa = 0x00000C00, value=0xFFFFFFFF",
                               "Corvax2 : pfa = 0x00000D00, value=0xFFFFFFFF",
                               "Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP Bdg1:(0x00000002)",
                               "Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP Bdg2:(0x00000000)"}));
    }
}

TEST_F(QueryTest, BitmapReadsAfreshAndIgnoresAZeroAnswer) {
    Boot(Plx8618Machine());
    Hw().Pull(0, 0);
    Hw().Insert(0, 7, Drive(0x8086, 0x0777, 0xF3000000));
    const Reply before = Send(PLX_GET_BITMAP, {}, 12);
    EXPECT_EQ(before.Ulong(0), (1u << 4) | (1u << 7));
    // A function answering with identifier 0 is not a drive.
    ASSERT_TRUE(Hw().PokeConfig(8, 0, 0, 0x00, 0));
    const Reply after = Send(PLX_GET_BITMAP, {}, 12);
    EXPECT_EQ(after.Ulong(0), 1u << 7);
}

TEST_F(QueryTest, BitmapOfAPex8748IsZeroWithoutAnyRead) {
    Boot(Plx8748Machine());
    const uint64_t pairs = sim::Kernel::Get().ConfigPairs();
    const Reply r = Send(CORVAX_GET_BITMAP, {}, 12);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.Ulong(0), 0u);
    EXPECT_EQ(sim::Kernel::Get().ConfigPairs(), pairs);
    EXPECT_EQ(CountPrefix(Lines(), "Corvax2 : pfa = "), 0u);
}

TEST_F(QueryTest, BitmapBelowTwelveBytesDeliversOnlyTheStatus) {
    Boot(TwoPlx8732Machine());
    for (uint32_t length : {8u, 2u}) {
        SCOPED_TRACE(length);
        ClearLog();
        const Reply r = Send(PLX_GET_BITMAP, {}, length);
        EXPECT_EQ(r.status, kTooSmall);
        EXPECT_FALSE(r.delivered);
        EXPECT_EQ(r.output, std::vector<uint8_t>(length, 0xCC));
        EXPECT_EQ(Lines(), std::vector<std::string>{
                               "Corvax2 : CORVAX_GET_BITMAP/PLX_GET_BITMAP: Buffer too small, "
                               "require buffer size = 12 byte"});
    }
    EXPECT_EQ(Send(PLX_GET_BITMAP, {}, 8).information, 4u);
    EXPECT_EQ(Send(PLX_GET_BITMAP, {}, 3).information, 0u);
}

// ---- CORVAX_READ_CONFIG, PLX_READ_CONFIG ----

struct ReadConfigRefusal {
    const char* name;
    size_t inputBytes;
    uint32_t outputLength;
    KernStatus status;
};

class ReadConfigRefusalTest : public QueryTest,
                              public ::testing::WithParamInterface<ReadConfigRefusal> {};

TEST_P(ReadConfigRefusalTest, RefusesWithoutLogOrWrite) {
    Boot(Plx8748Machine());
    const ReadConfigRefusal& c = GetParam();
    std::vector<uint8_t> input = Ulongs({0x0500});
    input.resize(c.inputBytes);
    const Reply r = Send(CORVAX_READ_CONFIG, input, c.outputLength);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(c.outputLength, 0xCC));
    EXPECT_TRUE(Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadConfigRefusalTest,
    ::testing::Values(ReadConfigRefusal{"short_output", 4, 128, KERN_STATUS_BUFFER_TOO_SMALL},
                      ReadConfigRefusal{"short_both", 2, 128, KERN_STATUS_BUFFER_TOO_SMALL},
                      ReadConfigRefusal{"no_input", 0, 256, KERN_STATUS_INVALID_PARAMETER},
                      ReadConfigRefusal{"three_byte_input", 3, 256, KERN_STATUS_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<ReadConfigRefusal>& p) { return std::string(p.param.name); });

TEST_F(QueryTest, ReadConfigReturnsTheDrivesLiveHeader) {
    Boot(Plx8748Machine());
    for (uint32_t code : {CORVAX_READ_CONFIG, PLX_READ_CONFIG}) {
        SCOPED_TRACE(code);
        ClearLog();
        const Reply r = Send(code, Ulongs({0x0600}), 300);
        EXPECT_EQ(r.status, kSuccess);
        EXPECT_EQ(r.information, 256u);
        EXPECT_EQ(std::vector<uint8_t>(r.output.begin(), r.output.begin() + 256),
                  PeekHeader(Hw(), 6));
        EXPECT_TRUE(AllBytes(r.output, 256, 300, 0xCC));
        EXPECT_EQ(Lines(),
                  (std::vector<std::string>{"Corvax2 : read config PFA=0x00000600",
                                            "Corvax2 : read config PFA=0x00000600(0x0A548086)"}));
    }
}

TEST_F(QueryTest, ReadConfigThroughThePortsOnAHostWithoutTheWindow) {
    FabricBuilder b = Plx8748Machine();
    b.HostBridge(0x1022, 0x1480, 0xE0000001);  // not an Intel bridge: dword 0x60 is no window
    Boot(b);
    const Reply r = Send(CORVAX_READ_CONFIG, Ulongs({0x0C00}), 256);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.output, PeekHeader(Hw(), 12));
}

TEST_F(QueryTest, ReadConfigOfAnUnknownAddressIsZeros) {
    Boot(Plx8748Machine());
    const Reply r = Send(CORVAX_READ_CONFIG, Ulongs({0x0100}), 256);  // on board: not recorded
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 256u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(256, 0));
    EXPECT_EQ(Lines(), std::vector<std::string>{"Corvax2 : read config PFA=0x00000100"});
}

TEST_F(QueryTest, ReadConfigWithoutTheWindowAnswersAllOnes) {
    Boot(Plx8748Machine());
    sim::Kernel::Get().FailMapping(sim::MapStep::IoSpace, 1);
    const Reply r = Send(PLX_READ_CONFIG, Ulongs({0x0500}), 256);
    EXPECT_EQ(r.status, kSuccess);
    EXPECT_EQ(r.information, 256u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(256, 0xFF));
    EXPECT_EQ(Lines().back(), "Corvax2 : read config PFA=0x00000500(0xFFFFFFFF)");
    ExpectNothingMapped();
}

}  // namespace
}  // namespace corvax_test
