// Fabric descriptions: every shipped example loads into the machine it describes, and bad input
// is refused with the key named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "fabric_test_util.h"

namespace sim {
namespace {

using test::PortRead;

std::string Example(const char* name) {
    return std::string(CORVAX_FABRICS_DIR) + "/" + name;
}

TEST(Examples, EveryFileLoads) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CORVAX_FABRICS_DIR)) {
        if (entry.path().extension() != ".json")
            continue;
        SCOPED_TRACE(entry.path().string());
        EXPECT_NO_THROW(Fabric::FromFile(entry.path().string()));
        ++count;
    }
    EXPECT_GE(count, 4);
}

TEST(Examples, Plx8748WithAnOnboardDrive) {
    auto f = Fabric::FromFile(Example("plx8748.json"));
    EXPECT_EQ(f->EcamWindow(), 0xE0000000u);
    EXPECT_EQ(PortRead(*f, 1, 0, 0, 0x08) & 0xFFFFFF00, 0x01080200u);
    EXPECT_EQ(PortRead(*f, 3, 0, 0, 0), 0x874810B5u);
    EXPECT_EQ(PortRead(*f, 3, 0, 0, 0x18) & 0xFFFF, 0x0403u);
    EXPECT_EQ(PortRead(*f, 3, 0, 0, 0x70) & 0xE0, 0x20u);
    EXPECT_EQ(f->DrivePfa(0, 4), 0x0900);
    EXPECT_EQ(PortRead(*f, 4, 16, 0, 0x18) >> 8 & 0xFF, 9u);
    EXPECT_EQ(PortRead(*f, 7, 0, 0, 0) & 0xFFFF, 0x1B4Bu);  // the unlisted vendor
    EXPECT_EQ(PortRead(*f, 5, 0, 0, 0xB4), 0x2000u);
    EXPECT_FALSE(f->DrivePresent(0, 5));
    EXPECT_EQ(f->ReadPhysical(0xF7C08208, 4), 0u);
    EXPECT_EQ(PortRead(*f, 8, 0, 0, 0x78) & 0xE0, 0x20u);  // firmware left 256 bytes there
    EXPECT_EQ(PortRead(*f, 9, 0, 0, 0x78) & 0xE0, 0x00u);
}

TEST(Examples, TheBuiltInMachineIsThe8748Example) {
    std::ifstream in(Example("plx8748.json"));
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), DefaultFabricJson());
    EXPECT_EQ(Fabric::FromJson(DefaultFabricJson())->SwitchCount(), 1u);
}

TEST(Examples, TwoPlx8732WithTheSecondOnBus64) {
    auto f = Fabric::FromFile(Example("two-plx8732.json"));
    EXPECT_EQ(f->SwitchCount(), 2u);
    EXPECT_EQ(PortRead(*f, 2, 0, 0, 0), 0x873210B5u);
    EXPECT_EQ(PortRead(*f, 64, 0, 0, 0), 0x873210B5u);
    EXPECT_EQ(PortRead(*f, 0x42, 0, 0, 0) & 0xFFFF, 0x1CB0u);
    // The window keeps all 256 buses; bus 0x42 is not bus 2 there.
    EXPECT_EQ(f->ReadPhysical(0x80000000 + (0x42u << 20), 4), PortRead(*f, 0x42, 0, 0, 0));
}

TEST(Examples, Plx8618SlotsFollowItsLinkMap) {
    auto f = Fabric::FromFile(Example("plx8618.json"));
    EXPECT_EQ(f->PortPfa(0, 0), Pfa(2, 2, 0));
    EXPECT_EQ(f->PortPfa(0, 4), Pfa(2, 1, 0));
    EXPECT_EQ(f->PortPfa(0, 8), Pfa(2, 3, 0));
    EXPECT_EQ(PortRead(*f, 11, 0, 0, 0), 0xA808144Du);
    EXPECT_EQ(PortRead(*f, 0, 0x1F, 2, 0x08) >> 8, 0x010601u);  // SATA: not NVMe
    EXPECT_EQ(PortRead(*f, 0x0F, 0, 0, 0), 0x15338086u);
}

TEST(Examples, AmdHostBridgeDword60IsNotTheWindow) {
    auto f = Fabric::FromFile(Example("amd-host.json"));
    EXPECT_EQ(PortRead(*f, 0, 0, 0, 0x60), 0x13B10030u);
    EXPECT_EQ(f->EcamWindow(), 0xE0000000u);
    EXPECT_EQ(f->ReadPhysical(0x13B10000 + (35u << 20), 4), 0xFFFFFFFFu);
    f->WritePhysical(0x13B10000 + (35u << 20) + 0x10, 1, 0);
    EXPECT_EQ(f->Faults().strayWrites.size(), 1u);
}

TEST(Json, NumbersMayBeHexStringsOrJsonNumbers) {
    const FabricDescription d = ParseFabricJson(R"({
        "host_bridge": {"vendor": 32902, "device": "0x3e0f", "ecam": "0xE0000001"},
        "onboard": [{"bus": "0x1", "drive": {"vendor": "0x1F0A", "device": 1792,
                     "bar0": "0x1F7000000", "msix_table": 8192, "msix_vectors": "0x10"}}]})");
    EXPECT_EQ(d.hostBridge.vendor, 0x8086);
    EXPECT_EQ(d.hostBridge.device, 0x3E0F);
    EXPECT_EQ(d.onboard.at(0).drive.bar0, 0x1F7000000u);
    EXPECT_EQ(d.onboard.at(0).drive.device, 0x0700);
    EXPECT_EQ(d.onboard.at(0).drive.msixTable, 0x2000u);
    EXPECT_EQ(d.onboard.at(0).drive.msixVectors, 16u);
    EXPECT_EQ(d.onboard.at(0).drive.maxPayload, 128u);
    EXPECT_EQ(d.onboard.at(0).drive.bar0Size, 0x4000u);
}

TEST(Json, FunctionsGetTheirDwords) {
    auto f = Fabric::FromJson(R"({"functions": [{"pfa": "0x0208",
        "dwords": {"0x00": "0x12345678", "0x08": "0x01080200"}}]})");
    EXPECT_EQ(PortRead(*f, 2, 1, 0, 0), 0x12345678u);
    EXPECT_EQ(PortRead(*f, 2, 1, 0, 8), 0x01080200u);
    test::PortWrite(*f, 2, 1, 0, 0, 0);  // read-only
    EXPECT_EQ(PortRead(*f, 2, 1, 0, 0), 0x12345678u);
}

struct BadInput {
    const char* name;
    const char* json;
    const char* message;  // must appear in the error
};

class JsonErrors : public ::testing::TestWithParam<BadInput> {};

TEST_P(JsonErrors, NameTheKey) {
    const BadInput& c = GetParam();
    try {
        ParseFabricJson(c.json);
        FAIL() << "accepted";
    } catch (const FabricError& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonErrors,
    ::testing::Values(
        BadInput{"NotJson", "{", "not valid JSON"},
        BadInput{"UnknownTopKey", R"({"switchs": []})", "switchs: unknown key"},
        BadInput{"UnknownModel",
                 R"({"switches": [{"model": "8749", "bus": 1, "internal_bus": 2}]})",
                 "switches[0].model"},
        BadInput{"MissingBus", R"({"switches": [{"model": "8748", "internal_bus": 2}]})",
                 "switches[0].bus: missing"},
        BadInput{"BusTooLarge",
                 R"({"onboard": [{"bus": 256, "drive": {"vendor": 1, "device": 1}}]})",
                 "onboard[0].bus"},
        BadInput{"NotANumber", R"({"host_bridge": {"ecam": "0xZZ"}})", "host_bridge.ecam"},
        BadInput{"Negative", R"({"host_bridge": {"vendor": -1}})", "host_bridge.vendor"},
        BadInput{"WrongType", R"({"host_bridge": {"device": true}})", "host_bridge.device"},
        BadInput{"PortIndexPastModel",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2,
                     "ports": [{"index": 4, "bus": 3}]}]})",
                 "switches[0].ports[0].index"},
        BadInput{"PortListedTwice",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2,
                     "ports": [{"index": 1, "bus": 3}, {"index": 1, "bus": 4}]}]})",
                 "switches[0].ports[1].index"},
        BadInput{"BusUsedTwice",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2,
                     "ports": [{"index": 0, "bus": 2}]}]})",
                 "switches[0].ports[0].bus"},
        BadInput{"OnboardBehindASwitch",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2,
                     "ports": [{"index": 0, "bus": 3}]}],
                     "onboard": [{"bus": 3, "drive": {"vendor": 1, "device": 1}}]})",
                 "onboard[0].bus"},
        BadInput{"DriveWithoutVendor", R"({"onboard": [{"bus": 1, "drive": {"device": 1}}]})",
                 "onboard[0].drive.vendor: missing"},
        BadInput{
            "BarSizeNotPowerOfTwo",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0_size": "0x3000"}}]})",
            "onboard[0].drive.bar0_size"},
        BadInput{
            "BarMisaligned",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0": "0xF7001000"}}]})",
            "onboard[0].drive.bar0"},
        BadInput{
            "TableOutsideBar",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "msix_table": "0x3F00"}}]})",
            "onboard[0].drive.msix_table"},
        BadInput{
            "OddPayload",
            R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "max_payload": 200}]})",
            "switches[0].max_payload"},
        BadInput{
            "SwitchBarMisaligned",
            R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "bar0": "0xF7C08000"}]})",
            "switches[0].bar0"},
        BadInput{"FunctionOnHostBridge", R"({"functions": [{"pfa": 0, "dwords": {}}]})",
                 "functions[0].pfa"},
        BadInput{"FunctionOffsetNotDword", R"({"functions": [{"pfa": 8, "dwords": {"0x61": 1}}]})",
                 "functions[0].dwords.0x61"},
        BadInput{"RamSizeNotPages", R"({"ram": [{"base": "0x1000", "size": "0x800"}]})",
                 "ram[0].size: 0x800 is not a non-zero multiple of 4 KiB"},
        BadInput{"RamBaseNotAligned", R"({"ram": [{"base": "0x1800", "size": "0x1000"}]})",
                 "ram[0].base"},
        BadInput{
            "RamRangesOverlap",
            R"({"ram": [{"base": 0, "size": "0x10000"}, {"base": "0xF000", "size": "0x1000"}]})",
            "ram[1]: overlaps ram[0]"},
        BadInput{"RamUnknownKey", R"({"ram": [{"base": 0, "size": 4096, "end": 1}]})",
                 "ram[0].end: unknown key"},
        BadInput{
            "DriveInRam",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0": "0x10000000"}}]})",
            "onboard[0].drive.bar0: BAR0 at 0x10000000 lies in RAM (ram[0]: 0x0 to 0x7FFFFFFF)"},
        // Firmware gives each port a window of its own on 1 MiB boundaries: two drives in one
        // MiB behind two ports cannot both be reached.
        BadInput{"PortWindowsOverlap",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2, "ports": [
                     {"index": 0, "bus": 3, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0000000"}},
                     {"index": 1, "bus": 4, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0010000"}}]}]})",
                 "switches[0].ports[1].memory_window: 0xF0000000 to 0xF00FFFFF overlaps "
                 "switches[0].ports[0].memory_window"},
        BadInput{"MemoryWindowAboveFourGiB",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2,
                     "memory_window": {"base": "0x100000000", "limit": "0x1000FFFFF"}}]})",
                 "switches[0].memory_window: a memory window lies below 4 GiB"},
        BadInput{"WindowOffTheGrain",
                 R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2, "ports": [
                     {"index": 0, "bus": 3, "memory_window": {"base": "0xF0080000",
                      "limit": "0xF00FFFFF"}}]}]})",
                 "switches[0].ports[0].memory_window: 0xF0080000 to 0xF00FFFFF is not on 1 MiB"},
        BadInput{
            "UpstreamWindowOverAnOnBoardDrive",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0200000"}}],
                     "switches": [{"model": "8732", "bus": 2, "internal_bus": 3, "ports": [
                     {"index": 0, "bus": 4, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0000000"}},
                     {"index": 1, "bus": 5, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0300000"}}]}]})",
            "overlaps switches[0].memory_window (0xF0000000 to 0xF03FFFFF)"},
        BadInput{"SixtyFourBitBarAtBar5",
                 R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1,
                     "bars": [{"index": 5, "size": "0x1000", "bits": 64}]}}]})",
                 "onboard[0].drive.bars[0].index: 5 is not a BAR a 64-bit BAR can start at"},
        BadInput{"BarTakenByBar0sUpperHalf",
                 R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1,
                     "bars": [{"index": 1, "size": "0x1000"}]}}]})",
                 "onboard[0].drive.bars[0].index: BAR1 is already taken"},
        BadInput{
            "DriveBehindAPortInRam",
            R"({"switches": [{"model": "8732", "bus": 1, "internal_bus": 2, "ports": [{"index": 0,
                     "bus": 3, "drive": {"vendor": 1, "device": 1, "bar0": "0x7FFFC000"}}]}]})",
            "switches[0].ports[0].drive.bar0: BAR0 at 0x7FFFC000 lies in RAM"},
        BadInput{
            "SwitchBarInRam",
            R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "bar0": "0x7FFC0000"}]})",
            "switches[0].bar0: BAR0 at 0x7FFC0000 lies in RAM"},
        BadInput{"WindowRegisterNamesRam", R"({"host_bridge": {"ecam": "0x01029005"}})",
                 "host_bridge.ecam: the configuration window at 0x0 lies in RAM"},
        BadInput{"ExplicitWindowInRam", R"({"host_bridge": {"ecam_window": "0x40000000"}})",
                 "host_bridge.ecam_window: the configuration window at 0x40000000 lies in RAM"},
        BadInput{"TrainingTooLong",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2,
                     "link_train_ms": 60001}]})",
                 "switches[0].link_train_ms: 60001 is above 60000 ms"},
        BadInput{"PortTrainingTooLong",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2,
                     "ports": [{"index": 3, "bus": 3, "link_train_ms": "70000"}]}]})",
                 "switches[0].ports[0].link_train_ms: 70000 is above"},
        BadInput{"ReadyTooLate",
                 R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1,
                     "ready_ms": 100000}}]})",
                 "onboard[0].drive.ready_ms: 100000 is above 60000 ms"},
        BadInput{"TrainingNegative",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2,
                     "link_train_ms": -5}]})",
                 "switches[0].link_train_ms: must not be negative"},
        BadInput{"WindowsUnknownKey", R"({"windows": {"system": 256, "pagefile": []}})",
                 "windows.pagefile: unknown key"},
        BadInput{"WindowsPageFilesNotAList", R"({"windows": {"page_files": "0x0100"}})",
                 "windows.page_files: expected a list"},
        BadInput{"WindowsPfaTooLarge", R"({"windows": {"page_files": [1, "0x10000"]}})",
                 "windows.page_files[1]"},
        BadInput{"PortsNotAList",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "ports": {}}]})",
                 "switches[0].ports: expected a list"},
        BadInput{"CrsNotAFlag", R"({"host_bridge": {"crs_visibility": 1}})",
                 "host_bridge.crs_visibility: expected true or false"},
        BadInput{"SlotWithDriveAndSwitch",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "ports": [
                     {"index": 0, "bus": 3, "drive": {"vendor": 1, "device": 1},
                      "switch": {"model": "8748", "internal_bus": 4}}]}]})",
                 "switches[0].ports[0]: a slot holds a drive or a switch, not both"},
        BadInput{"SwitchInSlotOnAnotherBus",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "ports": [
                     {"index": 0, "bus": 3, "switch": {"model": "8748", "bus": 5,
                      "internal_bus": 4}}]}]})",
                 "switches[0].ports[0].switch.bus: 0x5 is not the slot's bus 0x3"},
        BadInput{"SwitchInSlotBelowItsBus",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 4, "ports": [
                     {"index": 0, "bus": 5, "switch": {"model": "8748", "internal_bus": 3}}]}]})",
                 "switches[0].ports[0].switch: bus 0x3 is not above the slot's bus 0x5"},
        BadInput{"SwitchInSlotTakesAnotherPortsBus",
                 R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "ports": [
                     {"index": 0, "bus": 3, "switch": {"model": "8748", "internal_bus": 4,
                      "ports": [{"index": 0, "bus": 6}]}},
                     {"index": 1, "bus": 5}]}]})",
                 "switches[0].ports[0].switch: its buses 0x3 to 0x6 take in bus 0x5"},
        BadInput{
            "OverlappingDrives",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0": "0xF0000000"}},
                     {"bus": 2, "drive": {"vendor": 1, "device": 2, "bar0": "0xF0000000",
                                          "bar0_size": "0x8000"}}]})",
            "onboard[1].drive.bar0: 0xF0000000 to 0xF0007FFF overlaps onboard[0].drive.bar0 "
            "(0xF0000000 to 0xF0003FFF)"},
        BadInput{
            "DriveOverTheSwitchsBlocks",
            R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "bar0": "0xF7C00000",
                     "ports": [{"index": 0, "bus": 3, "drive": {"vendor": 1, "device": 1,
                                "bar0": "0xF7C10000"}}]}]})",
            "switches[0].ports[0].drive.bar0: 0xF7C10000 to 0xF7C13FFF overlaps "
            "switches[0].bar0"},
        BadInput{
            "DriveOverTheWindow",
            R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1, "bar0": "0xE0100000"}}]})",
            "onboard[0].drive.bar0: 0xE0100000 to 0xE0103FFF overlaps host_bridge.ecam"}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return p.param.name; });

TEST(Json, RamIsTheFirstTwoGiBUnlessTheDescriptionSaysOtherwise) {
    EXPECT_EQ(Fabric::FromJson("{}")->Ram().size(), 1u);
    EXPECT_EQ(Fabric::FromJson("{}")->Ram()[0].size, 0x80000000u);
    const char* low = R"({"onboard": [{"bus": 1, "drive": {"vendor": 1, "device": 1,
                        "bar0": "0x10000000"}}], "ram": RAM})";
    auto with = [&](const std::string& ram) {
        std::string text = low;
        text.replace(text.find("RAM"), 3, ram);
        return text;
    };
    EXPECT_NO_THROW(ParseFabricJson(with("[]")));
    EXPECT_NO_THROW(ParseFabricJson(with(R"([{"base": "0x100000000", "size": "0x80000000"}])")));
    EXPECT_THROW(ParseFabricJson(with(R"([{"base": "0x10000000", "size": "0x1000"}])")),
                 FabricError);
    // A server whose window the firmware tables place at 2 GiB, above its low RAM.
    const FabricDescription xeon = ParseFabricJson(
        R"({"host_bridge": {"device": "0x2020", "ecam": "0x01029005", "ecam_window": "0x80000000"}})");
    EXPECT_EQ(Fabric(xeon).EcamWindow(), 0x80000000u);
}

TEST(Json, TimesAreReadForSwitchesPortsAndDrivesAndAbsentOnesAreZero) {
    const FabricDescription d = ParseFabricJson(R"({
        "switches": [{"model": "8732", "bus": 1, "internal_bus": 2, "link_train_ms": 25,
                      "ports": [{"index": 0, "bus": 3, "link_train_ms": "0x40",
                                 "drive": {"vendor": 1, "device": 1, "ready_ms": 750}},
                                {"index": 1, "bus": 4, "drive": {"vendor": 1, "device": 2}}]},
                     {"model": "8732", "bus": 5, "internal_bus": 6}]})");
    EXPECT_EQ(d.switches[0].linkTrainMs, 25u);
    EXPECT_EQ(d.switches[0].ports[0].linkTrainMs, 64u);
    EXPECT_EQ(d.switches[0].ports[1].linkTrainMs, std::nullopt);
    EXPECT_EQ(d.switches[0].ports[0].drive->readyMs, 750u);
    EXPECT_EQ(d.switches[0].ports[1].drive->readyMs, 0u);
    EXPECT_EQ(d.switches[1].linkTrainMs, 0u);
    EXPECT_EQ(d.windows, std::nullopt);
}

TEST(Json, WindowsSaysWhereItsDisksAre) {
    const FabricDescription d =
        ParseFabricJson(R"({"windows": {"system": "0x0100", "page_files": [256, "0x0500"]}})");
    ASSERT_TRUE(d.windows.has_value());
    EXPECT_EQ(d.windows->system, 0x0100);
    EXPECT_EQ(d.windows->pageFiles, (std::vector<uint16_t>{0x0100, 0x0500}));
    const FabricDescription none = ParseFabricJson(R"({"windows": {}})");
    ASSERT_TRUE(none.windows.has_value());
    EXPECT_EQ(none.windows->system, std::nullopt);
    EXPECT_TRUE(none.windows->pageFiles.empty());
}

TEST(Examples, EveryExampleTakesItsTimeAsOnRealHardware) {
    for (const auto& entry : std::filesystem::directory_iterator(CORVAX_FABRICS_DIR)) {
        if (entry.path().extension() != ".json")
            continue;
        SCOPED_TRACE(entry.path().string());
        const FabricDescription d = LoadFabricFile(entry.path().string());
        std::set<unsigned> ready;
        for (const auto& sw : d.switches) {
            for (const auto& port : sw.ports) {
                const unsigned train = port.linkTrainMs.value_or(sw.linkTrainMs);
                EXPECT_GE(train, 10u);
                EXPECT_LE(train, 100u);  // within what a client assumes by default
                if (port.drive) {
                    EXPECT_GE(port.drive->readyMs, 100u);
                    EXPECT_LE(port.drive->readyMs, 900u);
                    ready.insert(port.drive->readyMs);
                }
            }
        }
        if (!d.switches.empty()) {
            EXPECT_GE(ready.size(), 2u);  // drives differ
        }
        EXPECT_TRUE(d.windows.has_value());
    }
}

TEST(Fabric, MappingsOfRamAreCountedAndRefused) {
    Fabric f(FabricBuilder().Ram({{0, 0x80000000}, {0x100000000ull, 0x40000000}}).Build());
    EXPECT_TRUE(f.RefuseRamMapping(0x1000, 0x1000));
    EXPECT_TRUE(f.RefuseRamMapping(0x7FFFF000, 0x2000));
    EXPECT_FALSE(f.RefuseRamMapping(0x80000000, 0x1000));
    EXPECT_FALSE(f.RefuseRamMapping(0xFFFFE000, 0x1000));
    EXPECT_TRUE(f.RefuseRamMapping(0xFFFFF000, 0x2000));
    EXPECT_FALSE(f.RefuseRamMapping(0x140000000ull, 0x1000));
    EXPECT_EQ(f.GetCounters().ramMappings, 3u);
}

TEST(Builder, RefusesWhatJsonRefuses) {
    EXPECT_THROW(FabricBuilder().Switch(SwitchModel::Plx8618, 1, 2).EmptyPort(12, 3).Build(),
                 FabricError);
    EXPECT_THROW(FabricBuilder().EmptyPort(0, 3), FabricError);
    EXPECT_THROW(Fabric(FabricDescription{{}, {}, {{0, DriveDescription{}}}, {}}), FabricError);
}

std::string ImageFile(const char* name) {
    return std::string(CORVAX_FABRICS_DIR) + "/images/" + name;
}

// Descriptions with images, each naming the key and the file of what is wrong.
TEST(Images, ErrorsNameTheKeyAndTheFile) {
    struct Case {
        std::string json;
        std::string message;
    };
    const std::string intel = ImageFile("nvme-8086-0953.txt");
    const Case cases[] = {
        {R"({"onboard": [{"bus": 1, "drive": {"image": "/nonexistent/drive.txt"}}]})",
         "onboard[0].drive.image: /nonexistent/drive.txt: cannot be read: No such file or "
         "directory"},
        {R"({"onboard": [{"bus": 1, "drive": {"image": ")" + ImageFile("README.md") + R"("}}]})",
         "onboard[0].drive.image: " + ImageFile("README.md") +
             ": holds 0 bytes of the 256-byte header"},
        {R"({"onboard": [{"bus": 1, "drive": {"image": ")" + intel +
             R"(", "msix_table": "0x2000"}}]})",
         "onboard[0].drive.msix_table: refused beside an image"},
        {R"({"onboard": [{"bus": 1, "drive": {"image": ")" + intel + R"(", "msix_vectors": 8}}]})",
         "onboard[0].drive.msix_vectors: refused beside an image"},
        {R"({"onboard": [{"bus": 1, "drive": {"image": ")" + ImageFile("nvme-144d-a826.txt") +
             R"("}}]})",
         "onboard[0].drive.bar0_size: the image's MSI-X table of 129 entries at 0x4000 does not "
         "fit in bar0_size 0x4000"},
        {R"({"switches": [{"model": "8748", "bus": 1, "internal_bus": 2, "image": ")" + intel +
             R"("}]})",
         "switches[0].image: a switch port's PCI Express capability lies at 0x68"},
        {R"({"host_bridge": {"image": ")" + ImageFile("hostbridge-8086-2020.txt") + R"("}})",
         "host_bridge.ecam: the configuration window at 0x0 lies in RAM"},
    };
    for (const Case& c : cases) {
        try {
            ParseFabricJson(c.json);
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const FabricError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << "\nwanted: " << c.message;
        }
    }
}

TEST(Images, KeysBesideAnImageOverrideIt) {
    const FabricDescription d = ParseFabricJson(
        R"({"onboard": [{"bus": 1, "drive": {"image": "images/nvme-8086-0953.txt",
              "device": "0a54", "bar0": "0x90000000", "max_payload": 512}}]})",
        CORVAX_FABRICS_DIR);
    const DriveDescription& drive = d.onboard.at(0).drive;
    EXPECT_EQ(drive.vendor, 0x8086);  // from the image
    EXPECT_EQ(drive.device, 0x0A54);  // the key, hexadecimal without 0x
    EXPECT_EQ(drive.bar0, 0x90000000u);
    EXPECT_EQ(drive.maxPayload, 512u);
    EXPECT_EQ(drive.msixTable, 0x2000u);  // the image's capability
    EXPECT_EQ(drive.msixVectors, 32u);
    Fabric f(d);
    EXPECT_EQ(f.PeekConfig(1, 0, 0, 0x00), 0x0A548086u);
    EXPECT_EQ(f.PeekConfig(1, 0, 0, 0x68) & 0xE0, 0x40u);
}

// Identifiers written as strings are hexadecimal, with or without "0x", as lspci prints them.
TEST(Json, IdentifierStringsAreHexadecimal) {
    const FabricDescription d = ParseFabricJson(
        R"({"host_bridge": {"vendor": "8086", "device": "3e0f"},
            "onboard": [{"bus": 1, "drive": {"vendor": "1F0A", "device": "0710"}},
                        {"bus": 2, "drive": {"vendor": "0x144d", "device": 43016}}]})");
    EXPECT_EQ(d.hostBridge.device, 0x3E0F);
    EXPECT_EQ(d.onboard.at(0).drive.vendor, 0x1F0A);
    EXPECT_EQ(d.onboard.at(0).drive.device, 0x0710);
    EXPECT_EQ(d.onboard.at(1).drive.vendor, 0x144D);
    EXPECT_EQ(d.onboard.at(1).drive.device, 43016);  // a JSON number stays as it is
    EXPECT_THROW(ParseFabricJson(R"({"onboard": [{"bus": 1, "drive": {"vendor": "1F0G",
                                     "device": 1}}]})"),
                 FabricError);
}

TEST(Json, AFolderOrAMissingFileSaysSo) {
    try {
        LoadFabricFile(CORVAX_FABRICS_DIR);
        FAIL();
    } catch (const FabricError& e) {
        EXPECT_EQ(std::string(e.what()),
                  std::string(CORVAX_FABRICS_DIR) + ": is a directory, not a description");
    }
    try {
        LoadFabricFile("/nonexistent/fabric.json");
        FAIL();
    } catch (const FabricError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "/nonexistent/fabric.json: cannot be opened: No such file or directory");
    }
}

}  // namespace
}  // namespace sim
