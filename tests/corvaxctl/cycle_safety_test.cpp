// What can hurt a machine: a script with a bad line runs nothing; a refused line or event does not
// leave the links cut; the drives a cycle leaves without memory are named before it and shown
// after it; a downstream port the switch does not have is no failure, a stuck one is named.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/corvaxctl/run_ctl.h"

namespace corvaxctl {
namespace {

using namespace testing_run;

// ---- a script is checked whole before anything runs ----

struct BadScript {
    const char* name;
    std::string script;
    int line;             // the line named
    const char* message;  // what it says about it
};

class BadScriptLine : public ::testing::TestWithParam<BadScript> {};

TEST_P(BadScriptLine, RunsNothingAndNamesTheLine) {
    const BadScript& c = GetParam();
    const Outcome text = Ctl({"script", "-"}, c.script);
    EXPECT_EQ(text.code, kExitUsage);
    EXPECT_EQ(text.out, "");  // not one line ran, not even its echo
    ASSERT_EQ(text.ErrLines().size(), 1u) << text.err;
    const std::string head = "corvaxctl: stdin line " + std::to_string(c.line) + ": ";
    EXPECT_EQ(text.err.rfind(head, 0), 0u) << text.err;
    EXPECT_NE(text.err.find(c.message), std::string::npos) << text.err;

    // With the driver's log: no load event, no command; the driver was never even loaded, so no
    // request reached it.
    const Outcome json = Ctl({"--json", "--log", "script", "-"}, c.script);
    EXPECT_EQ(json.code, kExitUsage);
    const std::vector<Json> objects = json.Objects();
    ASSERT_EQ(objects.size(), 1u) << json.out;
    EXPECT_EQ(objects[0]["event"], "error");
    EXPECT_EQ(objects[0]["line"], c.line);
    EXPECT_EQ(objects[0]["exit_code"], kExitUsage);
    EXPECT_EQ("corvaxctl: " + objects[0]["message"].get<std::string>(), text.ErrLines()[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadScriptLine,
    ::testing::Values(
        BadScript{"AMisspeltCommandAfterTheCut", "disable\nenabel\nrestore\n", 2,
                  "unknown command 'enabel'"},
        BadScript{"ABadOperandOnTheLastLine", "disable\nenable\nwait\nconfig 5:zz.0\n", 4,
                  "bad PFA '5:zz.0'"},
        BadScript{"ABadOptionValue", "disable\nenable\nwait --settle soon\nrestore\n", 3,
                  "bad --settle 'soon'"},
        BadScript{"ABadExpectedSlot", "disable\nenable\nwait --expect 0:12\n", 3,
                  "bad slot '0:12' in --expect"},
        BadScript{"ABadEvent", "hotswap replace 0:1\n", 1, "'replace' needs 2 operands"},
        BadScript{"ABadSimulatedSlot", "disable\nsim pull 9:0\nenable\n", 2,
                  "bad SWITCH:SLOT '9:0'"},
        BadScript{"AnOptionTheCommandLacks", "disable --now\nenable\n", 1, "--now"},
        BadScript{"AScriptInAScript", "table\nscript other.txt\n", 2, "unknown command 'script'"},
        BadScript{"CommentsAndBlankLinesCount", "# cut and look\n\ndisable\nled 05:00.0 9\n", 4,
                  "bad LED TYPE '9'"}),
    [](const ::testing::TestParamInfo<BadScript>& p) { return std::string(p.param.name); });

TEST(Script, ALineTheMachineRefusesIsNamedAndTheRestStillBringsTheLinksBack) {
    // Slot 5 is empty: the pull is refused while the links are cut. The enable after it runs.
    const Outcome o =
        Ctl({"--json", "script", "-"}, "disable\nsim pull 0:5\nenable\nsim read 04:08.0 78\n");
    EXPECT_EQ(o.code, kExitUsage);
    std::vector<std::string> kinds;
    for (const Json& j : o.Objects()) {
        kinds.push_back(j.value("command", j.value("event", "")));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"disable", "error", "enable", "sim read"}));
    const Json error = o.Objects()[1];
    EXPECT_EQ(error["line"], 2);
    EXPECT_EQ(error["message"], "stdin line 2: no drive to pull at switch 0 slot 5");
    EXPECT_EQ(o.Command("enable")["status"], "0x00000000");
    // Link Control of slot 0's port: Link Disable clear again.
    EXPECT_EQ(std::stoul(o.Command("sim read")["value"].get<std::string>(), nullptr, 16) & 0x10,
              0u);
}

// ---- a refused event does not leave the links cut ----

// Every event is checked against the driver's switches and slots and against what the slot
// holds (the machine's own answer, then as the events leave it) before any link is cut: what
// `switches` already knew refuses the line, and no link is touched.
struct RefusedEvent {
    const char* name;
    const char* line;
    const char* message;
};

class EventRefusedBeforeTheCut : public ::testing::TestWithParam<RefusedEvent> {};

TEST_P(EventRefusedBeforeTheCut, NamesItAndCutsNothing) {
    const RefusedEvent& c = GetParam();
    const Outcome o =
        Ctl({"--json", "--log", "script", "-"}, std::string(c.line) + "\nsim read 04:08.0 78\n");
    EXPECT_EQ(o.code, kExitUsage);
    ASSERT_EQ(o.Objects().size(), 2u) << o.out;
    EXPECT_EQ(o.Objects()[0]["message"], std::string("stdin line 1: ") + c.message);
    EXPECT_EQ(o.Objects()[0]["event"], "error");
    // No link was cut: Link Disable of slot 0's port reads clear, and the driver never heard of
    // a disable.
    EXPECT_EQ(std::stoul(o.Command("sim read")["value"].get<std::string>(), nullptr, 16) & 0x10,
              0u);
    EXPECT_EQ(o.out.find("Disable port"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventRefusedBeforeTheCut,
    ::testing::Values(
        RefusedEvent{"ASwitchTheDriverLacks", "hotswap pull 1:0",
                     "hotswap event 'pull 1:0': no switch 1 (corvaxctl switches lists them); no "
                     "link was cut"},
        RefusedEvent{"ASlotTheSwitchLacks", "hotswap pull 0:9",
                     "hotswap event 'pull 0:9': switch 0 (PEX 8748) has no slot 9; no link was "
                     "cut"},
        RefusedEvent{"APullFromAnEmptySlot", "hotswap replace 0:1 1f0a:0710 pull 0:5",
                     "hotswap event 'pull 0:5': no drive to pull at switch 0 slot 5; no link was "
                     "cut"},
        RefusedEvent{"AnInsertIntoAnOccupiedSlot", "hotswap insert 0:3 1f0a:0710",
                     "hotswap event 'insert 0:3 1f0a:0710': switch 0 slot 3 is occupied (replace "
                     "swaps a drive); no link was cut"},
        RefusedEvent{"ASlotTheEventsEmptied", "hotswap pull 0:3 pull 0:3",
                     "hotswap event 'pull 0:3': no drive to pull at switch 0 slot 3; no link was "
                     "cut"},
        RefusedEvent{"ACycleWhoseEventsCannotBeRepeated", "cycle --count 2 pull 0:3",
                     "cycle event 'pull 0:3' in cycle 2: no drive to pull at switch 0 slot 3 "
                     "(after the events of the cycle before); no link was cut"}),
    [](const ::testing::TestParamInfo<RefusedEvent>& p) { return std::string(p.param.name); });

// ---- drives the cycle leaves without memory ----

const char kUnlisted07[] =
    "corvaxctl: warning: 07:00.0 (1b4b:1092, slot 0:2) is of a vendor missing from the accepted "
    "list: it comes back from the link cycle without its memory address and is not restored "
    "(set-ids, then update, accepts it)";

struct Unrestorable {
    const char* name;
    std::string before;                   // script lines before the cycle
    std::vector<std::string> named;       // bdf of each drive named before the links are cut
    std::vector<std::string> memoryLost;  // ... and shown "memory-lost,unlisted-vendor" after
};

class UnlistedVendor : public ::testing::TestWithParam<Unrestorable> {};

TEST_P(UnlistedVendor, NamedBeforeTheCycleAndShownAfterIt) {
    const Unrestorable& c = GetParam();
    for (const char* command : {"hotswap", "disable"}) {
        const Outcome o = Ctl({"--json", "script", "-"}, c.before + command + "\n");
        ASSERT_EQ(o.code, kExitOk) << command << o.err;
        const Json j = o.Command(command);
        std::vector<std::string> named;
        for (const Json& d : j["unrestorable"]) {
            named.push_back(d["bdf"]);
            EXPECT_EQ(d["flags"], Json::array({"unlisted-vendor"})) << d.dump();
        }
        EXPECT_EQ(named, c.named) << command;
        // One warning line each on standard error, and nothing else (besides what set-ids said
        // before).
        std::vector<std::string> lines;
        for (const std::string& line : o.ErrLines()) {
            if (line.find("set-ids: ") == std::string::npos) {
                lines.push_back(line);
            }
        }
        ASSERT_EQ(lines.size(), c.named.size()) << o.err;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].rfind("corvaxctl: warning: " + c.named[i] + " (", 0), 0u)
                << lines[i];
            EXPECT_NE(lines[i].find("is of a vendor missing from the accepted list: it comes back "
                                    "from the link cycle without its memory address and is not "
                                    "restored"),
                      std::string::npos)
                << lines[i];
        }
        if (std::string(command) != "hotswap") {
            continue;
        }
        for (const auto& [bdf, d] : DrivesOf(j)) {
            const bool lost =
                std::find(c.memoryLost.begin(), c.memoryLost.end(), bdf) != c.memoryLost.end();
            if (lost) {
                EXPECT_EQ(d["change"], "memory-lost,unlisted-vendor") << bdf;
            } else if (bdf != "01:00.0") {
                EXPECT_EQ(d["change"], "restored") << bdf;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnlistedVendor,
    ::testing::Values(Unrestorable{"TheDefaultMachine", "", {"07:00.0"}, {"07:00.0"}},
                      Unrestorable{
                          "EveryVendorNoLongerListed",
                          "set-ids 1f0a\n",
                          {"06:00.0", "07:00.0", "08:00.0", "09:00.0", "0b:00.0", "0c:00.0"},
                          {"06:00.0", "07:00.0", "08:00.0", "09:00.0", "0b:00.0", "0c:00.0"}},
                      Unrestorable{"EveryVendorListedAndSaved",
                                   "set-ids 1f0a 8086 1b4b 144d 1344 1cc4 1e81\nupdate\n",
                                   {},
                                   {}}),
    [](const ::testing::TestParamInfo<Unrestorable>& p) { return std::string(p.param.name); });

TEST(UnlistedVendor, TheTextSaysWhatHappenedInTheChangeColumn) {
    const Outcome o = Ctl({"hotswap"});
    EXPECT_EQ(o.code, kExitOk);
    EXPECT_EQ(o.ErrLines(), std::vector<std::string>{kUnlisted07});
    EXPECT_NE(
        o.out.find("2  07:00.0  1b4b:1092  0 PEX 8748  2     10    no-memory,unlisted-vendor  "
                   "memory-lost,unlisted-vendor\n"),
        std::string::npos)
        << o.out;
}

// ---- the switch's register space moved ----

// Windows moves the PEX 8748's BAR0 while the links are cut: the enable leaves the secondary path
// alone and fails, though every link comes back. The client says to restore before the update;
// an update first would save the drives as the cut left them, without their addresses.
TEST(SwitchMoved, TheEnableSaysToRestoreBeforeTheUpdateAndThatOrderKeepsTheDrives) {
    const std::string moved = "disable\nsim rebalance 03:00.0 0xF7D00000\nenable\n";
    const std::string cycle = "disable\nenable\nwait\nrestore\nrescan\ntable\n";
    const Outcome failed = Ctl({"script", "-"}, moved);
    EXPECT_EQ(failed.ErrLines().back(),
              "corvaxctl: every port's Link Disable reads clear: a PEX 8748's secondary path "
              "failed; its register space is not where the last update recorded it (the system "
              "moved its BAR0). Restore the drives first (`wait`, then `restore`), then `update` "
              "records the new place: an update before the restore records the drives without "
              "their addresses");
    for (const bool restoreFirst : {true, false}) {
        const std::string recover =
            restoreFirst ? "wait\nrestore\nrescan\nupdate\n" : "sim wait 1000\nupdate\n";
        const Outcome o = Ctl({"--json", "script", "-"}, moved + recover + cycle);
        const Json table = o.Command("table");
        int judged = 0;
        for (const Json& d : table["drives"]) {
            const auto has = [&d](const char* flag) {
                return std::find(d["flags"].begin(), d["flags"].end(), flag) != d["flags"].end();
            };
            if (d["switch"].is_null() || has("unlisted-vendor")) {
                continue;
            }
            EXPECT_EQ(has("no-memory"), !restoreFirst)
                << d["bdf"] << (restoreFirst ? " restored first" : " updated first");
            ++judged;
        }
        EXPECT_EQ(judged, 6);  // the listed drives behind the switch
    }
}

// ---- a downstream port left out, a stuck one ----

// A PEX 8748 with ports for slots 0 and 2 only: the others answer nothing.
const char kPortsLeftOut[] =
    R"({"windows": {"system": "0x0100"}, "switches": [{"model": "8748", "bus": 3, "internal_bus": 4,
    "bar0": "0xF7C00000", "link_train_ms": 25, "ports": [
      {"index": 0, "bus": 5, "drive": {"vendor": "0x1F0A", "device": "0x0710",
        "bar0": "0xF7000000", "msix_table": "0x2000", "ready_ms": 300}},
      {"index": 2, "bus": 7, "drive": {"vendor": "0x8086", "device": "0x0A54",
        "bar0": "0xF7200000", "msix_table": "0x2000", "msix_vectors": 16, "ready_ms": 200}}]}]})";

TEST(PortLeftOut, TheCycleSucceedsAndRestoresTheDrives) {
    const std::string fabric = FabricFile("ports-left-out.json", kPortsLeftOut);
    const Outcome o = Ctl({"--fabric", fabric, "--json", "hotswap"});
    EXPECT_EQ(o.code, kExitOk) << o.err;
    const Json j = o.Command("hotswap");
    EXPECT_EQ(j["status"], "0x00000000");
    EXPECT_EQ(j["links_down"], Json::array());
    EXPECT_EQ(j["wait"]["answered"], 2);
    const std::map<std::string, Json> drives = DrivesOf(j);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives.at("05:00.0")["change"], "restored");
    EXPECT_EQ(drives.at("07:00.0")["change"], "restored");
    // Nothing to warn of: Windows is elsewhere and every drive is listed.
    EXPECT_EQ(o.err, "");
}

TEST(PortLeftOut, AStuckPortStillFailsAfterSixPassesAndIsNamed) {
    const std::string fabric = FabricFile("ports-left-out.json", kPortsLeftOut);
    const char kNamed[] =
        "corvaxctl: the link of slot 0:2 (port 04:0a.0) did not come back: its Link Disable "
        "still reads set after six passes";

    const Outcome cycle =
        Ctl({"--fabric", fabric, "--json", "--log", "hotswap", "stuck", "0:2", "on"});
    EXPECT_EQ(cycle.code, kExitDriverStatus);
    const Json j = cycle.Command("hotswap");
    EXPECT_EQ(j["status"], "0xc0000229");
    EXPECT_EQ(j["links_down"], Json::parse(R"([{"switch": 0, "slot": 2, "port_pfa": "0x0450",
                                                 "port_bdf": "04:0a.0"}])"));
    EXPECT_EQ(DrivesOf(j).at("05:00.0")["change"], "restored");
    EXPECT_EQ(DrivesOf(j).at("07:00.0")["change"], "lost");
    // Six passes, each with the port's failing line.
    int fails = 0;
    for (const Json& line : j["log"]) {
        fails += line.get<std::string>().rfind("Corvax2 : Enable port2 PCIe link fail (", 0) == 0;
    }
    EXPECT_EQ(fails, 6);
    const std::vector<std::string> err = cycle.ErrLines();
    EXPECT_NE(std::find(err.begin(), err.end(), kNamed), err.end()) << cycle.err;

    // The enable on its own names it the same way.
    const Outcome alone =
        Ctl({"--fabric", fabric, "script", "-"}, "sim stuck 0:2 on\ndisable\nenable\n");
    EXPECT_EQ(alone.code, kExitDriverStatus);
    EXPECT_NE(alone.out.find("enable: STATUS_FAIL_CHECK (0xC0000229): a port's link or a PEX "
                             "8748's secondary path did not come back in six passes\n"),
              std::string::npos)
        << alone.out;
    EXPECT_EQ(alone.ErrLines(), std::vector<std::string>{kNamed});
}

TEST(PortLeftOut, TheSwitchesShowNoPortThereAndNoAddress) {
    const std::string fabric = FabricFile("ports-left-out.json", kPortsLeftOut);
    const Outcome o = Ctl({"--fabric", fabric, "--json", "switches"});
    const Json slot = o.Command("switches")["switches"][0]["original_slots"][1];
    EXPECT_EQ(slot["present"], false);
    EXPECT_EQ(slot["pfa"], nullptr);
    EXPECT_EQ(slot["bdf"], nullptr);
    EXPECT_EQ(slot["bar0"], nullptr);
    const Outcome text = Ctl({"--fabric", fabric, "switches"});
    EXPECT_NE(text.out.find("  1     9     no port  "), std::string::npos) << text.out;
}

// ---- the command line a Windows user has ----

TEST(WindowsCommandLine, HelpOffersOnlyWhatWorksThere) {
    const Outcome windows = CtlAsWindows({"--help"});
    EXPECT_EQ(windows.code, kExitOk);
    for (const char* absent : {"--fabric", "--log", "--stats", "\n  sim ", "EVENT"}) {
        EXPECT_EQ(windows.out.find(absent), std::string::npos) << absent << windows.out;
    }
    for (const char* present : {"--json", "\n  hotswap ", "\n  script ", "\n  system-disks "}) {
        EXPECT_NE(windows.out.find(present), std::string::npos) << present << windows.out;
    }
    // The simulated machine's help has them all.
    const Outcome host = Ctl({"--help"});
    EXPECT_EQ(host.code, kExitOk);
    for (const char* offered : {"--fabric", "--log", "--stats", "\n  sim "}) {
        EXPECT_NE(host.out.find(offered), std::string::npos) << offered;
    }
}

TEST(WindowsCommandLine, RefusesBeforeTheDeviceIsOpenedInOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"config", "5:zz.0"},
         "corvaxctl: bad PFA '5:zz.0': give bus:device.function (hexadecimal, e.g. 05:00.0) or a "
         "hexadecimal PFA (e.g. 0x0500); bus 0-ff, device 0-1f, function 0-7"},
        {{"led", "05:00.0", "bright"}, "corvaxctl: bad LED TYPE 'bright': 0-3, or on, blink, off"},
        {{"sim", "pull", "0:1"},
         "corvaxctl: 'sim' acts on the simulated machine; this build talks to the real device"},
        {{"--fabric", "my.json", "table"},
         "corvaxctl: --fabric describes a simulated machine; this build talks to the real "
         "device"},
        {{"--stats", "count"},
         "corvaxctl: --log and --stats need the simulated machine; on Windows the driver's lines "
         "go to the kernel's debug output, which Windows shows only when allowed: see \"Seeing "
         "the driver's lines\" in INSTALL.txt"},
        {{"hotswap", "--settle", "500", "pull", "0:1"},
         "corvaxctl: hotswap events act on the simulated machine; on this host swap the drives "
         "by hand when asked"},
        {{"script", "-"},
         "corvaxctl: stdin line 2: hotswap waits for Enter on standard input, which holds this "
         "script; give the script as a file"},
    };
    for (const auto& c : cases) {
        const Outcome o = CtlAsWindows(c.args, "table\nhotswap\n");
        EXPECT_EQ(o.code, kExitUsage) << c.line;
        EXPECT_EQ(o.out, "") << c.line;
        EXPECT_EQ(o.ErrLines(), std::vector<std::string>{c.line});
        // With --json the same message as an error object, and nothing else.
        std::vector<std::string> json = {"--json"};
        json.insert(json.end(), c.args.begin(), c.args.end());
        const Outcome j = CtlAsWindows(json, "table\nhotswap\n");
        ASSERT_EQ(j.Objects().size(), 1u) << j.out;
        EXPECT_EQ("corvaxctl: " + j.Objects()[0]["message"].get<std::string>(), c.line);
    }
}

TEST(WindowsCommandLine, HotswapNamesTheDrivesAndCutsOnlyThenWaitsForEnter) {
    const Outcome o = CtlAsWindows({"hotswap"}, "\n");
    EXPECT_EQ(o.code, kExitOk) << o.err;
    // What it warns of comes before the prompt; the disable line is out before the prompt too.
    EXPECT_EQ(o.err, std::string(kUnlisted07) +
                         "\nThe links are down: swap the drives, then press Enter. ");
    EXPECT_EQ(o.out.rfind("disable             STATUS_SUCCESS (0x00000000)\n"
                          "enable              STATUS_SUCCESS (0x00000000)\n"
                          "wait                7 of 7 slots answered after ",
                          0),
              0u)
        << o.out;
    // With --json, only the command's object: the step lines are text and stay out of it.
    const Outcome j = CtlAsWindows({"--json", "hotswap"}, "\n");
    EXPECT_EQ(j.code, kExitOk) << j.err;
    ASSERT_EQ(j.OutLines().size(), 1u) << j.out;
    EXPECT_EQ(j.Command("hotswap")["wait"]["answered"], 7) << j.out;
}

}  // namespace
}  // namespace corvaxctl
