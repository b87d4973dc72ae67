// The guard before links are cut: a disk of the Windows directory or of a page file that is a
// drive behind a registered switch stops `disable` and `hotswap` (one line, exit 2) unless
// --force; a disk elsewhere lets them go on; a disk that cannot be found is said on standard
// error and the command goes on.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/corvaxctl/run_ctl.h"
#include "tools/corvaxctl/corvaxctl.h"
#include "tools/corvaxctl/system_disk.h"

namespace corvaxctl {
namespace {

// A locator that answers what the test says.
class GivenDisks : public SystemDiskLocator {
  public:
    explicit GivenDisks(std::vector<SystemDisk> disks) : disks_(std::move(disks)) {}
    std::vector<SystemDisk> Locate() override {
        ++calls;
        return disks_;
    }
    int calls = 0;

  private:
    std::vector<SystemDisk> disks_;
};

using testing_run::Outcome;

testing_run::Outcome Ctl(const std::vector<std::string>& args, SystemDiskLocator* locator,
                         const std::string& input = "") {
    Environment environment;
    environment.locator = locator;
    return testing_run::Ctl(args, input, environment);
}

std::vector<std::string> Lines(const std::string& text) {
    return Outcome::Lines(text);
}

const char kRefusal[] =
    "corvaxctl: the Windows directory C:\\Windows is on the drive at 06:00.0 (8086:0a54) in slot "
    "0:1 of the PEX 8748 at 03:00.0: cutting the links would take it from Windows (--force cuts "
    "them anyway)";

// ---- the judgement ----

// One PEX 8748 as PLX_QUERY_PCI gives it: upstream port 03:00.0, slots 0-7 on buses 5 to 12,
// drives in all but slot 5.
std::vector<BridgeApInfo> OneSwitch() {
    std::vector<BridgeApInfo> bridges(3);
    std::memset(bridges.data(), 0, bridges.size() * sizeof(BridgeApInfo));
    BridgeApInfo& b = bridges[0];
    b.pciID = CORVAX_PLX8748_ID;
    b.bdgPFA = 0x0300;
    const uint16_t vendors[8] = {0x1F0A, 0x8086, 0x1B4B, 0x144D, 0x1344, 0, 0x1CC4, 0x1E81};
    for (unsigned i = 0; i < 8; ++i) {
        b.OriginalSlot[i].pciPFA = (5 + i) << 8;
        b.OriginalSlot[i].vendorId = vendors[i];
        b.OriginalSlot[i].deviceId = vendors[i] ? 0x0A54 : 0;
        b.OriginalSlot[i].fgStatus = vendors[i] ? CORVAX_SLOT_PRESENT : 0;
    }
    return bridges;
}

struct JudgeCase {
    const char* name;
    std::vector<SystemDisk> disks;
    std::vector<std::string> refusals;  // each must name this text
    size_t unknown;
    std::vector<SlotBridge> slotBridges = {};
};

// Another PEX 8748 in slot 5 (bus 0x0a): its own buses 0x0d to 0x14 lie behind the slot.
const SlotBridge kSwitchInSlot5 = {0, 5, 0x0A00, 0x874810B5, 0x0D, 0x14};

class Judge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(Judge, RefusesEveryDiskBehindASwitchAndSaysWhatIsUnknown) {
    const JudgeCase& c = GetParam();
    const SystemDiskVerdict v = JudgeSystemDisks(c.disks, OneSwitch(), c.slotBridges);
    ASSERT_EQ(v.refusals.size(), c.refusals.size());
    for (size_t i = 0; i < c.refusals.size(); ++i) {
        EXPECT_NE(v.refusals[i].find(c.refusals[i]), std::string::npos) << v.refusals[i];
    }
    EXPECT_EQ(v.unknown.size(), c.unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Judge,
    ::testing::Values(
        JudgeCase{"OnBoard", {{"the Windows directory", 0x0100, ""}}, {}, 0},
        JudgeCase{"ChipsetSata", {{"the Windows directory", 0x00FA, ""}}, {}, 0},
        JudgeCase{"BehindSlot1",
                  {{"the Windows directory", 0x0600, ""}},
                  {"the Windows directory is on the drive at 06:00.0 (8086:0a54) in slot 0:1 of "
                   "the PEX 8748 at 03:00.0"},
                  0},
        JudgeCase{"AnotherFunctionOfTheDrive",
                  {{"a page file", 0x0601, ""}},
                  {"a page file is on the drive at 06:00.1"},
                  0},
        JudgeCase{"PageFileBehindTheLastSlot",
                  {{"the Windows directory", 0x0100, ""}, {"a page file", 0x0C00, ""}},
                  {"a page file is on the drive at 0c:00.0 (1e81:0a54) in slot 0:7"},
                  0},
        JudgeCase{"UnknownAndBehind",
                  {{"the Windows directory", std::nullopt, "no disk extents"},
                   {"a page file", 0x0500, ""}},
                  {"slot 0:0"},
                  1},
        JudgeCase{"NothingFound", {}, {}, 0},
        JudgeCase{"BehindTheSwitchInSlot5",
                  {{"the Windows directory", 0x1400, ""}},
                  {"the Windows directory is on the drive at 14:00.0, behind the switch "
                   "(10b5:8748) in slot 0:5 of the PEX 8748 at 03:00.0"},
                  0,
                  {kSwitchInSlot5}},
        JudgeCase{"PastTheSwitchInSlot5",
                  {{"the Windows directory", 0x1500, ""}},
                  {},
                  0,
                  {kSwitchInSlot5}}),
    [](const ::testing::TestParamInfo<JudgeCase>& p) { return std::string(p.param.name); });

TEST(Judge, NoRegisteredSwitchRefusesNothing) {
    std::vector<BridgeApInfo> none(3);
    std::memset(none.data(), 0, none.size() * sizeof(BridgeApInfo));
    EXPECT_TRUE(JudgeSystemDisks({{"the Windows directory", 0x0600, ""}}, none).refusals.empty());
}

// ---- the commands ----

struct GuardCase {
    const char* name;
    std::vector<SystemDisk> disks;
    std::vector<std::string> args;
    int code;
    std::vector<std::string> err;  // standard error, line by line
    bool cut;                      // the links were cut (slot 0's Link Disable reads set)
};

class Guard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guard, DecidesBeforeAnyLinkIsCut) {
    const GuardCase& c = GetParam();
    GivenDisks locator(c.disks);
    // The command, then a look at slot 0's Link Control as the hardware holds it.
    std::string script;
    for (const std::string& word : c.args) {
        script += word + " ";
    }
    script += "\nsim read 04:08.0 78\n";
    const Outcome o = Ctl({"script", "-"}, &locator, script);
    EXPECT_EQ(o.code, c.code) << o.err;
    std::vector<std::string> err = Lines(o.err);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(locator.calls, 1);
    // The script goes on after a refused line; the read shows whether the link was cut.
    ASSERT_NE(o.out.find("sim read 04:08.0 offset "), std::string::npos) << o.out;
    const size_t at = o.out.rfind("0x");
    EXPECT_EQ((std::stoul(o.out.substr(at + 2, 8), nullptr, 16) & 0x10) != 0, c.cut) << o.out;
    if (!c.cut) {
        // Refused before anything was sent: no disable line, no hotswap table.
        EXPECT_EQ(o.out.find("disable "), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("disable: "), std::string::npos) << o.out;
    }
}

// The default machine's drive of a vendor missing from the accepted list, named before links
// are cut.
const char kUnlisted[] =
    "corvaxctl: warning: 07:00.0 (1b4b:1092, slot 0:2) is of a vendor missing from the accepted "
    "list: it comes back from the link cycle without its memory address and is not restored "
    "(set-ids, then update, accepts it)";

const SystemDisk kBehind = {"the Windows directory C:\\Windows", 0x0600, ""};
const SystemDisk kOnBoard = {"the Windows directory C:\\Windows", 0x0100, ""};
const SystemDisk kUnknown = {"the Windows directory C:\\Windows", std::nullopt,
                             "the volume of C:\\ lies on no disk"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Guard,
    ::testing::Values(
        GuardCase{"DisableRefused",
                  {kBehind},
                  {"disable"},
                  kExitUsage,
                  {std::string("corvaxctl: stdin line 1: ") + (kRefusal + 11)},
                  false},
        GuardCase{"HotswapRefused",
                  {kOnBoard, kBehind},
                  {"hotswap"},
                  kExitUsage,
                  {std::string("corvaxctl: stdin line 1: ") + (kRefusal + 11)},
                  false},
        GuardCase{"DisableForced",
                  {kBehind},
                  {"disable", "--force"},
                  kExitOk,
                  {std::string("corvaxctl: warning: --force: ") + (kRefusal + 11), kUnlisted},
                  true},
        GuardCase{"DisableOnBoard", {kOnBoard}, {"disable"}, kExitOk, {kUnlisted}, true},
        GuardCase{"DisableUnknown",
                  {kUnknown},
                  {"disable"},
                  kExitOk,
                  {"corvaxctl: warning: cannot tell which disk holds the Windows directory "
                   "C:\\Windows (the volume of C:\\ lies on no disk); going on",
                   kUnlisted},
                  true},
        GuardCase{"NothingToFind", {}, {"disable"}, kExitOk, {kUnlisted}, true}),
    [](const ::testing::TestParamInfo<GuardCase>& p) { return std::string(p.param.name); });

TEST(Guard, ARefusedHotswapPrintsNothingButItsLine) {
    GivenDisks locator({kBehind});
    const Outcome o = Ctl({"hotswap", "replace", "0:1", "1f0a:0710"}, &locator);
    EXPECT_EQ(o.code, kExitUsage);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(Lines(o.err), std::vector<std::string>{kRefusal});
}

TEST(Guard, ARefusedDisableAlone) {
    GivenDisks locator({kOnBoard, {"the page file D:\\pagefile.sys", 0x0600, ""}});
    const Outcome o = Ctl({"disable"}, &locator);
    EXPECT_EQ(o.code, kExitUsage);
    EXPECT_EQ(Lines(o.err),
              std::vector<std::string>{
                  "corvaxctl: the page file D:\\pagefile.sys is on the drive at 06:00.0 "
                  "(8086:0a54) in slot 0:1 of the PEX 8748 at 03:00.0: cutting the links would "
                  "take it from Windows (--force cuts them anyway)"});
}

TEST(Guard, OtherCommandsDoNotAsk) {
    GivenDisks locator({kBehind});
    EXPECT_EQ(Ctl({"script", "-"}, &locator, "enable\ntable\nrestore\nwait --settle 0\n").code,
              kExitOk);
    EXPECT_EQ(locator.calls, 0);
}

// ---- the simulated machine's own description ----

std::string FabricFile(const std::string& name, const std::string& windows) {
    const std::string path = ::testing::TempDir() + "/" + name;
    std::ofstream(path)
        << R"({"onboard": [{"bus": 1, "drive": {"vendor": "0x144D", "device": "0xA808"}}],
        "switches": [{"model": "8748", "bus": 3, "internal_bus": 4, "bar0": "0xF7C00000",
                      "ports": [{"index": 0, "bus": 5,
                                 "drive": {"vendor": "0x1F0A", "device": "0x0710",
                                           "bar0": "0xF7000000"}}]}])"
        << windows << "}";
    return path;
}

TEST(Described, TheMachinesWindowsKeyIsWhereItsDisksAre) {
    const std::string behind = FabricFile(
        "windows-behind.json", R"(, "windows": {"system": "0x0100", "page_files": ["0x0500"]})");
    const Outcome refused = Ctl({"--fabric", behind, "disable"}, nullptr);
    EXPECT_EQ(refused.code, kExitUsage);
    EXPECT_EQ(Lines(refused.err),
              std::vector<std::string>{
                  "corvaxctl: a page file is on the drive at 05:00.0 (1f0a:0710) in slot 0:0 of "
                  "the PEX 8748 at 03:00.0: cutting the links would take it from Windows "
                  "(--force cuts them anyway)"});
    const Outcome listed = Ctl({"--fabric", behind, "system-disks"}, nullptr);
    EXPECT_EQ(listed.out, "the Windows directory: 01:00.0\na page file: 05:00.0\n");

    const std::string silent = FabricFile("windows-unsaid.json", "");
    const Outcome warned = Ctl({"--fabric", silent, "disable"}, nullptr);
    EXPECT_EQ(warned.code, kExitOk);
    EXPECT_EQ(Lines(warned.err),
              std::vector<std::string>{
                  "corvaxctl: warning: cannot tell which disk holds the Windows directory (the "
                  "machine's description does not say where its Windows is); going on"});
    const std::vector<std::string> json =
        Lines(Ctl({"--fabric", silent, "--json", "system-disks"}, nullptr).out);
    ASSERT_EQ(json.size(), 1u);  // the command's, and nothing else
    EXPECT_EQ(json[0] + "\n",
              "{\"command\":\"system-disks\",\"status\":\"0x00000000\",\"information\":0,"
              "\"output\":\"\",\"disks\":[{\"what\":\"the Windows directory\",\"pfa\":null,"
              "\"bdf\":null,\"unknown\":\"the machine's description does not say where its "
              "Windows is\"}]}\n");
}

TEST(Described, EveryExampleKeepsWindowsOffItsSwitches) {
    for (const char* name : {"plx8748.json", "plx8618.json", "two-plx8732.json", "amd-host.json"}) {
        const std::string path = std::string(CORVAX_SOURCE_DIR) + "/examples/fabrics/" + name;
        const Outcome o = Ctl({"--fabric", path, "disable"}, nullptr);
        EXPECT_EQ(o.code, kExitOk) << name;
        // Nothing about Windows' disks; only the drives the cycle will leave without memory.
        for (const std::string& line : Lines(o.err)) {
            EXPECT_EQ(line.rfind("corvaxctl: warning: ", 0), 0u) << name << ": " << line;
            EXPECT_NE(line.find(") is of a vendor missing from the accepted list: "),
                      std::string::npos)
                << name << ": " << line;
        }
    }
}

}  // namespace
}  // namespace corvaxctl
