// Decoding a configuration header capability by capability, held against what lspci itself
// printed for the same bytes of real drives (the captures in examples/fabrics/images), and
// against headers broken on purpose.
#include <gtest/gtest.h>

#include "sim/pci/image.h"
#include "tools/corvaxctl/pci_header.h"

namespace corvaxctl {
namespace {

Bytes Header(const char* image) {
    const sim::RegisterImage i = sim::ReadRegisterImage(
        std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/images/" + image, "image");
    return Bytes(i.bytes.begin(), i.bytes.begin() + 256);
}

struct Capture {
    const char* image;
    // As lspci -vvv decoded the capture (its own lines in the file, or by hand from the bytes
    // for the capture that has none).
    unsigned pcie, maxPayloadSupported, maxPayload, maxReadRequest;
    unsigned maxSpeed, maxWidth, speed, width;
    unsigned msix, vectors, tableOffset, pbaOffset;
    unsigned pm;
    const char* errors;  // Device Status as the drive left it
};

class RealDrive : public ::testing::TestWithParam<Capture> {};

TEST_P(RealDrive, ReadsAsLspciReadIt) {
    const Capture& c = GetParam();
    const Bytes h = Header(c.image);
    const std::optional<PciExpress> e = DecodePciExpress(h);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->offset, c.pcie);
    EXPECT_EQ(e->portType, 0u);  // Endpoint
    EXPECT_EQ(e->maxPayloadSupported, c.maxPayloadSupported);
    EXPECT_EQ(e->maxPayload, c.maxPayload);
    EXPECT_EQ(e->maxReadRequest, c.maxReadRequest);
    EXPECT_EQ(e->maxSpeed, c.maxSpeed);
    EXPECT_EQ(e->maxWidth, c.maxWidth);
    EXPECT_EQ(e->speed, c.speed);
    EXPECT_EQ(e->width, c.width);
    EXPECT_EQ(e->errors.Text(), c.errors);
    const std::optional<Msix> m = DecodeMsix(h);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->offset, c.msix);
    EXPECT_EQ(m->vectors, c.vectors);
    EXPECT_EQ(m->tableBar, 0u);
    EXPECT_EQ(m->tableOffset, c.tableOffset);
    EXPECT_EQ(m->pbaOffset, c.pbaOffset);
    EXPECT_FALSE(m->enabled);
    const std::optional<PowerManagement> p = DecodePowerManagement(h);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->offset, c.pm);
    EXPECT_EQ(p->version, 3u);
    EXPECT_EQ(p->state, 0u);  // D0
    const std::vector<BarInfo> bars = DecodeBars(h);
    ASSERT_FALSE(bars.empty());
    EXPECT_TRUE(bars[0].is64);
    EXPECT_FALSE(bars[0].prefetchable);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, RealDrive,
    ::testing::Values(
        // "DevCap: MaxPayload 512 bytes", "MaxPayload 256 bytes, MaxReadReq 256 bytes",
        // "LnkCap: ... Speed 32GT/s, Width x2", "LnkSta: Speed 16GT/s (downgraded), Width x2",
        // "MSI-X: Enable- Count=129", "Vector table: BAR=0 offset=00004000",
        // "PBA: BAR=0 offset=00003000".
        Capture{"nvme-144d-a826.txt", 0x70, 512, 256, 256, 5, 2, 4, 2, 0xB0, 129, 0x4000, 0x3000,
                0x40, ""},
        // The Intel capture carries no decoding: DevCap 0x100085a1, DevCtl 0x2910, DevSta 0x0009
        // (that drive had logged a correctable error and an unsupported request), LnkCap
        // 0x00416c43, LnkSta 0x0043, MSI-X 0x001f at 0x50 with table 0x2000 and PBA 0x3000.
        Capture{"nvme-8086-0953.txt", 0x60, 256, 128, 512, 3, 4, 3, 4, 0x50, 32, 0x2000, 0x3000,
                0x40, "correctable error, unsupported request"}),
    [](const ::testing::TestParamInfo<Capture>& p) {
        return std::string(p.param.image).substr(5, 4) == "144d" ? std::string("Samsung")
                                                                 : std::string("Intel");
    });

// Device Status error bits, one at a time, and their words.
TEST(DeviceStatus, EachErrorBitIsNamed) {
    const struct {
        uint8_t bits;
        const char* text;
    } cases[] = {
        {0x0, ""},
        {0x1, "correctable error"},
        {0x2, "non-fatal error"},
        {0x4, "fatal error"},
        {0x8, "unsupported request"},
        {0x9, "correctable error, unsupported request"},
    };
    Bytes h = Header("nvme-144d-a826.txt");
    for (const auto& c : cases) {
        h[0x70 + 0xA] = c.bits;
        const std::optional<PciExpress> e = DecodePciExpress(h);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->errors.Any(), c.bits != 0) << int(c.bits);
        EXPECT_EQ(e->errors.Text(), c.text);
    }
}

TEST(CapabilityList, ThatIsBrokenEndsOrFindsNothing) {
    Bytes h = Header("nvme-8086-0953.txt");
    // A list that points back at itself: the walk ends; the first capability is still found.
    Bytes looped = h;
    looped[0x41] = 0x40;
    EXPECT_TRUE(DecodePowerManagement(looped));
    EXPECT_FALSE(DecodePciExpress(looped));
    EXPECT_FALSE(DescribeHeader(looped).empty());
    // No capability list in the Status register: nothing is decoded but the BARs.
    Bytes none = h;
    none[0x06] &= ~0x10;
    EXPECT_FALSE(DecodeMsix(none));
    EXPECT_EQ(DescribeHeader(none), std::vector<std::string>{"  BAR0: 0xbc000000 (64-bit memory)"});
    // Nothing answered: all-ones decode to no capability at all, and a short reply to nothing.
    EXPECT_FALSE(DecodePciExpress(Bytes(256, 0xFF)));
    EXPECT_FALSE(DecodePciExpress(Bytes(16, 0)));
}

TEST(LinkSpeeds, AsPeopleWriteThem) {
    EXPECT_EQ(LinkText(1, 1), "2.5 GT/s x1");
    EXPECT_EQ(LinkText(3, 4), "8 GT/s x4");
    EXPECT_EQ(SpeedText(9), "speed 9");
    EXPECT_EQ(SpeedCode("2.5"), 1u);
    EXPECT_EQ(SpeedCode("16"), 4u);
    EXPECT_EQ(SpeedCode("3"), std::nullopt);
}

}  // namespace
}  // namespace corvaxctl
