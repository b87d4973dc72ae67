// The single write rule of configuration space, its masks and its hooks.
#include "sim/pci/config_space.h"

#include <gtest/gtest.h>

#include <vector>

namespace sim {
namespace {

struct WriteCase {
    const char* name;
    uint32_t initial;
    uint32_t wmask;
    uint32_t w1c;
    unsigned offset;  // within the dword at 0x40
    unsigned size;
    uint32_t value;
    uint32_t expected;  // the whole dword afterwards
};

class WriteRule : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteRule, AppliesMaskThenClearsW1cBitsWrittenAsOne) {
    const WriteCase& c = GetParam();
    ConfigSpace cs;
    cs.Set(0x40, c.initial);
    cs.SetWriteMask(0x40, c.wmask);
    cs.SetW1cMask(0x40, c.w1c);
    cs.Write(0x40 + c.offset, c.size, c.value);
    EXPECT_EQ(cs.Dword(0x40), c.expected) << std::hex << cs.Dword(0x40);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRule,
    ::testing::Values(
        WriteCase{"ReadOnlyByDefault", 0x12345678, 0, 0, 0, 4, 0xFFFFFFFF, 0x12345678},
        WriteCase{"FullyWritable", 0x12345678, 0xFFFFFFFF, 0, 0, 4, 0xCAFEF00D, 0xCAFEF00D},
        WriteCase{"OnlyMaskedBitsChange", 0x000000FF, 0x000000E0, 0, 0, 4, 0xFFFFFF00, 0x0000001F},
        WriteCase{"W1cBitWrittenOneClears", 0x000F0000, 0, 0x000F0000, 0, 4, 0x00050000,
                  0x000A0000},
        WriteCase{"W1cBitWrittenZeroStays", 0x000F0000, 0, 0x000F0000, 0, 4, 0, 0x000F0000},
        WriteCase{"ControlAndStatusInOneWrite", 0x000F0010, 0x0000FFFF, 0x000F0000, 0, 4,
                  0x00030020, 0x000C0020},
        WriteCase{"ByteWriteTouchesOnlyItsByte", 0x11223344, 0xFFFFFFFF, 0, 2, 1, 0xAB, 0x11AB3344},
        WriteCase{"WordWriteTouchesOnlyItsHalf", 0x11223344, 0xFFFFFFFF, 0, 0, 2, 0xBEEF,
                  0x1122BEEF},
        WriteCase{"ByteWriteOfStatusClearsOnlyThere", 0x0F0F0000, 0, 0xFFFF0000, 3, 1, 0x0F,
                  0x000F0000},
        WriteCase{"BarSizingKeepsTypeBits", 0x00000004, 0xFFFFC000, 0, 0, 4, 0xFFFFFFFF,
                  0xFFFFC004}),
    [](const ::testing::TestParamInfo<WriteCase>& p) { return p.param.name; });

TEST(ConfigSpace, ReadsBytesWordsAndDwordsLittleEndian) {
    ConfigSpace cs;
    cs.Set(0x10, 0xA1B2C3D4);
    EXPECT_EQ(cs.Read(0x10, 4), 0xA1B2C3D4u);
    EXPECT_EQ(cs.Read(0x12, 2), 0xA1B2u);
    EXPECT_EQ(cs.Read(0x11, 1), 0xC3u);
    EXPECT_EQ(cs.Read(0xFFC, 4), 0u);
}

TEST(ConfigSpace, RejectsAccessesNoBusCouldMake) {
    ConfigSpace cs;
    EXPECT_THROW(cs.Read(0x11, 2), std::out_of_range);
    EXPECT_THROW(cs.Read(0x12, 4), std::out_of_range);
    EXPECT_THROW(cs.Read(0x1000, 1), std::out_of_range);
    EXPECT_THROW(cs.Write(0x10, 3, 0), std::out_of_range);
}

TEST(ConfigSpace, HookSeesOldAndNewValueOfEachWrite) {
    ConfigSpace cs;
    cs.SetWriteMask(0x78, 0x0000FFFF);
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    std::vector<WriteSource> sources;
    cs.SetHook(0x78, [&](uint32_t o, uint32_t n, WriteSource s) {
        seen.emplace_back(o, n);
        sources.push_back(s);
    });
    cs.Write(0x79, 1, 0x12);  // a byte of the hooked dword still reaches the hook
    cs.Write(0x78, 4, 0xFFFF0010);
    cs.Write(0x7C, 4, 0x1);  // another dword: no call
    cs.Poke(0x78, 0xABCD0000);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(0x0u, 0x1200u));
    EXPECT_EQ(seen[1], std::make_pair(0x1200u, 0x0010u));
    EXPECT_EQ(seen[2], std::make_pair(0x0010u, 0xABCD0000u));
    EXPECT_EQ(sources[0], WriteSource::Software);
    EXPECT_EQ(sources[2], WriteSource::Inspection);
}

TEST(ConfigSpace, PokeIgnoresMasksAndClearKeepsHooks) {
    ConfigSpace cs;
    cs.SetW1cMask(0x80, 0xFFFF0000);
    cs.Poke(0x80, 0x00080000);  // a test can raise a status bit the software must clear
    EXPECT_EQ(cs.Dword(0x80), 0x00080000u);
    int calls = 0;
    cs.SetHook(0x80, [&](uint32_t, uint32_t, WriteSource) { ++calls; });
    cs.Clear();
    EXPECT_EQ(cs.Dword(0x80), 0u);
    EXPECT_EQ(cs.W1cMask(0x80), 0u);
    cs.Write(0x80, 4, 1);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace sim
