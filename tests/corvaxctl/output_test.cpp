// One way to read the output: one numbering of switches and slots everywhere, the JSON's own
// rules (nulls where a key does not apply, the driver's log one print per entry, error objects),
// a line where a request did nothing, what corvaxctl says about the description it loads, and
// the MSI-X table sizes it can see.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/decode.h"

namespace corvaxctl {
namespace {

using namespace testing_run;

// ---- one numbering ----

class EveryExampleWithSwitches : public ::testing::TestWithParam<std::string> {};

// Pulling each drive by the switch and slot the table gives takes exactly that drive away.
TEST_P(EveryExampleWithSwitches, TheTableNumbersSlotsAsTheEventsTakeThem) {
    const std::string fabric = Example(GetParam());
    const Json table = Ctl({"--fabric", fabric, "--json", "table"}).Command("table");
    std::vector<std::pair<std::string, std::string>> behind;  // bdf, "S:P"
    for (const Json& d : table["drives"]) {
        if (!d["switch"].is_null()) {
            behind.push_back({d["bdf"], std::to_string(d["switch"].get<int>()) + ":" +
                                            std::to_string(d["slot"].get<int>())});
        }
    }
    ASSERT_FALSE(behind.empty());
    std::string script;
    for (const auto& [bdf, place] : behind) {
        script += "sim pull " + place + "\nrescan\ntable\n";
    }
    const Outcome o = Ctl({"--fabric", fabric, "--json", "script", "-"}, script);
    ASSERT_EQ(o.code, kExitOk) << o.err;
    size_t pulled = 0;
    for (const Json& j : o.Objects()) {
        if (j.value("command", "") != "table") {
            continue;
        }
        ++pulled;
        const std::map<std::string, Json> now = DrivesOf(j);
        for (size_t i = 0; i < behind.size(); ++i) {
            EXPECT_EQ(now.count(behind[i].first), i < pulled ? 0u : 1u)
                << behind[i].first << " after pulling " << pulled << " drives";
        }
    }
    EXPECT_EQ(pulled, behind.size());
}

// The wait, the switch records and the load event number a slot as the table does.
TEST_P(EveryExampleWithSwitches, EverySwitchKeyMeansTheSameSwitch) {
    const Outcome o =
        Ctl({"--fabric", Example(GetParam()), "--json", "--load-event", "script", "-"},
            "table\nswitches\nwait\n");
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const Json table = o.Command("table"), switches = o.Command("switches");
    const Json wait = o.Command("wait"), load = o.Objects()[0];
    std::map<std::string, std::pair<int, int>> placed;  // drive bdf -> switch, slot
    for (const Json& d : table["drives"]) {
        if (!d["switch"].is_null()) {
            placed[d["bdf"]] = {d["switch"], d["slot"]};
        }
    }
    std::map<std::string, int> upstream;  // switch bdf -> number
    for (const Json& s : switches["switches"]) {
        upstream[s["bdf"]] = s["switch"];
        for (const Json& slot : s["original_slots"]) {
            if (slot["present"]) {
                EXPECT_EQ(placed.at(slot["bdf"]),
                          std::make_pair(s["switch"].get<int>(), slot["slot"].get<int>()))
                    << slot.dump();
            }
        }
    }
    for (const Json& s : wait["wait"]["slots"]) {
        EXPECT_EQ(placed.at(s["bdf"]), std::make_pair(s["switch"].get<int>(), s["slot"].get<int>()))
            << s.dump();
    }
    for (const Json& s : load["switches"]) {
        EXPECT_EQ(s["switch"], upstream.at(s["bdf"])) << s.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, EveryExampleWithSwitches,
                         ::testing::ValuesIn(testing_run::ExampleNames()),
                         testing_run::ExampleTestName);

// A description that lists its switches out of bus order: the driver numbers them by bus, and
// so does every command, the simulated events included.
const char kOutOfOrder[] = R"({"windows": {"system": "0x0100"}, "switches": [
    {"model": "8732", "bus": 64, "internal_bus": 65, "ports": [
      {"index": 0, "bus": 66, "drive": {"vendor": "0x1F0A", "device": "0x0710",
                                        "bar0": "0x9C100000"}}]},
    {"model": "8732", "bus": 2, "internal_bus": 3, "ports": [
      {"index": 0, "bus": 4, "drive": {"vendor": "0x8086", "device": "0x0A54",
                                       "bar0": "0x9C000000"}},
      {"index": 1, "bus": 5}]}]})";

TEST(OneNumbering, TheDriversOrderWhateverTheDescriptionsIs) {
    const std::string fabric = FabricFile("out-of-order.json", kOutOfOrder);
    const Outcome o = Ctl({"--fabric", fabric, "--json", "--load-event", "script", "-"},
                          "table\nsim pull 0:0\nrescan\ntable\n");
    ASSERT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(o.Objects()[0]["switches"],
              Json::parse(R"([{"model": "PEX 8732", "pfa": "0x4000", "bdf": "40:00.0",
                                "switch": 1},
                               {"model": "PEX 8732", "pfa": "0x0200", "bdf": "02:00.0",
                                "switch": 0}])"));
    EXPECT_EQ(DrivesOf(o.Objects()[1]).at("04:00.0")["switch"], 0);
    EXPECT_EQ(DrivesOf(o.Objects()[1]).at("42:00.0")["switch"], 1);
    // Switch 0 is the one on bus 2: its drive is the one pulled.
    EXPECT_EQ(o.Objects()[2]["switch"], 0);
    const std::map<std::string, Json> after = DrivesOf(o.Objects().back());
    EXPECT_EQ(after.count("04:00.0"), 0u);
    EXPECT_EQ(after.count("42:00.0"), 1u);
    // What the machine refuses names the switch the same way.
    const Outcome refused = Ctl({"--fabric", fabric, "sim", "pull", "0:1"});
    EXPECT_EQ(refused.code, kExitUsage);
    EXPECT_EQ(refused.ErrLines(),
              std::vector<std::string>{"corvaxctl: no drive to pull at switch 0 slot 1"});
}

// ---- the JSON's own rules ----

TEST(Json, TheLogHasOneEntryPerPrintAsTheDriverMadeIt) {
    const Outcome o = Ctl({"--json", "--log", "disable"});
    std::vector<std::string> ports;
    const Json disable = o.Command("disable");
    for (const Json& entry : disable["log"]) {
        const std::string text = entry;
        if (text.rfind("Corvax2 : Disable port", 0) == 0) {
            ports.push_back(text);
        }
    }
    // Eight ports, from 7 down to 0, each its own print without a line feed.
    ASSERT_EQ(ports.size(), 8u);
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(
            ports[i].rfind("Corvax2 : Disable port" + std::to_string(7 - i) + " PCIe link(0x", 0),
            0u)
            << ports[i];
        EXPECT_EQ(ports[i].back(), ')') << ports[i];
    }
    // Standard error shows each on its own line too.
    const Outcome text = Ctl({"--log", "disable"});
    size_t lines = 0;
    for (const std::string& line : text.ErrLines()) {
        if (line.rfind("Corvax2 : Disable port", 0) == 0) {
            ++lines;
            EXPECT_EQ(line.find("Corvax2", 1), std::string::npos) << line;
        }
    }
    EXPECT_EQ(lines, 8u);
}

TEST(Json, AFailedRunEndsWithAnErrorObject) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--json", "--fabric", "/nonexistent/machine.json", "table"},
         "cannot read fabric file '/nonexistent/machine.json': No such file or directory"},
        {{"--json", "led", "05:00.0", "brighter"},
         "bad LED TYPE 'brighter': 0-3, or on, blink, off"},
        {{"--json", "bogus"}, "unknown command 'bogus'"},
        {{"--json", "wait", "--expect", "0:9"}, "switch 0 (PEX 8748) has no slot 9"},
    };
    for (const auto& c : cases) {
        const Outcome o = Ctl(c.args);
        EXPECT_EQ(o.code, kExitUsage);
        const std::vector<Json> objects = o.Objects();
        ASSERT_FALSE(objects.empty()) << c.message;
        EXPECT_EQ(objects.back(),
                  Json({{"event", "error"}, {"message", c.message}, {"exit_code", 2}}));
        EXPECT_EQ(o.ErrLines().size(), 1u) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

TEST(Json, HexIsLowerCaseAndAsWideAsTheField) {
    EXPECT_EQ(JsonHex(0x0B00, 4), "0x0b00");
    EXPECT_EQ(JsonHex(0xC0000229u, 8), "0xc0000229");
    EXPECT_EQ(JsonHex(0xF7000000u, 16), "0x00000000f7000000");
    EXPECT_EQ(JsonHex(0x80, 2), "0x80");
    const Json drive = Ctl({"--json", "table"}).Command("table")["drives"][5];
    EXPECT_EQ(drive["pfa"], "0x0b00");
    EXPECT_EQ(drive["bdf"], "0b:00.0");
    EXPECT_EQ(drive["vendor"], "0x1cc4");
}

TEST(Json, AnEmptySlotHasNoAddress) {
    const Json s = Ctl({"--json", "switches"}).Command("switches")["switches"][0];
    const Json empty = s["original_slots"][5];
    EXPECT_EQ(empty, Json::parse(R"({"slot": 5, "fg_status": "0x00", "present": false,
        "port": 17, "mps": 256, "pfa": null, "bdf": null, "id": null, "bar0": null})"));
    EXPECT_EQ(s["original_slots"][0]["bar0"], "0x00000000f7000000");  // the same key as config
}

// ---- a request that did nothing says so ----

struct Nothing {
    const char* name;
    const char* fabric;  // example file; "" for the built-in machine, "none" for no switch
    std::vector<std::string> args;
    std::string line;  // the text line saying so; "" when the request did something
};

class DidNothing : public ::testing::TestWithParam<Nothing> {};

TEST_P(DidNothing, SaysSoInOneLineAndKeepsStatusAndExitCode) {
    const Nothing& c = GetParam();
    std::vector<std::string> base;
    if (std::string(c.fabric) == "none") {
        base = {"--fabric", FabricFile("no-switch.json",
                                       R"({"onboard": [{"bus": 1, "drive": {"vendor": "0x144D",
                                           "device": "0xA808", "bar0": "0xF7F00000"}}]})")};
    } else if (*c.fabric) {
        base = {"--fabric", Example(c.fabric)};
    }
    std::vector<std::string> text = base, json = base;
    text.insert(text.end(), c.args.begin(), c.args.end());
    json.push_back("--json");
    json.insert(json.end(), c.args.begin(), c.args.end());

    const Outcome t = Ctl(text);
    EXPECT_EQ(t.code, kExitOk) << t.err;
    const std::vector<std::string> lines = t.OutLines();
    const bool said = std::find(lines.begin(), lines.end(), c.line) != lines.end();
    if (c.line.empty()) {
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("nothing "), std::string::npos) << line;
        }
    } else {
        EXPECT_TRUE(said) << t.out;
    }

    const Json j = Ctl(json).Objects().back();
    EXPECT_EQ(j["status"], "0x00000000");
    if (c.line.empty()) {
        EXPECT_FALSE(j.contains("did_nothing")) << j.dump();
    } else {
        // The same reason as the line, after "command: nothing changed|read: ".
        const size_t reason = c.line.find(": ", c.line.find(": ") + 2) + 2;
        EXPECT_EQ(j["did_nothing"], c.line.substr(reason)) << j.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DidNothing,
    ::testing::Values(
        Nothing{"LedOfADriveInASlot", "", {"led", "05:00.0", "on"}, ""},
        Nothing{"LedOfASlot", "", {"led", "0:5", "on"}, ""},
        Nothing{"LedAllOnA8748",
                "",
                {"led-all"},
                "led-all: nothing changed: the request sets the indicators of a PEX 8618 or 8732; "
                "the PEX 8748's are left alone"},
        Nothing{"LedAllOnA8732", "two-plx8732.json", {"led-all"}, ""},
        Nothing{"LedAllWithoutASwitch",
                "none",
                {"led-all"},
                "led-all: nothing changed: no switch is registered"},
        Nothing{"BitmapOfA8748",
                "",
                {"bitmap"},
                "bitmap: nothing read: the PEX 8748 keeps no port bitmap; `table` after `rescan` "
                "shows which drives answer"},
        Nothing{"BitmapOfA8618", "plx8618.json", {"bitmap"}, ""},
        Nothing{"BitmapWithoutASwitch",
                "none",
                {"bitmap"},
                "bitmap: nothing read: no switch is registered"},
        Nothing{"ConfigOfAnOnBoardDrive",
                "",
                {"config", "01:00.0"},
                "config: nothing read: 01:00.0 is an on-board drive: the driver reads the header "
                "only of drives behind a switch"},
        Nothing{"ConfigOfNoDrive",
                "",
                {"config", "7f:1f.7"},
                "config: nothing read: 7f:1f.7 is no drive the driver recorded behind a switch"},
        Nothing{"ConfigOfADriveInASlot", "", {"config", "05:00.0"}, ""}),
    [](const ::testing::TestParamInfo<Nothing>& p) { return std::string(p.param.name); });

TEST(DidNothing, TheRequestIsStillSent) {
    // A bitmap of a 8748 is the driver's answer, not made up: three zero words.
    const Json b = Ctl({"--json", "bitmap"}).Command("bitmap");
    EXPECT_EQ(b["output"], "000000000000000000000000");
    const Outcome rows = Ctl({"bitmap"});
    EXPECT_EQ(rows.OutLines().at(0),
              "switch 0:  0x00000000  none kept: the PEX 8748 has no port bitmap");
}

// ---- the description corvaxctl loads ----

// A description or a script that cannot be read: one line saying why, and nothing run.
TEST(Description, AFileThatCannotBeReadSaysWhy) {
    const std::string folder = ::testing::TempDir();
    const std::string missing = "': No such file or directory",
                      isFolder = "': it is a folder, not a file";
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"--fabric", "/nonexistent/machine.json", "table"},
         "cannot read fabric file '/nonexistent/machine.json" + missing},
        {{"--fabric", folder, "table"}, "cannot read fabric file '" + folder + isFolder},
        {{"script", "/nonexistent/commands.txt"},
         "cannot read script '/nonexistent/commands.txt" + missing},
        {{"script", folder}, "cannot read script '" + folder + isFolder},
    };
    for (const auto& c : cases) {
        const Outcome o = Ctl(c.args);
        EXPECT_EQ(o.code, kExitUsage) << c.line;
        EXPECT_EQ(o.out, "") << c.line;
        EXPECT_EQ(o.ErrLines(), std::vector<std::string>{"corvaxctl: " + c.line});
    }
}

struct Unregistered {
    const char* name;
    std::string fabric;
    std::vector<Json> numbers;  // the switch number of each described switch, or null
    std::string line;
};

class SwitchesTheDriverLeaves : public ::testing::TestWithParam<Unregistered> {};

TEST_P(SwitchesTheDriverLeaves, AreNamedAtLoad) {
    const Unregistered& c = GetParam();
    const std::string fabric = FabricFile(std::string(c.name) + ".json", c.fabric);
    const Outcome o = Ctl({"--fabric", fabric, "--json", "--load-event", "count"});
    EXPECT_EQ(o.code, kExitOk);
    std::vector<Json> numbers;
    const Json load = o.Objects()[0];
    for (const Json& s : load["switches"]) {
        numbers.push_back(s["switch"]);
    }
    EXPECT_EQ(numbers, c.numbers);
    EXPECT_EQ(o.ErrLines(), std::vector<std::string>{c.line});
    // The same line without JSON, once.
    EXPECT_EQ(Ctl({"--fabric", fabric, "count"}).ErrLines(), std::vector<std::string>{c.line});
}

std::string Switch(const char* model, int bus) {
    return std::string(R"({"model": ")") + model + R"(", "bus": )" + std::to_string(bus) +
           R"(, "internal_bus": )" + std::to_string(bus + 1) + R"(, "ports": [{"index": 0,
           "bus": )" +
           std::to_string(bus + 2) + "}]}";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SwitchesTheDriverLeaves,
    ::testing::Values(
        Unregistered{"FourSwitches",
                     R"({"switches": [)" + Switch("8732", 2) + "," + Switch("8732", 10) + "," +
                         Switch("8732", 20) + "," + Switch("8732", 30) + "]}",
                     {0, 1, 2, nullptr},
                     "corvaxctl: warning: the driver registered 3 of the description's 4 "
                     "switches, not the PEX 8732 at 1e:00.0 (it takes at most three, of one "
                     "family, on buses 1 to 64)"},
        Unregistered{"TwoFamilies",
                     R"({"switches": [)" + Switch("8732", 20) + "," + Switch("8748", 2) + "]}",
                     {nullptr, 0},
                     "corvaxctl: warning: the driver registered 1 of the description's 2 "
                     "switches, not the PEX 8732 at 14:00.0 (it takes at most three, of one "
                     "family, on buses 1 to 64)"}),
    [](const ::testing::TestParamInfo<Unregistered>& p) { return std::string(p.param.name); });

// ---- MSI-X tables beyond what the driver keeps ----

TEST(Msix, ConfigShowsTheTableSize) {
    const struct {
        const char* pfa;
        Json vectors;
        Json table;
        const char* line;  // "" for none
    } cases[] = {
        {"06:00.0", 129, "0x00002000",
         "  [b0] MSI-X: 129 vectors, Enable+ Masked-; table at 0x2000 in BAR0, PBA at 0x3000 in "
         "BAR0"},
        {"08:00.0", 64, "0x00003000",
         "  [b0] MSI-X: 64 vectors, Enable+ Masked-; table at 0x3000 in BAR0, PBA at 0x4000 in "
         "BAR0"},
        {"07:00.0", 16, "0x00003000",
         "  [b0] MSI-X: 16 vectors, Enable+ Masked-; table at 0x3000 in BAR0, PBA at 0x3100 in "
         "BAR0"},
    };
    for (const auto& c : cases) {
        const Json j = Ctl({"--json", "config", c.pfa}).Command("config");
        EXPECT_EQ(j["msix_vectors"], c.vectors) << c.pfa;
        EXPECT_EQ(j["msix_table"], c.table) << c.pfa;
        EXPECT_EQ(j["msix"]["vectors"], c.vectors) << c.pfa;
        const std::vector<std::string> lines = Ctl({"config", c.pfa}).OutLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.pfa;
    }
    // A drive fresh from the shelf has no MSI-X capability at all.
    const Outcome fresh = Ctl({"--json", "script", "-"},
                              "sim replace 0:1 1f0a:0710\nsim wait 1000\nconfig 06:00.0\n");
    EXPECT_EQ(fresh.Command("config")["msix_vectors"], nullptr);
    EXPECT_EQ(fresh.Command("config")["msix_table"], nullptr);
}

TEST(Msix, TheDrivesWithMoreThanTheDriverKeepsGetOneLineOnceWithWhatHelps) {
    // Two cycles in one run: the line comes once, after the first.
    const Outcome o = Ctl({"script", "-"}, "hotswap pull 0:4\nhotswap\n");
    ASSERT_EQ(o.code, kExitOk) << o.err;
    std::vector<std::string> msix;
    for (const std::string& line : o.OutLines()) {
        if (line.find("MSI-X") != std::string::npos) {
            msix.push_back(line);
        }
    }
    EXPECT_EQ(msix,
              std::vector<std::string>{
                  "MSI-X: the driver restores at most 16 vectors of a drive; 05:00.0 has 32, "
                  "06:00.0 has 129, 08:00.0 has 64, 0b:00.0 has 32, 0c:00.0 has 32: each gets "
                  "the rest back when its device is restarted (on Windows, with the tool "
                  "beside corvaxctl: tolvane chgproperty PCI:0500, and so for each)"});

    // On real layouts: a Samsung drive's table of 129 entries at 16 KiB.
    const Outcome replaced = Ctl(
        {"--fabric", Example("workstation-images.json"), "hotswap", "replace", "0:3", "144d:a826"});
    ASSERT_EQ(replaced.code, kExitOk) << replaced.err;
    EXPECT_NE(replaced.out.find("; 05:00.0 has 129, 06:00.0 has 32, 09:00.0 has 129,"),
              std::string::npos)
        << replaced.out;

    const std::map<std::string, Json> drives =
        DrivesOf(Ctl({"--json", "hotswap", "pull", "0:4"}).Command("hotswap"));
    EXPECT_EQ(drives.at("06:00.0")["msix"], Json::parse(R"({"vectors": 129,
                                                              "restored_at_most": 16})"));
    EXPECT_EQ(drives.at("07:00.0")["msix"], nullptr);  // not restored: of an unlisted vendor
    EXPECT_EQ(drives.at("09:00.0")["msix"], nullptr);  // pulled
    EXPECT_EQ(drives.at("01:00.0")["msix"], nullptr);  // on board: its link was never cut
}

TEST(Msix, ATableTheDriverKeepsWholeGetsNoLine) {
    const std::string fabric = FabricFile("small-table.json", R"({"windows": {"system": "0x0100"},
        "switches": [{"model": "8732", "bus": 2, "internal_bus": 3, "ports": [
          {"index": 0, "bus": 4, "drive": {"vendor": "0x1F0A", "device": "0x0710",
           "bar0": "0x9C000000", "msix_table": "0x2000", "msix_vectors": 16}}]}]})");
    const Outcome o = Ctl({"--fabric", fabric, "hotswap"});
    EXPECT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(o.out.find("MSI-X"), std::string::npos) << o.out;
    const Json drive =
        Ctl({"--fabric", fabric, "--json", "hotswap"}).Command("hotswap")["drives"][0];
    EXPECT_EQ(drive["change"], "restored");
    EXPECT_EQ(drive["msix"], Json::parse(R"({"vectors": 16, "restored_at_most": 16})"));
}

}  // namespace
}  // namespace corvaxctl
