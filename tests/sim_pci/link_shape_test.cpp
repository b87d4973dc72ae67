// What a link trains to: the fastest speed and the widest width both ends advertise in their
// Link Capabilities (a real port's and drive's from their images, or description keys), held
// down by a downtrain from the next time it trains; both ends' Link Status show it.
#include <gtest/gtest.h>

#include "sim/pci/fabric.h"
#include "tests/sim_pci/fabric_test_util.h"

namespace sim {
namespace {

using test::PortRead;
using test::PortWrite;

struct Shown {
    unsigned speed, width;
};

// Link Status of the port of slot 0 (device 8 on bus 4) and of its drive (bus 5), whose PCI
// Express capability sits where its Link Status is at pcie + 0x12.
Shown PortLink(Fabric& f) {
    const uint32_t status = f.PeekConfig(4, 8, 0, reg::kSwitchLinkControl) >> 16;
    return {status & 0xF, (status >> 4) & 0x3F};
}

Shown DriveLink(Fabric& f, unsigned pcie) {
    const uint32_t status = f.PeekConfig(5, 0, 0, pcie + 0x10) >> 16;
    return {status & 0xF, (status >> 4) & 0x3F};
}

void CycleSlot0(Fabric& f) {
    const uint32_t v = PortRead(f, 4, 8, 0, 0x78);
    PortWrite(f, 4, 8, 0, 0x78, v | reg::kLinkDisable);
    PortWrite(f, 4, 8, 0, 0x78, v & ~reg::kLinkDisable);
    f.Wait(1000000);
}

struct ShapeCase {
    const char* name;
    const char* port;   // keys of port 0 besides index and bus
    const char* drive;  // the drive's keys
    unsigned pcie;      // where the drive's PCI Express capability lies
    Shown trained;
};

class LinkShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(LinkShape, BothEndsShowWhatTheyShare) {
    const ShapeCase& c = GetParam();
    const std::string json = std::string(R"({"switches": [{"model": "8748", "bus": 3,
        "internal_bus": 4, "ports": [{"index": 0, "bus": 5, )") +
                             c.port + R"("drive": {)" + c.drive + "}}]}]}";
    Fabric f(ParseFabricJson(json, CORVAX_FABRICS_DIR));
    EXPECT_EQ(PortLink(f).speed, c.trained.speed);
    EXPECT_EQ(PortLink(f).width, c.trained.width);
    EXPECT_EQ(DriveLink(f, c.pcie).speed, c.trained.speed);
    EXPECT_EQ(DriveLink(f, c.pcie).width, c.trained.width);
    CycleSlot0(f);  // and again after a link cycle
    EXPECT_EQ(DriveLink(f, c.pcie).speed, c.trained.speed);
    EXPECT_EQ(DriveLink(f, c.pcie).width, c.trained.width);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkShape,
    ::testing::Values(
        // The model's own: a PEX 8748 port of 8 GT/s x4 and a drive of 8 GT/s x4.
        ShapeCase{"ModelsOwn", "", R"("vendor": "0x1F0A", "device": "0x0710")", 0x70, {3, 4}},
        // A real PEX 8749 port (5 GT/s x2) and a real Samsung drive (32 GT/s x2).
        ShapeCase{"RealPortRealDrive",
                  R"("image": "images/plx8749-downstream-4.txt", )",
                  R"("image": "images/nvme-144d-a826.txt", "bar0_size": "0x8000")",
                  0x70,
                  {2, 2}},
        // A real x16 port and a real Intel drive (8 GT/s x4): the drive is the narrower end.
        // (That port's image has its slot power off: the key turns it on.)
        ShapeCase{"TheNarrowerEndDecides",
                  R"("image": "images/plx8749-downstream.txt", "slot_control": "0x01C0", )",
                  R"("image": "images/nvme-8086-0953.txt")",
                  0x60,
                  {2, 4}},
        // Description keys on either end.
        ShapeCase{"APortStrappedNarrower",
                  R"("link_speed": 2.5, "link_width": 1, )",
                  R"("vendor": "0x1F0A", "device": "0x0710")",
                  0x70,
                  {1, 1}},
        ShapeCase{"ADriveOfFewerLanes",
                  "",
                  R"("vendor": "0x1F0A", "device": "0x0710", "link_speed": "16", "link_width": 2)",
                  0x70,
                  {3, 2}}),
    [](const ::testing::TestParamInfo<ShapeCase>& p) { return std::string(p.param.name); });

TEST(Downtrain, TakesHoldAtTheNextTrainingAndNotBefore) {
    Fabric f(test::SmallMachine());
    f.Downtrain(0, 0, LinkLimit{1, 1});
    EXPECT_EQ(PortLink(f).speed, 3u);  // the link that is up stays as it trained
    EXPECT_EQ(DriveLink(f, 0x70).width, 4u);
    CycleSlot0(f);
    EXPECT_EQ(PortLink(f).speed, 1u);
    EXPECT_EQ(PortLink(f).width, 1u);
    EXPECT_EQ(DriveLink(f, 0x70).speed, 1u);
    EXPECT_EQ(DriveLink(f, 0x70).width, 1u);
    // Only that slot: slot 1's link trains as before.
    EXPECT_EQ(f.PeekConfig(6, 0, 0, 0x80) >> 16 & 0x3FF, 0x43u);
    // A drive inserted later into that slot trains low as well; lifting the limit holds from
    // the next training on.
    f.Replace(0, 0, DriveDescription::Make(0x1F0A, 0x0711));
    f.Wait(1000000);
    EXPECT_EQ(DriveLink(f, 0x70).speed, 1u);
    f.Downtrain(0, 0, std::nullopt);
    EXPECT_EQ(DriveLink(f, 0x70).speed, 1u);
    CycleSlot0(f);
    EXPECT_EQ(DriveLink(f, 0x70).speed, 3u);
    EXPECT_EQ(DriveLink(f, 0x70).width, 4u);
}

TEST(Downtrain, RefusesWhatNoLinkCanBe) {
    Fabric f(test::SmallMachine());
    EXPECT_THROW(f.Downtrain(0, 0, LinkLimit{7, 1}), std::logic_error);
    EXPECT_THROW(f.Downtrain(0, 0, LinkLimit{1, 3}), std::logic_error);
    EXPECT_THROW(f.Downtrain(0, 5, LinkLimit{1, 1}), std::out_of_range);
}

TEST(LinkKeys, BadValuesAreNamed) {
    const struct {
        const char* keys;
        const char* message;
    } cases[] = {
        {R"("link_speed": 3)", "switches[0].ports[0].link_speed: \"3\" is not a link speed"},
        {R"("link_width": 3)", "switches[0].ports[0].link_width: 3 is not a link width"},
        {R"("link_width": 64)", "switches[0].ports[0].link_width"},
    };
    for (const auto& c : cases) {
        const std::string json = std::string(R"({"switches": [{"model": "8748", "bus": 3,
            "internal_bus": 4, "ports": [{"index": 0, "bus": 5, )") +
                                 c.keys + "}]}]}";
        try {
            Fabric f(ParseFabricJson(json));
            ADD_FAILURE() << c.keys << " was taken";
        } catch (const FabricError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace sim
