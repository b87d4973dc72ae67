// corvaxctl as a user runs it, in-process on the simulated machine: bad input refused in one
// line, driver statuses reported, the JSON objects and the state a script carries.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/corvaxctl.h"

namespace corvaxctl {
namespace {

using testing_run::Ctl;
using testing_run::Example;
using testing_run::Outcome;

TEST(CommandLine, BadInputIsRefusedInOneLine) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"bogus"}, "unknown command 'bogus'"},
        {{}, "subcommand is required"},
        {{"table", "extra"}, "not expected: extra"},
        {{"on-bridge", "zz"}, "bad PFA 'zz'"},
        {{"config", "100:0.0"}, "bad PFA '100:0.0'"},
        {{"config"}, "PFA is required"},
        {{"led", "05:00.0", "9"}, "bad LED TYPE '9'"},
        {{"set-ids", "0"}, "bad VENDOR '0'"},
        {{"set-ids", "1f0a", "10000"}, "bad VENDOR '10000'"},
        {{"ioctl", "CORVAX_NOPE"}, "bad control code 'CORVAX_NOPE'"},
        {{"ioctl", "0x0022158C", "--in", "abc"}, "an odd number of digits"},
        {{"ioctl", "0x0022158C", "--out-len", "lots"}, "bad --out-len 'lots'"},
        {{"sim", "read", "05:00.0", "0x11"}, "bad OFFSET '0x11'"},
        {{"sim", "read", "05:00.0", "1000"}, "bad OFFSET '1000'"},
        {{"sim", "write", "07:00.0", "0", "1g"}, "bad VALUE '1g'"},
        {{"sim", "write", "0d:00.0", "0", "1"}, "no function at 0d:00.0"},
        {{"sim", "insert", "0:0", "1f0a:0001"}, "switch 0 slot 0 is occupied"},
        {{"sim", "pull", "0:5"}, "no drive to pull"},
        {{"sim", "pull", "3:0"}, "bad SWITCH:SLOT '3:0'"},
        {{"sim", "stuck", "0:1", "maybe"}, "bad STATE 'maybe'"},
        {{"sim", "writemem", "0x1000", "1"}, "no device page at 0x1000"},
        {{"sim", "readmem", "0x1002"}, "bad ADDRESS '0x1002'"},
        {{"hotswap", "wiggle", "0:1"}, "bad hotswap event 'wiggle'"},
        {{"hotswap", "replace", "0:1"}, "'replace' needs 2 operands"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) {
            joined += a + " ";
        }
        const Outcome o = Ctl(c.args);
        EXPECT_EQ(o.code, kExitUsage) << joined;
        EXPECT_EQ(o.out, "") << joined;
        EXPECT_EQ(o.err.rfind("corvaxctl: ", 0), 0u) << joined << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << joined << "-> " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << joined << o.err;
    }
}

TEST(CommandLine, BadFabricNamesTheKey) {
    const std::string path = ::testing::TempDir() + "corvaxctl_bad_fabric.json";
    std::ofstream(path) << R"({"switches": [{"model": "8748", "bus": 3, "internal_bus": 4,
                               "portz": []}]})";
    const Outcome o = Ctl({"--fabric", path, "count"});
    EXPECT_EQ(o.code, kExitUsage);
    EXPECT_NE(o.err.find("portz"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    std::ofstream(path) << "{ not json";
    EXPECT_EQ(Ctl({"--fabric", path, "count"}).code, kExitUsage);
    std::remove(path.c_str());
}

TEST(Ioctl, TheCallersBufferShowsWhatTheDriverDelivered) {
    // Direct output: the size answer reaches the caller with the error; the rest stays 0xCC.
    Outcome o = Ctl({"--json", "ioctl", "CORVAX_GET_TABLE", "--out-len", "16"});
    EXPECT_EQ(o.code, kExitDriverStatus);
    nlohmann::json j = o.Objects().at(0);
    EXPECT_EQ(j["command"], "ioctl");
    EXPECT_EQ(j["status"], "0xc0000023");
    EXPECT_EQ(j["information"], 4);
    EXPECT_EQ(j["output"], "00040000cccccccccccccccccccccccc");
    EXPECT_EQ(j["method"], "METHOD_OUT_DIRECT");

    // Buffered output with an error status: nothing comes back.
    o = Ctl({"--json", "ioctl", "CORVAX_GET_BITMAP", "--out-len", "8"});
    j = o.Objects().at(0);
    EXPECT_EQ(j["status"], "0xc0000023");
    EXPECT_EQ(j["output"], "cccccccccccccccc");

    // Success: the first information bytes are the driver's, the rest is the fill.
    o = Ctl({"--json", "ioctl", "0x0022198C", "--out-len", "6"});
    EXPECT_EQ(o.code, kExitOk);
    j = o.Objects().at(0);
    EXPECT_EQ(j["name"], "PLX_GET_VERSION");
    EXPECT_EQ(j["output"], "20010002cccc");

    // An unknown code completes with success and nothing written.
    o = Ctl({"--json", "ioctl", "0x00221424", "--out-len", "4"});
    j = o.Objects().at(0);
    EXPECT_EQ(j["status"], "0x00000000");
    EXPECT_EQ(j["name"], nullptr);
    EXPECT_EQ(j["output"], "cccccccc");
}

TEST(Ioctl, InputBytesGoInTheOrderGiven) {
    // 00 05 00 00 is the dword 0x0500 (05:00.0, behind the switch); 05 00 00 00 is 0x0005.
    Outcome o = Ctl({"--json", "ioctl", "CORVAX_ON_BRIDGE", "--in", "00 05 00 00"});
    EXPECT_EQ(o.code, kExitOk);
    EXPECT_EQ(o.Objects().at(0)["status"], "0x00000000");
    EXPECT_EQ(o.Objects().at(0)["input"], "00050000");
    o = Ctl({"--json", "ioctl", "CORVAX_ON_BRIDGE", "--in", "05000000"});
    EXPECT_EQ(o.code, kExitDriverStatus);
    EXPECT_EQ(o.Objects().at(0)["status"], "0xc0000229");
}

TEST(Json, OneDocumentPerCommandAndTheLoadWhenAskedFor) {
    // One command, one JSON document: what a program parses whole.
    const Outcome plain = Ctl({"--json", "count"});
    ASSERT_EQ(plain.code, kExitOk) << plain.err;
    EXPECT_EQ(nlohmann::json::parse(plain.out)["count"], 8);

    const Outcome o = Ctl({"--json", "--load-event", "--log", "--stats", "count"});
    ASSERT_EQ(o.code, kExitOk) << o.err;
    const std::vector<nlohmann::json> objects = o.Objects();
    ASSERT_EQ(objects.size(), 2u);
    const nlohmann::json& load = objects[0];
    EXPECT_EQ(load["event"], "load");
    EXPECT_EQ(load["status"], "0x00000000");
    EXPECT_EQ(load["fabric"], "Workstation with one PEX 8748 and an on-board drive");
    EXPECT_EQ(load["switches"],
              nlohmann::json::parse(
                  R"([{"model":"PEX 8748","pfa":"0x0300","bdf":"03:00.0","switch":0}])"));
    EXPECT_EQ(load["log"].at(0), "Corvax2 : Driver loaded(2.0.1.20)\n");
    EXPECT_GT(load["stats"]["port_pairs"].get<int>(), 0);

    const nlohmann::json& count = objects[1];
    EXPECT_EQ(count["command"], "count");
    EXPECT_EQ(count["status"], "0x00000000");
    EXPECT_EQ(count["information"], 4);
    EXPECT_EQ(count["output"], "08000000");
    EXPECT_EQ(count["count"], 8);
    EXPECT_EQ(count["log"], nlohmann::json::array({"Corvax2 : CORVAX_QUERY(Qty=8)\n"}));
    for (const char* key : {"port_pairs", "ecam_accesses", "mappings", "stray_writes"}) {
        EXPECT_EQ(count["stats"][key], 0) << key;  // a count reads only the registry
    }
    EXPECT_EQ(o.err, "");
}

TEST(Json, StatsCountWhatACommandCostTheHardware) {
    const Outcome o = Ctl({"--json", "--stats", "config", "05:00.0"});
    const nlohmann::json stats = o.Objects().at(0)["stats"];
    EXPECT_EQ(stats["ecam_accesses"], 256);  // the header, byte by byte through the window
    EXPECT_EQ(stats["port_pairs"], 0);
    EXPECT_EQ(stats["stray_writes"], 0);
    EXPECT_EQ(stats["live_mappings"], 0);
}

TEST(Json, DecodedFieldsOfTheDefaultMachine) {
    Outcome o = Ctl({"--json", "table"});
    const nlohmann::json drives = o.Objects().at(0)["drives"];
    ASSERT_EQ(drives.size(), 8u);
    EXPECT_EQ(drives[2]["bdf"], "07:00.0");
    EXPECT_EQ(drives[2]["vendor"], "0x1b4b");
    EXPECT_EQ(drives[2]["flags"], nlohmann::json::array({"unlisted-vendor"}));
    EXPECT_EQ(drives[2]["port"], 10);
    EXPECT_EQ(drives[2]["switch_id"], "0x874810b5");
    EXPECT_EQ(drives[2]["switch"], 0);
    EXPECT_EQ(drives[2]["slot"], 2);
    EXPECT_EQ(drives[7]["bdf"], "01:00.0");
    EXPECT_EQ(drives[7]["switch"], nullptr);  // on board: no switch, slot or port
    EXPECT_EQ(drives[7]["slot"], nullptr);
    EXPECT_EQ(drives[7]["port"], nullptr);
    EXPECT_EQ(drives[7]["flags"], nlohmann::json::array());

    o = Ctl({"--json", "sim", "read", "05:00.0", "0"});
    EXPECT_EQ(o.Objects().at(0)["value"], "0x07101f0a");
    o = Ctl({"--json", "config", "05:00.0"});
    const nlohmann::json config = o.Objects().at(0);
    EXPECT_EQ(config["class"], "0x010802");
    EXPECT_EQ(config["bar0"], "0x00000000f7000000");
    EXPECT_EQ(config["bar0_kind"], "memory64");
    EXPECT_EQ(config["output"].get<std::string>().substr(0, 8), "0a1f1007");
    o = Ctl({"--json", "version"});
    EXPECT_EQ(o.Objects().at(0)["version"], "2.0.1.20");
}

TEST(Human, LogLinesGoToStandardErrorAsTheyCome) {
    const Outcome o = Ctl({"--log", "count"});
    EXPECT_EQ(o.out, "8 drives\n");
    EXPECT_NE(o.err.find("Corvax2 : Driver loaded(2.0.1.20)\n"), std::string::npos);
    EXPECT_NE(o.err.find("Corvax2 : CORVAX_QUERY(Qty=8)\n"), std::string::npos);
    EXPECT_EQ(Ctl({"count"}).err, "");
}

TEST(Human, DriverStatusIsReportedNotFatal) {
    const Outcome o = Ctl({"on-bridge", "0x0001"});
    EXPECT_EQ(o.code, kExitDriverStatus);
    EXPECT_EQ(o.out, "00:00.1 is not behind a switch: STATUS_FAIL_CHECK (0xC0000229)\n");
    EXPECT_EQ(o.err, "");
}

TEST(Script, StateCarriesFromLineToLine) {
    const Outcome o = Ctl({"script", "-"},
                          "# pull one drive, then look again\n"
                          "count\n"
                          "sim pull 0:3   # slot 3 holds 08:00.0\n"
                          "\n"
                          "rescan\n"
                          "count\n");
    EXPECT_EQ(o.code, kExitOk) << o.err;
    EXPECT_EQ(o.out,
              "> count\n8 drives\n"
              "> sim pull 0:3\nsim pull switch 0 slot 3: done\n"
              "> rescan\nrescan: STATUS_SUCCESS (0x00000000)\n"
              "> count\n7 drives\n");
}

TEST(Script, DriverStatusesDoNotStopAScript) {
    const Outcome o = Ctl({"--json", "script", "-"}, "on-bridge 0x0001\ncount\n");
    EXPECT_EQ(o.code, kExitDriverStatus);
    const std::vector<nlohmann::json> objects = o.Objects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0]["on_bridge"], false);
    EXPECT_EQ(objects[1]["count"], 8);
}

TEST(Hotswap, PulledAndStuckSlots) {
    const Outcome o = Ctl({"--json", "hotswap", "pull", "0:4", "stuck", "0:6", "on"});
    EXPECT_EQ(o.code, kExitDriverStatus);
    const nlohmann::json j = o.Objects().at(0);
    EXPECT_EQ(j["status"], "0xc0000229");  // the enable gave up on the stuck port
    std::map<std::string, nlohmann::json> change;
    for (const nlohmann::json& d : j["drives"]) {
        change[d["bdf"]] = d["change"];
    }
    EXPECT_EQ(change["09:00.0"], "lost");
    EXPECT_EQ(change["0b:00.0"], "lost");
}

TEST(Examples, EveryExampleFabricLoads) {
    for (const char* name : {"plx8748.json", "plx8618.json", "two-plx8732.json", "amd-host.json"}) {
        const Outcome o = Ctl({"--fabric", Example(name), "--json", "--load-event", "model"});
        EXPECT_EQ(o.code, kExitOk) << name << o.err;
        EXPECT_EQ(o.Objects().at(0)["source"], Example(name));
    }
}

}  // namespace
}  // namespace corvaxctl
