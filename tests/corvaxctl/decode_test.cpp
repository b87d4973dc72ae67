// corvaxctl decoding: operands as a user types them, and the driver's records from raw bytes laid
// out at their documented offsets (so a wrong offset in a decoder shows up as a wrong field).
#include <gtest/gtest.h>

#include <cstring>

#include "tools/corvaxctl/decode.h"

namespace corvaxctl {
namespace {

void Put32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void Put16(Bytes& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

TEST(Operands, PfaForms) {
    const struct {
        const char* text;
        uint16_t pfa;
    } good[] = {
        {"05:00.0", 0x0500}, {"5:0.0", 0x0500}, {"03:02.0", 0x0310}, {"ff:1f.7", 0xFFFF},
        {"0x0500", 0x0500},  {"500", 0x0500},   {"0X310", 0x0310},   {"a:1.2", 0x0A0A},
    };
    for (const auto& c : good) {
        EXPECT_EQ(ParsePfa(c.text), c.pfa) << c.text;
    }
    const char* bad[] = {"",        "zz",      "100:0.0", "0:20.0", "0:0.8", "0:0",
                         "1:2.3.4", "0x10000", "-1",      ":0.0",   "0:.0",  "05:00."};
    for (const char* text : bad) {
        EXPECT_THROW(ParsePfa(text), UsageError) << text;
    }
}

TEST(Operands, PfaPrintsAsLspciDoes) {
    EXPECT_EQ(FormatPfa(0x0310), "03:02.0");
    EXPECT_EQ(FormatPfa(0xFFFF), "ff:1f.7");
    EXPECT_EQ(FormatPfa(0x0A0A), "0a:01.2");
    for (uint32_t pfa : {0x0000u, 0x0500u, 0x2338u, 0xFFFFu}) {
        EXPECT_EQ(ParsePfa(FormatPfa(pfa)), pfa);
    }
}

TEST(Operands, VendorDeviceAndNumbers) {
    EXPECT_EQ(ParseVendorDevice("1f0a:0710"), 0x07101F0Au);
    EXPECT_EQ(ParseVendorDevice("0x144D:0xA808"), 0xA808144Du);
    for (const char* text : {"1f0a", "1f0a:", ":0710", "10000:1", "g:1", "1:2:3"}) {
        EXPECT_THROW(ParseVendorDevice(text), UsageError) << text;
    }
    EXPECT_EQ(ParseHex("ffff", 0xFFFF), 0xFFFFu);
    EXPECT_FALSE(ParseHex("10000", 0xFFFF));
    EXPECT_FALSE(ParseHex("0x", 0xFFFF));
    EXPECT_EQ(ParseCount("10", 100), 10u);
    EXPECT_EQ(ParseCount("0x10", 100), 16u);
    EXPECT_FALSE(ParseCount("1a", 100));
    EXPECT_FALSE(ParseCount("101", 100));
}

TEST(Operands, HexBytesAreTakenInOrder) {
    EXPECT_EQ(ParseHexBytes("00 05 00 00"), (Bytes{0x00, 0x05, 0x00, 0x00}));
    EXPECT_EQ(ParseHexBytes("0a1F"), (Bytes{0x0A, 0x1F}));
    EXPECT_EQ(ParseHexBytes("0a:1f-ff"), (Bytes{0x0A, 0x1F, 0xFF}));
    EXPECT_EQ(ParseHexBytes(""), Bytes{});
    for (const char* text : {"abc", "0g", "a b", "0x01", "zz"}) {
        EXPECT_THROW(ParseHexBytes(text), UsageError) << text;
    }
}

TEST(Operands, ControlCodesByNumberOrName) {
    EXPECT_EQ(ParseControlCode("CORVAX_GET_VERSION"), 0x0022158Cu);
    EXPECT_EQ(ParseControlCode("plx_query_pci"), 0x00221810u);
    EXPECT_EQ(ParseControlCode("0x00221404"), 0x00221404u);
    EXPECT_EQ(ParseControlCode("221401"), 0x00221401u);
    EXPECT_THROW(ParseControlCode("CORVAX_NOPE"), UsageError);
    EXPECT_THROW(ParseControlCode("0x1002214040"), UsageError);
}

TEST(Names, ControlCodesMatchTheirPublishedValues) {
    const struct {
        uint32_t code;
        const char* name;
        const char* method;
    } codes[] = {
        {0x00221400, "CORVAX_RESCAN", "METHOD_BUFFERED"},
        {0x00221412, "CORVAX_GET_TABLE", "METHOD_OUT_DIRECT"},
        {0x00221416, "CORVAX_RESCAN_RESTORE", "METHOD_OUT_DIRECT"},
        {0x0022142A, "CORVAX_READ_CONFIG", "METHOD_OUT_DIRECT"},
        {0x0022143C, "CORVAX_CLR_CPM", "METHOD_BUFFERED"},
        {0x00221590, "CORVAX_SET_DEVICE_ID_LIST", "METHOD_BUFFERED"},
        {0x0022180C, "PLX_RESCAN_RESTORE", "METHOD_BUFFERED"},
        {0x00221810, "PLX_QUERY_PCI", "METHOD_BUFFERED"},
        {0x0022182A, "PLX_READ_CONFIG", "METHOD_OUT_DIRECT"},
        {0x00221990, "PLX_SET_DEVICE_ID_LIST", "METHOD_BUFFERED"},
        {0x00221401, "", "METHOD_IN_DIRECT"},
        {0x00221424, "", "METHOD_BUFFERED"},
    };
    for (const auto& c : codes) {
        EXPECT_EQ(ControlCodeName(c.code), c.name) << std::hex << c.code;
        EXPECT_STREQ(MethodName(c.code), c.method) << std::hex << c.code;
    }
}

TEST(Names, StatusesModelsAndVersion) {
    EXPECT_EQ(StatusName(0), "STATUS_SUCCESS");
    EXPECT_EQ(StatusName(0xC0000023), "STATUS_BUFFER_TOO_SMALL");
    EXPECT_EQ(StatusName(0xC000000D), "STATUS_INVALID_PARAMETER");
    EXPECT_EQ(StatusName(0xC0000229), "STATUS_FAIL_CHECK");
    EXPECT_EQ(StatusName(0xC0000001), "");
    EXPECT_TRUE(IsErrorStatus(0xC0000229));
    EXPECT_FALSE(IsErrorStatus(0x80000005));  // a warning delivers its bytes
    EXPECT_FALSE(IsErrorStatus(0));
    EXPECT_EQ(SwitchModelName(0x861810b5), "PEX 8618");
    EXPECT_EQ(SwitchModelName(0x873210b5), "PEX 8732");
    EXPECT_EQ(SwitchModelName(0x874810b5), "PEX 8748");
    EXPECT_EQ(SwitchSlotCount(0x861810b5), 12u);
    EXPECT_EQ(SwitchSlotCount(0x873210b5), 4u);
    EXPECT_EQ(SwitchSlotCount(0x874810b5), 8u);
    // A model the tool does not know reads every slot its record holds, and no more.
    EXPECT_EQ(SwitchSlotCount(0x12345678), sizeof(BridgeApInfo{}.CurrentSlot) / sizeof(SlotImage));
    EXPECT_EQ(VersionText(0x02000120), "2.0.1.20");
    EXPECT_EQ(VersionText(0x10000001), "10.0.0.1");
}

TEST(Dump, EveryByteInItsPlace) {
    Bytes bytes(18);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 0x11);
    }
    bytes[15] = 0xCC;
    EXPECT_EQ(HexDump(bytes),
              (std::vector<std::string>{"00: 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee cc",
                                        "10: 10 21"}));
    EXPECT_EQ(HexDump(Bytes(0x110, 0)).back().substr(0, 5), "0100:");
    EXPECT_EQ(LowerHex({0xAB, 0x01, 0xCC}), "ab01cc");
}

TEST(Records, TableEntriesFieldByField) {
    Bytes out(1024, 0);
    // Entry 0: a drive behind the first switch.
    Put32(out, 0, 0x0500);
    Put32(out, 4, 0x07101F0A);
    Put32(out, 8, 1);
    Put32(out, 12, 9);
    Put32(out, 16, 0x874810b5);
    Put32(out, 20, 0x88000001);
    // Entry 1: an on-board drive.
    Put32(out, 32, 0x0100);
    Put32(out, 36, 0xA808144D);
    // Entry 3, after an empty entry 2, is past the end of the table.
    Put32(out, 96, 0x0900);
    Put32(out, 100, 0x12341234);

    const std::vector<PciTableEntry> t = DecodeTable(out);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].pciLocation, 0x0500u);
    EXPECT_EQ(t[0].pciID, 0x07101F0Au);
    EXPECT_EQ(t[0].bdgIndex, 1u);
    EXPECT_EQ(t[0].bdgDevId, 9u);
    EXPECT_EQ(t[0].bdgPciId, 0x874810b5u);
    EXPECT_EQ(t[0].fgStatus, 0x88000001u);
    EXPECT_EQ(t[1].pciLocation, 0x0100u);
    EXPECT_EQ(t[1].pciID, 0xA808144Du);
    EXPECT_EQ(t[1].bdgIndex, 0u);

    EXPECT_TRUE(DecodeTable(Bytes(1024, 0)).empty());
    EXPECT_EQ(DecodeTable(Bytes(out.begin(), out.begin() + 40)).size(), 1u);  // partial entry
}

TEST(Records, TableFlagWords) {
    const struct {
        uint32_t fg;
        std::vector<std::string> words;
    } cases[] = {
        {0, {}},
        {0x80000000, {"new"}},
        {0x08000000, {"no-memory"}},
        {0x00000001, {"unlisted-vendor"}},
        {0x88000001, {"new", "no-memory", "unlisted-vendor"}},
        {0x00000012, {"0x00000012"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EntryFlagWords(c.fg), c.words) << std::hex << c.fg;
    }
}

TEST(Records, SwitchRecordsAtTheirOffsets) {
    Bytes out(1800, 0);
    const size_t r = 600;  // record 1
    Put32(out, r + 0, 0x873210b5);
    Put32(out, r + 4, 0x4000);
    Put32(out, r + 8, 0x0B);
    Put32(out, r + 12, 0x07);
    Put32(out, r + 16, 64);
    Put32(out, r + 20, 65);
    // Original slot 3 and current slot 2.
    const size_t o = r + 24 + 3 * 24;
    out[o + 0] = 0x80;
    out[o + 1] = 3;
    out[o + 2] = 11;
    out[o + 3] = 0x20;
    Put32(out, o + 4, 0x4500);
    Put16(out, o + 8, 0x1F0A);
    Put16(out, o + 10, 0x0710);
    Put32(out, o + 16, 0x9D100000);
    Put32(out, o + 20, 0x00000001);
    const size_t c = r + 312 + 2 * 24;
    out[c] = 0x80;
    Put16(out, c + 10, 0xABCD);

    const std::vector<BridgeApInfo> b = DecodeBridges(out);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_FALSE(BridgeInUse(b[0]));
    ASSERT_TRUE(BridgeInUse(b[1]));
    EXPECT_FALSE(BridgeInUse(b[2]));
    EXPECT_EQ(b[1].pciID, 0x873210b5u);
    EXPECT_EQ(b[1].bdgPFA, 0x4000u);
    EXPECT_EQ(b[1].OriginalMap, 0x0Bu);
    EXPECT_EQ(b[1].CurrentMap, 0x07u);
    EXPECT_EQ(b[1].PrimaryBus, 64u);
    EXPECT_EQ(b[1].SecondaryBus, 65u);
    const SlotImage& s = b[1].OriginalSlot[3];
    EXPECT_EQ(s.fgStatus, 0x80);
    EXPECT_EQ(s.bdgDeviceIndex, 3);
    EXPECT_EQ(s.bdgDeviceId, 11);
    EXPECT_EQ(s.bdgMps, 0x20);
    EXPECT_EQ(s.pciPFA, 0x4500u);
    EXPECT_EQ(s.vendorId, 0x1F0A);
    EXPECT_EQ(s.deviceId, 0x0710);
    EXPECT_EQ(s.barAddrLow, 0x9D100000u);
    EXPECT_EQ(s.barAddrHigh, 1u);
    EXPECT_EQ(b[1].CurrentSlot[2].fgStatus, 0x80);
    EXPECT_EQ(b[1].CurrentSlot[2].deviceId, 0xABCD);
    EXPECT_EQ(b[1].OriginalSlot[2].fgStatus, 0);

    EXPECT_TRUE(DecodeBridges(Bytes(4, 0)).empty());  // the size answer holds no record
}

TEST(Records, BitmapSlots) {
    EXPECT_EQ(BitmapSlots(0x311), (std::vector<unsigned>{0, 4, 8, 9}));
    EXPECT_EQ(BitmapSlots(0), std::vector<unsigned>{});
    EXPECT_EQ(BitmapSlots(0x80000000), std::vector<unsigned>{31});
}

TEST(Records, ConfigHeaderBarKinds) {
    const struct {
        uint32_t bar0, bar1;
        uint64_t address;
        bool io, is64, prefetch;
    } cases[] = {
        {0xF7000004, 0x00000000, 0xF7000000, false, true, false},
        {0xF700000C, 0x00000002, 0x2F7000000, false, true, true},
        {0xFE000000, 0x12345678, 0xFE000000, false, false, false},
        {0x0000E001, 0x00000000, 0xE000, true, false, false},
        {0x00000004, 0x00000000, 0, false, true, false},
    };
    for (const auto& c : cases) {
        Bytes h(256, 0);
        Put32(h, 0, 0x07101F0A);
        Put32(h, 8, 0x01080201);
        h[0x0E] = 0x00;
        Put32(h, 0x10, c.bar0);
        Put32(h, 0x14, c.bar1);
        const ConfigSummary s = DecodeConfig(h);
        EXPECT_EQ(s.vendor, 0x1F0A);
        EXPECT_EQ(s.device, 0x0710);
        EXPECT_EQ(s.classCode, 0x010802u);
        EXPECT_EQ(s.revision, 1);
        EXPECT_EQ(s.bar0, c.address) << std::hex << c.bar0;
        EXPECT_EQ(s.bar0Io, c.io) << std::hex << c.bar0;
        EXPECT_EQ(s.bar064, c.is64) << std::hex << c.bar0;
        EXPECT_EQ(s.bar0Prefetchable, c.prefetch) << std::hex << c.bar0;
    }
}

PciTableEntry Entry(uint32_t pfa, uint32_t id, uint32_t fg = 0) {
    PciTableEntry e = {};
    e.pciLocation = pfa;
    e.pciID = id;
    e.bdgIndex = 1;
    e.fgStatus = fg;
    return e;
}

TEST(Hotswap, ChangesAgainstTheTableBeforeTheCycle) {
    const uint32_t noMemory = CORVAX_ENTRY_NO_MEMORY;
    const uint32_t fresh = CORVAX_ENTRY_NEW_DEVICE | CORVAX_ENTRY_NO_MEMORY;
    const uint32_t unlisted = CORVAX_ENTRY_FOREIGN_VENDOR;
    // 0b is listed and 0c unlisted and already without memory before the cycle.
    const std::vector<PciTableEntry> before = {Entry(0x0500, 0x11111111),
                                               Entry(0x0600, 0x22222222),
                                               Entry(0x0700, 0x33333333, unlisted),
                                               Entry(0x0800, 0x44444444),
                                               Entry(0x0B00, 0xAAAAAAAA),
                                               Entry(0x0C00, 0xBBBBBBBB, noMemory | unlisted),
                                               Entry(0x0100, 0x55555555)};
    const std::vector<PciTableEntry> withFifth = [&] {
        std::vector<PciTableEntry> t = before;
        t.push_back(Entry(0x0A00, 0x88888888));
        return t;
    }();
    // Back from the cycle: every drive reset; 06 and 0a hold other drives, 08 is gone, 09 is
    // new.
    const std::vector<PciTableEntry> settled = {Entry(0x0500, 0x11111111, noMemory),
                                                Entry(0x0600, 0x66666666, fresh),
                                                Entry(0x0700, 0x33333333, noMemory | unlisted),
                                                Entry(0x0900, 0x77777777, fresh),
                                                Entry(0x0A00, 0x99999999, fresh),
                                                Entry(0x0B00, 0xAAAAAAAA, noMemory),
                                                Entry(0x0C00, 0xBBBBBBBB, noMemory | unlisted),
                                                Entry(0x0100, 0x55555555)};
    // After the restore: 05 and the replacement in 0a got their headers back; the unlisted 07,
    // the replacement in 06 and (its restore failing) the listed 0b did not.
    const std::vector<PciTableEntry> after = {Entry(0x0500, 0x11111111),
                                              Entry(0x0600, 0x66666666, fresh),
                                              Entry(0x0700, 0x33333333, noMemory | unlisted),
                                              Entry(0x0900, 0x77777777, fresh),
                                              Entry(0x0A00, 0x99999999, CORVAX_ENTRY_NEW_DEVICE),
                                              Entry(0x0B00, 0xAAAAAAAA, noMemory),
                                              Entry(0x0C00, 0xBBBBBBBB, noMemory | unlisted),
                                              Entry(0x0100, 0x55555555)};

    const std::vector<DriveChange> c = CompareTables(withFifth, settled, after);
    ASSERT_EQ(c.size(), 9u);
    const std::pair<uint32_t, Change> expected[] = {{0x0500, Change::Restored},
                                                    {0x0600, Change::Replaced},
                                                    {0x0700, Change::MemoryLostUnlisted},
                                                    {0x0900, Change::New},
                                                    {0x0A00, Change::ReplacedRestored},
                                                    {0x0B00, Change::MemoryLost},
                                                    {0x0C00, Change::None},
                                                    {0x0100, Change::None},
                                                    {0x0800, Change::Lost}};
    for (size_t i = 0; i < c.size(); ++i) {
        EXPECT_EQ(c[i].entry.pciLocation, expected[i].first) << i;
        EXPECT_EQ(c[i].change, expected[i].second) << std::hex << c[i].entry.pciLocation;
    }
    EXPECT_EQ(c[8].entry.pciID, 0x44444444u);  // a lost drive is shown as it was
    EXPECT_STREQ(ChangeName(Change::Replaced), "replaced");
    EXPECT_STREQ(ChangeName(Change::ReplacedRestored), "replaced,restored");
    EXPECT_STREQ(ChangeName(Change::MemoryLost), "memory-lost");
    EXPECT_STREQ(ChangeName(Change::MemoryLostUnlisted), "memory-lost,unlisted-vendor");
    EXPECT_STREQ(ChangeName(Change::None), "");
}

TEST(Hotswap, NothingChangesWhenNothingWasSwapped) {
    const std::vector<PciTableEntry> t = {Entry(0x0500, 0x11111111), Entry(0x0100, 0x2)};
    for (const DriveChange& c : CompareTables(t, t, t)) {
        EXPECT_EQ(c.change, Change::None);
    }
}

}  // namespace
}  // namespace corvaxctl
