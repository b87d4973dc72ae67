// What a new user tripped on, each held by what the user sees: the exit code and the line that
// tells what happened or what to do.
#include <gtest/gtest.h>

#include "driver/topology/registry.h"
#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {
namespace {

using namespace testing_run;

struct Seen {
    const char* name;
    std::vector<std::string> args;
    std::string script;  // standard input, for "script -"
    int code;
    std::string out;  // a line standard output must hold ("" for none)
    std::string err;  // a line standard error must hold ("" for none)
};

class WhatTheUserSees : public ::testing::TestWithParam<Seen> {};

TEST_P(WhatTheUserSees, SaysWhatHappened) {
    const Seen& c = GetParam();
    const Outcome o = Ctl(c.args, c.script);
    EXPECT_EQ(o.code, c.code) << o.out << o.err;
    const std::vector<std::string> out = o.OutLines(), err = o.ErrLines();
    if (!c.out.empty()) {
        EXPECT_NE(std::find(out.begin(), out.end(), c.out), out.end()) << o.out;
    }
    if (!c.err.empty()) {
        EXPECT_NE(std::find(err.begin(), err.end(), c.err), err.end()) << o.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WhatTheUserSees,
    ::testing::Values(
        Seen{"Version",
             {"--version"},
             "",
             kExitOk,
             "corvaxctl 2.0.1.20 (for the Corvax driver of the same version; `corvaxctl version` "
             "asks the driver)",
             ""},
        Seen{"AMistypedCommand",
             {"enabel"},
             "",
             kExitUsage,
             "",
             "corvaxctl: unknown command 'enabel'; did you mean 'enable'? (see corvaxctl --help)"},
        Seen{"AMistypedSimAction",
             {"sim", "downtrian", "0:3", "2.5", "1"},
             "",
             kExitUsage,
             "",
             "corvaxctl: unknown command 'sim downtrian'; did you mean 'sim downtrain'? (see "
             "corvaxctl --help)"},
        Seen{"NothingNearIsNoGuess",
             {"frobnicate"},
             "",
             kExitUsage,
             "",
             "corvaxctl: unknown command 'frobnicate' (see corvaxctl --help)"},
        Seen{"AMistypedScriptLine",
             {"script", "-"},
             "disable\ncycel\n",
             kExitUsage,
             "",
             "corvaxctl: stdin line 2: unknown command 'cycel'; did you mean 'cycle'?"},
        Seen{"LedBySlot",
             {"led", "0:3", "blink"},
             "",
             kExitOk,
             "led 08:00.0 (slot 0:3) 2: STATUS_SUCCESS (0x00000000)",
             ""},
        Seen{"LedOfAnEmptySlot",
             {"led", "0:5", "on"},
             "",
             kExitOk,
             "led 0a:00.0 (slot 0:5) 1: STATUS_SUCCESS (0x00000000)",
             ""},
        Seen{"LedOfAnAddressInNoSlot",
             {"led", "01:00.0", "on"},
             "",
             kExitUsage,
             "",
             "corvaxctl: 01:00.0 is in no slot of a registered switch, so it has no slot LED "
             "(led S:P names a slot by the switch and slot numbers of `table`)"},
        Seen{"LedOfASlotTheSwitchLacks",
             {"led", "0:9", "on"},
             "",
             kExitUsage,
             "",
             "corvaxctl: switch 0 (PEX 8748) has no slot 9"},
        Seen{"SetIdsNamesWhatItLeavesOut",
             {"set-ids", "1f0a", "8086", "144d"},
             "",
             kExitOk,
             "set-ids (3 vendors): STATUS_SUCCESS (0x00000000)",
             "corvaxctl: warning: set-ids: 09:00.0 (1344:51a2, slot 0:4) is no longer of an "
             "accepted vendor: a link cycle now leaves it without its memory address (name 1344 "
             "among the vendors to keep it)"},
        Seen{"SetIdsNamesWhatItTakesIn",
             {"set-ids", "1f0a", "8086", "1344", "c0a9", "1cc4", "144d", "1cb0", "1db2", "1cc1",
              "1e81", "1d79", "1b4b"},
             "",
             kExitOk,
             "",
             "corvaxctl: set-ids: 07:00.0 (1b4b:1092) is of an accepted vendor now; run update "
             "before the next cycle so that its configuration is saved and restored"},
        Seen{"IdsShowsTheDefaultList",
             {"ids"},
             "",
             kExitOk,
             "accepted vendors (the driver's default list; a set-ids since the driver started "
             "replaces it, and the driver cannot be asked for it): 1f0a 8086 1344 c0a9 1cc4 "
             "144d 1cb0 1db2 1cc1 1e81 1d79",
             ""},
        Seen{"IdsAfterSetIds",
             {"script", "-"},
             "set-ids 1f0a 1b4b\nids\n",
             kExitOk,
             "accepted vendors (as set-ids gave them in this run): 1f0a 1b4b",
             ""},
        Seen{"IdsSaysWhatTheDriverAcceptsNow",
             {"ids"},
             "",
             kExitOk,
             "07:00.0  1b4b:1092  0 PEX 8748  2     no (unlisted-vendor)",
             ""},
        Seen{"ANewDriveWithoutMemory",
             {"hotswap", "insert", "0:5", "1f0a:0710", "--expect", "0:5"},
             "",
             kExitOk,
             "0a:00.0 (slot 0:5) is a new drive without a memory address: the driver restores "
             "only what it saved at the last update. Let Windows give it one (tolvane rescan), "
             "then run corvaxctl update, so that the next cycles restore it",
             ""},
        Seen{"TheLoadOnlyWhenAskedFor",
             {"--load-event", "count"},
             "",
             kExitOk,
             "load: Workstation with one PEX 8748 and an on-board drive (built-in): "
             "STATUS_SUCCESS (0x00000000); PEX 8748 at 03:00.0: switch 0; 1 on-board drive",
             ""}),
    [](const ::testing::TestParamInfo<Seen>& p) { return std::string(p.param.name); });

// What `ids` calls the driver's default list is the driver's.
TEST(Ids, TheDefaultListIsTheDriversOwn) {
    std::vector<uint32_t> driver;
    for (uint32_t id : corvax::DefaultDeviceIdList) {
        if (id == 0) {
            break;
        }
        driver.push_back(id);
    }
    EXPECT_EQ(DefaultVendorList(), driver);
    // And what the table flags agrees with it: a drive of each listed vendor is accepted.
    const Json ids = Ctl({"--json", "ids"}).Command("ids");
    EXPECT_EQ(ids["source"], "default");
    for (const Json& d : ids["drives"]) {
        const uint32_t vendor = std::stoul(d["vendor"].get<std::string>(), nullptr, 16);
        const bool listed = std::find(driver.begin(), driver.end(), vendor) != driver.end();
        EXPECT_EQ(d["accepted"], listed) << d.dump();
    }
}

// A description whose port image has its slot powered off loads with a warning that says why
// the table is empty, and the key that powers the slot.
TEST(Description, APortImageWithoutPowerIsNamed) {
    const std::string fabric = FabricFile("port-off.json", std::string(R"({"switches": [
        {"model": "8748", "bus": 3, "internal_bus": 4,
         "port_image": ")") + Example("images/plx8749-downstream.txt") +
                                                               R"(", "ports": [
          {"index": 0, "bus": 5, "drive": {"vendor": "0x1F0A", "device": "0x0710",
                                           "bar0": "0x9C000000"}},
          {"index": 1, "bus": 6, "slot_control": "0x01C0",
           "drive": {"vendor": "0x1F0A", "device": "0x0710", "bar0": "0x9C100000"}},
          {"index": 2, "bus": 7}]}]})");
    const Outcome o = Ctl({"--fabric", fabric, "table"});
    EXPECT_EQ(o.code, kExitOk);
    EXPECT_EQ(o.ErrLines(),
              std::vector<std::string>{
                  "corvaxctl: warning: switches[0]: slot power is off in the Slot Control (0x07c0, "
                  "as in " +
                  Example("images/plx8749-downstream.txt") +
                  ") of port 0, so the drives described behind them are off the bus and no scan "
                  "finds them; \"slot_control\": \"0x01c0\" on a port powers its slot"});
    // The powered port's drive is there; the other one is not.
    EXPECT_NE(o.out.find("06:00.0"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("05:00.0"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace corvaxctl
