// corvaxctl against what real machines do: every example cycles without breaking a rule of
// PCI Express, whether its root port makes "not yet" answers visible or not; a drive still
// starting is waited for; a switch in a slot is named before any link is cut.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/settle.h"

namespace corvaxctl {
namespace {

using testing_run::Ctl;
using testing_run::Example;
using testing_run::Json;
using testing_run::Outcome;

// The example with CRS Software Visibility on at its root port, its images named by their
// whole path so that the copy loads from anywhere.
std::string WithCrsVisibility(const std::string& name) {
    std::ifstream in(Example(name));
    Json j = Json::parse(in);
    j["host_bridge"]["crs_visibility"] = true;
    const std::function<void(Json&)> absolute = [&](Json& node) {
        if (node.is_array()) {
            for (Json& element : node) {
                absolute(element);
            }
            return;
        }
        if (!node.is_object()) {
            return;
        }
        for (auto it = node.begin(); it != node.end(); ++it) {
            if ((it.key() == "image" || it.key() == "port_image") && it->is_string()) {
                *it = Example(it->get<std::string>());
            } else if (it->is_structured()) {
                absolute(*it);
            }
        }
    };
    absolute(j);
    return testing_run::FabricFile("crs-" + name, j.dump());
}

class TypicalCycle : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(TypicalCycle, BreaksNoRuleAndRestoresEveryListedDrive) {
    const auto& [name, crs] = GetParam();
    const std::string fabric = crs ? WithCrsVisibility(name) : Example(name);
    const Outcome o = Ctl({"--fabric", fabric, "--json", "--stats", "hotswap"});
    EXPECT_EQ(o.code, 0) << o.err;
    const Json hotswap = o.Command("hotswap");
    ASSERT_TRUE(hotswap.is_object()) << o.out;
    for (const char* counter : {"slot_command_overrun", "slot_power_short", "mps_over_capability",
                                "stray_writes", "early_config", "ram_mappings"}) {
        EXPECT_EQ(hotswap["stats"][counter], 0) << counter;
    }
    for (const Json& d : hotswap["drives"]) {
        if (d["switch"].is_null()) {
            continue;  // on board: never cut
        }
        const bool listed =
            std::find(d["flags"].begin(), d["flags"].end(), "unlisted-vendor") == d["flags"].end();
        EXPECT_EQ(d["change"], listed ? "restored" : "memory-lost,unlisted-vendor") << d["bdf"];
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, TypicalCycle,
                         ::testing::Combine(::testing::ValuesIn(testing_run::ExampleNames()),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<std::string, bool>>& p) {
                             std::string name =
                                 std::get<0>(p.param).substr(0, std::get<0>(p.param).find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name + (std::get<1>(p.param) ? "_crs" : "");
                         });

// ---- "not yet" ----

struct AnswerCase {
    const char* name;
    uint32_t dword0;
    bool answered;
};

class Answered : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answered, OnlyAFunctionThatIsThereAndReady) {
    Reply r;
    r.information = CORVAX_CONFIG_SIZE;
    r.output.assign(CORVAX_CONFIG_SIZE, 0xFF);
    std::memcpy(r.output.data(), &GetParam().dword0, 4);
    uint32_t id = 0;
    EXPECT_EQ(FunctionAnswered(r, &id), GetParam().answered);
}

INSTANTIATE_TEST_SUITE_P(Dwords, Answered,
                         ::testing::Values(AnswerCase{"Nothing", 0xFFFFFFFF, false},
                                           AnswerCase{"StillStarting", 0xFFFF0001, false},
                                           AnswerCase{"StillStartingWord", 0x00000001, false},
                                           AnswerCase{"IntelDeviceOne", 0x00018086, true},
                                           AnswerCase{"Samsung", 0xA826144D, true}),
                         [](const ::testing::TestParamInfo<AnswerCase>& p) {
                             return std::string(p.param.name);
                         });

// ---- a switch in a slot ----

std::string SwitchInSlot() {
    return std::string(CORVAX_SOURCE_DIR) + "/tests/corvaxctl/fabrics/switch-in-slot.json";
}

constexpr char kNamed[] = "slot 0:3 (08:00.0, 10b5:8748) holds a switch, buses 08 to 0b";

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // the command alone
    std::string script;             // the same in a script, which goes on after the refusal
};

class SlotWithASwitch : public ::testing::TestWithParam<RefusalCase> {};

// Named before any link is cut, and nothing cut: the slot's link is still up afterwards.
TEST_P(SlotWithASwitch, IsNamedAndNothingIsCutWithoutForce) {
    const RefusalCase& c = GetParam();
    std::vector<std::string> args = {"--fabric", SwitchInSlot()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome alone = Ctl(args);
    EXPECT_EQ(alone.code, 2);
    EXPECT_EQ(alone.err, std::string("corvaxctl: ") + kNamed +
                             ": cutting a link resets the switch behind it and every drive it "
                             "holds, and only the system's enumeration brings them back (--force "
                             "cuts the links anyway)\n");

    // The slot's port: internal bus 4, device 11; Link Control with Link Disable in bit 4.
    const Outcome scripted =
        Ctl({"--fabric", SwitchInSlot(), "script", "-"}, c.script + "sim read 04:0b.0 78\n");
    EXPECT_EQ(scripted.code, 2);
    EXPECT_NE(scripted.err.find(std::string("stdin line 1: ") + kNamed), std::string::npos);
    const size_t at = scripted.out.find("offset 0x078: ");
    ASSERT_NE(at, std::string::npos) << scripted.out;
    EXPECT_EQ(std::stoul(scripted.out.substr(at + 14, 10), nullptr, 16) & 0x10, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SlotWithASwitch,
    ::testing::Values(RefusalCase{"Hotswap", {"hotswap"}, "hotswap\n"},
                      RefusalCase{"Disable", {"disable"}, "disable\nenable\n"}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST(SlotWithASwitch, ForcedTheUpperDrivesComeBackAndWhatStayedDownIsNamed) {
    const Outcome o = Ctl({"--fabric", SwitchInSlot(), "--json", "hotswap", "--force"});
    EXPECT_EQ(o.code, 1);  // the switch's drives never answered
    EXPECT_NE(o.err.find(std::string("warning: --force: ") + kNamed), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("the switch in slot 0:3 (08:00.0, 10b5:8748) came back from the reset "
                         "with bus numbers 00 to 00: the drives behind it (buses 09 to 0b) stay "
                         "down until the system enumerates them again"),
              std::string::npos)
        << o.err;
    const std::map<std::string, Json> drives = testing_run::DrivesOf(o.Command("hotswap"));
    EXPECT_EQ(drives.at("05:00.0")["change"], "restored");
    EXPECT_EQ(drives.at("06:00.0")["change"], "restored");
    EXPECT_EQ(drives.at("0a:00.0")["change"], "lost");
    EXPECT_EQ(drives.at("0b:00.0")["change"], "lost");
}

}  // namespace
}  // namespace corvaxctl
